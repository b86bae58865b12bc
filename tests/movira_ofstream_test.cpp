// The output stream every file is written through.
#include <gtest/gtest.h>

#include <filesystem>

#include "files.h"
#include "movira_ofstream.h"

namespace {

using kvr_test::bytes;
using kvr_test::temp_dir;
constexpr auto kOutBinary = std::ios_base::out | std::ios_base::binary;

TEST(MoviraOfstream, OpenOnAnOpenStreamKeepsTheFileAndTheState) {
    temp_dir dir;
    movira_ofstream stream;
    stream.open((dir / "first.module").c_str(), kOutBinary, movira_ofstream::kShareDenyNone);
    ASSERT_TRUE(stream.good());
    stream.open((dir / "second.module").c_str(), kOutBinary, movira_ofstream::kShareDenyNone);
    EXPECT_TRUE(stream.good());
    EXPECT_TRUE(stream.is_open());
    stream << "abc";
    stream.close();
    EXPECT_EQ(kvr_test::read_bytes(dir / "first.module"), (bytes{'a', 'b', 'c'}));
    EXPECT_FALSE(std::filesystem::exists(dir / "second.module"));
}

TEST(MoviraOfstream, FailedOpenSetsFailBitAndLaterWritesWriteNothing) {
    temp_dir dir;
    movira_ofstream stream;
    const std::string path = dir / "missing/folder/out.module";
    stream.open(path.c_str(), kOutBinary, movira_ofstream::kShareDenyNone);
    EXPECT_TRUE(stream.fail());
    EXPECT_FALSE(stream.is_open());
    stream.write("data", 4);
    stream.close();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(MoviraOfstream, OutBinaryTruncatesAnExistingFile) {
    temp_dir dir;
    const std::string path = dir / "key.module";
    kvr_test::write_bytes(path, bytes(4208, 0x5A));
    movira_ofstream stream;
    stream.open(path.c_str(), kOutBinary, movira_ofstream::kShareDenyNone);
    ASSERT_TRUE(stream.good());
    const std::string block(256, 'k');
    stream.write(block.data(), static_cast<std::streamsize>(block.size()));
    stream.close();
    EXPECT_EQ(std::filesystem::file_size(path), 256u);
}

TEST(MoviraOfstream, ModeIsAlwaysWidenedByOut) {
    temp_dir dir;
    const std::string path = dir / "binary_only.module";
    movira_ofstream stream;
    stream.open(path.c_str(), std::ios_base::binary, movira_ofstream::kShareDenyNone);
    ASSERT_TRUE(stream.good());
    stream << "x";
    stream.close();
    EXPECT_EQ(kvr_test::read_bytes(path), (bytes{'x'}));
}

TEST(MoviraOfstream, RelativeAndDottedPathsReachTheSameFile) {
    temp_dir dir;
    std::filesystem::create_directory(dir / "sub");
    const std::filesystem::path old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path() / "sub");
    movira_ofstream stream;
    stream.open("../sub/./name with space.module", kOutBinary, movira_ofstream::kShareDenyNone);
    const bool opened = stream.good();
    stream.close();
    std::filesystem::current_path(old_cwd);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(std::filesystem::exists(dir / "sub/name with space.module"));
}

TEST(MoviraOfstream, NonUtf8AndUtf8NamesKeepTheirBytes) {
    temp_dir dir;
    for (const std::string name :
         {"caf\xc3\xa9.module", "raw\xff\xfe.module", "\xed\xb2\x80.module"}) {
        movira_ofstream stream;
        stream.open((dir / name).c_str(), kOutBinary, movira_ofstream::kShareDenyNone);
        ASSERT_TRUE(stream.good()) << name;
        stream.close();
        EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
    }
}

TEST(MoviraOfstream, SharingOtherThanDenyNoneIsRefused) {
    temp_dir dir;
    movira_ofstream stream;
    stream.open((dir / "deny.module").c_str(), kOutBinary, 0x10);
    EXPECT_TRUE(stream.fail());
    EXPECT_FALSE(std::filesystem::exists(dir / "deny.module"));
}

}  // namespace
