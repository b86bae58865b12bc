// Core services: clock, file system, lossless full paths, the internal-error reporter and the
// memory initialiser.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "child_capture.h"
#include "files.h"
#include "zrl_core.h"

namespace {

using kvr_test::bytes;
using kvr_test::temp_dir;

// ---- Clock --------------------------------------------------------------------------------

TEST(Clock, NeverGoesBackAndMeasuresASleepPlausibly) {
    int64_t previous = gen_get_current_time_milliseconds();
    for (int i = 0; i < 100000; ++i) {
        const int64_t now = gen_get_current_time_milliseconds();
        ASSERT_GE(now, previous);
        previous = now;
    }
    const int64_t start = gen_get_current_time_milliseconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    const int64_t elapsed = gen_get_current_time_milliseconds() - start;
    EXPECT_GE(elapsed, 120);
    EXPECT_LT(elapsed, 5000);
}

// ---- exists, regular_file_size, same_file --------------------------------------------------

TEST(FileSystem, ExistsIsTrueForFilesAndFalseForFoldersAndNames) {
    temp_dir dir;
    kvr_test::write_bytes(dir / "file.module", bytes{1, 2, 3});
    std::filesystem::create_directory(dir / "folder.module");
    ASSERT_EQ(symlink("file.module", (dir / "link.module").c_str()), 0);
    ASSERT_EQ(symlink("missing.module", (dir / "dangling.module").c_str()), 0);
    ASSERT_EQ(symlink("folder.module", (dir / "folder_link.module").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo.module").c_str(), 0600), 0);

    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(dir / "file.module"));
    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(dir / "link.module"));
    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(dir / "fifo.module"));
    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(dir / "folder.module/../file.module"));
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir / "folder.module"));
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir / "folder_link.module"));
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir / "dangling.module"));
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir / "missing.module"));
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(""));
    // The part before the NUL exists, but the path as given does not.
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir / "file.module" + std::string(1, '\0') + "x"));
}

TEST(FileSystem, RegularFileSizeOnlyForRegularFiles) {
    temp_dir dir;
    kvr_test::write_bytes(dir / "file.module", bytes(4208, 0));
    ASSERT_EQ(symlink("file.module", (dir / "link.module").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo.module").c_str(), 0600), 0);
    EXPECT_EQ(FIO_FILE_SYSTEM::regular_file_size(dir / "file.module"), 4208u);
    EXPECT_EQ(FIO_FILE_SYSTEM::regular_file_size(dir / "link.module"), 4208u);
    EXPECT_FALSE(FIO_FILE_SYSTEM::regular_file_size(dir / "fifo.module").has_value());
    EXPECT_FALSE(FIO_FILE_SYSTEM::regular_file_size(dir.path().string()).has_value());
    EXPECT_FALSE(FIO_FILE_SYSTEM::regular_file_size(dir / "missing.module").has_value());
}

TEST(FileSystem, SameFileSeesThroughSpellingsAndLinks) {
    temp_dir dir;
    kvr_test::write_bytes(dir / "a.module", bytes{1});
    kvr_test::write_bytes(dir / "b.module", bytes{1});
    ASSERT_EQ(link((dir / "a.module").c_str(), (dir / "hard.module").c_str()), 0);
    ASSERT_EQ(symlink("a.module", (dir / "soft.module").c_str()), 0);
    std::filesystem::create_directory(dir / "sub");

    EXPECT_TRUE(FIO_FILE_SYSTEM::same_file(dir / "./a.module", dir / "a.module"));
    EXPECT_TRUE(FIO_FILE_SYSTEM::same_file(dir / "sub/../a.module", dir / "a.module"));
    EXPECT_TRUE(FIO_FILE_SYSTEM::same_file(dir / "hard.module", dir / "a.module"));
    EXPECT_TRUE(FIO_FILE_SYSTEM::same_file(dir / "soft.module", dir / "a.module"));
    EXPECT_TRUE(FIO_FILE_SYSTEM::same_file(dir / "new.module", dir / "sub/../new.module"))
        << "paths of files still to be written compare by their full path";
    const std::string relative = "kvr_same_file_probe.module";
    EXPECT_TRUE(FIO_FILE_SYSTEM::same_file(relative,
                                           (std::filesystem::current_path() / relative).string()));
    EXPECT_FALSE(FIO_FILE_SYSTEM::same_file(dir / "a.module", dir / "b.module"));
    EXPECT_FALSE(FIO_FILE_SYSTEM::same_file(dir / "new.module", dir / "other.module"));
    EXPECT_FALSE(FIO_FILE_SYSTEM::same_file(dir / "a.module", dir / "sub"));
}

// ---- Full paths ---------------------------------------------------------------------------

std::string full_path_bytes(const std::string& path) {
    return fio_narrow_path(fio_get_unc_full_path(path.c_str()));
}

TEST(FullPath, FolderIsResolvedAsTheKernelResolvesItAndTheLastNameKept) {
    temp_dir dir;
    const std::string real = std::filesystem::canonical(dir.path()).string();
    std::filesystem::create_directories(dir.path() / "a/b");
    std::filesystem::create_directories(dir.path() / "real/sub");
    std::filesystem::create_directory_symlink("real/sub", dir.path() / "link");
    kvr_test::write_bytes(dir / "file.module", bytes{1});
    std::filesystem::create_symlink("file.module", dir.path() / "last.module");
    const std::string cwd = std::filesystem::current_path().string();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"key.module", (cwd == "/" ? "" : cwd) + "/key.module"},
        {"/../key.module", "/key.module"},
        {dir / "a/./b/../key.module", real + "/a/key.module"},
        {dir / "a//b///key.module", real + "/a/b/key.module"},
        {dir / "link/../key.module", real + "/real/key.module"},  // ".." after the link
        {dir / "last.module", real + "/last.module"},             // the last name stays a link
        {dir / "a/b/..", real + "/a"},
        {dir / "missing/../key.module", dir / "missing/../key.module"},  // kept: cannot open
        {dir / "file.module/../key.module", dir / "file.module/../key.module"},
    };
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(full_path_bytes(given), expected) << given;
    }
}

TEST(FileSystem, WriteTargetFollowsLinksAsTheLastName) {
    temp_dir dir;
    const std::string real = std::filesystem::canonical(dir.path()).string();
    std::filesystem::create_directories(dir.path() / "real/sub");
    std::filesystem::create_symlink("real/sub/../k.module", dir.path() / "dangling.module");
    std::filesystem::create_symlink("dangling.module", dir.path() / "chain.module");
    std::filesystem::create_symlink("loop.module", dir.path() / "loop.module");
    EXPECT_EQ(FIO_FILE_SYSTEM::write_target(dir / "chain.module"), real + "/real/k.module");
    EXPECT_EQ(FIO_FILE_SYSTEM::write_target(dir / "plain.module"), real + "/plain.module");
    EXPECT_EQ(FIO_FILE_SYSTEM::write_target(dir / "loop.module"), std::nullopt);
    EXPECT_TRUE(FIO_FILE_SYSTEM::same_file(dir / "chain.module", dir / "real/k.module"));
}

TEST(FullPath, NonAsciiUtf8NamesBecomeTheirCharactersAndComeBackToTheSameBytes) {
    temp_dir dir;
    const std::string name = dir / "cl\xc3\xa9_\xe2\x82\xac_\xf0\x9f\x98\x80.module";  // é € 😀
    kvr_test::write_bytes(name, bytes{0x42});
    const std::wstring wide = fio_get_unc_full_path(name.c_str());
    EXPECT_NE(wide.find(L'\u00e9'), std::wstring::npos);
    EXPECT_NE(wide.find(L'\u20ac'), std::wstring::npos);
    EXPECT_NE(wide.find(static_cast<wchar_t>(0x1F600)), std::wstring::npos);
    const std::string back = fio_narrow_path(wide);
    EXPECT_EQ(back, name);
    EXPECT_EQ(kvr_test::read_bytes(back), bytes{0x42});
}

TEST(FullPath, NamesThatAreNotUtf8ComeBackToTheSameBytes) {
    temp_dir dir;
    const std::vector<std::string> names{
        "latin1_\xe9t\xe9.module",        // ISO-8859-1 bytes
        "lone_\xff\xfe.module",           // bytes that never occur in UTF-8
        "cut_\xe2\x82.module",            // a sequence cut short
        "overlong_\xc0\xaf.module",       // an overlong "/"
        "surrogate_\xed\xb2\x80.module",  // an encoded U+DC80
        "too_big_\xf4\x90\x80\x80.module",
        "mixed_\xc3\xa9\xff\xc3\xa9.module",
    };
    for (const std::string& name : names) {
        const std::string path = dir / name;
        kvr_test::write_bytes(path, bytes{0x17});
        const std::string back = full_path_bytes(path);
        EXPECT_EQ(back, path) << name;
        EXPECT_TRUE(FIO_FILE_SYSTEM::exists(back)) << name;
        EXPECT_TRUE(FIO_FILE_SYSTEM::same_file(back, path)) << name;
    }
}

// Every byte string round-trips: random names drawn mostly from the bytes at and above 0x80,
// where the decoding has its corner cases.
TEST(FullPath, RandomByteNamesRoundTrip) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> high(0x80, 0xFF);
    std::uniform_int_distribution<int> low('a', 'z');
    std::uniform_int_distribution<int> length(1, 8);
    std::uniform_int_distribution<int> pick(0, 3);
    for (int round = 0; round < 50000; ++round) {
        std::string name = "/base/";
        for (int i = length(random); i > 0; --i) {
            name.push_back(static_cast<char>(pick(random) == 0 ? low(random) : high(random)));
        }
        ASSERT_EQ(full_path_bytes(name), name) << round;
    }
}

// Each byte that starts no valid sequence shows as U+FFFD; valid text shows as itself.
TEST(Utf8, ValidityAndTheDisplayForm) {
    const std::string r = "\xef\xbf\xbd";  // U+FFFD
    const std::vector<std::tuple<std::string, bool, std::string>> cases{
        {"a/\xc3\xa9\xf0\x9f\x98\x80" + r, true, "a/\xc3\xa9\xf0\x9f\x98\x80" + r},
        {"\xe9t\xe2\x82", false, r + "t" + r + r},           // Latin-1, then a sequence cut short
        {"\xc0\xaf\xed\xb2\x80", false, r + r + r + r + r},  // overlong "/", U+DC80
    };
    for (const auto& [text, valid, shown] : cases) {
        EXPECT_EQ(fio_is_valid_utf8(text), valid) << text;
        EXPECT_EQ(fio_utf8_for_display(text), shown) << text;
    }
}

// ---- Internal-error reporter --------------------------------------------------------------

TEST(InternalErrorDeathTest, ExitsWithItsStatusAndShowsTagFileLineAndMessage) {
    EXPECT_EXIT(MSG_INTERNAL_ERROR::report("Fail to read file %s%n.txt", "FRADEL",
                                           "qpx/fradel/fradel_kvr_sign_cmd", 321),
                testing::ExitedWithCode(kInternalErrorStatus),
                "Internal error \\[FRADEL\\] qpx/fradel/fradel_kvr_sign_cmd:321: Fail to read file "
                "%s%n.txt");
}

TEST(InternalError, FlushesStdoutFirstAndRunsNothingAfterwards) {
    const kvr_test::child_output output = kvr_test::run_in_child(
        [] {
            std::atexit([] { std::fputs("exit handler ran\n", stderr); });
            std::fputs("pending output", stdout);  // fully buffered: stdout is a file here
            MSG_INTERNAL_ERROR::report("data != NULL && size == (4096 + 112)", "FRADEL",
                                       "qpx/fradel/fradel_kvr_sign_cmd", 7, "  detail line");
        },
        true);
    EXPECT_EQ(output.status, kInternalErrorStatus);
    EXPECT_EQ(output.out,
              "pending output"
              "Internal error [FRADEL] qpx/fradel/fradel_kvr_sign_cmd:7: "
              "data != NULL && size == (4096 + 112)\n"
              "  detail line\n");
}

TEST(InternalError, AnInterceptorTurnsTheStopIntoAThrow) {
    struct stop {
        std::string text;
    };
    MSG_INTERNAL_ERROR::set_interceptor(
        [](const char* message, const char* tag, const char* file, int32_t line) {
            throw stop{std::string(tag) + "|" + file + "|" + std::to_string(line) + "|" + message};
        });
    std::string caught;
    try {
        MSG_INTERNAL_ERROR::report("modules.size()", "FRADEL", "src", 12);
    } catch (const stop& error) {
        caught = error.text;
    }
    MSG_INTERNAL_ERROR::set_interceptor(nullptr);
    EXPECT_EQ(caught, "FRADEL|src|12|modules.size()");
}

TEST(InternalErrorDeathTest, AnInterceptorThatReturnsStillEndsTheProcess) {
    EXPECT_EXIT(
        {
            MSG_INTERNAL_ERROR::set_interceptor(
                [](const char*, const char*, const char*, int32_t) {});
            MSG_INTERNAL_ERROR::report("still stops", "T", "f", 1);
        },
        testing::ExitedWithCode(kInternalErrorStatus), "still stops");
}

// ---- Memory initialiser -------------------------------------------------------------------

TEST(MemInitializer, KeepsItsTagAndTurnsOffCoreFiles) {
    const kvr_test::child_output output = kvr_test::run_in_child([] {
        const MEM_INITIALIZER initializer("FRADEL");
        rlimit limit{};
        getrlimit(RLIMIT_CORE, &limit);
        std::printf("%s %llu %llu\n", initializer.tag(),
                    static_cast<unsigned long long>(limit.rlim_cur),
                    static_cast<unsigned long long>(limit.rlim_max));
    });
    EXPECT_EQ(output.status, 0);
    EXPECT_EQ(output.out, "FRADEL 0 0\n");
}

}  // namespace
