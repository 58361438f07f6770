#pragma once

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace pyrelle {

// One end of the control conversation: newline-framed compact JSON over an open descriptor
// that the channel never closes. Used by one thread at a time.
class ControlChannel {
public:
    // Longest line a sender may send, newline included; a receiver refuses this many bytes
    // without a newline.
    static constexpr size_t kLineLimit = 16384;
    // Largest single read.
    static constexpr size_t kReadSize = 4096;
    // Largest single write: what a pipe (PIPE_BUF) or socket that polls writable always takes.
    static constexpr size_t kWriteSize = 4096;
    // Longest single wait for input, whatever the caller's timeout; also the longest a whole
    // line may wait for the peer to take it.
    static constexpr double kDefaultWaitCap = 150;

    explicit ControlChannel(int fd, double waitCap = kDefaultWaitCap,
                            std::function<double()> uptime = {});

    int fd() const { return fd_; }

    // The next line without its newline; absent at end of input (a partial line is dropped).
    // Throws ScopeError: "控制消息过长", "辅助进程响应超时", "辅助进程通信中断或超时",
    // "辅助进程读取失败".
    std::optional<std::string> readLine(double timeout);

    // Writes `json` compactly plus a newline, all or nothing by size: a line over the limit is
    // not written ("控制消息过长"); a failed write throws "辅助进程写入失败"; a peer that has
    // not taken the whole line within the wait cap throws "辅助进程通信中断或超时" (the line
    // may then be partly written: the conversation is over).
    void send(const nlohmann::json& json);

    template <typename Record>
    void send(const Record& record) {
        send(nlohmann::json(record));
    }

private:
    std::optional<std::string> takeLine();

    int fd_;
    double waitCap_;
    std::function<double()> uptime_;
    std::string pending_;
};

}  // namespace pyrelle
