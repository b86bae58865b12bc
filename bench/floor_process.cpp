// kvr_bench_floor_process: the least a whole signing run can cost, as one process. Generates
// one P-384 key; then, for every "<input>;<output>" line of the list file, reads the input,
// takes the SHA-384 of its block 0, signs it, decodes the signature into the image, verifies
// it and writes the image the all-or-nothing way, with no checks: to a new staged file beside
// the output (created exclusively); last a 256-byte key file the same way. Then it flushes every
// staged file and renames each over its output. The bench times it from outside, as it times
// kvr_sign, and compares the two run for run: the difference is kvr_sign's checks, folder
// locks, ways back and journal.
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

// Writes a staged file for `path` and remembers it for the commit.
void stage_file(const std::string& path, const uint8_t* bytes, size_t count,
                std::vector<std::string>& staged) {
    staged.push_back(path + ".floor-staged-" + std::to_string(::getpid()));
    const int descriptor =
        ::open(staged.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    require(descriptor >= 0 && ::write(descriptor, bytes, count) == static_cast<ssize_t>(count) &&
                ::sync_file_range(descriptor, 0, 0, SYNC_FILE_RANGE_WRITE) == 0 &&
                ::close(descriptor) == 0,
            "write");
}

// Flushes every staged file, then renames each over its target.
void commit(const std::vector<std::string>& staged) {
    for (const std::string& path : staged) {
        const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        require(descriptor >= 0 && ::fdatasync(descriptor) == 0 && ::close(descriptor) == 0,
                "flush");
    }
    for (const std::string& path : staged) {
        const std::string target = path.substr(0, path.rfind(".floor-staged-"));
        require(::rename(path.c_str(), target.c_str()) == 0, "rename");
    }
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
    std::vector<std::string> staged;
    for (std::string line; std::getline(list, line);) {
        const size_t separator = line.find(';');
        require(separator != std::string::npos, "list line");
        read_image(line.substr(0, separator), image);
        keyed.sign(image);
        stage_file(line.substr(separator + 1), image.data(), image.size(), staged);
    }
    std::array<uint8_t, kvr::kPkeSize> key_file{};
    stage_file(argv[2], key_file.data(), key_file.size(), staged);
    commit(staged);
    OPENSSL_cleanse(image.data(), image.size());
    return 0;
}
