#pragma once
// applesmc's raw key interface: `key_count`, and for the index last stored in `key_at_index`
// the key's `key_at_index_name`, `_type`, `_data_length` and `_data` (its raw bytes). The
// driver keeps one index for every process, so every use here holds one process-wide lock
// and checks, after reading, that the index still names the key it was meant to (another
// program may have moved it meanwhile).
//
// A key's name, type and size never change while the machine runs: the table is read once
// per tree and remembered for the life of the process.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "AttributeFiles.hpp"

namespace pyrelle::csmc {

class RawKeyTable {
public:
    struct Key {
        uint32_t key = 0;
        uint32_t type = 0;
        uint32_t size = 0;
        uint32_t index = 0;
    };
    // One attribute operation, repeated by the caller's policy for transient faults; returns
    // 0 or an errno value.
    using Attempt = std::function<int(const std::function<int()>&)>;

    // True when the tree offers the whole interface.
    static bool offered(AttributeFiles& files);

    // The key table, read through `attempt` (or remembered from an earlier read of the same
    // tree). nullopt when it cannot be read completely.
    static std::shared_ptr<const std::vector<Key>> read(AttributeFiles& files,
                                                        const Attempt& attempt);

    // The key's current bytes into `out`: 0, or the errno value of the failing step (EIO
    // when the index kept being moved by someone else, or the driver answered another size).
    static int value(AttributeFiles& files, const Attempt& attempt, const Key& key,
                     std::array<uint8_t, 32>& out);
};

}  // namespace pyrelle::csmc
