// Fuzzes the SMC shim: the value codec on arbitrary values, and the user client (single and
// batched calls) against a device whose every answer (status, length, block bytes) comes from
// the input.
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
        switch (input.byte() % 5) {
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
            case 2: {
                // A batch of up to four keys: this one and three more from the input.
                char more[3][5] = {};
                const char* keys[4] = {key, more[0], more[1], more[2]};
                for (auto& extra : more) input.bytes(extra, 4);
                const uint32_t count = input.byte() % 5;
                PYRValue out[4] = {};
                int32_t results[4] = {};
                if (pyr_smc_read_many(connection, keys, count, out, results) != 0) std::abort();
                for (uint32_t i = 0; i < count; ++i) {
                    if (results[i] == -3) std::abort();
                    if (results[i] == 0 && (out[i].size < 1 || out[i].size > 32)) std::abort();
                }
                break;
            }
            case 3: {
                char found[4][5];
                std::memset(found, 'x', sizeof found);
                int32_t results[4] = {};
                const uint32_t count = input.byte() % 5;
                if (pyr_smc_keys_at(connection, input.byte(), count, found, results) != 0)
                    std::abort();
                for (uint32_t i = 0; i < count; ++i) {
                    if (results[i] == -2 || results[i] == -3) std::abort();
                    if (results[i] == 0 && found[i][4] != '\0') std::abort();
                }
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
