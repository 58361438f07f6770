#pragma once
// WidgetFile: how the widget's files are put in place. A file is written to a fresh
// private temporary file beside the target (created exclusively, so nothing planted under
// that name is opened) and renamed over the target, which replaces whatever entry had the
// target's name, a symbolic link included, without following it. Readers see the old or
// the new file complete.
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
