#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace pyrelle {

// Takes Apple Silicon fans out of system-automatic control and hands them back safely: only
// automatic fans are taken, original modes and the "Ftst" unlock flag are remembered, and every
// failed take-over or release ends with a verified restore. Not thread-safe; never restores on
// its own (leases release every fan they took).
class AppleSiliconFanControl {
public:
    // Reads and decodes a key; no value when unreadable.
    using Read = std::function<std::optional<double>(const std::string& key)>;
    // Encodes and writes a key (verified by read-back); throws ScopeError.
    using Write = std::function<void(const std::string& key, double value)>;
    // Pause between take-over retries.
    using Wait = std::function<void()>;
    // Monotonic clock in seconds.
    using Now = std::function<double()>;

    // A fan this controller holds: the mode key it was taken through and its mode before.
    struct Original {
        std::string key;
        double mode = 0;
        friend bool operator==(const Original&, const Original&) = default;
    };

    // How long and how often the mode write is retried after unlocking.
    static constexpr double retrySeconds = 4.0;
    static constexpr int retryAttempts = 40;

    AppleSiliconFanControl(Read read, Write write, Wait wait, Now now = defaultNow());

    // The fan's mode key: the first of "F{n}Md" and "F{n}md" that reads; none for an index
    // outside 0...9 (then nothing is read).
    std::optional<std::string> modeKey(int fan) const;

    // The mode key together with the value that identified it, so callers need not read twice.
    struct ModeReading {
        std::string key;
        double value = 0;
    };
    std::optional<ModeReading> modeReading(int fan) const;
    // The same through another reader (one that answers from values already read).
    static std::optional<ModeReading> modeReading(int fan, const Read& read);

    // Takes the fan (manual = true) or hands it back to system-automatic control (false).
    // Throws ScopeError; a failed take-over has already tried to restore the fan.
    void setManual(int fan, bool manual);

    const std::map<int, Original>& originals() const { return originals_; }
    std::optional<double> unlockOriginal() const { return unlockOriginal_; }

    static Now defaultNow();

private:
    void takeOver(int fan, const std::string& key);
    void restore(int fan, const std::string& key);
    [[noreturn]] void giveUp(int fan, const std::string& key, const std::string& error);
    bool holdsOtherThan(int fan) const;

    Read read_;
    Write write_;
    Wait wait_;
    Now now_;
    std::map<int, Original> originals_;
    std::optional<double> unlockOriginal_;
};

}  // namespace pyrelle
