#pragma once
// Which SMC key each channel of a macsmc-hwmon tree reads. The driver labels its channels with
// the device tree's words ("NAND Flash Temperature", "Fan 1"), and the device tree beside it
// says which key each label stands for: the hwmon device's `device/of_node` holds one node per
// channel (`temperature-TH0x/` with `label` and `apple,key-id`), or, on older kernels, one
// group node per kind (`apple,temp-keys/`) holding those nodes.

#include <optional>
#include <string>
#include <vector>

#include "AttributeFiles.hpp"

namespace pyrelle::csmc {

// The kinds of channel, by their attribute prefix: "temp", "in", "curr", "power", "fan".
struct MacsmcLabel {
    std::string prefix;
    std::string label;
    std::string key;
};

// Every label→key pair the tree's device-tree nodes give, in node order.
std::vector<MacsmcLabel> deviceTreeLabels(AttributeFiles& files);

// The label→key pairs of the device trees Linux ships for Apple Silicon Macs, for a tree
// whose device-tree nodes cannot be read.
const std::vector<MacsmcLabel>& shippedLabels();

// The key of the channel with attribute prefix `prefix` and label `label`: the tree's own
// pairs first, then a label that is itself a key of the kind (`kindLetter` first), then the
// shipped pairs. nullopt when none says.
std::optional<std::string> macsmcKey(const std::vector<MacsmcLabel>& tree,
                                     const std::string& prefix, const std::string& label,
                                     char kindLetter);

}  // namespace pyrelle::csmc
