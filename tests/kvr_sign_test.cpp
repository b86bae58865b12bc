// kvr_sign end to end: the built program, run in a fresh temporary folder per case.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "kvr_format.h"
#include "messages.h"
#include "process.h"
#include "signature.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::bytes;
using kvr_test::process_result;

const std::string kUsageHint = "Use argument --help to learn the usage\n";
const std::string kNoFormMessage =
    "Error: Incorrect command format or input file does not exist\n" + kUsageHint;
const std::string kBadFormatMessage = "Error: Incorrect file format\n" + kUsageHint;
constexpr int kInternalError = 70;

class KvrSign : public ::testing::Test {
  protected:
    kvr_test::temp_dir dir;

    std::string at(const std::string& name) const { return dir / name; }

    process_result sign(const std::vector<std::string>& args) const {
        return kvr_test::run_program(KVR_SIGN_PATH, args, dir.path().string());
    }

    // Writes unsigned modules "<stem>.module" and returns their images.
    bytes add_module(const std::string& name, uint32_t variant = 1) const {
        bytes image = kvr_test::make_unsigned_module(variant);
        kvr_test::write_bytes(at(name), image);
        return image;
    }

    bytes file(const std::string& name) const { return kvr_test::read_bytes(at(name)); }
    bool present(const std::string& name) const { return fs::exists(at(name)); }
};

// Every run that returns to main ends with an empty line and the elapsed time.
bool ends_with_elapsed_time(const std::string& out) {
    static const std::regex closing("(^|\n)\nElapsed time: -?[0-9]+ msecond\\(s\\)\n$");
    return std::regex_search(out, closing);
}

bool has_elapsed_time(const std::string& out) {
    return out.find("Elapsed time:") != std::string::npos;
}

// Checks an internal-error stop: status, the one report line, and no closing lines.
void expect_stop(const process_result& run, const std::string& message) {
    EXPECT_EQ(run.status, kInternalError) << run.err;
    EXPECT_NE(run.err.find("Internal error [FRADEL] qpx/fradel/fradel_kvr_sign_cmd:"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(": " + message + "\n"), std::string::npos) << run.err;
    EXPECT_FALSE(has_elapsed_time(run.out)) << run.out;
}

// ---- Invocation forms and statuses --------------------------------------------------------

TEST_F(KvrSign, ArgumentsFittingNeitherFormAreRefusedWithStatus7) {
    add_module("in.module");
    kvr_test::write_text(at("list.txt"), "in.module;out.module\n");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"key.module"},
        {"missing.txt", "key.module"},                       // list file does not exist
        {"list.txt", "key.bin"},                             // key entry not .module
        {"list.txt", "in.module;out.module", "key.module"},  // .txt first but three arguments
        {"in.module;out.module", "key.bin"},                 // last argument not .module
        {"in.module;out.bin", "key.module"},                 // first argument must end in .module
    };
    for (const auto& args : cases) {
        const process_result run = sign(args);
        EXPECT_EQ(run.status, 7) << testing::PrintToString(args);
        EXPECT_TRUE(kvr_test::fixed_then_details(run.err, kNoFormMessage))
            << testing::PrintToString(args);
        EXPECT_TRUE(ends_with_elapsed_time(run.out)) << run.out;
    }
    EXPECT_FALSE(present("out.module"));
    EXPECT_FALSE(present("key.module"));
}

TEST_F(KvrSign, HelpWinsOverUnitTestAndRunsNoJob) {
    add_module("in.module");
    const process_result run =
        sign({"--unit_test", "--help", "in.module;out.module", "key.module"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("In below explantion"), std::string::npos);
    EXPECT_EQ(run.out.find("unit_test:"), std::string::npos);
    EXPECT_TRUE(ends_with_elapsed_time(run.out));
    EXPECT_FALSE(present("key.module"));
}

TEST_F(KvrSign, UnitTestRunsTheSelfTestAndNoJob) {
    add_module("in.module");
    const process_result run = sign({"--unit_test", "in.module;out.module", "key.module"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("all passed"), std::string::npos) << run.out;
    EXPECT_TRUE(ends_with_elapsed_time(run.out));
    EXPECT_FALSE(present("key.module"));
}

TEST_F(KvrSign, UnitTestOutlivesAnUnusableTmpdir) {
    kvr_test::write_text(at("plain.txt"), "not a folder\n");
    for (const std::string& tmpdir : {at("missing"), at("plain.txt"), std::string()}) {
        setenv("TMPDIR", tmpdir.c_str(), 1);
        const process_result run = sign({"--unit_test"});
        unsetenv("TMPDIR");
        EXPECT_EQ(run.status, 0) << tmpdir << run.err;
        EXPECT_NE(run.out.find("all passed"), std::string::npos) << tmpdir << run.out;
    }
}

// ---- The key's memory ----------------------------------------------------------------------

// One reading of /proc/<pid>/status and of its owner, taken while the run goes on.
struct process_view {
    bool gone = true;      // ended
    std::string real_uid;  // first field of "Uid:"
    long locked_kib = 0;   // "VmLck:"
    uid_t owner = 0;       // owner of the /proc files
};

process_view look_at(int pid) {
    process_view view;
    const std::string status_path = "/proc/" + std::to_string(pid) + "/status";
    std::ifstream status(status_path);
    struct stat info {};
    if (!status || ::stat(status_path.c_str(), &info) != 0) {
        return view;
    }
    view.gone = false;
    view.owner = info.st_uid;
    for (std::string line; std::getline(status, line);) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "State:") {
            std::string state;
            fields >> state;
            view.gone = state == "Z";  // ended, not yet waited for
        } else if (key == "Uid:") {
            fields >> view.real_uid;
        } else if (key == "VmLck:") {
            fields >> view.locked_kib;
        }
    }
    return view;
}

// Run as an unprivileged user, the signer's /proc files belong to root (it is not dumpable:
// no process of that user may attach to it or read its memory) and it holds locked pages.
TEST_F(KvrSign, AnUnprivilegedRunIsNotDumpableAndLocksTheKeysPages) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the signer as another user";
    }
    constexpr int kModules = 1500;  // a run of a few seconds to look at
    std::string list;
    for (int i = 0; i < kModules; ++i) {
        const std::string name = "m" + std::to_string(i) + ".module";
        kvr_test::write_bytes(at(name), kvr_test::make_unsigned_module(static_cast<uint32_t>(i)));
        list += name + ";" + name + "\n";
    }
    kvr_test::write_text(at("list.txt"), list);
    fs::permissions(dir.path(), fs::perms::all);
    for (int i = 0; i < kModules; ++i) {
        fs::permissions(at("m" + std::to_string(i) + ".module"), fs::perms::all);
    }
    const int pid = kvr_test::start_program("/usr/bin/setpriv",
                                            {"--reuid=65534", "--regid=65534", "--clear-groups",
                                             KVR_SIGN_PATH, "list.txt", "key.module"},
                                            dir.path().string());
    process_view seen;
    for (process_view now = look_at(pid); !now.gone; now = look_at(pid)) {
        if (now.real_uid == "65534" && now.locked_kib > 0) {
            seen = now;
            break;
        }
    }
    EXPECT_EQ(kvr_test::wait_program(pid), 0);
    ASSERT_FALSE(seen.gone) << "the run ended before it was seen with locked pages";
    EXPECT_EQ(seen.owner, 0u);
    EXPECT_TRUE(present("key.module"));
}

TEST_F(KvrSign, PrintArgumentShowsTheArgumentsAndRunsTheJob) {
    add_module("in.module");
    const process_result run =
        sign({"--print_argument", "--permission", "9", "in.module;out.module", "key.module"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("in.module;out.module"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("9 (0x00000009)"), std::string::npos) << run.out;
    for (const std::string option : {"help", "unit_test", "print_argument", "cancel"}) {
        EXPECT_TRUE(std::regex_search(run.out, std::regex("--" + option + " += ")))
            << option << " has no value line";
    }
    EXPECT_TRUE(present("out.module"));
    EXPECT_TRUE(present("key.module"));
}

TEST_F(KvrSign, CommandLineErrorReturnsTheParserCodeAndStillEndsNormally) {
    add_module("in.module");
    const std::map<std::string, int> cases = {
        {"--no_such_option", 2},    {"--permission", 3}, {"--permission=12abc", 4},
        {"--cancel=4294967296", 5}, {"--help=1", 6},
    };
    for (const auto& [option, code] : cases) {
        const process_result run = sign({"in.module;out.module", "key.module", option});
        EXPECT_EQ(run.status, code) << option;
        EXPECT_NE(run.err.find("Error: "), std::string::npos) << option;
        EXPECT_TRUE(ends_with_elapsed_time(run.out)) << option;
    }
    EXPECT_FALSE(present("key.module"));
}

TEST_F(KvrSign, ListFileWithoutPairLinesStopsWithModulesSize) {
    kvr_test::write_text(at("list.txt"), "# only comments\n\n   \t\n# and blanks\n");
    const process_result run = sign({"list.txt", "key.module"});
    expect_stop(run, "modules.size()");
    EXPECT_FALSE(present("key.module"));
}

// ---- Common mistakes: the fixed lines, then what is wrong and the fix ---------------------

struct mistake {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string fixed;                 // the first lines, exactly; a stop's message for 70
    std::vector<std::string> details;  // lines that must follow
};

// The lines of stderr after the fixed ones: exact for a refusal, after the one report line of
// an internal-error stop, whose source line number is the build's.
::testing::AssertionResult answers(const process_result& run, const mistake& test) {
    if (test.status != kInternalError) {
        return kvr_test::fixed_then_details(run.err, test.fixed);
    }
    static const std::regex report(
        "^Internal error \\[FRADEL\\] qpx/fradel/fradel_kvr_sign_cmd:"
        "[0-9]+: ([^\n]*)\n");
    std::smatch line;
    if (!std::regex_search(run.err, line, report) || line[1] != test.fixed) {
        return ::testing::AssertionFailure() << "not the stop \"" << test.fixed << "\":\n"
                                             << run.err;
    }
    return kvr_test::fixed_then_details(run.err, line[0]);
}

TEST_F(KvrSign, CommonMistakesGetTheFixedLinesThenWhatIsWrongAndTheFix) {
    add_module("in.module");
    bytes signed_image = kvr_test::make_unsigned_module(2);
    signed_image[kvr::kSOffset] = 1;
    kvr_test::write_bytes(at("signed.module"), signed_image);
    kvr_test::write_bytes(at("entry.module"), bytes(kvr::kPkeSize, 0));
    fs::create_directory(at("folder.module"));
    fs::create_directory(at("folder.txt"));
    fs::create_directory(at("sub"));
    add_module("sub/beside.module");
    kvr_test::write_text(at("sub/list.txt"), "beside.module;o.module\n");
    kvr_test::write_text(at("list.txt"), "in.module;o.module\n");
    kvr_test::write_text(at("nosemi.txt"),
                         "# pairs\nin.module;o.module\n in.module  # no separator\n");
    kvr_test::write_text(at("empty.txt"), "# nothing yet\n\n");
    const std::string usage = "  usage: kvr_sign [options] ";
    const std::string quote_pairs =
        "  hint: a shell ends a command at an unquoted \";\": quote each pair, as in "
        "'in.module;out.module'";
    const std::string no_form = kNoFormMessage;
    const std::string bad_format = kBadFormatMessage;
    // clang-format off
    const std::vector<mistake> cases = {
        {"nothing", {}, 7, no_form, {usage + "<list>.txt <key entry>.module",
                                     usage + "'<in>.module;<out>.module' ... <key entry>.module"}},
        {"list file alone", {"list.txt"}, 7, no_form,
         {"  the Public Key Entry module is missing: give it after the list file, as in kvr_sign list.txt key.module"}},
        {"pair cut by the shell", {"in.module"}, 7, no_form,
         {"  argument 1, in.module: a module path alone, not a pair", quote_pairs}},
        {"halves as two words", {"in.module;", "o.module", "key.module"}, 7, no_form,
         {"  argument 1, in.module;: looks like half of a module pair", quote_pairs}},
        {"one dash", {"-h"}, 7, no_form,
         {"  argument 1, -h: options are written with two dashes, as in --help"}},
        {"swapped", {"key.module", "list.txt"}, 7, no_form,
         {"  the list file comes first and the Public Key Entry module last, as in kvr_sign list.txt key.module"}},
        {"extensions", {"in.bin", "key.bin "}, 7, no_form,
         {"  argument 1, in.bin: ends in neither .txt (a list file) nor .module (a pair)",
          "  argument 2, \"key.bin \" (the white space is part of it): the last argument names the Public Key Entry module to write and must end in .module"}},
        {"missing list", {"missing.txt", "key.module"}, 7, no_form,
         {"  list file missing.txt: No such file or directory"}},
        {"folder as list", {"folder.txt", "key.module"}, 7, no_form,
         {"  list file folder.txt: it is a folder"}},
        {"list and pairs", {"list.txt", "in.module;o.module", "key.module"}, 7, no_form,
         {"  a list file takes one more argument, the Public Key Entry module, and no pairs: 3 arguments were given"}},
        {"line without separator", {"nosemi.txt", "key.module"}, 10, bad_format,
         {"  nosemi.txt:3:  in.module  # no separator", "  reason: no \";\" between an input and an output path",
          "  hint: write the pair as <input>.module;<output>.module"}},
        {"unquoted pair split", {"in.module", ";o.module", "key.module"}, 10, bad_format,
         {"  argument 1: in.module", quote_pairs}},
        {"two separators", {"in.module;a.module;b.module", "key.module"}, 10, bad_format,
         {"  argument 1: in.module;a.module;b.module",
          "  reason: 2 \";\" in one pair; a pair is one input, one \";\" and one output"}},
        {"folder as input", {"folder.module;o.module", "key.module"}, 10,
         "Error: Input module folder.module does not exist\n",
         {"  argument 1: folder.module;o.module", "  reason: it is a folder"}},
        {"path relative to the list", {"sub/list.txt", "key.module"}, 10,
         "Error: Input module beside.module does not exist\n",
         {"  sub/list.txt:1: beside.module;o.module", "  reason: No such file or directory",
          "  hint: paths in a list file are taken from the working folder, not from the list file's folder"}},
        {"key entry on an output", {"in.module;o.module", "o.module"}, 10,
         "Error: Public Key Entry module o.module must differ from every input and output module\n",
         {"  argument 1: in.module;o.module"}},
        {"empty list", {"empty.txt", "key.module"}, kInternalError, "modules.size()",
         {"  list file empty.txt holds no module pair, only comments and blank lines",
          "  hint: write one pair per line, as in in.module;out.module"}},
        {"already signed", {"signed.module;o.module", "key.module"}, kInternalError,
         "Unsigned input module signed.module should have RS field set to ALL ZERO",
         {"  input module: signed.module", "  reason: its R and S fields are not all zero: it is already signed"}},
        {"key entry as input", {"entry.module;o.module", "key.module"}, kInternalError,
         "Input binary data size must be 4208 Bytes, but found 256",
         {"  hint: 256 bytes is the size of a Public Key Entry module"}},
        {"misspelt option", {"--permision=3", "in.module;o.module", "key.module"}, 2,
         "Error: Unknown option --permision: \"--permision=3\"\n" + kUsageHint,
         {"  did you mean --permission?"}},
    };
    // clang-format on
    for (const mistake& test : cases) {
        SCOPED_TRACE(test.name);
        const process_result run = sign(test.args);
        EXPECT_EQ(run.status, test.status) << run.err;
        EXPECT_TRUE(answers(run, test));
        for (const std::string& detail : test.details) {
            EXPECT_NE(("\n" + run.err).find("\n" + detail + "\n"), std::string::npos)
                << detail << "\n"
                << run.err;
        }
    }
    EXPECT_FALSE(present("o.module"));
    EXPECT_FALSE(present("key.module"));
}

// The later pair's image remains, as it always did, and a warning at the end says so.
TEST_F(KvrSign, PairsNamingOneOutputAreSignedInOrderWithAWarning) {
    add_module("a.module", 1);
    add_module("b.module", 2);
    std::string list;
    for (int i = 1; i <= 6; ++i) {
        list += (i % 2 == 1 ? "a.module" : "b.module") +
                std::string(i == 2 ? ";./same.module\n" : ";same.module\n");
    }
    kvr_test::write_text(at("list.txt"), list + "a.module;other.module\n");
    const process_result run = sign({"list.txt", "key.module"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err,
              "Warning: Output module same.module is named by 6 pairs: only the signed image of "
              "the last one remains\n"
              "  list.txt:1: a.module;same.module\n"
              "  list.txt:2: b.module;./same.module\n"
              "  list.txt:3: a.module;same.module\n"
              "  ... 2 more pairs\n"
              "  list.txt:6: b.module;same.module\n");
    const bytes last_input = file("b.module");
    const bytes same = file("same.module");
    EXPECT_TRUE(
        std::equal(last_input.begin(), last_input.begin() + kvr::kBlock0Size, same.begin()));
    EXPECT_TRUE(kvr_test::signature_verifies(file("key.module"), same));
}

// What the tool prints is part of its result: output that cannot be written is a failure (74
// where the run would have ended with 0), except after a finished job, whose status says that
// every file was written: that keeps 0 and warns.
TEST_F(KvrSign, StdoutThatCannotBeWrittenFailsTheRun) {
    add_module("in.module");
    const auto sign_into = [&](const std::string& redirect, std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" " + redirect, KVR_SIGN_PATH});
        return kvr_test::run_program("/bin/sh", args, dir.path().string());
    };
    const std::string lost = "Error: Fail to write standard output\n";
    const process_result full = sign_into(">/dev/full", {"in.module;out.module", "key.module"});
    EXPECT_EQ(full.status, 0);
    EXPECT_TRUE(
        kvr_test::fixed_then_details(full.err, "Warning: standard output could not be written\n"));
    EXPECT_NE(full.err.find("  reason: No space left on device\n"), std::string::npos) << full.err;
    EXPECT_TRUE(kvr_test::signature_verifies(file("key.module"), file("out.module")));
    EXPECT_EQ(sign_into(">&-", {"--help"}).status, 74);
    // Arguments that could not be shown: nothing is signed.
    const process_result unseen =
        sign_into(">/dev/full", {"--print_argument", "in.module;unseen.module", "key.module"});
    EXPECT_EQ(unseen.status, 74);
    EXPECT_TRUE(kvr_test::fixed_then_details(unseen.err, lost)) << unseen.err;
    EXPECT_FALSE(fs::exists(at("unseen.module")));
    const process_result refused = sign_into(">/dev/full", {"in.module"});
    EXPECT_EQ(refused.status, 7);  // the first failure's status stays
    EXPECT_EQ(refused.err.rfind(kNoFormMessage, 0), 0u) << refused.err;
    EXPECT_NE(refused.err.find("\n" + lost), std::string::npos) << refused.err;
}

// ---- Pairs and list files -----------------------------------------------------------------

TEST_F(KvrSign, ListFileTrimsPathsSkipsCommentsAndHandlesCrlf) {
    add_module("a.module", 1);
    add_module("b.module", 2);
    kvr_test::write_text(at("list.txt"),
                         "# header comment\r\n"
                         "\r\n"
                         "  a.module \t;  a.signed.module   # trailing comment\r\n"
                         "\t\r\n"
                         "b.module;b.signed.module");  // last line without a line feed
    const process_result run = sign({"list.txt", "key.module"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(ends_with_elapsed_time(run.out));
    EXPECT_TRUE(kvr_test::signature_verifies(file("key.module"), file("a.signed.module")));
    EXPECT_TRUE(kvr_test::signature_verifies(file("key.module"), file("b.signed.module")));
}

TEST_F(KvrSign, RejectedPairsReportTheTrimmedPathWithStatus10) {
    add_module("in.module");
    add_module("in.bin");
    struct pair_case {
        std::string pair;
        std::string message;
    };
    const std::vector<pair_case> cases = {
        {"in.module", kBadFormatMessage},
        {"in.module;a.module;b.module", kBadFormatMessage},
        {" nothing.module ; out.module", "Error: Input module nothing.module does not exist\n"},
        {"nothing.bin;out.module", "Error: Input module nothing.bin does not exist\n"},
        {";out.module", "Error: Input module  does not exist\n"},
        {" in.bin ;out.module", "Error: Input module in.bin extension must be .module\n"},
        {"in.module; out.bin ", "Error: Output module out.bin extension must be .module\n"},
        {"in.module;", "Error: Output module  extension must be .module\n"},
        // Bytes a terminal would swallow or act on are shown escaped: the name given, whole.
        {"in.module" + std::string(1, '\0') + "x.module;o.module",
         "Error: Input module in.module\\0x.module does not exist\n"},
        {"in\x1b[1m\xff.module;o.module",
         "Error: Input module in\\x1b[1m\\xff.module does not exist\n"},
        // A backslash is shown doubled, so text that looks like an escape is not taken for one.
        {"a\\x1b.module;o.module", "Error: Input module a\\\\x1b.module does not exist\n"},
    };
    for (const pair_case& test : cases) {
        kvr_test::write_text(at("list.txt"), test.pair + "\n");
        const process_result run = sign({"list.txt", "key.module"});
        EXPECT_EQ(run.status, 10) << test.pair;
        EXPECT_TRUE(kvr_test::fixed_then_details(run.err, test.message)) << test.pair;
        EXPECT_TRUE(ends_with_elapsed_time(run.out)) << test.pair;
    }
    EXPECT_FALSE(present("key.module"));
    EXPECT_FALSE(present("out.module"));
}

TEST_F(KvrSign, OutputPathNeedNotExistButItsExtensionIsCheckedEvenWhenItExists) {
    add_module("in.module");
    kvr_test::write_text(at("existing.bin"), "keep");
    kvr_test::write_text(at("list.txt"), "in.module;existing.bin\n");
    const process_result refused = sign({"list.txt", "key.module"});
    EXPECT_EQ(refused.status, 10);
    EXPECT_TRUE(kvr_test::fixed_then_details(
        refused.err, "Error: Output module existing.bin extension must be .module\n"));
    EXPECT_EQ(file("existing.bin"), (bytes{'k', 'e', 'e', 'p'}));
}

TEST_F(KvrSign, OutputPathWithANulByteIsRejectedNotCutShort) {
    add_module("in.module");
    kvr_test::write_text(at("list.txt"), std::string("in.module;out\0.module\n", 23));
    const process_result run = sign({"list.txt", "key.module"});
    EXPECT_EQ(run.status, 10);
    EXPECT_TRUE(kvr_test::fixed_then_details(
        run.err, "Error: Output module out\\0.module extension must be .module\n"));
    EXPECT_FALSE(present("out"));
}

TEST_F(KvrSign, FirstRejectedListLineEndsTheReading) {
    add_module("a.module");
    kvr_test::write_text(at("list.txt"),
                         "a.module;a.out.module\n"
                         "missing.module;b.out.module\n"
                         "also-missing.module;c.out.module\n"
                         "not a pair\n");
    const process_result run = sign({"list.txt", "key.module"});
    EXPECT_EQ(run.status, 10);
    EXPECT_TRUE(kvr_test::fixed_then_details(
        run.err, "Error: Input module missing.module does not exist\n"));
    EXPECT_FALSE(present("a.out.module"));
    EXPECT_FALSE(present("key.module"));
}

TEST_F(KvrSign, InlinePairsStopAtTheFirstRejectedPair) {
    add_module("a.module");
    add_module("c.module");
    const process_result run =
        sign({"a.module;a.out.module", "b.module", "c.module;c.out.bin", "key.module"});
    EXPECT_EQ(run.status, 10);
    // The third pair, also wrong, is never examined.
    EXPECT_TRUE(kvr_test::fixed_then_details(run.err, kBadFormatMessage));
    EXPECT_EQ(run.err.find("c.module"), std::string::npos) << run.err;
    EXPECT_FALSE(present("a.out.module"));
    EXPECT_FALSE(present("key.module"));
}

TEST_F(KvrSign, UnreadableListFileStopsWithFailToRead) {
    // Root reads every file, so the run drops to an unprivileged user where it can.
    std::string program = KVR_SIGN_PATH;
    std::vector<std::string> args = {"list.txt", "key.module"};
    if (geteuid() == 0) {
        if (!fs::exists("/usr/bin/setpriv")) {
            GTEST_SKIP() << "running as root without setpriv";
        }
        args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", program});
        program = "/usr/bin/setpriv";
        fs::permissions(dir.path(), fs::perms::all);
    }
    kvr_test::write_text(at("list.txt"), "a.module;b.module\n");
    fs::permissions(at("list.txt"), fs::perms::none);
    const process_result run = kvr_test::run_program(program, args, dir.path().string());
    expect_stop(run, "Fail to read file list.txt");
    EXPECT_NE(run.err.find("\n  reason: Permission denied\n"), std::string::npos) << run.err;
    EXPECT_FALSE(present("key.module"));
}

// ---- Module images ------------------------------------------------------------------------

TEST_F(KvrSign, BadImagesStopInPhaseOneWithTheirMessage) {
    struct image_case {
        std::string name;
        bytes image;
        std::string message;
    };
    bytes short_image = kvr_test::make_unsigned_module(1);
    short_image.pop_back();
    bytes long_image = kvr_test::make_unsigned_module(1);
    long_image.push_back(0);
    bytes swapped = kvr_test::make_unsigned_module(1);
    kvr::store_u32_le(swapped.data(), 0x95482962);
    bytes last_rs_byte = kvr_test::make_unsigned_module(1);
    last_rs_byte[kvr::kImageSize - 1] = 1;
    bytes first_rs_byte = kvr_test::make_unsigned_module(1);
    first_rs_byte[kvr::kRsOffset] = 0x80;
    const std::vector<image_case> cases = {
        {"short.module", short_image, "Input binary data size must be 4208 Bytes, but found 4207"},
        {"long.module", long_image, "Input binary data size must be 4208 Bytes, but found 4209"},
        {"empty.module", {}, "Input binary data size must be 4208 Bytes, but found 0"},
        {"swapped.module", swapped,
         "Expect the KVR Descriptor (swapped.module) magic number is 0x62294895 but found "
         "0x95482962"},
        {"last.module", last_rs_byte,
         "Unsigned input module last.module should have RS field set to ALL ZERO"},
        {"first.module", first_rs_byte,
         "Unsigned input module first.module should have RS field set to ALL ZERO"},
    };
    add_module("good.module");
    for (const image_case& test : cases) {
        kvr_test::write_bytes(at(test.name), test.image);
        const process_result run =
            sign({"good.module;good.out.module", test.name + ";bad.out.module", "key.module"});
        expect_stop(run, test.message);
        EXPECT_NE(run.err.find("\n  input module: " + test.name + "\n"), std::string::npos)
            << run.err;
        EXPECT_FALSE(present("good.out.module")) << test.name;
        EXPECT_FALSE(present("key.module")) << test.name;
    }
}

TEST_F(KvrSign, SignatureHeaderBytesAreKeptAndOnlyRAndSChange) {
    bytes image = add_module("in.module");
    image[kvr::kRsOffset - 1] = 0x77;  // last byte before R: not part of the checked field
    kvr_test::write_bytes(at("in.module"), image);
    const process_result run = sign({"in.module;out.module", "key.module"});
    ASSERT_EQ(run.status, 0) << run.err;
    const bytes signed_image = file("out.module");
    ASSERT_EQ(signed_image.size(), kvr::kImageSize);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + kvr::kRsOffset, signed_image.begin()));
    EXPECT_TRUE(kvr_test::signature_verifies(file("key.module"), signed_image));
}

// ---- Phase order --------------------------------------------------------------------------

TEST_F(KvrSign, RefusalsAndEarlyStopsLeaveExistingOutputsUntouched) {
    add_module("a.module", 1);
    bytes bad = kvr_test::make_unsigned_module(2);
    bad[kvr::kSOffset] = 1;
    kvr_test::write_bytes(at("bad.module"), bad);
    const bytes old_output{'o', 'l', 'd'};
    const bytes old_key{'k', 'e', 'y'};
    const std::vector<std::vector<std::string>> runs = {
        {"a.module;a.out.module", "b.module", "key.module"},  // user error, status 10
        {"a.module;a.out.module", "bad.module;b.out.module", "key.module"},  // phase 1 stop
    };
    for (const auto& args : runs) {
        kvr_test::write_bytes(at("a.out.module"), old_output);
        kvr_test::write_bytes(at("key.module"), old_key);
        const process_result run = sign(args);
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(file("a.out.module"), old_output) << testing::PrintToString(args);
        EXPECT_EQ(file("key.module"), old_key) << testing::PrintToString(args);
        EXPECT_FALSE(present("b.out.module"));
    }
}

TEST_F(KvrSign, StopInPhaseThreeChangesNoOutputAndKeepsTheOldKeyEntry) {
    add_module("a.module", 1);
    add_module("b.module", 2);
    add_module("c.module", 3);
    fs::create_directory(at("b.out.module"));  // cannot be replaced by a file
    const bytes old{'o', 'l', 'd'};
    kvr_test::write_bytes(at("c.out.module"), old);
    kvr_test::write_bytes(at("key.module"), old);
    const process_result run = sign(
        {"a.module;a.out.module", "b.module;b.out.module", "c.module;c.out.module", "key.module"});
    expect_stop(run, "Fail to open b.out.module for writing");
    EXPECT_FALSE(present("a.out.module"));
    EXPECT_EQ(file("c.out.module"), old);
    EXPECT_EQ(file("key.module"), old);
    EXPECT_TRUE(fs::is_directory(at("b.out.module")));
}

// ---- Public Key Entry ---------------------------------------------------------------------

bytes hex_bytes(const std::string& hex) {
    bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 3) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

bytes slice(const bytes& data, size_t offset, size_t length) {
    return bytes(data.begin() + static_cast<long>(offset),
                 data.begin() + static_cast<long>(offset + length));
}

TEST_F(KvrSign, KeyEntryFixedPartsWithDefaultWords) {
    add_module("in.module");
    ASSERT_EQ(sign({"in.module;out.module", "key.module"}).status, 0);
    const bytes entry = file("key.module");
    ASSERT_EQ(entry.size(), 256u);
    EXPECT_EQ(slice(entry, 0x00, 48),
              hex_bytes("17 09 54 92 00 01 00 00 78 00 00 00 70 00 00 00 "
                        "00 00 00 00 00 00 00 00 60 06 70 58 30 00 00 00 "
                        "30 00 00 00 48 66 32 54 01 00 00 00 FF FF FF FF "));
    EXPECT_EQ(slice(entry, 0x90, 16),
              hex_bytes("20 15 88 74 30 00 00 00 30 00 00 00 20 88 54 30 "));
    EXPECT_EQ(slice(entry, 0xA0, 96), bytes(96, 0));
}

TEST_F(KvrSign, KeyEntryCarriesPermissionAndCancelInBothOptionForms) {
    add_module("in.module");
    ASSERT_EQ(sign({"--permission", "0x04030201", "--cancel=305419896", "in.module;out.module",
                    "key.module"})
                  .status,
              0);
    const bytes entry = file("key.module");
    EXPECT_EQ(slice(entry, 0x28, 8), hex_bytes("01 02 03 04 78 56 34 12 "));
}

TEST_F(KvrSign, EntriesOfTwoRunsDifferOnlyInTheKey) {
    add_module("in.module");
    ASSERT_EQ(sign({"in.module;one.module", "key1.module"}).status, 0);
    ASSERT_EQ(sign({"in.module;two.module", "key2.module"}).status, 0);
    const bytes first = file("key1.module");
    const bytes second = file("key2.module");
    EXPECT_EQ(slice(first, 0, 0x30), slice(second, 0, 0x30));
    EXPECT_EQ(slice(first, 0x90, 112), slice(second, 0x90, 112));
    EXPECT_NE(slice(first, 0x30, 96), slice(second, 0x30, 96));
    EXPECT_NE(file("one.module"), file("two.module"));
    EXPECT_FALSE(kvr_test::signature_verifies(first, file("two.module")));
}

// ---- Signatures ---------------------------------------------------------------------------

TEST_F(KvrSign, EveryModuleOfARunVerifiesUnderTheOneKeyAndTamperingIsCaught) {
    std::string list;
    for (uint32_t i = 0; i < 5; ++i) {
        add_module("m" + std::to_string(i) + ".module", i);
        list += "m" + std::to_string(i) + ".module;s" + std::to_string(i) + ".module\n";
    }
    kvr_test::write_text(at("list.txt"), list);
    ASSERT_EQ(sign({"list.txt", "key.module"}).status, 0);
    const bytes entry = file("key.module");
    for (uint32_t i = 0; i < 5; ++i) {
        bytes image = file("s" + std::to_string(i) + ".module");
        EXPECT_TRUE(kvr_test::signature_verifies(entry, image)) << i;
        image[kvr::kBlock0Size + 3] ^= 0xFF;  // not signed
        EXPECT_TRUE(kvr_test::signature_verifies(entry, image)) << i;
        image[kvr::kBlock0Size - 1] ^= 0x01;  // signed
        EXPECT_FALSE(kvr_test::signature_verifies(entry, image)) << i;
    }
}

TEST_F(KvrSign, SignatureVerifiesWithTheOpensslCommandLineTool) {
    add_module("in.module");
    ASSERT_EQ(sign({"in.module;out.module", "key.module"}).status, 0);
    const bytes image = file("out.module");
    kvr_test::write_text(at("public.pem"), kvr_test::public_key_pem(file("key.module")));
    kvr_test::write_bytes(at("block0.bin"), slice(image, 0, kvr::kBlock0Size));
    kvr_test::write_bytes(at("signature.der"), kvr_test::signature_der(image));
    const process_result run = kvr_test::run_program(
        "/usr/bin/openssl",
        {"dgst", "-sha384", "-verify", "public.pem", "-signature", "signature.der", "block0.bin"},
        dir.path().string());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Verified OK"), std::string::npos) << run.out;
}

TEST_F(KvrSign, ShortRAndSAreStoredRightAlignedAfterZeros) {
    // About one value in 256 has a zero leading byte, so one run of 300 modules (600 values)
    // meets one nine times in ten; a few more runs make missing it practically impossible.
    const process_result made = kvr_test::run_program(
        KVR_MAKE_MODULES_PATH, {"many", "300", "list.txt"}, dir.path().string());
    ASSERT_EQ(made.status, 0) << made.err;
    int short_values = 0;
    for (int run = 0; run < 8 && short_values == 0; ++run) {
        ASSERT_EQ(sign({"list.txt", "key.module"}).status, 0);
        const bytes entry = file("key.module");
        for (int i = 1; i <= 300; ++i) {
            const bytes image = file("many/example" + std::to_string(i) + ".signed.module");
            const bool short_r = image[kvr::kROffset] == 0;
            const bool short_s = image[kvr::kSOffset] == 0;
            if (short_r || short_s) {
                ASSERT_TRUE(kvr_test::signature_verifies(entry, image)) << i;
                short_values += short_r + short_s;
            }
        }
    }
    EXPECT_GT(short_values, 0);
}

// ---- Outputs that must not be lost ---------------------------------------------------------

TEST_F(KvrSign, DeviceBehindALinkIsRefusedNotWritten) {
    add_module("in.module");
    fs::create_symlink("/dev/full", at("full.module"));
    expect_stop(sign({"in.module;full.module", "key.module"}),
                "Fail to open full.module for writing");
    EXPECT_FALSE(present("key.module"));
    expect_stop(sign({"in.module;out.module", "full.module"}),
                "Fail to open full.module for writing");
    EXPECT_FALSE(present("out.module"));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(at("full.module"))));
}

TEST_F(KvrSign, KeyEntryMayNotNameAnInputOrOutputModule) {
    add_module("in.module");
    add_module("other.module", 2);
    fs::create_directory(at("sub"));
    fs::create_symlink("in.module", at("link.module"));
    fs::create_hard_link(at("other.module"), at("hard.module"));
    fs::create_directory_symlink("sub", at("alias"));
    fs::create_directory(at("sub/inner"));
    fs::create_directory_symlink("sub/inner", at("down"));
    fs::create_symlink("k.module", at("dangling.module"));
    const bytes in_before = file("in.module");
    struct key_case {
        std::vector<std::string> args;
        std::string key;
    };
    const std::vector<key_case> cases = {
        {{"in.module;out.module", "out.module"}, "out.module"},
        {{"in.module;out.module", "./out.module"}, "./out.module"},
        {{"in.module;out.module", "sub/../in.module"}, "sub/../in.module"},
        {{"in.module;out.module", "link.module"}, "link.module"},
        {{"other.module;x.module", "in.module;out.module", "hard.module"}, "hard.module"},
        {{"in.module;alias/k.module", "sub/k.module"}, "sub/k.module"},    // neither exists yet
        {{"in.module;down/../k.module", "sub/k.module"}, "sub/k.module"},  // ".." after a link
        {{"in.module;dangling.module", "k.module"}, "k.module"},  // a link to the key entry
    };
    for (const key_case& test : cases) {
        const process_result run = sign(test.args);
        EXPECT_EQ(run.status, 10) << test.key;
        EXPECT_TRUE(kvr_test::fixed_then_details(
            run.err, "Error: Public Key Entry module " + test.key +
                         " must differ from every input and output module\n"));
        EXPECT_TRUE(ends_with_elapsed_time(run.out));
    }
    kvr_test::write_text(at("list.txt"), "in.module ; out.module\n");
    const process_result listed = sign({"list.txt", "./out.module"});
    EXPECT_EQ(listed.status, 10);
    EXPECT_EQ(file("in.module"), in_before);
    EXPECT_FALSE(present("out.module"));
    EXPECT_FALSE(present("x.module"));
    EXPECT_FALSE(present("sub/k.module"));
}

TEST_F(KvrSign, OutputsThatAreFifosAreRefusedInsteadOfWaitedOn) {
    add_module("in.module");
    ASSERT_EQ(mkfifo(at("fifo.module").c_str(), 0600), 0);
    expect_stop(sign({"in.module;out.module", "fifo.module"}),
                "Fail to open fifo.module for writing");
    EXPECT_FALSE(present("out.module"));
    expect_stop(sign({"in.module;fifo.module", "key.module"}),
                "Fail to open fifo.module for writing");
    EXPECT_FALSE(present("key.module"));  // staged in phase 2, never committed
}

TEST_F(KvrSign, DotDotAfterALinkIsTakenAsTheKernelTakesIt) {
    fs::create_directories(at("real/sub"));
    fs::create_directory_symlink("real/sub", at("link"));
    add_module("real/in.module", 1);
    const bytes unrelated = add_module("in.module", 2);
    ASSERT_EQ(sign({"real/in.module;link/../in.module", "key.module"}).status, 0);
    EXPECT_TRUE(kvr_test::signature_verifies(file("key.module"), file("real/in.module")));
    EXPECT_EQ(file("in.module"), unrelated);
}

TEST_F(KvrSign, HugeInputIsMeasuredNotRead) {
    const std::string huge = at("huge.module");
    kvr_test::write_bytes(huge, {});
    ASSERT_EQ(truncate(huge.c_str(), 5LL << 30), 0);  // sparse: costs no disk space
    const process_result run = sign({"huge.module;out.module", "key.module"});
    expect_stop(run, "Input binary data size must be 4208 Bytes, but found 5368709120");
}

TEST_F(KvrSign, SigningInPlaceAndRepeatedOutputsFollowListOrder) {
    add_module("a.module", 1);
    add_module("b.module", 2);
    const bytes b_before = file("b.module");
    ASSERT_EQ(
        sign({"a.module;a.module", "a.module;same.module", "b.module;same.module", "key.module"})
            .status,
        0);
    const bytes entry = file("key.module");
    EXPECT_TRUE(kvr_test::signature_verifies(entry, file("a.module")));
    const bytes same = file("same.module");
    EXPECT_TRUE(kvr_test::signature_verifies(entry, same));
    EXPECT_TRUE(std::equal(b_before.begin(), b_before.begin() + kvr::kBlock0Size, same.begin()));
}

}  // namespace
