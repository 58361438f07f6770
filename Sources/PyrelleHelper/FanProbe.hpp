#pragma once
// `fan-probe`: the raw fan keys of fan 0 as one compact JSON object, for support and
// diagnosis. Needs nothing but the shim and no administrator rights.

#include <string>

namespace pyrelle::helper {

// Reads "FNum", "F0Md", "F0md", "F0Tg", "F0Ac", "F0Mn", "F0Mx", "Ftst" and "FS! " and returns
// the keys that decode to a finite number, as compact JSON ("{}" without an SMC service).
std::string fanProbeJSON();

}  // namespace pyrelle::helper
