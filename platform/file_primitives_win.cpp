// File-system primitives on Windows (see file_primitives.h). A folder is a handle opened with
// FILE_FLAG_BACKUP_SEMANTICS by its long full path; every name inside it is opened, created,
// renamed, linked and removed relative to that handle (NtCreateFile and NtSetInformationFile
// with RootDirectory), never through a path again. Links and junctions are never followed at
// a name: FILE_OPEN_REPARSE_POINT. Only a reparse point whose tag is a name surrogate (a
// symbolic link, a junction or mount point) is a link; any other (a cloud file's placeholder, a
// deduplicated or compressed file) is the file itself, read through its file system's filter.
//
// A file's identity is the volume's 64-bit serial and the file's 128-bit number (FileIdInfo),
// since the older 64-bit index is not unique on ReFS; where the system or file system lacks
// that class, the 32-bit serial and the 64-bit index. A folder whose file numbers are 0, or
// change between two looks, or equal its parent's (some shares), is refused when first held,
// as is one whose changes cannot be flushed: the run's all-or-nothing promise rests on both.
//
// Replacing names uses the POSIX-semantics rename where the file system has it, so that a
// replaced file still open elsewhere (a virus scanner, an indexer) does not fail the rename;
// a step that meets another program's open without sharing is tried again for about a second.
//
// What Windows lacks:
// - Owner, group and mode bits. Every file is reported as owned by this user (owner and group
//   0); its mode is 0644, or 0444 with the read-only attribute, for a folder 0755. set_owner
//   and set_group change nothing and succeed; set_mode sets or clears the read-only attribute
//   from the owner's write bit. Who may read or replace a file is the folder's and the file's
//   access list, which the tool leaves as Windows sets them, but for its journal and run files
//   (create_private_at: this user, the owner, SYSTEM and Administrators only). A file's real owner
//   and who else may change it are judged from its access list (check_only_mine,
//   file_security_win.cpp).
// - flock. A file (the run file) is locked with LockFileEx over its whole range. A folder
//   cannot be locked: its lock is a named mutex for its volume and file index, held by this
//   process until it unlocks or ends (an ended owner leaves it abandoned, which the next taker
//   gets), so runs of every user on this machine exclude each other without a file left there.
//   Its access list lets every user wait on it and release it, and only its creator change the
//   list: a run of another user, or an elevated one, waits instead of being refused.
// clang-format off
#include <windows.h>  // first: the others need its types
#include <bcrypt.h>
#include <winternl.h>
// clang-format on

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "file_primitives.h"
#include "file_security_win.h"
#include "zrl_core.h"

namespace fio {

namespace {

fault_hook g_fault_hook = nullptr;

int injected(const char* primitive) {
    return g_fault_hook != nullptr ? g_fault_hook(primitive) : 0;
}

constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103);
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043);
constexpr NTSTATUS kStatusStoppedOnSymlink = static_cast<NTSTATUS>(0x8000002D);
constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BB);
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileRenameInformationEx = 65;
constexpr ULONG kFileCaseSensitiveInformation = 71;
constexpr ULONG kRenameReplaceIfExists = 0x1;
constexpr ULONG kRenamePosixSemantics = 0x2;
constexpr ULONG kCaseSensitiveFolder = 0x1;
constexpr ULONG kFileLinkInformation = 11;
constexpr ULONG kFileDispositionInformation = 13;
constexpr ULONG kFileDispositionInformationEx = 64;
constexpr ULONG kDispositionDeletePosix = 0x1 | 0x2;  // delete, name gone at once

// NtSetInformationFile with the information class as a number: the classes past the header's
// enumeration (FileDispositionInformationEx) are not values of its type.
NTSTATUS set_information(HANDLE file, void* information, ULONG size, ULONG kind) {
    using call = NTSTATUS(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, ULONG);
    static const call set = reinterpret_cast<call>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
    IO_STATUS_BLOCK status_block{};
    return set(file, &status_block, information, size, kind);
}

// NtQueryInformationFile likewise (FileCaseSensitiveInformation is past the enumeration).
NTSTATUS query_information(HANDLE file, void* information, ULONG size, ULONG kind) {
    using call = NTSTATUS(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, ULONG);
    static const call query = reinterpret_cast<call>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    IO_STATUS_BLOCK status_block{};
    return query(file, &status_block, information, size, kind);
}

int errno_of_windows(DWORD error) {
    switch (error) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
            return EBUSY;  // another program holds it open
        case ERROR_NOT_A_REPARSE_POINT:
            return EINVAL;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_TOO_MANY_LINKS:
            return EMLINK;
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            return EOPNOTSUPP;
        case ERROR_DELETE_PENDING:
            return kErrorDeletePending;
        default:
            return fio_errno_of_windows_error(error);
    }
}

int last_error() {
    return errno_of_windows(GetLastError());
}

}  // namespace

int errno_of_status(long status) {
    switch (status) {
        case kStatusDeletePending:
            return kErrorDeletePending;  // removed, its last handle not yet closed
        case kStatusFileIsADirectory:
            return EISDIR;
        case kStatusNotADirectory:
            return ENOTDIR;
        case kStatusObjectNameCollision:
            return EEXIST;
        case kStatusSharingViolation:
            return EBUSY;
        case kStatusStoppedOnSymlink:
            return ELOOP;
        default:
            return errno_of_windows(RtlNtStatusToDosError(status));
    }
}

namespace {

// A name as NtCreateFile takes it: the wide form of one component, nothing that reaches another
// folder or a stream.
int wide_name(const char* name, std::wstring& wide) {
    if (!is_single_name(name)) {
        return EINVAL;
    }
    wide = fio_widen_path(name);
    return wide.size() * sizeof(wchar_t) < 0xFFFF ? 0 : ENAMETOOLONG;
}

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr int kMostTries = 50;
constexpr DWORD kRetryMilliseconds = 20;

// Another program's short look at a file (another run staging beside it, a virus scanner, an
// indexer) may hold it open without sharing its removal, which fails a step on its name with a
// sharing violation (EBUSY; replacing a name, also EACCES), or keeps a removed file's name
// until it closes. Such a look ends soon: the step is tried again for about a second before
// its failure counts.
template <typename Step>
int retried(Step step, bool denied_too = false) {
    int error = 0;
    for (int attempt = 0; attempt < kMostTries; ++attempt) {
        error = step();
        if (error != EBUSY && error != kErrorDeletePending && !(denied_too && error == EACCES)) {
            return error;
        }
        Sleep(kRetryMilliseconds);
    }
    return error;
}

// Opens or creates `name` relative to `folder`: with `own_reparse_point`, the name's own file,
// never a link's target; without, through the file system's filter (see open_at). A file
// created gets `security` as its descriptor when given, else what the folder passes on.
int open_relative(const handle& folder, const char* name, ACCESS_MASK access, ULONG disposition,
                  ULONG options, handle& file, bool own_reparse_point = true,
                  void* security = nullptr) {
    std::wstring wide;
    if (const int error = wide_name(name, wide); error != 0) {
        return error;
    }
    UNICODE_STRING object_name{};
    object_name.Buffer = wide.data();
    object_name.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, folder.value(),
                               security);
    IO_STATUS_BLOCK status_block{};
    HANDLE opened = nullptr;
    const NTSTATUS status = NtCreateFile(
        &opened, access | SYNCHRONIZE, &attributes, &status_block, nullptr, FILE_ATTRIBUTE_NORMAL,
        kShareAll, disposition,
        options | (own_reparse_point ? FILE_OPEN_REPARSE_POINT : 0) | FILE_SYNCHRONOUS_IO_NONALERT,
        nullptr, 0);
    if (status < 0) {
        return errno_of_status(status);
    }
    file = handle(opened);
    return 0;
}

int open_for_attributes(const handle& folder, const char* name, handle& file) {
    return open_relative(folder, name, FILE_READ_ATTRIBUTES, FILE_OPEN, 0, file);
}

// Renames or links the file `from` to `to`, both in `folder`. The first field is a BOOLEAN
// for FileRenameInformation and FileLinkInformation, flags for FileRenameInformationEx: the
// same bytes either way on this little-endian system.
struct rename_information {
    ULONG flags;
    HANDLE root_directory;
    ULONG name_length;
    WCHAR name[1];
};

// What a system or file system without FileRenameInformationEx answers to it.
bool lacks_information_class(NTSTATUS status) {
    return status == kStatusInvalidInfoClass || status == kStatusNotSupported ||
           status == kStatusInvalidParameter || status == kStatusNotImplemented;
}

int set_name(const handle& folder, const char* from, const char* to, bool replace, ULONG kind) {
    std::wstring wide;
    if (const int error = wide_name(to, wide); error != 0) {
        return error;
    }
    handle file;
    // DELETE for a link too: a file that another program holds open without sharing its
    // removal cannot lose or rename any of its names, so a second name is refused (EBUSY)
    // before it exists rather than left behind.
    if (const int error = open_relative(folder, from, DELETE, FILE_OPEN, 0, file); error != 0) {
        return error;
    }
    const size_t bytes = wide.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(offsetof(rename_information, name) + bytes + sizeof(WCHAR));
    auto* information = reinterpret_cast<rename_information*>(buffer.data());
    information->root_directory = folder.value();
    information->name_length = static_cast<ULONG>(bytes);
    std::memcpy(information->name, wide.data(), bytes);
    const auto size = static_cast<ULONG>(buffer.size());
    if (kind == kFileRenameInformation && replace) {
        // Replaces a file that others hold open (sharing its removal) as POSIX's rename does;
        // the read-only attribute is left to refuse, as the run checks it before it writes.
        information->flags = kRenameReplaceIfExists | kRenamePosixSemantics;
        const NTSTATUS status =
            set_information(file.value(), information, size, kFileRenameInformationEx);
        if (!lacks_information_class(status)) {
            return status < 0 ? errno_of_status(status) : 0;
        }
    }
    information->flags = replace ? TRUE : FALSE;
    const NTSTATUS status = set_information(file.value(), information, size, kind);
    return status < 0 ? errno_of_status(status) : 0;
}

// The tag of a reparse point; 0 for a file that is none.
int reparse_tag(HANDLE file, DWORD attributes, DWORD& tag) {
    tag = 0;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return 0;
    }
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info) == 0) {
        return last_error();
    }
    tag = info.ReparseTag;
    return 0;
}

file_kind kind_of(DWORD attributes, DWORD tag, DWORD type) {
    if (is_link_reparse_point(attributes, tag)) {
        return file_kind::link;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return file_kind::folder;
    }
    return type == FILE_TYPE_DISK ? file_kind::regular : file_kind::other;
}

uint32_t mode_of(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return 0755;
    }
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0644;
}

// The path the system gives an open folder, in the long form: by its drive letter, or on a
// volume that has none (mounted only in a folder, a RAM disk whose driver names no letter) by
// the volume's GUID name, \\?\Volume{...}\, which every call that takes a path accepts.
int final_path(HANDLE folder, std::string& path) {
    std::wstring wide(MAX_PATH, L'\0');
    DWORD volume_name = VOLUME_NAME_DOS;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length =
            GetFinalPathNameByHandleW(folder, wide.data(), static_cast<DWORD>(wide.size()),
                                      FILE_NAME_NORMALIZED | volume_name);
        if (length == 0 && volume_name == VOLUME_NAME_DOS) {
            volume_name = VOLUME_NAME_GUID;
            continue;
        }
        if (length == 0) {
            return last_error();
        }
        if (length < wide.size()) {
            wide.resize(length);
            if (wide.rfind(L"\\\\", 0) != 0) {
                wide = L"\\\\?\\" + wide;
            }
            path = fio_narrow_path(wide);
            return 0;
        }
        wide.resize(length + 1);
    }
    return ENAMETOOLONG;
}

// ---- Folder locks: named mutexes by volume and file index --------------------------------

struct folder_lock_table {
    std::mutex guard;
    std::map<HANDLE, HANDLE> mutex_of_folder;
};

folder_lock_table& folder_locks() {
    static folder_lock_table& table = *new folder_lock_table;
    return table;
}

int lock_folder(const handle& folder, bool wait) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(folder.value(), &info) == 0) {
        return last_error();
    }
    wchar_t name[96] = {};
    std::swprintf(name, 96, L"Global\\kvr_sign-folder-%08lx-%08lx%08lx",
                  static_cast<unsigned long>(info.dwVolumeSerialNumber),
                  static_cast<unsigned long>(info.nFileIndexHigh),
                  static_cast<unsigned long>(info.nFileIndexLow));
    HANDLE mutex = nullptr;
    if (const DWORD error = win_security::open_lock_mutex(name, mutex); error != ERROR_SUCCESS) {
        return errno_of_windows(error);
    }
    const DWORD waited = WaitForSingleObject(mutex, wait ? INFINITE : 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        const int error = waited == WAIT_TIMEOUT ? EWOULDBLOCK : last_error();
        CloseHandle(mutex);
        return error;
    }
    folder_lock_table& table = folder_locks();
    const std::lock_guard<std::mutex> held(table.guard);
    table.mutex_of_folder[folder.value()] = mutex;
    return 0;
}

bool unlock_folder(const handle& folder) {
    folder_lock_table& table = folder_locks();
    const std::lock_guard<std::mutex> held(table.guard);
    const auto found = table.mutex_of_folder.find(folder.value());
    if (found == table.mutex_of_folder.end()) {
        return false;
    }
    ReleaseMutex(found->second);
    CloseHandle(found->second);
    table.mutex_of_folder.erase(found);
    return true;
}

bool is_folder(const handle& file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(file.value(), &info) != 0 &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// ---- Links and junctions -----------------------------------------------------------------

constexpr DWORD kTagMountPoint = 0xA0000003;
constexpr DWORD kTagSymbolicLink = 0xA000000C;
constexpr ULONG kRelativeLink = 1;

// The path a reparse buffer's substitute name gives, "\??\C:\x" as "\\?\C:\x".
std::wstring link_target(const unsigned char* buffer, size_t size, bool& relative) {
    DWORD tag = 0;
    std::memcpy(&tag, buffer, sizeof tag);
    // Tag, data length, reserved; then the substitute name's offset and length.
    const size_t names_at = tag == kTagSymbolicLink ? 20 : 16;
    USHORT offset = 0;
    USHORT length = 0;
    std::memcpy(&offset, buffer + 8, sizeof offset);
    std::memcpy(&length, buffer + 10, sizeof length);
    relative = false;
    if (tag == kTagSymbolicLink) {
        ULONG flags = 0;
        std::memcpy(&flags, buffer + 16, sizeof flags);
        relative = (flags & kRelativeLink) != 0;
    }
    if (names_at + offset + length > size) {
        return L"";
    }
    std::wstring target(length / sizeof(wchar_t), L'\0');
    std::memcpy(target.data(), buffer + names_at + offset, length);
    if (target.rfind(L"\\??\\", 0) == 0) {
        target[1] = L'\\';
    }
    return target;
}

}  // namespace

// ---- Handles ------------------------------------------------------------------------------

int handle::close() {
    if (!is_open()) {
        return 0;
    }
    unlock_folder(*this);
    return CloseHandle(release()) != 0 ? 0 : last_error();
}

native_handle handle::invalid() {
    return INVALID_HANDLE_VALUE;
}

int identify_path(const std::string& path, identity& found) {
    const std::wstring wide = fio_get_unc_full_path(path.c_str());
    HANDLE opened = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    const handle file(opened);
    return identify(file, found);
}

// ---- Folders ------------------------------------------------------------------------------

int open_folder(const std::string& path, handle& folder, std::string& full_path) {
    const std::wstring wide = fio_get_unc_full_path(path.c_str());
    constexpr DWORD kReading = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
    // All of write access: a flush of the folder needs it (FlushFileBuffers asks for
    // GENERIC_WRITE, and a share's server may check for all of it, not only "add file").
    constexpr DWORD kWriting = FILE_GENERIC_WRITE;
    HANDLE opened = CreateFileW(wide.c_str(), kReading | kWriting | SYNCHRONIZE, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        // A folder this user may only read: held all the same, so that what fails is the step
        // that writes there, named by its own reason.
        opened = CreateFileW(wide.c_str(), kReading | SYNCHRONIZE, kShareAll, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    }
    if (opened == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    folder = handle(opened);
    if (!is_folder(folder)) {
        return ENOTDIR;
    }
    return final_path(opened, full_path);
}

int flush_folder(const handle& folder) {
    if (const int error = injected("flush_folder"); error != 0) {
        return error;
    }
    return FlushFileBuffers(folder.value()) != 0 ? 0 : last_error();
}

bool is_case_sensitive(const handle& folder) {
    ULONG flags = 0;
    const NTSTATUS status =
        query_information(folder.value(), &flags, sizeof flags, kFileCaseSensitiveInformation);
    return status >= 0 && (flags & kCaseSensitiveFolder) != 0;
}

namespace {

// The folder above `folder`, looked at through its path; nothing at a root.
int identify_parent(const handle& folder, identity& parent, bool& found) {
    found = false;
    std::string path;
    std::string above;
    std::string name;
    if (const int error = final_path(folder.value(), path); error != 0) {
        return error;
    }
    if (!split_path(path, above, name) || above == path) {
        return 0;
    }
    found = identify_path(above, parent) == 0;  // a parent this user may not open: no look
    return 0;
}

// A folder whose changes a flush cannot reach the disk would break the promise of every
// commit there, and a journal left by a failed flush would stop every later run: the flush is
// tried once, before anything is written, and its failure refuses the folder. A folder this
// user may only read is left to the step that writes there, which names its own reason.
int probe_flush(const handle& folder, std::string& why) {
    if (const int error = injected("flush_folder"); error != 0) {
        why = "flushing the folder failed: " + error_text(error);
        return kErrorFolderNoFlush;
    }
    if (FlushFileBuffers(folder.value()) != 0) {
        return 0;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        HANDLE writable =
            ReOpenFile(folder.value(), FILE_GENERIC_WRITE, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
        if (writable == INVALID_HANDLE_VALUE) {
            return 0;
        }
        CloseHandle(writable);
    }
    why = "flushing the folder failed: " + fio_windows_reason(error);
    return kErrorFolderNoFlush;
}

}  // namespace

int check_identities(const handle& folder, std::string& why) {
    identity held;
    if (const int error = identify(folder, held); error != 0) {
        return error;
    }
    HANDLE reopened =
        ReOpenFile(folder.value(), FILE_READ_ATTRIBUTES, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
    if (reopened == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    const handle second(reopened);
    identity again;
    if (const int error = identify(second, again); error != 0) {
        return error;
    }
    identity parent;
    bool has_parent = false;
    if (const int error = identify_parent(folder, parent, has_parent); error != 0) {
        return error;
    }
    if (const int error = judge_identities(held, again, has_parent ? &parent : nullptr, why);
        error != 0) {
        return error;
    }
    return probe_flush(folder, why);
}

int list_names(const handle& folder, std::vector<std::string>& names) {
    names.clear();
    std::vector<unsigned char> buffer(1 << 16);
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (GetFileInformationByHandleEx(folder.value(), kind, buffer.data(),
                                         static_cast<DWORD>(buffer.size())) == 0) {
            const DWORD error = GetLastError();
            return error == ERROR_NO_MORE_FILES ? 0 : errno_of_windows(error);
        }
        kind = FileIdBothDirectoryInfo;
        size_t at = 0;
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + at);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                names.push_back(fio_narrow_path(name));
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
}

// ---- Names in a held folder ---------------------------------------------------------------

int identify_at(const handle& folder, const char* name, identity& found) {
    handle file;
    if (const int error = open_for_attributes(folder, name, file); error != 0) {
        return error;
    }
    return identify(file, found);
}

int read_link_at(const handle& folder, const char* name, std::string& text) {
    handle file;
    if (const int error = open_for_attributes(folder, name, file); error != 0) {
        return error;
    }
    std::vector<unsigned char> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD got = 0;
    if (DeviceIoControl(file.value(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                        static_cast<DWORD>(buffer.size()), &got, nullptr) == 0) {
        return last_error();
    }
    DWORD tag = 0;
    std::memcpy(&tag, buffer.data(), sizeof tag);
    if (got < 20 || (tag != kTagSymbolicLink && tag != kTagMountPoint)) {
        return EINVAL;  // a reparse point that is no link: nothing to follow
    }
    bool relative = false;
    const std::wstring target = link_target(buffer.data(), got, relative);
    if (target.empty()) {
        return EINVAL;
    }
    text = fio_narrow_path(target);
    return 0;
}

int may_write_at(const handle& folder, const char* name) {
    // The read-only attribute refuses writing to everyone, administrators too (Wine run as
    // root would let the open below pass): it is asked first.
    identity found;
    if (const int error = identify_at(folder, name, found); error != 0) {
        return error;
    }
    if ((found.mode & 0200) == 0) {
        return EACCES;
    }
    handle file;
    return open_relative(folder, name, FILE_WRITE_DATA, FILE_OPEN, FILE_NON_DIRECTORY_FILE, file);
}

int create_at(const handle& folder, const char* name, uint32_t mode, handle& file) {
    if (const int error = injected("create_at"); error != 0) {
        return error;
    }
    // Shared for reading, writing and removal: the tool renames its journal and removes its
    // run file while it holds them, and a later run opens a run file to test its lock.
    // WRITE_DAC to give the file the usual access list where it got the threads' one; a file
    // system that will not grant it at creation still gets its file.
    constexpr ACCESS_MASK kAccess = GENERIC_READ | GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES;
    int error = retried([&] {
        return open_relative(folder, name, kAccess | WRITE_DAC, FILE_CREATE,
                             FILE_NON_DIRECTORY_FILE, file);
    });
    if (error == EACCES) {
        error = retried([&] {
            return open_relative(folder, name, kAccess, FILE_CREATE, FILE_NON_DIRECTORY_FILE, file);
        });
    }
    if (error != 0) {
        return error;
    }
    win_security::keep_usual_access(file.value());
    return (mode & 0200) == 0 ? set_mode(file, mode) : 0;
}

int create_private_at(const handle& folder, const char* name, handle& file) {
    if (const int error = injected("create_at"); error != 0) {
        return error;
    }
    void* const security = win_security::private_file_descriptor();
    if (security == nullptr) {
        return EPERM;  // no access list for this user could be made: nothing is created
    }
    constexpr ACCESS_MASK kAccess = GENERIC_READ | GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES;
    if (const int error = retried([&] {
            return open_relative(folder, name, kAccess, FILE_CREATE, FILE_NON_DIRECTORY_FILE, file,
                                 true, security);
        });
        error != 0) {
        return error;
    }
    // A server that keeps the list otherwise than given (one without access lists of its own
    // kind) could leave a file that this user cannot open again, read or remove: such a file
    // is removed through the handle that made it and made again as create_at makes a file.
    handle again;
    if (open_relative(folder, name, GENERIC_READ | DELETE, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                      again) != EACCES) {
        return 0;
    }
    BOOLEAN remove = TRUE;
    const NTSTATUS status =
        set_information(file.value(), &remove, sizeof remove, kFileDispositionInformation);
    file.close();
    return status < 0 ? errno_of_status(status) : create_at(folder, name, 0600, file);
}

int open_at(const handle& folder, const char* name, bool for_writing, handle& file) {
    const ACCESS_MASK access =
        GENERIC_READ | FILE_READ_ATTRIBUTES | (for_writing ? GENERIC_WRITE : 0);
    if (const int error =
            open_relative(folder, name, access, FILE_OPEN, FILE_NON_DIRECTORY_FILE, file);
        error != 0) {
        return error;
    }
    identity own;
    if (const int error = identify(file, own); error != 0) {
        file.close();
        return error;
    }
    if (own.kind == file_kind::link) {
        file.close();
        return ELOOP;  // as O_NOFOLLOW answers at a link
    }
    if (!own.reparse_point) {
        return 0;
    }
    // Opened as its own reparse point, a placeholder or a deduplicated file would give the
    // stub's bytes: it is opened again through its file system's filter, and kept only while
    // the name still names the file first opened (not a link put there since).
    handle through;
    if (const int error =
            open_relative(folder, name, access, FILE_OPEN, FILE_NON_DIRECTORY_FILE, through, false);
        error != 0) {
        file.close();
        return error;
    }
    identity seen;
    const int error = identify(through, seen);
    file.close();
    if (error != 0 || !seen.same_file(own)) {
        return error != 0 ? error : ESTALE;
    }
    file = std::move(through);
    return 0;
}

int rename_at(const handle& folder, const char* from, const char* to) {
    if (const int error = injected("rename_at"); error != 0) {
        return error;
    }
    // Without the POSIX-semantics rename, replacing a name fails (EACCES) while any handle to
    // the file there is open, even one that shares everything: tried again as a sharing
    // violation is.
    return retried([&] { return set_name(folder, from, to, true, kFileRenameInformation); }, true);
}

int rename_new_at(const handle& folder, const char* from, const char* to) {
    if (const int error = injected("rename_new_at"); error != 0) {
        return error;
    }
    return retried([&] { return set_name(folder, from, to, false, kFileRenameInformation); });
}

int link_at(const handle& folder, const char* from, const char* to) {
    if (const int error = injected("link_at"); error != 0) {
        return error;
    }
    return retried([&] { return set_name(folder, from, to, false, kFileLinkInformation); });
}

int remove_at(const handle& folder, const char* name) {
    if (const int error = injected("remove_at"); error != 0) {
        return error;
    }
    handle file;
    if (const int error = retried([&] {
            return open_relative(folder, name, DELETE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, file);
        });
        error != 0) {
        return error;
    }
    // The name goes at once where the file system can (a file still open elsewhere keeps its
    // content until closed); elsewhere when the last handle closes.
    ULONG flags = kDispositionDeletePosix;
    NTSTATUS status =
        set_information(file.value(), &flags, sizeof flags, kFileDispositionInformationEx);
    if (status < 0) {
        BOOLEAN remove = TRUE;
        status = set_information(file.value(), &remove, sizeof remove, kFileDispositionInformation);
    }
    return status < 0 ? errno_of_status(status) : 0;
}

// ---- Open files ---------------------------------------------------------------------------

namespace {

bool lacks_class(DWORD error) {
    return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

// The volume's serial and the file's number: FileIdInfo's 64-bit serial and 128-bit number,
// or where the system or the file system lacks that class, or gives a number 0 as one
// without 128-bit numbers must, the 32-bit serial and the 64-bit index.
int file_numbers(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info, identity& found) {
    FILE_ID_INFO ids{};
    if (GetFileInformationByHandleEx(file, FileIdInfo, &ids, sizeof ids) != 0) {
        uint64_t low = 0;
        uint64_t high = 0;
        std::memcpy(&low, ids.FileId.Identifier, sizeof low);
        std::memcpy(&high, ids.FileId.Identifier + sizeof low, sizeof high);
        if (low != 0 || high != 0) {
            found.device = ids.VolumeSerialNumber;
            found.inode = low;
            found.inode_high = high;
            return 0;
        }
    } else if (const DWORD error = GetLastError(); !lacks_class(error)) {
        return errno_of_windows(error);
    }
    found.device = info.dwVolumeSerialNumber;
    found.inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    found.inode_high = 0;
    return 0;
}

}  // namespace

int identify(const handle& file, identity& found) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file.value(), &info) == 0) {
        return last_error();
    }
    if (const int error = file_numbers(file.value(), info, found); error != 0) {
        return error;
    }
    DWORD tag = 0;
    if (const int error = reparse_tag(file.value(), info.dwFileAttributes, tag); error != 0) {
        return error;
    }
    found.reparse_point = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    found.owner = effective_user();
    found.group = 0;
    found.mode = mode_of(info.dwFileAttributes);
    found.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    found.links = info.nNumberOfLinks;
    found.kind = kind_of(info.dwFileAttributes, tag, GetFileType(file.value()));
    return 0;
}

namespace {

int write_some(const handle& file, const uint8_t* bytes, size_t count, OVERLAPPED* at,
               DWORD& written) {
    const DWORD chunk = count > (1U << 30) ? (1U << 30) : static_cast<DWORD>(count);
    if (WriteFile(file.value(), bytes, chunk, &written, at) == 0) {
        return last_error();
    }
    return written == 0 ? EIO : 0;
}

}  // namespace

int write_all(const handle& file, const void* bytes, size_t count) {
    if (const int error = injected("write"); error != 0) {
        return error;
    }
    const auto* next = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
        DWORD written = 0;
        if (const int error = write_some(file, next, count, nullptr, written); error != 0) {
            return error;
        }
        next += written;
        count -= written;
    }
    return 0;
}

int write_all_at(const handle& file, const void* bytes, size_t count, uint64_t offset) {
    if (const int error = injected("write"); error != 0) {
        return error;
    }
    const auto* next = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD written = 0;
        if (const int error = write_some(file, next, count, &at, written); error != 0) {
            return error;
        }
        next += written;
        offset += written;
        count -= written;
    }
    return 0;
}

int read_some(const handle& file, void* buffer, size_t size, size_t& got) {
    const DWORD chunk = size > (1U << 30) ? (1U << 30) : static_cast<DWORD>(size);
    DWORD read = 0;
    if (ReadFile(file.value(), buffer, chunk, &read, nullptr) == 0) {
        const DWORD error = GetLastError();
        if (error != ERROR_HANDLE_EOF && error != ERROR_BROKEN_PIPE) {
            return errno_of_windows(error);
        }
    }
    got = read;
    return 0;
}

int read_up_to(const handle& file, size_t most, std::string& bytes) {
    // What is read may be a module image: room for a module up front, so that growing the
    // string leaves no copy behind, and the buffer wiped when done.
    bytes.clear();
    bytes.reserve(std::min<size_t>(most, kReadReserve));
    char buffer[1 << 14];
    const wiped_on_return wipe{buffer, sizeof buffer};
    for (;;) {
        size_t got = 0;
        if (const int error = read_some(file, buffer, sizeof buffer, got); error != 0 || got == 0) {
            return error;
        }
        if (bytes.size() + got > most) {
            return EFBIG;
        }
        bytes.append(buffer, got);
    }
}

int start_write_back(const handle&) {
    // Windows has no call that starts a write-back without waiting for it: the flush does it.
    return injected("start_write_back");
}

int flush(const handle& file, bool) {
    if (const int error = injected("flush"); error != 0) {
        return error;
    }
    if (FlushFileBuffers(file.value()) != 0) {
        return 0;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED) {
        return last_error();
    }
    // A file opened for reading: flushed through a second handle that may write.
    HANDLE writable = ReOpenFile(file.value(), GENERIC_WRITE, kShareAll, 0);
    if (writable == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    const handle second(writable);
    return FlushFileBuffers(writable) != 0 ? 0 : last_error();
}

int set_owner(const handle&, uint32_t, uint32_t) {
    // Windows files have no POSIX owner: every file is this user's (see the top of this file).
    return injected("set_owner");
}

int set_group(const handle&, uint32_t) {
    return injected("set_owner");
}

int set_mode(const handle& file, uint32_t mode) {
    if (const int error = injected("set_mode"); error != 0) {
        return error;
    }
    FILE_BASIC_INFO info{};
    if (GetFileInformationByHandleEx(file.value(), FileBasicInfo, &info, sizeof info) == 0) {
        return last_error();
    }
    const DWORD before = info.FileAttributes;
    info.FileAttributes = (mode & 0200) != 0 ? before & ~DWORD{FILE_ATTRIBUTE_READONLY}
                                             : before | FILE_ATTRIBUTE_READONLY;
    if (info.FileAttributes == before) {
        return 0;
    }
    if (info.FileAttributes == 0) {
        info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    return SetFileInformationByHandle(file.value(), FileBasicInfo, &info, sizeof info) != 0
               ? 0
               : last_error();
}

int lock(const handle& file, bool wait) {
    if (const int error = injected("lock"); error != 0) {
        return error;
    }
    if (is_folder(file)) {
        return lock_folder(file, wait);
    }
    OVERLAPPED whole{};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (LockFileEx(file.value(), flags, 0, MAXDWORD, MAXDWORD, &whole) != 0) {
        return 0;
    }
    const DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EWOULDBLOCK
                                                                      : errno_of_windows(error);
}

int unlock(const handle& file) {
    if (unlock_folder(file)) {
        return 0;
    }
    OVERLAPPED whole{};
    return UnlockFileEx(file.value(), 0, MAXDWORD, MAXDWORD, &whole) != 0 ? 0 : last_error();
}

// ---- The process --------------------------------------------------------------------------

uint32_t effective_user() {
    return 0;  // the one owner every file is reported with
}

bool may_give_files_away() {
    return false;
}

uint32_t new_file_mode() {
    return 0644;
}

void raise_descriptor_limit() {
    // Windows has no limit of open handles to raise.
}

void random_letters(char* letters, size_t count) {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char noise[64] = {};
    count = count < sizeof noise ? count : sizeof noise;
    if (BCryptGenRandom(nullptr, noise, static_cast<ULONG>(count),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
        const DWORD fallback = GetCurrentProcessId() ^ GetTickCount();
        std::memcpy(noise, &fallback, sizeof fallback);
    }
    for (size_t i = 0; i < count; ++i) {
        letters[i] = kLetters[noise[i] % (sizeof kLetters - 1)];
    }
}

void fail_writes_past_size_limit() {
    // Windows has no file-size limit signal: a write past a limit fails.
}

void set_fault_hook(fault_hook hook) {
    g_fault_hook = hook;
}

}  // namespace fio
