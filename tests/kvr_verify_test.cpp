// kvr_verify: the check functions directly, and the built program end to end against modules
// signed by kvr_sign in the test and by the openssl command-line tool. Every case runs in a
// fresh temporary folder.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "files.h"
#include "kvr_format.h"
#include "kvr_verify_checks.h"
#include "messages.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::bytes;
using kvr_test::process_result;

constexpr int kAllVerified = 0;
constexpr int kModuleFailed = 1;
constexpr int kUnusable = 9;

const std::string kNoMatch = "FAILED (signature does not match this key entry)";

// The fixed parts of a key entry with the default words, written out byte by byte so that the
// tests do not take them from the code under test.
bytes fixed_entry_parts() {
    bytes entry(256, 0);
    const std::vector<std::pair<size_t, bytes>> rows = {
        {0x00,
         {0x17, 0x09, 0x54, 0x92, 0x00, 0x01, 0x00, 0x00, 0x78, 0x00, 0x00, 0x00, 0x70, 0x00, 0x00,
          0x00}},
        {0x18, {0x60, 0x06, 0x70, 0x58, 0x30, 0x00, 0x00, 0x00}},
        {0x20,
         {0x30, 0x00, 0x00, 0x00, 0x48, 0x66, 0x32, 0x54, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
          0xFF}},
        {0x90,
         {0x20, 0x15, 0x88, 0x74, 0x30, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0x20, 0x88, 0x54,
          0x30}},
    };
    for (const auto& [offset, row] : rows) {
        std::copy(row.begin(), row.end(), entry.begin() + static_cast<ptrdiff_t>(offset));
    }
    return entry;
}

// A key entry for `key`: the fixed parts above, X at 0x30 and Y at 0x60.
bytes key_entry_of(EVP_PKEY* key) {
    bytes entry = fixed_entry_parts();
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x), 1);
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y), 1);
    EXPECT_EQ(BN_bn2binpad(x, &entry[0x30], 48), 48);
    EXPECT_EQ(BN_bn2binpad(y, &entry[0x60], 48), 48);
    BN_free(x);
    BN_free(y);
    return entry;
}

kvr::public_key fresh_key() {
    return kvr::public_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384"));
}

std::string sha256_hex(const uint8_t* data, size_t size, const EVP_MD* md = EVP_sha256()) {
    std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_Digest(data, size, digest.data(), &length, md, nullptr);
    return kvr::to_hex(std::span(digest).first(length));
}

// The P-384 group order n, big-endian.
bytes p384_order() {
    bytes order(48);
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_secp384r1);
    BN_bn2binpad(EC_GROUP_get0_order(group), order.data(), 48);
    EC_GROUP_free(group);
    return order;
}

void set_field(bytes& image, size_t offset, const bytes& value) {
    std::copy(value.begin(), value.end(), image.begin() + static_cast<ptrdiff_t>(offset));
}

// ---- The check functions ------------------------------------------------------------------

TEST(KeyEntryCheck, AcceptsAnEntryBuiltFromTheDocumentedBytesAndReadsItsWords) {
    const kvr::public_key key = fresh_key();
    bytes entry = key_entry_of(key.get());
    kvr::store_u32_le(&entry[0x28], 0x01020304);
    kvr::store_u32_le(&entry[0x2C], 7);
    const kvr::key_entry_check check = kvr::check_key_entry(entry);
    ASSERT_NE(check.key, nullptr) << check.failure;
    EXPECT_EQ(EVP_PKEY_eq(check.key.get(), key.get()), 1);
    EXPECT_EQ(check.permission, 0x01020304u);
    EXPECT_EQ(check.cancel, 7u);
    EXPECT_EQ(kvr::to_hex(check.fingerprint), sha256_hex(&entry[0x30], 96));
}

TEST(KeyEntryCheck, NamesEveryFixedWordThatIsWrong) {
    const kvr::public_key key = fresh_key();
    const bytes good = key_entry_of(key.get());
    const std::vector<std::pair<size_t, std::string>> words = {
        {0x00, "0x92540917"}, {0x04, "0x00000100"}, {0x08, "0x00000078"}, {0x0C, "0x00000070"},
        {0x18, "0x58700660"}, {0x1C, "0x00000030"}, {0x20, "0x00000030"}, {0x24, "0x54326648"},
        {0x90, "0x74881520"}, {0x94, "0x00000030"}, {0x98, "0x00000030"}, {0x9C, "0x30548820"},
    };
    for (const auto& [offset, expected] : words) {
        bytes entry = good;
        entry[offset + 3] ^= 0x80;
        const auto check = kvr::check_key_entry(entry);
        EXPECT_EQ(check.key, nullptr);
        char where[8];
        std::snprintf(where, sizeof where, "0x%02zX", offset);
        EXPECT_EQ(check.failure.find("fixed word at " + std::string(where) + " is 0x"), 0u)
            << check.failure;
        EXPECT_NE(check.failure.find(", expected " + expected), std::string::npos) << check.failure;
    }
}

TEST(KeyEntryCheck, NamesTheFirstNonZeroReservedOrTrailingByte) {
    const kvr::public_key key = fresh_key();
    const bytes good = key_entry_of(key.get());
    const std::vector<std::pair<size_t, std::string>> cases = {
        {0x10, "reserved byte at 0x10 is 0x5A, expected 0x00"},
        {0x17, "reserved byte at 0x17 is 0x5A, expected 0x00"},
        {0xA0, "trailing byte at 0xA0 is 0x5A, expected 0x00"},
        {0xFF, "trailing byte at 0xFF is 0x5A, expected 0x00"},
    };
    for (const auto& [offset, message] : cases) {
        bytes entry = good;
        entry[offset] = 0x5A;
        EXPECT_EQ(kvr::check_key_entry(entry).failure, message);
    }
}

TEST(KeyEntryCheck, RefusesCoordinatesThatAreNotAPointOfTheCurve) {
    const kvr::public_key key = fresh_key();
    const bytes good = key_entry_of(key.get());
    const std::vector<std::function<void(bytes&)>> changes = {
        [](bytes& e) { e[0x8F] ^= 0x01; },                                      // Y off the curve
        [](bytes& e) { std::fill(e.begin() + 0x30, e.begin() + 0x90, 0); },     // (0, 0)
        [](bytes& e) { std::fill(e.begin() + 0x30, e.begin() + 0x60, 0xFF); },  // X >= p
    };
    for (const auto& change : changes) {
        bytes entry = good;
        change(entry);
        EXPECT_EQ(kvr::check_key_entry(entry).failure,
                  "X and Y (bytes 0x30 to 0x8F) are not a point of P-384");
    }
}

TEST(KeyEntryCheck, RefusesEveryOtherSize) {
    const kvr::public_key key = fresh_key();
    bytes entry = key_entry_of(key.get());
    entry.push_back(0);
    EXPECT_EQ(kvr::check_key_entry(entry).failure, "size is 257 bytes, expected 256");
    entry.resize(255);
    EXPECT_EQ(kvr::check_key_entry(entry).failure, "size is 255 bytes, expected 256");
    EXPECT_EQ(kvr::check_key_entry({}).failure, "size is 0 bytes, expected 256");
}

// r and s must be 0 < value < n; the boundaries decide between a range failure and a
// signature that is merely wrong.
TEST(ModuleCheck, RAndSRangeBoundaries) {
    const kvr::public_key key = fresh_key();
    const bytes order = p384_order();
    bytes order_minus_one = order;
    order_minus_one.back() -= 1;  // n ends in 0x73: no borrow
    bytes one(48, 0);
    one.back() = 1;
    const std::vector<std::tuple<bytes, bytes, std::string>> cases = {
        {bytes(48, 0), one, "r is zero"},
        {one, bytes(48, 0), "s is zero"},
        {order, one, "r is not below the P-384 group order"},
        {one, order, "s is not below the P-384 group order"},
        {bytes(48, 0xFF), one, "r is not below the P-384 group order"},
        {order_minus_one, order_minus_one, "signature does not match this key entry"},
        {one, one, "signature does not match this key entry"},
    };
    for (const auto& [r, s, message] : cases) {
        bytes image = kvr_test::make_unsigned_module(1);
        set_field(image, kvr::kROffset, r);
        set_field(image, kvr::kSOffset, s);
        EXPECT_EQ(kvr::module_failure(image, key.get()), message);
    }
}

TEST(ModuleCheck, SizeIsCheckedBeforeTheMagic) {
    const kvr::public_key key = fresh_key();
    EXPECT_EQ(kvr::module_failure(bytes(4207, 0), key.get()), "size is 4207 bytes, expected 4208");
    EXPECT_EQ(kvr::module_size_failure(1u << 20), "size is 1048576 bytes, expected 4208");
    EXPECT_EQ(kvr::module_size_failure(4208), std::nullopt);
}

// ---- The program, end to end --------------------------------------------------------------

class KvrVerify : public ::testing::Test {
  protected:
    kvr_test::temp_dir dir;

    std::string at(const std::string& name) const { return dir / name; }
    bytes file(const std::string& name) const { return kvr_test::read_bytes(at(name)); }
    void put(const std::string& name, const bytes& content) const {
        kvr_test::write_bytes(at(name), content);
    }

    process_result run(const char* program, const std::vector<std::string>& args) const {
        return kvr_test::run_program(program, args, dir.path().string());
    }
    process_result verify(const std::vector<std::string>& args) const {
        return run(KVR_VERIFY_PATH, args);
    }

    // Signs `count` unsigned modules "<prefix>N.unsigned.module" into "<prefix>N.module"
    // (N from 1) in one run whose key entry is `key`; returns the signed paths.
    std::vector<std::string> sign_run(size_t count, const std::string& key = "key.module",
                                      const std::string& prefix = "m",
                                      std::vector<std::string> options = {}) const {
        std::vector<std::string> signed_paths;
        for (size_t i = 1; i <= count; ++i) {
            const std::string stem = prefix + std::to_string(i);
            put(stem + ".unsigned.module",
                kvr_test::make_unsigned_module(static_cast<uint32_t>(i)));
            options.push_back(stem + ".unsigned.module;" + stem + ".module");
            signed_paths.push_back(stem + ".module");
        }
        options.push_back(key);
        const process_result signing = run(KVR_SIGN_PATH, options);
        EXPECT_EQ(signing.status, 0) << signing.err;
        return signed_paths;
    }

    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (const auto& item : fs::directory_iterator(dir.path())) {
            names.insert(item.path().filename().string() + ":" +
                         std::to_string(item.is_regular_file() ? item.file_size() : 0));
        }
        return names;
    }
};

bool has_line(const std::string& out, const std::string& line) {
    return ("\n" + out).find("\n" + line + "\n") != std::string::npos;
}

TEST_F(KvrVerify, ModulesOfTheirOwnRunVerifyAndNothingIsWritten) {
    const auto paths = sign_run(3);
    const auto before = listing();
    const process_result result = verify({paths[0], paths[1], paths[2], "key.module"});
    EXPECT_EQ(result.status, kAllVerified) << result.err;
    EXPECT_EQ(result.err, "");
    for (const auto& path : paths) {
        EXPECT_TRUE(has_line(result.out, path + ": OK")) << result.out;
    }
    EXPECT_TRUE(has_line(result.out, "3 module(s) checked: 3 OK, 0 FAILED")) << result.out;
    EXPECT_EQ(listing(), before);
}

TEST_F(KvrVerify, PrintsTheWordsInHexAndDecimalAndTheFingerprintOfXY) {
    const auto paths = sign_run(1, "key.module", "m", {"--permission", "0x01020304", "--cancel=9"});
    const process_result result = verify({paths[0], "key.module"});
    ASSERT_EQ(result.status, kAllVerified) << result.err;
    const bytes entry = file("key.module");
    EXPECT_TRUE(has_line(result.out, "  permission word:   0x01020304 (16909060)")) << result.out;
    EXPECT_TRUE(has_line(result.out, "  cancellation word: 0x00000009 (9)")) << result.out;
    EXPECT_TRUE(has_line(
        result.out, "  key fingerprint:   " + sha256_hex(&entry[0x30], 96) + " (SHA-256 of X||Y)"))
        << result.out;
    EXPECT_TRUE(has_line(
        result.out,
        "  file SHA-256:      " + sha256_hex(entry.data(), entry.size()) + " (the whole file)"))
        << result.out;
}

// A change to one signed module: the line that module gets. A second module of the same run
// is checked after it and must stay OK.
struct module_change {
    const char* name;
    std::function<void(bytes&)> change;
    std::string line;  // after "<path>: "
};

// Test listings show a case by its name, not by its bytes.
void PrintTo(const module_change& change, std::ostream* out) {
    *out << change.name;
}

class ModuleChange : public KvrVerify, public ::testing::WithParamInterface<module_change> {};

TEST_P(ModuleChange, GivesTheModuleItsLineAndChecksTheNextOne) {
    const auto paths = sign_run(2);
    bytes image = file(paths[0]);
    GetParam().change(image);
    put(paths[0], image);
    const process_result result = verify({paths[0], paths[1], "key.module"});
    const bool ok = GetParam().line == "OK";
    EXPECT_EQ(result.status, ok ? kAllVerified : kModuleFailed) << result.err;
    EXPECT_TRUE(has_line(result.out, paths[0] + ": " + GetParam().line)) << result.out;
    EXPECT_TRUE(has_line(result.out, paths[1] + ": OK")) << result.out;
    EXPECT_EQ(result.err, "");
}

const auto swap_r_and_s = [](bytes& image) {
    std::swap_ranges(image.begin() + kvr::kROffset, image.begin() + kvr::kSOffset,
                     image.begin() + kvr::kSOffset);
};

INSTANTIATE_TEST_SUITE_P(
    KvrVerify, ModuleChange,
    ::testing::Values(
        module_change{"Block0FirstByteAfterMagic", [](bytes& m) { m[4] ^= 0x01; }, kNoMatch},
        module_change{"Block0LastByte", [](bytes& m) { m[4095] ^= 0x80; }, kNoMatch},
        module_change{"ByteOfR", [](bytes& m) { m[kvr::kROffset + 20] ^= 0x01; }, kNoMatch},
        module_change{"LastByteOfS", [](bytes& m) { m[4207] ^= 0x01; }, kNoMatch},
        module_change{"RAndSSwapped", swap_r_and_s, kNoMatch},
        module_change{"SignatureBlockHeader",
                      [](bytes& m) { std::fill(m.begin() + 4096, m.begin() + 4112, 0xEE); }, "OK"},
        module_change{"TruncatedByOne", [](bytes& m) { m.pop_back(); },
                      "FAILED (size is 4207 bytes, expected 4208)"},
        module_change{"OneByteTooMany", [](bytes& m) { m.push_back(0); },
                      "FAILED (size is 4209 bytes, expected 4208)"},
        module_change{"OneMebibyte", [](bytes& m) { m.resize(1 << 20, 0x11); },
                      "FAILED (size is 1048576 bytes, expected 4208)"},
        module_change{"Empty", [](bytes& m) { m.clear(); },
                      "FAILED (size is 0 bytes, expected 4208)"},
        module_change{"MagicBigEndian",
                      [](bytes& m) { m[0] = 0x62, m[1] = 0x29, m[2] = 0x48, m[3] = 0x95; },
                      "FAILED (magic is 0x95482962, expected 0x62294895)"},
        module_change{"UnsignedRsField",
                      [](bytes& m) { std::fill(m.begin() + kvr::kROffset, m.end(), 0); },
                      "FAILED (r is zero)"},
        module_change{"SAllOnes",
                      [](bytes& m) { std::fill(m.begin() + kvr::kSOffset, m.end(), 0xFF); },
                      "FAILED (s is not below the P-384 group order)"}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST_F(KvrVerify, ModuleOfAnotherRunDoesNotMatch) {
    const auto ours = sign_run(1, "ours.module", "a");
    const auto theirs = sign_run(1, "theirs.module", "b");
    const process_result result = verify({theirs[0], ours[0], "ours.module"});
    EXPECT_EQ(result.status, kModuleFailed);
    EXPECT_TRUE(has_line(result.out, theirs[0] + ": " + kNoMatch)) << result.out;
    EXPECT_TRUE(has_line(result.out, ours[0] + ": OK")) << result.out;
    EXPECT_NE(file("ours.module"), file("theirs.module"));
}

TEST_F(KvrVerify, MissingAndNonRegularModulesFailAndTheOthersAreStillReported) {
    const auto paths = sign_run(2);
    ASSERT_EQ(mkfifo(at("pipe.module").c_str(), 0600), 0);  // would block a plain read
    fs::create_directory(at("folder.module"));
    const process_result result = verify(
        {paths[0], "missing.module", "pipe.module", "folder.module", paths[1], "key.module"});
    EXPECT_EQ(result.status, kModuleFailed);
    const std::string unreadable = ": FAILED (missing or not a readable file)";
    EXPECT_NE(
        result.out.find(paths[0] + ": OK\nmissing.module" + unreadable + "\npipe.module" +
                        unreadable + "\nfolder.module" + unreadable + "\n" + paths[1] + ": OK\n"),
        std::string::npos)
        << result.out;
    EXPECT_TRUE(has_line(result.out, "5 module(s) checked: 2 OK, 3 FAILED")) << result.out;
}

TEST_F(KvrVerify, ListFileFormChecksEveryOutputPathInListOrder) {
    for (const uint32_t i : {1u, 2u, 3u}) {
        put(std::string("u").append(std::to_string(i)).append(".module"),
            kvr_test::make_unsigned_module(i));
    }
    fs::create_directory(at("out"));
    kvr_test::write_text(at("modules.txt"),
                         "# the run's modules\n"
                         "u2.module ; out/s2.module   # second first\n"
                         "\n"
                         "   \t\n"
                         "u1.module;out/s1.module\r\n"
                         "u3.module;out/s3.module");
    ASSERT_EQ(run(KVR_SIGN_PATH, {"modules.txt", "out/key.module"}).status, 0);
    const process_result result = verify({"modules.txt", "out/key.module"});
    EXPECT_EQ(result.status, kAllVerified) << result.err;
    EXPECT_NE(result.out.find("out/s2.module: OK\nout/s1.module: OK\nout/s3.module: OK\n"),
              std::string::npos)
        << result.out;
}

TEST_F(KvrVerify, InlinePairsAreCheckedAtTheirOutputPath) {
    const auto paths = sign_run(2);
    const process_result result =
        verify({"m1.unsigned.module ; m1.module", paths[1], "key.module"});
    EXPECT_EQ(result.status, kAllVerified) << result.err;
    EXPECT_TRUE(has_line(result.out, "m1.module: OK")) << result.out;
    EXPECT_FALSE(has_line(result.out, "m1.unsigned.module: OK")) << result.out;
}

// A key entry change: the run stops before any module with the field that is wrong.
struct entry_change {
    const char* name;
    std::function<void(const std::string&)> change;  // gets the entry's path
    std::string reason;
};

void PrintTo(const entry_change& change, std::ostream* out) {
    *out << change.name;
}

class EntryChange : public KvrVerify, public ::testing::WithParamInterface<entry_change> {};

void change_entry_bytes(const std::string& path, const std::function<void(bytes&)>& change) {
    bytes entry = kvr_test::read_bytes(path);
    change(entry);
    kvr_test::write_bytes(path, entry);
}

TEST_P(EntryChange, StopsWithTheFieldAndWhatWasFound) {
    const auto paths = sign_run(1);
    GetParam().change(at("key.module"));
    const process_result result = verify({paths[0], "key.module"});
    EXPECT_EQ(result.status, kUnusable);
    EXPECT_EQ(result.err,
              "Error: Public Key Entry module key.module is unusable: " + GetParam().reason + "\n");
    EXPECT_EQ(result.out.find(": OK"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("FAILED"), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    KvrVerify, EntryChange,
    ::testing::Values(entry_change{"TotalLengthWord",
                                   [](const std::string& p) {
                                       change_entry_bytes(p, [](bytes& e) { e[0x04] = 0x01; });
                                   },
                                   "fixed word at 0x04 is 0x00000101, expected 0x00000100"},
                      entry_change{"TrailingHeadWord",
                                   [](const std::string& p) {
                                       change_entry_bytes(p, [](bytes& e) { e[0x93] = 0x00; });
                                   },
                                   "fixed word at 0x90 is 0x00881520, expected 0x74881520"},
                      entry_change{"TrailingZeroByte",
                                   [](const std::string& p) {
                                       change_entry_bytes(p, [](bytes& e) { e[0xC1] = 0x02; });
                                   },
                                   "trailing byte at 0xC1 is 0x02, expected 0x00"},
                      entry_change{"YNotOnTheCurve",
                                   [](const std::string& p) {
                                       change_entry_bytes(p, [](bytes& e) { e[0x8F] ^= 0x01; });
                                   },
                                   "X and Y (bytes 0x30 to 0x8F) are not a point of P-384"},
                      entry_change{"XAndYSwapped",
                                   [](const std::string& p) {
                                       change_entry_bytes(p, [](bytes& e) {
                                           std::swap_ranges(e.begin() + 0x30, e.begin() + 0x60,
                                                            e.begin() + 0x60);
                                       });
                                   },
                                   "X and Y (bytes 0x30 to 0x8F) are not a point of P-384"},
                      entry_change{"OneByteShort",
                                   [](const std::string& p) {
                                       change_entry_bytes(p, [](bytes& e) { e.pop_back(); });
                                   },
                                   "size is 255 bytes, expected 256"},
                      entry_change{"OneMebibyte",
                                   [](const std::string& p) {
                                       change_entry_bytes(p, [](bytes& e) { e.resize(1 << 20); });
                                   },
                                   "size is 1048576 bytes, expected 256"},
                      entry_change{"Missing", [](const std::string& p) { fs::remove(p); },
                                   "missing or not a readable file"},
                      entry_change{"Fifo",
                                   [](const std::string& p) {
                                       fs::remove(p);
                                       ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
                                   },
                                   "missing or not a readable file"}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST_F(KvrVerify, ExpectedWordsAreComparedOnlyWhenTheirOptionIsGiven) {
    const auto paths = sign_run(1, "key.module", "m", {"--permission", "5"});
    EXPECT_EQ(verify({paths[0], "key.module"}).status, kAllVerified);
    EXPECT_EQ(verify({"--permission=5", "--cancel", "0xFFFFFFFF", paths[0], "key.module"}).status,
              kAllVerified);
    const process_result wrong_permission = verify({"--permission", "1", paths[0], "key.module"});
    EXPECT_EQ(wrong_permission.status, kUnusable);
    EXPECT_EQ(wrong_permission.err,
              "Error: Permission word is 0x00000005 (5), but --permission asks for 0x00000001 "
              "(1)\n");
    const process_result wrong_cancel = verify({"--cancel=0", paths[0], "key.module"});
    EXPECT_EQ(wrong_cancel.status, kUnusable);
    EXPECT_EQ(wrong_cancel.err,
              "Error: Cancellation word is 0xFFFFFFFF (4294967295), but --cancel asks for "
              "0x00000000 (0)\n");
    EXPECT_EQ(wrong_cancel.out.find(": OK"), std::string::npos);
}

TEST_F(KvrVerify, UnusableCommandLinesStopWithStatus9BeforeAnyCheck) {
    const auto paths = sign_run(1);
    kvr_test::write_text(at("empty.txt"), "# nothing to check\n\n");
    kvr_test::write_text(at("single.txt"), "m1.module\n");
    fs::create_directory(at("folder.txt"));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "Error: Incorrect command format\n"},
        {{"key.module"}, "Error: Incorrect command format\n"},
        {{paths[0], "key.bin"}, "Error: Incorrect command format\n"},
        {{"--bogus", paths[0], "key.module"}, "Error: Unknown option --bogus"},
        {{"--permission", paths[0], "key.module"}, "Error: "},
        {{"empty.txt", "key.module"}, "Error: No module to verify in empty.txt\n"},
        {{"single.txt", "key.module"}, "Error: Incorrect file format: m1.module\n"},
        {{"missing.txt", "key.module"}, "Error: Fail to read file missing.txt\n"},
        {{"folder.txt", "key.module"}, "Error: Fail to read file folder.txt\n"},
        {{"a.module;b.module;c.module", "key.module"}, "Error: Incorrect file format: "},
        {{"m1.module;m1.bin", "key.module"}, "Error: Module m1.bin extension must be .module\n"},
    };
    for (const auto& [args, message] : cases) {
        const process_result result = verify(args);
        EXPECT_EQ(result.status, kUnusable) << message;
        EXPECT_EQ(result.err.find(message), 0u) << result.err;
        EXPECT_EQ(result.out.find("Public Key Entry module:"), std::string::npos) << result.out;
    }
}

TEST_F(KvrVerify, HelpPrintsTheUsageAndTheStatuses) {
    const process_result result = verify({"--help"});
    EXPECT_EQ(result.status, kAllVerified);
    EXPECT_NE(result.out.find("kvr_verify <input text with .txt extension"), std::string::npos);
    EXPECT_NE(result.out.find("9 the Public Key Entry module or the command line is unusable"),
              std::string::npos);
    for (const char* option : {"--permission", "--fingerprint", "--key-sha256", "--json"}) {
        EXPECT_NE(result.out.find(option), std::string::npos) << option;
    }
}

TEST_F(KvrVerify, ShortHelpAndVersion) {
    const process_result help = verify({"--help"});
    const process_result short_help = verify({"-h"});
    EXPECT_EQ(short_help.status, kAllVerified);
    EXPECT_EQ(short_help.out, help.out);
    EXPECT_NE(help.out.find("--version"), std::string::npos);
    const process_result version = verify({"--version"});
    EXPECT_EQ(version.status, kAllVerified);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("kvr_verify [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << version.out;
    // After a lone "--", "-h" is a positional argument like any other.
    EXPECT_EQ(verify({"--", "-h", "key.module"}).status, kUnusable);
}

// The report is the verdict: one that cannot be written (a full disk, a closed stdout) never
// ends with 0. Status 74 replaces a 0; a 1 or 9 already says not everything verified.
TEST_F(KvrVerify, AReportThatCannotBeWrittenIsAFailure) {
    const auto paths = sign_run(1);
    put("other.module", kvr_test::make_unsigned_module(9));
    const auto verify_into = [&](const std::string& redirect, std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" " + redirect, KVR_VERIFY_PATH});
        return run("/bin/sh", args);
    };
    struct lost_case {
        std::string redirect;
        std::vector<std::string> args;
        int status;
        std::string reason;
    };
    const std::vector<lost_case> cases = {
        {">/dev/full", {paths[0], "key.module"}, 74, "No space left on device"},
        {">/dev/full", {"--json", paths[0], "key.module"}, 74, "No space left on device"},
        {">&-", {paths[0], "key.module"}, 74, "Bad file descriptor"},
        {">/dev/full",
         {paths[0], "other.module", "key.module"},
         kModuleFailed,
         "No space left on device"},
    };
    for (const lost_case& test : cases) {
        const process_result result = verify_into(test.redirect, test.args);
        EXPECT_EQ(result.status, test.status) << test.redirect << result.err;
        EXPECT_TRUE(
            kvr_test::fixed_then_details(result.err, "Error: Fail to write standard output\n"));
        EXPECT_NE(result.err.find("  reason: " + test.reason + "\n"), std::string::npos)
            << result.err;
    }
}

TEST_F(KvrVerify, AModuleListedTwiceIsCheckedTwiceWithAWarning) {
    const auto paths = sign_run(1);
    const process_result result =
        verify({paths[0], "m1.unsigned.module;./" + paths[0], "key.module"});
    EXPECT_EQ(result.status, kAllVerified);
    EXPECT_EQ(result.err, "Warning: Module " + paths[0] +
                              " is listed more than once: it is checked each time\n"
                              "  argument 1: " +
                              paths[0] + "\n  argument 2: ./" + paths[0] + "\n");
    EXPECT_NE(result.out.find("2 module(s) checked: 2 OK"), std::string::npos) << result.out;
}

// ---- Pinned key identity and the JSON report ----------------------------------------------

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string other_digest(std::string digest) {
    digest.back() = digest.back() == '0' ? '1' : '0';
    return digest;
}

class Pinned : public KvrVerify {
  protected:
    std::vector<std::string> paths = sign_run(1);
    bytes entry = file("key.module");
    std::string fingerprint = sha256_hex(&entry[0x30], 96);
    std::string file_sha256 = sha256_hex(entry.data(), entry.size());
};

// Either case and both spellings match, the last pin given counts; a pin that differs or is not
// 64 hex digits stops the run before any module, plain text even with --json.
TEST_F(Pinned, PinsAreComparedBeforeAnyModule) {
    const std::string entry_error = "Error: Public Key Entry module key.module: ";
    const std::string wrong = other_digest(fingerprint);
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"--fingerprint", upper(fingerprint), "--key-sha256=" + file_sha256}, kAllVerified, ""},
        {{"--fingerprint=" + wrong, "--fingerprint", fingerprint}, kAllVerified, ""},
        {{"--fingerprint", upper(wrong)},
         kUnusable,
         entry_error + "key fingerprint " + fingerprint + " does not match the expected " + wrong},
        {{"--fingerprint", fingerprint, "--key-sha256", other_digest(file_sha256)},
         kUnusable,
         entry_error + "file SHA-256 " + file_sha256 + " does not match the expected " +
             other_digest(file_sha256)},
        {{"--json", "--fingerprint="}, kUnusable, "Error: --fingerprint needs 64 hex digits: \"\""},
        {{"--json", "--key-sha256=0x" + file_sha256.substr(2)},
         kUnusable,
         "Error: --key-sha256 needs 64 hex digits: \"0x" + file_sha256.substr(2) + "\""},
        {{"--fingerprint", fingerprint.substr(1) + "g"},
         kUnusable,
         "Error: --fingerprint needs 64 hex digits: \"" + fingerprint.substr(1) + "g\""},
    };
    for (auto [args, status, error] : cases) {
        args.insert(args.end(), {paths[0], "key.module"});
        const process_result result = verify(args);
        EXPECT_EQ(result.status, status) << args[1];
        EXPECT_EQ(result.err, error.empty() ? "" : error + "\n");
        EXPECT_EQ(result.out.empty(), status == kUnusable) << result.out;
    }
}

// The report as "field.path = value" lines, read by Python's json module: strict UTF-8, one
// document and nothing else.
std::vector<std::string> report_fields(const kvr_test::temp_dir& dir, const std::string& report) {
    static const char* const kReader =
        "import json, sys\n"
        "def leaves(name, value):\n"
        "    if isinstance(value, (dict, list)) and value:\n"
        "        for key in (value if isinstance(value, dict) else range(len(value))):\n"
        "            yield from leaves(name + [str(key)], value[key])\n"
        "    else:\n"
        "        yield '.'.join(name) + ' = ' + json.dumps(value, ensure_ascii=False) + '\\n'\n"
        "doc = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'))\n"
        "sys.stdout.buffer.write(''.join(leaves([], doc)).encode('utf-8'))\n";
    kvr_test::write_text(dir / "report.json", report);
    const process_result read = kvr_test::run_program(
        KVR_PYTHON3_PATH, {"-c", kReader, "report.json"}, dir.path().string());
    EXPECT_EQ(read.status, 0) << read.err << report;
    std::vector<std::string> lines;
    std::istringstream text(read.out);
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

using fields = std::vector<std::string>;

fields operator+(fields a, const fields& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The fields of module `index` of a report, from the file's bytes.
fields module_fields(const kvr_test::temp_dir& dir, size_t index, const std::string& path,
                     const std::string& status = "\"OK\"") {
    const std::string key = "modules." + std::to_string(index) + ".";
    const bytes image = kvr_test::read_bytes(dir / path);
    return {key + "path = \"" + path + "\"", key + "status = " + status,
            key + "block0_sha384 = \"" + sha256_hex(image.data(), 4096, EVP_sha384()) + "\"",
            key + "file_sha256 = \"" + sha256_hex(image.data(), image.size()) + "\""};
}

fields summary_fields(int checked, int ok) {
    return {"summary.checked = " + std::to_string(checked), "summary.ok = " + std::to_string(ok),
            "summary.failed = " + std::to_string(checked - ok)};
}

// With --json, stdout holds one report and nothing else, and every field of it is checked
// against the files: all OK, one FAILED, a name that is not UTF-8, a bad entry, a wrong pin.
TEST_F(Pinned, JsonReportHoldsWhatTheFilesHold) {
    bytes image = file(paths[0]);
    image[100] ^= 0x01;
    put("bad.module", image);
    put("caf\xe9.module", file(paths[0]));
    change_entry_bytes(at("key.module"), [](bytes& e) { e[0x04] = 0x01; });
    const bytes broken = file("key.module");
    put("broken.module", broken);
    put("key.module", entry);
    const std::string wrong = other_digest(fingerprint);
    const fields start{"format_version = 1", "key_entry.path = \"key.module\""};
    const fields found{"key_entry.fingerprint = \"" + fingerprint + "\"",
                       "key_entry.file_sha256 = \"" + file_sha256 + "\"",
                       "key_entry.permission = 1", "key_entry.cancel = 4294967295"};
    const fields usable = start + fields{"key_entry.usable = true"} + found;
    const fields no_pins{"key_entry.expected = {}"};
    fields non_utf8 = module_fields(dir, 0, "caf\xe9.module");
    non_utf8[0] = "modules.0.path = \"caf\xef\xbf\xbd.module\"";
    non_utf8.insert(non_utf8.begin() + 1, "modules.0.path_hex = \"636166e92e6d6f64756c65\"");
    fields failed = module_fields(dir, 1, "bad.module", "\"FAILED\"");
    failed.insert(failed.begin() + 2,
                  "modules.1.reason = \"signature does not match this key entry\"");
    const std::vector<std::tuple<std::vector<std::string>, int, fields>> cases = {
        {{paths[0], "key.module"},
         kAllVerified,
         usable + no_pins + module_fields(dir, 0, paths[0]) + summary_fields(1, 1)},
        {{"--key-sha256", file_sha256, paths[0], "bad.module", "key.module"},
         kModuleFailed,
         usable + fields{"key_entry.expected.file_sha256 = \"" + file_sha256 + "\""} +
             module_fields(dir, 0, paths[0]) + failed + summary_fields(2, 1)},
        {{"caf\xe9.module", "key.module"},
         kAllVerified,
         usable + no_pins + non_utf8 + summary_fields(1, 1)},
        {{paths[0], "broken.module"},
         kUnusable,
         fields{"format_version = 1", "key_entry.path = \"broken.module\"",
                "key_entry.usable = false",
                "key_entry.reason = \"fixed word at 0x04 is 0x00000101, expected 0x00000100\"",
                "key_entry.file_sha256 = \"" + sha256_hex(broken.data(), 256) + "\""} +
             no_pins + fields{"modules = []"} + summary_fields(0, 0)},
        {{"--fingerprint", wrong, paths[0], "key.module"},
         kUnusable,
         start +
             fields{"key_entry.usable = false", "key_entry.reason = \"key fingerprint " +
                                                    fingerprint + " does not match the expected " +
                                                    wrong + "\""} +
             found + fields{"key_entry.expected.fingerprint = \"" + wrong + "\"", "modules = []"} +
             summary_fields(0, 0)},
    };
    for (auto [args, status, expected] : cases) {
        args.insert(args.begin(), "--json");
        const process_result result = verify(args);
        EXPECT_EQ(result.status, status) << args[1];
        EXPECT_EQ(result.err.empty(), status != kUnusable) << result.err;
        ASSERT_FALSE(result.out.empty());
        EXPECT_EQ(result.out.back(), '\n');
        EXPECT_EQ(report_fields(dir, result.out), expected) << result.out;
    }
}

// ---- A module signed outside the project --------------------------------------------------

std::string find_openssl() {
    const char* path = std::getenv("PATH");
    std::string folders = path == nullptr ? "/usr/bin:/bin" : path;
    size_t start = 0;
    while (start <= folders.size()) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const fs::path candidate = fs::path(folders.substr(start, end - start)) / "openssl";
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        start = end + 1;
    }
    return "";
}

// Places the DER signature's r and s right-aligned in the module's 48-byte fields.
void place_der_signature(const bytes& der, bytes& image) {
    const unsigned char* cursor = der.data();
    ECDSA_SIG* signature = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
    ASSERT_NE(signature, nullptr);
    EXPECT_EQ(BN_bn2binpad(ECDSA_SIG_get0_r(signature), &image[4112], 48), 48);
    EXPECT_EQ(BN_bn2binpad(ECDSA_SIG_get0_s(signature), &image[4160], 48), 48);
    ECDSA_SIG_free(signature);
}

kvr::public_key read_public_pem(const std::string& path) {
    BIO* in = BIO_new_file(path.c_str(), "r");
    EVP_PKEY* key = in == nullptr ? nullptr : PEM_read_bio_PUBKEY(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    return kvr::public_key(key);
}

TEST_F(KvrVerify, ModuleSignedByTheOpensslToolVerifies) {
    const std::string openssl = find_openssl();
    ASSERT_FALSE(openssl.empty()) << "the openssl command-line tool is needed";
    const auto tool = [&](const std::vector<std::string>& args) {
        const process_result result = run(openssl.c_str(), args);
        ASSERT_EQ(result.status, 0) << result.err;
    };
    tool({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384", "-out",
          "signer.pem"});
    tool({"pkey", "-in", "signer.pem", "-pubout", "-out", "public.pem"});
    bytes image = kvr_test::make_unsigned_module(42);
    put("block0.bin", bytes(image.begin(), image.begin() + 4096));
    tool({"dgst", "-sha384", "-sign", "signer.pem", "-out", "signature.der", "block0.bin"});
    place_der_signature(file("signature.der"), image);
    put("external.module", image);
    image[1000] ^= 0x01;
    put("tampered.module", image);
    const kvr::public_key key = read_public_pem(at("public.pem"));
    ASSERT_NE(key, nullptr);
    put("entry.module", key_entry_of(key.get()));

    const process_result result = verify({"external.module", "tampered.module", "entry.module"});
    EXPECT_EQ(result.status, kModuleFailed) << result.err;
    EXPECT_TRUE(has_line(result.out, "external.module: OK")) << result.out;
    EXPECT_TRUE(has_line(result.out, "tampered.module: " + kNoMatch)) << result.out;
}

}  // namespace
