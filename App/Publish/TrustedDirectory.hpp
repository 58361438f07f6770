#pragma once
// TrustedDirectory: whether a directory Kilnview writes into could have been replaced by
// another user. The path is walked from / one component at a time, each opened without
// following a symbolic link and judged by what was opened: every directory must belong to
// root or the user and be writable by no one else, except a sticky directory of root or the
// user (such as /tmp), whose entries others cannot replace. A symbolic link is followed only
// where no one else could have put it: in a directory of the user, or of root that only root
// may change. Components that do not exist yet are created (mode 0700) as the walk reaches
// them, so no one can slip them in before Kilnview writes there.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace kilnview::TrustedDirectory {

// Why `directory` cannot be trusted for `user`, in a sentence naming the component; absent
// when it can (it then exists). Relative paths are taken from the working directory.
std::optional<std::string> problem(const std::filesystem::path& directory, uid_t user);

}  // namespace kilnview::TrustedDirectory
