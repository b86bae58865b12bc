// Fuzz target: arbitrary bytes as an unsigned input module through the load checks. An image
// passes exactly when it is 4208 bytes long, starts with the descriptor magic and has R and S
// all zero; otherwise the load stops with the message for the first check it fails.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "fradel_kvr_sign_cmd.h"
#include "fuzz_support.h"

namespace {

const char* const kImageFile = "image.module";

std::string expected_stop(const uint8_t* data, size_t size) {
    char text[256];
    if (size != kvr::kImageSize) {
        std::snprintf(text, sizeof text, "Input binary data size must be 4208 Bytes, but found %zu",
                      size);
        return text;
    }
    const uint32_t magic = kvr::load_u32_le(data + kvr::kMagicOffset);
    if (magic != kvr::kDescriptorMagic) {
        std::snprintf(text, sizeof text,
                      "Expect the KVR Descriptor (%s) magic number is 0x62294895 but found 0x%08X",
                      kImageFile, magic);
        return text;
    }
    if (std::any_of(data + kvr::kRsOffset, data + kvr::kRsOffset + kvr::kRsSize,
                    [](uint8_t b) { return b != 0; })) {
        return std::string("Unsigned input module ") + kImageFile +
               " should have RS field set to ALL ZERO";
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    kvr_fuzz::intercept_internal_errors();
    kvr_fuzz::enter_work_folder("kvr_fuzz_module_image", argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream out(kImageFile, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(out.good());
    }
    const std::string expected = expected_stop(data, size);
    descriptor_module module(kImageFile, "signed.module");
    try {
        module.load();
    } catch (const kvr_fuzz::internal_stop& stop) {
        FUZZ_CHECK(stop.what() == expected);
        return 0;
    }
    FUZZ_CHECK(expected.empty());
    FUZZ_CHECK(module.data != nullptr && module.size == kvr::kImageSize);
    FUZZ_CHECK(std::memcmp(module.data, data, size) == 0);
    return 0;
}
