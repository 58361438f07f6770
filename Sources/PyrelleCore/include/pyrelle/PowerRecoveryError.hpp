#pragma once

#include <string>
#include <utility>

#include "pyrelle/PowerBackup.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle {

// A power failure after which some of the user's original settings are not confirmed back in
// place: a rollback whose write-back failed, or a restore that could not read a setting. The
// message names each such entry with its original value; `backup` holds exactly those
// entries, so the caller keeps the user's values and can restore them later (a restore only
// touches entries that still hold the value the transaction wrote).
class PowerRecoveryError : public ScopeError {
public:
    PowerRecoveryError(const std::string& message, PowerBackup backup)
        : ScopeError(message), backup_(std::move(backup)) {}

    const PowerBackup& backup() const { return backup_; }

private:
    PowerBackup backup_;
};

}  // namespace pyrelle
