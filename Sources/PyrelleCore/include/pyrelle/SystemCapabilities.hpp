#pragma once

// Static capability questions about the running system.
namespace pyrelle::SystemCapabilities {

// True when the system offers a low-power mode: the virtual Mac says whether its mode is on,
// or Linux has an ACPI platform profile to read it from.
bool lowPowerMode();

}  // namespace pyrelle::SystemCapabilities
