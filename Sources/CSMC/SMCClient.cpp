// The SMC user client: open/close, key enumeration, read and the guarded write.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "CSMC.h"
#include "ConnectionTable.hpp"
#include "SMCBlock.hpp"

namespace pyrelle::csmc {
namespace {

// The outcome of one user-client call: a result code, and on success the output block.
struct CallResult {
    int32_t code = 0;
    SMCBlock output;
};

// A status in the shim's own ranges (-4...-1, 1...255) would be read as one of its codes;
// such a status from a device is reported as an unusable status instead.
int32_t kernelStatus(int32_t status) {
    if ((status >= -4 && status <= -1) || (status >= 1 && status <= 255)) return PYR_KERN_IPC_ERROR;
    return status;
}

// One structure-method call with the given input block: kernel status, -1 for an output
// block of the wrong size, the SMC result byte, or 0 with the output block.
CallResult call(uint32_t connection, const SMCBlock& input) {
    auto device = ConnectionTable::shared().find(connection);
    if (!device) return {PYR_KERN_NOT_OPEN, {}};
    const auto wire = input.encode();
    std::vector<uint8_t> reply;
    reply.reserve(kBlockSize);
    const int32_t status = countedExchange(*device, kSelectorUserClient, wire, reply);
    if (status != 0) return {kernelStatus(status), {}};
    const auto output = SMCBlock::decode(reply);
    if (!output) return {PYR_SMC_INVALID, {}};
    if (output->result != 0) return {output->result, *output};
    return {0, *output};
}

// The calls of `inputs` over one connection, in order, overlapped where the device can;
// each result is what call() gives for that input.
std::vector<CallResult> callAll(uint32_t connection, std::span<const SMCBlock> inputs) {
    std::vector<CallResult> results(inputs.size());
    if (inputs.empty()) return results;
    auto device = ConnectionTable::shared().find(connection);
    if (!device) {
        for (auto& result : results) result.code = PYR_KERN_NOT_OPEN;
        return results;
    }
    std::vector<std::array<uint8_t, kBlockSize>> wires;
    std::vector<std::span<const uint8_t>> requests;
    wires.reserve(inputs.size());
    requests.reserve(inputs.size());
    for (const auto& input : inputs) requests.emplace_back(wires.emplace_back(input.encode()));
    std::vector<int32_t> statuses(inputs.size());
    std::vector<std::vector<uint8_t>> replies(inputs.size());
    countedExchangeAll(*device, kSelectorUserClient, requests, statuses, replies);
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (statuses[i] != 0) {
            results[i].code = kernelStatus(statuses[i]);
            continue;
        }
        const auto output = SMCBlock::decode(replies[i]);
        if (!output) {
            results[i].code = PYR_SMC_INVALID;
            continue;
        }
        results[i] = {output->result, *output};
    }
    return results;
}

bool isFourBytes(const char* key) {
    return key != nullptr && ::strnlen(key, 5) == 4;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The keys a caller may write: fan mode and target keys of fans 0-9, the Intel forced-mode
// mask, and the fan test/unlock key with a plain on/off byte.
int32_t checkWritable(const char* key, const PYRValue& value) {
    if (key[0] == 'F' && isDigit(key[1])) {
        if ((key[2] == 'M' || key[2] == 'm') && key[3] == 'd') return 0;
        if (key[2] == 'T' && key[3] == 'g') return 0;
        return PYR_SMC_NOT_ALLOWED;
    }
    if (std::memcmp(key, "FS! ", 4) == 0) return 0;
    if (std::memcmp(key, "Ftst", 4) == 0) {
        const bool onOff = value.size == 1 && value.type == PYR_TYPE_UI8 &&
                           (value.bytes[0] == 0 || value.bytes[0] == 1);
        return onOff ? 0 : PYR_SMC_NOT_ALLOWED;
    }
    return PYR_SMC_NOT_ALLOWED;
}

}  // namespace
}  // namespace pyrelle::csmc

using namespace pyrelle::csmc;

extern "C" uint32_t pyr_smc_open(void) {
    auto device = connectDevice();
    return device ? ConnectionTable::shared().add(std::move(device)) : 0;
}

extern "C" void pyr_smc_close(uint32_t connection) {
    if (connection != 0) ConnectionTable::shared().remove(connection);
}

extern "C" int32_t pyr_smc_key_at_index(uint32_t connection, uint32_t index, char out[5]) {
    if (connection == 0 || out == nullptr) return PYR_SMC_INVALID;
    SMCBlock input;
    input.command = static_cast<uint8_t>(SMCCommand::keyAtIndex);
    input.index = index;
    const CallResult result = call(connection, input);
    if (result.code != 0) return result.code;
    const std::string key = fourCCText(result.output.key);
    std::memcpy(out, key.data(), 4);
    out[4] = '\0';
    return 0;
}

extern "C" int32_t pyr_smc_keys_at(uint32_t connection, uint32_t first, uint32_t count,
                                   char (*out)[5], int32_t* results) {
    if (out == nullptr || results == nullptr) return PYR_SMC_INVALID;
    if (connection == 0) {
        for (uint32_t i = 0; i < count; ++i) results[i] = PYR_SMC_INVALID;
        return 0;
    }
    // In slices, so a long listing needs no large temporary buffers.
    constexpr uint32_t kSlice = 256;
    std::vector<SMCBlock> inputs;
    for (uint32_t done = 0; done < count;) {
        const uint32_t slice = std::min(kSlice, count - done);
        inputs.assign(slice, SMCBlock{});
        for (uint32_t i = 0; i < slice; ++i) {
            inputs[i].command = static_cast<uint8_t>(SMCCommand::keyAtIndex);
            inputs[i].index = first + done + i;  // wraps as the single call's index would
        }
        const auto calls = callAll(connection, inputs);
        for (uint32_t i = 0; i < slice; ++i) {
            results[done + i] = calls[i].code;
            if (calls[i].code != 0) continue;
            const std::string key = fourCCText(calls[i].output.key);
            std::memcpy(out[done + i], key.data(), 4);
            out[done + i][4] = '\0';
        }
        done += slice;
    }
    return 0;
}

extern "C" int32_t pyr_smc_read_many(uint32_t connection, const char* const* keys, uint32_t count,
                                     PYRValue* out, int32_t* results) {
    if (keys == nullptr || out == nullptr || results == nullptr) return PYR_SMC_INVALID;
    // Key info for every well-formed key first, then the bytes of those whose size is usable.
    std::vector<uint32_t> asked;
    std::vector<SMCBlock> infos;
    for (uint32_t i = 0; i < count; ++i) {
        results[i] = PYR_SMC_INVALID;
        if (connection == 0 || !isFourBytes(keys[i])) continue;
        SMCBlock info;
        info.key = fourCC(std::string_view(keys[i], 4));
        info.command = static_cast<uint8_t>(SMCCommand::readKeyInfo);
        infos.push_back(info);
        asked.push_back(i);
    }
    const auto infoResults = callAll(connection, infos);

    std::vector<uint32_t> reading;
    std::vector<SMCBlock> reads;
    for (size_t n = 0; n < asked.size(); ++n) {
        const uint32_t i = asked[n];
        const CallResult& info = infoResults[n];
        results[i] = info.code;
        if (info.code != 0) continue;
        const uint32_t size = info.output.dataSize;
        if (size < 1 || size > 32) {
            results[i] = PYR_SMC_BAD_SIZE;
            continue;
        }
        out[i].size = size;
        out[i].type = info.output.dataType;
        SMCBlock read;
        read.key = infos[n].key;
        read.dataSize = size;
        read.command = static_cast<uint8_t>(SMCCommand::readBytes);
        reads.push_back(read);
        reading.push_back(i);
    }
    const auto readResults = callAll(connection, reads);
    for (size_t n = 0; n < reading.size(); ++n) {
        const uint32_t i = reading[n];
        results[i] = readResults[n].code;
        if (readResults[n].code == 0)
            std::memcpy(out[i].bytes, readResults[n].output.bytes.data(), sizeof(out[i].bytes));
    }
    return 0;
}

extern "C" int32_t pyr_smc_read(uint32_t connection, const char* key, PYRValue* out) {
    if (connection == 0 || out == nullptr || !isFourBytes(key)) return PYR_SMC_INVALID;
    SMCBlock info;
    info.key = fourCC(std::string_view(key, 4));
    info.command = static_cast<uint8_t>(SMCCommand::readKeyInfo);
    const CallResult infoResult = call(connection, info);
    if (infoResult.code != 0) return infoResult.code;
    const uint32_t size = infoResult.output.dataSize;
    if (size < 1 || size > 32) return PYR_SMC_BAD_SIZE;
    out->size = size;
    out->type = infoResult.output.dataType;

    SMCBlock read;
    read.key = info.key;
    read.dataSize = size;
    read.command = static_cast<uint8_t>(SMCCommand::readBytes);
    const CallResult readResult = call(connection, read);
    if (readResult.code != 0) return readResult.code;
    std::memcpy(out->bytes, readResult.output.bytes.data(), sizeof(out->bytes));
    return 0;
}

namespace {

bool usableInfo(const PYRValue* info) {
    return info != nullptr && info->size >= 1 && info->size <= 32;
}

SMCBlock knownRead(const char* key, const PYRValue& info) {
    SMCBlock read;
    read.key = fourCC(std::string_view(key, 4));
    read.dataSize = info.size;
    read.command = static_cast<uint8_t>(SMCCommand::readBytes);
    return read;
}

// The result of a byte read made with held key info: a reply that names another size or type
// than the held one means the info is stale (a device that names none is taken at its word).
int32_t knownResult(const CallResult& call, const PYRValue& info, PYRValue& out) {
    if (call.code != 0) return call.code;
    const SMCBlock& reply = call.output;
    if ((reply.dataSize != 0 && reply.dataSize != info.size) ||
        (reply.dataType != 0 && reply.dataType != info.type)) {
        return PYR_SMC_STALE_INFO;
    }
    out.size = info.size;
    out.type = info.type;
    std::memcpy(out.bytes, reply.bytes.data(), sizeof(out.bytes));
    return 0;
}

}  // namespace

extern "C" int32_t pyr_smc_read_known(uint32_t connection, const char* key, const PYRValue* info,
                                      PYRValue* out) {
    if (connection == 0 || out == nullptr || !isFourBytes(key) || !usableInfo(info))
        return PYR_SMC_INVALID;
    const PYRValue held = *info;  // `info` and `out` may be the same record
    return knownResult(call(connection, knownRead(key, held)), held, *out);
}

extern "C" int32_t pyr_smc_read_many_known(uint32_t connection, const char* const* keys,
                                           const PYRValue* infos, uint32_t count, PYRValue* out,
                                           int32_t* results) {
    if (keys == nullptr || infos == nullptr || out == nullptr || results == nullptr)
        return PYR_SMC_INVALID;
    std::vector<uint32_t> asked;
    std::vector<SMCBlock> reads;
    std::vector<PYRValue> held;
    for (uint32_t i = 0; i < count; ++i) {
        results[i] = PYR_SMC_INVALID;
        if (connection == 0 || !isFourBytes(keys[i]) || !usableInfo(&infos[i])) continue;
        held.push_back(infos[i]);
        reads.push_back(knownRead(keys[i], infos[i]));
        asked.push_back(i);
    }
    const auto calls = callAll(connection, reads);
    for (size_t n = 0; n < asked.size(); ++n)
        results[asked[n]] = knownResult(calls[n], held[n], out[asked[n]]);
    return 0;
}

extern "C" int32_t pyr_smc_write(uint32_t connection, const char* key, const PYRValue* value) {
    if (connection == 0 || value == nullptr || !isFourBytes(key)) return PYR_SMC_INVALID;
    if (value->size < 1 || value->size > 32) return PYR_SMC_INVALID;
    if (const int32_t refused = checkWritable(key, *value); refused != 0) return refused;
    SMCBlock write;
    write.key = fourCC(std::string_view(key, 4));
    write.dataSize = value->size;
    write.command = static_cast<uint8_t>(SMCCommand::writeBytes);
    std::memcpy(write.bytes.data(), value->bytes, sizeof(value->bytes));
    return call(connection, write).code;
}
