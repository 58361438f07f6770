#include "pyrelle/widget/WidgetFont.hpp"

#include <array>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace pyrelle {
namespace {

// Advances of U+0020…U+007E in thousandths of an em (Noto Sans CJK, regular).
constexpr std::array<short, 95> asciiAdvances{
    224, 323, 474, 555, 555, 921, 680, 278, 338, 338, 467, 555, 278, 347, 278, 392, 555, 555, 555,
    555, 555, 555, 555, 555, 555, 555, 278, 278, 555, 555, 555, 474, 946, 608, 657, 638, 688, 589,
    552, 689, 728, 293, 535, 646, 543, 812, 723, 742, 633, 742, 635, 596, 599, 721, 575, 878, 573,
    531, 603, 338, 392, 338, 555, 559, 606, 563, 618, 510, 620, 554, 325, 564, 607, 275, 275, 552,
    284, 926, 610, 606, 620, 620, 388, 468, 377, 607, 521, 802, 498, 521, 475, 338, 270, 338, 555,
};

// A letter of a script the table does not cover; slightly generous, so a cut comes early
// rather than a text running past its room.
constexpr double averageLetter = 0.65;
constexpr std::string_view ellipsis = "…";

double ascii(char32_t c) {
    return asciiAdvances[static_cast<std::size_t>(c - 0x20)] / 1000.0;
}

// The first code point of `c`'s canonical decomposition when it is printable ASCII ("é" → "e").
char32_t baseLetter(char32_t c) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    icu::UnicodeString decomposition;
    if (U_FAILURE(status) || !nfd->getDecomposition(static_cast<UChar32>(c), decomposition) ||
        decomposition.isEmpty()) {
        return 0;
    }
    UChar32 first = decomposition.char32At(0);
    return first >= 0x20 && first < 0x7F ? static_cast<char32_t>(first) : 0;
}

}  // namespace

WidgetFont WidgetFont::forLanguage(std::string_view language, std::string_view script) {
    std::string_view face = "Noto Sans CJK JP";
    bool chinese = false;
    if (language == "zh") {
        face = script == "Hant" ? "Noto Sans CJK TC" : "Noto Sans CJK SC";
        chinese = true;
    } else if (language == "ko") {
        face = "Noto Sans CJK KR";
    }
    // The Chinese face follows as the fallback for Han characters in a Japanese or Latin
    // card (an untranslated mode name), then whatever the system offers.
    std::string family = "'" + std::string(face) + "'";
    if (!chinese) family += ", 'Noto Sans CJK SC'";
    family += ", system-ui, -apple-system, sans-serif";
    return {family, chinese};
}

double WidgetFont::advance(char32_t c) const {
    if (c >= 0x20 && c < 0x7F) return ascii(c);
    switch (c) {
        case U'\u00B7': return chinesePunctuation ? 1.0 : 0.561;  // middle dot
        case U'\u2018':
        case U'\u2019': return chinesePunctuation ? 1.0 : 0.278;
        case U'\u201C':
        case U'\u201D': return chinesePunctuation ? 1.0 : 0.474;
        case U'\u2013': return 0.536;  // en dash
        case U'\u2014': return 0.894;  // em dash, the cards' "absent"
        case U'\u2026': return 1.0;    // ellipsis
        case U'\u00B0': return 0.37;   // degree sign
        case U'\u00A0': return ascii(U' ');
        default: break;
    }
    UChar32 u = static_cast<UChar32>(c);
    int8_t category = u_charType(u);
    if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK ||
        category == U_FORMAT_CHAR || category == U_CONTROL_CHAR) {
        return 0;
    }
    int width = u_getIntPropertyValue(u, UCHAR_EAST_ASIAN_WIDTH);
    if (width == U_EA_WIDE || width == U_EA_FULLWIDTH) return 1.0;
    if (char32_t base = baseLetter(c)) return ascii(base);
    return averageLetter;
}

double WidgetFont::width(std::string_view text, double fontSize) const {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    double total = 0;
    for (int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1)) {
        total += advance(static_cast<char32_t>(u.char32At(i)));
    }
    return total * fontSize;
}

std::string WidgetFont::fit(std::string_view text, double width, double fontSize) const {
    if (this->width(text, fontSize) <= width) return std::string(text);
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    const double budget = width - this->width(ellipsis, fontSize);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    int32_t cut = 0;
    if (U_SUCCESS(status) && it) {
        // Whole user-perceived characters only: a base letter never loses its marks.
        it->setText(u);
        double used = 0;
        int32_t start = it->first();
        for (int32_t end = it->next(); end != icu::BreakIterator::DONE;
             start = end, end = it->next()) {
            double cluster = 0;
            for (int32_t i = start; i < end; i = u.moveIndex32(i, 1)) {
                cluster += advance(static_cast<char32_t>(u.char32At(i)));
            }
            if (used + cluster * fontSize > budget) break;
            used += cluster * fontSize;
            cut = end;
        }
    }
    while (cut > 0 && u_isUWhiteSpace(u.charAt(cut - 1))) --cut;
    std::string out;
    u.tempSubString(0, cut).toUTF8String(out);
    return out + std::string(ellipsis);
}

}  // namespace pyrelle
