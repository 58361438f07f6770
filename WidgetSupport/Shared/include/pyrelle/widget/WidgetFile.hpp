#pragma once
// WidgetFile: how the widget's files are put in place. A file is written to a fresh
// private temporary file beside the target (created exclusively, so nothing planted under
// that name is opened) and renamed over the target, which replaces whatever entry had the
// target's name, a symbolic link included, without following it. Readers see the old or
// the new file complete.
//
// Nothing is flushed to the disk: every file written here is a display of live state that
// its writer replaces within a minute, so a crash can cost at most a moment of waiting
// state, while a flush per write would cost the publisher a disk round trip every second.
#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace pyrelle::WidgetFile {

// Puts `bytes` at `target` with the POSIX permissions `permissions` (exactly, whatever the
// umask). The directory must exist. Throws std::system_error when the file system refuses;
// then the previous file is left intact and no temporary file remains.
void replace(const std::filesystem::path& target, std::string_view bytes,
             mode_t permissions = 0600);

}  // namespace pyrelle::WidgetFile
