// Owning handles for OpenSSL objects: each releases its object with OpenSSL's own free
// function, so every early exit releases what was made.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

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
using group_ptr = std::unique_ptr<EC_GROUP, openssl_release<EC_GROUP_free>>;
using param_bld_ptr = std::unique_ptr<OSSL_PARAM_BLD, openssl_release<OSSL_PARAM_BLD_free>>;
using params_ptr = std::unique_ptr<OSSL_PARAM, openssl_release<OSSL_PARAM_free>>;

}  // namespace kvr
