// Fault injection through the built kvr_sign: outputs that cannot be written, inputs that are
// not what they seem, awkward names and large list files. Every case checks the status, the
// message and the state of every file in the folder afterwards: a refusal or a stop before
// phase 3 leaves the folder exactly as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "kvr_format.h"
#include "messages.h"
#include "process.h"
#include "signature.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using kvr_test::bytes;
using kvr_test::expect_same_except;
using kvr_test::folder_state;
using kvr_test::process_result;
using kvr_test::snapshot;

constexpr int kInternalError = 70;
const std::string kStopPrefix = "Internal error [FRADEL] qpx/fradel/fradel_kvr_sign_cmd:";
const char* const kSetpriv = "/usr/bin/setpriv";

void expect_user_error(const process_result& run, int status, const std::string& message) {
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_TRUE(kvr_test::fixed_then_details(run.err, "Error: " + message));
    EXPECT_NE(run.out.find("Elapsed time:"), std::string::npos);
}

void expect_stop(const process_result& run, const std::string& message) {
    EXPECT_EQ(run.status, kInternalError) << run.err;
    EXPECT_EQ(run.err.rfind(kStopPrefix, 0), 0u) << run.err;
    EXPECT_NE(run.err.find(": " + message + "\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("Elapsed time:"), std::string::npos);
}

struct measured_run {
    process_result result;
    long peak_rss_kb = 0;
};

// Runs kvr_sign in `dir` and measures the child's peak resident memory. The child is forked,
// not spawned: a spawned child shares the test's memory until it runs the program and so
// inherits the test's own peak, while a forked child starts from the test's current size.
measured_run run_measured(const std::vector<std::string>& args, const fs::path& dir,
                          const char* program = KVR_SIGN_PATH) {
    const std::string out_path = (dir / ".stdout").string();
    const std::string err_path = (dir / ".stderr").string();
    kvr_test::command_line words(program, args);
    measured_run run;
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0 || chdir(dir.c_str()) != 0) {
            _exit(127);
        }
        execve(program, words.argv(), environ);
        _exit(127);
    }
    if (pid > 0) {
        int wait_status = 0;
        rusage usage{};
        wait4(pid, &wait_status, 0, &usage);
        run.result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128;
        run.peak_rss_kb = usage.ru_maxrss;
    }
    const auto text = [](const std::string& path) {
        const bytes content = kvr_test::read_bytes(path);
        fs::remove(path);
        return std::string(content.begin(), content.end());
    };
    run.result.out = text(out_path);
    run.result.err = text(err_path);
    return run;
}

class FaultInjection : public ::testing::Test {
  protected:
    kvr_test::temp_dir dir;

    std::string at(const std::string& name) const { return dir / name; }
    folder_state state() const { return snapshot(dir.path()); }
    bytes file(const std::string& name) const { return kvr_test::read_bytes(at(name)); }

    bytes add_module(const std::string& name, uint32_t variant = 1) const {
        bytes image = kvr_test::make_unsigned_module(variant);
        kvr_test::write_bytes(at(name), image);
        return image;
    }

    process_result sign(const std::vector<std::string>& args) const {
        return kvr_test::run_program(KVR_SIGN_PATH, args, dir.path().string());
    }

    // Runs kvr_sign as an unprivileged user, since root passes every permission check. The
    // folder is opened up so that the user can work in it.
    process_result sign_unprivileged(const std::vector<std::string>& args) const {
        if (geteuid() != 0) {
            return sign(args);
        }
        std::vector<std::string> words{"--reuid=65534", "--regid=65534", "--clear-groups",
                                       KVR_SIGN_PATH};
        words.insert(words.end(), args.begin(), args.end());
        return kvr_test::run_program(kSetpriv, words, dir.path().string());
    }

    // True when an unprivileged run is possible; opens the folder up for it.
    bool can_drop_privileges() const {
        if (geteuid() == 0 && !fs::exists(kSetpriv)) {
            return false;
        }
        fs::permissions(dir.path(), fs::perms::all);
        return true;
    }

    // The signed module verifies under the key entry written by the same run.
    void expect_signed(const std::string& output, const std::string& key = "key.module") const {
        ASSERT_TRUE(fs::exists(at(key))) << key;
        ASSERT_TRUE(fs::exists(at(output))) << output;
        EXPECT_TRUE(kvr_test::signature_verifies(file(key), file(output))) << output;
    }
};

// ---- Writes -------------------------------------------------------------------------------

TEST_F(FaultInjection, OutputsThatCannotBeReplacedStopTheRunAndChangeNothing) {
    struct write_case {
        std::string what;
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<write_case> cases = {
        {"module in a missing folder",
         {"in.module;missing/out.module", "key.module"},
         "Fail to open missing/out.module for writing"},
        {"module path that is a folder",
         {"in.module;folder.module", "key.module"},
         "Fail to open folder.module for writing"},
        {"module path that is a FIFO",
         {"in.module;fifo.module", "key.module"},
         "Fail to open fifo.module for writing"},
        {"module path behind a link to a device",
         {"in.module;null.module", "key.module"},
         "Fail to open null.module for writing"},
        {"module behind a dangling link into a missing folder",
         {"in.module;dangling.module", "key.module"},
         "Fail to open dangling.module for writing"},
        {"key entry in a missing folder",
         {"in.module;out.module", "missing/key.module"},
         "Fail to open missing/key.module for writing"},
        {"key entry path that is a folder",
         {"in.module;out.module", "folder.module"},
         "Fail to open folder.module for writing"},
    };
    add_module("in.module");
    kvr_test::write_bytes(at("key.module"), bytes{'o', 'l', 'd'});
    fs::create_directory(at("folder.module"));
    ASSERT_EQ(mkfifo(at("fifo.module").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", at("null.module"));
    fs::create_symlink("missing/target.module", at("dangling.module"));
    const folder_state before = state();
    for (const write_case& test : cases) {
        SCOPED_TRACE(test.what);
        const process_result run = sign(test.args);
        expect_stop(run, test.message);
        EXPECT_NE(run.err.find("\n  reason: "), std::string::npos) << run.err;
        // A module's output names the module being written; the key entry belongs to none.
        const bool of_a_module = test.message.find(test.args.back()) == std::string::npos;
        EXPECT_EQ(run.err.find("\n  input module: in.module\n  reason: ") != std::string::npos,
                  of_a_module)
            << run.err;
        expect_same_except(before, state(), {});
    }
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(FaultInjection, ReadOnlyFolderStopsTheRunForAnUnprivilegedUser) {
    if (!can_drop_privileges()) {
        GTEST_SKIP() << "running as root without setpriv";
    }
    add_module("in.module");
    fs::create_directory(at("locked"));
    fs::permissions(at("locked"), fs::perms::owner_read | fs::perms::owner_exec |
                                      fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
    folder_state before = state();
    process_result run = sign_unprivileged({"in.module;out.module", "locked/key.module"});
    expect_stop(run, "Fail to open locked/key.module for writing");
    expect_same_except(before, state(), {});

    run = sign_unprivileged({"in.module;locked/out.module", "key.module"});
    expect_stop(run, "Fail to open locked/out.module for writing");
    expect_same_except(before, state(), {});
}

// ---- All-or-nothing outputs ---------------------------------------------------------------

bool has_staged_leftovers(const folder_state& state) {
    return std::any_of(state.begin(), state.end(), [](const auto& entry) {
        return entry.first.find(".kvr_sign-staged-") != std::string::npos;
    });
}

// The limit binds the captured stderr too, so with no room at all only the status is seen.
TEST_F(FaultInjection, FileSizeLimitLeavesInPlaceInputsAsTheyWere) {
    struct limit_case {
        int blocks;           // the shell's ulimit -f
        std::string message;  // empty: no room for the message either
    };
    const std::vector<limit_case> cases = {
        {0, ""},                        // the key entry, staged first, fails
        {4, "Fail to write a.module"},  // room for the key entry, not for a module
    };
    add_module("a.module", 1);
    add_module("b.module", 2);
    const folder_state before = state();
    for (const limit_case& test : cases) {
        SCOPED_TRACE(test.blocks);
        const std::string script =
            "ulimit -f " + std::to_string(test.blocks) + "; exec \"$0\" \"$@\"";
        const process_result run = kvr_test::run_program(
            "/bin/sh",
            {"-c", script, KVR_SIGN_PATH, "a.module;a.module", "b.module;b.module", "key.module"},
            dir.path().string());
        if (test.message.empty()) {
            EXPECT_EQ(run.status, kInternalError);
        } else {
            expect_stop(run, test.message);
            EXPECT_NE(run.err.find("\n  reason: File too large\n"), std::string::npos) << run.err;
        }
        expect_same_except(before, state(), {});
    }
}

// Kills in-place runs of a few hundred modules at moments spread over a whole run: a final name
// never holds a short or empty file, every module is either its unsigned original or signed
// under the key entry beside it, and after SIGTERM no staged file remains.
TEST_F(FaultInjection, KilledRunsNeverLeaveAShortFileUnderAFinalName) {
    constexpr uint32_t kModules = 300;
    constexpr int kMoments = 6;
    std::string list;
    std::vector<bytes> originals;
    for (uint32_t i = 0; i < kModules; ++i) {
        originals.push_back(kvr_test::make_unsigned_module(i));
        list += "m" + std::to_string(i) + ".module;m" + std::to_string(i) + ".module\n";
    }
    kvr_test::write_text(at("list.txt"), list);
    const auto reset = [&] {
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            if (entry.path().filename() != "list.txt") {
                fs::remove(entry.path());
            }
        }
        for (uint32_t i = 0; i < kModules; ++i) {
            kvr_test::write_bytes(at("m" + std::to_string(i) + ".module"), originals[i]);
        }
    };
    const auto whole_run_start = std::chrono::steady_clock::now();
    reset();
    ASSERT_EQ(sign({"list.txt", "key.module"}).status, 0);
    const auto whole_run = std::chrono::steady_clock::now() - whole_run_start;
    for (const int signal_number : {SIGKILL, SIGTERM}) {
        for (int moment = 1; moment <= kMoments; ++moment) {
            SCOPED_TRACE(std::to_string(signal_number) + " at " + std::to_string(moment));
            reset();
            const int pid = kvr_test::start_program(KVR_SIGN_PATH, {"list.txt", "key.module"},
                                                    dir.path().string());
            std::this_thread::sleep_for(whole_run * moment / (kMoments + 1));
            kill(pid, signal_number);
            const int status = kvr_test::wait_program(pid);
            const bool key_written = fs::exists(at("key.module"));
            if (key_written) {
                ASSERT_EQ(file("key.module").size(), kvr::kPkeSize);
            }
            for (uint32_t i = 0; i < kModules; ++i) {
                const bytes image = file("m" + std::to_string(i) + ".module");
                ASSERT_EQ(image.size(), kvr::kImageSize) << i;
                if (image != originals[i]) {
                    ASSERT_TRUE(key_written &&
                                kvr_test::signature_verifies(file("key.module"), image))
                        << i;
                }
            }
            if (signal_number == SIGTERM) {
                EXPECT_TRUE(status == 0 || status == 128 + SIGTERM) << status;
                EXPECT_FALSE(has_staged_leftovers(state()));
            }
        }
    }
}

TEST_F(FaultInjection, ConcurrentRunsLeaveOneRunsWholeSet) {
    constexpr uint32_t kModules = 150;
    std::string list;
    for (uint32_t i = 0; i < kModules; ++i) {
        add_module("in" + std::to_string(i) + ".module", i);
        list += "in" + std::to_string(i) + ".module;out" + std::to_string(i) + ".module\n";
    }
    kvr_test::write_text(at("list.txt"), list);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const int first =
            kvr_test::start_program(KVR_SIGN_PATH, {"list.txt", "key.module"}, dir.path().string());
        const int second =
            kvr_test::start_program(KVR_SIGN_PATH, {"list.txt", "key.module"}, dir.path().string());
        EXPECT_EQ(kvr_test::wait_program(first), 0);
        EXPECT_EQ(kvr_test::wait_program(second), 0);
        for (uint32_t i = 0; i < kModules; ++i) {
            expect_signed("out" + std::to_string(i) + ".module");
        }
        EXPECT_FALSE(has_staged_leftovers(state()));
    }
}

TEST_F(FaultInjection, ReplacedFilesKeepTheirPermissionsAndOwner) {
    add_module("in.module");
    add_module("owned.module", 2);
    kvr_test::write_bytes(at("key.module"), bytes{'o', 'l', 'd'});
    fs::permissions(at("in.module"),
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::permissions(at("key.module"), fs::perms::owner_read | fs::perms::owner_write);
    const bool as_root = geteuid() == 0;
    if (as_root) {
        ASSERT_EQ(chown(at("owned.module").c_str(), 65534, 65534), 0);
    }
    const mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(sign({"in.module;in.module", "owned.module;owned.module", "in.module;new.module",
                    "key.module"})
                  .status,
              0);
    const auto mode_of = [&](const std::string& name) {
        struct stat info {};
        EXPECT_EQ(::stat(at(name).c_str(), &info), 0) << name;
        return info;
    };
    EXPECT_EQ(mode_of("in.module").st_mode & 07777, 0640u);
    EXPECT_EQ(mode_of("key.module").st_mode & 07777, 0600u);
    EXPECT_EQ(mode_of("new.module").st_mode & 07777, 0666u & ~mask);
    if (as_root) {
        EXPECT_EQ(mode_of("owned.module").st_uid, 65534u);
        EXPECT_EQ(mode_of("owned.module").st_gid, 65534u);
    }
    expect_signed("in.module");
}

// ---- Reads --------------------------------------------------------------------------------

TEST_F(FaultInjection, InputsThatAreNotReadableModulesAreRefusedBeforeAnyWrite) {
    struct read_case {
        std::string input;
        int status;
        std::string message;
    };
    const std::vector<read_case> cases = {
        {"folder.module", 10, "Input module folder.module does not exist\n"},
        {"fifo.module", kInternalError, "Input binary data cannot be NULL"},
        {"zero.module", kInternalError, "Input binary data cannot be NULL"},
        {"dangling.module", 10, "Input module dangling.module does not exist\n"},
        {"loop.module", 10, "Input module loop.module does not exist\n"},
    };
    add_module("good.module");
    fs::create_directory(at("folder.module"));
    ASSERT_EQ(mkfifo(at("fifo.module").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", at("zero.module"));
    fs::create_symlink("nowhere.module", at("dangling.module"));
    fs::create_symlink("loop.module", at("loop.module"));
    const bytes old_output{'o', 'l', 'd'};
    kvr_test::write_bytes(at("out.module"), old_output);
    const folder_state before = state();
    for (const read_case& test : cases) {
        SCOPED_TRACE(test.input);
        // A good pair first: nothing of it may be written either.
        const process_result run =
            sign({"good.module;out.module", test.input + ";other.module", "key.module"});
        if (test.status == kInternalError) {
            expect_stop(run, test.message);
        } else {
            expect_user_error(run, test.status, test.message);
        }
        expect_same_except(before, state(), {});
    }
}

TEST_F(FaultInjection, ListFilesThatCannotBeReadAreRefused) {
    add_module("in.module");
    fs::create_directory(at("folder.txt"));
    fs::create_symlink("/dev/zero", at("zero.txt"));
    fs::create_symlink("nowhere.txt", at("dangling.txt"));
    ASSERT_EQ(mkfifo(at("fifo.txt").c_str(), 0600), 0);  // must be refused, not waited on
    const folder_state before = state();
    // A folder or a dangling link is no list file, and the pair form does not fit either.
    for (const std::string list : {"folder.txt", "dangling.txt"}) {
        expect_user_error(sign({list, "key.module"}), 7,
                          "Incorrect command format or input file does not exist\n"
                          "Use argument --help to learn the usage\n");
    }
    for (const std::string list : {"zero.txt", "fifo.txt"}) {
        expect_stop(sign({list, "key.module"}), "Fail to read file " + list);
    }
    expect_same_except(before, state(), {});
}

TEST_F(FaultInjection, UnreadableInputStopsInPhaseOneForAnUnprivilegedUser) {
    if (!can_drop_privileges()) {
        GTEST_SKIP() << "running as root without setpriv";
    }
    add_module("good.module");
    add_module("secret.module", 2);
    fs::permissions(at("secret.module"), fs::perms::none);
    const folder_state before = state();
    const process_result run =
        sign_unprivileged({"good.module;out.module", "secret.module;other.module", "key.module"});
    expect_stop(run, "Input binary data cannot be NULL");
    expect_same_except(before, state(), {});
}

// ---- Names --------------------------------------------------------------------------------

TEST_F(FaultInjection, AwkwardNamesAreSignedUnderTheirExactBytes) {
    struct name_case {
        std::string what;
        std::string input;
        std::string output;
        std::string key;
    };
    // 19 folders of 200 characters and a name of 181: 4000 characters, within the system's
    // limits for a name (255) and for a full path (4096) even below the temporary folder.
    const std::string long_folder = [] {
        std::string folder;
        for (int i = 0; i < 19; ++i) {
            folder += std::string(200, static_cast<char>('a' + i)) + "/";
        }
        return folder;
    }();
    const auto long_path = [&](char letter) {
        return long_folder + std::string(174, letter) + ".module";
    };
    const std::vector<name_case> cases = {
        {"spaces", "in put.module", "out put.module", "key entry.module"},
        {"percent sequences", "%s%n%x.module", "%99999999d%n.module", "%s.module"},
        {"leading dash", "-in.module", "-out.module", "-key.module"},
        {"UTF-8", "модуль ü.module", "выход 署名.module", "ключ.module"},
        {"bytes that are not UTF-8", "in\xff\xfe.module", "out\x80\xc3.module", "key\xe9.module"},
        {"4000-character paths", long_path('i'), long_path('o'), long_path('k')},
    };
    ASSERT_EQ(long_path('i').size(), 4000u);
    fs::create_directories(at(long_folder));
    for (const name_case& test : cases) {
        SCOPED_TRACE(test.what);
        add_module(test.input);
        const folder_state before = state();
        const process_result run = sign({test.input + ";" + test.output, test.key});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        expect_same_except(before, state(), {test.output, test.key});
        expect_signed(test.output, test.key);
    }
}

TEST_F(FaultInjection, AwkwardNamesInAListFileAndInMessages) {
    add_module("in put ü%s.module");
    add_module("-in.module", 2);
    kvr_test::write_text(at("list of ü%n.txt"),
                         "  in put ü%s.module  ;  out put ü%n.module  # spaces around\n"
                         "-in.module;-out.module \t\n");
    const folder_state before = state();
    const process_result run = sign({"list of ü%n.txt", "-key.module"});
    EXPECT_EQ(run.status, 0) << run.err;
    expect_same_except(before, state(), {"out put ü%n.module", "-out.module", "-key.module"});
    expect_signed("out put ü%n.module", "-key.module");
    expect_signed("-out.module", "-key.module");

    // Rejected names come back with no format sequence expanded, and a byte that is not
    // UTF-8 shown by its value.
    expect_user_error(sign({"%s%n\xff.module;x.module", "key.module"}), 10,
                      "Input module %s%n\\xff.module does not exist\n");
    // A positional argument starting with "--" is an option unless "--" ends the options.
    EXPECT_EQ(sign({"--in.module;out.module", "key.module"}).status, 2);
    add_module("--in.module", 3);
    EXPECT_EQ(sign({"--", "--in.module;--out.module", "key.module"}).status, 0);
    expect_signed("--out.module");
}

TEST_F(FaultInjection, ExtensionsMatchCaseSensitivelyAfterTrimming) {
    add_module("in.module");
    add_module("upper.MODULE", 2);
    const auto list_run = [&](const std::string& line) {
        kvr_test::write_text(at("list.txt"), line + "\n");
        return sign({"list.txt", "key.module"});
    };
    const folder_state before = state();
    expect_user_error(list_run("upper.MODULE;out.module"), 10,
                      "Input module upper.MODULE extension must be .module\n");
    expect_user_error(list_run("in.module;out.MODULE"), 10,
                      "Output module out.MODULE extension must be .module\n");
    expect_user_error(sign({"in.module;out.module", "key.MODULE"}), 7,
                      "Incorrect command format or input file does not exist\n"
                      "Use argument --help to learn the usage\n");
    // On the command line the argument is taken as it is: a trailing space ends the name.
    expect_user_error(sign({"in.module;out.module ", "key.module"}), 7,
                      "Incorrect command format or input file does not exist\n"
                      "Use argument --help to learn the usage\n");
    expect_same_except(before, state(), {"list.txt"});

    // In a list file the white space around a path is not part of it.
    const process_result run = list_run("in.module ;out.module ");
    EXPECT_EQ(run.status, 0) << run.err;
    expect_signed("out.module");
    EXPECT_FALSE(fs::exists(at("out.module ")));
}

TEST_F(FaultInjection, PathsLongerThanTheSystemAllowsAreRefusedCleanly) {
    add_module("in.module");
    const std::string too_long = std::string(4200, 'x') + ".module";
    const folder_state before = state();
    expect_user_error(sign({too_long + ";out.module", "key.module"}), 10,
                      "Input module " + too_long + " does not exist\n");
    expect_same_except(before, state(), {});
    // The output is only staged in phase 3; the message is cut to its buffer.
    const process_result run = sign({"in.module;" + too_long, "key.module"});
    EXPECT_EQ(run.status, kInternalError);
    EXPECT_NE(run.err.find(": Fail to open xxxxxxxx"), std::string::npos) << run.err.substr(0, 200);
    expect_same_except(before, state(), {});
}

// ---- Scale --------------------------------------------------------------------------------

// A list file of `pairs` pairs, every tenth line a comment followed by a blank line. Pair i
// reads in.module and writes out<i % outputs>.module.
std::string make_list(size_t pairs, size_t outputs) {
    std::string text = "# generated list\n";
    for (size_t i = 0; i < pairs; ++i) {
        if (i % 10 == 0) {
            text += "# group " + std::to_string(i) + "\n\n";
        }
        text += "in.module ; out" + std::to_string(i % outputs) + ".module  # pair " +
                std::to_string(i) + "\n";
    }
    return text;
}

constexpr size_t kManyPairs = 20000;
constexpr long kBaselineKb = 64 * 1024;  // program, libraries and allocator without the images

// AddressSanitizer keeps freed memory in quarantine and adds shadow memory: resident sizes
// measured under it say nothing about the program's own needs.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

void expect_memory_of_images(long peak_rss_kb, size_t images) {
    if (kMemoryIsMeasurable) {
        const long images_kb = static_cast<long>(images * kvr::kImageSize / 1024);
        EXPECT_LT(peak_rss_kb, images_kb * 3 / 2 + kBaselineKb);
    }
}

TEST_F(FaultInjection, TwentyThousandPairsAreReadAndLoadedBeforeALastBadModuleStopsTheRun) {
    add_module("in.module");
    bytes bad = kvr_test::make_unsigned_module(2);
    bad[kvr::kSOffset + kvr::kFieldSize - 1] = 1;
    kvr_test::write_bytes(at("bad.module"), bad);
    kvr_test::write_text(at("list.txt"), make_list(kManyPairs - 1, 100) + "bad.module;x.module\n");
    const folder_state before = state();
    const measured_run run = run_measured({"list.txt", "key.module"}, dir.path());
    expect_stop(run.result,
                "Unsigned input module bad.module should have RS field set to ALL ZERO");
    expect_same_except(before, state(), {});
    // Every loaded image is held until the run ends: memory grows with the images, no more.
    expect_memory_of_images(run.peak_rss_kb, kManyPairs);
}

// Writes `size` bytes to `path` in chunks, each chunk made by `fill`.
template <typename Fill>
void write_large_file(const std::string& path, size_t size, Fill fill) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string chunk(std::min<size_t>(size, 1 << 20), '\0');
    for (size_t written = 0; written < size; written += chunk.size()) {
        fill(chunk);
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    ASSERT_TRUE(out.good());
}

TEST_F(FaultInjection, GarbageListFilesAreRefusedWithBoundedMemory) {
    // Under the sanitizers, where memory is not measured, smaller files keep the test fast.
    constexpr size_t kMiB = kMemoryIsMeasurable ? 1 << 20 : 1 << 14;
    constexpr long kBoundKb = 48 * 1024;  // whatever the size of the file
    uint64_t random_state = 0x9E3779B97F4A7C15ull;
    const auto random_bytes = [&](std::string& chunk) {
        for (char& c : chunk) {
            random_state ^= random_state << 13, random_state ^= random_state >> 7;
            random_state ^= random_state << 17;
            c = static_cast<char>(random_state);
        }
    };
    struct garbage_case {
        std::string what;
        size_t size;
        std::function<void(std::string&)> fill;
    };
    const std::vector<garbage_case> cases = {
        {"random bytes", 100 * kMiB, random_bytes},
        {"blank lines", 20 * kMiB, [](std::string& chunk) { chunk.assign(chunk.size(), '\n'); }},
        {"comment lines", 20 * kMiB,
         [](std::string& chunk) {
             for (size_t i = 0; i < chunk.size(); i += 2) {
                 chunk[i] = '#', chunk[i + 1] = '\n';
             }
         }},
        // Twice the longest line the readers accept, whatever the build.
        {"one line", size_t{2} << 20, [](std::string& chunk) { chunk.assign(chunk.size(), 'x'); }},
    };
    for (const garbage_case& test : cases) {
        SCOPED_TRACE(test.what);
        write_large_file(at("list.txt"), test.size, test.fill);
        const folder_state before = state();
        const measured_run run = run_measured({"list.txt", "key.module"}, dir.path());
        if (test.what == "random bytes") {
            EXPECT_EQ(run.result.status, 10);  // the first line is no pair
            EXPECT_EQ(run.result.err.rfind("Error: ", 0), 0u);
        } else if (test.what == "one line") {
            expect_stop(run.result, "Fail to read file list.txt");  // no list has such a line
        } else {
            expect_stop(run.result, "modules.size()");  // no pair line at all
        }
        // The verifier reads the same list files the same way.
        const measured_run verify =
            run_measured({"list.txt", "key.module"}, dir.path(), KVR_VERIFY_PATH);
        EXPECT_NE(verify.result.status, 0);
        expect_same_except(before, state(), {});
        if (kMemoryIsMeasurable) {
            EXPECT_LT(run.peak_rss_kb, kBoundKb);
            EXPECT_LT(verify.peak_rss_kb, kBoundKb);
        }
    }
}

// Signing twenty thousand modules takes about a minute of crypto; the long run is opted into
// with KVR_LONG_TESTS=1 (CI does so in its main build).
TEST_F(FaultInjection, TwentyThousandPairsAreAllSigned) {
    if (std::getenv("KVR_LONG_TESTS") == nullptr) {
        GTEST_SKIP() << "set KVR_LONG_TESTS=1 to sign 20000 modules";
    }
    add_module("in.module");
    constexpr size_t kOutputs = 100;
    kvr_test::write_text(at("list.txt"), make_list(kManyPairs, kOutputs));
    const measured_run run = run_measured({"list.txt", "key.module"}, dir.path());
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    for (size_t i = 0; i < kOutputs; i += 33) {
        expect_signed("out" + std::to_string(i) + ".module");
    }
    expect_memory_of_images(run.peak_rss_kb, kManyPairs);
}

}  // namespace
