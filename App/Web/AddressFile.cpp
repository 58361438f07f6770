#include "Web/AddressFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kilnview {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kLargest = 4096;

// The first line of a file opened without following a link, if it is a regular file of
// `user` (or root) closed to everyone else.
std::optional<std::string> firstLine(int directory, const char* name, uid_t user,
                                     std::string& problem) {
    const int fd = ::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        problem = std::strerror(errno);
        return std::nullopt;
    }
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = "not a regular file";
    } else if (info.st_uid != user && info.st_uid != 0) {
        problem = "belongs to another user";
    } else if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        problem = "other users may read or change it (chmod 600)";
    } else {
        char buffer[kLargest];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) problem = std::strerror(errno);
        if (n > 0) text.assign(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!problem.empty()) return std::nullopt;
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

bool visible(const std::string& text) {
    for (unsigned char c : text)
        if (c <= 0x20 || c >= 0x7f) return false;
    return !text.empty();
}

}  // namespace

fs::path AddressFile::runtimeDirectory(uid_t user) {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        struct stat info {};
        if (::stat(runtime, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == user)
            return runtime;
    }
    return fs::path("/run/user") / std::to_string(user);
}

std::optional<std::string> AddressFile::write(const fs::path& directory, const std::string& address,
                                              uid_t user) {
    remove();
    const int dir = ::open(directory.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_PATH);
    struct stat info {};
    if (dir < 0 || ::fstat(dir, &info) != 0) {
        if (dir >= 0) ::close(dir);
        return directory.string() + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != user ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        ::close(dir);
        return directory.string() + " is not a directory of this user closed to others";
    }
    const std::string temporary = std::string(fileName) + "." + std::to_string(::getpid());
    const int fd = ::openat(dir, temporary.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const std::string why = std::strerror(errno);
        ::close(dir);
        return directory.string() + "/" + temporary + ": " + why;
    }
    const std::string line = address + "\n";
    const bool written =
        ::fchmod(fd, 0600) == 0 &&
        ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
        ::fstat(fd, &info) == 0;
    ::close(fd);
    if (!written || ::renameat(dir, temporary.c_str(), dir, fileName) != 0) {
        const std::string why = std::strerror(errno);
        ::unlinkat(dir, temporary.c_str(), 0);
        ::close(dir);
        return directory.string() + "/" + fileName + ": " + why;
    }
    directory_ = dir;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    return std::nullopt;
}

void AddressFile::remove() {
    if (directory_ < 0) return;
    struct stat info {};
    // A later Kilnview of the same user may have put its own address there since.
    if (::fstatat(directory_, fileName, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        info.st_dev == device_ && info.st_ino == inode_)
        ::unlinkat(directory_, fileName, 0);
    ::close(directory_);
    directory_ = -1;
}

std::optional<std::string> AddressFile::read(const fs::path& directory, uid_t user,
                                             std::string& problem) {
    const int dir = ::open(directory.c_str(), O_DIRECTORY | O_CLOEXEC | O_PATH);
    if (dir < 0) {
        problem = directory.string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string why;
    std::optional<std::string> address = firstLine(dir, fileName, user, why);
    ::close(dir);
    if (!address) {
        problem = (directory / fileName).string() + ": " + why;
        return std::nullopt;
    }
    if (address->rfind("http://127.0.0.1:", 0) != 0 || !visible(*address)) {
        problem = (directory / fileName).string() + ": not a Kilnview address";
        return std::nullopt;
    }
    return address;
}

std::optional<std::string> readTokenFile(const fs::path& file, uid_t user, std::string& problem) {
    std::string why;
    std::optional<std::string> token = firstLine(AT_FDCWD, file.c_str(), user, why);
    if (token && !visible(*token)) why = "the first line must be the token, visible ASCII";
    if (!why.empty()) {
        problem = file.string() + ": " + why;
        return std::nullopt;
    }
    return token;
}

int openInBrowser() {
    std::string problem;
    const uid_t user = ::getuid();
    const std::optional<std::string> address =
        AddressFile::read(AddressFile::runtimeDirectory(user), user, problem);
    if (!address) {
        std::fprintf(stderr, "Kilnview: no running Kilnview of this user (%s)\n", problem.c_str());
        return 1;
    }
    ::execlp("xdg-open", "xdg-open", address->c_str(), static_cast<char*>(nullptr));
    std::fprintf(stderr, "Kilnview: cannot start xdg-open (%s); open %s\n", std::strerror(errno),
                 address->c_str());
    return 1;
}

}  // namespace kilnview
