// The SMC user client: open/close, key enumeration, read and the guarded write.
#include <cstring>
#include <optional>

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

// A status in the shim's own ranges (-3...-1, 1...255) would be read as one of its codes;
// such a status from a device is reported as an unusable status instead.
int32_t kernelStatus(int32_t status) {
    if ((status >= -3 && status <= -1) || (status >= 1 && status <= 255)) return PYR_KERN_IPC_ERROR;
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
