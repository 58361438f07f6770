#include "pyrelle/widget/WidgetFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "FileSupport.hpp"

namespace pyrelle::WidgetFile {
namespace fs = std::filesystem;

namespace {

using FileSupport::Descriptor;
using FileSupport::fail;

void writeAll(int fd, std::string_view bytes, const fs::path& path) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write", path);
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

void replace(const fs::path& target, std::string_view bytes, mode_t permissions) {
    fs::path absolute = target.is_relative() ? fs::absolute(target) : target;
    fs::path directory = absolute.parent_path();

    // mkostemp creates the file with O_EXCL and mode 0600: it never opens an existing entry,
    // and no other user can open the file before it is complete.
    std::string pattern = (directory / ("." + absolute.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    Descriptor fd(::mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) fail("cannot create a temporary file in", directory);
    fs::path temporary(name.data());
    try {
        if (::fchmod(fd.get(), permissions) != 0) fail("cannot set permissions of", temporary);
        writeAll(fd.get(), bytes, temporary);
        if (::close(fd.release()) != 0) fail("cannot close", temporary);
        if (::rename(temporary.c_str(), absolute.c_str()) != 0) fail("cannot replace", absolute);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
}

}  // namespace pyrelle::WidgetFile
