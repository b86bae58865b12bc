// Owning handles for OpenSSL objects: each releases its object with OpenSSL's own free
// function, so every early exit releases what was made.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>

namespace kvr {

template <auto Release>
struct openssl_release {
    template <typename T>
    void operator()(T* object) const {
        Release(object);
    }
};

using pkey_ptr = std::unique_ptr<EVP_PKEY, openssl_release<EVP_PKEY_free>>;
using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, openssl_release<EVP_PKEY_CTX_free>>;
using md_ptr = std::unique_ptr<EVP_MD, openssl_release<EVP_MD_free>>;
using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, openssl_release<EVP_MD_CTX_free>>;
using bignum_ptr = std::unique_ptr<BIGNUM, openssl_release<BN_free>>;
using signature_ptr = std::unique_ptr<ECDSA_SIG, openssl_release<ECDSA_SIG_free>>;

}  // namespace kvr
