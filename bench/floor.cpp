// kvr_bench_floor: the least one module can cost. Times, with the EVP calls the signer makes
// and contexts made once, the three operations every module needs: SHA-384 of a 4096-byte
// block 0, a P-384 signature of its 48-byte digest (decoded into r and s, as the signer does)
// and the verification of that signature. Prints microseconds per operation, wall time and
// the process's CPU time, each the median over several rounds:
//
//   kvr_bench_floor [<iterations per round> [<rounds> [module]]]
//   digest_us <wall> <cpu>    SHA-384 of block 0
//   sign_us <wall> <cpu>      signature and its decode
//   verify_us <wall> <cpu>    verification
//   module_us <wall> <cpu>    the three in one loop, as the signer runs them per module
//
// With "module" only the last line is measured and printed.
#include <openssl/crypto.h>
#include <openssl/ec.h>

#include <ctime>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <vector>

#include "bench_crypto.h"
#include "kvr_format.h"

namespace {

using namespace kvr_bench;

constexpr size_t kDigestSize = 48;

struct floor_state : p384_contexts {
    std::vector<uint8_t> image = std::vector<uint8_t>(kvr::kImageSize, 0x3C);
    std::array<uint8_t, kDigestSize> digest{};
    std::vector<uint8_t> der = std::vector<uint8_t>(signature_size);
    size_t der_size = 0;
    uint64_t counter = 0;

    floor_state() = default;
    ~floor_state() {
        OPENSSL_cleanse(image.data(), image.size());
        OPENSSL_cleanse(digest.data(), digest.size());
    }
    floor_state(const floor_state&) = delete;
    floor_state& operator=(const floor_state&) = delete;

    // Every iteration hashes a different block 0, as every module has its own.
    void digest_block0() {
        ++counter;
        std::copy_n(reinterpret_cast<const uint8_t*>(&counter), sizeof counter, &image[8]);
        unsigned int length = 0;
        require(EVP_DigestInit_ex2(digest_context.get(), sha384.get(), nullptr) == 1 &&
                    EVP_DigestUpdate(digest_context.get(), image.data(), kvr::kBlock0Size) == 1 &&
                    EVP_DigestFinal_ex(digest_context.get(), digest.data(), &length) == 1 &&
                    length == kDigestSize,
                "digest");
    }
    void sign() {
        der_size = der.size();
        require(EVP_PKEY_sign(sign_context.get(), der.data(), &der_size, digest.data(),
                              kDigestSize) == 1,
                "sign");
        const unsigned char* cursor = der.data();
        const signature_ptr decoded(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der_size)));
        require(decoded != nullptr && ECDSA_SIG_get0_r(decoded.get()) != nullptr, "decode");
    }
    void verify() {
        require(EVP_PKEY_verify(verify_context.get(), der.data(), der_size, digest.data(),
                                kDigestSize) == 1,
                "verify");
    }
};

struct per_call_us {
    double wall;
    double cpu;
};

double cpu_now_us() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return 1e6 * static_cast<double>(now.tv_sec) + 1e-3 * static_cast<double>(now.tv_nsec);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Medians over `rounds` of the mean microseconds of one call of `operation`.
per_call_us median_us(int iterations, int rounds, const std::function<void()>& operation) {
    std::vector<double> wall;
    std::vector<double> cpu;
    for (int round = 0; round < rounds; ++round) {
        const double cpu_start = cpu_now_us();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < iterations; ++i) {
            operation();
        }
        const std::chrono::duration<double, std::micro> spent =
            std::chrono::steady_clock::now() - start;
        wall.push_back(spent.count() / iterations);
        cpu.push_back((cpu_now_us() - cpu_start) / iterations);
    }
    return {median(wall), median(cpu)};
}

void print(const char* name, const per_call_us& figure) {
    std::printf("%s %.2f %.2f\n", name, figure.wall, figure.cpu);
}

int positive_argument(int argc, char** argv, int index, int fallback) {
    return argc > index ? std::max(1, std::atoi(argv[index])) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = positive_argument(argc, argv, 1, 200);
    const int rounds = positive_argument(argc, argv, 2, 5);
    floor_state state;
    state.digest_block0();
    state.sign();
    if (argc <= 3 || std::string_view(argv[3]) != "module") {
        print("digest_us", median_us(iterations * 20, rounds, [&] { state.digest_block0(); }));
        print("sign_us", median_us(iterations, rounds, [&] { state.sign(); }));
        print("verify_us", median_us(iterations, rounds, [&] { state.verify(); }));
    }
    print("module_us", median_us(iterations, rounds, [&] {
              state.digest_block0();
              state.sign();
              state.verify();
          }));
    return 0;
}
