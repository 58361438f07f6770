// Fuzzes the kernel driver tree device: the input becomes the contents of a small applesmc
// tree (a fan's files, two labelled temperatures), which is then opened, listed and read
// through the shim, and written where the shim allows. Every answer must be a number the
// file really held, or an error.
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "CSMC.h"

namespace {

// The tree's directory, made on first use and removed when the program ends.
struct TreeDirectory {
    TreeDirectory() {
        char pattern[] = "/tmp/pyrelle-fuzz-tree-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) std::abort();
        path = pattern;
        ::setenv("PYRELLE_SMC_DEVICE", ("applesmc:" + path).c_str(), 1);
    }
    ~TreeDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

const std::string& treeDirectory() {
    static const TreeDirectory directory;
    return directory.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kFiles[] = {"fan1_input",  "fan1_min",    "fan1_max",
                                         "fan1_output", "fan1_manual", "temp1_label",
                                         "temp1_input", "temp2_label", "temp2_input"};
    const std::string& directory = treeDirectory();
    // The input is split at zero bytes, one piece per file in order.
    size_t at = 0;
    for (const char* file : kFiles) {
        size_t end = at;
        while (end < size && data[end] != 0) ++end;
        std::ofstream(directory + "/" + file, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data + at),
                   static_cast<std::streamsize>(end - at));
        at = end < size ? end + 1 : end;
    }
    const uint32_t connection = pyr_smc_open();
    if (connection == 0) return 0;
    PYRValue count{};
    if (pyr_smc_read(connection, "#KEY", &count) == 0) {
        const double keys = pyr_decode(&count);
        if (!(keys >= 0 && keys <= 64)) std::abort();
        for (uint32_t i = 0; i < static_cast<uint32_t>(keys); ++i) {
            char key[5];
            if (pyr_smc_key_at_index(connection, i, key) != 0) continue;
            PYRValue value{};
            if (pyr_smc_read(connection, key, &value) != 0) continue;
            if (!std::isfinite(pyr_decode(&value))) std::abort();  // a read value is a number
        }
    }
    PYRValue target{2, PYR_TYPE_FPE2, {}};
    if (pyr_encode(&target, at % 7000) == 0) pyr_smc_write(connection, "F0Tg", &target);
    pyr_smc_close(connection);
    return 0;
}
