#pragma once
// WebServer: Kilnview's loopback web application on HttpDaemon. Every request first passes
// the Host check (DNS rebinding) and the peer check (the connection must belong to Kilnview's
// user or root); then pages, /events, /api/* and /export.csv need the session cookie, got by
// opening the printed address with its secret once, and /metrics a bearer token. Every POST
// also needs the per-run token and a JSON body within the size limit. Errors are JSON
// {"ok":false,"message":…} with a 4xx status (pages without a session get a short page).
// Pages are rendered on request from AppState copies; /events streams one state message per
// sample. The server never touches hardware: fan actions go to FanActions, on a worker.

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Control/FanActions.hpp"
#include "Model/AppState.hpp"
#include "Web/CurveEditor.hpp"
#include "Web/Credentials.hpp"
#include "Web/HttpDaemon.hpp"
#include "Web/LiveFeed.hpp"
#include "Web/Pages.hpp"
#include "pyrelle/widget/WidgetStrings.hpp"

namespace kilnview {

struct WebDependencies {
    AppState& state;
    FanActions& fans;
    LiveFeed& feed;
    const pyrelle::WidgetStrings& strings;
    std::vector<std::string> processLanguages;  // the process locale's preferred languages
    std::string token;                          // the per-run token of POSTs (CSRF)
    // Reads the power settings for the power page (the settings tool runs per request).
    std::function<Pages::PowerReading()> readPower;
    Credentials credentials = Credentials::fresh();
    uid_t owner = ::getuid();  // Kilnview's user: its peers (and root's) get in
};

class WebServer {
public:
    // Concurrent /events streams; more get 503 and the page script falls back to polling.
    static constexpr int maximumStreams = 16;

    explicit WebServer(WebDependencies dependencies);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Starts serving 127.0.0.1:`port` (0 picks a free port); returns the port, or -1 when it
    // cannot.
    int bind(int port);
    // The address to print: http://127.0.0.1:PORT/?secret=SECRET.
    std::string address() const;
    // Waits until stop(); returns false when nothing was bound.
    bool run();
    // Ends run(), every open stream and connection, within a moment; callable from any thread.
    void stop();

private:
    class EventStream;
    HttpReply respond(const HttpRequest& request);
    HttpReply route(const HttpRequest& request, const AppText& text);
    HttpReply action(const HttpRequest& request, const AppText& text);

    WebDependencies deps_;
    HttpDaemon daemon_;
    int port_ = -1;
    std::string cookieName_;
    std::atomic<int> streams_{0};
    std::thread notifier_;
    std::mutex lock_;
    std::condition_variable stopped_;
    bool stopping_ = false;  // guarded by lock_
    CurveEditor::RunningCurve runningCurve_;
};

}  // namespace kilnview
