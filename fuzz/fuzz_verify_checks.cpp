// Fuzz target: the verifier's key-entry and signed-module checks. The input is a 256-byte key
// entry followed by a module image; shorter inputs are checked as key entries alone.
//   - an entry is usable exactly when no failure is given, and a wrong size is reported as
//     such;
//   - a wrong module size is reported as such, and no input makes the check fail inside
//     OpenSSL;
//   - a module that verifies stops verifying when any bit of block 0 changes, and still
//     verifies when the unsigned bytes between block 0 and R change.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kvr_format.h"
#include "kvr_verify_checks.h"

namespace {

kvr::key_entry_check check_entry(std::span<const uint8_t> entry) {
    kvr::key_entry_check checked = kvr::check_key_entry(entry);
    FUZZ_CHECK((checked.key != nullptr) == checked.failure.empty());
    if (const auto size_failure = kvr::key_entry_size_failure(entry.size())) {
        FUZZ_CHECK(checked.key == nullptr && checked.failure == *size_failure);
    }
    return checked;
}

// A position derived from the image, so that each input flips its own bit.
size_t pick(std::span<const uint8_t> image, size_t range) {
    size_t mix = 0;
    for (size_t i = 0; i < image.size(); i += 97) {
        mix = mix * 31 + image[i];
    }
    return mix % range;
}

void check_module(std::span<const uint8_t> image, EVP_PKEY* key) {
    const auto failure = kvr::module_failure(image, key);
    FUZZ_CHECK(!failure || failure->find("OpenSSL failure") == std::string::npos);
    if (const auto size_failure = kvr::module_size_failure(image.size())) {
        FUZZ_CHECK(failure == size_failure);
        return;
    }
    if (failure) {
        return;
    }
    std::vector<uint8_t> changed(image.begin(), image.end());
    const size_t bit = pick(image, kvr::kBlock0Size * 8);
    changed[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    FUZZ_CHECK(kvr::module_failure(changed, key).has_value());
    changed.assign(image.begin(), image.end());
    changed[kvr::kBlock0Size + pick(image, kvr::kSignatureHeaderSize)] ^= 0xFF;
    FUZZ_CHECK(!kvr::module_failure(changed, key).has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    if (size < kvr::kPkeSize) {
        check_entry(input);
        return 0;
    }
    const kvr::key_entry_check entry = check_entry(input.first(kvr::kPkeSize));
    if (entry.key != nullptr) {
        check_module(input.subspan(kvr::kPkeSize), entry.key.get());
    }
    return 0;
}
