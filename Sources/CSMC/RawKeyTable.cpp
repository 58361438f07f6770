#include "RawKeyTable.hpp"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "SMCBlock.hpp"

namespace pyrelle::csmc {
namespace {

constexpr const char* kFiles[] = {"key_count",
                                  "key_at_index",
                                  "key_at_index_name",
                                  "key_at_index_type",
                                  "key_at_index_data_length",
                                  "key_at_index_data"};
// More keys than any SMC has: a count beyond it is not believed.
constexpr uint32_t kMaxKeys = 10000;
// Times a read is tried again when another program moved the shared index meanwhile.
constexpr int kMovedRetries = 3;

std::mutex& indexLock() {
    static std::mutex lock;
    return lock;
}

// Remembered tables by tree identity, guarded by indexLock().
std::map<std::string, std::shared_ptr<const std::vector<RawKeyTable::Key>>>& remembered() {
    static std::map<std::string, std::shared_ptr<const std::vector<RawKeyTable::Key>>> tables;
    return tables;
}

std::optional<uint32_t> number(const std::string& text) {
    size_t at = 0;
    uint64_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at < 10) {
        value = value * 10 + static_cast<uint64_t>(text[at] - '0');
        ++at;
    }
    if (at == 0 || value > UINT32_MAX) return std::nullopt;
    if (at < text.size() && text[at] == '\n') ++at;
    if (at != text.size()) return std::nullopt;
    return static_cast<uint32_t>(value);
}

// A four-character code as the driver prints it ("%s\n" of a four-byte name, which may end
// in spaces, as "FS! " and "ui8 " do).
std::optional<uint32_t> code(const std::string& text) {
    if (text.size() < 4 || (text.size() > 4 && text[4] != '\n')) return std::nullopt;
    for (size_t i = 0; i < 4; ++i)
        if (text[i] < 0x20 || text[i] > 0x7E) return std::nullopt;
    return fourCC(std::string_view(text.data(), 4));
}

int readText(AttributeFiles& files, const RawKeyTable::Attempt& attempt, const char* file,
             std::string& text) {
    return attempt([&] { return files.read(file, text); });
}

int select(AttributeFiles& files, const RawKeyTable::Attempt& attempt, uint32_t index) {
    const std::string text = std::to_string(index) + "\n";
    return attempt([&] { return files.write("key_at_index", text); });
}

// Name, type and size of the key at `index`; the lock is held by the caller.
int describe(AttributeFiles& files, const RawKeyTable::Attempt& attempt, uint32_t index,
             RawKeyTable::Key& key) {
    for (int round = 0; round <= kMovedRetries; ++round) {
        std::string name, type, length, again;
        if (const int error = select(files, attempt, index); error != 0) return error;
        if (const int error = readText(files, attempt, "key_at_index_name", name)) return error;
        if (const int error = readText(files, attempt, "key_at_index_type", type)) return error;
        if (const int error = readText(files, attempt, "key_at_index_data_length", length))
            return error;
        if (const int error = readText(files, attempt, "key_at_index_name", again)) return error;
        if (again != name) continue;  // moved by another program: ask again
        const auto parsedName = code(name);
        const auto parsedType = code(type);
        const auto size = number(length);
        if (!parsedName || !parsedType || !size) return EIO;
        key = {*parsedName, *parsedType, *size, index};
        return 0;
    }
    return EIO;
}

}  // namespace

bool RawKeyTable::offered(AttributeFiles& files) {
    for (const char* file : kFiles)
        if (!files.exists(file)) return false;
    return true;
}

std::shared_ptr<const std::vector<RawKeyTable::Key>> RawKeyTable::read(AttributeFiles& files,
                                                                       const Attempt& attempt) {
    const std::string identity = files.identity();
    std::lock_guard guard(indexLock());
    if (!identity.empty()) {
        if (const auto found = remembered().find(identity); found != remembered().end())
            return found->second;
    }
    std::string countText;
    if (readText(files, attempt, "key_count", countText) != 0) return nullptr;
    const auto count = number(countText);
    if (!count || *count > kMaxKeys) return nullptr;
    auto table = std::make_shared<std::vector<Key>>();
    table->reserve(*count);
    for (uint32_t index = 0; index < *count; ++index) {
        Key key;
        if (describe(files, attempt, index, key) != 0) return nullptr;
        table->push_back(key);
    }
    if (!identity.empty()) remembered()[identity] = table;
    return table;
}

int RawKeyTable::value(AttributeFiles& files, const Attempt& attempt, const Key& key,
                       std::array<uint8_t, 32>& out) {
    out.fill(0);
    if (key.size < 1 || key.size > out.size()) return EIO;
    std::lock_guard guard(indexLock());
    for (int round = 0; round <= kMovedRetries; ++round) {
        std::string data, name;
        if (const int error = select(files, attempt, key.index); error != 0) return error;
        if (const int error = readText(files, attempt, "key_at_index_data", data)) return error;
        if (const int error = readText(files, attempt, "key_at_index_name", name)) return error;
        if (code(name) != key.key) continue;  // moved by another program: read again
        if (data.size() != key.size) return EIO;
        std::memcpy(out.data(), data.data(), data.size());
        return 0;
    }
    return EIO;
}

}  // namespace pyrelle::csmc
