#include "ThermalStatusWidget.hpp"

#include "pyrelle/widget/WidgetStatusContent.hpp"
#include "pyrelle/widget/WidgetStrings.hpp"

namespace pyrelle {

std::string ThermalStatusWidget::description() {
    return WidgetStrings::text(WidgetStatusContent::Texts::description, "system");
}

}  // namespace pyrelle
