#pragma once
// WebServer: Kilnview's loopback HTTP server (cpp-httplib). Every request first passes the
// Host check (DNS rebinding); every POST needs the per-run token and a JSON body within the
// size limit; errors are JSON {"ok":false,"message":…} with a 4xx status. Pages are rendered
// on request from AppState copies; /events streams one state message per sample. The server
// never touches hardware: fan actions go to FanActions.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Control/FanActions.hpp"
#include "Model/AppState.hpp"
#include "Web/CurveEditor.hpp"
#include "Web/LiveFeed.hpp"
#include "Web/Pages.hpp"
#include "pyrelle/widget/WidgetStrings.hpp"

namespace httplib {
class Server;
}

namespace kilnview {

struct WebDependencies {
    AppState& state;
    FanActions& fans;
    LiveFeed& feed;
    const pyrelle::WidgetStrings& strings;
    std::vector<std::string> processLanguages;  // the process locale's preferred languages
    std::string token;                          // the per-run token
    // Reads the power settings for the power page (the settings tool runs per request).
    std::function<Pages::PowerReading()> readPower;
};

class WebServer {
public:
    // Concurrent /events streams; more get 503 and the page script falls back to polling.
    static constexpr int maximumStreams = 4;

    explicit WebServer(WebDependencies dependencies);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds 127.0.0.1:`port` (0 picks a free port); returns the port, or -1 when it cannot.
    int bind(int port);
    // Serves until stop(); returns false when the listening failed.
    bool run();
    // Ends run() and every open stream; callable from any thread.
    void stop();

private:
    void routes();

    WebDependencies deps_;
    std::unique_ptr<httplib::Server> server_;
    std::atomic<int> streams_{0};
    CurveEditor::RunningCurve runningCurve_;
};

}  // namespace kilnview
