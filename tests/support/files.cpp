#include "files.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "kvr_format.h"

namespace kvr_test {

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvr_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const bytes& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

void write_text(const std::string& path, const std::string& text) {
    write_bytes(path, bytes(text.begin(), text.end()));
}

bytes make_unsigned_module(uint32_t variant) {
    bytes image(kvr::kImageSize, 0);
    uint32_t state = variant * 2654435761u + 12345u;
    for (size_t i = 0; i < kvr::kBlock0Size; ++i) {
        state = state * 1103515245u + 12345u;
        image[i] = static_cast<uint8_t>(state >> 16);
    }
    kvr::store_u32_le(&image[kvr::kMagicOffset], kvr::kDescriptorMagic);
    for (size_t i = 0; i < kvr::kSignatureHeaderSize; ++i) {
        image[kvr::kBlock0Size + i] = static_cast<uint8_t>(0xC0 + i);
    }
    return image;
}

}  // namespace kvr_test
