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
    uint64_t inode_high = 0;  // upper 64 bits of a 128-bit file id; 0 where ids are 64 bits
    uint32_t owner = 0;
    uint32_t group = 0;
    uint32_t mode = 0;  // permission bits, 07777
    uint64_t size = 0;
    uint64_t links = 0;
    file_kind kind = file_kind::missing;

    bool same_file(const identity& other) const {
        return device == other.device && inode == other.inode && inode_high == other.inode_high;
    }
};

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
// itself, on Windows (whose file systems compare names without case) the name in capitals.
std::string name_key(const std::string& name);

// What the file at `path` is, links followed (a path, not a name in a held folder: for files
// the tool only reads).
int identify_path(const std::string& path, identity& found);

// ---- Folders ------------------------------------------------------------------------------

// Opens the folder at `path` (links followed) and gives its full path, links resolved.
int open_folder(const std::string& path, handle& folder, std::string& full_path);
int flush_folder(const handle& folder);
// Every name in the folder but "." and "..".
int list_names(const handle& folder, std::vector<std::string>& names);

// ---- Names in a held folder ---------------------------------------------------------------

// What is at `name`, a link not followed; ENOENT when nothing is.
int identify_at(const handle& folder, const char* name, identity& found);
int read_link_at(const handle& folder, const char* name, std::string& text);
// 0 when this process may write the file at `name`.
int may_write_at(const handle& folder, const char* name);
// Creates a new file for writing, never through a link and never over anything (EEXIST).
int create_at(const handle& folder, const char* name, uint32_t mode, handle& file);
// Opens an existing file without following a link and without waiting on a special file.
int open_at(const handle& folder, const char* name, bool for_writing, handle& file);
int rename_at(const handle& folder, const char* from, const char* to);
// As rename_at, but never over an existing name (EEXIST).
int rename_new_at(const handle& folder, const char* from, const char* to);
int link_at(const handle& folder, const char* from, const char* to);
int remove_at(const handle& folder, const char* name);

// ---- Open files ---------------------------------------------------------------------------

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

// ---- Fault seam ---------------------------------------------------------------------------

// Tests set a hook that is asked before every primitive that changes or flushes something (by
// its name); a non-zero answer fails that primitive with that error, untouched.
using fault_hook = int (*)(const char* primitive);
void set_fault_hook(fault_hook hook);

}  // namespace fio
