#pragma once
// AppText: the application's texts in one language. Source texts are Simplified Chinese;
// the widget's translation table gives en, ja, ko, de, fr and es, and Traditional Chinese
// comes from ICU's Hans-Hant transform, exactly as the widget's cards do.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pyrelle/widget/WidgetStrings.hpp"

namespace kilnview {

// The languages the UI offers, in the order of the language selector.
inline constexpr std::array<std::string_view, 8> kLanguages = {"zh-Hans", "zh-Hant", "en", "ja",
                                                               "ko",      "de",      "fr", "es"};

// The offered language a tag such as "zh-TW", "en-US" or "fr" stands for; absent for others.
std::optional<std::string> languageFor(std::string_view tag);

// The language of one request, by precedence: ?lang, the cookie, the Accept-Language header
// (by quality, then order), then the process locale's preferred languages; English when
// none of them names an offered language (the pages then stay readable on machines without
// CJK fonts).
std::string resolveLanguage(std::string_view query, std::string_view cookie,
                            std::string_view acceptLanguage,
                            const std::vector<std::string>& processLanguages);

class AppText {
public:
    AppText(const pyrelle::WidgetStrings& strings, std::string language)
        : strings_(&strings), language_(std::move(language)) {}

    const std::string& language() const { return language_; }
    // The text for the source text `source` in this language.
    std::string operator()(std::string_view source) const;

private:
    const pyrelle::WidgetStrings* strings_;
    std::string language_;
};

}  // namespace kilnview
