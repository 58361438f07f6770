#pragma once

#include <string>

namespace pyrelle {

// A fresh random UUID as upper-case text (36 characters): the form of session identifiers
// and of Kilnview's per-run token.
std::string randomIdentifier();

}  // namespace pyrelle
