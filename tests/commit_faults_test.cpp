// Systematic fault injection over a whole signing run. A small job is traced once to list every
// file-touching system call it makes; then it runs again and again under the tracer, each time
// with one of those calls failed (or the process killed at it), and after each run one invariant
// is checked: either exit 0 with every output signed under the one key entry and every replaced
// file's permission bits kept, or a failure that left every output, the key entry and every
// input as they were, with no staged file, way back or journal left (other than files the run
// named as not removed). After a kill, a plain rerun must sign the whole set from the original
// inputs. The quick form runs in the default suite; the full form (more errors, every kill
// point, SIGTERM) runs with the label "faults".
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "process.h"
#include "signature.h"
#include "traced_run.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::bytes;
using kvr_test::folder_state;
using kvr_test::process_result;
using kvr_test::traced_call;

const std::vector<std::string> kJob = {"a.module;a.module", "b.module;out/b.module",
                                       "c.module;out/c.module", "key.module"};
const std::vector<std::string> kOutputs = {"a.module", "out/b.module", "out/c.module"};

bool is_leftover(const std::string& name) {
    return name.find(".kvr_sign-") != std::string::npos;
}

class CommitFaults : public ::testing::Test {
  protected:
    kvr_test::temp_dir dir;
    bytes original_a;
    int undone_by_rerun = 0;  // reruns that found and undid a killed run's commit

    // An in-place module, an output that replaces a file, a new output in another folder, and
    // a key entry that replaces an old one; the replaced files have their own permission bits.
    void lay_out() {
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            fs::remove_all(entry.path());
        }
        fs::create_directory(dir / "out");
        original_a = kvr_test::make_unsigned_module(1);
        kvr_test::write_bytes(dir / "a.module", original_a);
        kvr_test::write_bytes(dir / "b.module", kvr_test::make_unsigned_module(2));
        kvr_test::write_bytes(dir / "c.module", kvr_test::make_unsigned_module(3));
        kvr_test::write_bytes(dir / "out/b.module", bytes{'o', 'l', 'd'});
        kvr_test::write_bytes(dir / "key.module", bytes{'k', 'e', 'y'});
        fs::permissions(dir / "a.module", fs::perms(0640));
        fs::permissions(dir / "out/b.module", fs::perms(0600));
        fs::permissions(dir / "key.module", fs::perms(0600));
    }

    process_result traced(const std::vector<std::string>& inject, const std::string& log) const {
        return kvr_test::run_traced(KVR_STRACE_PATH, KVR_SIGN_PATH, kJob, dir.path().string(),
                                    inject, log);
    }

    std::string log_path() const {
        return (dir.path().parent_path() / (dir.path().filename().string() + ".trace")).string();
    }

    // The file-touching calls of one clean run, from the first look at an input on: the
    // program's own work, not the loading of its libraries. Writes to stdout and stderr are
    // left out: they change no file.
    std::vector<traced_call> calls_of_a_clean_run() {
        lay_out();
        const process_result run = traced({}, log_path());
        EXPECT_EQ(run.status, 0) << run.err;
        return kvr_test::file_calls(read_text(log_path()), "\"a.module\"");
    }

    static std::string read_text(const std::string& path) {
        const bytes content = kvr_test::read_bytes(path);
        return std::string(content.begin(), content.end());
    }

    folder_state state() const { return kvr_test::snapshot(dir.path()); }

    template <typename Leftover>
    static folder_state without(folder_state state, Leftover is_allowed) {
        for (auto entry = state.begin(); entry != state.end();) {
            entry = is_allowed(fs::path(entry->first).filename().string()) ? state.erase(entry)
                                                                           : std::next(entry);
        }
        return state;
    }

    // Every output verifies under the key entry, each replaced file kept its bits, and nothing
    // else changed (`after` without the leftovers a run may leave).
    void expect_whole_set(const folder_state& before, const folder_state& after) const {
        const bytes key = kvr_test::read_bytes(dir / "key.module");
        for (const std::string& output : kOutputs) {
            EXPECT_TRUE(kvr_test::signature_verifies(key, kvr_test::read_bytes(dir / output)))
                << output;
        }
        const bytes signed_a = kvr_test::read_bytes(dir / "a.module");
        EXPECT_TRUE(std::equal(original_a.begin(), original_a.begin() + 4096, signed_a.begin()));
        for (const std::string replaced : {"a.module", "out/b.module", "key.module"}) {
            EXPECT_EQ(after.at(replaced).substr(0, 4), before.at(replaced).substr(0, 4))
                << replaced;
        }
        kvr_test::expect_same_except(before, after,
                                     {"a.module", "out/b.module", "out/c.module", "key.module"});
    }

    // The invariant after one injected failure.
    void expect_whole_or_unchanged(const process_result& run, const folder_state& before) const {
        // A file the run could not remove is named on stderr; it is no target.
        const folder_state after = without(state(), [&](const std::string& name) {
            return is_leftover(name) && run.err.find(name) != std::string::npos;
        });
        if (run.status == 0) {
            expect_whole_set(before, after);
        } else {
            kvr_test::expect_same_except(before, after, {});
        }
    }

    void inject_errors(const std::vector<traced_call>& calls,
                       const std::vector<std::string>& errors) {
        for (const traced_call& call : calls) {
            for (const std::string& error : errors) {
                SCOPED_TRACE(call.name + " #" + std::to_string(call.occurrence) + " " + error);
                lay_out();
                const folder_state before = state();
                const process_result run = traced(
                    {call.name + ":error=" + error + ":when=" + std::to_string(call.occurrence)},
                    log_path());
                ASSERT_NE(read_text(log_path()).find("(INJECTED)"), std::string::npos);
                expect_whole_or_unchanged(run, before);
                if (HasFailure()) {
                    return;
                }
            }
        }
    }

    // Kills the run at each call of the commit; a plain rerun must then sign the whole set.
    void inject_signal(const std::vector<traced_call>& calls, const std::string& signal) {
        for (const traced_call& call : calls) {
            SCOPED_TRACE(call.name + " #" + std::to_string(call.occurrence) + " " + signal);
            lay_out();
            const folder_state before = state();
            const process_result run = traced(
                {call.name + ":signal=" + signal + ":when=" + std::to_string(call.occurrence)},
                log_path());
            ASSERT_NE(read_text(log_path()).find("+++ killed by " + signal), std::string::npos)
                << run.status;
            if (signal == "SIGTERM") {
                EXPECT_NE(run.err.find("Stopped by SIGTERM: "), std::string::npos) << run.err;
                const bool finished = run.err.find("commit was finished") != std::string::npos;
                expect_whole_or_unchanged({finished ? 0 : run.status, run.out, run.err}, before);
            }
            // Once the journal is marked committed (or gone after it) the commit is final: the
            // whole new set is there and a plain rerun only finishes the clean-up, then refuses
            // the in-place input that is signed now. Before that a plain rerun undoes the
            // commit and signs the set from the original inputs. Either way nothing of the
            // tool's own is left.
            const fs::path journal = dir / "key.module.kvr_sign-journal";
            const bool final = fs::exists(journal)
                                   ? read_text(journal.string()).ends_with("end\ncommitted\n")
                                   : kvr_test::read_bytes(dir / "a.module") != original_a;
            const process_result rerun =
                kvr_test::run_program(KVR_SIGN_PATH, kJob, dir.path().string());
            if (final) {
                EXPECT_EQ(rerun.status, 70) << rerun.err;
                EXPECT_NE(rerun.err.find("it is already signed"), std::string::npos) << rerun.err;
            } else {
                ASSERT_EQ(rerun.status, 0) << rerun.err;
                undone_by_rerun += rerun.err.find("it was undone") != std::string::npos ? 1 : 0;
            }
            expect_whole_set(before, state());
            if (HasFailure()) {
                return;
            }
        }
    }

    CommitFaults() { kvr_test::let_sanitized_programs_be_traced(); }
    ~CommitFaults() override { fs::remove(log_path()); }

    // The full form: the label "faults", run with KVR_LONG_TESTS=1.
    static bool full() {
        return std::getenv("KVR_FULL_FAULTS") != nullptr &&
               std::getenv("KVR_LONG_TESTS") != nullptr;
    }
};

TEST_F(CommitFaults, EveryFailedCallLeavesAWholeSetOrNothingChanged) {
    const std::vector<traced_call> calls = calls_of_a_clean_run();
    ASSERT_GT(calls.size(), 40u);
    inject_errors(calls,
                  full() ? std::vector<std::string>{"EIO", "ENOSPC", "EDQUOT", "EACCES", "EINTR"}
                         : std::vector<std::string>{"EIO"});
}

TEST_F(CommitFaults, AKillAtAnyCallOfTheCommitIsFinishedByAPlainRerun) {
    std::vector<traced_call> calls = calls_of_a_clean_run();
    if (!full()) {
        calls.erase(std::remove_if(calls.begin(), calls.end(),
                                   [](const traced_call& c) { return !c.in_commit; }),
                    calls.end());
    }
    ASSERT_GT(calls.size(), 20u);
    inject_signal(calls, "SIGKILL");
    EXPECT_GT(undone_by_rerun, 10);
    if (full()) {
        inject_signal(calls, "SIGTERM");
    }
}

// Faults that the run outlives: a file system without locks (said in a warning), one without
// hard links (the ways back are copies), a secure heap that cannot be mapped (the key lives in
// ordinary memory). Each run still writes the whole set.
TEST_F(CommitFaults, FaultsTheRunOutlivesStillWriteTheWholeSet) {
    lay_out();
    traced({}, log_path());
    const std::string mmaps = read_text(log_path());
    // The secure heap's mapping: its 32 KiB and a guard page on each side.
    const size_t heap = mmaps.find("mmap(NULL, 40960,");
    ASSERT_NE(heap, std::string::npos);
    int heap_mmap = 0;  // counts the heap's own line too
    for (size_t at = mmaps.find("\nmmap("); at < heap; at = mmaps.find("\nmmap(", at + 1)) {
        ++heap_mmap;
    }
    std::vector<std::pair<std::string, std::string>> cases = {
        {"flock:error=ENOLCK:when=1", "Warning: folder "},
        {"linkat:error=EPERM", ""},
        {"mmap:error=ENOMEM:when=" + std::to_string(heap_mmap), ""},
    };
#ifdef __SANITIZE_ADDRESS__
    cases.pop_back();  // the sanitizer's own mappings make the heap's mapping another number
#endif
    for (const auto& [rule, said] : cases) {
        SCOPED_TRACE(rule);
        lay_out();
        const folder_state before = state();
        const process_result run = traced({rule}, log_path());
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(read_text(log_path()).find("(INJECTED)"), std::string::npos);
        EXPECT_EQ(run.err.rfind(said, 0), 0u) << run.err;
        EXPECT_EQ(said.empty(), run.err.empty()) << run.err;
        expect_whole_set(before, state());
    }
}

// The output folder is moved away and replaced by a link to a decoy folder, holding files
// under the staged names, while the run waits at the start of its commit: every file still
// lands in the folder that was resolved, and the decoy is untouched.
TEST_F(CommitFaults, AFolderSwappedBeforeTheCommitCannotRedirectIt) {
    lay_out();
    const std::vector<std::string> words = {"-qq",
                                            "-o",
                                            "/dev/null",
                                            "-e",
                                            "trace=fdatasync",
                                            "-e",
                                            "inject=fdatasync:delay_enter=1500000:when=1",
                                            KVR_SIGN_PATH};
    std::vector<std::string> args = words;
    args.insert(args.end(), kJob.begin(), kJob.end());
    const int pid = kvr_test::start_program(KVR_STRACE_PATH, args, dir.path().string());
    std::vector<std::string> staged;
    for (int wait = 0; wait < 500 && staged.size() < 2; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        staged.clear();
        for (const auto& entry : fs::directory_iterator(dir / "out")) {
            if (entry.path().filename().string().find(".kvr_sign-staged-") != std::string::npos) {
                staged.push_back(entry.path().filename().string());
            }
        }
    }
    ASSERT_EQ(staged.size(), 2u);
    fs::rename(dir / "out", dir / "moved");
    fs::create_directory(dir / "decoy");
    for (const std::string& name : staged) {
        kvr_test::write_bytes(dir / ("decoy/" + name), bytes{'d', 'e', 'c', 'o', 'y'});
    }
    fs::create_directory_symlink("decoy", dir / "out");
    const folder_state decoy = kvr_test::snapshot(dir / "decoy");
    ASSERT_EQ(kvr_test::wait_program(pid), 0);
    const bytes key = kvr_test::read_bytes(dir / "key.module");
    for (const std::string output : {"moved/b.module", "moved/c.module", "a.module"}) {
        EXPECT_TRUE(kvr_test::signature_verifies(key, kvr_test::read_bytes(dir / output)))
            << output;
    }
    kvr_test::expect_same_except(decoy, kvr_test::snapshot(dir / "decoy"), {});
}

}  // namespace
