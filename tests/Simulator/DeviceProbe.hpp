#pragma once
// Speaks the SMC user client's 80-byte blocks to a VirtualSMC directly, the way the shim
// does, so the device's rules are tested without depending on the shim.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pyrelle/sim/SMCBlock.hpp"
#include "pyrelle/sim/ValueCodec.hpp"
#include "pyrelle/sim/VirtualSMC.hpp"

namespace pyrelle::sim::testing {

struct Exchange {
    int32_t status = 0;
    std::vector<uint8_t> reply;
    std::optional<SMCBlock> block() const { return SMCBlock::parse(reply); }
    int result() const { return block() ? block()->result : -1; }
};

struct ReadOutcome {
    int code = 0;  // 0, an SMC result, or the kernel status
    FourCC type;
    uint32_t size = 0;
    ValueCodec::Bytes bytes{};
    std::optional<double> value;
};

class DeviceProbe {
public:
    explicit DeviceProbe(VirtualSMC& device) : device_(device) {}

    Exchange send(const SMCBlock& block) {
        Exchange e;
        const auto raw = block.serialize();
        e.status = device_.exchange(2, raw, e.reply);
        return e;
    }

    Exchange command(SMCCommand command, FourCC key, uint32_t size = 0,
                     ValueCodec::Bytes bytes = {}) {
        SMCBlock b;
        b.key = key;
        b.command = static_cast<uint8_t>(command);
        b.dataSize = size;
        b.bytes = bytes;
        return send(b);
    }

    // Key info then read bytes, as the shim reads a key.
    ReadOutcome read(const std::string& key) {
        ReadOutcome out;
        const auto info = command(SMCCommand::readKeyInfo, FourCC(key));
        if (info.status != 0) return {info.status};
        if (info.result() != 0) return {info.result()};
        out.size = info.block()->dataSize;
        out.type = info.block()->dataType;
        const auto bytes = command(SMCCommand::readBytes, FourCC(key), out.size);
        if (bytes.status != 0) return {bytes.status};
        if (bytes.result() != 0) return {bytes.result()};
        out.bytes = bytes.block()->bytes;
        out.value = ValueCodec::decode(out.type, out.size, out.bytes);
        return out;
    }

    std::optional<double> value(const std::string& key) { return read(key).value; }

    // Writes `number` in the key's own type (found by a key-info request); returns the SMC
    // result, or the kernel status when the exchange failed.
    int write(const std::string& key, double number) {
        const auto info = command(SMCCommand::readKeyInfo, FourCC(key));
        if (info.status != 0) return info.status;
        if (info.result() != 0) return info.result();
        const auto size = info.block()->dataSize;
        const auto bytes = ValueCodec::encode(info.block()->dataType, size, number);
        const auto e =
            command(SMCCommand::writeBytes, FourCC(key), size, bytes.value_or(ValueCodec::Bytes{}));
        return e.status != 0 ? e.status : e.result();
    }

    std::optional<std::string> keyAt(uint32_t index) {
        SMCBlock b;
        b.command = static_cast<uint8_t>(SMCCommand::keyAtIndex);
        b.index = index;
        const auto e = send(b);
        if (e.status != 0 || e.result() != 0) return std::nullopt;
        return e.block()->key.text();
    }

private:
    VirtualSMC& device_;
};

}  // namespace pyrelle::sim::testing
