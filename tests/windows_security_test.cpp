// Who may change the tool's files and reach its threads on Windows, under Wine: the judgement
// of owners and access lists (on descriptors built here), the private access list of the files
// the tool makes, a journal that others may write, the folder lock, threads, and the loader's
// search for the program's own imports.
#include <windows.h>
// clang-format off
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "file_primitives.h"
#include "file_security_win.h"
#include "files.h"
#include "process.h"
#include "zrl_core.h"

namespace {

namespace fs = std::filesystem;
namespace sec = fio::win_security;

constexpr const wchar_t* kMe = L"S-1-5-21-1-2-3-1000";

struct descriptor {
    PSECURITY_DESCRIPTOR value = nullptr;
    explicit descriptor(const std::wstring& sddl) {
        EXPECT_NE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
                      sddl.c_str(), SDDL_REVISION_1, &value, nullptr),
                  0)
            << fio_narrow_path(sddl);
    }
    ~descriptor() { LocalFree(value); }
    PSID owner() const {
        PSID sid = nullptr;
        BOOL defaulted = FALSE;
        GetSecurityDescriptorOwner(value, &sid, &defaulted);
        return sid;
    }
    const ACL* dacl() const {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        ACL* list = nullptr;
        GetSecurityDescriptorDacl(value, &present, &list, &defaulted);
        return present != 0 ? list : nullptr;
    }
};

struct sid {
    PSID value = nullptr;
    explicit sid(const wchar_t* text) { EXPECT_NE(ConvertStringSidToSidW(text, &value), 0); }
    ~sid() { LocalFree(value); }
};

TEST(WindowsTrust, OwnersAndAccessListsAreJudgedEntryByEntry) {
    const sid me(kMe);
    const sid administrators(L"S-1-5-32-544");
    const std::wstring mine = std::wstring(L"O:") + kMe + L"D:";
    const std::wstring me_full = std::wstring(L"(A;;FA;;;") + kMe + L")";
    const struct {
        std::wstring sddl;
        bool elevated;  // the token's default owner is Administrators
        bool owner_only;
        const char* refusal;  // a part of the reason, "" when trusted
    } cases[] = {
        {mine + L"P" + me_full + L"(A;;FA;;;SY)(A;;FA;;;BA)", false, false, ""},
        {mine + me_full + L"(A;;FR;;;WD)(A;;0x1200a9;;;BU)", false, false, ""},
        {mine + me_full + L"(A;;FA;;;WD)", false, false, "S-1-1-0 (everyone)"},
        {mine + me_full + L"(A;;GA;;;BU)", false, false, "S-1-5-32-545"},
        {mine + L"(A;;GW;;;AU)", false, false, "S-1-5-11"},
        {mine + L"(A;;0x4;;;WD)", false, false, "may write it"},              // append only
        {mine + L"(A;;SD;;;WD)", false, false, "may write it"},               // delete only
        {mine + L"(A;;WDWO;;;WD)", false, false, "may write it"},             // its list, its owner
        {mine + L"(A;OICIIO;FA;;;WD)", false, false, ""},                     // inherit-only
        {mine + L"(A;OICI;FA;;;WD)", false, false, "S-1-1-0"},                // applies here too
        {mine + L"(D;;FWSDWDWO;;;WD)(A;;FA;;;WD)", false, false, ""},         // denied first
        {mine + L"(A;;FA;;;WD)(D;;FWSDWDWO;;;WD)", false, false, "S-1-1-0"},  // denied too late
        {mine + L"(D;;FW;;;WD)(A;;FA;;;WD)", false, false, "S-1-1-0"},       // delete still allowed
        {mine + L"(D;;FA;;;BU)(A;;FA;;;BU)", false, false, "S-1-5-32-545"},  // not counted on
        {mine + L"(A;;FA;;;WD)", false, true, ""},  // the owner alone is asked
        {L"O:S-1-5-21-1-2-3-1001D:P" + me_full, false, false, "owned by S-1-5-21-1-2-3-1001"},
        {L"O:S-1-5-21-1-2-3-1001D:P" + me_full, false, true, "not by this user ("},
        {L"O:BAD:P" + me_full, false, false, "owned by S-1-5-32-544"},
        {L"O:BAD:P" + me_full, true, false, ""},  // an elevated run's own file
    };
    for (const auto& [sddl, elevated, owner_only, refusal] : cases) {
        const descriptor file(sddl);
        const sec::principals principals{me.value, elevated ? administrators.value : me.value};
        const std::string why =
            sec::why_others_may_change(file.owner(), file.dacl(), owner_only, principals);
        if (*refusal == '\0') {
            EXPECT_EQ(why, "") << fio_narrow_path(sddl);
        } else {
            EXPECT_NE(why.find(refusal), std::string::npos) << fio_narrow_path(sddl) << ": " << why;
        }
    }
    const sec::principals principals{me.value, me.value};
    EXPECT_EQ(sec::why_others_may_change(nullptr, nullptr, true, principals),
              "its owner cannot be read");
    EXPECT_EQ(sec::why_others_may_change(me.value, nullptr, false, principals),
              "it has no access list, so everyone may change it");
}

struct held {
    kvr_test::temp_dir dir;
    fio::handle folder;
    std::string full_path;
    held() { EXPECT_EQ(fio::open_folder(dir.path().string(), folder, full_path), 0); }
};

// Lets everyone write the file, as another user's program or a folder's list could.
DWORD let_everyone_write(const fs::path& path) {
    const HANDLE file = CreateFileW(path.wstring().c_str(), WRITE_DAC | READ_CONTROL,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    const descriptor open(L"D:(A;;FA;;;WD)");
    const DWORD error = SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, const_cast<ACL*>(open.dacl()), nullptr);
    CloseHandle(file);
    return error;
}

TEST(WindowsTrust, PrivateFilesHaveTheirOwnListAndAFileOthersMayWriteIsNotTrusted) {
    const held place;
    fio::handle file;
    ASSERT_EQ(fio::create_private_at(place.folder, "run", file), 0);
    PSID owner = nullptr;
    ACL* dacl = nullptr;
    PSECURITY_DESCRIPTOR kept = nullptr;
    ASSERT_EQ(GetSecurityInfo(file.value(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &kept),
              ERROR_SUCCESS);
    ASSERT_NE(dacl, nullptr);
    EXPECT_TRUE(EqualSid(owner, sec::this_process().user) ||
                EqualSid(owner, sec::this_process().default_owner));
    EXPECT_EQ(sec::why_others_may_change(owner, dacl, false, sec::this_process()), "");
    LocalFree(kept);
    std::string why;
    std::string hint;
    EXPECT_EQ(fio::check_only_mine(file, false, why, hint), 0) << why;

    fio::handle opened;  // as the journal is read: open_at must bring READ_CONTROL
    ASSERT_EQ(fio::open_at(place.folder, "run", false, opened), 0);
    EXPECT_EQ(fio::check_only_mine(opened, false, why, hint), 0) << why;
    ASSERT_EQ(let_everyone_write(place.dir / "run"), ERROR_SUCCESS);
    EXPECT_EQ(fio::check_only_mine(opened, false, why, hint), EPERM);
    EXPECT_NE(why.find("S-1-1-0"), std::string::npos) << why;
    EXPECT_EQ(fio::check_only_mine(opened, true, why, hint), 0) << why;
}

// A journal under the key entry's name: trusted, it is read (and this one is refused as not a
// journal); writable by everyone, it is refused before a byte of it is read.
TEST(WindowsTrust, AJournalEveryoneMayWriteStopsTheRunBeforeItIsRead) {
    for (const bool open_to_all : {false, true}) {
        const kvr_test::temp_dir run_dir;
        kvr_test::write_bytes(run_dir / "in.module", kvr_test::make_unsigned_module(3));
        fio::handle folder;
        std::string full;
        ASSERT_EQ(fio::open_folder(run_dir.path().string(), folder, full), 0);
        fio::handle file;
        ASSERT_EQ(fio::create_private_at(folder, "key.module.kvr_sign-journal", file), 0);
        ASSERT_EQ(fio::write_all(file, "planted\n", 8), 0);
        if (open_to_all) {
            ASSERT_EQ(let_everyone_write(run_dir / "key.module.kvr_sign-journal"), ERROR_SUCCESS);
        }
        file.close();
        const kvr_test::process_result run =
            kvr_test::run_program(KVR_SIGN_PATH, {"in.module;out.module", "key.module"},
                                  fio_narrow_path(run_dir.path().wstring()));
        EXPECT_EQ(run.status, 70) << run.err;
        EXPECT_NE(run.err.find(open_to_all ? "not trusted: users other than its owner may write"
                                           : "not trusted: it does not begin as a journal"),
                  std::string::npos)
            << run.err;
        EXPECT_FALSE(fs::exists(run_dir / "out.module"));
    }
}

std::wstring lock_name(const fio::handle& folder) {
    BY_HANDLE_FILE_INFORMATION info{};
    EXPECT_NE(GetFileInformationByHandle(folder.value(), &info), 0);
    wchar_t name[96] = {};
    std::swprintf(name, 96, L"Global\\kvr_sign-folder-%08lx-%08lx%08lx",
                  static_cast<unsigned long>(info.dwVolumeSerialNumber),
                  static_cast<unsigned long>(info.nFileIndexHigh),
                  static_cast<unsigned long>(info.nFileIndexLow));
    return name;
}

TEST(WindowsLock, AFolderLockExcludesAnotherHolderWhoMayWaitButNotChangeIt) {
    const held place;
    fio::handle second;
    std::string full;
    ASSERT_EQ(fio::open_folder(place.dir.path().string(), second, full), 0);
    ASSERT_EQ(fio::lock(place.folder, true), 0);
    int other = -1;
    std::thread([&] { other = fio::lock(second, false); }).join();
    EXPECT_EQ(other, EWOULDBLOCK);

    const HANDLE mutex = OpenMutexW(READ_CONTROL, FALSE, lock_name(place.folder).c_str());
    ASSERT_NE(mutex, nullptr) << GetLastError();
    ACL* dacl = nullptr;
    PSECURITY_DESCRIPTOR kept = nullptr;
    ASSERT_EQ(GetSecurityInfo(mutex, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &kept),
              ERROR_SUCCESS);
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 1u);
    void* ace = nullptr;
    ASSERT_NE(GetAce(dacl, 0, &ace), 0);
    EXPECT_TRUE(IsWellKnownSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, WinWorldSid));
    EXPECT_EQ(static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask, DWORD{SYNCHRONIZE | MUTANT_QUERY_STATE});
    LocalFree(kept);
    CloseHandle(mutex);
    ASSERT_EQ(fio::unlock(place.folder), 0);
    std::thread([&] { other = fio::lock(second, false); }).join();
    EXPECT_EQ(other, 0);
}

// Another process: kvr_sign.exe waits while this one holds the output folder's lock, and
// commits once it is released.
TEST(WindowsLock, ARunWaitsForTheFolderLockAnotherProcessHolds) {
    const held place;
    kvr_test::write_bytes(place.dir / "in.module", kvr_test::make_unsigned_module(3));
    ASSERT_EQ(fio::lock(place.folder, true), 0);
    const int run = kvr_test::start_program(KVR_SIGN_PATH, {"in.module;out.module", "key.module"},
                                            fio_narrow_path(place.dir.path().wstring()));
    ASSERT_GT(run, 0);
    Sleep(3000);
    EXPECT_FALSE(fs::exists(place.dir / "key.module"));
    EXPECT_FALSE(fs::exists(place.dir / "out.module"));
    ASSERT_EQ(fio::unlock(place.folder), 0);
    EXPECT_EQ(kvr_test::wait_program(run), 0);
    EXPECT_TRUE(fs::exists(place.dir / "out.module"));
}

// A name that another program took first and keeps from everyone stops the run at once, never
// a wait that no release ends.
TEST(WindowsLock, ALockNameTakenAndShutByAnotherProgramFailsAtOnce) {
    const held place;
    const descriptor shut(L"D:P");
    SECURITY_ATTRIBUTES attributes{sizeof attributes, shut.value, FALSE};
    const HANDLE squatter = CreateMutexW(&attributes, FALSE, lock_name(place.folder).c_str());
    ASSERT_NE(squatter, nullptr);
    EXPECT_EQ(fio::lock(place.folder, true), EACCES);
    CloseHandle(squatter);
}

DWORD user_rights_on(HANDLE object) {
    ACL* dacl = nullptr;
    PSECURITY_DESCRIPTOR kept = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &dacl, nullptr, &kept) != ERROR_SUCCESS) {
        return 0xFFFFFFFF;
    }
    DWORD rights = 0;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        GetAce(dacl, i, &ace);
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (EqualSid(&allowed->SidStart, sec::this_process().user) != 0) {
            rights |= allowed->Mask;
        }
    }
    LocalFree(kept);
    return rights;
}

TEST(WindowsThreads, ThreadsOldAndNewLetTheUserOnlyWaitAndAsk) {
    sec::restrict_thread_access();
    constexpr DWORD kAsking =
        SYNCHRONIZE | READ_CONTROL | THREAD_QUERY_INFORMATION | THREAD_QUERY_LIMITED_INFORMATION;
    EXPECT_EQ(user_rights_on(GetCurrentThread()), kAsking);
    DWORD later = 0;
    std::thread([&] { later = user_rights_on(GetCurrentThread()); }).join();
    EXPECT_EQ(later & ~kAsking, 0u);  // the token's default list (Wine gives threads none)
    // A file the folder passes nothing on to would get the token's default list: it gets the
    // usual one instead, not the threads'.
    const held place;
    fio::handle file;
    ASSERT_EQ(fio::create_at(place.folder, "out", 0600, file), 0);
    EXPECT_NE(user_rights_on(file.value()), kAsking);
}

// The loader resolves the program's own imports in System32 only: the load configuration's
// dependent-load flags of kvr_sign.exe, read from the file.
TEST(WindowsLoader, TheProgramsImportsAreLookedForInSystem32Only) {
    const kvr_test::bytes bytes = kvr_test::read_bytes(KVR_SIGN_PATH);
    ASSERT_GT(bytes.size(), 0x400u);
    const auto at = [&](size_t offset, auto value) {
        std::memcpy(&value, bytes.data() + offset, sizeof value);
        return value;
    };
    const size_t headers = at(0x3C, uint32_t{});
    ASSERT_EQ(at(headers, uint32_t{}), 0x4550u);  // "PE\0\0"
    const size_t optional = headers + 24;
    ASSERT_EQ(at(optional, uint16_t{}), 0x20Bu);  // 64-bit
    const uint32_t config_rva = at(optional + 112 + 10 * 8, uint32_t{});
    ASSERT_NE(config_rva, 0u) << "no load configuration";
    const uint16_t sections = at(headers + 6, uint16_t{});
    const size_t section_table = optional + at(headers + 20, uint16_t{});
    size_t config = 0;
    for (uint16_t i = 0; i < sections; ++i) {
        const size_t entry = section_table + i * 40u;
        const uint32_t address = at(entry + 12, uint32_t{});
        const uint32_t size = at(entry + 8, uint32_t{});
        if (config_rva >= address && config_rva < address + size) {
            config = at(entry + 20, uint32_t{}) + (config_rva - address);
        }
    }
    ASSERT_NE(config, 0u);
    EXPECT_GE(at(config, uint32_t{}), 80u);  // the size reaches the flags
    EXPECT_EQ(at(config + 78, uint16_t{}), LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace
