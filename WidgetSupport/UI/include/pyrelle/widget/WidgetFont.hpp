#pragma once
// WidgetFont: the typeface the cards ask for and how wide its text is, so a card cuts a
// text only where it really does not fit. The cards name the Noto Sans CJK face of their
// language first (one face covering Latin, kana, hangul and Han, installed with
// fonts-noto-cjk); the advances below are that face's regular weight. Its Latin is the
// same in every language variant; the Chinese variants set the middle dot and curly
// quotes full width, the Japanese and Korean ones proportionally.
#include <string>
#include <string_view>

namespace pyrelle {

struct WidgetFont {
    // The CSS font-family list, best face first.
    std::string family;
    // Whether "·", "‘", "’", "“" and "”" are full width (the Chinese variants).
    bool chinesePunctuation = false;

    // The face for a card language, given as ICU language and script codes ("zh" with
    // "Hant", "ja", "en"...). Cards in a Latin-script language take the Japanese variant,
    // whose punctuation is proportional.
    static WidgetFont forLanguage(std::string_view language, std::string_view script);

    // The advance of one code point in ems: East Asian wide and full-width characters 1,
    // marks and format characters (bidi controls, joiners) 0, Latin from the face's table,
    // accented Latin as its base letter, anything else an average letter.
    double advance(char32_t c) const;
    // The width of `text` (UTF-8) at `fontSize`, in the same unit as `fontSize`.
    double width(std::string_view text, double fontSize) const;
    // `text` whole when it fits `width` at `fontSize`; otherwise its longest prefix of whole
    // characters that fits together with a trailing "…" (spaces before the "…" dropped).
    std::string fit(std::string_view text, double width, double fontSize) const;
};

}  // namespace pyrelle
