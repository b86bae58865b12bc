// Core services: clock, file system and full paths, internal-error report, memory set-up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Milliseconds from a fixed, arbitrary origin (a monotonic clock): only differences matter.
int64_t gen_get_current_time_milliseconds();

class FIO_FILE_SYSTEM {
  public:
    // True for an existing path that is not a directory (links are followed).
    static bool exists(const std::string& path);

    // Size of the regular file at `path` (links followed); nothing when the path is missing
    // or not a regular file.
    static std::optional<uint64_t> regular_file_size(const std::string& path);

    // Why `path` cannot be read as a regular file, in the system's words ("No such file or
    // directory", "Permission denied") or as "a folder" or "not a regular file"; "" when it can.
    static std::string why_unreadable(const std::string& path);

    // True when both paths name the same file: the same place a write through each would
    // land (write_target), or, where both exist, the same device and inode (hard links).
    static bool same_file(const std::string& a, const std::string& b);

    // The full path at which writing through `path` lands: its folder resolved as the kernel
    // resolves it, and a symbolic link as the last name followed to its target, dangling or
    // not, until the last name is no link. Nothing, with errno set, when the links loop or nest
    // too deep or a name cannot be examined or a link read: a failure is never "not a link".
    static std::optional<std::string> write_target(const std::string& path);
};

// Full path of the same file as a wide string: the folder part resolved through the file system
// (links followed, ".." taken after them, as the kernel does), then the last name as given. A
// folder part that cannot be resolved (missing, or not a folder) is kept as given, made absolute,
// so that opening the result fails as opening the path itself would. Bytes that are not valid
// UTF-8 are carried as U+DC80..U+DCFF so that fio_narrow_path gives the same bytes back.
// On Windows the result is the long form that every file call accepts whatever its length:
// "\\?\C:\..." for a drive, "\\?\UNC\server\share\..." for a share; "/" and "\" both
// separate names, and the folder part is the one its handle opens (links and junctions followed).
std::wstring fio_get_unc_full_path(const char* path);

// The byte path that a wide path from fio_get_unc_full_path stands for.
std::string fio_narrow_path(const std::wstring& path);

// The wide form of a byte path, as fio_get_unc_full_path carries it, without resolving it:
// fio_narrow_path gives the same bytes back.
std::wstring fio_widen_path(const std::string& path);

#ifdef _WIN32
// The errno value that stands for a Windows error code (ENOENT for a missing file or folder,
// EACCES for a denied or shared access, ...), EIO for one without an equivalent.
int fio_errno_of_windows_error(unsigned long error);

// The reason a Windows error gives, in the C library's words where it has an errno
// ("No such file or directory"), otherwise in the system's own message.
std::string fio_windows_reason(unsigned long error);
#endif

// True when `text` is valid UTF-8: no overlong forms, surrogates or values above U+10FFFF.
bool fio_is_valid_utf8(const std::string& text);

// `text` with every byte that is not part of a valid UTF-8 sequence replaced by U+FFFD: valid
// UTF-8 for display, and `text` itself when that is valid.
std::string fio_utf8_for_display(const std::string& text);

// `text` as a message shows it: a NUL as "\0", a backslash as "\\", every other control
// character (C0, DEL, C1) and every byte that is not part of a valid UTF-8 sequence as "\xHH";
// the rest as it is. What is shown names exactly the bytes given, and no control byte in it
// reaches the terminal.
std::string fio_printable_text(const std::string& text);

// Exit status of a process stopped by an internal error.
inline constexpr int kInternalErrorStatus = 70;

class MSG_INTERNAL_ERROR {
  public:
    // Flushes stdout, prints the message with its tag, source file and line on stderr
    // (followed by `detail` when given) and ends the process with kInternalErrorStatus.
    [[noreturn]] static void report(const char* message, const char* tag, const char* file,
                                    int32_t line, const char* detail = nullptr);

    // Test and fuzzing hook: when set, report calls it instead of ending the process. It must
    // not return (it throws); report ends the process if it does.
    using Interceptor = void (*)(const char* message, const char* tag, const char* file,
                                 int32_t line);
    static void set_interceptor(Interceptor interceptor);

    // Called once, after the report is printed and before the process ends: a tool removes
    // the temporary files of an unfinished job there. Must not stop or report itself.
    using Cleanup = void (*)();
    static void set_cleanup(Cleanup cleanup);
};

// Prepares the memory subsystem for a tool; constructed before the tool's other static
// objects and destroyed after them.
class MEM_INITIALIZER {
  public:
    explicit MEM_INITIALIZER(const char* tag);
    ~MEM_INITIALIZER();
    MEM_INITIALIZER(const MEM_INITIALIZER&) = delete;
    MEM_INITIALIZER& operator=(const MEM_INITIALIZER&) = delete;

    const char* tag() const { return tag_; }

  private:
    const char* tag_;
};
