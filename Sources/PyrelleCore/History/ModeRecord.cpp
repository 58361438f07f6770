#include "pyrelle/ModeRecord.hpp"

namespace pyrelle {

std::string ModeRecord::series() const {
    std::string text = mode;
    text += '-';
    text += std::to_string(segment);
    return text;
}

}  // namespace pyrelle
