#pragma once
// An in-process SMC for tests of the shim and the layers above it: a key table answering the
// user-client commands, scripted faults (kernel statuses, SMC result bytes, short replies)
// for the next exchanges, and a log of every request so tests can assert what was sent.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CSMCDevice.hpp"
#include "SMCBlock.hpp"

namespace pyrelle::testing {

class FakeSMCDevice : public csmc::Device {
public:
    // The SMC's "key not found" result byte.
    static constexpr uint8_t kKeyNotFound = 0x84;

    // Overrides the normal answer of one exchange.
    struct Fault {
        int32_t status = 0;                 // non-zero: the exchange fails with this status
        std::optional<uint8_t> result;      // SMC result byte put into the output block
        std::optional<size_t> replyLength;  // output block cut or padded to this length
    };

    // Adds or replaces a key; enumeration follows the order keys were first added.
    void setKey(const std::string& name, const std::string& type, std::vector<uint8_t> bytes,
                std::optional<uint32_t> reportedSize = std::nullopt) {
        std::lock_guard lock(mutex_);
        const uint32_t code = csmc::fourCC(name);
        for (auto& key : keys_) {
            if (key.name == code) {
                key = Key{code, csmc::fourCC(type), std::move(bytes), reportedSize};
                return;
            }
        }
        keys_.push_back(Key{code, csmc::fourCC(type), std::move(bytes), reportedSize});
    }

    // The bytes a key holds now (after writes); empty when the key does not exist.
    std::vector<uint8_t> bytesOf(const std::string& name) const {
        std::lock_guard lock(mutex_);
        for (const auto& key : keys_) {
            if (key.name == csmc::fourCC(name)) return key.bytes;
        }
        return {};
    }

    // Queues a fault for the next exchange not yet scripted.
    void scriptFault(Fault fault) {
        std::lock_guard lock(mutex_);
        faults_.push_back(fault);
    }

    // The reply to exchanges with selectors other than the user client's.
    void setOtherReply(int32_t status, std::vector<uint8_t> payload) {
        std::lock_guard lock(mutex_);
        otherStatus_ = status;
        otherReply_ = std::move(payload);
    }

    // Every user-client request block received, in order.
    std::vector<csmc::SMCBlock> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

    // Every exchange of any selector, with its raw request payload.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> exchanges() const {
        std::lock_guard lock(mutex_);
        return exchanges_;
    }

    int32_t exchange(uint32_t selector, std::span<const uint8_t> request,
                     std::vector<uint8_t>& reply) override {
        std::lock_guard lock(mutex_);
        exchanges_.emplace_back(selector, std::vector<uint8_t>(request.begin(), request.end()));
        if (selector != csmc::kSelectorUserClient) {
            reply = otherReply_;
            return otherStatus_;
        }
        std::optional<Fault> fault;
        if (!faults_.empty()) {
            fault = faults_.front();
            faults_.pop_front();
        }
        if (fault && fault->status != 0) return fault->status;

        auto input = csmc::SMCBlock::decode(request);
        csmc::SMCBlock output;
        if (input) {
            requests_.push_back(*input);
            output = answer(*input);
        } else {
            output.result = 0xFF;
        }
        if (fault && fault->result) output.result = *fault->result;
        const auto wire = output.encode();
        reply.assign(wire.begin(), wire.end());
        if (fault && fault->replyLength) reply.resize(*fault->replyLength);
        return 0;
    }

private:
    struct Key {
        uint32_t name;
        uint32_t type;
        std::vector<uint8_t> bytes;
        std::optional<uint32_t> reportedSize;
    };

    Key* find(uint32_t name) {
        for (auto& key : keys_) {
            if (key.name == name) return &key;
        }
        return nullptr;
    }

    csmc::SMCBlock answer(const csmc::SMCBlock& input) {
        csmc::SMCBlock output;
        output.key = input.key;
        switch (static_cast<csmc::SMCCommand>(input.command)) {
            case csmc::SMCCommand::keyAtIndex:
                if (input.index < keys_.size()) {
                    output.key = keys_[input.index].name;
                } else {
                    output.result = kKeyNotFound;
                }
                return output;
            case csmc::SMCCommand::readKeyInfo:
                if (Key* key = find(input.key)) {
                    output.dataSize =
                        key->reportedSize.value_or(static_cast<uint32_t>(key->bytes.size()));
                    output.dataType = key->type;
                } else {
                    output.result = kKeyNotFound;
                }
                return output;
            case csmc::SMCCommand::readBytes:
                if (Key* key = find(input.key)) {
                    // As the SMC does: the bytes only for the size its key info reports,
                    // and the size and type named in the reply.
                    const uint32_t size =
                        key->reportedSize.value_or(static_cast<uint32_t>(key->bytes.size()));
                    if (input.dataSize != size) {
                        output.result = 0x87;
                        return output;
                    }
                    output.dataSize = size;
                    output.dataType = key->type;
                    for (size_t i = 0; i < key->bytes.size() && i < output.bytes.size(); ++i) {
                        output.bytes[i] = key->bytes[i];
                    }
                } else {
                    output.result = kKeyNotFound;
                }
                return output;
            case csmc::SMCCommand::writeBytes:
                if (Key* key = find(input.key)) {
                    const size_t size = input.dataSize < 32 ? input.dataSize : 32;
                    key->bytes.assign(input.bytes.begin(),
                                      input.bytes.begin() + static_cast<long>(size));
                } else {
                    output.result = kKeyNotFound;
                }
                return output;
        }
        output.result = 0xFE;  // unknown command
        return output;
    }

    mutable std::mutex mutex_;
    std::vector<Key> keys_;
    std::deque<Fault> faults_;
    std::vector<csmc::SMCBlock> requests_;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> exchanges_;
    int32_t otherStatus_ = 0;
    std::vector<uint8_t> otherReply_;
};

}  // namespace pyrelle::testing
