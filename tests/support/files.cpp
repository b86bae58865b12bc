#include "files.h"

#include <unistd.h>

#include <gtest/gtest.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <stdexcept>

#include "kvr_format.h"
#ifdef _WIN32
#include "zrl_core.h"
#endif

namespace kvr_test {

#ifdef _WIN32

// create_directory fails on a name that is taken, so the folder is new and the test's own.
temp_dir::temp_dir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device noise;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = base / ("kvr_test_" + std::to_string(noise()));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

#else

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvr_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = pattern;
}

#endif

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

namespace {

// The path a stream opens: on Windows the byte path is UTF-8, which the narrow stream
// constructors would read in the ANSI code page.
std::filesystem::path stream_path(const std::string& path) {
#ifdef _WIN32
    return std::filesystem::path(fio_widen_path(path));
#else
    return std::filesystem::path(path);
#endif
}

}  // namespace

bytes read_bytes(const std::string& path) {
    std::ifstream in(stream_path(path), std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const bytes& content) {
    std::ofstream out(stream_path(path), std::ios::binary | std::ios::trunc);
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

namespace fs = std::filesystem;

// A file by its bytes; a large one by its size and a hash, so that the test itself stays small
// (a child started from it begins with the test's resident memory as its peak).
namespace {

std::string file_text(const std::string& path) {
    constexpr size_t kKeptWhole = 1 << 16;
    try {
        const bytes content = read_bytes(path);
        const std::string text(content.begin(), content.end());
        if (text.size() <= kKeptWhole) {
            return "file " + text;
        }
        return "file of " + std::to_string(text.size()) + " bytes, hash " +
               std::to_string(std::hash<std::string>{}(text));
    } catch (const std::runtime_error&) {
        return "unreadable file";  // without root, a file without read permission
    }
}

}  // namespace

namespace {

void add_entries(const fs::path& root, const fs::path& folder, folder_state& state) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const fs::path& path = entry.path();
        const std::string name = path.lexically_relative(root).string();
        const fs::file_status status = fs::symlink_status(path);
        if (fs::is_symlink(status)) {
            state[name] = "link -> " + fs::read_symlink(path).string();
        } else if (fs::is_directory(status)) {
            state[name] = "folder " + std::to_string(static_cast<int>(status.permissions()));
            if ((status.permissions() & fs::perms::owner_read) != fs::perms::none) {
                add_entries(root, path, state);
            }
        } else if (fs::is_regular_file(status)) {
            state[name] = std::to_string(static_cast<int>(status.permissions())) + " " +
                          file_text(path.string());
        } else {
            state[name] = "special";
        }
    }
}

}  // namespace

folder_state snapshot(const fs::path& root) {
    folder_state state;
    add_entries(root, root, state);
    return state;
}

// The two states agree on every entry except the named ones.
void expect_same_except(const folder_state& before, const folder_state& after,
                        const std::set<std::string>& changed) {
    const auto without = [&](folder_state state) {
        for (const std::string& name : changed) {
            state.erase(name);
        }
        return state;
    };
    const folder_state kept_before = without(before);
    const folder_state kept_after = without(after);
    EXPECT_EQ(kept_before.size(), kept_after.size());
    for (const auto& [name, entry] : kept_before) {
        const auto found = kept_after.find(name);
        EXPECT_TRUE(found != kept_after.end() && found->second == entry) << "changed: " << name;
    }
    for (const auto& [name, entry] : kept_after) {
        EXPECT_TRUE(kept_before.count(name) != 0) << "appeared: " << name;
    }
}

}  // namespace kvr_test
