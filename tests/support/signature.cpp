#include "signature.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "kvr_format.h"

namespace kvr_test {

namespace {

template <auto Release>
struct release {
    template <typename T>
    void operator()(T* object) const {
        Release(object);
    }
};

std::unique_ptr<EVP_PKEY, release<EVP_PKEY_free>> public_key(const bytes& key_entry) {
    if (key_entry.size() != kvr::kPkeSize) {
        throw std::runtime_error("key entry is not 256 bytes");
    }
    unsigned char point[1 + 2 * kvr::kFieldSize] = {0x04};
    std::copy_n(&key_entry[kvr::kPkeXOffset], kvr::kFieldSize, point + 1);
    std::copy_n(&key_entry[kvr::kPkeYOffset], kvr::kFieldSize, point + 1 + kvr::kFieldSize);
    std::unique_ptr<OSSL_PARAM_BLD, release<OSSL_PARAM_BLD_free>> builder(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "secp384r1", 0);
    OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point);
    std::unique_ptr<OSSL_PARAM, release<OSSL_PARAM_free>> params(
        OSSL_PARAM_BLD_to_param(builder.get()));
    std::unique_ptr<EVP_PKEY_CTX, release<EVP_PKEY_CTX_free>> context(
        EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        throw std::runtime_error("key entry does not hold a P-384 public key");
    }
    return std::unique_ptr<EVP_PKEY, release<EVP_PKEY_free>>(key);
}

}  // namespace

bytes signature_der(const bytes& image) {
    std::unique_ptr<ECDSA_SIG, release<ECDSA_SIG_free>> signature(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(&image[kvr::kROffset], kvr::kFieldSize, nullptr);
    BIGNUM* s = BN_bin2bn(&image[kvr::kSOffset], kvr::kFieldSize, nullptr);
    ECDSA_SIG_set0(signature.get(), r, s);
    unsigned char* der = nullptr;
    const int length = i2d_ECDSA_SIG(signature.get(), &der);
    bytes result(der, der + length);
    OPENSSL_free(der);
    return result;
}

bool signature_verifies(const bytes& key_entry, const bytes& image) {
    if (image.size() != kvr::kImageSize) {
        return false;
    }
    const auto key = public_key(key_entry);
    unsigned char digest[48];
    unsigned int digest_size = 0;
    EVP_Digest(image.data(), kvr::kBlock0Size, digest, &digest_size, EVP_sha384(), nullptr);
    const bytes der = signature_der(image);
    std::unique_ptr<EVP_PKEY_CTX, release<EVP_PKEY_CTX_free>> context(
        EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    return EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_verify(context.get(), der.data(), der.size(), digest, digest_size) == 1;
}

std::string public_key_pem(const bytes& key_entry) {
    const auto key = public_key(key_entry);
    std::unique_ptr<BIO, release<BIO_free>> out(BIO_new(BIO_s_mem()));
    PEM_write_bio_PUBKEY(out.get(), key.get());
    char* text = nullptr;
    const long length = BIO_get_mem_data(out.get(), &text);
    return std::string(text, static_cast<size_t>(length));
}

}  // namespace kvr_test
