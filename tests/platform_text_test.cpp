// Text helpers (split, trim, extension match) and the text and binary file readers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "files.h"
#include "qpx_common.h"

namespace {

using kvr_test::bytes;
using kvr_test::temp_dir;
using strings = std::vector<std::string>;

// ---- split_string -------------------------------------------------------------------------

struct split_case {
    std::string text;
    std::string separator;
    bool keep_empty;
    bool trim_pieces;
    uint32_t max_pieces;
    std::string quote;
    bool whole_separator;
    strings pieces;
};

TEST(SplitString, CasesOfAPairTextAndOfTheOtherArguments) {
    const uint32_t all = 0xFFFFFFFF;
    const std::vector<split_case> cases{
        // As the pair parser calls it: ";" , keep empty, no trim, no limit, no quote, whole.
        {"in.module;out.module", ";", true, false, all, "", true, {"in.module", "out.module"}},
        {" in.module ; out.module ",
         ";",
         true,
         false,
         all,
         "",
         true,
         {" in.module ", " out.module "}},
        {"a;b;c", ";", true, false, all, "", true, {"a", "b", "c"}},
        {"a;b;c;d", ";", true, false, all, "", true, {"a", "b", "c", "d"}},
        {"no_separator.module", ";", true, false, all, "", true, {"no_separator.module"}},
        {"", ";", true, false, all, "", true, {""}},
        {";", ";", true, false, all, "", true, {"", ""}},
        {";out.module", ";", true, false, all, "", true, {"", "out.module"}},
        {"in.module;", ";", true, false, all, "", true, {"in.module", ""}},
        {"a;;b", ";", true, false, all, "", true, {"a", "", "b"}},
        // Dropping empty pieces.
        {"a;;b;", ";", false, false, all, "", true, {"a", "b"}},
        {";", ";", false, false, all, "", true, {}},
        {" ; b", ";", false, true, all, "", true, {"b"}},
        // Trimming pieces.
        {" a\t;\r\nb ", ";", true, true, all, "", true, {"a", "b"}},
        // Limits on the number of pieces.
        {"a;b;c", ";", true, false, 2, "", true, {"a", "b;c"}},
        {"a;b;c", ";", true, false, 1, "", true, {"a;b;c"}},
        {"a;b;c", ";", true, false, 0, "", true, {"a;b;c"}},
        // Quotes protect separators and stay in the piece.
        {"\"a;b\";c", ";", true, false, all, "\"", true, {"\"a;b\"", "c"}},
        {"'x;y';'z'", ";", true, false, all, "'", true, {"'x;y'", "'z'"}},
        // Whole separators against any-of-the-characters separators.
        {"a::b:c", "::", true, false, all, "", true, {"a", "b:c"}},
        {"a::b:c", "::", true, false, all, "", false, {"a", "", "b", "c"}},
        {"a,b;c", ",;", true, false, all, "", false, {"a", "b", "c"}},
        {"a,b;c", ",;", true, false, all, "", true, {"a,b;c"}},
        {"a;b", "", true, false, all, "", true, {"a;b"}},
    };
    for (const split_case& test : cases) {
        strings pieces{"kept"};
        const uint32_t added =
            QPX_COMMON::split_string(test.text, test.separator, test.keep_empty, test.trim_pieces,
                                     test.max_pieces, pieces, test.quote, test.whole_separator);
        strings expected{"kept"};
        expected.insert(expected.end(), test.pieces.begin(), test.pieces.end());
        EXPECT_EQ(pieces, expected) << "text \"" << test.text << "\" max " << test.max_pieces;
        EXPECT_EQ(added, test.pieces.size()) << "text \"" << test.text << "\"";
    }
}

// ---- Trim and comments --------------------------------------------------------------------

struct trim_case {
    std::string text;
    strings markers;
    std::string result;
};

TEST(TrimWhiteSpaceAndComment, RemovesOuterWhiteSpaceAndACommentToTheEnd) {
    const std::vector<trim_case> cases{
        {" \t\r\n\v\fa.module;b.module \t\r\n\v\f", {}, "a.module;b.module"},
        {"  in . module  ", {}, "in . module"},
        {"", {}, ""},
        {" \t \r\n", {}, ""},
        {"# This is comment", {"#"}, ""},
        {"   # indented comment", {"#"}, ""},
        {"a.module;b.module # trailing # twice", {"#"}, "a.module;b.module"},
        {"a.module;b.module#", {"#"}, "a.module;b.module"},
        {"a#b", {}, "a#b"},
        {"a // b ; c", {"#", "//"}, "a"},
        {"a ; b # c // d", {"//", "#"}, "a ; b"},
        {"x -- y", {"--"}, "x"},
        {"keep", {""}, "keep"},
        {"\xa0x\xa0", {}, "\xa0x\xa0"},  // only ASCII white space is removed
    };
    for (const trim_case& test : cases) {
        EXPECT_EQ(
            QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(test.text, test.markers),
            test.result)
            << "text \"" << test.text << "\"";
    }
}

// ---- match_extension ----------------------------------------------------------------------

TEST(MatchExtension, NonZeroOnlyWhenThePathEndsInAListedExtension) {
    const strings both{".txt", ".module"};
    EXPECT_NE(QPX_COMMON::match_extension("list.txt", {".txt"}), 0u);
    EXPECT_NE(QPX_COMMON::match_extension("dir.txt/key.module", {".module"}), 0u);
    EXPECT_NE(QPX_COMMON::match_extension(".module", {".module"}), 0u);
    EXPECT_NE(QPX_COMMON::match_extension("a.module", both), 0u);
    EXPECT_NE(QPX_COMMON::match_extension("a.txt", both), 0u);
    EXPECT_EQ(QPX_COMMON::match_extension("a.module.bak", {".module"}), 0u);
    EXPECT_EQ(QPX_COMMON::match_extension("a.module ", {".module"}), 0u);
    EXPECT_EQ(QPX_COMMON::match_extension("amodule", {".module"}), 0u);
    EXPECT_EQ(QPX_COMMON::match_extension("module", {".module"}), 0u);
    EXPECT_EQ(QPX_COMMON::match_extension("", {".module"}), 0u);
    EXPECT_EQ(QPX_COMMON::match_extension("a.module", {}), 0u);
    EXPECT_EQ(QPX_COMMON::match_extension("a.module", {""}), 0u);
    EXPECT_EQ(QPX_COMMON::match_extension("a.module;b.txt", {".module"}), 0u);
}

// ---- Text file reader ---------------------------------------------------------------------

struct lines_case {
    std::string content;
    strings lines;
};

TEST(OpenInputFile, SplitsAtLineFeedsAndDropsTheCarriageReturnBeforeThem) {
    const std::vector<lines_case> cases{
        {"", {}},
        {"\n", {""}},
        {"one", {"one"}},
        {"one\ntwo\n", {"one", "two"}},
        {"one\ntwo", {"one", "two"}},
        {"one\r\ntwo\r\n", {"one", "two"}},
        {"one\r\ntwo", {"one", "two"}},
        {"one\r\n\r\n\nlast\r", {"one", "", "", "last"}},
        {"mid\rdle\n", {"mid\rdle"}},
        {"double\r\r\n", {"double\r"}},
        {std::string("nul\0byte\n", 9), {std::string("nul\0byte", 8)}},
        {"  # comment \n", {"  # comment "}},
    };
    for (const lines_case& test : cases) {
        temp_dir dir;
        const std::string path = dir / "list.txt";
        kvr_test::write_text(path, test.content);
        strings lines;
        EXPECT_TRUE(QPX_COMMON::qpx_open_input_file(path, lines, 0, false, false));
        EXPECT_EQ(lines, test.lines) << "content \"" << test.content << "\"";
    }
}

TEST(OpenInputFile, OptionalSkippingAndTrimming) {
    temp_dir dir;
    const std::string path = dir / "list.txt";
    kvr_test::write_text(path, "  a  \r\n\n#note\n\t\n b\n");
    strings lines;
    ASSERT_TRUE(QPX_COMMON::qpx_open_input_file(path, lines, '#', true, true));
    EXPECT_EQ(lines, (strings{"a", "b"}));
}

TEST(OpenInputFile, RefusesWhatIsNotAReadableFile) {
    temp_dir dir;
    const std::string file = dir / "list.txt";
    kvr_test::write_text(file, "a;b\n");
    std::filesystem::create_directory(dir / "folder.txt");
    ASSERT_EQ(symlink("missing.txt", (dir / "dangling.txt").c_str()), 0);
    for (const std::string& path : {dir / "missing.txt", dir / "folder.txt", dir / "dangling.txt",
                                    file + std::string(1, '\0') + "x"}) {
        strings lines;
        EXPECT_FALSE(QPX_COMMON::qpx_open_input_file(path, lines, 0, false, false)) << path;
        EXPECT_TRUE(lines.empty()) << path;
    }
}

// ---- Binary file reader -------------------------------------------------------------------

struct bin_result {
    uint8_t* data = nullptr;
    uint32_t size = 0xDEADBEEF;
    ~bin_result() { std::free(data); }
};

TEST(OpenInputBinFile, ReadsTheWholeFileByteForByte) {
    temp_dir dir;
    bytes content(70000);
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>((i * 131 + 7) % 256);
    }
    content[0] = 0, content[1] = 0xFF, content[2] = '\r', content[3] = '\n';
    const std::string path = dir / "image.module";
    kvr_test::write_bytes(path, content);
    bin_result read;
    read.data = QPX_COMMON::qpx_open_input_bin_file(path, read.size);
    ASSERT_NE(read.data, nullptr);
    ASSERT_EQ(read.size, content.size());
    EXPECT_EQ(bytes(read.data, read.data + read.size), content);
}

TEST(OpenInputBinFile, AnEmptyFileGivesABufferOfSizeZero) {
    temp_dir dir;
    const std::string path = dir / "empty.module";
    kvr_test::write_bytes(path, {});
    bin_result read;
    read.data = QPX_COMMON::qpx_open_input_bin_file(path, read.size);
    EXPECT_NE(read.data, nullptr);
    EXPECT_EQ(read.size, 0u);
}

TEST(OpenInputBinFile, ReadsNoMoreThanTheBound) {
    temp_dir dir;
    const std::string path = dir / "big.module";
    const bytes content{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    kvr_test::write_bytes(path, content);
    for (const uint32_t bound : {0u, 1u, 4u, 10u, 11u}) {
        bin_result read;
        read.data = QPX_COMMON::qpx_open_input_bin_file(path, read.size, bound);
        ASSERT_NE(read.data, nullptr) << bound;
        const uint32_t expected = std::min<uint32_t>(bound, 10);
        ASSERT_EQ(read.size, expected) << bound;
        EXPECT_EQ(bytes(read.data, read.data + read.size),
                  bytes(content.begin(), content.begin() + expected))
            << bound;
    }
}

TEST(OpenInputBinFile, FollowsASymbolicLinkToARegularFile) {
    temp_dir dir;
    kvr_test::write_bytes(dir / "real.module", bytes{9, 8, 7});
    ASSERT_EQ(symlink("real.module", (dir / "link.module").c_str()), 0);
    bin_result read;
    read.data = QPX_COMMON::qpx_open_input_bin_file(dir / "link.module", read.size);
    ASSERT_NE(read.data, nullptr);
    EXPECT_EQ(bytes(read.data, read.data + read.size), (bytes{9, 8, 7}));
}

// None of these may hang or read without end: a FIFO without a writer, and an endless device
// behind an innocent-looking name.
TEST(OpenInputBinFile, GivesNullForWhatIsNotAReadableRegularFile) {
    temp_dir dir;
    kvr_test::write_bytes(dir / "real.module", bytes{1});
    std::filesystem::create_directory(dir / "folder.module");
    ASSERT_EQ(mkfifo((dir / "fifo.module").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.module").c_str()), 0);
    ASSERT_EQ(symlink("missing.module", (dir / "dangling.module").c_str()), 0);
    alarm(20);  // a hang ends the test program instead of the whole suite's time budget
    for (const std::string& path :
         {dir / "missing.module", dir / "folder.module", dir / "fifo.module", dir / "zero.module",
          dir / "dangling.module", dir / "real.module" + std::string(1, '\0') + "x"}) {
        bin_result read;
        read.data = QPX_COMMON::qpx_open_input_bin_file(path, read.size);
        EXPECT_EQ(read.data, nullptr) << path;
        EXPECT_EQ(read.size, 0u) << path;
    }
    alarm(0);
}

}  // namespace
