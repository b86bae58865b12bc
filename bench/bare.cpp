// kvr_bench_bare: the least a signing run can cost. Generates one P-384 key and signs one
// 48-byte digest, nothing else; the bench compares the signer's fixed cost against this.
#include <openssl/crypto.h>

#include <array>
#include <cstdint>
#include <vector>

#include "bench_crypto.h"

int main() {
    using namespace kvr_bench;
    const pkey_ptr key = generate_p384_key();
    const md_ptr sha384(EVP_MD_fetch(nullptr, "SHA384", nullptr));
    require(sha384 != nullptr, "SHA-384 fetch");
    const pkey_ctx_ptr sign = make_pkey_context(key.get(), sha384.get(), true);
    std::array<uint8_t, 48> digest{};
    digest.fill(0x5A);
    std::vector<uint8_t> der(static_cast<size_t>(EVP_PKEY_get_size(key.get())));
    size_t der_size = der.size();
    require(EVP_PKEY_sign(sign.get(), der.data(), &der_size, digest.data(), digest.size()) == 1,
            "sign");
    OPENSSL_cleanse(der.data(), der.size());
    return 0;
}
