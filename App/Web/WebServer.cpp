#include "Web/WebServer.hpp"

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "Web/AppText.hpp"
#include "Web/Assets.hpp"
#include "Web/Charts.hpp"
#include "Web/HistoryCharts.hpp"
#include "Web/HistoryState.hpp"
#include "Web/LiveState.hpp"
#include "Web/Metrics.hpp"
#include "Web/RequestGuard.hpp"
#include "Web/Wording.hpp"
#include "pyrelle/ScopeError.hpp"

namespace kilnview {

namespace {

constexpr const char* kJSON = "application/json; charset=utf-8";
constexpr const char* kHTML = "text/html; charset=utf-8";
constexpr const char* kTokenHeader = "x-kilnview-token";
constexpr const char* kLanguageCookie = "kilnview_lang";
constexpr const char* kThemeCookie = "kilnview_theme";
constexpr const char* kSecretParameter = "secret";

// Refusal texts (Chinese sources, translated per request).
constexpr const char* kForeignHost = "拒绝请求：Host 不是本机回环地址";
constexpr const char* kForeignOrigin = "拒绝请求：来源不是本机页面";
constexpr const char* kForeignPeer = "拒绝请求：连接不属于运行 Kilnview 的用户";
constexpr const char* kBadToken = "拒绝请求：缺少或错误的页面令牌";
constexpr const char* kNoSession = "需要登录：请打开 Kilnview 启动时打印的完整地址";
constexpr const char* kNoSessionHelp =
    "该地址形如 http://127.0.0.1:端口/?secret=…，只打印在启动 Kilnview 的终端中；也可以运行 "
    "Kilnview --open 打开它。";
constexpr const char* kNoBearer = "需要令牌：请在 Authorization 中提供 Bearer 令牌";
constexpr const char* kNotFound = "未找到该页面";
constexpr const char* kTooLarge = "请求内容过大";
constexpr const char* kHeadersTooLarge = "请求头过多或过大";
constexpr const char* kNeedsJSON = "请求内容必须是 JSON";
constexpr const char* kBadRequest = "请求无效";
constexpr const char* kBusy = "实时连接过多，请稍后重试";
constexpr const char* kInternal = "内部错误";

void secure(HttpResponse& res) {
    res.headers.emplace_back("X-Content-Type-Options", "nosniff");
    res.headers.emplace_back("X-Frame-Options", "DENY");
    res.headers.emplace_back("Referrer-Policy", "no-referrer");
    res.headers.emplace_back("Cache-Control", "no-store");
    res.headers.emplace_back(
        "Content-Security-Policy",
        "default-src 'self'; img-src 'self' data:; style-src 'self'; "
        "script-src 'self'; connect-src 'self'; frame-ancestors 'none'; form-action 'self'");
}

HttpResponse json(int status, const nlohmann::json& body) {
    return HttpResponse{status, kJSON, body.dump(), {}};
}

HttpResponse refusal(int status, const std::string& message) {
    return json(status, {{"ok", false}, {"message", message}});
}

HttpReply reply(HttpResponse response) {
    return HttpReply{std::move(response), {}, {}};
}

bool isLoopbackOrigin(const std::string& origin) {
    const std::string scheme = "http://";
    return origin.rfind(scheme, 0) == 0 &&
           RequestGuard::isLoopbackHost(std::string_view(origin).substr(scheme.size()));
}

std::string percentEncoded(const std::string& text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

// The request's own address without the secret: where the login sends the browser on.
std::string withoutSecret(const HttpRequest& request) {
    std::string query;
    for (const auto& [key, value] : request.query) {
        if (key == kSecretParameter) continue;
        query += (query.empty() ? "?" : "&") + percentEncoded(key) + "=" + percentEncoded(value);
    }
    return (request.path.empty() ? "/" : request.path) + query;
}

// The page a browser without a session gets: where to find the way in.
HttpResponse loginPage(const AppText& t) {
    const std::string title = Charts::escapeXML(t(kNoSession));
    return HttpResponse{
        401,
        kHTML,
        "<!DOCTYPE html>\n<html lang=\"" + t.language() +
            "\"><head><meta charset=\"utf-8\"><title>Kilnview</title>"
            "<link rel=\"stylesheet\" href=\"/assets/app.css\"></head><body><main><h1>" +
            title + "</h1><p>" + Charts::escapeXML(t(kNoSessionHelp)) +
            "</p></main></body></html>\n",
        {}};
}

}  // namespace

// One /events connection: a state message whenever a sample was recorded since the last one,
// and a comment after 15 quiet seconds so idle connections stay open through proxies.
class WebServer::EventStream : public ResponseStream {
public:
    EventStream(WebServer& server, AppText text) : server_(server), text_(std::move(text)) {}
    ~EventStream() override { server_.streams_.fetch_sub(1); }

    std::optional<std::string> next() override {
        LiveFeed& feed = server_.deps_.feed;
        if (feed.closed()) return std::nullopt;
        const auto now = std::chrono::steady_clock::now();
        const std::uint64_t sequence = feed.sequence();
        if (first_ || sequence != seen_) {
            first_ = false;
            seen_ = sequence;
            sent_ = now;
            return "data: " + liveState(server_.deps_.state.view(), text_).dump() + "\n\n";
        }
        if (now - sent_ >= std::chrono::seconds(15)) {
            sent_ = now;
            return std::string(": ping\n\n");
        }
        return std::string();
    }

private:
    WebServer& server_;
    AppText text_;
    bool first_ = true;
    std::uint64_t seen_ = 0;
    std::chrono::steady_clock::time_point sent_;
};

WebServer::WebServer(WebDependencies dependencies)
    : deps_(std::move(dependencies)),
      daemon_([this](const HttpRequest& request) { return respond(request); },
              [&] {
                  HttpLimits limits;
                  limits.owner = deps_.owner;
                  limits.bodyLimit = RequestGuard::bodyLimit;
                  return limits;
              }(),
              [this](int status) {
                  const AppText t(deps_.strings,
                                  resolveLanguage("", "", "", deps_.processLanguages));
                  const char* message = status == 413   ? kTooLarge
                                        : status == 431 ? kHeadersTooLarge
                                        : status == 503 ? kBusy
                                        : status >= 500 ? kInternal
                                                        : kBadRequest;
                  HttpResponse res = refusal(status, t(message));
                  secure(res);
                  return res;
              }) {}

WebServer::~WebServer() {
    stop();
}

int WebServer::bind(int port) {
    port_ = daemon_.start(port);
    if (port_ <= 0) return -1;
    cookieName_ = Credentials::cookieNameFor(port_);
    // Wakes the waiting event streams once per recorded sample (and every 15 s for pings).
    notifier_ = std::thread([this] {
        std::uint64_t seen = deps_.feed.sequence();
        while (!deps_.feed.closed()) {
            seen = deps_.feed.wait(seen, 15);
            daemon_.wakeStreams();
        }
    });
    return port_;
}

std::string WebServer::address() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/?" + kSecretParameter + "=" +
           deps_.credentials.secret();
}

bool WebServer::run() {
    if (port_ <= 0) return false;
    std::unique_lock<std::mutex> guard(lock_);
    stopped_.wait(guard, [&] { return stopping_; });
    return true;
}

void WebServer::stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    stopped_.notify_all();
    deps_.feed.close();
    daemon_.stop();
    if (notifier_.joinable()) notifier_.join();
}

HttpReply WebServer::respond(const HttpRequest& req) {
    const AppText t(
        deps_.strings,
        resolveLanguage(req.param("lang"), cookieValue(req.header("cookie"), kLanguageCookie),
                        req.header("accept-language"), deps_.processLanguages));
    HttpReply result = [&]() -> HttpReply {
        if (!RequestGuard::isLoopbackHost(req.header("host")))
            return reply(refusal(421, t(kForeignHost)));
        if (!req.peer || (*req.peer != deps_.owner && *req.peer != 0))
            return reply(refusal(403, t(kForeignPeer)));
        return route(req, t);
    }();
    HttpResponse extra;
    secure(extra);
    // A chosen language is remembered for the next pages.
    const std::string chosen = req.param("lang");
    if (languageFor(chosen) && *languageFor(chosen) == chosen)
        extra.headers.emplace_back("Set-Cookie", std::string(kLanguageCookie) + "=" + chosen +
                                                     "; Path=/; SameSite=Strict; Max-Age=31536000");
    const auto add = [headers = extra.headers](HttpResponse& res) {
        res.headers.insert(res.headers.end(), headers.begin(), headers.end());
    };
    add(result.response);
    if (result.deferred) {
        result.deferred = [inner = std::move(result.deferred), add] {
            HttpResponse res = inner();
            add(res);
            return res;
        };
    }
    return result;
}

HttpReply WebServer::action(const HttpRequest& req, const AppText& t) {
    // The editor's live validation: the same checks as a start, without starting anything.
    if (req.path == "/api/fans/curve/check")
        return reply(json(200, CurveEditor::check(req.body, t)));
    // While the SMC does not answer only handing the fans back to the system may run: the
    // others would drive fans no one can see.
    if (const std::string reason = Wording::outage(deps_.state.view().device, t);
        req.path != "/api/fans/auto" && !reason.empty())
        return reply(json(503, {{"ok", false}, {"message", reason}}));
    std::function<ActionResult()> perform;
    const auto simple = [&](ActionResult (FanActions::*method)()) {
        if (!RequestGuard::isEmptyOrObject(req.body))
            throw pyrelle::ScopeError("请求不是有效的 JSON");
        return std::function<ActionResult()>([this, method] { return (deps_.fans.*method)(); });
    };
    try {
        // Any other action replaces or ends the curve the editor shows as running.
        const auto replacing = [&](ActionResult (FanActions::*method)()) {
            return std::function<ActionResult()>([this, run = simple(method)] {
                ActionResult result = run();
                if (result.ok) runningCurve_.forget();
                return result;
            });
        };
        if (req.path == "/api/fans/test") {
            perform = replacing(&FanActions::test);
        } else if (req.path == "/api/fans/cooling") {
            perform = replacing(&FanActions::cooling);
        } else if (req.path == "/api/fans/auto") {
            perform = replacing(&FanActions::automatic);
        } else if (req.path == "/api/fans/curve") {
            const pyrelle::ControlRequest request = RequestGuard::curveRequest(req.body);
            perform = [this, request] {
                ActionResult result = deps_.fans.curve(request);
                if (result.ok) runningCurve_.started(request);
                return result;
            };
        } else {
            return reply(refusal(404, t(kNotFound)));
        }
    } catch (const pyrelle::ScopeError& error) {
        // Bad input never reaches the helper: the message says what is wrong.
        return reply(refusal(400, t(error.what())));
    }
    // The helper may take seconds to answer: off the event thread.
    HttpReply later;
    later.deferred = [perform, t] {
        const ActionResult result = perform();
        nlohmann::json body = {{"ok", result.ok},
                               {"message", Wording::helperWords(result.message, t)}};
        if (result.advice) body["advice"] = t(*result.advice);
        return json(200, body);
    };
    return later;
}

HttpReply WebServer::route(const HttpRequest& req, const AppText& t) {
    const std::string method = req.method == "HEAD" ? "GET" : req.method;
    const std::string& path = req.path;

    // The page assets say nothing about the machine; the login page needs the style sheet.
    // The pages carry their icon inline; this answers whatever asks for it by the usual name.
    if (method == "GET" && path == "/favicon.ico")
        return reply({200, "image/svg+xml", std::string(assets::text("favicon.svg")), {}});
    if (method == "GET" && path == "/assets/app.css")
        return reply({200, "text/css; charset=utf-8", std::string(assets::text("app.css")), {}});
    // The page script and its modules (fans editor, charts, tables, the lease bar).
    if (method == "GET" && path.rfind("/assets/", 0) == 0 && path.size() > 11 &&
        path.compare(path.size() - 3, 3, ".js") == 0) {
        const std::string name = path.substr(8);
        const bool plain =
            std::all_of(name.begin(), name.end() - 3, [](char c) { return c >= 'a' && c <= 'z'; });
        const std::string_view content = plain ? assets::text(name) : std::string_view();
        if (content.empty()) return reply(refusal(404, t(kNotFound)));
        return reply({200, "text/javascript; charset=utf-8", std::string(content), {}});
    }

    if (path == "/metrics") {
        if (!deps_.credentials.bearerMatches(req.header("authorization"))) {
            HttpResponse res = refusal(401, t(kNoBearer));
            res.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"Kilnview\"");
            return reply(res);
        }
        if (method != "GET") return reply(refusal(404, t(kNotFound)));
        return reply({200, kMetricsContentType, metricsText(deps_.state.view()), {}});
    }

    const bool api = path.rfind("/api/", 0) == 0 || path == "/events";
    // The printed address: its secret buys the session cookie, and the browser goes on to the
    // same address without it (so it stays out of history and bookmarks).
    if (method == "GET" && !req.param(kSecretParameter).empty()) {
        if (!deps_.credentials.secretMatches(req.param(kSecretParameter)))
            return reply(api ? refusal(401, t(kNoSession)) : loginPage(t));
        HttpResponse res{303, kHTML, "", {}};
        res.headers.emplace_back("Location", withoutSecret(req));
        res.headers.emplace_back("Set-Cookie", deps_.credentials.sessionCookie(cookieName_));
        return reply(res);
    }
    if (!deps_.credentials.sessionMatches(req.header("cookie"), cookieName_))
        return reply(api || method != "GET" ? refusal(401, t(kNoSession)) : loginPage(t));

    if (method == "POST") {
        const std::string origin = req.header("origin");
        if (!origin.empty() && !isLoopbackOrigin(origin))
            return reply(refusal(403, t(kForeignOrigin)));
        if (!RequestGuard::tokenMatches(deps_.token, req.header(kTokenHeader)))
            return reply(refusal(403, t(kBadToken)));
        // A form post (what another site can send without asking) is refused outright.
        const std::string type = req.header("content-type");
        if (!type.empty() && type.rfind("application/json", 0) != 0)
            return reply(refusal(415, t(kNeedsJSON)));
        return action(req, t);
    }
    if (method != "GET") return reply(refusal(404, t(kNotFound)));

    std::string theme = cookieValue(req.header("cookie"), kThemeCookie);
    if (theme != "light" && theme != "dark") theme.clear();
    const Pages::PageContext context{t, deps_.token, theme};
    const auto page = [](std::string html) { return reply({200, kHTML, std::move(html), {}}); };
    if (path == "/") return page(Pages::overview(context, deps_.state.view()));
    if (path == "/sensors") return page(Pages::sensors(context, deps_.state.view()));
    if (path == "/fans") {
        const AppView view = deps_.state.view();
        return page(Pages::fans(context, view, runningCurve_.current(view.control)));
    }
    if (path == "/history")
        return page(Pages::history(context, deps_.state.view(), deps_.state.history(true),
                                   HistoryCharts::window(req.param("minutes"))));
    // The charts alone, fetched by the history page each second, and the overview's sparklines.
    if (path == "/history/charts")
        return page(HistoryCharts::charts(t, deps_.state.history(),
                                          HistoryCharts::window(req.param("minutes"))));
    if (path == "/history/sparklines") {
        const AppHistory history = deps_.state.history();
        nlohmann::json lines = HistoryCharts::sparklines(history);
        // Every reading's line only for the page that lists them all.
        if (req.param("sensors") == "all")
            lines.update(HistoryCharts::sensorSparklines(deps_.state.trails(), history.end));
        return reply(json(200, lines));
    }
    if (path == "/processes") return page(Pages::processes(context, deps_.state.view()));
    if (path == "/power") {
        // The settings tool runs as a process: off the event thread.
        HttpReply later;
        later.deferred = [this, t, theme] {
            const Pages::PageContext c{t, deps_.token, theme};
            Pages::PowerReading reading;
            if (deps_.readPower) reading = deps_.readPower();
            return HttpResponse{200,
                                kHTML,
                                Pages::power(c, deps_.state.view(), deps_.state.history(), reading),
                                {}};
        };
        return later;
    }
    if (path == "/export.csv") {
        HttpResponse res{200, "text/csv; charset=utf-8", deps_.state.csv(), {}};
        res.headers.emplace_back("Content-Disposition",
                                 "attachment; filename=\"kilnview-export.csv\"");
        return reply(res);
    }
    if (path == "/api/state") return reply(json(200, liveState(deps_.state.view(), t)));
    if (path == "/api/history")
        return reply(json(200, historyState(deps_.state.history(), deps_.state.view().device)));
    if (path == "/events") {
        if (streams_.fetch_add(1) >= maximumStreams) {
            streams_.fetch_sub(1);
            return reply(refusal(503, t(kBusy)));
        }
        HttpReply stream;
        stream.response = {200, "text/event-stream", "", {{"X-Accel-Buffering", "no"}}};
        stream.stream = std::make_shared<EventStream>(*this, t);
        return stream;
    }
    return reply(refusal(404, t(kNotFound)));
}

}  // namespace kilnview
