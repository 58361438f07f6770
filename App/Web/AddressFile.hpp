#pragma once
// AddressFile: the printed address (with its secret) kept for the run in a file only the user
// can read, in the user's runtime directory, so `Kilnview --open` can open a browser on it.
// The directory must be the user's own and closed to others; the file is created new
// (O_EXCL, never through a link) and renamed into place, and removed at the end of the run
// only while it is still the one this run wrote.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace kilnview {

class AddressFile {
public:
    static constexpr const char* fileName = "kilnview-address";

    AddressFile() = default;
    ~AddressFile() { remove(); }
    AddressFile(const AddressFile&) = delete;
    AddressFile& operator=(const AddressFile&) = delete;

    // The runtime directory of `user`: $XDG_RUNTIME_DIR when it is that user's, else
    // /run/user/UID.
    static std::filesystem::path runtimeDirectory(uid_t user);

    // Writes `address`; returns why it could not.
    std::optional<std::string> write(const std::filesystem::path& directory,
                                     const std::string& address, uid_t user);
    void remove();

    // The address a running Kilnview of `user` wrote, checked (the user's own file, closed to
    // others, an address on 127.0.0.1); absent with `problem` set otherwise.
    static std::optional<std::string> read(const std::filesystem::path& directory, uid_t user,
                                           std::string& problem);

private:
    int directory_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// The long-lived /metrics token from `file`: the first line, which must be visible ASCII. The
// file must be a regular file (not a link) of `user` or root that no one else may read or
// write. Absent with `problem` set otherwise.
std::optional<std::string> readTokenFile(const std::filesystem::path& file, uid_t user,
                                         std::string& problem);

// `Kilnview --open`: starts xdg-open on the running Kilnview's address; returns the exit status.
int openInBrowser();

}  // namespace kilnview
