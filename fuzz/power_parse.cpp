// Fuzzes the reading of the settings tool's listing, which is untrusted output: any bytes
// must parse without a crash into in-range values only, and a note only beside a value read.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "pyrelle/PowerConfiguration.hpp"
#include "pyrelle/ProcessRunner.hpp"

using namespace pyrelle;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkConfiguration(const PowerConfiguration& configuration) {
    for (const auto& [source, settings] : configuration.profiles) {
        for (const auto& [setting, value] : settings) check(valid(setting, value));
    }
    const nlohmann::json encoded = configuration;
    check(encoded.get<PowerConfiguration>() == configuration);
}

void checkNotes(std::string_view listing) {
    PowerConfiguration::Notes notes;
    const auto configuration = PowerConfiguration::parse(listing, &notes);
    check(configuration == PowerConfiguration::parse(listing));
    for (const auto& [entry, note] : notes) {
        check(configuration.value(entry.second, entry.first).has_value());
        check(note.find_first_of("()") == std::string::npos);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    checkConfiguration(PowerConfiguration::parse(bytes));
    checkNotes(bytes);

    // What the reader really sees: the first bytes of the output, decoded with replacement.
    const std::string text = ProcessRunner::decodeUTF8(bytes.substr(0, ProcessRunner::outputLimit));
    check(ProcessRunner::decodeUTF8(text) == text);  // the decoded text is valid UTF-8
    checkConfiguration(PowerConfiguration::parse(text));
    return 0;
}
