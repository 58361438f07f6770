// Fuzzes the SMC shim: the value codec on arbitrary values, and the user client against a
// device whose every answer (status, length, block bytes) comes from the input.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "CSMC.h"
#include "CSMCDevice.hpp"

namespace {

// Hands out input bytes in order; zeros once the input is used up.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    void bytes(void* out, size_t count) {
        auto* to = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < count; ++i) to[i] = byte();
    }
    bool empty() const { return offset_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// Answers from the input: a status (mostly success), a reply length (mostly a full block)
// and the reply bytes.
class HostileDevice : public pyrelle::csmc::Device {
public:
    explicit HostileDevice(Input& input) : input_(input) {}
    int32_t exchange(uint32_t, std::span<const uint8_t> request,
                     std::vector<uint8_t>& reply) override {
        if (request.size() != pyrelle::csmc::kBlockSize) std::abort();
        const uint8_t mode = input_.byte();
        if (mode >= 0xF0) {
            int32_t status;
            input_.bytes(&status, sizeof(status));
            return status;
        }
        const size_t length = mode < 0xC0 ? pyrelle::csmc::kBlockSize : input_.byte();
        reply.resize(length);
        input_.bytes(reply.data(), length);
        return 0;
    }

private:
    Input& input_;
};

void fuzzCodec(Input& input) {
    PYRValue value;
    input.bytes(&value, sizeof(value));
    double number;
    input.bytes(&number, sizeof(number));

    (void)pyr_decode(&value);
    PYRValue before = value;
    const int32_t encoded = pyr_encode(&value, number);
    if (encoded != 0 && encoded != -1 && encoded != -2) std::abort();
    if (encoded != 0 && std::memcmp(&before, &value, sizeof(value)) != 0) std::abort();
    if (value.size != before.size || value.type != before.type) std::abort();
    if (encoded == 0) {
        const double decoded = pyr_decode(&value);
        // Encoding truncates or rounds, but never lands far from the number.
        if (!(std::fabs(decoded - number) <= 1.0)) std::abort();
    }
}

void fuzzClient(Input& input) {
    auto device = std::make_shared<HostileDevice>(input);
    pyrelle::csmc::installDevice(device);
    const uint32_t connection = pyr_smc_open();
    pyrelle::csmc::installDevice(nullptr);
    if (connection == 0) std::abort();

    while (!input.empty()) {
        char key[5] = {};
        input.bytes(key, 4);
        switch (input.byte() % 3) {
            case 0: {
                PYRValue out{};
                const int32_t code = pyr_smc_read(connection, key, &out);
                if (code == -3) std::abort();  // only writes are refused by the allow-list
                if (code == 0 && (out.size < 1 || out.size > 32)) std::abort();
                if (code == 0) (void)pyr_decode(&out);
                break;
            }
            case 1: {
                char found[5] = {'x', 'x', 'x', 'x', 'x'};
                const int32_t code = pyr_smc_key_at_index(connection, input.byte(), found);
                if (code == -2 || code == -3) std::abort();
                if (code == 0 && found[4] != '\0') std::abort();
                break;
            }
            default: {
                PYRValue value{};
                value.size = input.byte() % 34;
                input.bytes(&value.type, sizeof(value.type));
                input.bytes(value.bytes, 2);
                (void)pyr_smc_write(connection, key, &value);
                break;
            }
        }
    }
    pyr_smc_close(connection);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    fuzzCodec(input);
    fuzzClient(input);
    return 0;
}
