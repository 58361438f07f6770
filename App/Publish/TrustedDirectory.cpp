#include "Publish/TrustedDirectory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

namespace kilnview::TrustedDirectory {

namespace fs = std::filesystem;

namespace {

constexpr int kMostLinks = 40;  // as the kernel's own limit on links in one lookup

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

bool ownedByUserOrRoot(const struct stat& info, uid_t user) {
    return info.st_uid == user || info.st_uid == 0;
}

// Whether no one but the user and root can replace an entry of this directory.
bool safeDirectory(const struct stat& info, uid_t user) {
    if (!ownedByUserOrRoot(info, user)) return false;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
    return (info.st_mode & S_ISVTX) != 0;
}

// Whether a symbolic link in this directory can only have been put there by the user or root.
bool safeForLinks(const struct stat& info, uid_t user) {
    if (info.st_uid == user) return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void pushComponents(std::deque<std::string>& into, const fs::path& path) {
    std::deque<std::string> parts;
    for (const fs::path& part : path.relative_path()) {
        const std::string name = part.string();
        if (!name.empty() && name != ".") parts.push_back(name);
    }
    into.insert(into.begin(), parts.begin(), parts.end());
}

}  // namespace

std::optional<std::string> problem(const fs::path& directory, uid_t user) {
    std::error_code error;
    const fs::path absolute = fs::absolute(directory, error);
    if (error) return "cannot resolve " + directory.string() + ": " + error.message();

    Descriptor current(::open("/", O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_PATH));
    struct stat info {};
    if (current.get() < 0 || ::fstat(current.get(), &info) != 0)
        return std::string("cannot open /: ") + std::strerror(errno);
    fs::path where = "/";
    std::deque<std::string> pending;
    pushComponents(pending, absolute);
    int links = 0;
    const auto refuse = [&](const std::string& why) { return directory.string() + ": " + why; };
    if (!safeDirectory(info, user)) return refuse("/ can be changed by other users");

    while (!pending.empty()) {
        const std::string name = pending.front();
        pending.pop_front();
        if (name == "..") {
            // Back to the parent, which was judged on the way down (or is /).
            Descriptor parent(::openat(current.get(), "..", O_DIRECTORY | O_CLOEXEC | O_PATH));
            if (parent.get() < 0) return refuse("cannot open " + where.string() + "/..");
            current = std::move(parent);
            where = where.parent_path();
            if (::fstat(current.get(), &info) != 0 || !safeDirectory(info, user))
                return refuse(where.string() + " can be changed by other users");
            continue;
        }
        const fs::path next = where / name;
        struct stat entry {};
        if (::fstatat(current.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return refuse("cannot inspect " + next.string() + ": " + std::strerror(errno));
            // Created here, as the user, in a directory no one else can change.
            if (::mkdirat(current.get(), name.c_str(), 0700) != 0 && errno != EEXIST)
                return refuse("cannot create " + next.string() + ": " + std::strerror(errno));
            pending.push_front(name);
            continue;
        }
        if (S_ISLNK(entry.st_mode)) {
            if (!safeForLinks(info, user))
                return refuse(next.string() +
                              " is a symbolic link in a directory other users can change");
            if (++links > kMostLinks) return refuse("too many symbolic links");
            char target[4096];
            const ssize_t length =
                ::readlinkat(current.get(), name.c_str(), target, sizeof target - 1);
            if (length <= 0) return refuse("cannot read the link " + next.string());
            const fs::path to(std::string(target, static_cast<std::size_t>(length)));
            if (to.is_absolute()) {
                current = Descriptor(::open("/", O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_PATH));
                where = "/";
                if (current.get() < 0 || ::fstat(current.get(), &info) != 0)
                    return refuse("cannot open /");
            }
            pushComponents(pending, to);
            continue;
        }
        if (!S_ISDIR(entry.st_mode)) return refuse(next.string() + " is not a directory");
        Descriptor opened(
            ::openat(current.get(), name.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_PATH));
        // Judged by what was opened, not by what was inspected a moment before.
        if (opened.get() < 0 || ::fstat(opened.get(), &info) != 0)
            return refuse("cannot open " + next.string() + ": " + std::strerror(errno));
        if (!ownedByUserOrRoot(info, user))
            return refuse(next.string() + " belongs to another user");
        if (!safeDirectory(info, user))
            return refuse(next.string() + " can be changed by other users");
        current = std::move(opened);
        where = next;
    }
    return std::nullopt;
}

}  // namespace kilnview::TrustedDirectory
