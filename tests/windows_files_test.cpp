// The Windows primitives where Windows differs, run under Wine: names other programs could
// not open, lengths in UTF-16 units, 128-bit file numbers, replacing a file held open, and a
// name still being deleted.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "file_primitives.h"
#include "files.h"
#include "zrl_core.h"

namespace {

struct held {
    kvr_test::temp_dir dir;
    fio::handle folder;
    std::string full_path;
    held() { EXPECT_EQ(fio::open_folder(dir.path().string(), folder, full_path), 0); }
    std::wstring path_of(const char* name) const {
        return fio_get_unc_full_path(fio::join_path(full_path, name).c_str());
    }
};

int make(const held& place, const char* name) {
    fio::handle file;
    const int error = fio::create_at(place.folder, name, 0600, file);
    return error != 0 ? error : file.close();
}

TEST(WindowsNames, DeviceNamesAndNamesEndingInADotOrSpaceAreRefused) {
    const struct {
        const char* name;
        int expected;
    } cases[] = {
        {"CON", fio::kErrorReservedName},
        {"con.module", fio::kErrorReservedName},
        {"NUL .module", fio::kErrorReservedName},
        {"Aux", fio::kErrorReservedName},
        {"COM1", fio::kErrorReservedName},
        {"lpt9.key.module", fio::kErrorReservedName},
        {"COM\xC2\xB9", fio::kErrorReservedName},
        {"LPT\xC2\xB3.x", fio::kErrorReservedName},
        {"CONOUT$", fio::kErrorReservedName},
        {"out.", fio::kErrorNameDotOrSpace},
        {"out ", fio::kErrorNameDotOrSpace},
        {"CONSOLE.module", 0},
        {"COM10", 0},
        {"COM", 0},
        {"x.con", 0},
        {"a.module", 0},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(fio::check_new_name(name), expected) << name;
    }
}

// 255 UTF-16 units per name: a character past the 16-bit range counts two, and a name is cut
// only between characters.
TEST(WindowsNames, LengthsCountUtf16UnitsAndCutsKeepWholeCharacters) {
    std::string accented;
    for (int i = 0; i < 200; ++i) {
        accented += "\xC3\xA9";  // one unit, two bytes
    }
    EXPECT_EQ(fio::name_length(accented), 200u);
    EXPECT_EQ(fio::name_length("\xF0\x9F\x98\x80.m"), 4u);  // a surrogate pair and ".m"
    EXPECT_EQ(fio::name_prefix_within(accented.data(), accented.size(), 101), 202u);
    const std::string faces = "a\xF0\x9F\x98\x80\xF0\x9F\x98\x80";
    EXPECT_EQ(fio::name_prefix_within(faces.data(), faces.size(), 2), 1u);  // not half a pair
    EXPECT_EQ(fio::name_prefix_within(faces.data(), faces.size(), 4), 5u);
}

// A file's number is the same through each of its names and another file's differs; the
// folder's look is one that lasts (check_identities passes, the flush probe with it).
TEST(WindowsIdentities, FileNumbersTellFilesApartThroughEveryName) {
    const held place;
    ASSERT_EQ(make(place, "a"), 0);
    ASSERT_EQ(make(place, "b"), 0);
    ASSERT_EQ(fio::link_at(place.folder, "a", "a2"), 0);
    fio::identity a;
    fio::identity a2;
    fio::identity b;
    ASSERT_EQ(fio::identify_at(place.folder, "a", a), 0);
    ASSERT_EQ(fio::identify_at(place.folder, "a2", a2), 0);
    ASSERT_EQ(fio::identify_at(place.folder, "b", b), 0);
    EXPECT_TRUE(a.same_file(a2));
    EXPECT_FALSE(a.same_file(b));
    EXPECT_NE(a.inode | a.inode_high, 0u);
    std::string why;
    EXPECT_EQ(fio::check_identities(place.folder, why), 0) << why;
}

// A target that another program holds open for a moment, sharing its removal, is replaced: at
// once by the POSIX-semantics rename where the system has it, else (as under Wine, which
// lacks that class) by the older rename, tried again until the other handle is closed.
TEST(WindowsRenames, ATargetHeldOpenForAMomentIsReplaced) {
    const held place;
    ASSERT_EQ(make(place, "new"), 0);
    ASSERT_EQ(make(place, "target"), 0);
    const HANDLE other = CreateFileW(place.path_of("target").c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    std::thread look([other] {
        Sleep(200);
        CloseHandle(other);
    });
    fio::identity fresh;
    ASSERT_EQ(fio::identify_at(place.folder, "new", fresh), 0);
    const int renamed = fio::rename_at(place.folder, "new", "target");
    look.join();
    EXPECT_EQ(renamed, 0);
    fio::identity now;
    ASSERT_EQ(fio::identify_at(place.folder, "target", now), 0);
    EXPECT_TRUE(now.same_file(fresh));
}

// A name whose file was removed while another handle keeps it open stays until that handle
// closes: reported as such, not as "not there". Wine shows no such state (the name opens
// normally until then): the mapping of the system's answers is checked directly.
TEST(WindowsNames, ANameStillBeingDeletedIsReportedAsSuch) {
    const struct {
        unsigned long status;
        int expected;
    } answers[] = {
        {0xC0000056, fio::kErrorDeletePending},  // STATUS_DELETE_PENDING
        {0xC0000034, ENOENT},                    // STATUS_OBJECT_NAME_NOT_FOUND
        {0xC0000035, EEXIST},                    // STATUS_OBJECT_NAME_COLLISION
        {0xC0000043, EBUSY},                     // STATUS_SHARING_VIOLATION
    };
    for (const auto& [status, expected] : answers) {
        EXPECT_EQ(fio::errno_of_status(static_cast<long>(status)), expected) << std::hex << status;
    }
    EXPECT_NE(fio::error_text(fio::kErrorDeletePending).find("still being deleted"),
              std::string::npos);
}

}  // namespace
