// Temporary folders and file helpers for the tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kvr_test {

using bytes = std::vector<uint8_t>;

// A fresh folder under the system's temporary folder, removed with everything in it.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

bytes read_bytes(const std::string& path);
void write_bytes(const std::string& path, const bytes& content);
void write_text(const std::string& path, const std::string& text);

// An unsigned module: the magic, block 0 filled from `variant`, bytes 4096..4111 set to a
// pattern, R and S zero.
bytes make_unsigned_module(uint32_t variant);

// Everything in a folder, links not followed: a link by its target, a folder by its mode,
// a file by its permission bits and bytes.
using folder_state = std::map<std::string, std::string>;

folder_state snapshot(const std::filesystem::path& root);

// The two states agree on every entry except the named ones (a test expectation).
void expect_same_except(const folder_state& before, const folder_state& after,
                        const std::set<std::string>& changed);

}  // namespace kvr_test
