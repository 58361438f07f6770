#include "pyrelle/SystemCapabilities.hpp"

#include "CSMCProbes.h"

namespace pyrelle::SystemCapabilities {

// A system that offers the mode can say whether it is on; one that cannot answer has none.
bool lowPowerMode() {
    return pyr_low_power_mode() >= 0;
}

}  // namespace pyrelle::SystemCapabilities
