#include "MacsmcLabels.hpp"

#include <algorithm>
#include <string_view>

namespace pyrelle::csmc {
namespace {

constexpr const char* kNodeRoot = "device/of_node";

// Device-tree node name prefixes (current kernels) and group names (older kernels) by the
// hwmon attribute prefix of their channels.
struct Kind {
    const char* prefix;
    const char* nodePrefix;
    const char* groups[2];
};
constexpr Kind kKinds[] = {
    {"temp", "temperature-", {"apple,temp-keys", nullptr}},
    {"in", "voltage-", {"apple,volt-keys", nullptr}},
    {"curr", "current-", {"apple,current-keys", "apple,curr-keys"}},
    {"power", "power-", {"apple,power-keys", "apple,pwr-keys"}},
    {"fan", "fan-", {"apple,fan-keys", nullptr}},
};

// A device-tree string property: its text up to the first NUL or new line.
std::optional<std::string> property(AttributeFiles& files, const std::string& path) {
    std::string text;
    if (files.read(path, text) != 0) return std::nullopt;
    if (const auto end = text.find_first_of(std::string_view("\0\n", 2));
        end != std::string::npos) {
        text.resize(end);
    }
    return text;
}

bool printableKey(const std::string& key) {
    return key.size() == 4 &&
           std::all_of(key.begin(), key.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

void addNode(AttributeFiles& files, const std::string& node, const std::string& name,
             const char* prefix, size_t nameTail, std::vector<MacsmcLabel>& out) {
    const auto label = property(files, node + "/label");
    if (!label || label->empty()) return;
    auto key = property(files, node + "/apple,key-id");
    // A node that names no key of its own names it after its kind (`temperature-TH0x`).
    if (!key && name.size() == nameTail + 4) key = name.substr(nameTail);
    if (!key || !printableKey(*key)) return;
    out.push_back({prefix, *label, *key});
}

}  // namespace

std::vector<MacsmcLabel> deviceTreeLabels(AttributeFiles& files) {
    std::vector<MacsmcLabel> found;
    const auto nodes = files.list(kNodeRoot);
    for (const auto& kind : kKinds) {
        const std::string nodePrefix = kind.nodePrefix;
        for (const auto& name : nodes) {
            if (name.compare(0, nodePrefix.size(), nodePrefix) == 0) {
                addNode(files, std::string(kNodeRoot) + "/" + name, name, kind.prefix,
                        nodePrefix.size(), found);
            }
        }
        for (const char* group : kind.groups) {
            if (group == nullptr || std::find(nodes.begin(), nodes.end(), group) == nodes.end()) {
                continue;
            }
            const std::string groupPath = std::string(kNodeRoot) + "/" + group;
            for (const auto& name : files.list(groupPath)) {
                const auto dash = name.rfind('-');
                addNode(files, groupPath + "/" + name, name, kind.prefix,
                        dash == std::string::npos ? name.size() : dash + 1, found);
            }
        }
    }
    return found;
}

const std::vector<MacsmcLabel>& shippedLabels() {
    // hwmon-common.dtsi, hwmon-laptop.dtsi, hwmon-mini.dtsi, hwmon-fan.dtsi and
    // hwmon-fan-dual.dtsi of arch/arm64/boot/dts/apple.
    static const std::vector<MacsmcLabel> table = {
        {"power", "Total System Power", "PSTR"},
        {"power", "AC Input Power", "PDTR"},
        {"power", "3.8 V Rail Power", "PMVR"},
        {"power", "Heatpipe Power", "PHPC"},
        {"temp", "NAND Flash Temperature", "TH0x"},
        {"temp", "Battery Hotspot", "TB0T"},
        {"temp", "Charge Regulator Temp", "TCHP"},
        {"temp", "WiFi/BT Module Temp", "TW0P"},
        {"in", "AC Input Voltage", "VD0R"},
        {"in", "Charger Input Voltage", "VD0R"},
        {"in", "Battery Voltage", "SBAV"},
        {"curr", "AC Input Current", "ID0R"},
        {"fan", "Fan", "F0Ac"},
        {"fan", "Fan 1", "F0Ac"},
        {"fan", "Fan 2", "F1Ac"},
    };
    return table;
}

std::optional<std::string> macsmcKey(const std::vector<MacsmcLabel>& tree,
                                     const std::string& prefix, const std::string& label,
                                     char kindLetter) {
    for (const auto& pair : tree)
        if (pair.prefix == prefix && pair.label == label) return pair.key;
    if (printableKey(label) && label[0] == kindLetter) return label;
    for (const auto& pair : shippedLabels())
        if (pair.prefix == prefix && pair.label == label) return pair.key;
    return std::nullopt;
}

}  // namespace pyrelle::csmc
