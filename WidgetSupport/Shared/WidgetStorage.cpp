#include "pyrelle/widget/WidgetStorage.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "FileSupport.hpp"
#include "pyrelle/widget/WidgetDataError.hpp"
#include "pyrelle/widget/WidgetFile.hpp"

namespace pyrelle::WidgetStorage {
namespace fs = std::filesystem;

namespace {

constexpr const char* relativeLocation =
    "Library/Application Support/Pyrelle/WidgetSnapshots/status.json";

using FileSupport::Descriptor;
using FileSupport::fail;

std::optional<fs::path> resolve(const std::optional<fs::path>& location,
                                const WidgetBundle& bundle) {
    if (location) return location;
    return url(bundle);
}

// Creates every missing directory of `directory` with mode 0700 (exactly, whatever the
// umask); directories that already exist are left as they are.
void createDirectories(const fs::path& directory) {
    fs::path current;
    for (const fs::path& part : directory) {
        current /= part;
        if (part.empty() || part == current.root_path()) continue;
        if (::mkdir(current.c_str(), 0700) == 0) {
            if (::chmod(current.c_str(), 0700) != 0) fail("cannot set permissions of", current);
        } else if (errno != EEXIST) {
            fail("cannot create directory", current);
        }
    }
}

}  // namespace

std::optional<fs::path> url(const WidgetBundle& bundle) {
    std::optional<std::string> group = bundle.text("PyrelleAppGroup");
    if (group && !group->empty()) {
        // A configured group never falls back to the home directory: the application
        // writes into the container, so any other place would show stale data.
        std::optional<fs::path> container =
            bundle.groupContainer ? bundle.groupContainer(*group) : std::nullopt;
        if (!container) return std::nullopt;
        return *container / "status.json";
    }
    fs::path home = WidgetBundle::homeDirectory();
    if (home.empty()) return std::nullopt;
    return home / relativeLocation;
}

std::optional<WidgetSnapshot> read(const std::optional<fs::path>& location,
                                   const WidgetBundle& bundle) noexcept {
    try {
        std::optional<fs::path> path = resolve(location, bundle);
        if (!path) return std::nullopt;
        // Only a regular file is ours: a symbolic link, a FIFO (which would block) or a
        // device is not read at all.
        Descriptor fd(
            ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
        if (fd.get() < 0) return std::nullopt;
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
        if (info.st_size < 0 ||
            static_cast<std::uintmax_t>(info.st_size) > WidgetSnapshot::maximumFileSize) {
            return std::nullopt;
        }
        // Read at most one byte past the limit, so a file growing meanwhile is still refused.
        std::string bytes(WidgetSnapshot::maximumFileSize + 1, '\0');
        std::size_t filled = 0;
        while (filled < bytes.size()) {
            ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return std::nullopt;
            if (n == 0) break;
            filled += static_cast<std::size_t>(n);
        }
        bytes.resize(filled);
        return WidgetSnapshot::decode(std::string_view(bytes));
    } catch (...) {
        return std::nullopt;
    }
}

void write(const WidgetSnapshot& snapshot, const std::optional<fs::path>& location,
           const WidgetBundle& bundle) {
    std::optional<fs::path> path = resolve(location, bundle);
    if (!path || path->filename().empty()) throw WidgetDataError();
    fs::path target = path->is_relative() ? fs::absolute(*path) : *path;
    fs::path directory = target.parent_path();
    createDirectories(directory);

    // Private (0600) from its first byte: the readings are the user's alone.
    WidgetFile::replace(target, snapshot.encode(), 0600);
}

}  // namespace pyrelle::WidgetStorage
