// Replays a fuzz target's seed corpus and deterministic mutations of it, for builds
// without libFuzzer. Prints "N passed, 0 failed" like any test; a crash ends the process.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {
constexpr std::size_t MutatedBytesPerSeed = 4 * 1024 * 1024;
}

int main(int argc, char** argv) {
    std::vector<std::vector<std::uint8_t>> seeds;
    if (argc > 1 && std::filesystem::is_directory(argv[1])) {
        for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
            std::ifstream in(entry.path(), std::ios::binary);
            seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    seeds.emplace_back();
    std::mt19937 random(12345);
    long runs = 0;
    for (const auto& seed : seeds) {
        LLVMFuzzerTestOneInput(seed.data(), seed.size());
        ++runs;
        // Large seeds get fewer mutations: each target replays about the same number of bytes.
        const std::size_t rounds = std::clamp<std::size_t>(MutatedBytesPerSeed / (seed.size() + 1), 20, 2000);
        for (std::size_t round = 0; round < rounds; ++round) {
            std::vector<std::uint8_t> input = seed;
            int edits = 1 + static_cast<int>(random() % 8);
            for (int e = 0; e < edits; ++e) {
                switch (random() % 4) {
                case 0:
                    if (!input.empty()) input[random() % input.size()] = static_cast<std::uint8_t>(random());
                    break;
                case 1:
                    input.insert(input.begin() +
                                     static_cast<long>(input.empty() ? 0 : random() % (input.size() + 1)),
                                 static_cast<std::uint8_t>(random()));
                    break;
                case 2:
                    if (!input.empty())
                        input.erase(input.begin() + static_cast<long>(random() % input.size()));
                    break;
                default:
                    if (!input.empty()) input.resize(random() % (input.size() + 1));
                    break;
                }
            }
            LLVMFuzzerTestOneInput(input.data(), input.size());
            ++runs;
        }
    }
    std::printf("%ld passed, 0 failed\n", runs);
    return 0;
}
