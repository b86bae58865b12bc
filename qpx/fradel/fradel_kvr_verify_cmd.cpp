// kvr_verify: checks signed descriptor modules against the Public Key Entry module of their run.
//
// It takes the command line of kvr_sign: a list file and the key entry, or module paths (or
// in;out pairs, of which it checks the output) followed by the key entry. The key entry is
// checked first and must be usable; then every module is checked in order and gets one line,
// OK or FAILED with the reason. The entry can be pinned to the identity a release published
// (its key fingerprint, the SHA-256 of the file), and --json gives the same verdict as one
// JSON report on stdout. It reads a bounded number of bytes of every file and writes nothing.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "command_line_hints.h"
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
constexpr int kStatusOutputLost = 74;   // the verdict was 0 but stdout could not be written

// ---- Process-wide state, built in this order before main ----------------------------------

MEM_INITIALIZER mem_initializer("FRADEL");

std::vector<std::string> m_files;

bool help_flag = false;
bool version_flag = false;
bool json_flag = false;
uint32_t expected_permission = kDefaultPermission;
uint32_t expected_cancel = kDefaultCancel;
std::string expected_fingerprint_text;
std::string expected_file_sha256_text;

constexpr uint32_t kOptionCount = 7;
QPX_COMMON_CMD_ARG_STRUCT option_table[kOptionCount] = {
    {"help", QPX_COMMON_CMD_ARG_FLAG, &help_flag, 0, 0, "This is to print the help menu"},
    {"permission", QPX_COMMON_CMD_ARG_UINT32, &expected_permission, 0, 1,
     "When given, the key entry's permission word must equal it"},
    {"cancel", QPX_COMMON_CMD_ARG_UINT32, &expected_cancel, 0, 1,
     "When given, the key entry's cancellation word must equal it"},
    {"fingerprint", QPX_COMMON_CMD_ARG_TEXT, &expected_fingerprint_text, 0, 1,
     "When given, the key fingerprint (64 hex digits, SHA-256 of X||Y) must equal it"},
    {"key-sha256", QPX_COMMON_CMD_ARG_TEXT, &expected_file_sha256_text, 0, 1,
     "When given, the SHA-256 of the whole key entry file (64 hex digits) must equal it"},
    {"json", QPX_COMMON_CMD_ARG_FLAG, &json_flag, 0, 1,
     "Print one JSON report on stdout instead of the text lines"},
    {"version", QPX_COMMON_CMD_ARG_FLAG, &version_flag, 0, 0, "Print the version and exit"},
};

// clang-format off
constexpr uint32_t kHelpCount = 15;
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
    {1, "One line per module: <path>: OK, or <path>: FAILED (<reason>); with --json one JSON report instead"},
    {4, "Example: kvr_verify --json --fingerprint <64 hex digits> module.txt key.module\n"},
    {1, "Exit status: 0 every module verified, 1 some module failed,"},
    {1, "             9 the Public Key Entry module or the command line is unusable,"},
    {1, "             74 all verified but the report could not be written to stdout\n"},
    {1, "-h is short for --help\n"},
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

// A module to check and where it was named: its list-file line or its argument number.
struct listed_module {
    std::string path;
    uint32_t origin;
};

// Where a module was named, as a detail line: "  <list>:<line>: <text>" or "  argument <n>:".
std::string origin_line(const std::string& list_path, uint32_t origin, const std::string& text) {
    const std::string where = list_path.empty()
                                  ? "argument " + std::to_string(origin)
                                  : fio_printable_text(list_path) + ":" + std::to_string(origin);
    return "  " + where + ": " + fio_printable_text(text) + "\n";
}

// The path to check for one argument or list line: a module path, or the output of a pair.
std::optional<std::string> module_path_of(const std::string& text, bool pair_required,
                                          const std::string& origin) {
    std::vector<std::string> parts;
    QPX_COMMON::split_string(text, ";", true, false, 0xFFFFFFFF, parts, "", true);
    if (parts.size() > 2 || (pair_required && parts.size() != 2)) {
        QPX_COMMON_MSG::print_msg(
            QPX_COMMON_MSG_ERROR, 0,
            "Incorrect file format: %s\nUse argument --help to learn the usage\n%s  reason: %s\n",
            fio_printable_text(text).c_str(), origin.c_str(),
            parts.size() > 2 ? "more than one \";\"; a line holds one pair: input;output"
                             : "no \";\"; a line holds one pair: input;output");
        return std::nullopt;
    }
    const std::string path = trim(parts.back());
    if (!has_extension(path, kModuleExtension)) {
        const bool one_dash = path.size() > 1 && path[0] == '-' && path[1] != '-';
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0,
                                  "Module %s extension must be .module\n%s%s",
                                  fio_printable_text(path).c_str(), origin.c_str(),
                                  one_dash ? "  hint: options are written with two dashes, as in "
                                             "--help\n"
                                           : "");
        return std::nullopt;
    }
    return path;
}

// The lines are checked as they are read, so a list file of any size costs one line of memory.
bool read_list_paths(const std::string& list_path, std::vector<listed_module>& modules) {
    bool usable = true;
    uint32_t line_number = 0;
    const bool read = QPX_COMMON::qpx_for_each_input_line(list_path, [&](std::string line) {
        ++line_number;
        const std::string pair_text =
            QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(line, {"#"});
        if (!pair_text.empty()) {
            const auto path =
                module_path_of(pair_text, true, origin_line(list_path, line_number, line));
            usable = path.has_value();
            if (usable) {
                modules.push_back({*path, line_number});
            }
        }
        return usable;
    });
    if (!read) {
        const std::string why = FIO_FILE_SYSTEM::why_unreadable(list_path);
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "Fail to read file %s\n  reason: %s\n",
                                  fio_printable_text(list_path).c_str(),
                                  why.empty() ? "a line too long, or a read error" : why.c_str());
        return false;
    }
    return usable;
}

bool read_inline_paths(std::vector<listed_module>& modules) {
    for (uint32_t i = 0; i + 1 < m_files.size(); ++i) {
        const auto path = module_path_of(m_files[i], false, origin_line("", i + 1, m_files[i]));
        if (!path) {
            return false;
        }
        modules.push_back({*path, i + 1});
    }
    return true;
}

bool is_list_file_form() {
    return m_files.size() == 2 && has_extension(m_files[0], kListExtension) &&
           has_extension(m_files[1], kModuleExtension);
}

bool collect_module_paths(std::vector<listed_module>& modules) {
    bool collected = false;
    if (is_list_file_form()) {
        collected = read_list_paths(m_files[0], modules);
    } else if (m_files.size() >= 2 && has_extension(m_files.back(), kModuleExtension)) {
        collected = read_inline_paths(modules);
    } else {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "%s%s",
                                  "Incorrect command format\nUse argument --help to learn the "
                                  "usage\n",
                                  form_mistakes(m_files, kVerifyForm).c_str());
        return false;
    }
    if (collected && modules.empty()) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0,
                                  "No module to verify in %s\n  hint: the list file holds only "
                                  "comments and blank lines; write one in;out pair per line\n",
                                  fio_printable_text(m_files[0]).c_str());
        return false;
    }
    return collected;
}

// A module listed twice is checked twice; a finished run says so, as kvr_sign warns of two
// pairs that name one output. One look-up per module.
void warn_of_repeated_modules(const std::vector<listed_module>& modules) {
    constexpr size_t kMostWarnings = 10;
    const std::string list_path = is_list_file_form() ? m_files[0] : std::string();
    std::unordered_map<std::string, size_t> first_listing;
    first_listing.reserve(modules.size());
    size_t warned = 0;
    for (size_t i = 0; i < modules.size(); ++i) {
        const std::string& path = modules[i].path;
        const auto [found, added] =
            first_listing.try_emplace(FIO_FILE_SYSTEM::write_target(path).value_or(path), i);
        if (added || ++warned > kMostWarnings) {
            continue;
        }
        const listed_module& first = modules[found->second];
        QPX_COMMON_MSG::print_msg(
            QPX_COMMON_MSG_WARNING, 0,
            "Module %s is listed more than once: it is checked each time\n%s%s",
            fio_printable_text(first.path).c_str(),
            origin_line(list_path, first.origin, first.path).c_str(),
            origin_line(list_path, modules[i].origin, path).c_str());
    }
    if (warned > kMostWarnings) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_WARNING, 0, "%zu more modules are listed again",
                                  warned - kMostWarnings);
    }
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

// What is known of the key entry: the checks of its bytes, the digest of the whole file, and
// why a well-formed entry is not the one the command line asks for.
struct key_entry_report {
    key_entry_check check;
    std::optional<std::string> file_sha256;  // when the whole file was read
    std::string refusal;                     // empty when the entry is the one asked for

    bool well_formed() const { return check.key != nullptr; }
    bool usable() const { return well_formed() && refusal.empty(); }
    const std::string& reason() const { return well_formed() ? refusal : check.failure; }
};

// The reason a key entry file is unusable, or its key and words, and the file's digest.
key_entry_report read_key_entry(const std::string& path) {
    key_entry_report report;
    const auto file_size = FIO_FILE_SYSTEM::regular_file_size(path);
    if (!file_size) {
        report.check.failure = kUnreadable;
        return report;
    }
    if (auto failure = key_entry_size_failure(*file_size)) {
        report.check.failure = *failure;
        return report;
    }
    const file_bytes entry(path, kEntryReadLimit);
    if (entry.data == nullptr) {
        report.check.failure = kUnreadable;
        return report;
    }
    report.check = check_key_entry(entry.bytes());
    if (entry.size == kPkeSize) {  // the read stopped at the end of the file: all of it
        report.file_sha256 = digest_hex(entry.bytes(), EVP_sha256());
    }
    if (report.well_formed() && !report.file_sha256) {
        report.check.key.reset();
        report.check.failure = "the SHA-256 of the file could not be computed";
    }
    return report;
}

// One module's verdict, and its digests when it was read as a 4208-byte module.
struct module_report {
    std::string path;
    std::optional<std::string> failure;
    std::optional<std::string> block0_sha384;
    std::optional<std::string> file_sha256;
};

module_report check_module_file(const std::string& path, EVP_PKEY* key) {
    module_report report{path, std::nullopt, std::nullopt, std::nullopt};
    const auto file_size = FIO_FILE_SYSTEM::regular_file_size(path);
    if (!file_size) {
        report.failure = kUnreadable;
        return report;
    }
    report.failure = module_size_failure(*file_size);
    if (report.failure) {
        return report;
    }
    const file_bytes image(path, kModuleReadLimit);
    if (image.data == nullptr) {
        report.failure = kUnreadable;
        return report;
    }
    if (image.size == kImageSize) {
        report.block0_sha384 = digest_hex(image.bytes().first(kBlock0Size), EVP_sha384());
        report.file_sha256 = digest_hex(image.bytes(), EVP_sha256());
    }
    report.failure = module_failure(image.bytes(), key);
    return report;
}

// ---- What the command line asks of the key entry ------------------------------------------

constexpr size_t kDigestHexDigits = 64;

// A 64-hex-digit pin and what it is compared with.
struct pin {
    const char* option;                   // as typed after "--"
    const char* what;                     // as named in a mismatch
    const char* field;                    // its field in the JSON report
    std::optional<std::string> expected;  // lower case; nothing when the option is not given
};

pin fingerprint_pin{"fingerprint", "key fingerprint", "fingerprint", std::nullopt};
pin file_sha256_pin{"key-sha256", "file SHA-256", "file_sha256", std::nullopt};

// Lower-case form of a pin, or nothing when `text` is not exactly 64 hex digits.
std::optional<std::string> pin_digits(const std::string& text) {
    if (text.size() != kDigestHexDigits) {
        return std::nullopt;
    }
    std::string digits;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isxdigit(byte) == 0) {
            return std::nullopt;
        }
        digits.push_back(static_cast<char>(std::tolower(byte)));
    }
    return digits;
}

bool read_pin(int argc, char** argv, const std::string& text, pin& into) {
    if (!option_given(argc, argv, into.option)) {
        return true;
    }
    into.expected = pin_digits(text);
    if (!into.expected) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 1, "--%s needs %zu hex digits: \"%s\"\n",
                                  into.option, kDigestHexDigits, text.c_str());
    }
    return into.expected.has_value();
}

std::optional<uint32_t> permission_asked;
std::optional<uint32_t> cancel_asked;

std::string word_refusal(const char* name, const char* option, uint32_t found, uint32_t expected) {
    char text[128];
    std::snprintf(text, sizeof text, "%s word is 0x%08X (%u), but --%s asks for 0x%08X (%u)", name,
                  found, found, option, expected, expected);
    return text;
}

// Compares a well-formed entry with the pins and words of the command line, in this order,
// and prints the first mismatch, which becomes the entry's refusal.
void compare_with_command_line(const std::string& path, key_entry_report& entry) {
    const key_entry_check& check = entry.check;
    const std::pair<const pin*, std::string> pins[] = {
        {&fingerprint_pin, to_hex(check.fingerprint)}, {&file_sha256_pin, *entry.file_sha256}};
    for (const auto& [asked, found] : pins) {
        if (asked->expected && *asked->expected != found) {
            entry.refusal = std::string(asked->what) + " " + found +
                            " does not match the expected " + *asked->expected;
            QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "Public Key Entry module %s: %s\n",
                                      fio_printable_text(path).c_str(), entry.refusal.c_str());
            return;
        }
    }
    if (permission_asked && *permission_asked != check.permission) {
        entry.refusal =
            word_refusal("Permission", "permission", check.permission, *permission_asked);
    } else if (cancel_asked && *cancel_asked != check.cancel) {
        entry.refusal = word_refusal("Cancellation", "cancel", check.cancel, *cancel_asked);
    }
    if (!entry.refusal.empty()) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "%s\n", entry.refusal.c_str());
    }
}

// ---- The text report ----------------------------------------------------------------------

void print_key_entry(const std::string& path, const key_entry_report& report) {
    const key_entry_check& entry = report.check;
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "Public Key Entry module: %s",
                              fio_printable_text(path).c_str());
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "  permission word:   0x%08X (%u)",
                              entry.permission, entry.permission);
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "  cancellation word: 0x%08X (%u)",
                              entry.cancel, entry.cancel);
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "  key fingerprint:   %s (SHA-256 of X||Y)",
                              to_hex(entry.fingerprint).c_str());
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "  file SHA-256:      %s (the whole file)",
                              report.file_sha256->c_str());
}

void print_module(const module_report& module) {
    if (module.failure) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "%s: FAILED (%s)",
                                  fio_printable_text(module.path).c_str(), module.failure->c_str());
    } else {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "%s: OK",
                                  fio_printable_text(module.path).c_str());
    }
}

// ---- The JSON report ----------------------------------------------------------------------

using json = nlohmann::ordered_json;  // fields in the documented order
constexpr int kJsonFormatVersion = 1;
constexpr int kJsonIndent = 2;

// "path" is always valid UTF-8; a name that is not gets "path_hex" too: its exact bytes.
void put_path(json& object, const std::string& path) {
    object["path"] = fio_utf8_for_display(path);
    if (!fio_is_valid_utf8(path)) {
        object["path_hex"] = to_hex({reinterpret_cast<const uint8_t*>(path.data()), path.size()});
    }
}

json key_entry_json(const std::string& path, const key_entry_report& report) {
    json entry = json::object();
    put_path(entry, path);
    entry["usable"] = report.usable();
    if (!report.usable()) {
        entry["reason"] = report.reason();
    }
    if (report.well_formed()) {
        entry["fingerprint"] = to_hex(report.check.fingerprint);
    }
    if (report.file_sha256) {
        entry["file_sha256"] = *report.file_sha256;
    }
    if (report.well_formed()) {
        entry["permission"] = report.check.permission;
        entry["cancel"] = report.check.cancel;
    }
    json expected = json::object();
    for (const pin* asked : {&fingerprint_pin, &file_sha256_pin}) {
        if (asked->expected) {
            expected[asked->field] = *asked->expected;
        }
    }
    if (permission_asked) {
        expected["permission"] = *permission_asked;
    }
    if (cancel_asked) {
        expected["cancel"] = *cancel_asked;
    }
    entry["expected"] = std::move(expected);
    return entry;
}

json module_json(const module_report& module) {
    json object = json::object();
    put_path(object, module.path);
    object["status"] = module.failure ? "FAILED" : "OK";
    if (module.failure) {
        object["reason"] = *module.failure;
    }
    if (module.block0_sha384) {
        object["block0_sha384"] = *module.block0_sha384;
    }
    if (module.file_sha256) {
        object["file_sha256"] = *module.file_sha256;
    }
    return object;
}

// Writes the report as the run goes, one module at a time, so that its memory does not grow
// with the list. The layout is that of one document dumped with an indent of 2.
class json_report {
  public:
    explicit json_report(const json& key_entry) {
        write("{\n  \"format_version\": " + std::to_string(kJsonFormatVersion) +
              ",\n  \"key_entry\": " + nested(key_entry) + ",\n  \"modules\": [");
    }
    void add(const module_report& module) {
        ++(module.failure ? failed_ : ok_);
        write((ok_ + failed_ == 1 ? "\n    " : ",\n    ") + nested(module_json(module), 2));
    }
    void finish() {
        const json summary = {{"checked", ok_ + failed_}, {"ok", ok_}, {"failed", failed_}};
        write(std::string(ok_ + failed_ == 0 ? "]" : "\n  ]") +
              ",\n  \"summary\": " + nested(summary) + "\n}\n");
        std::fflush(stdout);
        QPX_COMMON_MSG::note_stdout_state();
    }

  private:
    size_t ok_ = 0;
    size_t failed_ = 0;

    static void write(const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        QPX_COMMON_MSG::note_stdout_state();
    }

    // Every string put in the report is valid UTF-8, so the dump cannot meet a byte it has to
    // replace; the replacing handler only makes sure that it can never throw.
    static std::string nested(const json& value, int depth = 1) {
        const std::string text =
            value.dump(kJsonIndent, ' ', false, json::error_handler_t::replace);
        const std::string indent(static_cast<size_t>(depth * kJsonIndent), ' ');
        std::string shifted;
        for (const char c : text) {
            shifted.push_back(c);
            if (c == '\n') {
                shifted += indent;  // a dump's own line feeds: strings hold theirs escaped
            }
        }
        return shifted;
    }
};

// ---- The run ------------------------------------------------------------------------------

bool read_command_line_expectations(int argc, char** argv) {
    if (option_given(argc, argv, "permission")) {
        permission_asked = expected_permission;
    }
    if (option_given(argc, argv, "cancel")) {
        cancel_asked = expected_cancel;
    }
    return read_pin(argc, argv, expected_fingerprint_text, fingerprint_pin) &&
           read_pin(argc, argv, expected_file_sha256_text, file_sha256_pin);
}

int run_verification() {
    std::vector<listed_module> modules;
    if (!collect_module_paths(modules)) {
        return kStatusUnusable;
    }
    const std::string& key_path = m_files.back();
    key_entry_report entry = read_key_entry(key_path);
    if (!entry.well_formed()) {
        QPX_COMMON_MSG::print_msg(
            QPX_COMMON_MSG_ERROR, 0, "Public Key Entry module %s is unusable: %s\n",
            fio_printable_text(key_path).c_str(), entry.check.failure.c_str());
    } else {
        compare_with_command_line(key_path, entry);
    }
    std::optional<json_report> report;
    if (json_flag) {
        report.emplace(key_entry_json(key_path, entry));
    }
    if (!entry.usable()) {
        if (report) {
            report->finish();
        }
        return kStatusUnusable;
    }
    if (!report) {
        print_key_entry(key_path, entry);
    }
    size_t failed = 0;
    for (const listed_module& listed : modules) {
        const module_report module = check_module_file(listed.path, entry.check.key.get());
        if (module.failure) {
            ++failed;
        }
        if (report) {
            report->add(module);
        } else {
            print_module(module);
        }
    }
    if (report) {
        report->finish();
    } else {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 1,
                                  "%zu module(s) checked: %zu OK, %zu FAILED", modules.size(),
                                  modules.size() - failed, failed);
    }
    warn_of_repeated_modules(modules);
    return failed == 0 ? kStatusAllVerified : kStatusModuleFailed;
}

// "-h" is "--help"; later words are left as they are, and so is everything after a lone "--".
std::vector<std::string> with_short_help(std::vector<std::string> words) {
    const auto first = words.begin() + std::min<ptrdiff_t>(std::ssize(words), 1);
    const auto end_of_options = std::find(first, words.end(), "--");
    std::replace(first, end_of_options, std::string("-h"), std::string("--help"));
    return words;
}

int verify_command_line(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    if (QPX_COMMON_CMD::parse_argument(argc, argv.data(), kOptionCount, option_table, m_files,
                                       nullptr) != QPX_COMMON_CMD_OK) {
        return kStatusUnusable;  // the parser has said what is wrong
    }
    if (help_flag) {
        QPX_COMMON_CMD::print_help(false, kOptionCount, option_table, m_files, kHelpCount,
                                   help_table);
        return kStatusAllVerified;
    }
    if (version_flag) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "kvr_verify %s", KVR_VERSION);
        return kStatusAllVerified;
    }
    if (!read_command_line_expectations(argc, argv.data())) {
        return kStatusUnusable;
    }
    return run_verification();
}

// The report on stdout is the verdict: a run whose report could not be written (a full disk,
// a closed pipe) ends with 74 where it would have ended with 0; 1 and 9 stay, as they already
// say that not everything verified.
int account_for_stdout(int status) {
    const std::string lost = QPX_COMMON_MSG::close_stdout();
    if (lost.empty()) {
        return status;
    }
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 1,
                              "Fail to write standard output\n  reason: %s\n  note: the report "
                              "is incomplete or missing; the exit status still gives the verdict\n",
                              lost.c_str());
    return status == kStatusAllVerified ? kStatusOutputLost : status;
}

}  // namespace

int main(int argc, char** argv) {
    QPX_COMMON_MSG::guard_standard_streams();
    std::vector<std::string> words = with_short_help(QPX_COMMON_CMD::utf8_arguments(argc, argv));
    return account_for_stdout(verify_command_line(words));
}
