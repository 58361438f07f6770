#pragma once
// WidgetStrings: the card texts. Source texts are Simplified Chinese; a table loaded from
// the bundle's "Localization.json" maps each to its translations by language code, and
// traditional Chinese is derived by ICU's Hans-Hant transform.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pyrelle {

class WidgetStrings {
public:
    // source text → language code → translation
    using Table =
        std::map<std::string, std::map<std::string, std::string, std::less<>>, std::less<>>;
    using Environment = std::function<const char*(const char*)>;

    // The language codes that have a column in the table, in matching order.
    static constexpr std::string_view codes[] = {"en", "ja", "ko", "de", "fr", "es"};

    WidgetStrings() = default;
    WidgetStrings(Table table, std::vector<std::string> preferredLanguages);

    // The table in `file`; a missing file, or one that is not an object of objects of
    // texts, gives an empty table (every text then shows in its source form).
    static WidgetStrings load(const std::filesystem::path& file,
                              std::vector<std::string> preferredLanguages);
    // The table in `file` with the user's languages from the environment.
    static WidgetStrings load(const std::filesystem::path& file);
    // The running program's table and the user's languages, loaded once.
    static const WidgetStrings& shared();
    // `shared().translate(key, language)`.
    static std::string text(std::string_view key, std::string_view language);

    // The text to show for the source text `key` in `language` ("system": the user's
    // first preferred language, or "en").
    std::string translate(std::string_view key, std::string_view language) const;
    // `language`, with "system" replaced by the first preferred language (or "en").
    std::string resolvedLanguage(std::string_view language) const;

    // The user's preferred languages as tags ("zh-TW", "en-US"): the LANGUAGE list, then
    // the messages locale (LC_ALL, else LC_MESSAGES, else LANG). "C" and "POSIX" name none.
    static std::vector<std::string> preferredLanguagesFromEnvironment(
        const Environment& environment = ::getenv);
    // `simplified` in traditional characters, or unchanged when the transform fails.
    static std::string traditional(std::string_view simplified);

    const Table& table() const { return table_; }
    const std::vector<std::string>& preferredLanguages() const { return preferred_; }

private:
    std::string translateResolved(std::string_view key, std::string_view language) const;

    Table table_;
    std::vector<std::string> preferred_;
};

}  // namespace pyrelle
