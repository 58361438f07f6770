#include "Web/HttpDaemon.hpp"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string_view>

#include "Web/PeerOwner.hpp"

namespace kilnview {

using Clock = std::chrono::steady_clock;

// One TCP connection, from its acceptance to its close.
struct HttpDaemon::Link {
    int fd = -1;
    std::optional<uid_t> owner;
    Clock::time_point since;  // when the request now awaited began to be awaited
    bool receiving = true;    // a request is awaited or arriving (bounded by requestSeconds)
};

// One request on a connection.
struct HttpDaemon::Exchange {
    MHD_Connection* connection = nullptr;  // null once the request is over; guarded by lock_
    std::string body;
    bool tooLarge = false;
    bool suspended = false;             // waiting for a deferred response; guarded by lock_
    std::optional<HttpResponse> ready;  // the deferred response; guarded by lock_
};

// One streamed response.
struct HttpDaemon::Stream {
    HttpDaemon* daemon = nullptr;
    MHD_Connection* connection = nullptr;
    std::shared_ptr<ResponseStream> source;
    std::string pending;
    std::size_t offset = 0;
};

std::string HttpRequest::header(const std::string& lowerCaseName) const {
    const auto found = headers.find(lowerCaseName);
    return found == headers.end() ? std::string() : found->second;
}

std::string HttpRequest::param(std::string_view name) const {
    for (const auto& [key, value] : query)
        if (key == name) return value;
    return {};
}

// libmicrohttpd's C callbacks, forwarding to the daemon.
struct HttpDaemonCallbacks {
    static MHD_Result access(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char* upload,
                             std::size_t* uploadSize, void** context) {
        return static_cast<HttpDaemon*>(self)->handle(connection, url, method, upload, uploadSize,
                                                      context)
                   ? MHD_YES
                   : MHD_NO;
    }
    static MHD_Result admit(void* self, const sockaddr* address, socklen_t length) {
        return static_cast<HttpDaemon*>(self)->admit(address, length) ? MHD_YES : MHD_NO;
    }
    static void notice(void* self, MHD_Connection* connection, void** socketContext,
                       MHD_ConnectionNotificationCode code) {
        static_cast<HttpDaemon*>(self)->noticeConnection(connection, socketContext,
                                                         code == MHD_CONNECTION_NOTIFY_STARTED);
    }
    static void completed(void* self, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode) {
        static_cast<HttpDaemon*>(self)->completed(connection, context);
    }
    static ssize_t read(void* stream, uint64_t, char* buffer, std::size_t size) {
        auto* s = static_cast<HttpDaemon::Stream*>(stream);
        return static_cast<ssize_t>(s->daemon->read(*s, buffer, size));
    }
    static void freed(void* stream) {
        auto* s = static_cast<HttpDaemon::Stream*>(stream);
        s->daemon->streamFreed(s);
    }
    static MHD_Result collect(void* into, MHD_ValueKind, const char* key, const char* value) {
        std::string name = key ? key : "";
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        static_cast<std::map<std::string, std::string>*>(into)->emplace(name, value ? value : "");
        return MHD_YES;
    }
    static MHD_Result collectQuery(void* into, MHD_ValueKind, const char* key, const char* value) {
        static_cast<std::vector<std::pair<std::string, std::string>>*>(into)->emplace_back(
            key ? key : "", value ? value : "");
        return MHD_YES;
    }
};

namespace {

// Whether the request's Accept-Encoding admits gzip (named, and not with a weight of zero).
bool acceptsGzip(MHD_Connection* connection) {
    const char* header =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    if (!header) return false;
    const std::string_view value(header);
    const std::size_t at = value.find("gzip");
    if (at == std::string_view::npos) return false;
    const std::string_view rest = value.substr(at + 4, value.find(',', at) - (at + 4));
    return rest.find("q=0") == std::string_view::npos ||
           rest.find("q=0.") != std::string_view::npos;
}

// Text worth compressing: pages, style, scripts, JSON and CSV of a kilobyte or more. Absent
// when zlib fails, and the body then goes out as it is.
std::optional<std::string> gzipped(const HttpResponse& response) {
    const std::string& type = response.type;
    const bool text = type.rfind("text/", 0) == 0 || type.rfind("application/json", 0) == 0;
    if (!text || response.body.size() < 1024) return std::nullopt;
    for (const auto& [name, value] : response.headers)
        if (name == MHD_HTTP_HEADER_CONTENT_ENCODING) return std::nullopt;
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        return std::nullopt;
    std::string out(deflateBound(&stream, response.body.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(response.body.data()));
    stream.avail_in = static_cast<uInt>(response.body.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) return std::nullopt;
    return out;
}

bool queue(MHD_Connection* connection, const HttpResponse& response, bool close) {
    const std::optional<std::string> compressed =
        acceptsGzip(connection) ? gzipped(response) : std::nullopt;
    const std::string& body = compressed ? *compressed : response.body;
    MHD_Response* reply = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!reply) return false;
    if (compressed) MHD_add_response_header(reply, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    MHD_add_response_header(reply, MHD_HTTP_HEADER_VARY, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    if (!response.type.empty())
        MHD_add_response_header(reply, MHD_HTTP_HEADER_CONTENT_TYPE, response.type.c_str());
    for (const auto& [name, value] : response.headers)
        MHD_add_response_header(reply, name.c_str(), value.c_str());
    if (close) MHD_add_response_header(reply, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
    MHD_destroy_response(reply);
    return queued == MHD_YES;
}

}  // namespace

HttpDaemon::HttpDaemon(Handler handler, HttpLimits limits,
                       std::function<HttpResponse(int)> overLimit)
    : handler_(std::move(handler)), limits_(limits), overLimit_(std::move(overLimit)) {}

HttpDaemon::~HttpDaemon() {
    stop();
}

int HttpDaemon::start(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    port_ = port;
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, &HttpDaemonCallbacks::admit,
        this, &HttpDaemonCallbacks::access, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&address), MHD_OPTION_CONNECTION_LIMIT, limits_.total,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.connectionMemory, MHD_OPTION_CONNECTION_TIMEOUT,
        limits_.idleSeconds, MHD_OPTION_NOTIFY_CONNECTION, &HttpDaemonCallbacks::notice, this,
        MHD_OPTION_NOTIFY_COMPLETED, &HttpDaemonCallbacks::completed, this, MHD_OPTION_END);
    if (!daemon_) return -1;
    if (port == 0) {
        const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
        if (!info || info->port == 0) {
            MHD_stop_daemon(daemon_);
            daemon_ = nullptr;
            return -1;
        }
        // Peers are only admitted once the port is known (admit compares against it).
        std::lock_guard<std::mutex> guard(lock_);
        port_ = info->port;
    }
    reaper_ = std::thread([this] { reap(); });
    for (std::size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { work(); });
    return port_;
}

bool HttpDaemon::admit(const sockaddr* address, unsigned length) {
    if (address->sa_family != AF_INET || length < sizeof(sockaddr_in)) return false;
    const auto* peer = reinterpret_cast<const sockaddr_in*>(address);
    std::unique_lock<std::mutex> guard(lock_);
    const PeerOwner::Endpoint server{htonl(INADDR_LOOPBACK), static_cast<std::uint16_t>(port_)};
    guard.unlock();
    const PeerOwner::Endpoint client{peer->sin_addr.s_addr, ntohs(peer->sin_port)};
    const std::optional<uid_t> owner = PeerOwner::ownerOf(client, server);
    const auto trusted = [&](const std::optional<uid_t>& uid) {
        return uid && (*uid == limits_.owner || *uid == 0);
    };
    guard.lock();
    if (stopping_) return false;
    // A connection admitted here but never started (the library gave up on it) would count
    // for ever; there are never more than a few in flight.
    if (accepted_.size() > limits_.total) accepted_.clear();
    unsigned same = 0, others = 0;
    const auto count = [&](const std::optional<uid_t>& uid) {
        if (uid == owner) ++same;
        if (!trusted(uid)) ++others;
    };
    for (const Link* link : links_) count(link->owner);
    for (const auto& [port, uid] : accepted_) count(uid);
    const bool room = trusted(owner)
                          ? same < limits_.perTrustedPeer
                          : same < limits_.perOtherPeer && others < limits_.otherPeersTotal;
    if (room) accepted_[client.port] = owner;
    return room;
}

void HttpDaemon::noticeConnection(MHD_Connection* connection, void** socketContext, bool started) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!started) {
        auto* link = static_cast<Link*>(*socketContext);
        links_.erase(link);
        delete link;
        *socketContext = nullptr;
        return;
    }
    auto link = std::make_unique<Link>();
    link->since = Clock::now();
    if (const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
        link->fd = info->connect_fd;
    if (const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        info && info->client_addr && info->client_addr->sa_family == AF_INET) {
        const auto* peer = reinterpret_cast<const sockaddr_in*>(info->client_addr);
        const auto found = accepted_.find(ntohs(peer->sin_port));
        if (found != accepted_.end()) {
            link->owner = found->second;
            accepted_.erase(found);
        }
    }
    *socketContext = link.get();
    links_.insert(link.release());
    changed_.notify_all();
}

void HttpDaemon::completed(MHD_Connection* connection, void** context) {
    std::lock_guard<std::mutex> guard(lock_);
    if (auto* holder = static_cast<std::shared_ptr<Exchange>*>(*context)) {
        (*holder)->connection = nullptr;
        (*holder)->suspended = false;
        deferred_.erase(*holder);
        delete holder;
        *context = nullptr;
    }
    // The next request on this connection is awaited from now.
    if (const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)) {
        auto* link = static_cast<Link*>(info->socket_context);
        if (links_.count(link)) {
            link->since = Clock::now();
            link->receiving = true;
            changed_.notify_all();
        }
    }
}

bool HttpDaemon::handle(MHD_Connection* connection, const char* url, const char* method,
                        const char* upload, std::size_t* uploadSize, void** context) {
    auto* holder = static_cast<std::shared_ptr<Exchange>*>(*context);
    if (!holder) {
        auto exchange = std::make_shared<Exchange>();
        exchange->connection = connection;
        {
            std::lock_guard<std::mutex> guard(lock_);
            *context = new std::shared_ptr<Exchange>(exchange);
        }
        const int headers =
            MHD_get_connection_values(connection, MHD_HEADER_KIND, nullptr, nullptr);
        if (headers < 0 || static_cast<std::size_t>(headers) > limits_.headerCount)
            return queue(connection, overLimit_(431), true);
        // A declared body over the limit is refused before any of it is read.
        if (const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                             MHD_HTTP_HEADER_CONTENT_LENGTH)) {
            char* end = nullptr;
            const unsigned long long declared = std::strtoull(length, &end, 10);
            if (end == length || declared > limits_.bodyLimit)
                return queue(connection, overLimit_(413), true);
        }
        return true;
    }
    const std::shared_ptr<Exchange> exchange = *holder;
    if (*uploadSize > 0) {
        if (exchange->body.size() + *uploadSize > limits_.bodyLimit)
            exchange->tooLarge = true;
        else
            exchange->body.append(upload, *uploadSize);
        *uploadSize = 0;
        return true;
    }

    // The whole request is here: it is no longer subject to the request deadline.
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)) {
            auto* link = static_cast<Link*>(info->socket_context);
            if (links_.count(link)) link->receiving = false;
        }
        if (exchange->ready) {
            const HttpResponse response = std::move(*exchange->ready);
            exchange->ready.reset();
            return queue(connection, response, false);
        }
        if (exchange->suspended) return true;
    }
    if (exchange->tooLarge) return queue(connection, overLimit_(413), true);

    HttpRequest request;
    request.method = method ? method : "";
    request.path = url ? url : "";
    request.body = std::move(exchange->body);
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &HttpDaemonCallbacks::collect,
                              &request.headers);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &HttpDaemonCallbacks::collectQuery,
                              &request.query);
    if (const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)) {
        std::lock_guard<std::mutex> guard(lock_);
        auto* link = static_cast<Link*>(info->socket_context);
        if (links_.count(link)) request.peer = link->owner;
    }

    HttpReply reply = handler_(request);
    if (reply.deferred) {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_ || jobs_.size() >= limits_.queuedJobs)
            return queue(connection, overLimit_(503), false);
        exchange->suspended = true;
        deferred_.insert(exchange);
        MHD_suspend_connection(connection);
        jobs_.push_back([this, exchange, job = std::move(reply.deferred)] {
            HttpResponse response;
            try {
                response = job();
            } catch (...) {
                response = overLimit_(500);
            }
            std::lock_guard<std::mutex> guard(lock_);
            if (!exchange->suspended || !exchange->connection) return;
            exchange->ready = std::move(response);
            exchange->suspended = false;
            deferred_.erase(exchange);
            MHD_resume_connection(exchange->connection);
        });
        changed_.notify_all();
        return true;
    }
    if (reply.stream) return sendStream(connection, reply);
    return queue(connection, reply.response, false);
}

bool HttpDaemon::sendStream(MHD_Connection* connection, const HttpReply& reply) {
    auto* stream = new Stream{this, connection, reply.stream, {}, 0};
    MHD_Response* response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 4096, &HttpDaemonCallbacks::read, stream, &HttpDaemonCallbacks::freed);
    if (!response) {
        delete stream;
        return false;
    }
    if (!reply.response.type.empty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                                reply.response.type.c_str());
    for (const auto& [name, value] : reply.response.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(reply.response.status), response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

long HttpDaemon::read(Stream& stream, char* buffer, std::size_t size) {
    if (stream.offset >= stream.pending.size()) {
        // Under the lock, so a wakeStreams() between asking and suspending is not lost.
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) return MHD_CONTENT_READER_END_OF_STREAM;
        std::optional<std::string> piece = stream.source->next();
        if (!piece) return MHD_CONTENT_READER_END_OF_STREAM;
        if (piece->empty()) {
            waiting_.insert(&stream);
            MHD_suspend_connection(stream.connection);
            return 0;
        }
        stream.pending = std::move(*piece);
        stream.offset = 0;
    }
    const std::size_t n = std::min(size, stream.pending.size() - stream.offset);
    std::memcpy(buffer, stream.pending.data() + stream.offset, n);
    stream.offset += n;
    return static_cast<long>(n);
}

void HttpDaemon::streamFreed(Stream* stream) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        waiting_.erase(stream);
    }
    delete stream;
}

void HttpDaemon::wakeStreams() {
    std::lock_guard<std::mutex> guard(lock_);
    for (Stream* stream : waiting_) MHD_resume_connection(stream->connection);
    waiting_.clear();
}

void HttpDaemon::reap() {
    std::unique_lock<std::mutex> guard(lock_);
    const auto allowed = std::chrono::seconds(limits_.requestSeconds);
    while (!stopping_) {
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> next;
        for (Link* link : links_) {
            if (!link->receiving) continue;
            const Clock::time_point deadline = link->since + allowed;
            if (deadline <= now) {
                // The event thread sees the connection end and closes it; the descriptor is
                // still open here, since a link is forgotten (under this lock) before its
                // connection's socket is closed.
                ::shutdown(link->fd, SHUT_RDWR);
                link->receiving = false;
            } else if (!next || deadline < *next) {
                next = deadline;
            }
        }
        if (next)
            changed_.wait_until(guard, *next);
        else
            changed_.wait(guard);
    }
}

void HttpDaemon::work() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [&] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        guard.unlock();
        job();
        guard.lock();
    }
}

void HttpDaemon::stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) return;
        stopping_ = true;
        // Queued jobs never start; every waiting connection is let go so the library can
        // close it (it must not be stopped with suspended connections).
        jobs_.clear();
        for (Stream* stream : waiting_) MHD_resume_connection(stream->connection);
        waiting_.clear();
        for (const std::shared_ptr<Exchange>& exchange : deferred_) {
            exchange->suspended = false;
            exchange->ready = overLimit_(503);
            if (exchange->connection) MHD_resume_connection(exchange->connection);
        }
        deferred_.clear();
    }
    changed_.notify_all();
    if (daemon_) MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    if (reaper_.joinable()) reaper_.join();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
}

}  // namespace kilnview
