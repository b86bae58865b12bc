// kvr_make_modules: writes unsigned descriptor modules for examples, tests and benchmarks.
//
//   kvr_make_modules <folder> <count> [<list file>]
//
// Module i is named "example<i>.unsigned.module": 4208 bytes with the descriptor magic in its
// first four bytes, block 0 filled with a deterministic pseudo-random pattern that depends on
// i (so every module has its own digest, and a rerun makes the same bytes), bytes 4096 to 4111
// set to a recognisable pattern and the R and S fields all zero. With a list file, one line
// "<folder>/example<i>.unsigned.module;<folder>/example<i>.signed.module" is written per module.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kvr_format.h"

namespace {

// splitmix64: a small, well-mixed generator; good enough for test content, not for keys.
uint64_t next_value(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::vector<uint8_t> make_image(uint64_t index) {
    std::vector<uint8_t> image(kvr::kImageSize, 0);
    uint64_t state = 0x6B76725F6D6F64ull ^ (index * 0x100000001B3ull);
    for (size_t i = 0; i < kvr::kBlock0Size; i += 8) {
        const uint64_t value = next_value(state);
        for (size_t k = 0; k < 8; ++k) {
            image[i + k] = static_cast<uint8_t>(value >> (8 * k));
        }
    }
    kvr::store_u32_le(&image[kvr::kMagicOffset], kvr::kDescriptorMagic);
    for (size_t k = 0; k < kvr::kSignatureHeaderSize; ++k) {
        image[kvr::kBlock0Size + k] = static_cast<uint8_t>(0xA0 + k);
    }
    return image;
}

bool write_file(const std::filesystem::path& path, const char* bytes, size_t count) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes, static_cast<std::streamsize>(count));
    out.close();
    return out.good();
}

int usage() {
    std::fprintf(stderr, "usage: kvr_make_modules <folder> <count> [<list file>]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        return usage();
    }
    const std::filesystem::path folder = argv[1];
    const std::string count_text = argv[2];
    uint64_t count = 0;
    const auto [end, error] =
        std::from_chars(count_text.data(), count_text.data() + count_text.size(), count);
    if (error != std::errc() || end != count_text.data() + count_text.size() || count == 0) {
        return usage();
    }
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    std::string list;
    for (uint64_t i = 1; i <= count; ++i) {
        const std::string stem = (folder / ("example" + std::to_string(i))).string();
        const std::vector<uint8_t> image = make_image(i);
        if (!write_file(stem + ".unsigned.module", reinterpret_cast<const char*>(image.data()),
                        image.size())) {
            std::fprintf(stderr, "kvr_make_modules: cannot write %s.unsigned.module\n",
                         stem.c_str());
            return 1;
        }
        list += stem + ".unsigned.module;" + stem + ".signed.module\n";
    }
    if (argc == 4 && !write_file(argv[3], list.data(), list.size())) {
        std::fprintf(stderr, "kvr_make_modules: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
