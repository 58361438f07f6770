// The built-in machine profiles. Sensor keys are named as the machines of each family name
// them; the rest of each table (adapter, battery, charger, clock, revision and many
// controller-internal keys) is there so enumeration and discovery see a realistic device.

#include <algorithm>
#include <charconv>
#include <cstring>
#include <set>

#include "pyrelle/sim/Profile.hpp"

namespace pyrelle::sim {

namespace {

class TableBuilder {
public:
    explicit TableBuilder(Profile& profile) : p_(profile) {}

    KeySpec& add(std::string_view key, std::string_view type, uint32_t size, KeySource source,
                 uint8_t index = 0, double scale = 1, double offset = 0, bool listed = true) {
        KeySpec spec;
        spec.key = FourCC(key);
        spec.type = FourCC(type);
        spec.size = size;
        spec.source = source;
        spec.index = index;
        spec.scale = scale;
        spec.offset = offset;
        spec.listed = listed;
        used_.insert(spec.key.value);
        p_.keys.push_back(spec);
        return p_.keys.back();
    }

    bool has(std::string_view key) const { return used_.count(FourCC(key).value) != 0; }

    void number(std::string_view key, std::string_view type, double value, bool listed = true) {
        const uint32_t size = ValueCodec::naturalSize(FourCC(type)).value_or(4);
        auto& spec = add(key, type, size, KeySource::fixed, 0, 1, 0, listed);
        spec.bytes = ValueCodec::encode(spec.type, size, value).value_or(ValueCodec::Bytes{});
    }

    void text(std::string_view key, std::string_view type, uint32_t size, std::string_view value) {
        auto& spec = add(key, type, size, KeySource::fixed);
        std::memcpy(spec.bytes.data(), value.data(), std::min<size_t>(value.size(), size));
    }

    void opaque(std::string_view key, std::string_view type, uint32_t size, uint32_t seed) {
        auto& spec = add(key, type, size, KeySource::fixed);
        for (uint32_t i = 0; i < size; ++i)
            spec.bytes[i] = static_cast<uint8_t>(seed * 131 + i * 29);
    }

    void temp(std::string_view key, ThermalNode node, double offset, bool listed = true,
              std::string_view type = "flt ") {
        add(key, type, ValueCodec::naturalSize(FourCC(type)).value_or(4), KeySource::temperature,
            static_cast<uint8_t>(node), 1, offset, listed);
    }

    void rail(std::string_view key, KeySource source, Rail rail, double scale, double offset = 0,
              std::string_view type = "flt ") {
        add(key, type, ValueCodec::naturalSize(FourCC(type)).value_or(4), source,
            static_cast<uint8_t>(rail), scale, offset);
    }

    // Fan n's keys in the profile's speed type; `mode` names the mode key suffix ("Md",
    // "md") or is empty for machines that have none.
    void fan(size_t n, std::string_view mode) {
        const std::string f = "F" + std::to_string(n);
        const std::string type = p_.speedType.text();
        const auto i = static_cast<uint8_t>(n);
        add(f + "Ac", type, ValueCodec::naturalSize(p_.speedType).value_or(4), KeySource::fanActual,
            i);
        add(f + "Mn", type, ValueCodec::naturalSize(p_.speedType).value_or(4),
            KeySource::fanMinimum, i);
        add(f + "Mx", type, ValueCodec::naturalSize(p_.speedType).value_or(4),
            KeySource::fanMaximum, i);
        add(f + "Tg", type, ValueCodec::naturalSize(p_.speedType).value_or(4), KeySource::fanTarget,
            i);
        if (!mode.empty()) add(f + std::string(mode), "ui8 ", 1, KeySource::fanMode, i);
        number(f + "St", "ui8 ", 0);
        text(f + "ID", "{fds", 16, n == 0 ? "\0\0\0\0Left Fan" : "\0\0\0\0Right Fan");
    }

    // Keys common to Apple machines that are neither sensors nor fans.
    void appleHousekeeping(std::string_view board) {
        add("#KEY", "ui32", 4, KeySource::keyCount);
        number("$Num", "ui8 ", 1);
        number("+LKS", "flag", 0);
        text("ACID", "ch8*", 8, "\x12\x34\x56\x78\x9a\xbc\xde\xf0");
        number("ACIN", "flag", 1);
        number("AC-W", "si8 ", 1);
        number("ACEN", "ui8 ", 1);
        number("BNum", "ui8 ", 1);
        number("BSIn", "ui8 ", 0);
        number("B0AC", "si16", -310);
        number("B0AV", "ui16", 12450);
        number("B0CT", "ui16", 87);
        number("B0FC", "ui16", 6020);
        number("B0RM", "ui16", 5104);
        number("B0DC", "ui16", 6249);
        number("B0TF", "ui16", 65535);
        for (int c = 1; c <= 3; ++c) number("BC" + std::to_string(c) + "V", "ui16", 4140 + c * 3);
        number("BRSC", "ui16", 84);
        number("CHBI", "ui16", 310);
        number("CHBV", "ui16", 12600);
        number("CHLC", "ui8 ", 0);
        number("CHSE", "ui8 ", 1);
        opaque("CLKH", "{clh", 8, 7);
        number("CLKT", "ui32", 51234);
        opaque("DPLM", "{lim", 4, 3);
        number("EPCI", "ui32", 0x0714C0DE);
        number("LSOF", "flag", 0);
        number("MSLD", "flag", 0);
        opaque("MSAc", "hex_", 2, 11);
        text("RPlt", "ch8*", 8, board);
        text("RBr ", "ch8*", 8, board);
        opaque("REV ", "{rev", 6, 5);
        opaque("RVBF", "{rev", 6, 6);
        opaque("RVUF", "{rev", 6, 9);
        number("SBF ", "ui8 ", 0);
        number("WKTP", "flag", 0);
    }

    // Pads the table with generated keys until `count` are listed: mostly controller keys of
    // assorted types, about a fifth of them further sensors of every kind.
    void fill(size_t count) {
        static constexpr const char* kTypes[] = {"ui8 ", "ui16", "ui32", "flag", "si8 ", "si16",
                                                 "hex_", "ch8*", "flt ", "ioft", "{jst", "ui8 "};
        static constexpr std::string_view kLead = "ABCDEGHLMNORSUWZabcdefhklmnorsuwz";
        static constexpr std::string_view kAlnum =
            "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        // Second letters that keep generated sensors out of the named CPU, GPU, storage,
        // battery and memory families, so the machine's known readings stay its own.
        static constexpr std::string_view kTempSecond = "aDdfIiLMNOQRrSsUuVZz";
        static constexpr std::string_view kRailSecond = "abeHKLNORUXZ";
        uint32_t state = 0x9E3779B9u ^ static_cast<uint32_t>(p_.name.size() * 7919);
        auto next = [&state] {
            state = state * 1664525u + 1013904223u;
            return state >> 8;
        };
        while (p_.listedCount() < count) {
            const uint32_t r = next();
            std::string key(4, ' ');
            const uint32_t kind = r % 20;
            if (kind < 4) {
                static constexpr char kSensorLead[] = {'T', 'T', 'P', 'V', 'I'};
                const char lead = kSensorLead[next() % 5];
                key[0] = lead;
                key[1] = lead == 'T' ? kTempSecond[next() % kTempSecond.size()]
                                     : kRailSecond[next() % kRailSecond.size()];
                key[2] = static_cast<char>('0' + next() % 10);
                key[3] = kAlnum[next() % kAlnum.size()];
                if (has(key)) continue;
                const double jitter = static_cast<double>(next() % 100) / 25.0;
                if (lead == 'T') {
                    static constexpr ThermalNode kNodes[] = {
                        ThermalNode::skin, ThermalNode::ambient, ThermalNode::wireless,
                        ThermalNode::memory};
                    temp(key, kNodes[next() % 4], jitter - 2.0);
                } else if (lead == 'P') {
                    rail(key, KeySource::power, Rail::constant, 0.1 + jitter / 10.0);
                } else if (lead == 'V') {
                    rail(key, KeySource::voltage, Rail::constant, 0.6 + jitter);
                } else {
                    rail(key, KeySource::current, Rail::constant, 0.05 + jitter / 20.0);
                }
                continue;
            }
            key[0] = kLead[next() % kLead.size()];
            for (size_t i = 1; i < 4; ++i) key[i] = kAlnum[next() % kAlnum.size()];
            if (has(key)) continue;
            const std::string_view type = kTypes[next() % std::size(kTypes)];
            if (type == "hex_" || type == "ch8*" || type == "{jst") {
                const uint32_t size = type == "{jst" ? 6 : 1 + next() % 8;
                opaque(key, type, size, next());
            } else {
                number(key, type, static_cast<double>(next() % (type == "flag" ? 2 : 200)));
            }
        }
    }

private:
    Profile& p_;
    std::set<uint32_t> used_;
};

// Power, voltage and current keys shared by the Apple Silicon laptops.
void appleRails(TableBuilder& b) {
    using K = KeySource;
    b.rail("PSTR", K::power, Rail::system, 1.0);
    b.rail("PDTR", K::power, Rail::dcIn, 1.0);
    b.rail("PCPC", K::power, Rail::cpu, 0.62);
    b.rail("PCPT", K::power, Rail::cpu, 1.0);
    b.rail("PCTR", K::power, Rail::cpu, 0.95);
    b.rail("PCPR", K::power, Rail::cpu, 0.35);
    b.rail("PG0C", K::power, Rail::gpu, 0.8);
    b.rail("PG0R", K::power, Rail::gpu, 1.0);
    b.rail("PG1R", K::power, Rail::gpu, 0.2);
    b.rail("PMTR", K::power, Rail::memory, 1.0);
    b.rail("PPBR", K::power, Rail::battery, 1.0);
    b.rail("PHPC", K::power, Rail::system, 0.08);
    b.rail("PDBR", K::power, Rail::dcIn, 0.02);
    b.rail("PMVR", K::power, Rail::memory, 0.4);
    b.rail("PSVR", K::power, Rail::system, 0.05);
    b.rail("PZ0G", K::power, Rail::constant, 0.3);
    b.rail("VD0R", K::voltage, Rail::dcIn, 1.0);
    b.rail("VP0R", K::voltage, Rail::system, 1.0);
    b.rail("VC0C", K::voltage, Rail::cpu, 1.0);
    b.rail("VG0C", K::voltage, Rail::gpu, 1.0);
    b.rail("VM0R", K::voltage, Rail::memory, 1.0);
    b.rail("VBAT", K::voltage, Rail::battery, 1.0);
    b.rail("VR0R", K::voltage, Rail::constant, 3.3);
    b.rail("VR1R", K::voltage, Rail::constant, 5.0);
    b.rail("ID0R", K::current, Rail::dcIn, 1.0);
    b.rail("IBTR", K::current, Rail::battery, 1.0);
    b.rail("IC0R", K::current, Rail::cpu, 1.0);
    b.rail("IG0R", K::current, Rail::gpu, 1.0);
    b.rail("IM0R", K::current, Rail::memory, 1.0);
    b.rail("IPBR", K::current, Rail::battery, 0.5);
    b.rail("IR0R", K::current, Rail::constant, 0.5);
}

// Temperatures of the parts every Apple laptop has, besides processor and graphics.
void appleBodyTemperatures(TableBuilder& b) {
    using N = ThermalNode;
    b.temp("TH0a", N::storage, 0.0);
    b.temp("TH0b", N::storage, -1.2);
    b.temp("TH0x", N::storage, 0.6);
    b.temp("TB0T", N::battery, 0.0);
    b.temp("TB1T", N::battery, -0.4, true, "sp78");
    b.temp("TB2T", N::battery, 0.3);
    b.temp("TW0P", N::wireless, 0.0);
    b.temp("Ts0P", N::skin, 0.0);
    b.temp("Ts1P", N::skin, 1.2);
    b.temp("Ts0S", N::skin, 0.5);
    b.temp("TaLP", N::ambient, 0.3);
    b.temp("TaRF", N::ambient, 1.0);
    b.temp("TaLT", N::ambient, 0.8);
    b.temp("TaRT", N::ambient, 0.6);
    b.temp("TPSP", N::skin, 2.0);
    b.temp("TR0Z", N::skin, 3.0);
    b.temp("TR1d", N::skin, 2.2);
    b.temp("TR2d", N::skin, 1.8);
    // Readings no plausible machine has: a sensor stuck at 0 and one at its floor.
    b.number("TDBP", "flt ", 0.0);
    b.number("Ts2S", "flt ", -128.0);
    // Temperatures kept in the controller's 8-byte format, which the shim cannot decode.
    b.temp("TCDX", N::cpu, 2.0, true, "ioft");
    b.temp("TPDX", N::cpu, 1.0, true, "ioft");
    b.temp("TRDX", N::skin, 0.0, true, "ioft");
    b.rail("PHDX", KeySource::power, Rail::system, 1.0, 0, "ioft");
    // A T key that is a counter, not a sensor.
    b.number("TMLB", "ui16", 412);
}

Profile appleM4Pro() {
    Profile p;
    p.name = "apple-m4-pro";
    p.brand = "Apple M4 Pro";
    p.automaticMode = 3;
    p.speedType = FourCC("flt ");
    p.fans = {{1200, 5779}, {1200, 6241}};
    p.totalCPUs = 14;
    p.idleHeat = 5.0;
    p.cpuHeat = 46.0;
    p.gpuHeat = 40.0;
    p.resistance = 2.4;
    p.airflowGain = 1.6;
    TableBuilder b(p);
    using N = ThermalNode;
    b.appleHousekeeping("Mac16,7");
    b.number("FNum", "ui8 ", 2);
    p.keys.back().source = KeySource::fanCount;
    b.add("Ftst", "ui8 ", 1, KeySource::unlock);
    b.fan(0, "Md");
    b.fan(1, "Md");
    const std::pair<const char*, double> cpu[] = {
        {"Te05", 1.2}, {"Te0S", 0.4}, {"Te09", -0.8}, {"Te0H", 2.1}, {"Tp01", 3.0}, {"Tp05", 2.2},
        {"Tp09", 1.7}, {"Tp0D", 3.4}, {"Tp0V", 0.9},  {"Tp0Y", 2.6}, {"Tp0b", 1.1}, {"Tp0e", 2.9}};
    for (const auto& [key, offset] : cpu) b.temp(key, N::cpu, offset);
    const std::pair<const char*, double> gpu[] = {{"Tg0K", 0.5}, {"Tg0L", -0.3}, {"Tg0d", 1.4},
                                                  {"Tg0e", 0.8}, {"Tg0j", -1.0}, {"Tg0k", 1.9},
                                                  {"Tg1U", 2.4}, {"Tg1k", 1.0}};
    for (const auto& [key, offset] : gpu) b.temp(key, N::gpu, offset);
    b.temp("Tm0p", N::memory, 0.0);
    b.temp("Tm1p", N::memory, 0.8);
    b.temp("Tm2p", N::memory, -0.6);
    // Classic processor keys: some listed, some answered only when asked for by name.
    b.temp("TC0P", N::cpu, -4.0);
    b.temp("TC0D", N::cpu, 1.5, false);
    b.number("TC0E", "flt ", 0.0, false);
    b.temp("TG0D", N::gpu, 0.5);
    b.temp("TG0P", N::gpu, -3.0, false);
    for (int n = 0; n < 8; ++n) {
        b.temp("TC" + std::to_string(n) + "C", N::cpu, 0.5 + 0.25 * n, n < 4);
    }
    appleBodyTemperatures(b);
    appleRails(b);
    b.fill(880);
    return p;
}

Profile appleLowercase() {
    Profile p;
    p.name = "apple-lowercase";
    p.brand = "Apple M1";
    p.automaticMode = 0;
    p.speedType = FourCC("flt ");
    p.fans = {{1700, 4900}};
    p.totalCPUs = 8;
    p.idleHeat = 3.0;
    p.cpuHeat = 24.0;
    p.gpuHeat = 14.0;
    p.resistance = 2.4;
    p.airflowGain = 1.4;
    TableBuilder b(p);
    using N = ThermalNode;
    b.appleHousekeeping("Macmini9");
    b.number("FNum", "ui8 ", 1);
    p.keys.back().source = KeySource::fanCount;
    b.add("Ftst", "ui8 ", 1, KeySource::unlock);
    b.fan(0, "md");
    const std::pair<const char*, double> cpu[] = {
        {"Tp01", 1.0}, {"Tp05", 2.0}, {"Tp09", 0.6}, {"Tp0D", 1.8}, {"Tp0H", 2.4},
        {"Tp0L", 1.1}, {"Tp0P", 0.2}, {"Tp0T", 2.9}, {"Tp0X", 1.5}, {"Tp0b", 0.8}};
    for (const auto& [key, offset] : cpu) b.temp(key, N::cpu, offset);
    for (const auto& [key, offset] :
         {std::pair{"Tg05", 0.4}, {"Tg0D", 1.2}, {"Tg0L", -0.2}, {"Tg0T", 0.9}}) {
        b.temp(key, N::gpu, offset);
    }
    b.temp("Tm02", N::memory, 0.0);
    b.temp("Tm06", N::memory, 0.7);
    b.temp("Tm08", N::memory, -0.3);
    b.temp("TC0D", N::cpu, 1.0);
    b.temp("TC0P", N::cpu, -3.5, false);
    b.temp("TG0P", N::gpu, -2.0);
    for (int n = 0; n < 4; ++n) b.temp("TC" + std::to_string(n) + "C", N::cpu, 0.4 * n, false);
    appleBodyTemperatures(b);
    appleRails(b);
    b.fill(860);
    return p;
}

Profile appleFanless() {
    Profile p;
    p.name = "apple-fanless";
    p.brand = "Apple M4";
    p.automaticMode = 3;
    p.speedType = FourCC("flt ");
    p.totalCPUs = 10;
    p.idleHeat = 2.5;
    p.cpuHeat = 22.0;
    p.gpuHeat = 14.0;
    p.resistance = 2.7;
    p.airflowGain = 0.0;
    TableBuilder b(p);
    using N = ThermalNode;
    b.appleHousekeeping("Mac16,12");
    b.number("FNum", "ui8 ", 0);
    p.keys.back().source = KeySource::fanCount;
    const std::pair<const char*, double> cpu[] = {
        {"Te05", 1.0}, {"Te0S", 0.2}, {"Te09", -0.6}, {"Te0H", 1.6}, {"Tp01", 2.4},
        {"Tp05", 1.9}, {"Tp09", 1.2}, {"Tp0D", 2.8},  {"Tp0V", 0.7}, {"Tp0Y", 2.0}};
    for (const auto& [key, offset] : cpu) b.temp(key, N::cpu, offset);
    for (const auto& [key, offset] : {std::pair{"Tg0G", 0.9},
                                      {"Tg0H", 0.2},
                                      {"Tg0K", -0.4},
                                      {"Tg0L", 0.6},
                                      {"Tg0d", 1.1},
                                      {"Tg0e", -0.8}}) {
        b.temp(key, N::gpu, offset);
    }
    b.temp("Tm0p", N::memory, 0.0);
    b.temp("Tm1p", N::memory, 0.5);
    b.temp("TC0P", N::cpu, -4.0);
    b.temp("TG0P", N::gpu, -2.5, false);
    appleBodyTemperatures(b);
    appleRails(b);
    b.fill(720);
    return p;
}

Profile intel() {
    Profile p;
    p.name = "intel";
    p.brand = "Intel(R) Core(TM) i9-9880H CPU @ 2.30GHz";
    p.appleSilicon = false;
    p.automaticMode = 0;
    p.speedType = FourCC("fpe2");
    p.fans = {{1200, 5500}, {1300, 6000}};
    p.totalCPUs = 16;
    p.idleHeat = 7.0;
    p.cpuHeat = 45.0;
    p.gpuHeat = 20.0;
    p.resistance = 1.6;
    p.airflowGain = 1.8;
    TableBuilder b(p);
    using N = ThermalNode;
    using K = KeySource;
    b.add("#KEY", "ui32", 4, K::keyCount);
    b.number("ACIN", "flag", 1);
    b.number("ACID", "ui32", 0x2F1A);
    b.number("BNum", "ui8 ", 1);
    b.number("B0AV", "ui16", 12100);
    b.number("B0RM", "ui16", 6120);
    b.number("B0FC", "ui16", 7050);
    b.text("RPlt", "ch8*", 8, "j152f");
    b.text("RBr ", "ch8*", 8, "j152f");
    b.opaque("REV ", "{rev", 6, 2);
    b.number("LSOF", "flag", 0);
    b.number("MSLD", "flag", 0);
    b.number("FNum", "ui8 ", 2);
    p.keys.back().source = K::fanCount;
    b.add("FS! ", "ui16", 2, K::forcedMask);
    b.fan(0, "");
    b.fan(1, "");
    const char* const sp = "sp78";
    b.temp("TC0P", N::cpu, -5.0, true, sp);
    b.temp("TC0D", N::cpu, 0.0, true, sp);
    b.temp("TC0E", N::cpu, 0.8, true, sp);
    b.temp("TC0F", N::cpu, 1.2, true, sp);
    b.temp("TC0H", N::cpu, -8.0, false, sp);
    for (int n = 1; n <= 8; ++n)
        b.temp("TC" + std::to_string(n) + "C", N::cpu, 0.3 * n, n <= 4, sp);
    b.temp("TCGC", N::cpu, -1.0, true, sp);
    b.temp("TCSA", N::cpu, -2.0, true, sp);
    b.temp("TCXC", N::cpu, 0.9, true, sp);
    b.temp("TG0D", N::gpu, 0.0, true, sp);
    b.temp("TG0P", N::gpu, -3.0, true, sp);
    b.temp("TG0T", N::gpu, -1.0, true, sp);
    b.temp("TPCD", N::skin, 8.0, true, sp);
    b.temp("TM0P", N::memory, 0.0, true, sp);
    b.temp("TB0T", N::battery, 0.0, true, sp);
    b.temp("TB1T", N::battery, -0.5, true, sp);
    b.temp("TB2T", N::battery, 0.4, true, sp);
    b.temp("TH0F", N::storage, 0.0, true, sp);
    b.temp("TW0P", N::wireless, 0.0, true, sp);
    b.temp("Ts0P", N::skin, 0.0, true, sp);
    b.temp("Ts0S", N::skin, 1.0, true, sp);
    b.temp("TA0V", N::ambient, 0.0, true, sp);
    b.number("TS0V", "sp78", 0.0);
    b.rail("PSTR", K::power, Rail::system, 1.0, 0, "sp96");
    b.rail("PDTR", K::power, Rail::dcIn, 1.0, 0, "sp96");
    b.rail("PCPC", K::power, Rail::cpu, 0.7, 0, "sp96");
    b.rail("PCPT", K::power, Rail::cpu, 1.0, 0, "sp96");
    b.rail("PCPG", K::power, Rail::gpu, 0.3, 0, "sp96");
    b.rail("PG0R", K::power, Rail::gpu, 1.0, 0, "sp96");
    b.rail("PMTR", K::power, Rail::memory, 1.0, 0, "sp96");
    b.rail("PPBR", K::power, Rail::battery, 1.0, 0, "sp96");
    b.rail("VD0R", K::voltage, Rail::dcIn, 1.0, 0, "fp88");
    b.rail("VP0R", K::voltage, Rail::system, 1.0, 0, "fp88");
    b.rail("VC0C", K::voltage, Rail::cpu, 1.0, 0, "sp3c");
    b.rail("VG0C", K::voltage, Rail::gpu, 1.0, 0, "sp3c");
    b.rail("ID0R", K::current, Rail::dcIn, 1.0, 0, "sp87");
    b.rail("IC0R", K::current, Rail::cpu, 1.0, 0, "sp87");
    b.rail("IG0R", K::current, Rail::gpu, 1.0, 0, "sp87");
    b.rail("IPBR", K::current, Rail::battery, 1.0, 0, "sp87");
    b.fill(620);
    return p;
}

struct Entry {
    const char* name;
    Profile (*make)();
};
constexpr Entry kProfiles[] = {
    {"apple-m4-pro", appleM4Pro},
    {"apple-lowercase", appleLowercase},
    {"apple-fanless", appleFanless},
    {"intel", intel},
};

}  // namespace

size_t Profile::listedCount() const {
    return static_cast<size_t>(
        std::count_if(keys.begin(), keys.end(), [](const KeySpec& k) { return k.listed; }));
}

const KeySpec* Profile::find(FourCC key) const {
    for (const auto& spec : keys) {
        if (spec.key == key) return &spec;
    }
    return nullptr;
}

std::vector<std::string> Profile::names() {
    std::vector<std::string> out;
    for (const auto& entry : kProfiles) out.emplace_back(entry.name);
    return out;
}

std::optional<Profile> Profile::named(std::string_view name, size_t keyCount) {
    constexpr size_t kMaxKeys = 20000;
    for (const auto& entry : kProfiles) {
        const std::string_view base = entry.name;
        size_t count = keyCount;
        if (name != base) {
            // "<profile>-<count>"
            if (name.size() <= base.size() + 1 || name.substr(0, base.size()) != base ||
                name[base.size()] != '-') {
                continue;
            }
            const auto digits = name.substr(base.size() + 1);
            const auto [end, ec] =
                std::from_chars(digits.data(), digits.data() + digits.size(), count);
            if (ec != std::errc() || end != digits.data() + digits.size() || count == 0) continue;
        }
        if (count > kMaxKeys) return std::nullopt;
        Profile profile = entry.make();
        if (name != base) profile.name = std::string(name);
        if (count > 0) {
            // Rebuild through a builder that knows every existing key, then pad.
            Profile copy = profile;
            profile.keys.clear();
            TableBuilder rebuild(profile);
            for (const auto& spec : copy.keys)
                rebuild
                    .add(spec.key.text(), spec.type.text(), spec.size, spec.source, spec.index,
                         spec.scale, spec.offset, spec.listed)
                    .bytes = spec.bytes;
            rebuild.fill(count);
        }
        return profile;
    }
    return std::nullopt;
}

}  // namespace pyrelle::sim
