// The write path on the file systems a release machine may have: images on loop devices (ext4
// with and without a journal, ext2, xfs, btrfs), tmpfs, overlays (on one file system, and over a
// tmpfs or a squashfs lower layer with an ext4 upper one, the tree laid in the lower layer) and
// a FUSE passthrough. On each, a set is signed new, over old outputs, in place, and over three
// folders; the three-folder job is then killed at every call of its commit and run again (also
// after a remount, as after a reboot), and failed at every call of its commit. Each state is
// judged whole or nothing: the old set exactly, or every output verifying under the key entry
// with the replaced files' permission bits kept and everything else unchanged; and nothing of
// the tool's own is left. On ext4 with a journal, which gives a freed inode number out again at
// once, a way back that is a copy is told from a newer file given its origin's number. Runs as
// root; skipped, with the reason, where loop devices or mounts cannot be made.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "process.h"
#include "scratch_fs.h"
#include "traced_run.h"

namespace kvr_test {

void PrintTo(const fs_layout& layout, std::ostream* out) {
    *out << layout.name;
}

}  // namespace kvr_test

namespace {

namespace fs = std::filesystem;
using kvr_test::folder_state;
using kvr_test::fs_layout;
using kvr_test::process_result;
using kvr_test::traced_call;

struct module_pair {
    std::string input;
    std::string output;
    uint32_t variant = 0;
    fs::perms mode = fs::perms(0644);
};

struct old_file {
    std::string path;
    std::string text;
    fs::perms mode;
};

struct signing_job {
    std::vector<module_pair> pairs;
    std::string key;
    std::vector<old_file> old_files;  // outputs and key entry there before the run

    std::vector<std::string> args() const {
        std::vector<std::string> words;
        for (const module_pair& pair : pairs) {
            words.push_back(pair.input + ";" + pair.output);
        }
        words.push_back(key);
        return words;
    }

    std::vector<std::string> targets() const {
        std::vector<std::string> names;
        for (const module_pair& pair : pairs) {
            names.push_back(pair.output);
        }
        names.push_back(key);
        return names;
    }

    void write(const fs::path& root) const {
        const auto place = [&](const std::string& name, const kvr_test::bytes& content,
                               fs::perms mode) {
            fs::create_directories((root / name).parent_path());
            kvr_test::write_bytes((root / name).string(), content);
            fs::permissions(root / name, mode);
        };
        for (const module_pair& pair : pairs) {
            place(pair.input, kvr_test::make_unsigned_module(pair.variant), pair.mode);
        }
        for (const old_file& file : old_files) {
            place(file.path, kvr_test::bytes(file.text.begin(), file.text.end()), file.mode);
        }
        fs::create_directories((root / key).parent_path());
    }
};

const signing_job kNewSet = {
    {{"in/a.module", "out/a.module", 1}, {"in/b.module", "out/b.module", 2}}, "out/key.module", {}};
const signing_job kReplacement = {kNewSet.pairs,
                                  kNewSet.key,
                                  {{"out/a.module", "old a", fs::perms(0640)},
                                   {"out/b.module", "old b", fs::perms(0600)},
                                   {"out/key.module", "old key", fs::perms(0600)}}};
const signing_job kInPlace = {{{"m/a.module", "m/a.module", 1, fs::perms(0640)},
                               {"m/b.module", "m/b.module", 2, fs::perms(0600)}},
                              "m/key.module",
                              {}};
// Also the job of the kills and failures: an in-place pair, a replaced output in another
// folder, and a replaced key entry in a third.
const signing_job kThreeFolders = {
    {{"a/a.module", "a/a.module", 1, fs::perms(0640)}, {"in/b.module", "b/b.module", 2}},
    "k/key.module",
    {{"b/b.module", "old b", fs::perms(0600)}, {"k/key.module", "old key", fs::perms(0600)}}};

std::vector<fs_layout> layouts() {
    const std::vector<std::string> ext4 = {"mkfs.ext4", "-q", "-F"};
    return {
        {"ext4", "ext4", ext4, "", false},
        {"ext4_without_journal",
         "ext4",
         {"mkfs.ext4", "-q", "-F", "-O", "^has_journal"},
         "",
         false},
        {"ext2", "ext2", {"mkfs.ext2", "-q", "-F"}, "", false},
        {"xfs", "xfs", {"mkfs.xfs", "-q"}, "", false},
        {"btrfs", "btrfs", {"mkfs.btrfs", "-q"}, "", false},
        {"tmpfs", "tmpfs", {}, "", false},
        {"overlay_on_one_ext4", "ext4", ext4, "same", false},
        {"overlay_tmpfs_lower_ext4_upper", "ext4", ext4, "tmpfs", false},
        {"overlay_squashfs_lower_ext4_upper", "ext4", ext4, "squashfs", false},
        {"bindfs_over_ext4", "ext4", ext4, "", true},
    };
}

bool is_tool_file(const std::string& path) {
    return fs::path(path).filename().string().find(".kvr_sign-") != std::string::npos;
}

std::string mode_text(fs::perms mode) {
    std::ostringstream text;
    text << std::oct << static_cast<int>(mode);
    return text.str();
}

// Entries that differ between two states, but for the named ones.
std::string differences(const folder_state& before, const folder_state& after,
                        const std::vector<std::string>& except) {
    const auto skipped = [&](const std::string& name) {
        return std::find(except.begin(), except.end(), name) != except.end();
    };
    std::string found;
    for (const auto& [name, entry] : before) {
        const auto now = after.find(name);
        if (!skipped(name) && now == after.end()) {
            found += "  gone: " + name + "\n";
        } else if (!skipped(name) && now->second != entry) {
            found += "  changed: " + name + "\n";
        }
    }
    for (const auto& [name, entry] : after) {
        if (!skipped(name) && before.count(name) == 0) {
            found += "  appeared: " + name + "\n";
        }
    }
    return found;
}

// The file system of `layout`, or null with the reason it cannot be made here.
std::unique_ptr<kvr_test::scratch_fs> make_scratch(const fs_layout& layout, std::string& why) {
    why = kvr_test::mounts_unavailable();
    if (!why.empty()) {
        return nullptr;
    }
    try {
        kvr_test::let_sanitized_programs_be_traced();
        return std::make_unique<kvr_test::scratch_fs>(layout);
    } catch (const std::exception& error) {
        why = layout.name + " cannot be made here: " + error.what();
        return nullptr;
    }
}

// A step's report on one line: how the run (and the rerun) ended and why, the set, and the
// first thing found wrong.
std::string in_brief(const std::string& found) {
    std::istringstream lines(found);
    std::string brief;
    std::getline(lines, brief);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  reason: ", 0) == 0) {
            brief += " (" + line.substr(10) + ")";
        }
        if (line.rfind("rerun: status", 0) == 0) {
            brief += "; " + line;
        }
        if (line.rfind("  set:", 0) == 0) {
            brief += " | " + line.substr(2);
            if (std::getline(lines, line)) {
                brief += " | " + line.substr(2);
            }
            break;
        }
    }
    return brief;
}

class OnFileSystem : public ::testing::TestWithParam<fs_layout> {
  protected:
    kvr_test::temp_dir logs;
    std::unique_ptr<kvr_test::scratch_fs> scratch;

    void SetUp() override {
        std::string why;
        scratch = make_scratch(GetParam(), why);
        if (scratch == nullptr) {
            GTEST_SKIP() << why;
        }
    }
    void TearDown() override { scratch.reset(); }

    fs::path root() const { return scratch->root(); }
    std::string log() const { return logs / "trace"; }

    folder_state lay(const signing_job& job) {
        scratch->lay([&](const fs::path& tree) { job.write(tree); });
        return kvr_test::snapshot(root());
    }

    process_result sign(const signing_job& job) const {
        return kvr_test::run_program(KVR_SIGN_PATH, job.args(), root().string());
    }

    process_result traced(const signing_job& job, const std::string& rule) const {
        return kvr_test::run_traced(
            KVR_STRACE_PATH, KVR_SIGN_PATH, job.args(), root().string(),
            rule.empty() ? std::vector<std::string>{} : std::vector<std::string>{rule}, log());
    }

    std::string log_text() const {
        const kvr_test::bytes content = kvr_test::read_bytes(log());
        return std::string(content.begin(), content.end());
    }

    // Where each target stands against the state before the run.
    std::string set_summary(const signing_job& job, const folder_state& before,
                            const folder_state& after) const {
        std::string summary = "  set:";
        for (const std::string& target : job.targets()) {
            const auto then = before.find(target);
            const auto now = after.find(target);
            summary += " " + target + " " +
                       (now == after.end()                                    ? "missing"
                        : then != before.end() && then->second == now->second ? "old"
                                                                              : "new");
        }
        return summary + "\n";
    }

    // The new set, whole: every output verifies under the key entry and holds its input's
    // block 0, every replaced file kept its permission bits, and nothing else changed.
    std::string new_set_problems(const signing_job& job, const folder_state& before,
                                 const folder_state& after) const {
        std::string found = differences(before, after, job.targets());
        const process_result verify =
            kvr_test::run_program(KVR_VERIFY_PATH, job.args(), root().string());
        if (verify.status != 0) {
            found += "  kvr_verify: status " + std::to_string(verify.status) + "\n" + verify.out +
                     verify.err;
        }
        for (const module_pair& pair : job.pairs) {
            const kvr_test::bytes input = kvr_test::make_unsigned_module(pair.variant);
            if (fs::exists(root() / pair.output) &&
                kvr_test::read_bytes((root() / pair.output).string()).size() == input.size() &&
                !std::equal(input.begin(), input.begin() + 4096,
                            kvr_test::read_bytes((root() / pair.output).string()).begin())) {
                found += "  not its input's block 0: " + pair.output + "\n";
            }
        }
        std::vector<std::pair<std::string, fs::perms>> kept;
        for (const module_pair& pair : job.pairs) {
            if (pair.input == pair.output) {
                kept.emplace_back(pair.output, pair.mode);
            }
        }
        for (const old_file& file : job.old_files) {
            kept.emplace_back(file.path, file.mode);
        }
        for (const auto& [name, mode] : kept) {
            std::error_code missing;
            const fs::perms now = fs::status(root() / name, missing).permissions();
            if (!missing && now != mode) {
                found += "  mode of " + name + ": " + mode_text(mode) + " became " +
                         mode_text(now) + "\n";
            }
        }
        return found;
    }

    // What is wrong with the tree: empty when it holds the new set whole (`want_new`) or else
    // the old set exactly, and nothing of the tool's own but files `named` names.
    std::string problems(const signing_job& job, const folder_state& before, bool want_new,
                         const std::string& named = "") const {
        folder_state after = kvr_test::snapshot(root());
        std::string found;
        for (auto entry = after.begin(); entry != after.end();) {
            const std::string name = fs::path(entry->first).filename().string();
            if (!is_tool_file(name)) {
                ++entry;
                continue;
            }
            if (named.find(name) == std::string::npos) {
                found += "  left: " + entry->first + "\n";
            }
            entry = after.erase(entry);
        }
        found += want_new ? new_set_problems(job, before, after) : differences(before, after, {});
        return found.empty() ? "" : set_summary(job, before, after) + found;
    }

    // After a plain rerun: the new set whole and nothing of the tool's own. A rerun that finds
    // the commit final refuses the in-place input it signed.
    std::string after_rerun(const process_result& rerun, const folder_state& before) const {
        std::string found = problems(kThreeFolders, before, true);
        const bool refused_signed =
            rerun.status == 70 && rerun.err.find("it is already signed") != std::string::npos;
        if (rerun.status != 0 && !refused_signed) {
            found += "  rerun status " + std::to_string(rerun.status) + "\n";
        }
        return found.empty()
                   ? ""
                   : "rerun: status " + std::to_string(rerun.status) + "\n" + rerun.err + found;
    }

    void expect_signed_whole(const signing_job& job) {
        const folder_state before = lay(job);
        const process_result run = sign(job);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(problems(job, before, true), "") << run.err;
    }

    // Runs `step` at each call of the three-folder job's commit, as traced in a clean run here;
    // reports how many calls went wrong and the first few in full.
    void at_each_commit_call(const std::function<std::string(const traced_call&)>& step) {
        lay(kThreeFolders);
        const process_result clean = traced(kThreeFolders, "");
        ASSERT_EQ(clean.status, 0) << clean.err;
        std::vector<traced_call> calls = kvr_test::file_calls(log_text(), "a.module\"");
        calls.erase(std::remove_if(calls.begin(), calls.end(),
                                   [](const traced_call& call) { return !call.in_commit; }),
                    calls.end());
        ASSERT_GT(calls.size(), 10u);
        int failed = 0;
        std::string listed;
        std::string report;
        for (const traced_call& call : calls) {
            const std::string found = step(call);
            if (found.empty()) {
                continue;
            }
            const std::string at = call.name + " #" + std::to_string(call.occurrence);
            listed += "  " + at + ": " + in_brief(found) + "\n";
            if (++failed <= 3) {
                report += "at " + at + ":\n" + found;
            }
        }
        EXPECT_EQ(failed, 0) << failed << " of " << calls.size() << " calls of the commit:\n"
                             << listed << report;
    }

    void kill_at_each_commit_call(bool reboot) {
        at_each_commit_call([&](const traced_call& call) -> std::string {
            const folder_state before = lay(kThreeFolders);
            const process_result run =
                traced(kThreeFolders,
                       call.name + ":signal=SIGKILL:when=" + std::to_string(call.occurrence));
            if (log_text().find("+++ killed by SIGKILL") == std::string::npos) {
                return "not killed: status " + std::to_string(run.status) + "\n" + run.err;
            }
            if (reboot) {
                scratch->reboot();
            }
            return after_rerun(sign(kThreeFolders), before);
        });
    }
};

TEST_P(OnFileSystem, ANewSet) {
    expect_signed_whole(kNewSet);
}

TEST_P(OnFileSystem, AReplacedSet) {
    expect_signed_whole(kReplacement);
}

TEST_P(OnFileSystem, InPlacePairs) {
    expect_signed_whole(kInPlace);
}

TEST_P(OnFileSystem, OutputsInTwoFoldersAndTheKeyEntryInAThird) {
    expect_signed_whole(kThreeFolders);
}

TEST_P(OnFileSystem, AKillAtEachCallOfTheCommitThenAPlainRerun) {
    kill_at_each_commit_call(false);
}

TEST_P(OnFileSystem, AKillAtEachCallOfTheCommitThenARebootAndAPlainRerun) {
    if (!scratch->survives_reboot()) {
        GTEST_SKIP() << GetParam().name << " keeps nothing across a reboot";
    }
    kill_at_each_commit_call(true);
}

// A failed call ends in the whole new set (status 0) or the old set exactly, with nothing of
// the tool's own left but files the run named; a plain rerun then leaves the whole new set and
// nothing of the tool's own.
TEST_P(OnFileSystem, AFailureAtEachCallOfTheCommit) {
    at_each_commit_call([&](const traced_call& call) -> std::string {
        const folder_state before = lay(kThreeFolders);
        const process_result run =
            traced(kThreeFolders, call.name + ":error=EIO:when=" + std::to_string(call.occurrence));
        if (log_text().find("(INJECTED)") == std::string::npos) {
            return "not injected: status " + std::to_string(run.status) + "\n" + run.err;
        }
        const std::string found = problems(kThreeFolders, before, run.status == 0, run.err);
        const std::string ran = "run: status " + std::to_string(run.status) + "\n" + run.err;
        if (!found.empty()) {
            return ran + found;
        }
        const std::string rerun = after_rerun(sign(kThreeFolders), before);
        return rerun.empty() ? "" : ran + rerun;
    });
}

INSTANTIATE_TEST_SUITE_P(Matrix, OnFileSystem, ::testing::ValuesIn(layouts()),
                         [](const ::testing::TestParamInfo<fs_layout>& layout) {
                             return layout.param.name;
                         });

// A way back that is a copy (no hard links) is the old file's content, not its inode number. On
// ext4 with a journal, which gives a freed inode number out again at once, a run killed after m1's
// rename and before m2's leaves m1's old inode free; a newer file given that number must be left
// as it is by the rerun, and the copy kept.
TEST(OnExt4WithAJournal, ACopysOriginInodeGivenToANewerFileIsNotTakenForTheOldFile) {
    std::string why;
    const std::unique_ptr<kvr_test::scratch_fs> ext4 = make_scratch(layouts().front(), why);
    if (ext4 == nullptr) {
        GTEST_SKIP() << why;
    }
    const auto write = [](const fs::path& path, const std::string& text) {
        kvr_test::write_text(path.string(), text);
    };
    const signing_job killed_job = {
        {{"in1.module", "out/m1.module", 1}, {"in2.module", "out/m2.module", 2}}, "key.module", {}};
    ext4->lay([&](const fs::path& tree) {
        killed_job.write(tree);
        fs::create_directories(tree / "out");
        write(tree / "out/m1.module", "old\n");
        write(tree / "out/m2.module", "old\n");
    });
    const fs::path out = ext4->root() / "out";
    struct stat old_m1 {};
    ASSERT_EQ(::stat((out / "m1.module").c_str(), &old_m1), 0);
    const kvr_test::temp_dir logs;
    const process_result killed = kvr_test::run_traced(
        KVR_STRACE_PATH, KVR_SIGN_PATH, killed_job.args(), ext4->root().string(),
        {"linkat:error=EMLINK", "renameat:signal=SIGKILL:when=5"}, logs / "trace");
    ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
    const kvr_test::bytes log = kvr_test::read_bytes(logs / "trace");
    const std::string trace(log.begin(), log.end());
    const size_t last_rename = trace.rfind("\nrenameat(");
    ASSERT_NE(trace.find("\"m2.module.kvr_sign-staged-", last_rename), std::string::npos) << trace;
    // The commit renamed m1 over the old file; a newer file now takes its inode number.
    fs::remove(out / "m1.module");
    for (int i = 0; i < 2000 && !fs::exists(out / "m1.module"); ++i) {
        write(out / "n.module", "new\n");
        struct stat newer {};
        if (::stat((out / "n.module").c_str(), &newer) == 0 && newer.st_ino == old_m1.st_ino) {
            fs::rename(out / "n.module", out / "m1.module");
        }
    }
    fs::remove(out / "n.module");
    ASSERT_TRUE(fs::exists(out / "m1.module")) << "ext4 did not give the inode number out again";
    const signing_job rerun_job = {{{"in3.module", "out/m3.module", 3}}, "key.module", {}};
    rerun_job.write(ext4->root());
    const process_result rerun =
        kvr_test::run_program(KVR_SIGN_PATH, rerun_job.args(), ext4->root().string());
    ASSERT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_NE(rerun.err.find("  left as it is: " + (out / "m1.module").string()), std::string::npos)
        << rerun.err;
    EXPECT_EQ(kvr_test::read_bytes((out / "m1.module").string()),
              (kvr_test::bytes{'n', 'e', 'w', '\n'}));
    std::vector<fs::path> left;
    for (const auto& entry : fs::recursive_directory_iterator(ext4->root())) {
        if (is_tool_file(entry.path().string())) {
            left.push_back(entry.path());
        }
    }
    ASSERT_EQ(left.size(), 1u) << rerun.err;
    EXPECT_EQ(kvr_test::read_bytes(left.front().string()), (kvr_test::bytes{'o', 'l', 'd', '\n'}));
}

}  // namespace
