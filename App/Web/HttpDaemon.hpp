#pragma once
// HttpDaemon: Kilnview's loopback HTTP server on GNU libmicrohttpd, bounded so that no peer
// can hold it: one event-driven thread serves every connection (a slow peer costs a socket and
// a fixed amount of memory, never a thread); each connection's memory is capped (request line
// and headers included, so a flood of headers is refused with 431 rather than stored); a
// request must arrive whole within `requestSeconds`; bodies over `bodyLimit` get 413;
// connections are counted per peer user (the owner of the peer socket, as the kernel records
// it) and in total. Handlers run on the event thread and must not block: anything slow is
// returned as `deferred` and runs on a worker while its connection waits; event streams wait
// suspended and are woken by wakeStreams(). stop() returns promptly whatever peers are doing.

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;
struct sockaddr;

namespace kilnview {

struct HttpRequest {
    std::string method;
    std::string path;                                        // without the query
    std::vector<std::pair<std::string, std::string>> query;  // decoded, in order
    std::map<std::string, std::string> headers;              // names in lower case
    std::string body;
    std::optional<uid_t> peer;  // who owns the peer socket; absent when the kernel did not say

    std::string header(const std::string& lowerCaseName) const;
    std::string param(std::string_view name) const;  // the first value; empty when absent
};

struct HttpResponse {
    int status = 200;
    std::string type;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// A response sent in pieces as they become available (server-sent events).
class ResponseStream {
public:
    virtual ~ResponseStream() = default;
    // The next piece: text to send, "" when there is nothing yet (the connection waits for
    // the next wakeStreams()), absent to end the response. Called on the event thread.
    virtual std::optional<std::string> next() = 0;
};

// What a handler answers: a response now, a response computed on a worker, or a stream
// (with `response`'s status, type and headers).
struct HttpReply {
    HttpResponse response;
    std::function<HttpResponse()> deferred;
    std::shared_ptr<ResponseStream> stream;
};

struct HttpLimits {
    uid_t owner = 0;               // the user whose peers (and root's) get the wide limit
    unsigned perTrustedPeer = 32;  // connections per peer user for the owner and root
    unsigned perOtherPeer = 4;     // per peer user for anyone else
    unsigned otherPeersTotal = 8;  // for all other users together
    unsigned total = 96;           // connections in total
    std::size_t connectionMemory = 32 * 1024;  // request line, headers and buffers
    std::size_t headerCount = 64;
    std::size_t bodyLimit = 16 * 1024;
    unsigned requestSeconds = 10;  // to receive one whole request, idle time before it included
    unsigned idleSeconds = 10;     // without any traffic
    std::size_t workers = 2;
    std::size_t queuedJobs = 16;
};

class HttpDaemon {
public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;
    // `overLimit` is the response to a request refused by the limits (body, header count,
    // workers busy), given its status.
    HttpDaemon(Handler handler, HttpLimits limits, std::function<HttpResponse(int)> overLimit);
    ~HttpDaemon();
    HttpDaemon(const HttpDaemon&) = delete;
    HttpDaemon& operator=(const HttpDaemon&) = delete;

    // Listens on 127.0.0.1:`port` (0 picks a free port) and starts serving; returns the port,
    // or -1 when it cannot.
    int start(int port);
    // Lets every waiting stream ask its ResponseStream again. Any thread.
    void wakeStreams();
    // Ends every stream and connection and the workers; returns once nothing runs. Any thread
    // but a handler's; idempotent.
    void stop();

    struct Exchange;
    struct Link;
    struct Stream;

private:
    friend struct HttpDaemonCallbacks;

    bool handle(MHD_Connection* connection, const char* url, const char* method, const char* upload,
                std::size_t* uploadSize, void** context);
    bool admit(const ::sockaddr* address, unsigned length);
    void noticeConnection(MHD_Connection* connection, void** socketContext, bool started);
    void completed(MHD_Connection* connection, void** context);
    long read(Stream& stream, char* buffer, std::size_t size);
    void streamFreed(Stream* stream);
    bool sendStream(MHD_Connection* connection, const HttpReply& reply);
    void reap();
    void work();

    Handler handler_;
    HttpLimits limits_;
    std::function<HttpResponse(int)> overLimit_;
    MHD_Daemon* daemon_ = nullptr;
    int port_ = 0;

    std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;                              // guarded by lock_
    std::set<Link*> links_;                              // guarded by lock_
    std::map<unsigned, std::optional<uid_t>> accepted_;  // peer port → owner; guarded by lock_
    std::set<Stream*> waiting_;                          // suspended streams; guarded by lock_
    std::set<std::shared_ptr<Exchange>> deferred_;       // suspended on a job; guarded by lock_
    std::deque<std::function<void()>> jobs_;             // guarded by lock_
    std::vector<std::thread> workers_;
    std::thread reaper_;
};

}  // namespace kilnview
