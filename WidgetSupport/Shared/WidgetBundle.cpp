#include "pyrelle/widget/WidgetBundle.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

// Where an installed program's resources are, relative to its directory (set by the build).
#ifndef PYRELLE_WIDGET_RESOURCES_RELATIVE
#define PYRELLE_WIDGET_RESOURCES_RELATIVE "../share/pyrelle/widget"
#endif

namespace pyrelle {
namespace fs = std::filesystem;

namespace {

// An information dictionary is a handful of entries; anything larger is not ours.
constexpr std::uintmax_t maximumInfoSize = 1 << 20;

nlohmann::json readInfo(const fs::path& file) {
    std::error_code error;
    if (!fs::is_regular_file(file, error) || fs::file_size(file, error) > maximumInfoSize ||
        error) {
        return nlohmann::json::object();
    }
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    nlohmann::json info = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    return info.is_object() ? info : nlohmann::json::object();
}

fs::path resourceDirectory() {
    std::error_code error;
    fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error) return fs::current_path(error);
    fs::path directory = executable.parent_path();
    if (fs::exists(directory / "Info.json", error)) return directory;
    fs::path installed = (directory / PYRELLE_WIDGET_RESOURCES_RELATIVE).lexically_normal();
    if (fs::exists(installed / "Info.json", error)) return installed;
    return directory;
}

}  // namespace

const WidgetBundle& WidgetBundle::main() {
    static const WidgetBundle bundle = at(resourceDirectory());
    return bundle;
}

WidgetBundle WidgetBundle::at(const fs::path& directory) {
    WidgetBundle bundle;
    bundle.resources = directory;
    bundle.info = readInfo(directory / "Info.json");
    return bundle;
}

std::optional<std::string> WidgetBundle::text(const std::string& key) const {
    if (!info.is_object()) return std::nullopt;
    auto it = info.find(key);
    if (it == info.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

fs::path WidgetBundle::resource(const std::string& name, const std::string& extension) const {
    return resources / (name + "." + extension);
}

std::optional<fs::path> WidgetBundle::defaultGroupContainer(const std::string& group) {
    // The group names one directory; anything that could climb out of the containers
    // directory has no container.
    if (group.empty() || group == "." || group == ".." ||
        group.find_first_of(std::string("/\0", 2)) != std::string::npos) {
        return std::nullopt;
    }
    fs::path home = homeDirectory();
    if (home.empty()) return std::nullopt;
    fs::path container = home / "Library" / "Group Containers" / group;
    std::error_code error;
    if (!fs::is_directory(container, error)) return std::nullopt;
    return container;
}

fs::path WidgetBundle::homeDirectory() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] != '\0') {
        return found->pw_dir;
    }
    const char* home = std::getenv("HOME");
    return home ? fs::path(home) : fs::path();
}

}  // namespace pyrelle
