// kvr_bench_floor_process: the least a whole signing run can cost, as one process. Generates
// one P-384 key; then, for every "<input>;<output>" line of the list file, reads the input,
// takes the SHA-384 of its block 0, signs it, decodes the signature into the image, verifies
// it and writes the image by plain truncation of the output (no staging, no flush, no checks);
// last it writes a 256-byte key file the same way. The bench times it from outside, as it
// times kvr_sign, and compares the two run for run.
//
//   kvr_bench_floor_process <list file> <key file>
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_crypto.h"
#include "kvr_format.h"

namespace {

using namespace kvr_bench;

void read_image(const std::string& path, std::vector<uint8_t>& image) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t got = descriptor < 0 ? -1 : ::read(descriptor, image.data(), image.size());
    require(got == static_cast<ssize_t>(image.size()), "read");
    ::close(descriptor);
}

void write_file(const std::string& path, const uint8_t* bytes, size_t count) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    require(descriptor >= 0 && ::write(descriptor, bytes, count) == static_cast<ssize_t>(count) &&
                ::close(descriptor) == 0,
            "write");
}

struct signer : p384_contexts {
    std::array<uint8_t, kvr::kBlock0DigestSize> digest{};
    std::vector<uint8_t> der = std::vector<uint8_t>(signature_size);

    signer() = default;
    ~signer() { OPENSSL_cleanse(digest.data(), digest.size()); }
    signer(const signer&) = delete;
    signer& operator=(const signer&) = delete;

    void sign(std::vector<uint8_t>& image) {
        unsigned int length = 0;
        require(EVP_DigestInit_ex2(digest_context.get(), sha384.get(), nullptr) == 1 &&
                    EVP_DigestUpdate(digest_context.get(), image.data(), kvr::kBlock0Size) == 1 &&
                    EVP_DigestFinal_ex(digest_context.get(), digest.data(), &length) == 1,
                "digest");
        size_t der_size = der.size();
        require(EVP_PKEY_sign(sign_context.get(), der.data(), &der_size, digest.data(),
                              digest.size()) == 1,
                "sign");
        const unsigned char* cursor = der.data();
        const signature_ptr decoded(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der_size)));
        require(decoded != nullptr &&
                    BN_bn2binpad(ECDSA_SIG_get0_r(decoded.get()), &image[kvr::kROffset],
                                 kvr::kFieldSize) == static_cast<int>(kvr::kFieldSize) &&
                    BN_bn2binpad(ECDSA_SIG_get0_s(decoded.get()), &image[kvr::kSOffset],
                                 kvr::kFieldSize) == static_cast<int>(kvr::kFieldSize),
                "decode");
        require(EVP_PKEY_verify(verify_context.get(), der.data(), der_size, digest.data(),
                                digest.size()) == 1,
                "verify");
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kvr_bench_floor_process <list file> <key file>\n");
        return 2;
    }
    signer keyed;
    std::vector<uint8_t> image(kvr::kImageSize);
    std::ifstream list(argv[1]);
    for (std::string line; std::getline(list, line);) {
        const size_t separator = line.find(';');
        require(separator != std::string::npos, "list line");
        read_image(line.substr(0, separator), image);
        keyed.sign(image);
        write_file(line.substr(separator + 1), image.data(), image.size());
    }
    std::array<uint8_t, kvr::kPkeSize> key_file{};
    write_file(argv[2], key_file.data(), key_file.size());
    OPENSSL_cleanse(image.data(), image.size());
    return 0;
}
