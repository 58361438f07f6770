#include "Web/WebServer.hpp"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "Web/AppText.hpp"
#include "Web/Assets.hpp"
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
constexpr const char* kTokenHeader = "X-Kilnview-Token";
constexpr const char* kLanguageCookie = "kilnview_lang";

// Refusal texts (Chinese sources, translated per request).
constexpr const char* kForeignHost = "拒绝请求：Host 不是本机回环地址";
constexpr const char* kForeignOrigin = "拒绝请求：来源不是本机页面";
constexpr const char* kBadToken = "拒绝请求：缺少或错误的页面令牌";
constexpr const char* kNotFound = "未找到该页面";
constexpr const char* kTooLarge = "请求内容过大";
constexpr const char* kNeedsJSON = "请求内容必须是 JSON";
constexpr const char* kBadRequest = "请求无效";
constexpr const char* kBusy = "实时连接过多，请稍后重试";
constexpr const char* kInternal = "内部错误";

std::string cookieValue(const std::string& header, std::string_view name) {
    std::size_t start = 0;
    while (start < header.size()) {
        std::size_t end = header.find(';', start);
        if (end == std::string::npos) end = header.size();
        std::string_view item(header.data() + start, end - start);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        if (item.size() > name.size() && item.substr(0, name.size()) == name &&
            item[name.size()] == '=')
            return std::string(item.substr(name.size() + 1));
        start = end + 1;
    }
    return {};
}

void security(httplib::Response& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
    res.set_header(
        "Content-Security-Policy",
        "default-src 'self'; img-src 'self' data:; style-src 'self'; "
        "script-src 'self'; connect-src 'self'; frame-ancestors 'none'; form-action 'self'");
}

void json(httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.set_content(body.dump(), kJSON);
}

void refuse(httplib::Response& res, int status, const std::string& message) {
    json(res, status, {{"ok", false}, {"message", message}});
}

bool isLoopbackOrigin(const std::string& origin) {
    for (std::string_view scheme : {"http://"}) {
        if (origin.rfind(scheme, 0) == 0)
            return RequestGuard::isLoopbackHost(origin.substr(scheme.size()));
    }
    return false;
}

}  // namespace

WebServer::WebServer(WebDependencies dependencies)
    : deps_(std::move(dependencies)), server_(std::make_unique<httplib::Server>()) {
    // Few threads: the event streams, plus a browser's handful of parallel connections (an
    // idle keep-alive connection holds its thread for the keep-alive timeout) and a scraper.
    server_->new_task_queue = [] { return new httplib::ThreadPool(maximumStreams + 8); };
    server_->set_keep_alive_timeout(2);
    server_->set_payload_max_length(RequestGuard::bodyLimit);
    server_->set_keep_alive_max_count(20);
    server_->set_read_timeout(5, 0);
    server_->set_write_timeout(5, 0);
    routes();
}

WebServer::~WebServer() {
    stop();
}

int WebServer::bind(int port) {
    if (port == 0) return server_->bind_to_any_port("127.0.0.1");
    return server_->bind_to_port("127.0.0.1", port) ? port : -1;
}

bool WebServer::run() {
    return server_->listen_after_bind();
}

void WebServer::stop() {
    deps_.feed.close();
    if (server_) server_->stop();
}

void WebServer::routes() {
    httplib::Server& server = *server_;
    const auto text = [this](const httplib::Request& req) {
        const std::string language =
            resolveLanguage(req.get_param_value("lang"),
                            cookieValue(req.get_header_value("Cookie"), kLanguageCookie),
                            req.get_header_value("Accept-Language"), deps_.processLanguages);
        return AppText(deps_.strings, language);
    };

    server.set_pre_routing_handler(
        [this, text](const httplib::Request& req, httplib::Response& res) {
            security(res);
            const AppText t = text(req);
            if (!RequestGuard::isLoopbackHost(req.get_header_value("Host"))) {
                refuse(res, 421, t(kForeignHost));
                return httplib::Server::HandlerResponse::Handled;
            }
            if (req.method == "POST") {
                const std::string origin = req.get_header_value("Origin");
                if (!origin.empty() && !isLoopbackOrigin(origin)) {
                    refuse(res, 403, t(kForeignOrigin));
                    return httplib::Server::HandlerResponse::Handled;
                }
                if (!RequestGuard::tokenMatches(deps_.token, req.get_header_value(kTokenHeader))) {
                    refuse(res, 403, t(kBadToken));
                    return httplib::Server::HandlerResponse::Handled;
                }
                // The body is read after this check, so its type is judged by the header: a form
                // post (what another site can send without asking) is refused outright.
                const std::string type = req.get_header_value("Content-Type");
                if (!type.empty() && type.rfind("application/json", 0) != 0) {
                    refuse(res, 415, t(kNeedsJSON));
                    return httplib::Server::HandlerResponse::Handled;
                }
            }
            // A chosen language is remembered for the next pages.
            const std::string chosen = req.get_param_value("lang");
            if (languageFor(chosen) && *languageFor(chosen) == chosen) {
                res.set_header("Set-Cookie", std::string(kLanguageCookie) + "=" + chosen +
                                                 "; Path=/; SameSite=Strict; Max-Age=31536000");
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });

    server.set_error_handler([text](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;
        const AppText t = text(req);
        const char* message = res.status == 404   ? kNotFound
                              : res.status == 413 ? kTooLarge
                              : res.status >= 500 ? kInternal
                                                  : kBadRequest;
        refuse(res, res.status, t(message));
    });
    server.set_exception_handler(
        [text](const httplib::Request& req, httplib::Response& res, std::exception_ptr) {
            refuse(res, 500, text(req)(kInternal));
        });

    const auto page = [this, text](auto render) {
        return [this, text, render](const httplib::Request& req, httplib::Response& res) {
            const AppText t = text(req);
            const Pages::PageContext context{t, deps_.token};
            res.set_content(render(context), kHTML);
        };
    };
    server.Get("/", page([this](const Pages::PageContext& c) {
                   return Pages::overview(c, deps_.state.view());
               }));
    server.Get("/sensors", page([this](const Pages::PageContext& c) {
                   return Pages::sensors(c, deps_.state.view());
               }));
    server.Get("/fans", page([this](const Pages::PageContext& c) {
                   const AppView view = deps_.state.view();
                   return Pages::fans(c, view, runningCurve_.current(view.control));
               }));
    server.Get("/history", [this, text](const httplib::Request& req, httplib::Response& res) {
        const AppText t = text(req);
        res.set_content(Pages::history({t, deps_.token}, deps_.state.view(), deps_.state.history(true),
                                       HistoryCharts::window(req.get_param_value("minutes"))),
                        kHTML);
    });
    // The charts alone, fetched by the history page each second, and the overview's sparklines.
    server.Get("/history/charts", [this, text](const httplib::Request& req, httplib::Response& res) {
        res.set_content(HistoryCharts::charts(text(req), deps_.state.history(),
                                              HistoryCharts::window(req.get_param_value("minutes"))),
                        kHTML);
    });
    server.Get("/history/sparklines", [this](const httplib::Request&, httplib::Response& res) {
        json(res, 200, HistoryCharts::sparklines(deps_.state.history()));
    });
    server.Get("/processes", page([this](const Pages::PageContext& c) {
                   return Pages::processes(c, deps_.state.view());
               }));
    server.Get("/power", page([this](const Pages::PageContext& c) {
                   Pages::PowerReading reading;
                   if (deps_.readPower) reading = deps_.readPower();
                   return Pages::power(c, deps_.state.view(), deps_.state.history(), reading);
               }));

    server.Get("/export.csv", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Disposition", "attachment; filename=\"kilnview-export.csv\"");
        res.set_content(deps_.state.csv(), "text/csv; charset=utf-8");
    });
    server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(metricsText(deps_.state.view()), kMetricsContentType);
    });
    server.Get("/api/state", [this, text](const httplib::Request& req, httplib::Response& res) {
        json(res, 200, liveState(deps_.state.view(), text(req)));
    });
    server.Get("/api/history", [this](const httplib::Request&, httplib::Response& res) {
        json(res, 200, historyState(deps_.state.history(), deps_.state.view().device));
    });
    server.Get("/events", [this, text](const httplib::Request& req, httplib::Response& res) {
        if (streams_.fetch_add(1) >= maximumStreams) {
            streams_.fetch_sub(1);
            refuse(res, 503, text(req)(kBusy));
            return;
        }
        const AppText t = text(req);
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, t, seen = std::uint64_t{0}, first = true](std::size_t,
                                                             httplib::DataSink& sink) mutable {
                if (!first) {
                    const std::uint64_t now = deps_.feed.wait(seen, 15);
                    if (deps_.feed.closed()) return false;
                    if (now == seen) {
                        // A comment keeps idle connections open through proxies and timeouts.
                        static const std::string ping = ": ping\n\n";
                        return sink.is_writable() && sink.write(ping.data(), ping.size());
                    }
                    seen = now;
                } else {
                    seen = deps_.feed.sequence();
                    first = false;
                }
                const std::string message =
                    "data: " + liveState(deps_.state.view(), t).dump() + "\n\n";
                return sink.is_writable() && sink.write(message.data(), message.size());
            },
            [this](bool) { streams_.fetch_sub(1); });
    });
    server.Get("/assets/app.css", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(assets::text("app.css")), "text/css; charset=utf-8");
    });
    server.Get("/assets/app.js", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(assets::text("app.js")), "text/javascript; charset=utf-8");
    });
    // The page modules (fans editor, charts, tables, the lease bar), each its own asset.
    server.Get(R"(/assets/([a-z]+\.js))", [](const httplib::Request& req, httplib::Response& res) {
        const std::string_view content = assets::text(req.matches[1].str());
        if (content.empty()) {
            res.status = 404;
            return;
        }
        res.set_content(std::string(content), "text/javascript; charset=utf-8");
    });

    // `whileSilent`: the action may run while the SMC does not answer. Only handing the fans
    // back to the system may: the others would drive fans no one can see.
    const auto action = [this, text](auto perform, bool whileSilent = false) {
        return [this, text, perform, whileSilent](const httplib::Request& req,
                                                  httplib::Response& res) {
            const AppText t = text(req);
            if (const std::string reason = Wording::outage(deps_.state.view().device, t);
                !whileSilent && !reason.empty()) {
                json(res, 503, {{"ok", false}, {"message", reason}});
                return;
            }
            ActionResult result;
            try {
                result = perform(req);
            } catch (const pyrelle::ScopeError& error) {
                // Bad input never reaches the helper: the message says what is wrong.
                refuse(res, 400, t(error.what()));
                return;
            }
            nlohmann::json body = {{"ok", result.ok}, {"message", t(result.message)}};
            if (result.advice) body["advice"] = t(*result.advice);
            json(res, 200, body);
        };
    };
    const auto simple = [this](ActionResult (FanActions::*method)()) {
        return [this, method](const httplib::Request& req) {
            if (!RequestGuard::isEmptyOrObject(req.body))
                throw pyrelle::ScopeError("请求不是有效的 JSON");
            return (deps_.fans.*method)();
        };
    };
    // Any other action replaces or ends the curve the editor shows as running.
    const auto replacing = [this, simple](ActionResult (FanActions::*method)()) {
        return [this, run = simple(method)](const httplib::Request& req) {
            ActionResult result = run(req);
            if (result.ok) runningCurve_.forget();
            return result;
        };
    };
    server.Post("/api/fans/test", action(replacing(&FanActions::test)));
    server.Post("/api/fans/cooling", action(replacing(&FanActions::cooling)));
    server.Post("/api/fans/auto", action(replacing(&FanActions::automatic), true));
    server.Post("/api/fans/curve", action([this](const httplib::Request& req) {
                    const pyrelle::ControlRequest request = RequestGuard::curveRequest(req.body);
                    ActionResult result = deps_.fans.curve(request);
                    if (result.ok) runningCurve_.started(request);
                    return result;
                }));
    // The editor's live validation: the same checks as a start, without starting anything.
    server.Post("/api/fans/curve/check", [text](const httplib::Request& req, httplib::Response& res) {
        json(res, 200, CurveEditor::check(req.body, text(req)));
    });
}

}  // namespace kilnview
