// kvr_verify: checks signed descriptor modules against the Public Key Entry module of their run.
//
// It takes the command line of kvr_sign: a list file and the key entry, or module paths (or
// in;out pairs, of which it checks the output) followed by the key entry. The key entry is
// checked first and must be usable; then every module is checked in order and gets one line,
// OK or FAILED with the reason. It reads a bounded number of bytes of every file and writes
// nothing.
#include <openssl/crypto.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvr_format.h"
#include "kvr_verify_checks.h"
#include "qpx_common.h"
#include "zrl_core.h"

using namespace kvr;

namespace {

// Exit statuses.
constexpr int kStatusAllVerified = 0;   // the key entry is usable and every module verifies
constexpr int kStatusModuleFailed = 1;  // at least one module failed
constexpr int kStatusUnusable = 9;      // the key entry or the command line cannot be used

// ---- Process-wide state, built in this order before main ----------------------------------

MEM_INITIALIZER mem_initializer("FRADEL");

std::vector<std::string> m_files;

bool help_flag = false;
uint32_t expected_permission = kDefaultPermission;
uint32_t expected_cancel = kDefaultCancel;

constexpr uint32_t kOptionCount = 3;
QPX_COMMON_CMD_ARG_STRUCT option_table[kOptionCount] = {
    {"help", QPX_COMMON_CMD_ARG_FLAG, &help_flag, 0, 0, "This is to print the help menu"},
    {"permission", QPX_COMMON_CMD_ARG_UINT32, &expected_permission, 0, 1,
     "When given, the key entry's permission word must equal it"},
    {"cancel", QPX_COMMON_CMD_ARG_UINT32, &expected_cancel, 0, 1,
     "When given, the key entry's cancellation word must equal it"},
};

// clang-format off
constexpr uint32_t kHelpCount = 12;
const QPX_COMMON_CMD_HELP_STRUCT help_table[kHelpCount] = {
    {0, "In the explanation below\n"},
    {1, "<> argument that you need to specify"},
    {1, "{} argument that is optional\n"},
    {1, "1) To verify the signed KVR Descriptor Module(s) of a list against their Public Key Entry module\n"},
    {3, "kvr_verify <input text with .txt extension, the list given to kvr_sign> <Public Key Entry module with .module extension>\n"},
    {4, "Example: kvr_verify module.txt key.module   (checks the output module of every line)\n"},
    {3, "OR\n"},
    {3, "kvr_verify <signed modules, or in;out module pairs> <Public Key Entry module with .module extension>\n"},
    {4, "Example: kvr_verify example1.signed.module example2.unsigned.module;example2.signed.module key.module\n"},
    {1, "One line per module: <path>: OK, or <path>: FAILED (<reason>)"},
    {1, "Exit status: 0 every module verified, 1 some module failed,"},
    {1, "             9 the Public Key Entry module or the command line is unusable\n"},
};
// clang-format on

constexpr const char* kModuleExtension = ".module";
constexpr const char* kListExtension = ".txt";
constexpr uint32_t kModuleReadLimit = kImageSize + 1;  // one byte more shows an oversized file
constexpr uint32_t kEntryReadLimit = kPkeSize + 1;

bool has_extension(const std::string& path, const char* extension) {
    return QPX_COMMON::match_extension(path, {extension}) != 0;
}

std::string trim(const std::string& text) {
    return QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(text, {});
}

// The parser cannot tell an option left at its default from one given with that value, so
// the expected words are only compared when their option appears on the command line.
bool option_given(int argc, char** argv, std::string_view name) {
    const std::string flag = "--" + std::string(name);
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--") {
            break;
        }
        if (argument == flag || argument.starts_with(flag + "=")) {
            return true;
        }
    }
    return false;
}

// ---- Which modules to check ---------------------------------------------------------------

// The path to check for one argument or list line: a module path, or the output of a pair.
std::optional<std::string> module_path_of(const std::string& text, bool pair_required) {
    std::vector<std::string> parts;
    QPX_COMMON::split_string(text, ";", true, false, 0xFFFFFFFF, parts, "", true);
    if (parts.size() > 2 || (pair_required && parts.size() != 2)) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0,
                                  "Incorrect file format: %s\nUse argument --help to learn the "
                                  "usage\n",
                                  text.c_str());
        return std::nullopt;
    }
    const std::string path = trim(parts.back());
    if (!has_extension(path, kModuleExtension)) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "Module %s extension must be .module\n",
                                  path.c_str());
        return std::nullopt;
    }
    return path;
}

// The lines are checked as they are read, so a list file of any size costs one line of memory.
bool read_list_paths(const std::string& list_path, std::vector<std::string>& paths) {
    bool usable = true;
    const bool read = QPX_COMMON::qpx_for_each_input_line(list_path, [&](std::string line) {
        const std::string pair_text =
            QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(std::move(line), {"#"});
        if (!pair_text.empty()) {
            const auto path = module_path_of(pair_text, true);
            usable = path.has_value();
            if (usable) {
                paths.push_back(*path);
            }
        }
        return usable;
    });
    if (!read) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "Fail to read file %s\n",
                                  list_path.c_str());
        return false;
    }
    return usable;
}

bool read_inline_paths(std::vector<std::string>& paths) {
    for (size_t i = 0; i + 1 < m_files.size(); ++i) {
        const auto path = module_path_of(m_files[i], false);
        if (!path) {
            return false;
        }
        paths.push_back(*path);
    }
    return true;
}

bool collect_module_paths(std::vector<std::string>& paths) {
    bool collected = false;
    if (m_files.size() == 2 && has_extension(m_files[0], kListExtension) &&
        has_extension(m_files[1], kModuleExtension)) {
        collected = read_list_paths(m_files[0], paths);
    } else if (m_files.size() >= 2 && has_extension(m_files.back(), kModuleExtension)) {
        collected = read_inline_paths(paths);
    } else {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0,
                                  "Incorrect command format\nUse argument --help to learn the "
                                  "usage\n");
        return false;
    }
    if (collected && paths.empty()) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "No module to verify in %s\n",
                                  m_files[0].c_str());
        return false;
    }
    return collected;
}

// ---- Reading files ------------------------------------------------------------------------

// A file's bytes, at most a limit of them, wiped when released.
struct file_bytes {
    uint32_t size = 0;  // declared first: the read below stores into it
    uint8_t* data = nullptr;

    file_bytes(const std::string& path, uint32_t max_bytes)
        : data(QPX_COMMON::qpx_open_input_bin_file(path, size, max_bytes)) {}
    ~file_bytes() {
        if (data != nullptr) {
            OPENSSL_cleanse(data, size);
            std::free(data);
        }
    }
    file_bytes(const file_bytes&) = delete;
    file_bytes& operator=(const file_bytes&) = delete;

    std::span<const uint8_t> bytes() const { return {data, size}; }
};

constexpr const char* kUnreadable = "missing or not a readable file";

// The reason a key entry file is unusable, or its key and words.
key_entry_check read_key_entry(const std::string& path) {
    key_entry_check result;
    const auto file_size = FIO_FILE_SYSTEM::regular_file_size(path);
    if (!file_size) {
        result.failure = kUnreadable;
        return result;
    }
    if (auto failure = key_entry_size_failure(*file_size)) {
        result.failure = *failure;
        return result;
    }
    const file_bytes entry(path, kEntryReadLimit);
    if (entry.data == nullptr) {
        result.failure = kUnreadable;
        return result;
    }
    return check_key_entry(entry.bytes());
}

std::optional<std::string> module_file_failure(const std::string& path, EVP_PKEY* key) {
    const auto file_size = FIO_FILE_SYSTEM::regular_file_size(path);
    if (!file_size) {
        return kUnreadable;
    }
    if (auto failure = module_size_failure(*file_size)) {
        return failure;
    }
    const file_bytes image(path, kModuleReadLimit);
    if (image.data == nullptr) {
        return kUnreadable;
    }
    return module_failure(image.bytes(), key);
}

// ---- The run ------------------------------------------------------------------------------

bool word_as_expected(const char* name, const char* option, uint32_t found, uint32_t expected) {
    if (found == expected) {
        return true;
    }
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0,
                              "%s word is 0x%08X (%u), but --%s asks for 0x%08X (%u)\n", name,
                              found, found, option, expected, expected);
    return false;
}

void print_key_entry(const std::string& path, const key_entry_check& entry) {
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "Public Key Entry module: %s", path.c_str());
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "  permission word:   0x%08X (%u)",
                              entry.permission, entry.permission);
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "  cancellation word: 0x%08X (%u)",
                              entry.cancel, entry.cancel);
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "  key fingerprint:   %s (SHA-256 of X||Y)",
                              to_hex(entry.fingerprint).c_str());
}

int run_verification(bool check_permission, bool check_cancel) {
    std::vector<std::string> module_paths;
    if (!collect_module_paths(module_paths)) {
        return kStatusUnusable;
    }
    const std::string& key_path = m_files.back();
    const key_entry_check entry = read_key_entry(key_path);
    if (entry.key == nullptr) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0,
                                  "Public Key Entry module %s is unusable: %s\n", key_path.c_str(),
                                  entry.failure.c_str());
        return kStatusUnusable;
    }
    if ((check_permission &&
         !word_as_expected("Permission", "permission", entry.permission, expected_permission)) ||
        (check_cancel &&
         !word_as_expected("Cancellation", "cancel", entry.cancel, expected_cancel))) {
        return kStatusUnusable;
    }
    print_key_entry(key_path, entry);
    size_t failed = 0;
    for (const std::string& path : module_paths) {
        const auto failure = module_file_failure(path, entry.key.get());
        if (failure) {
            ++failed;
            QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "%s: FAILED (%s)", path.c_str(),
                                      failure->c_str());
        } else {
            QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "%s: OK", path.c_str());
        }
    }
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 1, "%zu module(s) checked: %zu OK, %zu FAILED",
                              module_paths.size(), module_paths.size() - failed, failed);
    return failed == 0 ? kStatusAllVerified : kStatusModuleFailed;
}

}  // namespace

int main(int argc, char** argv) {
    if (QPX_COMMON_CMD::parse_argument(argc, argv, kOptionCount, option_table, m_files, nullptr) !=
        QPX_COMMON_CMD_OK) {
        return kStatusUnusable;  // the parser has said what is wrong
    }
    if (help_flag) {
        QPX_COMMON_CMD::print_help(false, kOptionCount, option_table, m_files, kHelpCount,
                                   help_table);
        return kStatusAllVerified;
    }
    return run_verification(option_given(argc, argv, "permission"),
                            option_given(argc, argv, "cancel"));
}
