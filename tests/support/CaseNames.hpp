#pragma once
// Readable names for the cases of a parameterised test: a label made of each case's telling
// values, kept to the characters GoogleTest accepts ('.' becomes 'p', a minus sign 'm', anything
// else '_'), with the case's index appended so equal labels stay distinct.
//   INSTANTIATE_TEST_SUITE_P(Types, DecodeTest, ::testing::Values(...),
//                            caseNames([](const DecodeCase& c) { return label(c.type, c.size); }));

#include <cctype>
#include <cstddef>
#include <sstream>
#include <string>

namespace pyrelle::testing {

inline std::string caseName(const std::string& label, std::size_t index) {
    std::string name;
    for (const char c : label) {
        const auto u = static_cast<unsigned char>(c);
        char mapped = '_';
        if (std::isalnum(u) != 0) {
            mapped = c;
        } else if (c == '.') {
            mapped = 'p';
        } else if (c == '-') {
            mapped = 'm';
        } else if (c == '+') {
            continue;
        }
        if (mapped == '_' && (name.empty() || name.back() == '_')) continue;
        name += mapped;
    }
    if (!name.empty() && name.back() != '_') name += '_';
    return name + std::to_string(index);
}

// The values joined with spaces, numbers in their shortest form ("12.5", "1e+20", "nan").
template <typename... Values>
std::string label(const Values&... values) {
    std::ostringstream text;
    const char* separator = "";
    ((text << separator << values, separator = " "), ...);
    return text.str();
}

template <typename Label>
auto caseNames(Label makeLabel) {
    return [makeLabel](const auto& info) { return caseName(makeLabel(info.param), info.index); };
}

}  // namespace pyrelle::testing
