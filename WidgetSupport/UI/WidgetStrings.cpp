#include "pyrelle/widget/WidgetStrings.hpp"

#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <system_error>

#include <nlohmann/json.hpp>
#include <unicode/translit.h>
#include <unicode/unistr.h>

#include "pyrelle/widget/WidgetBundle.hpp"

namespace pyrelle {
namespace {

constexpr std::string_view separator = " · ";
// The table is a resource of ours; a file this large is not it.
constexpr std::uintmax_t maximumTableSize = 4u << 20;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// "zh_TW.UTF-8@euro" → "zh-TW"; "C" and "POSIX" (any encoding) → "".
std::string languageTag(std::string_view locale) {
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale.empty() || locale == "C" || locale == "POSIX") return {};
    std::string tag(locale);
    for (char& c : tag) {
        if (c == '_') c = '-';
    }
    return tag;
}

}  // namespace

WidgetStrings::WidgetStrings(Table table, std::vector<std::string> preferredLanguages)
    : table_(std::move(table)), preferred_(std::move(preferredLanguages)) {}

WidgetStrings WidgetStrings::load(const std::filesystem::path& file,
                                  std::vector<std::string> preferredLanguages) {
    Table table;
    std::error_code error;
    if (std::filesystem::is_regular_file(file, error) &&
        std::filesystem::file_size(file, error) <= maximumTableSize && !error) {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        nlohmann::json json = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
        bool valid = json.is_object();
        for (auto entry = json.begin(); valid && entry != json.end(); ++entry) {
            if (!entry->is_object()) {
                valid = false;
                break;
            }
            auto& row = table[entry.key()];
            for (auto cell = entry->begin(); cell != entry->end(); ++cell) {
                if (!cell->is_string()) {
                    valid = false;
                    break;
                }
                row[cell.key()] = cell->get<std::string>();
            }
        }
        // A table that does not have the expected shape is not partly used.
        if (!valid) table.clear();
    }
    return WidgetStrings(std::move(table), std::move(preferredLanguages));
}

WidgetStrings WidgetStrings::load(const std::filesystem::path& file) {
    return load(file, preferredLanguagesFromEnvironment());
}

const WidgetStrings& WidgetStrings::shared() {
    static const WidgetStrings strings =
        load(WidgetBundle::main().resource("Localization", "json"));
    return strings;
}

std::string WidgetStrings::text(std::string_view key, std::string_view language) {
    return shared().translate(key, language);
}

std::string WidgetStrings::resolvedLanguage(std::string_view language) const {
    if (language != "system") return std::string(language);
    return preferred_.empty() ? std::string("en") : preferred_.front();
}

std::string WidgetStrings::translate(std::string_view key, std::string_view language) const {
    return translateResolved(key, resolvedLanguage(language));
}

std::string WidgetStrings::translateResolved(std::string_view key,
                                             std::string_view language) const {
    if (startsWith(language, "zh")) {
        // Source texts are Simplified Chinese already.
        if (contains(language, "Hant") || contains(language, "TW") || contains(language, "HK")) {
            return traditional(key);
        }
        return std::string(key);
    }
    std::string_view code = "en";
    for (std::string_view candidate : codes) {
        if (startsWith(language, candidate)) {
            code = candidate;
            break;
        }
    }
    auto row = table_.find(key);
    if (row != table_.end()) {
        auto cell = row->second.find(code);
        if (cell != row->second.end()) return cell->second;
    }
    if (contains(key, separator)) {
        std::string joined;
        std::size_t start = 0;
        while (true) {
            std::size_t end = key.find(separator, start);
            joined += translateResolved(key.substr(start, end - start), language);
            if (end == std::string_view::npos) break;
            joined += separator;
            start = end + separator.size();
        }
        return joined;
    }
    if (row != table_.end()) {
        auto english = row->second.find("en");
        if (english != row->second.end()) return english->second;
    }
    return std::string(key);
}

std::vector<std::string> WidgetStrings::preferredLanguagesFromEnvironment(
    const Environment& environment) {
    std::vector<std::string> languages;
    auto add = [&](std::string tag) {
        if (tag.empty()) return;
        for (const std::string& known : languages) {
            if (known == tag) return;
        }
        languages.push_back(std::move(tag));
    };
    auto value = [&](const char* name) -> std::string_view {
        const char* v = environment ? environment(name) : nullptr;
        return v ? std::string_view(v) : std::string_view();
    };
    std::string_view list = value("LANGUAGE");
    while (!list.empty()) {
        std::size_t colon = list.find(':');
        add(languageTag(list.substr(0, colon)));
        if (colon == std::string_view::npos) break;
        list.remove_prefix(colon + 1);
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string_view locale = value(name);
        if (!locale.empty()) {
            add(languageTag(locale));
            break;
        }
    }
    return languages;
}

std::string WidgetStrings::traditional(std::string_view simplified) {
    // One transliterator for the program; ICU transliterators are not safe to share
    // between threads, hence the lock.
    static std::mutex lock;
    static std::unique_ptr<icu::Transliterator> transform;
    static bool attempted = false;
    std::lock_guard<std::mutex> guard(lock);
    if (!attempted) {
        attempted = true;
        UErrorCode status = U_ZERO_ERROR;
        transform.reset(icu::Transliterator::createInstance("Hans-Hant", UTRANS_FORWARD, status));
        if (U_FAILURE(status)) transform.reset();
    }
    if (!transform) return std::string(simplified);
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(simplified.data(), static_cast<int32_t>(simplified.size())));
    transform->transliterate(text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace pyrelle
