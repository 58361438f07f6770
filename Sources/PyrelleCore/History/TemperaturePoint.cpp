#include "pyrelle/TemperaturePoint.hpp"

#include "pyrelle/DecimalText.hpp"

namespace pyrelle {

std::string TemperaturePoint::id() const {
    std::string text = std::to_string(segment);
    text += '-';
    detail::appendShortestDecimal(text, date.unixTime());
    return text;
}

std::string TemperaturePoint::series() const {
    std::string text(toText(mode));
    text += '-';
    text += std::to_string(segment);
    return text;
}

}  // namespace pyrelle
