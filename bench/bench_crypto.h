// Small OpenSSL helpers shared by the bench programs: owning pointers and the P-384 key and
// signing contexts, made with the same EVP calls as the signer.
#pragma once

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "openssl_handles.h"

namespace kvr_bench {

using kvr::md_ctx_ptr;
using kvr::md_ptr;
using kvr::pkey_ctx_ptr;
using kvr::pkey_ptr;
using kvr::signature_ptr;

// Ends the program when an OpenSSL call failed: a bench figure of a failed call means nothing.
inline void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "bench: %s failed\n", what);
        std::exit(1);
    }
}

inline pkey_ptr generate_p384_key() {
    pkey_ctx_ptr context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    require(context != nullptr && EVP_PKEY_keygen_init(context.get()) == 1 &&
                EVP_PKEY_CTX_set_group_name(context.get(), OBJ_nid2sn(NID_secp384r1)) == 1,
            "key generation set-up");
    EVP_PKEY* key = nullptr;
    require(EVP_PKEY_generate(context.get(), &key) == 1, "key generation");
    return pkey_ptr(key);
}

// A signing or verifying context bound to `key` and SHA-384, made once and used for every
// digest, as the signer does.
inline pkey_ctx_ptr make_pkey_context(EVP_PKEY* key, const EVP_MD* sha384, bool for_signing) {
    pkey_ctx_ptr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    const bool ready = context != nullptr &&
                       (for_signing ? EVP_PKEY_sign_init(context.get())
                                    : EVP_PKEY_verify_init(context.get())) == 1 &&
                       EVP_PKEY_CTX_set_signature_md(context.get(), sha384) == 1;
    require(ready, for_signing ? "sign set-up" : "verify set-up");
    return context;
}

// One key and the contexts every signature of a run uses, made once: what the floor programs
// share with the signer.
struct p384_contexts {
    pkey_ptr key = generate_p384_key();
    md_ptr sha384{EVP_MD_fetch(nullptr, "SHA384", nullptr)};
    md_ctx_ptr digest_context{EVP_MD_CTX_new()};
    pkey_ctx_ptr sign_context;
    pkey_ctx_ptr verify_context;
    size_t signature_size = 0;  // the longest DER signature

    p384_contexts() {
        require(sha384 != nullptr && digest_context != nullptr, "SHA-384 set-up");
        sign_context = make_pkey_context(key.get(), sha384.get(), true);
        verify_context = make_pkey_context(key.get(), sha384.get(), false);
        signature_size = static_cast<size_t>(EVP_PKEY_get_size(key.get()));
    }
};

}  // namespace kvr_bench
