// kvr_sign: signs descriptor modules and writes the matching Public Key Entry module.
//
// Every run generates one fresh ECDSA P-384 key. For each listed module the tool signs the
// SHA-384 digest of block 0, verifies the signature at once and stores r and s in the
// module's signature block; then it writes the Public Key Entry (the public key, a permission
// word and a cancellation word) and the signed modules. The private key never leaves the
// process. A run goes in three phases over the whole work list (load and check every input,
// sign every module and write the key entry, write every module), so that a refused run
// writes nothing and a failed one is reported, never passed off as success.
#include "fradel_kvr_sign_cmd.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>

#include "command_line_hints.h"
#include "openssl_handles.h"
#include "output_folders.h"
#include "staged_outputs.h"
#include "zrl_core.h"

using namespace kvr;

// ---- Process-wide state, built in this order before main ----------------------------------

static MEM_INITIALIZER mem_initializer("FRADEL");

std::vector<std::string> m_files;

bool help_flag = false;
bool unit_test_flag = false;
bool print_argument_flag = false;
uint32_t permission_value = kDefaultPermission;
uint32_t cancel_value = kDefaultCancel;

// ---- Option and help tables ---------------------------------------------------------------

QPX_COMMON_CMD_ARG_STRUCT option_table[kOptionCount] = {
    {"help", QPX_COMMON_CMD_ARG_FLAG, &help_flag, 0, 0, "This is to print the help menu"},
    {"unit_test", QPX_COMMON_CMD_ARG_FLAG, &unit_test_flag, 0, 1,
     "This enable the internal exe unit test"},
    {"print_argument", QPX_COMMON_CMD_ARG_FLAG, &print_argument_flag, 0, 1,
     "This is to print the argument"},
    {"permission", QPX_COMMON_CMD_ARG_UINT32, &permission_value, 0, 1, "This is to permission"},
    {"cancel", QPX_COMMON_CMD_ARG_UINT32, &cancel_value, 0, 1, "This is to cancellation"},
};

// clang-format off
QPX_COMMON_CMD_HELP_STRUCT help_table[kHelpCount] = {
    {0, "In below explantion\n"},
    {1, "<> argument that you need to specify"},
    {1, "{} argument that is optional\n"},
    {1, "1) To sign KVR Descriptor Module(s) and output Public Key Entry module\n"},
    {3, "kvr_sign <input text with .txt extension that defines list of modules to sign> <Public Key Entry module with .module extension>\n"},
    {4, "Example: kvr_sign module.txt key.module\n"},
    {4, "Sample of input text\n\n"},
    {5, "----------------------------------------------------------------------------"},
    {5, "| # This is comment                                                        |"},
    {5, "| # We define KVR Descriptor module pair (in;out) here.                    |"},
    {5, "| # One module pair per line in following format, with \";\" as seperator    |"},
    {5, "| # <input unsigned module filepath> ; <output signed module filepath>     |"},
    {5, "| # Module(s) is in .module extension                                      |"},
    {5, "| #                                                                        |"},
    {5, "| example1.unsigned.module;example1.signed.module                          |"},
    {5, "| example2.unsigned.module;example2.signed.module                          |"},
    {5, "| example3.unsigned.module;example3.signed.module                          |"},
    {5, "| example4.unsigned.module;example4.signed.module                          |"},
    {5, "| .......                                                                  |"},
    {5, "| .......                                                                  |"},
    {5, "----------------------------------------------------------------------------\n\n"},
    {3, "OR\n"},
    {3, "kvr_sign <list of modules to sign> <Public Key Entry module with .module extension>\n"},
    {4, "Example: kvr_sign example1.unsigned.module;example1.signed.module example1.unsigne2.module;example2.signed.module ... key.module\n"},
};
// clang-format on

// ---- Internal errors ----------------------------------------------------------------------

namespace {

constexpr const char* kTag = "FRADEL";
constexpr const char* kSourceName = "qpx/fradel/fradel_kvr_sign_cmd";

// The input module being loaded or signed, named on the detail line of a stop about it.
const std::string* g_module_in_hand = nullptr;

class module_in_hand {
  public:
    explicit module_in_hand(const std::string& input_file) { g_module_in_hand = &input_file; }
    ~module_in_hand() { g_module_in_hand = nullptr; }
    module_in_hand(const module_in_hand&) = delete;
    module_in_hand& operator=(const module_in_hand&) = delete;
};

// "  input module: <path>" and a line feed while a module is in hand, else nothing.
std::string module_detail() {
    return g_module_in_hand == nullptr
               ? std::string()
               : "  input module: " + fio_printable_text(*g_module_in_hand) + "\n";
}

[[noreturn]] void report_with_detail(int line, const char* message, std::string detail) {
    if (!detail.empty() && detail.back() == '\n') {
        detail.pop_back();
    }
    MSG_INTERNAL_ERROR::report(message, kTag, kSourceName, line, detail.c_str());
}

std::string format_message(const char* format, va_list values) {
    va_list measuring;
    va_copy(measuring, values);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    std::string message(static_cast<size_t>(std::max(length, 0)), '\0');
    std::vsnprintf(message.data(), message.size() + 1, format, values);
    return message;
}

// Formats the whole message, however long its paths are once escaped, and stops the process.
[[noreturn]] QPX_PRINTF_FORMAT(2, 3) void stop_at(int line, const char* format, ...) {
    va_list values;
    va_start(values, format);
    const std::string message = format_message(format, values);
    va_end(values);
    report_with_detail(line, message.c_str(), module_detail());
}

// As stop_at, with detail lines (each ending in a line feed) after the module's: what is wrong
// and how to put it right, where the stop comes from the user's input.
[[noreturn]] QPX_PRINTF_FORMAT(3, 4) void stop_explained_at(int line, const std::string& detail,
                                                            const char* format, ...) {
    va_list values;
    va_start(values, format);
    const std::string message = format_message(format, values);
    va_end(values);
    report_with_detail(line, message.c_str(), module_detail() + detail);
}

// Stops after a failed OpenSSL call, passing on what OpenSSL says about the cause.
[[noreturn]] void crypto_stop_at(int line, const char* message) {
    std::string reasons = module_detail();
    ERR_print_errors_cb(
        [](const char* text, size_t length, void* out) {
            static_cast<std::string*>(out)->append("  openssl: ").append(text, length);
            return 1;
        },
        &reasons);
    report_with_detail(line, message, reasons);
}

// Stops after an output could not be staged or committed, naming the path the user gave and
// the system's reason; the stop removes every staged file, so no target has changed.
[[noreturn]] void output_stop_at(int line, const output_failure& failed) {
    const std::string shown = fio_printable_text(failed.path);
    const std::string message = failed.failed == output_failure::step::open
                                    ? "Fail to open " + shown + " for writing"
                                    : "Fail to write " + shown;
    report_with_detail(line, message.c_str(),
                       module_detail() + "  reason: " + failed.reason + "\n" + failed.detail);
}

}  // namespace

#define FRADEL_STOP(...) stop_at(__LINE__, __VA_ARGS__)
#define FRADEL_STOP_EXPLAINED(detail, ...) stop_explained_at(__LINE__, detail, __VA_ARGS__)
#define FRADEL_CHECK(condition)                  \
    do {                                         \
        if (!(condition)) {                      \
            stop_at(__LINE__, "%s", #condition); \
        }                                        \
    } while (false)
#define FRADEL_CRYPTO_CHECK(condition, message) \
    do {                                        \
        if (!(condition)) {                     \
            crypto_stop_at(__LINE__, message);  \
        }                                       \
    } while (false)

// ---- Module pair parsing ------------------------------------------------------------------

namespace {

const char* const kModuleExtension = ".module";
const char* const kListExtension = ".txt";

std::string trim(const std::string& text) {
    return QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(text, {});
}

bool has_extension(const std::string& path, const char* extension) {
    return QPX_COMMON::match_extension(path, {extension}) != 0;
}

}  // namespace

namespace {

// The folder of the list file being read, "" while inline pairs are parsed.
std::string g_list_folder;

// What is wrong with a pair text that does not split into one input and one output.
std::string split_problem(const std::string& pair_text, size_t parts) {
    if (parts > 2) {
        return "  reason: " + std::to_string(parts - 1) +
               " \";\" in one pair; a pair is one input, one \";\" and one output\n";
    }
    std::string detail = "  reason: no \";\" between an input and an output path\n";
    const bool inline_argument = g_list_folder.empty();
    if (inline_argument && has_extension(trim(pair_text), kModuleExtension)) {
        detail += kQuotePairsHint;
    } else {
        detail += "  hint: write the pair as <input>.module;<output>.module\n";
    }
    return detail;
}

// Why an input path names no file the tool can read, and, for a relative path in a list file
// that names a file beside the list file, where relative paths are taken from.
std::string missing_input_detail(const std::string& input, const std::string& list_folder) {
    const std::string why = FIO_FILE_SYSTEM::why_unreadable(input);
    std::string detail = "  reason: " + (why.empty() ? std::string("not found") : why) + "\n";
    if (!list_folder.empty() && !input.empty() && !fio::is_full_path(input) &&
        FIO_FILE_SYSTEM::exists(fio::join_path(list_folder, input))) {
        detail +=
            "  hint: paths in a list file are taken from the working folder, not from the list "
            "file's folder\n";
    }
    return detail;
}

void print_pair_refusal(const std::string& fixed_line, const std::string& detail) {
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "%s%s", fixed_line.c_str(), detail.c_str());
}

}  // namespace

int32_t parse_module_pair(std::string pair_text, std::vector<descriptor_module>& modules,
                          const std::string& origin) {
    std::vector<std::string> parts;
    QPX_COMMON::split_string(pair_text, ";", true, false, 0xFFFFFFFF, parts, "", true);
    if (parts.size() != 2) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "%s%s%s",
                                  "Incorrect file format\nUse argument --help to learn the usage\n",
                                  origin.c_str(), split_problem(pair_text, parts.size()).c_str());
        return kStatusPairRejected;
    }
    const std::string input = trim(parts[0]);
    const std::string output = trim(parts[1]);
    if (!FIO_FILE_SYSTEM::exists(input)) {
        print_pair_refusal("Input module " + fio_printable_text(input) + " does not exist\n",
                           origin + missing_input_detail(input, g_list_folder));
        return kStatusPairRejected;
    }
    if (!has_extension(input, kModuleExtension)) {
        print_pair_refusal(
            "Input module " + fio_printable_text(input) + " extension must be .module\n", origin);
        return kStatusPairRejected;
    }
    // A NUL ends the name the file system sees, so such a path names some other file.
    if (!has_extension(output, kModuleExtension) || output.find('\0') != std::string::npos) {
        print_pair_refusal(
            "Output module " + fio_printable_text(output) + " extension must be .module\n", origin);
        return kStatusPairRejected;
    }
    modules.emplace_back(input, output);
    return kStatusOk;
}

namespace {

// The shortest line that can hold a pair: ".module;.module" and its line feed.
constexpr uint64_t kShortestPairLine = 16;
constexpr uint64_t kMostRecordsReserved = uint64_t{1} << 18;

// Reserves the work list for the most pairs the list file could hold. A list regrown record
// by record leaves its outgrown buffers with the allocator, resident beside the images that
// phase 1 then loads; a reservation only becomes resident where records are written.
void reserve_for_list(const std::string& list_path, std::vector<descriptor_module>& modules) {
    const uint64_t most_pairs =
        FIO_FILE_SYSTEM::regular_file_size(list_path).value_or(0) / kShortestPairLine + 1;
    modules.reserve(modules.size() + std::min(most_pairs, kMostRecordsReserved));
}

}  // namespace

namespace {

// Clears the list file's folder however the reading ends.
class list_being_read {
  public:
    explicit list_being_read(const std::string& list_path) {
        std::string name;
        fio::split_path(list_path, g_list_folder, name);
    }
    ~list_being_read() { g_list_folder.clear(); }
    list_being_read(const list_being_read&) = delete;
    list_being_read& operator=(const list_being_read&) = delete;
};

std::string unreadable_list_detail(const std::string& list_path) {
    const std::string why = FIO_FILE_SYSTEM::why_unreadable(list_path);
    return "  reason: " +
           (why.empty() ? "a line longer than " + std::to_string(QPX_COMMON::kMaxTextLineSize) +
                              " bytes, or a read error"
                        : why) +
           "\n";
}

}  // namespace

// The lines are parsed as they are read, and reading ends at the first rejected pair: a list
// file of any size, garbage included, costs no more memory than its longest line.
int32_t read_module_list(const std::string& list_path, std::vector<descriptor_module>& modules) {
    reserve_for_list(list_path, modules);
    const list_being_read reading(list_path);
    const std::string shown_list = fio_printable_text(list_path);
    int32_t status = kStatusOk;
    uint32_t line_number = 0;
    const bool read = QPX_COMMON::qpx_for_each_input_line(list_path, [&](std::string line) {
        ++line_number;
        const std::string pair_text =
            QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(line, {"#"});
        if (!pair_text.empty()) {
            status = parse_module_pair(pair_text, modules,
                                       "  " + shown_list + ":" + std::to_string(line_number) +
                                           ": " + fio_printable_text(line) + "\n");
            if (status == kStatusOk) {
                modules.back().origin = line_number;
            }
        }
        return status == kStatusOk;
    });
    if (!read) {
        FRADEL_STOP_EXPLAINED(unreadable_list_detail(list_path), "Fail to read file %s",
                              shown_list.c_str());
    }
    return status;
}

// ---- Module image -------------------------------------------------------------------------

descriptor_module::descriptor_module(std::string input, std::string output)
    : input_file(std::move(input)), output_file(std::move(output)) {
    if (input_file.empty()) {
        FRADEL_STOP("Input file cannot be empty");
    }
    if (output_file.empty()) {
        FRADEL_STOP("Output file cannot be empty");
    }
}

descriptor_module::descriptor_module(descriptor_module&& other) noexcept
    : input_file(std::move(other.input_file)),
      output_file(std::move(other.output_file)),
      data(std::exchange(other.data, nullptr)),
      size(std::exchange(other.size, 0)),
      origin(other.origin) {}

descriptor_module& descriptor_module::operator=(descriptor_module&& other) noexcept {
    if (this != &other) {
        release_image();
        input_file = std::move(other.input_file);
        output_file = std::move(other.output_file);
        data = std::exchange(other.data, nullptr);
        size = std::exchange(other.size, 0);
        origin = other.origin;
    }
    return *this;
}

descriptor_module::~descriptor_module() {
    release_image();
}

void descriptor_module::release_image() {
    if (data != nullptr) {
        OPENSSL_cleanse(data, size);
        std::free(data);
        data = nullptr;
    }
}

namespace {

const std::string kNotUnsigned =
    "  reason: not an unsigned descriptor module (4208 bytes, beginning with the bytes "
    "95 48 29 62, R and S zero)\n";

std::string wrong_size_detail(uint64_t size) {
    if (size == kPkeSize) {
        return kNotUnsigned + "  hint: 256 bytes is the size of a Public Key Entry module\n";
    }
    return kNotUnsigned;
}

const std::string kAlreadySigned =
    "  reason: its R and S fields are not all zero: it is already signed\n"
    "  hint: sign its unsigned image instead (kvr_verify checks a signed module)\n";

}  // namespace

void descriptor_module::load() {
    const module_in_hand in_hand(input_file);
    // The size is judged before anything is read, so a huge or endless input costs nothing.
    const auto file_size = FIO_FILE_SYSTEM::regular_file_size(input_file);
    if (!file_size) {
        FRADEL_STOP_EXPLAINED("  reason: " + FIO_FILE_SYSTEM::why_unreadable(input_file) + "\n",
                              "Input binary data cannot be NULL");
    }
    if (*file_size != kImageSize) {
        FRADEL_STOP_EXPLAINED(wrong_size_detail(*file_size),
                              "Input binary data size must be 4208 Bytes, but found %" PRIu64,
                              *file_size);
    }
    data = QPX_COMMON::qpx_open_input_bin_file(input_file, size, kImageSize + 1);
    if (data == nullptr) {
        const std::string why = FIO_FILE_SYSTEM::why_unreadable(input_file);
        FRADEL_STOP_EXPLAINED("  reason: " + (why.empty() ? "a read error" : why) + "\n",
                              "Input binary data cannot be NULL");
    }
    if (size != kImageSize) {  // the file changed since it was measured
        FRADEL_STOP("Input binary data size must be 4208 Bytes, but found %" PRIu32, size);
    }
    const uint32_t magic = load_u32_le(data + kMagicOffset);
    if (magic != kDescriptorMagic) {
        FRADEL_STOP_EXPLAINED(
            kNotUnsigned,
            "Expect the KVR Descriptor (%s) magic number is 0x62294895 but found 0x%08X",
            fio_printable_text(input_file).c_str(), magic);
    }
    if (std::any_of(data + kRsOffset, data + kRsOffset + kRsSize, [](uint8_t b) { return b; })) {
        FRADEL_STOP_EXPLAINED(kAlreadySigned,
                              "Unsigned input module %s should have RS field set to ALL ZERO",
                              fio_printable_text(input_file).c_str());
    }
}

namespace {

// Stages the whole buffer for `path`; the run's staged files replace their targets together
// at the end of phase 3.
void write_output_file(const std::string& path, const uint8_t* bytes, size_t count) {
    if (const auto failed = stage_output(path, bytes, count)) {
        output_stop_at(__LINE__, *failed);
    }
}

}  // namespace

void descriptor_module::write() {
    const module_in_hand in_hand(input_file);
    if (data == nullptr || size != kImageSize) {
        FRADEL_STOP("data != NULL && size == (4096 + 112)");
    }
    write_output_file(output_file, data, size);
    release_image();
}

// ---- Public Key Entry ---------------------------------------------------------------------

void fill_pke_fixed_parts(pke_buffer& pke_module, uint32_t permission, uint32_t cancel) {
    OPENSSL_cleanse(pke_module.data(), pke_module.size());
    for (const fixed_word& word : kPkeFixedWords) {
        store_u32_le(&pke_module[word.offset], word.value);
    }
    store_u32_le(&pke_module[kPkePermissionOffset], permission);
    store_u32_le(&pke_module[kPkeCancelOffset], cancel);
}

// ---- Signing engine -----------------------------------------------------------------------

namespace {

constexpr size_t kDigestSize = kBlock0DigestSize;

// A fixed-size byte buffer that is wiped however its scope is left.
template <size_t N>
struct wiped_buffer : std::array<uint8_t, N> {
    wiped_buffer() { this->fill(0); }
    ~wiped_buffer() { OPENSSL_cleanse(this->data(), N); }
    wiped_buffer(const wiped_buffer&) = delete;
    wiped_buffer& operator=(const wiped_buffer&) = delete;
};

// How one big number is named in the messages about its 48-byte field.
struct field_names {
    char letter;              // X, Y, R or S
    const char* number;       // the number's expression
    const char* buffer;       // the buffer holding the field
    const char* field_start;  // the field's offset expression
};

// Stores `value` big-endian, right-aligned in the 48-byte field at `field`. The bytes in
// front of a shorter value are left as they are: zero in both formats.
void place_big_number(const BIGNUM* value, uint8_t* field, const field_names& names) {
    const int temp = BN_num_bytes(value);
    if (temp > static_cast<int>(kFieldSize)) {
        FRADEL_STOP("%c size should not be greater than 48Bytes, but found %d", names.letter, temp);
    }
    if (BN_bn2bin(value, field + kFieldSize - static_cast<size_t>(temp)) != temp) {
        FRADEL_STOP("DWORD(BN_bn2bin(%s, &%s[%s + 48 - temp])) == temp", names.number, names.buffer,
                    names.field_start);
    }
}

// The secure heap: a power of two large enough for the private scalar, the signing nonces
// and their work space, far below the memory-lock limit of an ordinary user.
constexpr size_t kSecureHeapBytes = 32 * 1024;
constexpr size_t kSecureHeapSmallest = 16;

key_memory_report g_key_memory;

// Sets up the secure heap once per process. Where the platform refuses to lock its pages (a
// memory-lock limit too small), the heap is used unlocked: still left out of core dumps and
// wiped when freed. Where it cannot be made at all, the key lives in ordinary memory. Either
// way the run goes on. Then the private random generator is started, whose state also lives
// in the heap, so that what key generation adds to the heap is the key's own.
void start_secure_heap() {
    if (CRYPTO_secure_malloc_initialized() == 0) {
        const int started = CRYPTO_secure_malloc_init(kSecureHeapBytes, kSecureHeapSmallest);
        g_key_memory.locked = started == 1;
    }
    g_key_memory.secure_heap = CRYPTO_secure_malloc_initialized() != 0;
    unsigned char warm_up = 0;
    FRADEL_CRYPTO_CHECK(RAND_priv_bytes(&warm_up, 1) == 1, "Fail to create a EC Key");
    OPENSSL_cleanse(&warm_up, 1);
}

pkey_ptr generate_key() {
    const group_ptr group(EC_GROUP_new_by_curve_name(NID_secp384r1));
    FRADEL_CRYPTO_CHECK(group != nullptr, "Fail to create a EC Group");
    pkey_ctx_ptr context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    FRADEL_CRYPTO_CHECK(context != nullptr && EVP_PKEY_keygen_init(context.get()) == 1,
                        "Fail to create a EC Key");
    const char* curve = OBJ_nid2sn(EC_GROUP_get_curve_name(group.get()));
    FRADEL_CRYPTO_CHECK(curve != nullptr && EVP_PKEY_CTX_set_group_name(context.get(), curve) == 1,
                        "Fail to set EC Group to an EC Key");
    EVP_PKEY* key = nullptr;
    FRADEL_CRYPTO_CHECK(EVP_PKEY_generate(context.get(), &key) == 1, "Fail to generate EC Key");
    return pkey_ptr(key);
}

void place_public_key(const EVP_PKEY* key, pke_buffer& pke_module) {
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    const bool got_x = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1;
    bignum_ptr x_owner(x);
    const bool got_y = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1;
    bignum_ptr y_owner(y);
    FRADEL_CRYPTO_CHECK(got_x && got_y, "Fail to extract XY from EC Key");
    place_big_number(x, &pke_module[kPkeXOffset], {'X', "x", "pke_module", "0x30"});
    place_big_number(y, &pke_module[kPkeYOffset], {'Y', "y", "pke_module", "0x60"});
}

// The contexts that serve every module of the run.
struct signing_contexts {
    md_ptr sha384;
    md_ctx_ptr digest;
    pkey_ctx_ptr sign;
    pkey_ctx_ptr verify;
    size_t max_signature_size;
};

signing_contexts make_contexts(EVP_PKEY* key) {
    signing_contexts contexts{md_ptr(EVP_MD_fetch(nullptr, "SHA384", nullptr)),
                              md_ctx_ptr(EVP_MD_CTX_new()),
                              pkey_ctx_ptr(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr)),
                              pkey_ctx_ptr(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr)),
                              static_cast<size_t>(std::max(EVP_PKEY_get_size(key), 0))};
    FRADEL_CRYPTO_CHECK(contexts.sha384 != nullptr && contexts.digest != nullptr,
                        "Fail calculate block0 sha");
    FRADEL_CRYPTO_CHECK(
        contexts.max_signature_size > 0 && contexts.sign != nullptr &&
            EVP_PKEY_sign_init(contexts.sign.get()) == 1 &&
            EVP_PKEY_CTX_set_signature_md(contexts.sign.get(), contexts.sha384.get()) == 1,
        "Fail to sign");
    FRADEL_CRYPTO_CHECK(
        contexts.verify != nullptr && EVP_PKEY_verify_init(contexts.verify.get()) == 1 &&
            EVP_PKEY_CTX_set_signature_md(contexts.verify.get(), contexts.sha384.get()) == 1,
        "Fail to verify the signed data");
    return contexts;
}

void digest_block0(signing_contexts& contexts, const uint8_t* image,
                   wiped_buffer<kDigestSize>& block0_sha) {
    unsigned int length = 0;
    FRADEL_CRYPTO_CHECK(
        EVP_DigestInit_ex2(contexts.digest.get(), contexts.sha384.get(), nullptr) == 1 &&
            EVP_DigestUpdate(contexts.digest.get(), image, kBlock0Size) == 1 &&
            EVP_DigestFinal_ex(contexts.digest.get(), block0_sha.data(), &length) == 1 &&
            length == kDigestSize,
        "Fail calculate block0 sha");
}

// Signs one module's block 0, verifies the signature at once and stores r and s.
void sign_module(signing_contexts& contexts, descriptor_module& module,
                 wiped_buffer<kDigestSize>& block0_sha, std::vector<uint8_t>& der) {
    const module_in_hand in_hand(module.input_file);
    OPENSSL_cleanse(block0_sha.data(), block0_sha.size());
    digest_block0(contexts, module.data, block0_sha);
    size_t der_size = der.size();
    FRADEL_CRYPTO_CHECK(EVP_PKEY_sign(contexts.sign.get(), der.data(), &der_size, block0_sha.data(),
                                      kDigestSize) == 1,
                        "Fail to sign");
    const unsigned char* cursor = der.data();
    signature_ptr signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der_size)));
    FRADEL_CRYPTO_CHECK(signature != nullptr, "Fail to sign");
    FRADEL_CRYPTO_CHECK(EVP_PKEY_verify(contexts.verify.get(), der.data(), der_size,
                                        block0_sha.data(), kDigestSize) == 1,
                        "Fail to verify the signed data");
    place_big_number(ECDSA_SIG_get0_r(signature.get()), &module.data[kROffset],
                     {'R', "signature->r", "module.data", "4096 + 16"});
    place_big_number(ECDSA_SIG_get0_s(signature.get()), &module.data[kSOffset],
                     {'S', "signature->s", "module.data", "4096 + 64"});
}

}  // namespace

key_memory_report last_key_memory() {
    return g_key_memory;
}

void sign_modules(std::vector<descriptor_module>& modules, std::string key_file) {
    wiped_buffer<kPkeSize> pke_module;
    fill_pke_fixed_parts(pke_module, permission_value, cancel_value);
    // Start-up only loads the error texts; a real failure shows at the first call that needs it.
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    start_secure_heap();
    // The heap's use can only be asked of a heap that was set up.
    const size_t heap_before_key = g_key_memory.secure_heap ? CRYPTO_secure_used() : 0;
    const pkey_ptr key = generate_key();
    g_key_memory.key_in_heap = g_key_memory.secure_heap && CRYPTO_secure_used() > heap_before_key;
    place_public_key(key.get(), pke_module);
    signing_contexts contexts = make_contexts(key.get());
    wiped_buffer<kDigestSize> block0_sha;
    std::vector<uint8_t> der(contexts.max_signature_size);
    for (descriptor_module& module : modules) {
        sign_module(contexts, module, block0_sha, der);
    }
    write_output_file(key_file, pke_module.data(), pke_module.size());
    OPENSSL_cleanse(pke_module.data(), pke_module.size());
    OPENSSL_cleanse(block0_sha.data(), block0_sha.size());
}

// ---- Run driver ---------------------------------------------------------------------------

namespace {

bool is_list_file_form() {
    return m_files.size() == 2 && has_extension(m_files[0], kListExtension) &&
           has_extension(m_files[1], kModuleExtension) && FIO_FILE_SYSTEM::exists(m_files[0]);
}

bool is_inline_pair_form() {
    return m_files.size() >= 2 && has_extension(m_files.front(), kModuleExtension) &&
           has_extension(m_files.back(), kModuleExtension);
}

std::string argument_origin(uint32_t number, const std::string& argument) {
    return "  argument " + std::to_string(number) + ": " + fio_printable_text(argument) + "\n";
}

// Consumes the pair arguments from the front; the first rejected pair ends the assembly.
int32_t parse_inline_pairs(std::vector<descriptor_module>& modules) {
    int32_t status = kStatusOk;
    for (uint32_t number = 1; m_files.size() > 1 && status == kStatusOk; ++number) {
        status = parse_module_pair(m_files.front(), modules, argument_origin(number, m_files[0]));
        if (status == kStatusOk) {
            modules.back().origin = number;
        }
        m_files.erase(m_files.begin());
    }
    return status;
}

int32_t assemble_work_list(std::vector<descriptor_module>& modules) {
    if (is_list_file_form()) {
        return read_module_list(m_files[0], modules);
    }
    if (!is_inline_pair_form()) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "%s%s",
                                  "Incorrect command format or input file does not exist\n"
                                  "Use argument --help to learn the usage\n",
                                  form_mistakes(m_files, kSignForm).c_str());
        return kStatusNoForm;
    }
    return parse_inline_pairs(modules);
}

// What was seen at a folder refused before anything was written there, and what to do.
std::string refused_folder_detail(int error) {
    if (error != fio::kErrorNoLastingIds && error != fio::kErrorFolderNoFlush) {
        return "";
    }
    return "  seen: " + folder_refusal() +
           "\n  hint: a run promises all or nothing only where the file system tells its files "
           "apart and flushes its folders; write the set to a local disk (NTFS or ReFS), then "
           "copy it\n";
}

// Where a write through `path` lands, its folder held from now on; a place that cannot be told
// stops the run, as the write there would.
output_place place_or_stop(const std::string& path) {
    output_place place;
    if (const int error = resolve_output_place(path, place); error != 0) {
        output_stop_at(__LINE__, {output_failure::step::open, path, fio::error_text(error),
                                  refused_folder_detail(error)});
    }
    return place;
}

bool same_file(const output_place& key, const fio::identity& other) {
    return key.exists && key.existing.same_file(other);
}

// Two names of one held folder that name one file there.
bool same_name(const output_place& one, const output_place& other) {
    const bool exact = folder_at(one.folder).case_sensitive;
    return fio::name_key(one.name, exact) == fio::name_key(other.name, exact);
}

// True when a write to `key` would land on the module's input or output.
bool collides_with(const output_place& key, const descriptor_module& module) {
    const module_in_hand in_hand(module.input_file);
    fio::identity input;
    if (const int error = fio::identify_path(module.input_file, input); error != 0) {
        report_with_detail(__LINE__, "Input binary data cannot be NULL",
                           module_detail() + "  reason: " + fio::error_text(error));
    }
    const output_place output = place_or_stop(module.output_file);
    return same_file(key, input) || (output.folder == key.folder && same_name(output, key)) ||
           (output.exists && same_file(key, output.existing));
}

// Where a pair of the work list was written, as a detail line: "  <list>:<line>: in;out" for
// a list file, "  argument <n>: in;out" otherwise.
std::string pair_origin(const descriptor_module& module, const std::string& list_path) {
    const std::string pair =
        fio_printable_text(module.input_file) + ";" + fio_printable_text(module.output_file);
    const std::string where =
        list_path.empty() ? "argument " + std::to_string(module.origin)
                          : fio_printable_text(list_path) + ":" + std::to_string(module.origin);
    return "  " + where + ": " + pair + "\n";
}

// The key entry is written between reading the inputs and writing the outputs: on an input
// it would replace an unsigned module, and under an output the signed module would replace
// the only copy of the run's public key.
int32_t check_key_entry_path(const std::vector<descriptor_module>& modules,
                             const std::string& key_file, const std::string& list_path) {
    const output_place key = place_or_stop(key_file);
    const auto collision = std::find_if(modules.begin(), modules.end(), [&](const auto& module) {
        return collides_with(key, module);
    });
    if (collision != modules.end()) {
        QPX_COMMON_MSG::print_msg(
            QPX_COMMON_MSG_ERROR, 0,
            "Public Key Entry module %s must differ from every input and output module\n"
            "%s  hint: give the key entry a path of its own, as in key.module\n",
            fio_printable_text(key_file).c_str(), pair_origin(*collision, list_path).c_str());
        return kStatusPairRejected;
    }
    return kStatusOk;
}

std::string empty_list_detail(const std::string& list_path) {
    const bool empty = FIO_FILE_SYSTEM::regular_file_size(list_path).value_or(1) == 0;
    return "  list file " + fio_printable_text(list_path) +
           (empty ? " is empty" : " holds no module pair, only comments and blank lines") +
           "\n  hint: write one pair per line, as in in.module;out.module\n";
}

// Where writing through `output` lands, as a key: its held folder and name; the path itself
// when that cannot be told (the run would have stopped).
std::string written_place(const std::string& output) {
    output_place place;
    return resolve_output_place(output, place) == 0
               ? std::to_string(place.folder) + "/" +
                     fio::name_key(place.name, folder_at(place.folder).case_sensitive)
               : output;
}

// For each pair, the next pair that names the same output, where writing through either
// lands; kNoOther for none. One look-up per pair, so a list of any length costs linear time.
constexpr size_t kNoOther = SIZE_MAX;

std::vector<size_t> next_with_same_output(const std::vector<descriptor_module>& modules) {
    std::vector<size_t> next(modules.size(), kNoOther);
    std::unordered_map<std::string, size_t> last_naming;
    last_naming.reserve(modules.size());
    for (size_t i = 0; i < modules.size(); ++i) {
        const std::string& output = modules[i].output_file;
        const auto [found, added] = last_naming.try_emplace(written_place(output), i);
        if (!added) {
            next[found->second] = i;
            found->second = i;
        }
    }
    return next;
}

// The pairs of one shared output, the middle of a long chain left out.
std::string shared_output_pairs(const std::vector<descriptor_module>& modules,
                                const std::vector<size_t>& next, size_t first,
                                const std::string& list_path, size_t& count) {
    constexpr size_t kShownAtStart = 3;
    std::string shown;
    size_t last = first;
    count = 0;
    for (size_t i = first; i != kNoOther; last = i, i = next[i], ++count) {
        if (count < kShownAtStart) {
            shown += pair_origin(modules[i], list_path);
        }
    }
    if (count > kShownAtStart + 1) {
        shown += "  ... " + std::to_string(count - kShownAtStart - 1) + " more pairs\n";
    }
    return count > kShownAtStart ? shown + pair_origin(modules[last], list_path) : shown;
}

// Two pairs that name one output are allowed, as they always were: the later pair's signed
// image is the one that remains. The loss of the earlier image is never silent, though: a
// finished run names every such output (the first few in full) and the pairs that named it.
void warn_of_shared_outputs(const std::vector<descriptor_module>& modules,
                            const std::string& list_path) {
    constexpr size_t kMostWarnings = 10;
    const std::vector<size_t> next = next_with_same_output(modules);
    std::vector<bool> seen_before(modules.size(), false);
    size_t shared_outputs = 0;
    for (size_t first = 0; first < modules.size(); ++first) {
        if (seen_before[first] || next[first] == kNoOther) {
            continue;
        }
        for (size_t i = next[first]; i != kNoOther; i = next[i]) {
            seen_before[i] = true;
        }
        if (++shared_outputs > kMostWarnings) {
            continue;
        }
        size_t count = 0;
        const std::string pairs = shared_output_pairs(modules, next, first, list_path, count);
        QPX_COMMON_MSG::print_msg(
            QPX_COMMON_MSG_WARNING, 0,
            "Output module %s is named by %zu pairs: only the signed image of the last one "
            "remains\n%s",
            fio_printable_text(modules[first].output_file).c_str(), count, pairs.c_str());
    }
    if (shared_outputs > kMostWarnings) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_WARNING, 0,
                                  "%zu more output modules are each named by more than one pair",
                                  shared_outputs - kMostWarnings);
    }
}

}  // namespace

namespace {
bool g_job_done = false;  // every output of the run is written
}  // namespace

int32_t run_signing() {
    prepare_for_outputs();
    std::vector<descriptor_module> modules;
    const std::string list_path = is_list_file_form() ? m_files[0] : std::string();
    int32_t status = assemble_work_list(modules);
    if (status == kStatusOk && !m_files.empty()) {
        status = check_key_entry_path(modules, m_files.back(), list_path);
    }
    if (status != kStatusOk) {
        return status;
    }
    if (modules.empty()) {
        FRADEL_STOP_EXPLAINED(empty_list_detail(list_path), "modules.size()");
    }
    FRADEL_CHECK(m_files.size() >= 1);
    // A commit that an earlier run with this key entry left unfinished is undone first, so that
    // in-place inputs are their unsigned images again.
    if (const auto failed = undo_interrupted_commit(m_files.back())) {
        output_stop_at(__LINE__, *failed);
    }
    for (descriptor_module& module : modules) {
        module.load();
    }
    sign_modules(modules, m_files.back());
    for (descriptor_module& module : modules) {
        module.write();
    }
    if (const auto failed = commit_staged_outputs()) {
        output_stop_at(__LINE__, *failed);
    }
    g_job_done = true;
    warn_of_shared_outputs(modules, list_path);
    return kStatusOk;
}

// ---- Entry --------------------------------------------------------------------------------

namespace {

int32_t dispatch() {
    if (help_flag) {
        QPX_COMMON_CMD::print_help(print_argument_flag, kOptionCount, option_table, m_files,
                                   kHelpCount, help_table);
        return kStatusOk;
    }
    if (unit_test_flag) {
        QPX_COMMON_CMD::unit_test(kOptionCount, option_table);
        return kStatusOk;
    }
    if (print_argument_flag) {
        QPX_COMMON_CMD::print_help(true, kOptionCount, option_table, m_files, kHelpCount,
                                   help_table);
        // The arguments asked for could not be shown: nothing is signed on an unseen command.
        if (!QPX_COMMON_MSG::stdout_failure().empty()) {
            return kStatusOutputLost;
        }
    }
    return run_signing();
}

// What the tool prints on stdout (the help, the arguments, the elapsed time) is part of its
// result, so a run whose stdout was lost never ends with status 0 unless its job was done: it
// ends with 74, or with the status it already had, which names the first failure. A finished
// job keeps status 0 with a warning: its status says whether the files changed, and every
// signed module and the key entry were written; only the printed text was lost.
int32_t account_for_stdout(int32_t status, bool job_done) {
    const std::string lost = QPX_COMMON_MSG::close_stdout();
    if (lost.empty()) {
        return status;
    }
    if (job_done) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_WARNING, 1,
                                  "standard output could not be written\n  reason: %s\n  note: "
                                  "the signed modules and the key entry were written; only the "
                                  "printed text was lost\n",
                                  lost.c_str());
        return status;
    }
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 1,
                              "Fail to write standard output\n  reason: %s\n", lost.c_str());
    return status == kStatusOk ? kStatusOutputLost : status;
}

}  // namespace

int fradel_kvr_sign_main(int argc, char** argv) {
    QPX_COMMON_MSG::guard_standard_streams();
    const int64_t start = gen_get_current_time_milliseconds();
    int32_t status =
        QPX_COMMON_CMD::parse_argument(argc, argv, kOptionCount, option_table, m_files, nullptr);
    if (status == kStatusOk) {
        status = dispatch();
    }
    const int64_t end = gen_get_current_time_milliseconds();
    const auto elapsed = static_cast<int32_t>(static_cast<uint32_t>(end - start));
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "%s", "");
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 1, "Elapsed time: %d msecond(s)", elapsed);
    return account_for_stdout(status, g_job_done);
}

#ifndef FRADEL_KVR_SIGN_NO_MAIN
// The arguments as UTF-8 (on Windows from the wide command line, so that any name arrives
// whole).
int main(int argc, char** argv) {
    std::vector<std::string> words = QPX_COMMON_CMD::utf8_arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& word : words) {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);
    return fradel_kvr_sign_main(static_cast<int>(words.size()), pointers.data());
}
#endif
