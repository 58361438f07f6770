#include "pyrelle/sim/FaultSet.hpp"

namespace pyrelle::sim {

bool FaultSet::Pattern::matches(FourCC key) const {
    const std::string name = key.text();
    if (!text.empty() && text.back() == '*') {
        const std::string prefix = text.substr(0, text.size() - 1);
        return name.compare(0, prefix.size(), prefix) == 0;
    }
    // Exact names may omit trailing blanks ("FS!" names "FS! ").
    std::string padded = text;
    if (padded.size() < 4) padded.append(4 - padded.size(), ' ');
    return padded == name;
}

std::optional<uint8_t> FaultSet::refusedWrite(FourCC key) const {
    for (const auto& r : writes_) {
        if (r.pattern.matches(key)) return r.result;
    }
    return std::nullopt;
}

std::optional<uint8_t> FaultSet::refusedRead(FourCC key) const {
    for (const auto& r : reads_) {
        if (r.pattern.matches(key)) return r.result;
    }
    return std::nullopt;
}

double FaultSet::readbackOffset(FourCC key) const {
    double sum = 0;
    for (const auto& o : offsets_) {
        if (o.pattern.matches(key)) sum += o.delta;
    }
    return sum;
}

namespace {

template <typename Counted>
std::optional<uint32_t> take(std::optional<Counted>& fault) {
    if (!fault) return std::nullopt;
    const uint32_t value = fault->value;
    if (fault->remaining) {
        if (--*fault->remaining == 0) fault.reset();
    }
    return value;
}

}  // namespace

std::optional<int32_t> FaultSet::takeKernelError() {
    const auto value = take(kernelError_);
    if (!value) return std::nullopt;
    return static_cast<int32_t>(*value);
}

std::optional<uint32_t> FaultSet::takeBadLength() {
    return take(badLength_);
}

bool FaultSet::takeDrop() {
    const bool drop = drop_;
    drop_ = false;
    return drop;
}

void FaultSet::addKernelError(std::optional<uint32_t> count, int32_t status) {
    if (count && *count == 0) {
        kernelError_.reset();
        return;
    }
    kernelError_ = Counted{count, static_cast<uint32_t>(status)};
}

void FaultSet::addBadLength(std::optional<uint32_t> count, uint32_t length) {
    if (count && *count == 0) {
        badLength_.reset();
        return;
    }
    badLength_ = Counted{count, length};
}

nlohmann::json FaultSet::describe() const {
    auto list = nlohmann::json::array();
    for (const auto& r : writes_)
        list.push_back({{"kind", "refuse-write"}, {"key", r.pattern.text}, {"result", r.result}});
    for (const auto& r : reads_)
        list.push_back({{"kind", "refuse-read"}, {"key", r.pattern.text}, {"result", r.result}});
    for (const auto& o : offsets_)
        list.push_back({{"kind", "readback-offset"}, {"key", o.pattern.text}, {"delta", o.delta}});
    if (lagSeconds_ > 0) list.push_back({{"kind", "readback-lag"}, {"seconds", lagSeconds_}});
    if (holdUnlock_) list.push_back({{"kind", "hold-ftst"}});
    auto counted = [&list](const char* kind, const std::optional<Counted>& c, const char* field) {
        if (!c) return;
        nlohmann::json entry = {{"kind", kind}, {field, c->value}};
        if (c->remaining) entry["count"] = *c->remaining;
        list.push_back(entry);
    };
    if (kernelError_) {
        nlohmann::json entry = {{"kind", "kernel-error"},
                                {"status", static_cast<int32_t>(kernelError_->value)}};
        if (kernelError_->remaining) entry["count"] = *kernelError_->remaining;
        list.push_back(entry);
    }
    counted("bad-length", badLength_, "length");
    if (drop_) list.push_back({{"kind", "drop-connection"}});
    return list;
}

}  // namespace pyrelle::sim
