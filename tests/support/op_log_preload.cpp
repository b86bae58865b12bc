// Preloaded into a program by the power-cut test: logs every successful call that changes a
// file or a folder, in order, one line each, to the file named by KVR_OP_LOG. Files and folders
// are named by device and inode ("dev:ino"), names in hex. A file about to lose its last name
// (an unlink, a rename over it) is first linked into the folder KVR_OP_STASH as "<dev>_<ino>",
// so that every inode of the run stays alive for the states rebuilt later. The shim's own file
// calls go through syscall(), never through the functions it replaces.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

template <typename Function>
Function* real(const char* name) {
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

std::string hex_of(const void* data, size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const auto* byte = static_cast<const unsigned char*>(data); size-- > 0; ++byte) {
        text += {kHex[*byte >> 4], kHex[*byte & 15]};
    }
    return text.empty() ? "-" : text;
}

std::string id_of(const struct stat& info) {
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

std::string attributes_of(const struct stat& info) {
    std::string mode = "0000";
    for (size_t digit = 0; digit < 4; ++digit) {
        mode[3 - digit] = static_cast<char>('0' + ((info.st_mode >> (3 * digit)) & 7));
    }
    return " " + mode + " " + std::to_string(info.st_uid) + " " + std::to_string(info.st_gid);
}

// Appends one line; the log is opened each time, so a program that closes descriptors it does
// not know cannot cut it short.
void log_line(const std::string& line) {
    const char* path = std::getenv("KVR_OP_LOG");
    const long fd = path == nullptr ? -1
                                    : syscall(SYS_openat, AT_FDCWD, path,
                                              O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const std::string text = line + "\n";
        syscall(SYS_write, fd, text.data(), text.size());
        syscall(SYS_close, fd);
    }
}

// Keeps errno as the real call left it across the logging after it.
struct errno_kept {
    int saved = errno;
    ~errno_kept() { errno = saved; }
};

// The line for a call on a descriptor of a regular file or a folder, after it succeeded.
void log_fd(const char* call, int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))) {
        return;
    }
    const std::string name = call;
    if (name == "fchmod" || name == "fchown") {
        log_line("attr " + id_of(info) + attributes_of(info));
    } else if (name == "ftruncate") {
        log_line("truncate " + id_of(info) + " " + std::to_string(info.st_size));
    } else {
        log_line((name == "syncfs" ? "sync " : name + " ") + id_of(info));
    }
}

// Runs a call on a descriptor and logs it when it succeeds.
template <typename... Arguments>
int on_fd(const char* call, int fd, Arguments... arguments) {
    const int result = real<int(int, Arguments...)>(call)(fd, arguments...);
    const errno_kept kept;
    if (result == 0) {
        log_fd(call, fd);
    }
    return result;
}

void log_write(int fd, const void* data, ssize_t written, off_t at) {
    if (written > 0) {
        struct stat info {};
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            log_line("write " + id_of(info) + " " + std::to_string(at) + " " +
                     hex_of(data, static_cast<size_t>(written)));
        }
    }
}

// "<folder id> <name in hex>" of `path`, relative to `at`.
std::string place_of(int at, const char* path) {
    const char* slash = std::strrchr(path, '/');
    const std::string name = slash == nullptr ? path : slash + 1;
    const std::string folder =
        slash == nullptr
            ? "."
            : std::string(path, std::max<size_t>(1, static_cast<size_t>(slash - path)));
    struct stat info {};
    const bool found = fstatat(at, folder.c_str(), &info, 0) == 0;
    return (found ? id_of(info) : "?") + " " + hex_of(name.data(), name.size());
}

// The regular file at `path`, before a call that may take its last name: stashed then.
bool stash_file_at(int at, const char* path, struct stat& info) {
    if (fstatat(at, path, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    const char* stash = std::getenv("KVR_OP_STASH");
    if (stash != nullptr && info.st_nlink == 1) {
        const std::string kept = std::string(stash) + "/" + std::to_string(info.st_dev) + "_" +
                                 std::to_string(info.st_ino);
        syscall(SYS_linkat, at, path, AT_FDCWD, kept.c_str(), 0);
    }
    return true;
}

int open_at(int at, const char* path, int flags, va_list& arguments) {
    const mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
                            ? static_cast<mode_t>(va_arg(arguments, int))
                            : 0;
    struct stat info {};
    const bool existed = fstatat(at, path, &info, 0) == 0;
    const int fd = real<int(int, const char*, int, ...)>("openat")(at, path, flags, mode);
    const errno_kept kept;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return fd;
    }
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        log_line("create - - " + id_of(info) + attributes_of(info));
    } else if (!existed && (flags & O_CREAT) != 0) {
        log_line("create " + place_of(at, path) + " " + id_of(info) + attributes_of(info));
    } else if ((flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY) {
        log_line("truncate " + id_of(info) + " 0");
    }
    return fd;
}

int rename_at(int from_at, const char* from, int to_at, const char* to, unsigned flags) {
    struct stat info {};
    if ((flags & RENAME_EXCHANGE) == 0) {
        stash_file_at(to_at, to, info);
    }
    using renameat2_t = int(int, const char*, int, const char*, unsigned);
    const int result = real<renameat2_t>("renameat2")(from_at, from, to_at, to, flags);
    const errno_kept kept;
    if (result == 0 && fstatat(to_at, to, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        log_line(std::string((flags & RENAME_EXCHANGE) != 0 ? "unmodelled exchange " : "rename ") +
                 place_of(from_at, from) + " " + place_of(to_at, to) + " " + id_of(info));
    }
    return result;
}

int unlink_at(int at, const char* path, int flags) {
    struct stat info {};
    const bool regular = (flags & AT_REMOVEDIR) == 0 && stash_file_at(at, path, info);
    const int result = real<int(int, const char*, int)>("unlinkat")(at, path, flags);
    const errno_kept kept;
    if (result == 0) {
        log_line((regular ? "unlink " : "unmodelled removal ") + place_of(at, path) + " " +
                 id_of(info));
    }
    return result;
}

}  // namespace

extern "C" {

int openat(int at, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const int fd = open_at(at, path, flags, arguments);
    va_end(arguments);
    return fd;
}

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const int fd = open_at(AT_FDCWD, path, flags, arguments);
    va_end(arguments);
    return fd;
}

ssize_t write(int fd, const void* data, size_t count) {
    const ssize_t written = real<ssize_t(int, const void*, size_t)>("write")(fd, data, count);
    const errno_kept kept;
    log_write(fd, data, written, written > 0 ? lseek(fd, 0, SEEK_CUR) - written : 0);
    return written;
}

ssize_t pwrite(int fd, const void* data, size_t count, off_t at) {
    const ssize_t written =
        real<ssize_t(int, const void*, size_t, off_t)>("pwrite")(fd, data, count, at);
    const errno_kept kept;
    log_write(fd, data, written, at);
    return written;
}

int fsync(int fd) {
    return on_fd("fsync", fd);
}

int fdatasync(int fd) {
    return on_fd("fdatasync", fd);
}

int syncfs(int fd) {
    return on_fd("syncfs", fd);
}

int sync_file_range(int fd, off64_t at, off64_t count, unsigned int flags) {
    return on_fd("sync_file_range", fd, at, count, flags);
}

int ftruncate(int fd, off_t size) {
    return on_fd("ftruncate", fd, size);
}

int fchmod(int fd, mode_t mode) {
    return on_fd("fchmod", fd, mode);
}

int fchown(int fd, uid_t user, gid_t group) {
    return on_fd("fchown", fd, user, group);
}

int close(int fd) {
    struct stat info {};
    const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const int result = real<int(int)>("close")(fd);
    const errno_kept kept;
    if (result == 0 && regular) {
        log_line("close " + id_of(info));
    }
    return result;
}

int unlinkat(int at, const char* path, int flags) {
    return unlink_at(at, path, flags);
}

int unlink(const char* path) {
    return unlink_at(AT_FDCWD, path, 0);
}

int renameat2(int from_at, const char* from, int to_at, const char* to, unsigned flags) {
    return rename_at(from_at, from, to_at, to, flags);
}

int renameat(int from_at, const char* from, int to_at, const char* to) {
    return rename_at(from_at, from, to_at, to, 0);
}

int rename(const char* from, const char* to) {
    return rename_at(AT_FDCWD, from, AT_FDCWD, to, 0);
}

int linkat(int from_at, const char* from, int to_at, const char* to, int flags) {
    using linkat_t = int(int, const char*, int, const char*, int);
    const int result = real<linkat_t>("linkat")(from_at, from, to_at, to, flags);
    const errno_kept kept;
    struct stat info {};
    if (result == 0 && fstatat(to_at, to, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        log_line("link " + place_of(to_at, to) + " " + id_of(info));
    }
    return result;
}

int link(const char* from, const char* to) {
    return linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

}  // extern "C"
