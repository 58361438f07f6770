#include "pyrelle/widget/WidgetText.hpp"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace pyrelle::WidgetText {
namespace {

icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::unique_ptr<icu::BreakIterator> graphemes(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) return nullptr;
    it->setText(text);
    return it;
}

}  // namespace

std::string validUTF8(std::string_view text) {
    return utf8(unicode(text));
}

std::string prefix(std::string_view text, std::size_t characters) {
    // Cheap exit: a text of at most `characters` code units cannot hold more clusters.
    icu::UnicodeString u = unicode(text);
    if (static_cast<std::size_t>(u.length()) <= characters) return utf8(u);
    auto it = graphemes(u);
    if (!it) {
        // Without break data fall back to code points, never splitting a surrogate pair.
        int32_t end = u.moveIndex32(0, static_cast<int32_t>(characters));
        return utf8(u.tempSubString(0, end));
    }
    int32_t end = it->first();
    for (std::size_t n = 0; n < characters; ++n) {
        int32_t next = it->next();
        if (next == icu::BreakIterator::DONE) return utf8(u);
        end = next;
    }
    return utf8(u.tempSubString(0, end));
}

std::string withoutBidiControls(std::string_view text) {
    icu::UnicodeString u = unicode(text);
    icu::UnicodeString kept;
    for (int32_t i = 0; i < u.length(); ++i) {
        char16_t c = u.charAt(i);  // every bidi control is a single UTF-16 unit
        bool control = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                       (c >= 0x2066 && c <= 0x2069);
        if (!control) kept.append(c);
    }
    return utf8(kept);
}

std::size_t length(std::string_view text) {
    icu::UnicodeString u = unicode(text);
    auto it = graphemes(u);
    if (!it) return static_cast<std::size_t>(u.countChar32());
    std::size_t count = 0;
    it->first();
    while (it->next() != icu::BreakIterator::DONE) ++count;
    return count;
}

}  // namespace pyrelle::WidgetText
