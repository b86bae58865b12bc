// File-system primitives of the all-or-nothing write path: folders held by handle, files created
// exclusively relative to a held folder, renames, links and removals relative to it, flushes
// and locks. The commit algorithm above them is the same on every system; each system has one
// implementation of this table.
//
// Every primitive returns 0 or an error number with errno's meaning (ENOENT, EEXIST, ...), so
// that callers can tell "not there" from "could not be told". Names are single path components
// inside the given folder: never a path.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#ifndef ESTALE
#define ESTALE 116  // the C library of Windows has no number for "not the file it was"
#endif

namespace fio {

#ifdef _WIN32
using native_handle = void*;
#else
using native_handle = int;
#endif

enum class file_kind : uint8_t { missing, regular, folder, link, other };

// What a name or an open file is: enough to tell whether it is still the file a run recorded.
struct identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t inode_high = 0;  // upper half of a 128-bit file number (Windows); 0 on POSIX
    uint32_t owner = 0;
    uint32_t group = 0;
    uint32_t mode = 0;  // permission bits, 07777
    uint64_t size = 0;
    uint64_t links = 0;
    file_kind kind = file_kind::missing;
    bool reparse_point = false;  // Windows: a reparse point, link or not

    bool same_file(const identity& other) const {
        return device == other.device && inode == other.inode && inode_high == other.inode_high;
    }
};

// Whether an identity's owner and mode are the file's own (POSIX), or placeholders (Windows,
// where check_only_mine tells the owner from the open file).
#ifdef _WIN32
inline constexpr bool kIdentityHasOwner = false;
#else
inline constexpr bool kIdentityHasOwner = true;
#endif

// An open file or folder, closed when it goes; close() reports a failure of the close.
class handle {
  public:
    handle() = default;
    explicit handle(native_handle value) : value_(value) {}
    handle(handle&& other) noexcept : value_(other.release()) {}
    handle& operator=(handle&& other) noexcept;
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    ~handle();

    bool is_open() const;
    native_handle value() const { return value_; }
    native_handle release();
    int close();

  private:
    native_handle value_ = invalid();
    static native_handle invalid();
};

// Numbers past the C library's, for what it has no name for; error_text() words them.
inline constexpr int kErrorDeletePending = 0x4B01;   // a name whose file is being removed
inline constexpr int kErrorNoLastingIds = 0x4B02;    // file numbers zero or not lasting
inline constexpr int kErrorFolderNoFlush = 0x4B03;   // changes in the folder cannot be flushed
inline constexpr int kErrorReservedName = 0x4B04;    // a device name such as CON or COM1
inline constexpr int kErrorNameDotOrSpace = 0x4B05;  // a name ending in '.' or ' '

// The reason an error number stands for: the C library's text, or this layer's own.
std::string error_text(int error);

// ---- Paths --------------------------------------------------------------------------------

// The longest path the system's calls take, in bytes, and the separator that paths get.
#ifdef _WIN32
inline constexpr const char* kPathSeparator = "\\";
inline constexpr size_t kMostPathBytes = 32767 * 3;  // UTF-16 units of a long path, as UTF-8
#else
inline constexpr const char* kPathSeparator = "/";
inline constexpr size_t kMostPathBytes = 4096;  // PATH_MAX
#endif

// Splits `path` into its folder part and its last name ("." for a path without a folder part).
// On Windows both '\' and '/' separate names, and a root keeps its separator (C:\ or
// \\?\C:\ or \\server\share\); a drive without one (C:x) is that drive's working folder.
// false when the last name is empty, "." or "..": the path names a folder.
bool split_path(const std::string& path, std::string& folder, std::string& name);
// The folder's path and the name with one separator between them ('\' on Windows).
std::string join_path(const std::string& folder, const std::string& name);
// True for a path that does not depend on the working folder (or drive).
bool is_full_path(const std::string& path);
// True for one name inside a folder: not empty, not "." or "..", no NUL and no separator (on
// Windows no '\', '/' or ':' either, which would reach another folder or a stream).
bool is_single_name(const std::string& name);
// The form in which two names of one folder are equal when they name one file: the name
// itself; on Windows, in a folder that compares names without case (all but those made
// case-sensitive), the name in capitals.
std::string name_key(const std::string& name, bool case_sensitive = false);
// 0 when `name` may be given to a new file here, else why not: on Windows a device name (CON,
// PRN, AUX, NUL, COM1-9, LPT1-9, also with an extension or a superscript digit) that other
// programs could not open, or a name ending in a dot or a space, which their paths lose.
int check_new_name(const std::string& name);
// A name's length as the file system counts it: UTF-16 units on Windows, bytes elsewhere.
size_t name_length(const std::string& name);
// The bytes of the longest start of `name` (a whole character) within `most` of those units.
size_t name_prefix_within(const char* name, size_t bytes, size_t most);

// What the file at `path` is, links followed (a path, not a name in a held folder: for files
// the tool only reads).
int identify_path(const std::string& path, identity& found);

// ---- Folders ------------------------------------------------------------------------------

// Opens the folder at `path` (links followed) and gives its full path, links resolved.
int open_folder(const std::string& path, handle& folder, std::string& full_path);
int flush_folder(const handle& folder);
// Whether the folder keeps names that differ only in case apart (always on POSIX).
bool is_case_sensitive(const handle& folder);
// Run when a folder is first held, before anything is written there: 0 when the file system
// gives its files lasting, distinct numbers (which a run compares to tell its files and folders
// apart) and, on Windows, lets the folder's changes be flushed; else an error and in `why` what
// was seen, as a detail line's text.
int check_identities(const handle& folder, std::string& why);
// The decision of check_identities from its looks: the held folder, a second look at it
// through a new handle, and its parent folder (null at a root).
int judge_identities(const identity& held, const identity& again, const identity* parent,
                     std::string& why);
// Every name in the folder but "." and "..".
int list_names(const handle& folder, std::vector<std::string>& names);

// ---- Names in a held folder ---------------------------------------------------------------

// Whether a file with these attributes and reparse tag is a link: a reparse point whose tag is
// a name surrogate (a symbolic link, a junction or mount point). Any other reparse point (a
// cloud file's placeholder, a deduplicated or compressed file) is the file itself.
bool is_link_reparse_point(uint32_t attributes, uint32_t tag);
// What is at `name`, a link not followed; ENOENT when nothing is.
int identify_at(const handle& folder, const char* name, identity& found);
int read_link_at(const handle& folder, const char* name, std::string& text);
// 0 when this process may write the file at `name`.
int may_write_at(const handle& folder, const char* name);
// Creates a new file for writing, never through a link and never over anything (EEXIST).
int create_at(const handle& folder, const char* name, uint32_t mode, handle& file);
// Creates a new file as create_at does with mode 0600, one that only this user may read and
// change: on Windows with an access list of its own (full access for this user, the file's
// owner, SYSTEM and Administrators, nothing inherited from the folder); where a server would
// leave such a file unusable to this user, an ordinary one, as create_at makes it.
int create_private_at(const handle& folder, const char* name, handle& file);
// Opens an existing file without following a link and without waiting on a special file.
int open_at(const handle& folder, const char* name, bool for_writing, handle& file);
int rename_at(const handle& folder, const char* from, const char* to);
// As rename_at, but never over an existing name (EEXIST).
int rename_new_at(const handle& folder, const char* from, const char* to);
int link_at(const handle& folder, const char* from, const char* to);
int remove_at(const handle& folder, const char* name);

// ---- Open files ---------------------------------------------------------------------------

// What read_up_to makes room for before it reads: more than a module image.
inline constexpr size_t kReadReserve = 1 << 16;
// Wipes a buffer that held file content when the scope ends.
struct wiped_on_return {
    void* buffer;
    size_t count;
    ~wiped_on_return();
};

int identify(const handle& file, identity& found);
int write_all(const handle& file, const void* bytes, size_t count);
int write_all_at(const handle& file, const void* bytes, size_t count, uint64_t offset);
// Reads what comes next, up to `size` bytes; `got` 0 at the end of the file.
int read_some(const handle& file, void* buffer, size_t size, size_t& got);
// Reads up to `most` bytes; more than that is EFBIG.
int read_up_to(const handle& file, size_t most, std::string& bytes);
// Starts writing the file's data back, so that a later flush has little left to do.
int start_write_back(const handle& file);
// Waits until the file's data, and with `metadata` its owner and mode too, are on the disk.
int flush(const handle& file, bool metadata);
// Whether nobody but this user may change the open file: 0 when so; EPERM with `why` (and,
// where a way out is known, `hint`) when another user owns it or, unless `owner_only`, others
// may write it; the system's reason when that cannot be told. On POSIX: owned by the effective
// user, no write bit for group or others. On Windows: owned by the token's user or default
// owner, and no access entry lets anyone but that user, SYSTEM or Administrators write,
// append, delete, or change the owner or access list (the handle needs READ_CONTROL, which
// open_at gives); a file system without access lists (FAT, exFAT) fails this check.
int check_only_mine(const handle& file, bool owner_only, std::string& why, std::string& hint);
// The POSIX rule on an identity's owner and mode bits: "" when it passes, else why not. On
// Windows, where the identity holds neither, it always passes: check_only_mine judges there.
std::string why_not_only_mine(const identity& found, bool owner_only);
int set_owner(const handle& file, uint32_t owner, uint32_t group);
int set_group(const handle& file, uint32_t group);
int set_mode(const handle& file, uint32_t mode);
// An exclusive lock on a file or folder; with `wait` false, EWOULDBLOCK when another holds it.
// ENOLCK, EOPNOTSUPP or ENOSYS: the file system has no locks.
int lock(const handle& file, bool wait);
int unlock(const handle& file);

// ---- The process --------------------------------------------------------------------------

uint32_t effective_user();
bool may_give_files_away();  // a privileged process: it may set any owner
// The permission bits a new file gets when created with 0666.
uint32_t new_file_mode();
// Raises the limit of open descriptors to the most allowed.
void raise_descriptor_limit();
// Random letters from [A-Za-z0-9].
void random_letters(char* letters, size_t count);
// A write past the file-size limit fails (EFBIG) instead of ending the process (SIGXFSZ).
void fail_writes_past_size_limit();

#ifdef _WIN32
// The error number for a status the system's native calls answer: a name still being
// deleted (STATUS_DELETE_PENDING) is kErrorDeletePending, not "not there".
int errno_of_status(long status);
#endif

// ---- Fault seam ---------------------------------------------------------------------------

// Tests set a hook that is asked before every primitive that changes or flushes something (by
// its name); a non-zero answer fails that primitive with that error, untouched.
using fault_hook = int (*)(const char* primitive);
void set_fault_hook(fault_hook hook);

}  // namespace fio
