#include "AttributeFiles.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace pyrelle::csmc {
namespace {

// sysfs shows at most one page per attribute.
constexpr size_t kPage = 4096;

class DirectoryFiles final : public AttributeFiles {
public:
    DirectoryFiles(int directory, bool rootOwnedOnly)
        : directory_(directory), rootOwnedOnly_(rootOwnedOnly) {}
    ~DirectoryFiles() override { ::close(directory_); }
    DirectoryFiles(const DirectoryFiles&) = delete;
    DirectoryFiles& operator=(const DirectoryFiles&) = delete;

    int read(const std::string& path, std::string& text) override {
        text.clear();
        int fd = -1;
        if (const int refused = open(path, O_RDONLY, fd); refused != 0) return refused;
        char buffer[kPage];
        size_t used = 0;
        int error = 0;
        while (used < sizeof buffer) {
            const ssize_t got = ::read(fd, buffer + used, sizeof buffer - used);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                error = errno;
                break;
            }
            if (got == 0) break;
            used += static_cast<size_t>(got);
        }
        ::close(fd);
        if (error != 0) return error;
        text.assign(buffer, used);
        return 0;
    }

    int write(const std::string& path, std::string_view text) override {
        // Truncated only once the file has passed the open's checks, so a refused file is
        // left as it was. (sysfs ignores the length; a plain file must lose its old text.)
        int fd = -1;
        if (const int refused = open(path, O_WRONLY, fd); refused != 0) return refused;
        (void)::ftruncate(fd, 0);
        ssize_t written;
        do {
            written = ::write(fd, text.data(), text.size());
        } while (written < 0 && errno == EINTR);
        const int error = written < 0 ? errno : 0;
        const bool closed = ::close(fd) == 0;
        if (error != 0) return error;
        if (static_cast<size_t>(written) != text.size() || !closed) return EIO;
        return 0;
    }

    std::vector<std::string> list(const std::string& path) override {
        std::vector<std::string> names;
        const int fd = ::openat(directory_, path.empty() ? "." : path.c_str(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return names;
        DIR* dir = ::fdopendir(fd);
        if (dir == nullptr) {
            ::close(fd);
            return names;
        }
        while (const dirent* item = ::readdir(dir)) {
            const std::string name = item->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }

    bool exists(const std::string& path) override {
        struct stat info {};
        return ::fstatat(directory_, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    }

    std::string identity() override {
        struct stat info {};
        if (::fstat(directory_, &info) != 0) return {};
        return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    }

private:
    int open(const std::string& path, int flags, int& fd) const {
        fd = ::openat(directory_, path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return errno;
        struct stat info {};
        int refused = 0;
        if (::fstat(fd, &info) != 0) {
            refused = errno;
        } else if (S_ISDIR(info.st_mode)) {
            refused = EISDIR;
        } else if (rootOwnedOnly_ &&
                   (info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
            refused = EACCES;
        }
        if (refused != 0) {
            ::close(fd);
            fd = -1;
        }
        return refused;
    }

    int directory_;
    bool rootOwnedOnly_;
};

}  // namespace

std::unique_ptr<AttributeFiles> directoryFiles(int directory, bool rootOwnedOnly) {
    if (directory < 0) return nullptr;
    return std::make_unique<DirectoryFiles>(directory, rootOwnedOnly);
}

}  // namespace pyrelle::csmc
