#pragma once
// The attribute files of a kernel SMC driver's tree, as the kernel-tree device sees them: one
// read or one store per call, each answering the errno value the driver's show or store
// function would give. The device reaches the tree only through this seam, so a test can put
// an emulation of a driver behind it that follows the driver's own rules.

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pyrelle::csmc {

class AttributeFiles {
public:
    virtual ~AttributeFiles() = default;

    // The whole content of the attribute at `path` (relative to the tree; may name a file in a
    // sub-directory), at most one page. 0, or the errno value of the open or the read.
    virtual int read(const std::string& path, std::string& text) = 0;
    // Stores `text` into the attribute at `path` in one write. 0, or the errno value.
    virtual int write(const std::string& path, std::string_view text) = 0;
    // The entries of the directory at `path` ("" for the tree itself), without "." and "..";
    // empty when it cannot be listed.
    virtual std::vector<std::string> list(const std::string& path) = 0;
    // True when something is present at `path` (a file or a directory).
    virtual bool exists(const std::string& path) = 0;
    // A text naming the tree for as long as the machine runs (the same tree gives the same
    // text), so what never changes about it can be remembered across opens; "" for a tree
    // that is not to be remembered.
    virtual std::string identity() = 0;
};

// The files below the open directory `directory` (owned by the result). With `rootOwnedOnly`,
// a file that is not root's, or is writable by group or others, answers EACCES at open (a tree
// assembled by an unprivileged caller never drives the fans). Links are followed only in the
// directories leading to a file, never for the file itself (ELOOP).
std::unique_ptr<AttributeFiles> directoryFiles(int directory, bool rootOwnedOnly);

}  // namespace pyrelle::csmc
