// The tool's option table, help table and option variables, and how the command-line service
// treats them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fradel_kvr_sign_cmd.h"
#include "qpx_common.h"

namespace {

using strings = std::vector<std::string>;

// Puts the option variables and m_files back when a test is done with them.
class option_variables_guard {
  public:
    option_variables_guard()
        : help_(help_flag),
          unit_test_(unit_test_flag),
          print_argument_(print_argument_flag),
          permission_(permission_value),
          cancel_(cancel_value),
          files_(m_files) {}
    ~option_variables_guard() {
        help_flag = help_, unit_test_flag = unit_test_, print_argument_flag = print_argument_;
        permission_value = permission_, cancel_value = cancel_, m_files = files_;
    }
    option_variables_guard(const option_variables_guard&) = delete;
    option_variables_guard& operator=(const option_variables_guard&) = delete;

  private:
    bool help_, unit_test_, print_argument_;
    uint32_t permission_, cancel_;
    strings files_;
};

TEST(OptionVariables, StartWithTheirDefaults) {
    EXPECT_FALSE(help_flag);
    EXPECT_FALSE(unit_test_flag);
    EXPECT_FALSE(print_argument_flag);
    EXPECT_EQ(permission_value, 1u);
    EXPECT_EQ(cancel_value, 0xFFFFFFFFu);
    EXPECT_TRUE(m_files.empty());
}

struct option_row {
    const char* name;
    int32_t kind;
    void* target;
    uint8_t attr_a;
    uint8_t attr_b;
    const char* description;
};

TEST(OptionTable, HoldsTheFiveRowsInOrder) {
    const std::vector<option_row> expected{
        {"help", 0, &help_flag, 0, 0, "This is to print the help menu"},
        {"unit_test", 0, &unit_test_flag, 0, 1, "This enable the internal exe unit test"},
        {"print_argument", 0, &print_argument_flag, 0, 1, "This is to print the argument"},
        {"permission", 1, &permission_value, 0, 1, "This is to permission"},
        {"cancel", 1, &cancel_value, 0, 1, "This is to cancellation"},
    };
    ASSERT_EQ(kOptionCount, expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const QPX_COMMON_CMD_ARG_STRUCT& row = option_table[i];
        EXPECT_EQ(row.name, expected[i].name) << i;
        EXPECT_EQ(row.kind, expected[i].kind) << i;
        EXPECT_EQ(row.target, expected[i].target) << i;
        EXPECT_EQ(row.attr_a, expected[i].attr_a) << i;
        EXPECT_EQ(row.attr_b, expected[i].attr_b) << i;
        EXPECT_EQ(row.description, expected[i].description) << i;
    }
}

const std::vector<QPX_COMMON_CMD_HELP_STRUCT> kExpectedHelp{
    {0, "In below explantion\n"},
    {1, "<> argument that you need to specify"},
    {1, "{} argument that is optional\n"},
    {1, "1) To sign KVR Descriptor Module(s) and output Public Key Entry module\n"},
    {3,
     "kvr_sign <input text with .txt extension that defines list of modules to sign> <Public Key "
     "Entry module with .module extension>\n"},
    {4, "Example: kvr_sign module.txt key.module\n"},
    {4, "Sample of input text\n\n"},
    {5, "----------------------------------------------------------------------------"},
    {5, "| # This is comment                                                        |"},
    {5, "| # We define KVR Descriptor module pair (in;out) here.                    |"},
    {5, "| # One module pair per line in following format, with \";\" as seperator    |"},
    {5, "| # <input unsigned module filepath> ; <output signed module filepath>     |"},
    {5, "| # Module(s) is in .module extension                                      |"},
    {5, "| #                                                                        |"},
    {5, "| example1.unsigned.module;example1.signed.module                          |"},
    {5, "| example2.unsigned.module;example2.signed.module                          |"},
    {5, "| example3.unsigned.module;example3.signed.module                          |"},
    {5, "| example4.unsigned.module;example4.signed.module                          |"},
    {5, "| .......                                                                  |"},
    {5, "| .......                                                                  |"},
    {5, "----------------------------------------------------------------------------\n\n"},
    {3, "OR\n"},
    {3, "kvr_sign <list of modules to sign> <Public Key Entry module with .module extension>\n"},
    {4,
     "Example: kvr_sign example1.unsigned.module;example1.signed.module "
     "example1.unsigne2.module;example2.signed.module ... key.module\n"},
};

TEST(HelpTable, HoldsThe24RowsWordForWord) {
    ASSERT_EQ(kHelpCount, 24u);
    ASSERT_EQ(kExpectedHelp.size(), 24u);
    for (size_t i = 0; i < kExpectedHelp.size(); ++i) {
        EXPECT_EQ(help_table[i].kind, kExpectedHelp[i].kind) << "row " << i;
        EXPECT_EQ(help_table[i].text, kExpectedHelp[i].text) << "row " << i;
    }
}

TEST(HelpTable, KeepsItsOriginalWording) {
    std::string all;
    for (uint32_t i = 0; i < kHelpCount; ++i) {
        all += help_table[i].text;
    }
    for (const char* wording :
         {"explantion", "seperator", "example1.unsigne2.module;example2.signed.module"}) {
        EXPECT_NE(all.find(wording), std::string::npos) << wording;
    }
}

TEST(HelpTable, OnlyRowZeroIsAnIntroduction) {
    EXPECT_EQ(help_table[0].kind, 0);
    for (uint32_t i = 1; i < kHelpCount; ++i) {
        EXPECT_NE(help_table[i].kind, 0) << "row " << i;
    }
}

TEST(HelpTable, TheSampleBoxIs76CharactersWide) {
    const std::string dashes(76, '-');
    EXPECT_EQ(help_table[7].text, dashes);
    EXPECT_EQ(help_table[20].text, dashes + "\n\n");
    for (uint32_t i = 8; i <= 19; ++i) {
        const std::string& row = help_table[i].text;
        EXPECT_EQ(row.size(), 76u) << "row " << i;
        EXPECT_EQ(row.rfind("| ", 0), 0u) << "row " << i;
        EXPECT_EQ(row.back(), '|') << "row " << i;
        EXPECT_EQ(help_table[i].kind, 5) << "row " << i;
    }
    EXPECT_EQ(help_table[18].text, help_table[19].text);
}

// ---- The service with the real tables -----------------------------------------------------

QPX_COMMON_CMD_ERROR parse_with_tool_table(const strings& args) {
    strings words{"kvr_sign"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    m_files.clear();
    return QPX_COMMON_CMD::parse_argument(static_cast<int>(argv.size()), argv.data(), kOptionCount,
                                          option_table, m_files, nullptr);
}

TEST(OptionTable, EveryOptionIsReachableByItsName) {
    const option_variables_guard guard;
    ASSERT_EQ(parse_with_tool_table({"--help", "--unit_test", "--print_argument", "--permission",
                                     "0x10", "--cancel=0", "list.txt", "key.module"}),
              QPX_COMMON_CMD_OK);
    EXPECT_TRUE(help_flag);
    EXPECT_TRUE(unit_test_flag);
    EXPECT_TRUE(print_argument_flag);
    EXPECT_EQ(permission_value, 16u);
    EXPECT_EQ(cancel_value, 0u);
    EXPECT_EQ(m_files, (strings{"list.txt", "key.module"}));
}

TEST(OptionTable, NoOptionIsRequired) {
    const option_variables_guard guard;
    EXPECT_EQ(parse_with_tool_table({"a.module;b.module", "key.module"}), QPX_COMMON_CMD_OK);
    EXPECT_EQ(permission_value, 1u);
    EXPECT_EQ(cancel_value, 0xFFFFFFFFu);
}

std::string help_text(bool show_values) {
    testing::internal::CaptureStdout();
    QPX_COMMON_CMD::print_help(show_values, kOptionCount, option_table, m_files, kHelpCount,
                               help_table);
    return testing::internal::GetCapturedStdout();
}

TEST(PrintHelpWithToolTables, ShowsEveryRowUnchangedInOrderAndEveryOption) {
    const std::string out = help_text(false);
    size_t from = 0;
    for (uint32_t i = 0; i < kHelpCount; ++i) {
        const size_t at = out.find(help_table[i].text, from);
        ASSERT_NE(at, std::string::npos) << "row " << i << "\n---\n" << out;
        from = at + help_table[i].text.size();
    }
    for (uint32_t i = 0; i < kOptionCount; ++i) {
        const size_t at = out.find("--" + option_table[i].name + " ", from);
        ASSERT_NE(at, std::string::npos) << option_table[i].name << "\n---\n" << out;
        const std::string line = out.substr(at, out.find('\n', at) - at);
        EXPECT_NE(line.find(option_table[i].description), std::string::npos) << line;
    }
}

TEST(PrintHelpWithToolTables, WithValuesShowsTheNumbersAndThePositionalArguments) {
    const option_variables_guard guard;
    permission_value = 305419896;  // 0x12345678
    m_files = {"in.module;out.module", "key.module"};
    const std::string out = help_text(true);
    const std::string tail = out.substr(out.find("This is to cancellation"));
    EXPECT_NE(tail.find("305419896"), std::string::npos) << tail;
    EXPECT_NE(tail.find("4294967295"), std::string::npos) << tail;
    const size_t pair = tail.find("in.module;out.module");
    ASSERT_NE(pair, std::string::npos) << tail;
    EXPECT_NE(tail.find("key.module", pair + 20), std::string::npos) << tail;
}

TEST(UnitTestWithToolTable, PassesAndLeavesTheOptionVariablesUnchanged) {
    const option_variables_guard guard;
    print_argument_flag = true;
    permission_value = 42;
    cancel_value = 7;
    testing::internal::CaptureStdout();
    QPX_COMMON_CMD::unit_test(kOptionCount, option_table);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(help_flag);
    EXPECT_FALSE(unit_test_flag);
    EXPECT_TRUE(print_argument_flag);
    EXPECT_EQ(permission_value, 42u);
    EXPECT_EQ(cancel_value, 7u);
    size_t lines = 0;
    for (size_t at = out.find("unit_test:"); at != std::string::npos;
         at = out.find("unit_test:", at + 1)) {
        ++lines;
    }
    EXPECT_GE(lines, 2u) << "one line per group and a summary\n" << out;
}

}  // namespace
