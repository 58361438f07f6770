// Runs a fuzz target without libFuzzer: replays every file or directory named on the
// command line, then feeds mutations of those seeds and plain random inputs.
// Flags follow libFuzzer's spelling: -runs=N (random inputs), -seed=S, -max_len=N.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void run(const std::vector<uint8_t>& input) {
    // A fresh copy so out-of-bounds reads land outside an exact-size allocation.
    std::vector<uint8_t> copy(input);
    LLVMFuzzerTestOneInput(copy.data(), copy.size());
}

}  // namespace

int main(int argc, char** argv) {
    long runs = 1000;
    unsigned long seed = 1;
    size_t maxLen = 4096;
    std::vector<std::vector<uint8_t>> seeds;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("-runs=", 0) == 0) {
            runs = std::strtol(arg.c_str() + 6, nullptr, 10);
        } else if (arg.rfind("-seed=", 0) == 0) {
            seed = std::strtoul(arg.c_str() + 6, nullptr, 10);
        } else if (arg.rfind("-max_len=", 0) == 0) {
            maxLen = std::strtoul(arg.c_str() + 9, nullptr, 10);
        } else if (arg.rfind("-", 0) == 0) {
            continue;  // other libFuzzer flags mean nothing here
        } else if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) seeds.push_back(readFile(entry.path()));
            }
        } else {
            seeds.push_back(readFile(arg));
        }
    }
    for (const auto& input : seeds) run(input);

    std::mt19937_64 random(seed);
    for (long n = 0; n < runs; ++n) {
        std::vector<uint8_t> input;
        if (!seeds.empty() && n % 2 == 0) {
            input = seeds[random() % seeds.size()];
            const size_t edits = 1 + random() % 8;
            for (size_t e = 0; e < edits; ++e) {
                const auto kind = random() % 3;
                if (kind == 0 && !input.empty()) {
                    input[random() % input.size()] = static_cast<uint8_t>(random());
                } else if (kind == 1 && input.size() < maxLen) {
                    input.insert(input.begin() + static_cast<long>(random() % (input.size() + 1)),
                                 static_cast<uint8_t>(random()));
                } else if (!input.empty()) {
                    input.erase(input.begin() + static_cast<long>(random() % input.size()));
                }
            }
        } else {
            input.resize(random() % (maxLen + 1));
            for (auto& byte : input) byte = static_cast<uint8_t>(random());
        }
        run(input);
    }
    std::printf("fuzz: %zu seeds and %ld random inputs ran without a finding\n", seeds.size(),
                runs);
    return 0;
}
