// Checks of the Public Key Entry module and of signed descriptor modules. Each check names the
// first field that is wrong, where it is and what it holds, so that a failure can be acted on
// without a hex editor.
#include "kvr_verify_checks.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "kvr_format.h"
#include "qpx_printf_format.h"

namespace kvr {

namespace {

constexpr const char* kCurveName = "P-384";
constexpr uint8_t kUncompressedPointTag = 0x04;  // SEC 1 encoding: 04 || X || Y
constexpr size_t kPointSize = 1 + 2 * kFieldSize;
constexpr size_t kDigestSize = kBlock0DigestSize;

// X and Y are read as one 96-byte run, both for the key and for the fingerprint.
static_assert(kPkeYOffset == kPkeXOffset + kFieldSize);

QPX_PRINTF_FORMAT(1, 2) std::string format_text(const char* format, ...) {
    char text[256];
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    return text;
}

std::optional<std::string> fixed_word_failure(std::span<const uint8_t> entry) {
    for (const fixed_word& word : kPkeFixedWords) {
        const uint32_t found = load_u32_le(&entry[word.offset]);
        if (found != word.value) {
            return format_text("fixed word at 0x%02zX is 0x%08" PRIX32 ", expected 0x%08" PRIX32,
                               word.offset, found, word.value);
        }
    }
    return std::nullopt;
}

std::optional<std::string> zero_bytes_failure(std::span<const uint8_t> entry, size_t offset,
                                              size_t count, const char* name) {
    const auto run = entry.subspan(offset, count);
    const auto non_zero = std::find_if(run.begin(), run.end(), [](uint8_t b) { return b != 0; });
    if (non_zero == run.end()) {
        return std::nullopt;
    }
    return format_text("%s byte at 0x%02zX is 0x%02X, expected 0x00", name,
                       offset + static_cast<size_t>(non_zero - run.begin()), *non_zero);
}

// Builds the P-384 public key of the uncompressed point 04||X||Y. The import refuses a point
// that is not on the curve; the public check adds the range and order checks.
public_key make_public_key(std::span<const uint8_t, 2 * kFieldSize> xy) {
    std::array<uint8_t, kPointSize> point{};
    point[0] = kUncompressedPointTag;
    std::copy(xy.begin(), xy.end(), point.begin() + 1);
    param_bld_ptr builder(OSSL_PARAM_BLD_new());
    if (builder == nullptr ||
        OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, kCurveName, 0) !=
            1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                         point.size()) != 1) {
        return nullptr;
    }
    const params_ptr params(OSSL_PARAM_BLD_to_param(builder.get()));
    const pkey_ctx_ptr import(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* raw_key = nullptr;
    if (params == nullptr || import == nullptr || EVP_PKEY_fromdata_init(import.get()) != 1 ||
        EVP_PKEY_fromdata(import.get(), &raw_key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    public_key key(raw_key);
    const pkey_ctx_ptr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (check == nullptr || EVP_PKEY_public_check(check.get()) != 1) {
        return nullptr;
    }
    return key;
}

std::optional<std::array<uint8_t, kFingerprintSize>> fingerprint_of(std::span<const uint8_t> xy) {
    std::array<uint8_t, kFingerprintSize> fingerprint{};
    unsigned int length = 0;
    if (EVP_Digest(xy.data(), xy.size(), fingerprint.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != kFingerprintSize) {
        return std::nullopt;
    }
    return fingerprint;
}

const BIGNUM* p384_order() {
    static const group_ptr group(EC_GROUP_new_by_curve_name(NID_secp384r1));
    return group == nullptr ? nullptr : EC_GROUP_get0_order(group.get());
}

// Reads the 48-byte big-endian field and checks 0 < value < order.
std::optional<std::string> read_signature_number(std::span<const uint8_t> field, const char* name,
                                                 bignum_ptr& value) {
    value.reset(BN_bin2bn(field.data(), static_cast<int>(field.size()), nullptr));
    const BIGNUM* order = p384_order();
    if (value == nullptr || order == nullptr) {
        return format_text("%s cannot be read (out of memory)", name);
    }
    if (BN_is_zero(value.get())) {
        return format_text("%s is zero", name);
    }
    if (BN_cmp(value.get(), order) >= 0) {
        return format_text("%s is not below the P-384 group order", name);
    }
    return std::nullopt;
}

// DER form of the signature (r, s), as the verification interface takes it.
std::optional<std::vector<uint8_t>> signature_der(bignum_ptr r, bignum_ptr s) {
    signature_ptr signature(ECDSA_SIG_new());
    if (signature == nullptr || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) {
        return std::nullopt;
    }
    r.release();  // owned by the signature now
    s.release();
    const int size = i2d_ECDSA_SIG(signature.get(), nullptr);
    if (size <= 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> der(static_cast<size_t>(size));
    uint8_t* cursor = der.data();
    if (i2d_ECDSA_SIG(signature.get(), &cursor) != size) {
        return std::nullopt;
    }
    return der;
}

// 1 when the signature verifies, 0 when it does not, negative when it cannot be checked.
int verify_block0(std::span<const uint8_t> block0, const std::vector<uint8_t>& der, EVP_PKEY* key) {
    std::array<uint8_t, kDigestSize> digest{};
    unsigned int length = 0;
    const pkey_ctx_ptr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    int result = -1;
    if (EVP_Digest(block0.data(), block0.size(), digest.data(), &length, EVP_sha384(), nullptr) ==
            1 &&
        context != nullptr && EVP_PKEY_verify_init(context.get()) == 1 &&
        EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha384()) == 1) {
        result = EVP_PKEY_verify(context.get(), der.data(), der.size(), digest.data(), length);
    }
    OPENSSL_cleanse(digest.data(), digest.size());
    ERR_clear_error();  // a refused signature must not leave reasons for the next module
    return result;
}

}  // namespace

std::optional<std::string> key_entry_size_failure(uint64_t size) {
    if (size == kPkeSize) {
        return std::nullopt;
    }
    return format_text("size is %" PRIu64 " bytes, expected %zu", size, kPkeSize);
}

std::optional<std::string> module_size_failure(uint64_t size) {
    if (size == kImageSize) {
        return std::nullopt;
    }
    return format_text("size is %" PRIu64 " bytes, expected %zu", size, kImageSize);
}

key_entry_check check_key_entry(std::span<const uint8_t> entry) {
    key_entry_check result;
    auto failure = key_entry_size_failure(entry.size());
    if (!failure) {
        failure = fixed_word_failure(entry);
    }
    if (!failure) {
        failure = zero_bytes_failure(entry, kPkeReservedOffset, kPkeReservedSize, "reserved");
    }
    if (!failure) {
        failure = zero_bytes_failure(entry, kPkeTrailZeroOffset, kPkeTrailZeroSize, "trailing");
    }
    if (failure) {
        result.failure = *failure;
        return result;
    }
    const std::span<const uint8_t, 2 * kFieldSize> xy =
        entry.subspan<kPkeXOffset, 2 * kFieldSize>();
    result.key = make_public_key(xy);
    ERR_clear_error();
    if (result.key == nullptr) {
        result.failure = "X and Y (bytes 0x30 to 0x8F) are not a point of P-384";
        return result;
    }
    const auto fingerprint = fingerprint_of(xy);
    if (!fingerprint) {
        result.key.reset();
        result.failure = "the fingerprint of X and Y could not be computed";
        return result;
    }
    result.permission = load_u32_le(&entry[kPkePermissionOffset]);
    result.cancel = load_u32_le(&entry[kPkeCancelOffset]);
    result.fingerprint = *fingerprint;
    return result;
}

std::optional<std::string> module_failure(std::span<const uint8_t> image, EVP_PKEY* key) {
    if (auto failure = module_size_failure(image.size())) {
        return failure;
    }
    const uint32_t magic = load_u32_le(&image[kMagicOffset]);
    if (magic != kDescriptorMagic) {
        return format_text("magic is 0x%08" PRIX32 ", expected 0x%08" PRIX32, magic,
                           kDescriptorMagic);
    }
    bignum_ptr r;
    bignum_ptr s;
    if (auto failure = read_signature_number(image.subspan(kROffset, kFieldSize), "r", r)) {
        return failure;
    }
    if (auto failure = read_signature_number(image.subspan(kSOffset, kFieldSize), "s", s)) {
        return failure;
    }
    const auto der = signature_der(std::move(r), std::move(s));
    const int verified = der ? verify_block0(image.first(kBlock0Size), *der, key) : -1;
    if (verified == 1) {
        return std::nullopt;
    }
    if (verified == 0) {
        return "signature does not match this key entry";
    }
    return "signature could not be checked (OpenSSL failure)";
}

std::string to_hex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (const uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

std::optional<std::string> digest_hex(std::span<const uint8_t> bytes, const EVP_MD* md) {
    std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    std::optional<std::string> text;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, md, nullptr) == 1) {
        text = to_hex(std::span(digest).first(length));
    }
    OPENSSL_cleanse(digest.data(), digest.size());
    ERR_clear_error();
    return text;
}

}  // namespace kvr
