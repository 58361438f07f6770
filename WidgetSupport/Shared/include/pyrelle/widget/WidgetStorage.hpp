#pragma once
// WidgetStorage: where the status file lives and how it is read and written. Reading
// never fails loudly (a bad file is no file); writing replaces the file atomically and
// never exposes it to other users.
#include <filesystem>
#include <optional>
#include <string_view>

#include "pyrelle/widget/WidgetBundle.hpp"
#include "pyrelle/widget/WidgetSnapshot.hpp"

namespace pyrelle::WidgetStorage {

// The widget's kind identifier.
inline constexpr std::string_view kind = "PyrelleStatus";

// The status file's location for `bundle`: inside the shared container of the bundle's
// "PyrelleAppGroup" when that entry is set (absent when there is no container), else under
// the user's home directory.
std::optional<std::filesystem::path> url(const WidgetBundle& bundle = WidgetBundle::main());

// The clean snapshot at `location` (default: `url(bundle)`), or absent for a missing
// location, a missing, unreadable, oversized or invalid file, or anything but a regular
// file (a symbolic link, a FIFO, a device). Never throws.
std::optional<WidgetSnapshot> read(
    const std::optional<std::filesystem::path>& location = std::nullopt,
    const WidgetBundle& bundle = WidgetBundle::main()) noexcept;

// Writes `snapshot` to `location` (default: `url(bundle)`): the directory is created with
// mode 0700 when missing, the file is written to a private (0600) temporary file and then
// renamed over the target, so readers see the old or the new file complete and no other
// user can ever read it. Throws WidgetDataError when there is no location or the snapshot
// cannot be encoded, std::system_error when the file system refuses; on failure the
// previous file is left intact.
void write(const WidgetSnapshot& snapshot,
           const std::optional<std::filesystem::path>& location = std::nullopt,
           const WidgetBundle& bundle = WidgetBundle::main());

}  // namespace pyrelle::WidgetStorage
