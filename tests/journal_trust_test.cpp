// End-to-end checks of what a run does with files it did not write (journals under the trust
// rules, stale journals, dead and live runs' leftovers) and of what it writes (owners and bits,
// staged files, signal lines, runs at once). Faults are injected through strace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "process.h"
#include "signature.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::bytes;
using kvr_test::process_result;
using names = std::vector<std::string>;

constexpr const char* kSetpriv = "/usr/bin/setpriv";
constexpr const char* kJournal = "key.module.kvr_sign-journal";
constexpr const char* kUndone =
    "Warning: an earlier run was stopped during its commit; it was "
    "undone, ";
// Renames in a commit: each way back to its journal name, then each staged file over its
// target, the key entry's first. With two replaced outputs and a new key entry the fifth is
// the rename of out/m2.module's staged file: the journal is in place and m1 is committed.
constexpr const char* kKillAtM2 = "renameat:signal=SIGKILL:when=5";

std::string hex(const std::string& text) {
    std::string digits;
    for (const char letter : text) {
        const auto c = static_cast<unsigned char>(letter);
        digits += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 0x0F]};
    }
    return digits;
}

struct stat stat_of(const fs::path& path) {
    struct stat found {};
    EXPECT_EQ(::lstat(path.c_str(), &found), 0) << path;
    return found;
}

names lines_of(const std::string& text) {
    names lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A stop with status 70, the fixed line "Fail to write <path>" and exactly these detail lines.
void expect_stop(const process_result& run, const std::string& path, const names& details) {
    EXPECT_EQ(run.status, 70) << run.err;
    const names lines = lines_of(run.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines[0].starts_with("Internal error [FRADEL] ") &&
                lines[0].ends_with(": Fail to write " + path))
        << lines[0];
    EXPECT_EQ(names(lines.begin() + 1, lines.end()), details);
}

// The tool's own files (staged files, ways back, run files, journals) anywhere under `root`.
names own_files(const fs::path& root) {
    names found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename().string().find(".kvr_sign-") != std::string::npos) {
            found.push_back(entry.path().lexically_relative(root).string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

// A run is not dumpable: only root's tracer reads the names it passes to the kernel.
constexpr const char* kTracedAsRoot = "needs root: strace reads a run's names only as root";

bool lacks_root() {
    return ::geteuid() != 0 || !fs::exists(kSetpriv);
}

void write_file(const fs::path& path, const std::string& text, unsigned mode = 0644) {
    fs::create_directories(path.parent_path());
    kvr_test::write_text(path.string(), text);
    fs::permissions(path, fs::perms(mode));
}

class JournalTrust : public ::testing::Test {
  protected:
    kvr_test::temp_dir dir;
    const fs::path root = fs::canonical(dir.path());

    JournalTrust() {
#ifdef __SANITIZE_ADDRESS__
        // The leak checker stops the world with ptrace, which a traced process cannot do.
        const char* options = std::getenv("ASAN_OPTIONS");
        const std::string with = (options != nullptr ? options + std::string(":") : "");
        setenv("ASAN_OPTIONS", (with + "detect_leaks=0").c_str(), 1);
#endif
    }

    std::string at(const std::string& name) const {
        return (root / name).string();
    }

    // Inputs in<i>.module and the pairs that sign them into <folder>/m<i>.module, then `key`.
    names job(const std::vector<int>& modules, const std::string& key,
              const std::string& folder = "out") const {
        fs::create_directories(root / folder);
        names args;
        for (const int i : modules) {
            const std::string input = "in" + std::to_string(i) + ".module";
            kvr_test::write_bytes(at(input),
                                  kvr_test::make_unsigned_module(static_cast<uint32_t>(i)));
            args.push_back(input + ";" + folder + "/m" + std::to_string(i) + ".module");
        }
        args.push_back(key);
        return args;
    }

    process_result run(const names& args) const {
        return kvr_test::run_program(KVR_SIGN_PATH, args, root.string());
    }

    // The job under strace, tracing `calls`, with the injection `rules`; its trace in `log`. The
    // first failed rename (or else the last, where the run was killed) must be one on `hit`.
    process_result traced(const names& rules, const names& args, const std::string& hit,
                          std::string* log = nullptr,
                          const std::string& calls = "renameat,renameat2,linkat") const {
        const std::string path = root.string() + ".trace";
        names words = {"-qq", "-o", path, "-e", "trace=" + calls};
        for (const std::string& rule : rules) {
            words.insert(words.end(), {"-e", "inject=" + rule});
        }
        words.push_back(KVR_SIGN_PATH);
        words.insert(words.end(), args.begin(), args.end());
        const process_result result = kvr_test::run_program(KVR_STRACE_PATH, words, root.string());
        const bytes traced = kvr_test::read_bytes(path);
        const std::string text(traced.begin(), traced.end());
        fs::remove(path);
        std::string call;
        for (const std::string& line : lines_of(text)) {
            call = line.starts_with("renameat(") && !call.ends_with("(INJECTED)") ? line : call;
        }
        EXPECT_NE(call.find(hit), std::string::npos) << text;
        if (log != nullptr) {
            *log = text;
        }
        return result;
    }

    bool verifies(const std::string& key, const names& outputs) const {
        const bytes entry = kvr_test::read_bytes(at(key));
        return std::all_of(outputs.begin(), outputs.end(), [&](const std::string& output) {
            return kvr_test::signature_verifies(entry, kvr_test::read_bytes(at(output)));
        });
    }

    // A run of `key` over m1 and m2, both replacing old files, killed at kKillAtM2.
    void kill_mid_commit(const std::string& key) const {
        write_file(at("out/m1.module"), "old\n");
        write_file(at("out/m2.module"), "old\n");
        const process_result killed =
            traced({kKillAtM2}, job({1, 2}, key), "\"m2.module.kvr_sign-staged-");
        ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
    }
};

// ---- An untrusted journal stops the run before anything is written ------------------------

// A journal of this tool in every way but the one a case breaks: it names the key entry and,
// in a victim folder elsewhere, a file that an undo trusting it would remove (`entry`: by the
// victim folder, by a path from the job's folder, or as "..").
std::string harmful_journal(const fs::path& job, const fs::path& victim, const std::string& key,
                            const std::string& entry) {
    const auto folder = [](const fs::path& path) {
        const struct stat found = stat_of(path);
        return "folder " + hex(path.string()) + " " + std::to_string(found.st_dev) + " " +
               std::to_string(found.st_ino) + "\n";
    };
    const struct stat secret = stat_of(victim / "secret");
    const std::string named = entry == "path"
                                  ? "0 " + hex("../" + victim.filename().string() + "/secret")
                              : entry == ".." ? "1 " + hex("..")
                                              : "1 " + hex("secret");
    return "kvr_sign commit journal 2\nrun AAAAAA\nkey " + hex(key) + "\n" + folder(job) +
           folder(victim) + "file 0 " + hex(key) + " 1 0 0 420 256 -\nfile " + named + " " +
           std::to_string(secret.st_ino) + " " + std::to_string(secret.st_uid) + " " +
           std::to_string(secret.st_gid) + " " + std::to_string(secret.st_mode & 07777) + " " +
           std::to_string(secret.st_size) + " -\nend\n";
}

// Leaves `text` as the journal in the way `how` names.
void plant(const fs::path& journal, const std::string& text, const std::string& how) {
    if (how == "another user's") {
        kvr_test::run_program(kSetpriv,
                              {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c",
                               "umask 022 && printf %s \"$1\" > \"$2\"", "sh", text, journal},
                              "/");
        EXPECT_EQ(stat_of(journal).st_uid, 65534u);
        return;
    }
    if (how == "FIFO") {
        ASSERT_EQ(::mkfifo(journal.c_str(), 0600), 0);
        return;
    }
    const fs::path file = how == "link" ? fs::path(journal.string() + ".aside") : journal;
    write_file(file, how == "no end mark" ? text.substr(0, text.rfind("end\n")) : text,
               how == "mode 0666" ? 0666 : 0600);
    if (how == "link") {
        fs::create_symlink(file, journal);
    } else if (how == "over 64 MiB") {
        fs::resize_file(file, (64u << 20) + 1);
    }
}

TEST(JournalTrustRules, AJournalThatBreaksARuleStopsTheRunAndIsLeftAsItIs) {
    struct refused_case {
        std::string how;
        std::string why;
        std::string entry = "victim";
        std::string key = "key.module";
    };
    const std::vector<refused_case> cases = {
        {"another user's", "it is owned by user 65534, not by this user (0)"},
        {"FIFO", "it is not a regular file"},
        {"link", "it is a symbolic link"},
        {"mode 0666", "users other than its owner may write it (mode 0666)"},
        {"over 64 MiB", "it holds 67108865 bytes, more than a journal may (67108864)"},
        {"no end mark", "it is not complete (its end mark is missing)"},
        {"of another key entry", "it is the journal of another key entry", "victim",
         "other.module"},
        {"a path as a name", "line 7 is not well formed", "path"},
        {"\"..\" as a name", "line 7 is not well formed", ".."},
    };
    bool skipped = false;
    for (const refused_case& test : cases) {
        SCOPED_TRACE(test.how);
        if (test.how == "another user's" && lacks_root()) {
            skipped = true;
            continue;
        }
        // A job folder open to all (as /tmp is), and a victim folder with a root-only file.
        kvr_test::temp_dir job_dir;
        kvr_test::temp_dir victim_dir;
        const fs::path job = fs::canonical(job_dir.path());
        const fs::path victim = fs::canonical(victim_dir.path());
        fs::permissions(job, fs::perms(01777));
        write_file(victim / "secret", "secret\n", 0600);
        kvr_test::write_bytes((job / "in.module").string(), kvr_test::make_unsigned_module(1));
        plant(job / kJournal, harmful_journal(job, victim, test.key, test.entry), test.how);
        const auto before = kvr_test::snapshot(job);
        const auto victim_before = kvr_test::snapshot(victim);
        const process_result stopped = kvr_test::run_program(
            "/usr/bin/timeout", {"20", KVR_SIGN_PATH, "in.module;out.module", "key.module"},
            job.string());
        expect_stop(stopped, "key.module",
                    {"  reason: an earlier run's journal is not trusted: " + test.why,
                     "  journal: " + (job / kJournal).string(),
                     "  hint: a run of yours that was stopped during its commit leaves a journal "
                     "that only you may write; delete it if no run of yours left it"});
        kvr_test::expect_same_except(before, kvr_test::snapshot(job), {});
        kvr_test::expect_same_except(victim_before, kvr_test::snapshot(victim), {});
    }
    if (skipped) {
        GTEST_SKIP() << "the journal of another user needs root and setpriv; the others passed";
    }
}

// ---- Undo only what the run itself did -----------------------------------------------------

TEST_F(JournalTrust, AStaleJournalNeverRevertsNewerWork) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << kTracedAsRoot;
    }
    kill_mid_commit("kA.module");
    const bytes journal = kvr_test::read_bytes(at("kA.module.kvr_sign-journal"));
    const std::string id(journal.begin() + 30, journal.begin() + 36);  // its "run" line
    fs::rename(at("kA.module.kvr_sign-journal"), at("aside"));
    ASSERT_EQ(run(job({1, 2}, "kB.module")).status, 0);
    ASSERT_TRUE(verifies("kB.module", {"out/m1.module", "out/m2.module"}));
    const auto newer = kvr_test::snapshot(root / "out");
    fs::rename(at("aside"), at("kA.module.kvr_sign-journal"));
    const process_result rerun = run(job({3}, "kA.module"));
    ASSERT_EQ(rerun.status, 0) << rerun.err;
    std::string expected = std::string(kUndone) + "1 file(s) put back as they were before it\n" +
                           "  journal: " + at("kA.module.kvr_sign-journal") + " (removed)\n";
    for (const std::string output : {"out/m2.module", "out/m1.module"}) {
        expected += "  left as it is: " + at(output) +
                    " (written by another run since); the file it held before is kept as " +
                    at(output) + ".kvr_sign-backup-" + id + "\n";
    }
    EXPECT_EQ(rerun.err, expected);
    kvr_test::expect_same_except(newer, kvr_test::snapshot(root / "out"), {"m3.module"});
    EXPECT_TRUE(verifies("kA.module", {"out/m3.module"}));
    EXPECT_EQ(own_files(root), (names{"out/m1.module.kvr_sign-backup-" + id,
                                      "out/m2.module.kvr_sign-backup-" + id}));
}

// An output the killed commit renamed, whose bits were changed since, is still the run's (its
// content says so) and is put back with the others: the set is never left mixed.
TEST_F(JournalTrust, AnOutputWhoseBitsChangedAfterAKillIsStillPutBack) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << kTracedAsRoot;
    }
    kill_mid_commit("key.module");
    fs::permissions(at("out/m1.module"), fs::perms(0600));
    const process_result rerun = run(job({1, 2}, "key.module"));
    ASSERT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_TRUE(rerun.err.starts_with(std::string(kUndone) + "2 file(s) put back")) << rerun.err;
    EXPECT_EQ(rerun.err.find("left as it is"), std::string::npos) << rerun.err;
    EXPECT_TRUE(verifies("key.module", {"out/m1.module", "out/m2.module"}));
    EXPECT_EQ(own_files(root), names{});
}

TEST_F(JournalTrust, LongKeyNamesThatDifferAtTheEndKeepTheirJournalsApart) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << kTracedAsRoot;
    }
    const std::string key1 = std::string(232, 'k') + "1.module";
    const std::string key2 = std::string(232, 'k') + "2.module";
    kill_mid_commit(key1);
    const auto journals = [&] {
        names found = own_files(root);
        std::erase_if(found, [](const std::string& name) { return !name.ends_with("-journal"); });
        return found;
    };
    const names journal1 = journals();
    ASSERT_EQ(journal1.size(), 1u);
    const bytes text1 = kvr_test::read_bytes(at(journal1[0]));
    const process_result other = run(job({3}, key2));
    ASSERT_EQ(other.status, 0) << other.err;
    EXPECT_EQ(other.err.find("undone"), std::string::npos) << other.err;
    ASSERT_EQ(journals(), journal1);
    EXPECT_EQ(kvr_test::read_bytes(at(journal1[0])), text1);
    EXPECT_TRUE(verifies(key1, {"out/m1.module"}));  // run 1's commit as it left it
    const process_result rerun = run(job({1, 2}, key1));
    ASSERT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_TRUE(rerun.err.starts_with(std::string(kUndone) + "2 file(s) put back")) << rerun.err;
    EXPECT_TRUE(verifies(key1, {"out/m1.module", "out/m2.module"}));
    EXPECT_EQ(own_files(root), names{});
}

// ---- Owners and modes ------------------------------------------------------------------------

// Without hard links the way back is a copy; a failed rename then undoes the commit from it.
TEST_F(JournalTrust, ACommitUndoneFromACopyPutsBackTheOwnerAndBits) {
    if (lacks_root()) {
        GTEST_SKIP() << "needs root to give the target another owner";
    }
    struct copy_case {
        std::string what;
        std::vector<int> modules;
        std::string failed_rename;  // 1: m1's way back, 2: the key entry, 3: m1, 4: m2
        std::string failed_output;
    };
    for (const copy_case& test : {copy_case{"the target's own rename fails", {1}, "3", "m1"},
                                  copy_case{"a later rename fails", {1, 2}, "4", "m2"}}) {
        SCOPED_TRACE(test.what);
        for (const auto& entry : fs::directory_iterator(root)) {
            fs::remove_all(entry.path());
        }
        write_file(at("out/m1.module"), "old\n");
        ASSERT_EQ(::chown(at("out/m1.module").c_str(), 1003, 1002), 0);
        fs::permissions(at("out/m1.module"), fs::perms(06750));
        const process_result failed =
            traced({"linkat:error=EMLINK", "renameat:error=EIO:when=" + test.failed_rename},
                   job(test.modules, "key.module"),
                   "\"" + test.failed_output + ".module.kvr_sign-staged-");
        expect_stop(failed, "out/" + test.failed_output + ".module",
                    {"  reason: Input/output error (renaming its staged file over it)",
                     "  commit: undone; every output and the key entry are as they were"});
        const struct stat back = stat_of(at("out/m1.module"));
        EXPECT_EQ(back.st_uid, 1003u);
        EXPECT_EQ(back.st_gid, 1002u);
        EXPECT_EQ(back.st_mode & 07777, 06750u);
        EXPECT_EQ(kvr_test::read_bytes(at("out/m1.module")), (bytes{'o', 'l', 'd', '\n'}));
        EXPECT_FALSE(fs::exists(at("key.module")) || fs::exists(at("out/m2.module")));
        EXPECT_EQ(own_files(root), names{});
    }
}

TEST_F(JournalTrust, ANonRootRunnerKeepsTheOldGroupWhereItMay) {
    if (lacks_root()) {
        GTEST_SKIP() << "needs root and setpriv to run as user 1003";
    }
    names words = {"--reuid=1003", "--regid=1001", "--groups=1001,1002", KVR_SIGN_PATH};
    const names args = job({1}, "key.module");
    words.insert(words.end(), args.begin(), args.end());
    write_file(at("out/m1.module"), "old\n", 0660);
    for (const std::string name : {"", "out", "out/m1.module"}) {
        ASSERT_EQ(::chown(at(name).c_str(), 1003, 1002), 0);
    }
    const process_result result = kvr_test::run_program(kSetpriv, words, root.string());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const struct stat replaced = stat_of(at("out/m1.module"));
    EXPECT_EQ(replaced.st_uid, 1003u);
    EXPECT_EQ(replaced.st_gid, 1002u);
    EXPECT_EQ(replaced.st_mode & 07777, 0660u);
    EXPECT_TRUE(verifies("key.module", {"out/m1.module"}));
}

// Until its content and bits are set, a staged file is open to its owner alone, or to no one
// where the target is narrower still.
TEST_F(JournalTrust, StagedFilesAreCreatedNoWiderThan0600) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << kTracedAsRoot;
    }
    const names args = job({1, 2, 3}, "key.module");
    write_file(at("out/m1.module"), "old\n", 0644);
    write_file(at("out/m2.module"), "old\n", 0400);
    std::string log;
    const process_result result = traced({}, args, "", &log, "openat");
    ASSERT_EQ(result.status, 0) << result.err;
    int staged = 0;
    for (const std::string& line : lines_of(log)) {
        if (line.find(".kvr_sign-staged-") != std::string::npos &&
            line.find("O_CREAT") != std::string::npos) {
            ++staged;
            const unsigned long mode = std::stoul(line.substr(line.rfind(", 0") + 2), nullptr, 8);
            EXPECT_EQ(mode & ~(line.find("\"m2.module.") != std::string::npos ? 0400ul : 0600ul),
                      0u)
                << line;
        }
    }
    EXPECT_EQ(staged, 5);  // three outputs, the key entry and the journal
    EXPECT_EQ(stat_of(at("out/m1.module")).st_mode & 07777, 0644u);
    EXPECT_EQ(stat_of(at("out/m2.module")).st_mode & 07777, 0400u);
}

// ---- Signals and leftovers -------------------------------------------------------------------

// SIGTERM arrives while the commit holds signals back (at the journal's rename into place); the
// rename of m1's staged file fails, and so does the undo's rename of the key entry's way back.
TEST_F(JournalTrust, ASignalAfterAFailedUndoSaysARerunFinishesTheCommit) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << kTracedAsRoot;
    }
    write_file(at("key.module"), "old key\n");
    write_file(at("out/m1.module"), "old\n");
    write_file(at("out/m2.module"), "old\n");
    const names args = job({1, 2}, "key.module");
    // Renames: three ways back, the key entry (4), m1 (5), then the undo's (6).
    const process_result stopped =
        traced({"renameat2:signal=SIGTERM:when=1", "renameat:error=EIO:when=5+"}, args,
               "\"m1.module.kvr_sign-staged-");
    EXPECT_EQ(stopped.status, 128 + SIGTERM);
    EXPECT_EQ(stopped.err,
              "Stopped by SIGTERM: the commit could not be undone; a rerun with the "
              "same key entry finishes it (journal " +
                  at(kJournal) + ")\n");
    EXPECT_TRUE(fs::exists(at(kJournal)));
    const process_result rerun = run(args);
    ASSERT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_TRUE(rerun.err.starts_with(kUndone)) << rerun.err;
    EXPECT_TRUE(verifies("key.module", {"out/m1.module", "out/m2.module"}));
    EXPECT_EQ(own_files(root), names{});
}

TEST_F(JournalTrust, ADeadRunsLeftoversAreRemovedALiveRunsAreNot) {
    if (lacks_root()) {
        GTEST_SKIP() << "needs root to leave a file of another user";
    }
    const names planted = {"out/.kvr_sign-run-AAAAAA", "out/.kvr_sign-run-BBBBBB",
                           "out/x.module.kvr_sign-staged-AAAAAA",
                           "out/y.module.kvr_sign-staged-BBBBBB",
                           "out/z.module.kvr_sign-staged-CCCCCC"};
    for (const std::string& name : planted) {
        write_file(at(name), "left\n", 0600);
    }
    ASSERT_EQ(::chown(at(planted[4]).c_str(), 65534, 65534), 0);
    // The live run: its run file locked by another process, which ends with the test.
    struct holder {
        int pid;
        ~holder() {
            ::kill(pid, SIGKILL);
            kvr_test::wait_program(pid);
        }
    } live{kvr_test::start_program("/usr/bin/flock", {"--no-fork", at(planted[1]), "sleep", "30"},
                                   root.string())};
    bool locked = false;
    for (int wait = 0; wait < 500 && !locked; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int probe = ::open(at(planted[1]).c_str(), O_RDONLY | O_CLOEXEC);
        locked = ::flock(probe, LOCK_EX | LOCK_NB) != 0;
        ::close(probe);
    }
    ASSERT_TRUE(locked);
    const process_result result = run(job({1}, "key.module"));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "Warning: folder " + at("out") +
                              " held 1 file(s) that a stopped run of this tool left; they were "
                              "removed\n");
    EXPECT_EQ(own_files(root), (names{planted[1], planted[3], planted[4]}));
}

// ---- Shared folders, lock waits, stops, names ---------------------------------------------

// Another user's link at an output name is followed only where nobody but the owner may add
// names to a sticky folder.
TEST_F(JournalTrust, AnotherUsersLinkInASharedStickyFolderIsNotFollowed) {
    if (lacks_root()) {
        GTEST_SKIP() << "needs root and setpriv to leave a link of another user";
    }
    for (const auto& [mode, followed] : std::vector<std::pair<unsigned, bool>>{
             {01777, false}, {01775, false}, {01770, false}, {0775, true}}) {
        SCOPED_TRACE(mode);
        kvr_test::temp_dir shared_dir;
        const fs::path shared = fs::canonical(shared_dir.path());
        write_file(at("secret"), "secret\n", 0600);
        ASSERT_EQ(::chown(shared.c_str(), 0, 65534), 0);  // the linking user's group may write
        fs::permissions(shared, fs::perms(mode));
        kvr_test::run_program(kSetpriv,
                              {"--reuid=65534", "--regid=65534", "--groups=65534", "/bin/ln", "-s",
                               at("secret"), (shared / "m1.module").string()},
                              "/");
        ASSERT_TRUE(fs::is_symlink(shared / "m1.module"));
        const process_result result = run(job({1}, "key.module", shared.string()));
        EXPECT_EQ(result.status, followed ? 0 : 70) << result.err;
        EXPECT_EQ(kvr_test::read_bytes(at("secret")) == bytes({'s', 'e', 'c', 'r', 'e', 't', '\n'}),
                  !followed);
        EXPECT_EQ(own_files(shared), names{});
        fs::remove(at("secret"));
        fs::remove(at("key.module"));
    }
}

// A reader of two folders who takes one lock for a while and keeps the other draws on one
// budget for the whole run: the run stops within it, having changed nothing.
TEST_F(JournalTrust, LockWaitsShareOneDeadlineForTheWholeRun) {
    if (lacks_root()) {
        GTEST_SKIP() << "needs root and setpriv to lock as another user";
    }
    const names args = job({1}, "A/key.module", "B");
    fs::create_directories(root / "A");
    fs::permissions(root, fs::perms(0755));  // another user may read the folders, and lock them
    const auto hold = [&](const char* folder, const char* seconds) {
        return kvr_test::start_program(kSetpriv,
                                       {"--reuid=65534", "--regid=65534", "--clear-groups",
                                        "/usr/bin/flock", "--shared", at(folder), "sleep", seconds},
                                       "/");
    };
    const int brief = hold("A", "1.5");
    const int long_held = hold("B", "30");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto before = kvr_test::snapshot(root);
    const auto start = std::chrono::steady_clock::now();
    const process_result result = kvr_test::run_program(
        "/usr/bin/env",
        [&] {
            names words = {"KVR_SIGN_LOCK_WAIT=2", KVR_SIGN_PATH};
            words.insert(words.end(), args.begin(), args.end());
            return words;
        }(),
        root.string());
    const auto took = std::chrono::steady_clock::now() - start;
    ::kill(long_held, SIGKILL);
    kvr_test::wait_program(long_held);
    kvr_test::wait_program(brief);
    EXPECT_EQ(result.status, 70) << result.err;
    EXPECT_NE(result.err.find("(locking its folder)"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("  hint: this run has waited as long as it may, in all"),
              std::string::npos)
        << result.err;
    EXPECT_LT(took, std::chrono::milliseconds(3200));
    kvr_test::expect_same_except(before, kvr_test::snapshot(root), {});
}

// SIGTERM at the moment the run draws its id (its one 6-byte getrandom) ends the run with its
// status and line.
TEST_F(JournalTrust, AStopWhileTheRunIdIsDrawnEndsTheRunWithItsLine) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << kTracedAsRoot;
    }
    const names args = job({1}, "key.module");
    std::string log;
    traced({}, args, "", &log, "getrandom");
    int call = 0;
    int draw = 0;
    for (const std::string& line : lines_of(log)) {
        call += line.starts_with("getrandom(") ? 1 : 0;
        draw = draw == 0 && line.find(", 6, 0)") != std::string::npos ? call : draw;
    }
    ASSERT_GT(draw, 0) << log;
    const process_result stopped = traced({"getrandom:signal=SIGTERM:when=" + std::to_string(draw)},
                                          args, "", nullptr, "getrandom");
    EXPECT_EQ(stopped.status, 128 + SIGTERM);
    EXPECT_EQ(stopped.err, "Stopped by SIGTERM: no output was changed\n");
    EXPECT_EQ(own_files(root), names{});
}

// A run file whose removal fails is named for what it is, after a commit that failed and
// after one that finished; a plain rerun then leaves nothing of the tool's own.
TEST_F(JournalTrust, ARunFileThatCannotBeRemovedIsNamed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << kTracedAsRoot;
    }
    for (const auto& [renames, named] : std::vector<std::pair<std::string, std::string>>{
             {"renameat:error=EIO:when=2", ""}, {"", "this run's run file; "}}) {
        SCOPED_TRACE(renames);
        const names args = job({1}, "key.module");
        const char* calls = "unlinkat,renameat,renameat2";
        names rules = renames.empty() ? names{} : names{renames};
        std::string log;
        traced(rules, args, "", &log, calls);
        fs::remove(at("key.module"));
        fs::remove(at("out/m1.module"));
        int call = 0;
        int run_file = 0;
        for (const std::string& line : lines_of(log)) {
            call += line.starts_with("unlinkat(") ? 1 : 0;
            run_file = line.find(".kvr_sign-run-") != std::string::npos ? call : run_file;
        }
        ASSERT_GT(run_file, 0) << log;
        rules.push_back("unlinkat:error=EIO:when=" + std::to_string(run_file));
        const process_result result = traced(rules, args, "", &log, calls);
        // After a commit the journal stays too, for the next run to finish the clean-up.
        names left = own_files(root);
        ASSERT_EQ(left.size(), named.empty() ? 1u : 2u) << result.err;
        const std::string left_run_file = left.back();
        EXPECT_NE(left_run_file.find(".kvr_sign-run-"), std::string::npos);
        EXPECT_NE(result.err.find("  not removed: " + at(left_run_file) + " (" +
                                  (named.empty() ? "a run file)" : named)),
                  std::string::npos)
            << result.err;
        ASSERT_EQ(run(args).status, 0);
        EXPECT_EQ(own_files(root), names{});
        fs::remove(at("key.module"));
        fs::remove(at("out/m1.module"));
    }
}

// ---- Runs at once, many folders --------------------------------------------------------------

// The key entry and half the outputs in A, the other half in B, the inputs in C.
TEST_F(JournalTrust, EightRunsAtOnceEachFinishWithAWholeSet) {
    names args;
    names outputs;
    for (int i = 1; i <= 4; ++i) {
        outputs.push_back((i <= 2 ? "A/m" : "B/m") + std::to_string(i) + ".module");
        fs::create_directories((root / outputs.back()).parent_path());
        fs::create_directories(root / "C");
        const std::string input = at("C/in" + std::to_string(i) + ".module");
        kvr_test::write_bytes(input, kvr_test::make_unsigned_module(static_cast<uint32_t>(i)));
        args.push_back(input + ";" + at(outputs.back()));
    }
    args.push_back(at("A/key.module"));
    const int rounds = std::getenv("KVR_LONG_TESTS") != nullptr ? 100 : 20;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        std::vector<process_result> results(8);
        std::vector<std::thread> runs;
        for (process_result& result : results) {
            runs.emplace_back([&] { result = run(args); });
        }
        for (std::thread& running : runs) {
            running.join();
        }
        for (const process_result& result : results) {
            EXPECT_EQ(result.status, 0) << "round " << round << ":\n" << result.err;
            EXPECT_EQ(result.err, "") << "round " << round;
        }
    }
    EXPECT_TRUE(verifies("A/key.module", outputs));
    EXPECT_EQ(own_files(root), names{});
}

TEST_F(JournalTrust, AJobInMoreFoldersThanTheSoftDescriptorLimitFinishes) {
    names words = {"-c", "ulimit -Sn 64 && exec \"$0\" \"$@\"", KVR_SIGN_PATH};
    names outputs;
    for (int i = 1; i <= 80; ++i) {
        words.push_back(job({i}, "key.module", "d" + std::to_string(i)).front());
        outputs.push_back("d" + std::to_string(i) + "/m" + std::to_string(i) + ".module");
    }
    words.push_back("key.module");
    const process_result result = kvr_test::run_program("/bin/bash", words, root.string());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(verifies("key.module", outputs));
}

}  // namespace
