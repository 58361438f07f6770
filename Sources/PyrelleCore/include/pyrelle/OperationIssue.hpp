#pragma once

#include <string>
#include <string_view>

namespace pyrelle {

// What the desktop application shows for a failed operation: a short headline and what the
// user should do next, classified from the error message by fixed substrings.
struct OperationIssue {
    std::string title;
    std::string guidance;

    // First match wins: a failed restore, a read-back mismatch, a cancelled authorisation,
    // anything else. Matching is plain and case-sensitive.
    explicit OperationIssue(std::string_view message);

    friend bool operator==(const OperationIssue&, const OperationIssue&) = default;
};

}  // namespace pyrelle
