#pragma once

#include <cstdint>
#include <string>

namespace pyrelle {

// The outcome of one external command: how it ended and what it printed.
struct CommandResult {
    std::int32_t status = 0;  // exit status, or the signal number when a signal ended it
    std::string output;       // stdout and stderr interleaved, first 131072 bytes, valid UTF-8

    bool operator==(const CommandResult&) const = default;
};

}  // namespace pyrelle
