#include "Web/AppText.hpp"

#include <algorithm>
#include <cstdlib>

namespace kilnview {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<std::string> languageFor(std::string_view tag) {
    tag = trim(tag);
    for (std::string_view code : kLanguages) {
        if (tag.size() == code.size() && startsWith(tag, code)) return std::string(code);
    }
    if (startsWith(tag, "zh")) {
        // Script first, then the regions that write Traditional characters.
        for (std::string_view hant : {"Hant", "TW", "HK", "MO"}) {
            if (tag.find(hant) != std::string_view::npos) return std::string("zh-Hant");
        }
        if (tag.size() == 2 || tag[2] == '-' || tag[2] == '_') return std::string("zh-Hans");
        return std::nullopt;
    }
    for (std::string_view code : kLanguages) {
        if (code.size() == 2 && startsWith(tag, code) &&
            (tag.size() == 2 || tag[2] == '-' || tag[2] == '_' || tag[2] == '.'))
            return std::string(code);
    }
    return std::nullopt;
}

std::string resolveLanguage(std::string_view query, std::string_view cookie,
                            std::string_view acceptLanguage,
                            const std::vector<std::string>& processLanguages) {
    if (auto language = languageFor(query)) return *language;
    if (auto language = languageFor(cookie)) return *language;

    struct Choice {
        double quality;
        std::size_t order;
        std::string_view tag;
    };
    std::vector<Choice> choices;
    std::size_t start = 0;
    while (start <= acceptLanguage.size() && choices.size() < 32) {
        const std::size_t end = std::min(acceptLanguage.find(',', start), acceptLanguage.size());
        std::string_view item = acceptLanguage.substr(start, end - start);
        double quality = 1;
        if (const auto semicolon = item.find(';'); semicolon != std::string_view::npos) {
            std::string_view parameter = trim(item.substr(semicolon + 1));
            item = item.substr(0, semicolon);
            if (startsWith(parameter, "q=")) {
                const std::string number(parameter.substr(2));
                char* stop = nullptr;
                quality = std::strtod(number.c_str(), &stop);
                if (stop == number.c_str() || !(quality >= 0 && quality <= 1)) quality = 0;
            }
        }
        if (quality > 0 && !trim(item).empty())
            choices.push_back({quality, choices.size(), trim(item)});
        start = end + 1;
    }
    std::stable_sort(choices.begin(), choices.end(),
                     [](const Choice& a, const Choice& b) { return a.quality > b.quality; });
    for (const Choice& choice : choices) {
        if (auto language = languageFor(choice.tag)) return *language;
    }
    for (const std::string& tag : processLanguages) {
        if (auto language = languageFor(tag)) return *language;
    }
    return "en";
}

std::string AppText::operator()(std::string_view source) const {
    return strings_->translate(source, language_);
}

}  // namespace kilnview
