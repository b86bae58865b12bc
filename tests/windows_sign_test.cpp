// kvr_sign.exe's write path on Windows, run under Wine: how paths split into a folder and a
// name, and a target that another program holds open.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "file_primitives.h"
#include "files.h"
#include "process.h"
#include "zrl_core.h"

namespace {

namespace fs = std::filesystem;

std::string narrow(const fs::path& path) {
    return fio_narrow_path(path.wstring());
}

TEST(WindowsPaths, SplitAtEitherSeparatorKeepingTheRoot) {
    const struct {
        const char* path;
        const char* folder;
        const char* name;
        bool full;
    } cases[] = {
        {"a.module", ".", "a.module", false},
        {"out\\a.module", "out", "a.module", false},
        {"out/sub\\a.module", "out/sub", "a.module", false},
        {"C:\\a.module", "C:\\", "a.module", true},
        {"C:a.module", "C:", "a.module", false},  // the drive's working folder
        {"\\a.module", "\\", "a.module", false},  // the working drive's root
        {"\\\\?\\C:\\a.module", "\\\\?\\C:\\", "a.module", true},
        {"\\\\?\\C:\\x\\a.module", "\\\\?\\C:\\x", "a.module", true},
        {"\\\\server\\share\\a.module", "\\\\server\\share\\", "a.module", true},
        {"\\\\?\\UNC\\server\\share\\a.module", "\\\\?\\UNC\\server\\share\\", "a.module", true},
        {"\\\\?\\Volume{0a1b}\\a.module", "\\\\?\\Volume{0a1b}\\", "a.module", true},
    };
    for (const auto& [path, folder, name, full] : cases) {
        std::string got_folder;
        std::string got_name;
        EXPECT_TRUE(fio::split_path(path, got_folder, got_name)) << path;
        EXPECT_EQ(got_folder, folder) << path;
        EXPECT_EQ(got_name, name) << path;
        EXPECT_EQ(fio::is_full_path(path), full) << path;
    }
    std::string folder;
    std::string name;
    for (const char* names_a_folder : {"out\\", "out/..", "C:\\", "\\\\server\\share\\"}) {
        EXPECT_FALSE(fio::split_path(names_a_folder, folder, name)) << names_a_folder;
    }
    for (const char* not_one_name : {"a\\b", "a/b", "a:stream", "..", ""}) {
        EXPECT_FALSE(fio::is_single_name(not_one_name)) << not_one_name;
    }
    EXPECT_EQ(fio::join_path("C:\\", "a"), "C:\\a");
    EXPECT_EQ(fio::join_path("\\\\?\\C:\\x", "a"), "\\\\?\\C:\\x\\a");
}

// Opens `path` as another program would: reading and writing shared, removal and renaming not.
HANDLE hold_open(const std::string& path) {
    return CreateFileW(fio_get_unc_full_path(path.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The rename over a target that another program holds open fails: the run names the target
// and the system's reason, undoes the commit, and leaves every file as it was.
TEST(WindowsSign, ATargetAnotherProgramHoldsOpenFailsTheRunAndChangesNothing) {
    const kvr_test::temp_dir dir;
    kvr_test::write_bytes(dir / "in.module", kvr_test::make_unsigned_module(3));
    const kvr_test::process_result first = kvr_test::run_program(
        KVR_SIGN_PATH, {"in.module;out.module", "key.module"}, narrow(dir.path()));
    ASSERT_EQ(first.status, 0) << first.err;
    const kvr_test::folder_state before = kvr_test::snapshot(dir.path());
    const HANDLE held = hold_open(dir / "out.module");
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    const kvr_test::process_result second = kvr_test::run_program(
        KVR_SIGN_PATH, {"in.module;out.module", "key.module"}, narrow(dir.path()));
    CloseHandle(held);
    EXPECT_NE(second.status, 0) << second.err;
    EXPECT_NE(second.err.find("out.module"), std::string::npos) << second.err;
    EXPECT_NE(second.err.find("reason: "), std::string::npos) << second.err;
    EXPECT_NE(second.err.find("commit: undone"), std::string::npos) << second.err;
    kvr_test::expect_same_except(before, kvr_test::snapshot(dir.path()), {});
}

// Runs at once on one set commit one after the other: a run's short look at a target (another
// run staging beside it) never fails the rename of the run that commits there.
TEST(WindowsSign, RunsAtOnceOnOneSetAllSucceed) {
    const kvr_test::temp_dir dir;
    std::string list;
    for (int n = 1; n <= 4; ++n) {
        const std::string name = "in" + std::to_string(n) + ".module";
        kvr_test::write_bytes(dir / name, kvr_test::make_unsigned_module(static_cast<uint32_t>(n)));
        list += name + ";out" + std::to_string(n) + ".module\r\n";
    }
    kvr_test::write_text(dir / "modules.txt", list);
    for (int round = 0; round < 5; ++round) {
        std::vector<int> runs;
        for (int i = 0; i < 4; ++i) {
            runs.push_back(kvr_test::start_program(KVR_SIGN_PATH, {"modules.txt", "key.module"},
                                                   narrow(dir.path())));
        }
        for (const int run : runs) {
            EXPECT_EQ(kvr_test::wait_program(run), 0) << "round " << round;
        }
    }
    for (const auto& [name, content] : kvr_test::snapshot(dir.path())) {
        EXPECT_EQ(name.find(".kvr_sign-"), std::string::npos) << name;
    }
}

// Names that differ only in case name one file on Windows: the later pair's image remains, as
// for two pairs naming one output on Linux, instead of a failure to stage the second.
TEST(WindowsSign, OutputsThatDifferOnlyInCaseAreOneOutput) {
    const kvr_test::temp_dir dir;
    kvr_test::write_bytes(dir / "a.module", kvr_test::make_unsigned_module(1));
    kvr_test::write_bytes(dir / "b.module", kvr_test::make_unsigned_module(2));
    const kvr_test::process_result result = kvr_test::run_program(
        KVR_SIGN_PATH, {"a.module;Out.module", "b.module;OUT.module", "key.module"},
        narrow(dir.path()));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("is named by 2 pairs"), std::string::npos) << result.err;
    const kvr_test::process_result verified =
        kvr_test::run_program(KVR_VERIFY_PATH, {"out.module", "key.module"}, narrow(dir.path()));
    EXPECT_EQ(verified.status, 0) << verified.out;
    EXPECT_EQ(kvr_test::snapshot(dir.path()).size(), 4u);  // a, b, the output and the key entry
}

// A device name, which other Windows programs could not open, is refused with its reason
// before anything is written. (A name ending in a dot or a space cannot be given: outputs and
// key entries end in ".module". Only a link's target could bring one.)
TEST(WindowsSign, NamesOtherProgramsCouldNotOpenAreRefusedBeforeAnythingIsWritten) {
    const kvr_test::temp_dir dir;
    kvr_test::write_bytes(dir / "in.module", kvr_test::make_unsigned_module(1));
    const struct {
        const char* output;
        const char* key;
        const char* reason;
    } cases[] = {
        {"CON.module", "key.module", "a device name on Windows"},
        {"out.module", "com1.module", "a device name on Windows"},
        {"LPT\xC2\xB9.module", "key.module", "a device name on Windows"},
    };
    for (const auto& [output, key, reason] : cases) {
        kvr_test::write_text(dir / "list.txt", std::string("in.module;") + output + "\r\n");
        const kvr_test::folder_state before = kvr_test::snapshot(dir.path());
        const kvr_test::process_result run =
            kvr_test::run_program(KVR_SIGN_PATH, {"list.txt", key}, narrow(dir.path()));
        EXPECT_NE(run.status, 0) << output;
        EXPECT_NE(run.err.find("Fail to open "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(std::string("  reason: ") + reason), std::string::npos) << run.err;
        kvr_test::expect_same_except(before, kvr_test::snapshot(dir.path()), {});
    }
}

}  // namespace
