// kvr_bench_alloc: what the process allocator needs to hold N module images. Allocates N
// separate image-sized buffers with malloc (as the signer's loader does), writes every byte
// of each, and prints the peak resident memory before and after, in KiB:
//
//   kvr_bench_alloc <count>
//   baseline_kib <peak before allocating>
//   peak_kib <peak with every buffer held>
//   held_kib <peak - baseline>
//   bytes_per_buffer <held / count>
#include <sys/resource.h>

#include <openssl/crypto.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kvr_format.h"

namespace {

long peak_rss_kib() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (count <= 0) {
        std::fprintf(stderr, "usage: kvr_bench_alloc <count>\n");
        return 2;
    }
    std::vector<uint8_t*> buffers;
    buffers.reserve(static_cast<size_t>(count));
    const long baseline = peak_rss_kib();
    for (long i = 0; i < count; ++i) {
        auto* buffer = static_cast<uint8_t*>(std::malloc(kvr::kImageSize));
        if (buffer == nullptr) {
            std::fprintf(stderr, "kvr_bench_alloc: out of memory\n");
            return 1;
        }
        std::memset(buffer, static_cast<int>(i & 0xFF) | 1, kvr::kImageSize);
        buffers.push_back(buffer);
    }
    const long peak = peak_rss_kib();
    for (uint8_t* buffer : buffers) {
        OPENSSL_cleanse(buffer, kvr::kImageSize);
        std::free(buffer);
    }
    const long held = peak - baseline;
    std::printf("baseline_kib %ld\npeak_kib %ld\nheld_kib %ld\nbytes_per_buffer %.0f\n", baseline,
                peak, held, 1024.0 * static_cast<double>(held) / static_cast<double>(count));
    return 0;
}
