// The file-system primitives of the write path, on the system the tests run on: the same
// answers on Linux and on Windows (under Wine), since one commit algorithm relies on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "file_primitives.h"
#include "files.h"

namespace {

struct held {
    kvr_test::temp_dir dir;
    fio::handle folder;
    std::string full_path;
    held() { EXPECT_EQ(fio::open_folder(dir.path().string(), folder, full_path), 0); }
};

int make(const held& place, const char* name, const std::string& content) {
    fio::handle file;
    int error = fio::create_at(place.folder, name, 0600, file);
    error = error != 0 ? error : fio::write_all(file, content.data(), content.size());
    return error != 0 ? error : file.close();
}

std::string content_of(const held& place, const char* name) {
    fio::handle file;
    std::string bytes;
    EXPECT_EQ(fio::open_at(place.folder, name, false, file), 0) << name;
    EXPECT_EQ(fio::read_up_to(file, 1 << 20, bytes), 0) << name;
    return bytes;
}

TEST(FilePrimitives, NamesChangeRelativeToTheHeldFolderWithTheErrorsOfPosix) {
    const held place;
    EXPECT_TRUE(fio::is_full_path(place.full_path)) << place.full_path;
    ASSERT_EQ(make(place, "a", "first"), 0);
    EXPECT_EQ(make(place, "a", "again"), EEXIST);  // never over anything
    ASSERT_EQ(make(place, "b", "second"), 0);
    EXPECT_EQ(fio::rename_new_at(place.folder, "b", "a"), EEXIST);
    EXPECT_EQ(fio::link_at(place.folder, "a", "a2"), 0);
    fio::identity a;
    fio::identity a2;
    ASSERT_EQ(fio::identify_at(place.folder, "a", a), 0);
    ASSERT_EQ(fio::identify_at(place.folder, "a2", a2), 0);
    EXPECT_TRUE(a.same_file(a2));
    EXPECT_EQ(a.links, 2u);
    EXPECT_EQ(a.size, 5u);
    EXPECT_EQ(a.kind, fio::file_kind::regular);
    EXPECT_EQ(a.owner, fio::effective_user());
    EXPECT_EQ(fio::rename_at(place.folder, "b", "a"), 0);  // over the old one
    EXPECT_EQ(content_of(place, "a"), "second");
    EXPECT_EQ(content_of(place, "a2"), "first");
    EXPECT_EQ(fio::remove_at(place.folder, "a2"), 0);
    fio::identity gone;
    EXPECT_EQ(fio::identify_at(place.folder, "a2", gone), ENOENT);
    EXPECT_EQ(fio::remove_at(place.folder, "a2"), ENOENT);
    EXPECT_EQ(fio::rename_at(place.folder, "missing", "c"), ENOENT);
    std::string text;
    EXPECT_EQ(fio::read_link_at(place.folder, "a", text), EINVAL);  // not a link
    std::vector<std::string> names;
    ASSERT_EQ(fio::list_names(place.folder, names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"a"});
    fio::identity folder;
    ASSERT_EQ(fio::identify(place.folder, folder), 0);
    EXPECT_EQ(folder.kind, fio::file_kind::folder);
}

TEST(FilePrimitives, AWriteProtectedFileIsNotWritableAndALockExcludesASecondHandle) {
    const held place;
    fio::handle file;
    ASSERT_EQ(fio::create_at(place.folder, "run", 0600, file), 0);
    ASSERT_EQ(fio::lock(file, true), 0);
    fio::handle second;
    ASSERT_EQ(fio::open_at(place.folder, "run", false, second), 0);
    EXPECT_EQ(fio::lock(second, false), EWOULDBLOCK);
    ASSERT_EQ(fio::unlock(file), 0);
    EXPECT_EQ(fio::lock(second, false), 0);
    ASSERT_EQ(make(place, "kept", "x"), 0);
    fio::handle kept;
    ASSERT_EQ(fio::open_at(place.folder, "kept", true, kept), 0);
    ASSERT_EQ(fio::set_mode(kept, 0444), 0);
    fio::identity found;
    ASSERT_EQ(fio::identify(kept, found), 0);
    EXPECT_EQ(found.mode & 0222, 0u);
#ifndef _WIN32
    if (!fio::may_give_files_away())  // a privileged process may write it all the same
#endif
    {
        EXPECT_EQ(fio::may_write_at(place.folder, "kept"), EACCES);
    }
    EXPECT_EQ(fio::set_mode(kept, 0644), 0);
    EXPECT_EQ(fio::may_write_at(place.folder, "kept"), 0);
}

TEST(FilePrimitives, NamesThatReachAnotherFolderAreRefused) {
    const held place;
    for (const char* name : {"..", ".", ""}) {
        EXPECT_FALSE(fio::is_single_name(name)) << name;
    }
    fio::handle file;
#ifdef _WIN32
    for (const char* name : {"a\\b", "a/b", "a:stream"}) {
        EXPECT_EQ(fio::create_at(place.folder, name, 0600, file), EINVAL) << name;
    }
#else
    EXPECT_EQ(fio::create_at(place.folder, "sub/a", 0600, file), ENOENT);  // no such folder
#endif
}

// The decision over a folder's file numbers: zero, changing between two looks, or shared with
// the parent folder (as some shares give) refuses the folder; a 128-bit number's upper half
// tells files apart as the lower does.
TEST(FileIdentities, NumbersThatAreZeroChangeOrRepeatAreRefused) {
    const fio::identity folder{.device = 7, .inode = 42};
    fio::identity upper = folder;
    upper.inode_high = 1;
    const fio::identity zero{.device = 7};
    const fio::identity other{.device = 7, .inode = 43};
    const struct {
        const char* what;
        fio::identity held;
        fio::identity again;
        const fio::identity* parent;
        int expected;
    } cases[] = {
        {"lasting and distinct", folder, folder, &other, 0},
        {"at a root", folder, folder, nullptr, 0},
        {"only the upper half", upper, upper, &folder, 0},
        {"zero", zero, zero, nullptr, fio::kErrorNoLastingIds},
        {"changed", folder, other, nullptr, fio::kErrorNoLastingIds},
        {"upper half changed", folder, upper, nullptr, fio::kErrorNoLastingIds},
        {"the parent's", folder, folder, &folder, fio::kErrorNoLastingIds},
    };
    for (const auto& [what, held, again, parent, expected] : cases) {
        std::string why;
        EXPECT_EQ(fio::judge_identities(held, again, parent, why), expected) << what;
        EXPECT_EQ(why.empty(), expected == 0) << what << ": " << why;
    }
    const held place;
    std::string why;
    EXPECT_EQ(fio::check_identities(place.folder, why), 0) << why;
}

// Only a reparse point whose tag is a name surrogate is a link; a cloud placeholder, a
// deduplicated or a compressed (WOF) file is the file itself.
TEST(FileIdentities, OnlyNameSurrogateReparsePointsAreLinks) {
    constexpr uint32_t kReparsePoint = 0x400;
    const struct {
        uint32_t attributes;
        uint32_t tag;
        bool link;
    } cases[] = {
        {kReparsePoint, 0xA000000C, true},   // symbolic link
        {kReparsePoint, 0xA0000003, true},   // junction, mount point
        {kReparsePoint, 0xA000001D, true},   // a link of the Linux subsystem
        {kReparsePoint, 0x9000001A, false},  // cloud file placeholder
        {kReparsePoint, 0x9000701A, false},  // cloud file placeholder, another provider
        {kReparsePoint, 0x80000013, false},  // deduplicated
        {kReparsePoint, 0x80000017, false},  // compressed (WOF)
        {0, 0xA000000C, false},              // the tag without the attribute
    };
    for (const auto& [attributes, tag, link] : cases) {
        EXPECT_EQ(fio::is_link_reparse_point(attributes, tag), link) << std::hex << tag;
    }
    for (const int own :
         {fio::kErrorDeletePending, fio::kErrorNoLastingIds, fio::kErrorFolderNoFlush,
          fio::kErrorReservedName, fio::kErrorNameDotOrSpace, ESTALE}) {
        EXPECT_EQ(fio::error_text(own).find("nknown"), std::string::npos) << own;
    }
}

}  // namespace
