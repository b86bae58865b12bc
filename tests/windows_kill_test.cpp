// kvr_sign.exe killed at each step of a run, under Wine: a test build of the same core ends
// itself at once (TerminateProcess, no clean-up) before its n-th primitive that changes or
// flushes a file, for n = 1, 2, ... until a run gets through. After each kill a plain run of
// kvr_sign.exe must leave the whole new set (the commit was final, or it undid the killed
// run's commit and signed the set again) and nothing of the tool's own, as on Linux.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "files.h"
#include "process.h"
#include "signature.h"
#include "zrl_core.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::bytes;

const std::vector<std::string> kJob = {"a.module;a.module", "b.module;out\\b.module",
                                       "c.module;out\\c.module", "key.module"};
const std::vector<std::string> kOutputs = {"a.module", "out/b.module", "out/c.module"};
constexpr int kKilled = 137;
constexpr int kInputSigned = 70;

class WindowsKill : public ::testing::Test {
  protected:
    kvr_test::temp_dir dir;
    bytes original_a = kvr_test::make_unsigned_module(1);

    // An in-place module, an output that replaces a file, a new output in another folder, and
    // a key entry that replaces an old one.
    void lay_out() {
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            fs::remove_all(entry.path());
        }
        fs::create_directory(dir.path() / "out");
        kvr_test::write_bytes(dir / "a.module", original_a);
        kvr_test::write_bytes(dir / "b.module", kvr_test::make_unsigned_module(2));
        kvr_test::write_bytes(dir / "c.module", kvr_test::make_unsigned_module(3));
        kvr_test::write_bytes(dir / "out/b.module", bytes{'o', 'l', 'd'});
        kvr_test::write_bytes(dir / "key.module", bytes{'k', 'e', 'y'});
    }

    std::string where() const { return fio_narrow_path(dir.path().wstring()); }

    kvr_test::process_result stopped_at(int step) const {
        SetEnvironmentVariableW(L"KVR_TEST_STOP_AT", std::to_wstring(step).c_str());
        kvr_test::process_result run = kvr_test::run_program(KVR_SIGN_STOP_AT_PATH, kJob, where());
        SetEnvironmentVariableW(L"KVR_TEST_STOP_AT", nullptr);
        return run;
    }

    // The commit is final once the journal says so, or once the journal is gone and the
    // in-place module is signed.
    bool commit_was_final() const {
        const fs::path journal = dir.path() / "key.module.kvr_sign-journal";
        if (fs::exists(journal)) {
            const bytes text = kvr_test::read_bytes(journal.string());
            return std::string(text.begin(), text.end()).ends_with("end\ncommitted\n");
        }
        return kvr_test::read_bytes(dir / "a.module") != original_a;
    }

    void expect_whole_set(const kvr_test::folder_state& before) const {
        const bytes key = kvr_test::read_bytes(dir / "key.module");
        for (const std::string& output : kOutputs) {
            EXPECT_TRUE(kvr_test::signature_verifies(key, kvr_test::read_bytes(dir / output)))
                << output;
        }
        kvr_test::expect_same_except(before, kvr_test::snapshot(dir.path()),
                                     {"a.module", "out\\b.module", "out\\c.module", "key.module"});
    }
};

TEST_F(WindowsKill, AKillAtAnyStepIsFinishedByAPlainRerun) {
    int kills = 0;
    int undone = 0;
    for (int step = 1;; ++step) {
        SCOPED_TRACE("killed before changing step " + std::to_string(step));
        lay_out();
        const kvr_test::folder_state before = kvr_test::snapshot(dir.path());
        const kvr_test::process_result run = stopped_at(step);
        if (run.status == 0) {
            expect_whole_set(before);
            break;
        }
        ASSERT_EQ(run.status, kKilled) << run.err;
        ++kills;
        const bool final = commit_was_final();
        const kvr_test::process_result rerun = kvr_test::run_program(KVR_SIGN_PATH, kJob, where());
        if (final) {
            EXPECT_EQ(rerun.status, kInputSigned) << rerun.err;
            EXPECT_NE(rerun.err.find("it is already signed"), std::string::npos) << rerun.err;
        } else {
            ASSERT_EQ(rerun.status, 0) << rerun.err;
            undone += rerun.err.find("it was undone") != std::string::npos ? 1 : 0;
        }
        expect_whole_set(before);
        if (HasFailure()) {
            return;
        }
    }
    RecordProperty("kills", kills);
    RecordProperty("undone_by_rerun", undone);
    EXPECT_GT(kills, 20);
    EXPECT_GT(undone, 5);
}

}  // namespace
