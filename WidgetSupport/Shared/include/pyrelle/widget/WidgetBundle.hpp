#pragma once
// WidgetBundle: the program's bundle: its information dictionary ("Info.json") and its
// resource directory, found relative to the running executable, plus the lookup of an
// application group's shared container.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace pyrelle {

struct WidgetBundle {
    using ContainerLookup =
        std::function<std::optional<std::filesystem::path>(const std::string& group)>;

    nlohmann::json info = nlohmann::json::object();  // the information dictionary
    std::filesystem::path resources;                 // where "Localization.json" etc. live
    ContainerLookup groupContainer = defaultGroupContainer;

    // The bundle of the running program: resources beside the executable (build tree) or
    // in <prefix>/share/pyrelle/widget when the executable is in <prefix>/bin.
    static const WidgetBundle& main();
    // The bundle whose resources are in `directory`; a missing or unreadable Info.json
    // leaves the dictionary empty.
    static WidgetBundle at(const std::filesystem::path& directory);

    // A text entry of the dictionary; absent when missing or not text.
    std::optional<std::string> text(const std::string& key) const;
    // The location of a resource of this bundle, whether or not it exists.
    std::filesystem::path resource(const std::string& name, const std::string& extension) const;

    // The group's shared container: "<home>/Library/Group Containers/<group>" when that
    // directory exists. A group name that is not a single plain path component has none.
    static std::optional<std::filesystem::path> defaultGroupContainer(const std::string& group);
    // The user's real home directory from the user database, else $HOME; empty when neither.
    static std::filesystem::path homeDirectory();
};

}  // namespace pyrelle
