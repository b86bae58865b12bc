// Owners and access lists on Windows (see file_security_win.h), and the primitives of
// file_primitives.h that rest on them: whether only this user may change a file, and the
// creation of the tool's private files.
//
// A file's owner and access list are only known from the file itself (GetSecurityInfo on an
// open handle); the owner and mode that identify() reports are placeholders. A file is this
// user's when its owner is the token's user or the token's default owner (Administrators in an
// elevated run). Nobody else may change it when no entry of its access list that applies to
// the file lets anyone but the user, SYSTEM or Administrators write, append, delete, or change
// its access list or owner. A denial for everyone earlier in the list takes those rights away
// from the entries after it, as the system's own check reads the list in order; other denials
// are not counted on (they could only make a file safer than it is judged). A file system
// without access lists (FAT, exFAT) keeps no owner: nothing there is anyone's in particular.
// clang-format off
#include <windows.h>  // first: the others need its types
#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>
// clang-format on

#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "file_primitives.h"
#include "file_security_win.h"
#include "zrl_core.h"

namespace fio {

namespace win_security {

namespace {

using bytes = std::vector<unsigned char>;

bytes token_information(TOKEN_INFORMATION_CLASS kind) {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) {
        return {};
    }
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    bytes information(size);
    if (size == 0 || GetTokenInformation(token, kind, information.data(), size, &size) == 0) {
        information.clear();
    }
    CloseHandle(token);
    return information;  // moved, not copied: the SIDs it holds point into its own bytes
}

bytes well_known(WELL_KNOWN_SID_TYPE kind) {
    bytes sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    return CreateWellKnownSid(kind, nullptr, sid.data(), &size) != 0 ? sid : bytes{};
}

struct token_sids {
    bytes user = token_information(TokenUser);
    bytes owner = token_information(TokenOwner);
    bytes system = well_known(WinLocalSystemSid);
    bytes administrators = well_known(WinBuiltinAdministratorsSid);
    bytes owner_rights = well_known(WinCreatorOwnerRightsSid);
    bytes everyone = well_known(WinWorldSid);
    principals mine;
    token_sids() {
        if (!user.empty()) {
            mine.user = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
        }
        if (!owner.empty()) {
            mine.default_owner = reinterpret_cast<TOKEN_OWNER*>(owner.data())->Owner;
        }
    }
};

const token_sids& sids() {
    static const token_sids& known = *new token_sids;
    return known;
}

PSID sid_in(const bytes& sid) {
    return sid.empty() ? nullptr : PSID(const_cast<unsigned char*>(sid.data()));
}

bool same_sid(PSID a, PSID b) {
    return a != nullptr && b != nullptr && EqualSid(a, b) != 0;
}

bool is_mine(PSID sid, const principals& me) {
    return same_sid(sid, me.user) || same_sid(sid, me.default_owner);
}

bool is_trusted(PSID sid, const principals& me) {
    return is_mine(sid, me) || IsWellKnownSid(sid, WinLocalSystemSid) != 0 ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid) != 0 ||
           IsWellKnownSid(sid, WinCreatorOwnerRightsSid) != 0;  // the owner, who is me
}

std::string text_of(PSID sid) {
    if (sid == nullptr) {
        return "nobody known";
    }
    wchar_t* text = nullptr;
    if (ConvertSidToStringSidW(sid, &text) == 0) {
        return "an unreadable SID";
    }
    std::string shown = fio_narrow_path(text);
    LocalFree(text);
    if (IsWellKnownSid(sid, WinWorldSid) != 0) {
        shown += " (everyone)";
    } else if (IsWellKnownSid(sid, WinAuthenticatedUserSid) != 0) {
        shown += " (every signed-in user)";
    } else if (IsWellKnownSid(sid, WinBuiltinUsersSid) != 0) {
        shown += " (the local users)";
    }
    return shown;
}

// What a file may be changed through: its content, its name, its access list, its owner.
constexpr ACCESS_MASK kChanging =
    FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER;

ACCESS_MASK file_rights(ACCESS_MASK mask) {
    GENERIC_MAPPING files = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
    MapGenericMask(&mask, &files);
    return mask;
}

// Allowed and denied entries share one layout: header, mask, SID.
PSID sid_of(const void* ace) {
    return const_cast<DWORD*>(&static_cast<const ACCESS_ALLOWED_ACE*>(ace)->SidStart);
}

ACCESS_MASK mask_of(const void* ace) {
    return static_cast<const ACCESS_ALLOWED_ACE*>(ace)->Mask;
}

std::string judge_entries(const ACL* dacl, const principals& me) {
    ACCESS_MASK denied_to_everyone = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (GetAce(const_cast<ACL*>(dacl), i, &ace) == 0) {
            return "its access list cannot be read";
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue;  // passed on to files made inside, not applied to this one
        }
        switch (header->AceType) {
            case ACCESS_DENIED_ACE_TYPE:
                if (IsWellKnownSid(sid_of(ace), WinWorldSid) != 0) {
                    denied_to_everyone |= file_rights(mask_of(ace));
                }
                break;
            case ACCESS_DENIED_CALLBACK_ACE_TYPE:
                break;  // a conditional denial is not counted on
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
                if ((file_rights(mask_of(ace)) & kChanging & ~denied_to_everyone) != 0 &&
                    !is_trusted(sid_of(ace), me)) {
                    return "users other than its owner may write it (its access list lets " +
                           text_of(sid_of(ace)) + " change it)";
                }
                break;
            default:
                return "its access list holds an entry of a kind this tool does not judge (" +
                       std::to_string(header->AceType) + ")";
        }
    }
    return {};
}

// An access list of allowed entries, in the given order.
bytes access_list(std::initializer_list<std::pair<PSID, ACCESS_MASK>> entries) {
    DWORD size = sizeof(ACL);
    for (const auto& [sid, mask] : entries) {
        if (sid == nullptr) {
            return {};
        }
        size += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(sid);
    }
    bytes list(size);
    auto* acl = reinterpret_cast<ACL*>(list.data());
    if (InitializeAcl(acl, size, ACL_REVISION) == 0) {
        return {};
    }
    for (const auto& [sid, mask] : entries) {
        if (AddAccessAllowedAce(acl, ACL_REVISION, mask, sid) == 0) {
            return {};
        }
    }
    return list;
}

// A descriptor with `list` as its protected access list and, when given, `owner`.
struct descriptor {
    SECURITY_DESCRIPTOR value{};
    bytes list;
    bool ready = false;
    descriptor(bytes entries, PSID owner) : list(std::move(entries)) {
        ready = !list.empty() &&
                InitializeSecurityDescriptor(&value, SECURITY_DESCRIPTOR_REVISION) != 0 &&
                (owner == nullptr || SetSecurityDescriptorOwner(&value, owner, FALSE) != 0) &&
                SetSecurityDescriptorDacl(&value, TRUE, reinterpret_cast<ACL*>(list.data()),
                                          FALSE) != 0 &&
                SetSecurityDescriptorControl(&value, SE_DACL_PROTECTED, SE_DACL_PROTECTED) != 0;
    }
};

// What other processes of the user, and this one's own libraries by a thread's number, may do
// to this process's threads: wait for them and ask their state, never read or set their
// registers, suspend, end or impersonate them. SYSTEM keeps every right.
constexpr ACCESS_MASK kThreadRights =
    SYNCHRONIZE | READ_CONTROL | THREAD_QUERY_INFORMATION | THREAD_QUERY_LIMITED_INFORMATION;

bytes thread_access_list() {
    const token_sids& known = sids();
    return access_list({{known.mine.user, kThreadRights},
                        {sid_in(known.owner_rights), kThreadRights},
                        {sid_in(known.system), GENERIC_ALL}});
}

// The token's default access list before restrict_thread_access changed it.
bytes& usual_default_list() {
    static bytes& list = *new bytes;
    return list;
}

void set_default_list(const bytes& list) {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, &token) == 0) {
        return;
    }
    TOKEN_DEFAULT_DACL value{};
    value.DefaultDacl = reinterpret_cast<ACL*>(const_cast<unsigned char*>(list.data()));
    SetTokenInformation(token, TokenDefaultDacl, &value, sizeof value);
    CloseHandle(token);
}

void restrict_each_thread(const ACL* list) {
    SetSecurityInfo(GetCurrentThread(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                    nullptr, const_cast<ACL*>(list), nullptr);
    const HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (threads == INVALID_HANDLE_VALUE) {
        return;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(threads, &entry); more != 0;
         more = Thread32Next(threads, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId() ||
            entry.th32ThreadID == GetCurrentThreadId()) {
            continue;
        }
        if (const HANDLE thread = OpenThread(WRITE_DAC, FALSE, entry.th32ThreadID)) {
            SetSecurityInfo(thread, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            const_cast<ACL*>(list), nullptr);
            CloseHandle(thread);
        }
    }
    CloseHandle(threads);
}

}  // namespace

const principals& this_process() {
    return sids().mine;
}

std::string why_others_may_change(PSID owner, const ACL* dacl, bool owner_only,
                                  const principals& me) {
    if (owner == nullptr) {
        return "its owner cannot be read";
    }
    if (!is_mine(owner, me)) {
        return "it is owned by " + text_of(owner) + ", not by this user (" + text_of(me.user) + ")";
    }
    if (owner_only) {
        return {};
    }
    if (dacl == nullptr) {
        return "it has no access list, so everyone may change it";
    }
    return judge_entries(dacl, me);
}

void* private_file_descriptor() {
    static descriptor& made = *[] {
        const token_sids& known = sids();
        // OWNER RIGHTS too: on a share whose server maps this user to an account of its own,
        // the file's owner is that account, and it keeps full access to its file.
        return new descriptor(access_list({{known.mine.user, FILE_ALL_ACCESS},
                                           {sid_in(known.owner_rights), FILE_ALL_ACCESS},
                                           {sid_in(known.system), FILE_ALL_ACCESS},
                                           {sid_in(known.administrators), FILE_ALL_ACCESS}}),
                              nullptr);
    }();
    return made.ready ? &made.value : nullptr;
}

void keep_usual_access(HANDLE file) {
    const bytes& usual = usual_default_list();
    if (usual.empty()) {
        return;  // the default list was never changed
    }
    ACL* dacl = nullptr;
    PSECURITY_DESCRIPTOR held = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                        nullptr, &held) != ERROR_SUCCESS) {
        return;  // a file system without access lists
    }
    bool restricted = false;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        restricted = restricted ||
                     (GetAce(dacl, i, &ace) != 0 &&
                      static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
                      mask_of(ace) == kThreadRights && same_sid(sid_of(ace), this_process().user));
    }
    LocalFree(held);
    if (restricted) {
        SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        reinterpret_cast<ACL*>(const_cast<unsigned char*>(usual.data())), nullptr);
    }
}

DWORD open_lock_mutex(const wchar_t* name, HANDLE& mutex) {
    // Waiting and releasing (SYNCHRONIZE, MUTANT_QUERY_STATE) for everyone, elevated or not;
    // a run of another user waits for this one instead of being refused. Nothing else: no
    // other process may change the list and shut the others out.
    static constexpr ACCESS_MASK kWaiting = SYNCHRONIZE | MUTANT_QUERY_STATE;
    static descriptor& made = *[] {
        return new descriptor(access_list({{sid_in(sids().everyone), kWaiting}}), nullptr);
    }();
    // Without its list (it could not be built) the mutex gets the token's default one: a run
    // that may not open it is refused, never let in unlocked.
    SECURITY_ATTRIBUTES attributes{sizeof attributes, made.ready ? &made.value : nullptr, FALSE};
    // An existing mutex is opened with the rights asked for here, which its list grants when a
    // run of this tool made it; a name that another program took first and keeps from others
    // answers ERROR_ACCESS_DENIED, one that is no mutex ERROR_INVALID_HANDLE: the run stops.
    mutex = CreateMutexExW(&attributes, name, 0, kWaiting);
    return mutex != nullptr ? ERROR_SUCCESS : GetLastError();
}

void restrict_thread_access() {
    const bytes list = thread_access_list();
    if (list.empty()) {
        return;
    }
    const bytes before = token_information(TokenDefaultDacl);
    if (!before.empty()) {
        const ACL* usual = reinterpret_cast<const TOKEN_DEFAULT_DACL*>(before.data())->DefaultDacl;
        if (usual != nullptr) {
            const auto* start = reinterpret_cast<const unsigned char*>(usual);
            usual_default_list().assign(start, start + usual->AclSize);
        }
    }
    set_default_list(list);
    restrict_each_thread(reinterpret_cast<const ACL*>(list.data()));
}

}  // namespace win_security

int check_only_mine(const handle& file, bool owner_only, std::string& why, std::string& hint) {
    why.clear();
    hint.clear();
    DWORD volume_flags = 0;
    if (GetVolumeInformationByHandleW(file.value(), nullptr, 0, nullptr, nullptr, &volume_flags,
                                      nullptr, 0) == 0) {
        return fio_errno_of_windows_error(GetLastError());
    }
    if ((volume_flags & FILE_PERSISTENT_ACLS) == 0) {
        why =
            "its file system keeps no owner or access list for files (FAT or exFAT), so "
            "anyone who may write the folder may have written it";
        hint =
            "sign into a folder on NTFS or ReFS, where files have an owner; delete the file "
            "if no run of yours left it";
        return EPERM;
    }
    PSID owner = nullptr;
    ACL* dacl = nullptr;
    PSECURITY_DESCRIPTOR held = nullptr;
    const DWORD error = GetSecurityInfo(file.value(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &dacl, nullptr, &held);
    if (error != ERROR_SUCCESS) {
        why = std::string("its owner cannot be read (") +
              std::strerror(fio_errno_of_windows_error(error)) + ")";
        hint =
            "a file whose owner cannot be read is not acted on; delete it if no run of yours "
            "left it";
        return EPERM;
    }
    why =
        win_security::why_others_may_change(owner, dacl, owner_only, win_security::this_process());
    LocalFree(held);
    return why.empty() ? 0 : EPERM;
}

}  // namespace fio
