// Core services, Windows side: file facts through handles, full paths in their long form,
// Windows errors in the C library's words, and the protection of a process that holds a key.
#include <aclapi.h>
#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "file_security_win.h"
#include "fio_read_file.h"
#include "zrl_core.h"

// The image's load configuration, for one field: the loader looks for the program's own imports
// that are not among the system's known DLLs (bcrypt.dll, crypt32.dll) in System32 only, never
// beside the .exe or in the working folder. MSVC's linker sets it with /DEPENDENTLOADFLAG; GNU
// ld 2.40 has no such option but takes the directory from this symbol (its size from the first
// field). The layout is the 64-bit one up to the guard flags, all zero but the load flags.
struct image_load_config {
    DWORD size;
    DWORD time_stamp;
    WORD major_version;
    WORD minor_version;
    DWORD global_flags_clear;
    DWORD global_flags_set;
    DWORD critical_section_default_timeout;
    ULONGLONG decommit_free_block_threshold;
    ULONGLONG decommit_total_free_threshold;
    ULONGLONG lock_prefix_table;
    ULONGLONG maximum_allocation_size;
    ULONGLONG virtual_memory_threshold;
    ULONGLONG process_affinity_mask;
    DWORD process_heap_flags;
    WORD csd_version;
    WORD dependent_load_flags;
    ULONGLONG edit_list;
    ULONGLONG security_cookie;
    ULONGLONG se_handler_table;
    ULONGLONG se_handler_count;
    ULONGLONG guard_cf_check_function;
    ULONGLONG guard_cf_dispatch_function;
    ULONGLONG guard_cf_function_table;
    ULONGLONG guard_cf_function_count;
    DWORD guard_flags;
};
static_assert(offsetof(image_load_config, dependent_load_flags) == 78);

constexpr image_load_config load_config_searching_system32() {
    image_load_config config{};
    config.size = offsetof(image_load_config, guard_flags) + sizeof(DWORD);
    config.dependent_load_flags = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return config;
}

extern "C" {
extern const image_load_config _load_config_used;
[[gnu::used]] constexpr image_load_config _load_config_used = load_config_searching_system32();
}

int fio_errno_of_windows_error(unsigned long error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
            return EPIPE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        default:
            return EIO;
    }
}

std::string fio_windows_reason(unsigned long error) {
    if (const int number = fio_errno_of_windows_error(error); number != EIO) {
        return std::strerror(number);
    }
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length == 0 ? L"" : std::wstring(text, length);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.')) {
        message.pop_back();
    }
    return message.empty() ? "Windows error " + std::to_string(error) : fio_narrow_path(message);
}

// ---- Full paths --------------------------------------------------------------------------

namespace {

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// "C:\x" as "\\?\C:\x", "\\server\share\x" as "\\?\UNC\server\share\x"; a path already in a
// long or device form ("\\?\", "\\.\") as it is.
std::wstring long_form(const std::wstring& full) {
    if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) {
        return full;
    }
    if (starts_with(full, L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

// The path made absolute against the working folder, "." and ".." taken, "/" made "\".
std::optional<std::wstring> full_path_name(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return std::nullopt;
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return std::nullopt;
    }
    full.resize(length);
    return full;
}

struct handle_closer {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using unique_handle = std::unique_ptr<void, handle_closer>;

// Opens a file or folder for its attributes only, sharing everything; null when it cannot.
unique_handle open_for_attributes(const std::wstring& path, DWORD flags = 0) {
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    return unique_handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

// The path the system gives an open handle, in the long form.
std::optional<std::wstring> final_path(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length =
            GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            return std::nullopt;
        }
        if (length < path.size()) {
            path.resize(length);
            return long_form(path);
        }
        path.resize(length + 1);
    }
    return std::nullopt;
}

// The folder as its handle reaches it: links and junctions followed.
std::optional<std::wstring> resolved_folder(const std::wstring& folder) {
    const unique_handle handle = open_for_attributes(folder);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || GetFileInformationByHandle(handle.get(), &info) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return std::nullopt;
    }
    return final_path(handle.get());
}

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// A last name that is empty, "." or ".." makes the whole path a folder.
bool names_a_folder(const std::wstring& path) {
    size_t start = path.size();
    while (start > 0 && !is_separator(path[start - 1])) {
        --start;
    }
    const std::wstring last = path.substr(start);
    return last.empty() || last == L"." || last == L"..";
}

std::wstring full_path_wide(const std::string& path) {
    const std::wstring given = fio_widen_path(path.empty() ? std::string(".") : path);
    const std::optional<std::wstring> full = full_path_name(given);
    if (!full) {
        return given;  // opening it fails as opening the path itself would
    }
    if (names_a_folder(given)) {
        return resolved_folder(*full).value_or(long_form(*full));
    }
    const size_t slash = full->find_last_of(L'\\');
    const std::wstring folder = full->substr(0, slash + 1);
    const std::wstring name = full->substr(slash + 1);
    const std::optional<std::wstring> resolved = resolved_folder(folder);
    if (!resolved) {
        return long_form(*full);
    }
    return *resolved + (resolved->back() == L'\\' ? L"" : L"\\") + name;
}

}  // namespace

std::wstring fio_get_unc_full_path(const char* path) {
    return full_path_wide(path);
}

// ---- File facts --------------------------------------------------------------------------

namespace {

struct file_facts {
    bool folder = false;
    bool disk_file = false;  // a file on a disk: not a pipe, console or other device
    uint64_t size = 0;
    uint32_t volume = 0;
    uint64_t index = 0;
};

// What is at `path`, links followed; nothing, with the Windows error in `error`, when it
// cannot be examined.
std::optional<file_facts> facts_of(const std::string& path, DWORD& error) {
    error = ERROR_INVALID_NAME;
    if (path.find('\0') != std::string::npos) {
        return std::nullopt;  // the call would see a shorter path, naming another file
    }
    const unique_handle handle = open_for_attributes(full_path_wide(path));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle) {
        error = GetLastError();
        return std::nullopt;
    }
    file_facts facts;
    if (GetFileType(handle.get()) == FILE_TYPE_DISK &&
        GetFileInformationByHandle(handle.get(), &info) != 0) {
        facts.folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        facts.disk_file = !facts.folder;
        facts.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        facts.volume = info.dwVolumeSerialNumber;
        facts.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    return facts;
}

}  // namespace

bool FIO_FILE_SYSTEM::exists(const std::string& path) {
    DWORD error = 0;
    const std::optional<file_facts> facts = facts_of(path, error);
    return facts && !facts->folder;
}

std::optional<uint64_t> FIO_FILE_SYSTEM::regular_file_size(const std::string& path) {
    DWORD error = 0;
    const std::optional<file_facts> facts = facts_of(path, error);
    if (!facts || !facts->disk_file) {
        return std::nullopt;
    }
    return facts->size;
}

std::string FIO_FILE_SYSTEM::why_unreadable(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return "a name cannot hold a NUL byte";
    }
    DWORD error = 0;
    const std::optional<file_facts> facts = facts_of(path, error);
    if (!facts) {
        return fio_windows_reason(error);
    }
    if (facts->folder) {
        return "it is a folder";
    }
    if (!facts->disk_file) {
        return "it is not a regular file (a pipe or device)";
    }
    FIO_READ_FILE file(path);
    return file.is_open() ? "" : std::strerror(errno);
}

// Windows follows a link when a file is opened, so a write lands at the link's target. A link
// whose target exists is resolved through its handle; a dangling one is kept as the place.
std::optional<std::string> FIO_FILE_SYSTEM::write_target(const std::string& path) {
    const std::wstring full = full_path_wide(path);
    const DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return fio_narrow_path(full);  // the write creates it, or fails itself
        }
        errno = fio_errno_of_windows_error(error);
        return std::nullopt;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return fio_narrow_path(full);
    }
    const unique_handle handle = open_for_attributes(full);
    const std::optional<std::wstring> target = handle ? final_path(handle.get()) : std::nullopt;
    return fio_narrow_path(target.value_or(full));
}

bool FIO_FILE_SYSTEM::same_file(const std::string& a, const std::string& b) {
    const std::wstring target_a =
        fio_widen_path(write_target(a).value_or(fio_narrow_path(full_path_wide(a))));
    const std::wstring target_b =
        fio_widen_path(write_target(b).value_or(fio_narrow_path(full_path_wide(b))));
    // Names on Windows file systems are compared without case.
    if (CompareStringOrdinal(target_a.c_str(), static_cast<int>(target_a.size()), target_b.c_str(),
                             static_cast<int>(target_b.size()), TRUE) == CSTR_EQUAL) {
        return true;
    }
    DWORD error = 0;
    const std::optional<file_facts> facts_a = facts_of(a, error);
    const std::optional<file_facts> facts_b = facts_of(b, error);
    return facts_a && facts_b && facts_a->disk_file && facts_b->disk_file &&
           facts_a->volume == facts_b->volume && facts_a->index == facts_b->index;
}

// ---- Memory set-up -----------------------------------------------------------------------

namespace {

// The process's own user, from its token.
std::vector<unsigned char> token_user() {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) {
        return {};
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    if (size == 0 || GetTokenInformation(token, TokenUser, user.data(), size, &size) == 0) {
        user.clear();
    }
    CloseHandle(token);
    return user;  // moved, not copied: the SID it holds points into its own bytes
}

// Other processes of the same user may wait for this one, ask its state and end it, but not
// read or write its memory, duplicate its handles or change these rights: the process's
// access list grants its user and its owner only those three rights. An administrator with the
// debug privilege still passes. A failure leaves the default rights; the run goes on.
void deny_memory_access_to_other_processes() {
    std::vector<unsigned char> user = token_user();
    if (user.empty()) {
        return;
    }
    SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
    PSID owner_rights = nullptr;
    if (AllocateAndInitializeSid(&creator, 1, SECURITY_CREATOR_OWNER_RIGHTS_RID, 0, 0, 0, 0, 0, 0,
                                 0, &owner_rights) == 0) {
        return;
    }
    const DWORD rights = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;
    EXPLICIT_ACCESS_W entries[2] = {};
    PSID sids[2] = {reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, owner_rights};
    for (int i = 0; i < 2; ++i) {
        entries[i].grfAccessPermissions = rights;
        entries[i].grfAccessMode = SET_ACCESS;
        entries[i].grfInheritance = NO_INHERITANCE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.ptstrName = static_cast<LPWSTR>(sids[i]);
    }
    PACL list = nullptr;
    if (SetEntriesInAclW(2, entries, nullptr, &list) == ERROR_SUCCESS) {
        SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, list, nullptr);
        LocalFree(list);
    }
    FreeSid(owner_rights);
}

}  // namespace

MEM_INITIALIZER::MEM_INITIALIZER(const char* tag) : tag_(tag) {
    // DLLs loaded from here on (by the system on the program's behalf too) come from System32
    // only; the program's own imports were resolved the same way (the load configuration).
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // No crash dialog and no error report that would copy the process's memory somewhere.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    deny_memory_access_to_other_processes();
    fio::win_security::restrict_thread_access();
}
