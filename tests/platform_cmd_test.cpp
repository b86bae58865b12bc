// Command-line parsing, console messages, help print-out and the self test's failure path.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "child_capture.h"
#include "qpx_common.h"
#include "zrl_core.h"

namespace {

using strings = std::vector<std::string>;

// A table of its own, with its own variables, so that no test touches the tool's globals.
struct local_options {
    bool help = false;
    bool verbose = false;
    uint32_t permission = 1;
    uint32_t cancel = 0xFFFFFFFF;
    std::string label = "none";
    std::vector<QPX_COMMON_CMD_ARG_STRUCT> table{
        {"help", QPX_COMMON_CMD_ARG_FLAG, &help, 0, 0, "Prints the help"},
        {"verbose", QPX_COMMON_CMD_ARG_FLAG, &verbose, 0, 1, "Talks more"},
        {"permission", QPX_COMMON_CMD_ARG_UINT32, &permission, 0, 1, "Permission word"},
        {"cancel", QPX_COMMON_CMD_ARG_UINT32, &cancel, 0, 1, "Cancellation word"},
        {"label", QPX_COMMON_CMD_ARG_TEXT, &label, 0, 1, "A text"},
    };
};

struct parse_outcome {
    QPX_COMMON_CMD_ERROR error;
    strings files;
    std::string out;
    std::string err;
};

parse_outcome parse(local_options& options, const strings& args, strings* unknown = nullptr) {
    strings words{"prog"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    parse_outcome outcome{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    outcome.error = QPX_COMMON_CMD::parse_argument(static_cast<int>(argv.size()), argv.data(),
                                                   static_cast<uint32_t>(options.table.size()),
                                                   options.table.data(), outcome.files, unknown);
    outcome.err = testing::internal::GetCapturedStderr();
    outcome.out = testing::internal::GetCapturedStdout();
    return outcome;
}

// ---- Numbers ------------------------------------------------------------------------------

struct number_case {
    strings args;
    uint32_t value;
};

TEST(ParseArgument, AcceptsNumbersOverTheFullRangeInBothSpellings) {
    const std::vector<number_case> cases{
        {{"--permission", "0"}, 0},
        {{"--permission=0"}, 0},
        {{"--permission", "4294967295"}, 4294967295u},
        {{"--permission=4294967295"}, 4294967295u},
        {{"--permission=0xFFFFFFFF"}, 0xFFFFFFFFu},
        {{"--permission", "0xffffffff"}, 0xFFFFFFFFu},
        {{"--permission=0X1f"}, 0x1Fu},
        {{"--permission=010"}, 10},  // leading zeros stay decimal
        {{"--permission=0x0"}, 0},
    };
    for (const number_case& test : cases) {
        local_options options;
        const parse_outcome outcome = parse(options, test.args);
        EXPECT_EQ(outcome.error, QPX_COMMON_CMD_OK) << test.args[0];
        EXPECT_EQ(options.permission, test.value) << test.args[0];
        EXPECT_EQ(options.cancel, 0xFFFFFFFFu) << "an option not given keeps its value";
        EXPECT_TRUE(outcome.files.empty()) << test.args[0];
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.out, "");
    }
}

struct refusal_case {
    strings args;
    QPX_COMMON_CMD_ERROR error;
    std::string quoted;                  // what the message must quote
    std::string named = "--permission";  // the option the message must name
};

TEST(ParseArgument, RefusesBadValuesWithTheirOwnCodeAndOneClearMessage) {
    const std::vector<refusal_case> cases{
        {{"--permission", "4294967296"}, QPX_COMMON_CMD_NUMBER_OUT_OF_RANGE, "4294967296"},
        {{"--permission=0x100000000"}, QPX_COMMON_CMD_NUMBER_OUT_OF_RANGE, "0x100000000"},
        {{"--permission=18446744073709551617"},  // 2^64 + 1 must not wrap to 1
         QPX_COMMON_CMD_NUMBER_OUT_OF_RANGE,
         "18446744073709551617"},
        {{"--permission=99999999999999999999999999"},
         QPX_COMMON_CMD_NUMBER_OUT_OF_RANGE,
         "99999999999999999999999999"},
        {{"--permission=-1"}, QPX_COMMON_CMD_MALFORMED_NUMBER, "-1"},
        {{"--permission", "-1"}, QPX_COMMON_CMD_MALFORMED_NUMBER, "-1"},
        {{"--permission=+1"}, QPX_COMMON_CMD_MALFORMED_NUMBER, "+1"},
        {{"--permission=0x"}, QPX_COMMON_CMD_MALFORMED_NUMBER, "0x"},
        {{"--permission=0xg"}, QPX_COMMON_CMD_MALFORMED_NUMBER, "0xg"},
        {{"--permission=12abc"}, QPX_COMMON_CMD_MALFORMED_NUMBER, "12abc"},
        {{"--permission=99999999999999999999x"},
         QPX_COMMON_CMD_MALFORMED_NUMBER,
         "99999999999999999999x"},
        {{"--permission=abc"}, QPX_COMMON_CMD_MALFORMED_NUMBER, "abc"},
        {{"--permission= 1"}, QPX_COMMON_CMD_MALFORMED_NUMBER, " 1"},
        {{"--permission=1 "}, QPX_COMMON_CMD_MALFORMED_NUMBER, "1 "},
        {{"--permission="}, QPX_COMMON_CMD_MALFORMED_NUMBER, ""},
        {{"--permission", ""}, QPX_COMMON_CMD_MALFORMED_NUMBER, ""},
        {{"a.module", "--permission"}, QPX_COMMON_CMD_MISSING_VALUE, "--permission"},
        {{"--permission", "--help"}, QPX_COMMON_CMD_MISSING_VALUE, "--permission"},
        {{"--help=1"}, QPX_COMMON_CMD_FLAG_WITH_VALUE, "--help=1", "--help"},
        {{"--help="}, QPX_COMMON_CMD_FLAG_WITH_VALUE, "--help=", "--help"},
        {{"--nope"}, QPX_COMMON_CMD_UNKNOWN_OPTION, "--nope", "--nope"},
        {{"--nope=3"}, QPX_COMMON_CMD_UNKNOWN_OPTION, "--nope=3", "--nope"},
        {{"--Help"}, QPX_COMMON_CMD_UNKNOWN_OPTION, "--Help", "--Help"},
        {{"--perm=1"}, QPX_COMMON_CMD_UNKNOWN_OPTION, "--perm=1", "--perm"},
    };
    for (const refusal_case& test : cases) {
        const std::string shown = test.args.back();
        local_options options;
        const parse_outcome outcome = parse(options, test.args);
        EXPECT_EQ(outcome.error, test.error) << shown;
        EXPECT_EQ(options.permission, 1u) << shown << ": a refused value is not stored";
        EXPECT_FALSE(options.help) << shown;
        EXPECT_EQ(outcome.out, "") << shown;
        const std::string first_line = outcome.err.substr(0, outcome.err.find('\n'));
        EXPECT_EQ(first_line.rfind("Error: ", 0), 0u) << outcome.err;
        EXPECT_NE(first_line.find(test.named), std::string::npos) << outcome.err;
        EXPECT_NE(first_line.find("\"" + test.quoted + "\""), std::string::npos) << outcome.err;
    }
}

// An unknown option's detail line names the options it most likely meant, and only those.
TEST(ParseArgument, UnknownOptionNamesTheNearestKnownOnes) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"--perm", "  did you mean --permission?\n"},       // begins one
        {"--permision", "  did you mean --permission?\n"},  // one letter left out
        {"--HELP", "  did you mean --help?\n"},             // case
        {"--lable=x", "  did you mean --label?\n"},         // two letters swapped
        {"--c", ""},                                        // too short to tell
        {"--version", ""},                                  // nothing near
        {"--\x1b[2J", ""},                                  // shown escaped, never suggested
    };
    for (const auto& [typed, suggestion] : cases) {
        local_options options;
        const parse_outcome outcome = parse(options, {typed});
        EXPECT_EQ(outcome.error, QPX_COMMON_CMD_UNKNOWN_OPTION) << typed;
        const size_t detail = outcome.err.find("usage\n");
        ASSERT_NE(detail, std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.err.substr(detail + 6), suggestion) << typed;
        EXPECT_EQ(outcome.err.find('\x1b'), std::string::npos) << outcome.err;
    }
}

TEST(ParseArgument, ErrorCodesAreDistinctAndAvoidTheToolsOwnStatuses) {
    const std::vector<int> codes{
        QPX_COMMON_CMD_UNKNOWN_OPTION,   QPX_COMMON_CMD_MISSING_VALUE,
        QPX_COMMON_CMD_MALFORMED_NUMBER, QPX_COMMON_CMD_NUMBER_OUT_OF_RANGE,
        QPX_COMMON_CMD_FLAG_WITH_VALUE,  QPX_COMMON_CMD_MISSING_REQUIRED};
    EXPECT_EQ(std::set<int>(codes.begin(), codes.end()).size(), codes.size());
    for (const int code : codes) {
        EXPECT_NE(code, 0);
        EXPECT_NE(code, 7);
        EXPECT_NE(code, 10);
        EXPECT_NE(code, kInternalErrorStatus);
        EXPECT_GT(code, 0);
        EXPECT_LT(code, 126) << "a shell reserves 126 and above";
    }
}

// A text option takes its value whole, bytes unchanged, in both spellings; the last one counts.
TEST(ParseArgument, TextOptionsStoreTheirValueAsGiven) {
    const std::vector<std::tuple<strings, QPX_COMMON_CMD_ERROR, std::string>> cases{
        {{"--label=a b=c"}, QPX_COMMON_CMD_OK, "a b=c"},
        {{"--label", "-x \xff"}, QPX_COMMON_CMD_OK, "-x \xff"},
        {{"--label=first", "--label="}, QPX_COMMON_CMD_OK, ""},
        {{"--label", "--help"}, QPX_COMMON_CMD_MISSING_VALUE, "none"},
    };
    for (const auto& [args, error, value] : cases) {
        local_options options;
        EXPECT_EQ(parse(options, args).error, error) << args[0];
        EXPECT_EQ(options.label, value) << args[0];
    }
}

// ---- Flags, positional arguments and the end of options -----------------------------------

TEST(ParseArgument, FlagsAndNumbersLandInTheirTargetsAndPositionalsKeepTheirOrder) {
    local_options options;
    const parse_outcome outcome =
        parse(options, {"first.module", "--verbose", "--permission", "7", "second.module",
                        "--cancel=0", "-", "-x", "third.module"});
    EXPECT_EQ(outcome.error, QPX_COMMON_CMD_OK);
    EXPECT_TRUE(options.verbose);
    EXPECT_FALSE(options.help);
    EXPECT_EQ(options.permission, 7u);
    EXPECT_EQ(options.cancel, 0u);
    EXPECT_EQ(outcome.files, (strings{"first.module", "second.module", "-", "-x", "third.module"}));
    EXPECT_EQ(outcome.err, "");
}

TEST(ParseArgument, ALoneDoubleDashMakesEverythingAfterItPositional) {
    local_options options;
    const parse_outcome outcome =
        parse(options, {"a", "--", "--help", "--permission=5", "--", "--nope", "b"});
    EXPECT_EQ(outcome.error, QPX_COMMON_CMD_OK);
    EXPECT_FALSE(options.help);
    EXPECT_EQ(options.permission, 1u);
    EXPECT_EQ(outcome.files, (strings{"a", "--help", "--permission=5", "--", "--nope", "b"}));
    EXPECT_EQ(outcome.err, "");
}

TEST(ParseArgument, NoArgumentsLeaveEverythingAsItWas) {
    local_options options;
    const parse_outcome outcome = parse(options, {});
    EXPECT_EQ(outcome.error, QPX_COMMON_CMD_OK);
    EXPECT_TRUE(outcome.files.empty());
    EXPECT_FALSE(options.help);
    EXPECT_FALSE(options.verbose);
    EXPECT_EQ(options.permission, 1u);
    EXPECT_EQ(options.cancel, 0xFFFFFFFFu);
}

TEST(ParseArgument, AnUnknownOptionListCollectsUnknownOptionsInsteadOfRefusing) {
    local_options options;
    strings unknown;
    const parse_outcome outcome = parse(options, {"--nope", "a", "--other=1", "--help"}, &unknown);
    EXPECT_EQ(outcome.error, QPX_COMMON_CMD_OK);
    EXPECT_EQ(unknown, (strings{"--nope", "--other=1"}));
    EXPECT_EQ(outcome.files, strings{"a"});
    EXPECT_TRUE(options.help);
    EXPECT_EQ(outcome.err, "");
}

TEST(ParseArgument, ARequiredOptionThatIsMissingIsRefused) {
    local_options options;
    options.table[3].attr_a = 1;  // cancel must be given
    const parse_outcome missing = parse(options, {"--permission=2"});
    EXPECT_EQ(missing.error, QPX_COMMON_CMD_MISSING_REQUIRED);
    EXPECT_NE(missing.err.find("--cancel"), std::string::npos) << missing.err;
    const parse_outcome given = parse(options, {"--cancel", "3"});
    EXPECT_EQ(given.error, QPX_COMMON_CMD_OK);
    EXPECT_EQ(options.cancel, 3u);
}

// ---- Console messages ---------------------------------------------------------------------

TEST(PrintMsg, InfoGoesToStdoutAndErrorsToStderrBehindTheMarker) {
    const kvr_test::child_output output = kvr_test::run_in_child([] {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "value %d of %s", 42, "x");
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "broken %s\n", "pair");
    });
    EXPECT_EQ(output.status, 0);
    EXPECT_EQ(output.out, "value 42 of x\n");
    EXPECT_EQ(output.err, "Error: broken pair\n");
}

TEST(PrintMsg, ALineFeedIsAddedOnlyWhenMissingAndAnEmptyMessagePrintsAnEmptyLine) {
    const kvr_test::child_output output = kvr_test::run_in_child([] {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "%s", "");
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "one\n");
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "two\nthree");
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 1, "Elapsed time: %d msecond(s)", -5);
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "%s", "");
    });
    EXPECT_EQ(output.out, "\none\ntwo\nthree\nElapsed time: -5 msecond(s)\n");
    EXPECT_EQ(output.err, "Error: \n");
}

TEST(PrintMsg, AValueIsPrintedAsDataNeverUsedAsAFormat) {
    const kvr_test::child_output output = kvr_test::run_in_child([] {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "Input module %s does not exist\n",
                                  "dir/%s%n%x.module");
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "%s", "100% %n done");
    });
    EXPECT_EQ(output.status, 0);
    EXPECT_EQ(output.err, "Error: Input module dir/%s%n%x.module does not exist\n");
    EXPECT_EQ(output.out, "100% %n done\n");
}

TEST(PrintMsg, PendingStdoutComesOutBeforeAnErrorOnASharedStream) {
    const kvr_test::child_output output = kvr_test::run_in_child(
        [] {
            QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "before");
            QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "failure");
            QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "after");
        },
        true);
    EXPECT_EQ(output.out, "before\nError: failure\nafter\n");
}

TEST(PrintMsg, LongMessagesAreNotCut) {
    const std::string long_path(10000, 'p');
    const kvr_test::child_output output = kvr_test::run_in_child([&] {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 0, "Input module %s does not exist\n",
                                  long_path.c_str());
    });
    EXPECT_EQ(output.err, "Error: Input module " + long_path + " does not exist\n");
}

// ---- Help ---------------------------------------------------------------------------------

std::string help_output(bool show_values, local_options& options, const strings& files,
                        const std::vector<QPX_COMMON_CMD_HELP_STRUCT>& rows) {
    testing::internal::CaptureStdout();
    QPX_COMMON_CMD::print_help(show_values, static_cast<uint32_t>(options.table.size()),
                               options.table.data(), files, static_cast<uint32_t>(rows.size()),
                               rows.data());
    return testing::internal::GetCapturedStdout();
}

const std::vector<QPX_COMMON_CMD_HELP_STRUCT> kLocalHelp{
    {0, "Intro with 100% and %s\n"}, {1, "legend"},      {3, "prog <in> <out>\n"},
    {4, "Example: prog a b\n"},      {5, "| box row |"},
};

TEST(PrintHelp, EveryRowAppearsUnchangedAndInOrderFollowedByTheOptions) {
    local_options options;
    const std::string out = help_output(false, options, {"pos.module"}, kLocalHelp);
    size_t from = 0;
    for (const QPX_COMMON_CMD_HELP_STRUCT& row : kLocalHelp) {
        const size_t at = out.find(row.text, from);
        ASSERT_NE(at, std::string::npos) << row.text << "\n---\n" << out;
        from = at + row.text.size();
    }
    for (const QPX_COMMON_CMD_ARG_STRUCT& option : options.table) {
        const size_t at = out.find("--" + option.name, from);
        ASSERT_NE(at, std::string::npos) << option.name << "\n---\n" << out;
        const std::string line = out.substr(at, out.find('\n', at) - at);
        EXPECT_NE(line.find(option.description), std::string::npos) << line;
    }
    EXPECT_EQ(out.find("pos.module"), std::string::npos)
        << "no positional arguments without values";
}

TEST(PrintHelp, WithValuesItShowsCurrentValuesAndThePositionalArguments) {
    local_options options;
    options.permission = 123456;
    options.cancel = 4294967295u;
    options.verbose = true;
    options.label = "text 100%s";
    const std::string out =
        help_output(true, options, {"in%s.module;out.module", "key.module"}, kLocalHelp);
    EXPECT_NE(out.find("--label <text>"), std::string::npos) << out;
    const size_t options_end = out.rfind("Cancellation word");
    ASSERT_NE(options_end, std::string::npos) << out;
    const std::string values = out.substr(options_end);
    EXPECT_NE(values.find("123456"), std::string::npos) << values;
    EXPECT_NE(values.find("4294967295"), std::string::npos) << values;
    EXPECT_NE(values.find("true"), std::string::npos) << values;
    EXPECT_NE(values.find("\"text 100%s\""), std::string::npos) << values;
    const size_t first = values.find("in%s.module;out.module");
    const size_t second = values.find("key.module", first);
    EXPECT_NE(first, std::string::npos) << values;
    EXPECT_NE(second, std::string::npos) << values;
}

// ---- Self test failure --------------------------------------------------------------------

// Two options with the same name: the parser can only ever fill the first, so the self test's
// check that every target received its value must fail.
TEST(UnitTest, AFailedCheckStopsThroughTheInternalErrorReporter) {
    const kvr_test::child_output output = kvr_test::run_in_child([] {
        uint32_t first = 0;
        uint32_t second = 0;
        std::vector<QPX_COMMON_CMD_ARG_STRUCT> table{
            {"twin", QPX_COMMON_CMD_ARG_UINT32, &first, 0, 1, "first"},
            {"twin", QPX_COMMON_CMD_ARG_UINT32, &second, 0, 1, "second"},
        };
        QPX_COMMON_CMD::unit_test(static_cast<uint32_t>(table.size()), table.data());
        std::printf("returned\n");
    });
    EXPECT_EQ(output.status, kInternalErrorStatus);
    EXPECT_NE(output.err.find("Internal error ["), std::string::npos) << output.err;
    EXPECT_NE(output.err.find("Self test failed"), std::string::npos) << output.err;
    EXPECT_EQ(output.out.find("returned"), std::string::npos) << output.out;
    EXPECT_EQ(output.out.find("all passed"), std::string::npos) << output.out;
}

TEST(UnitTest, PassesOnAValidTableAndRestoresItsTargets) {
    local_options options;
    options.permission = 77;
    options.verbose = true;
    options.label = "kept";
    testing::internal::CaptureStdout();
    QPX_COMMON_CMD::unit_test(static_cast<uint32_t>(options.table.size()), options.table.data());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(options.help);
    EXPECT_TRUE(options.verbose);
    EXPECT_EQ(options.permission, 77u);
    EXPECT_EQ(options.cancel, 0xFFFFFFFFu);
    EXPECT_EQ(options.label, "kept");
    EXPECT_NE(out.find("unit_test:"), std::string::npos) << out;
}

}  // namespace
