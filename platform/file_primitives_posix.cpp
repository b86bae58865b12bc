// File-system primitives on POSIX systems: descriptors and the *at() calls (see
// file_primitives.h). Each call is the system call itself, checked; the ones a signal handler
// uses (identify_at, remove_at) allocate nothing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "file_primitives.h"

namespace fio {

namespace {

fault_hook g_fault_hook = nullptr;

// The answer of the fault seam for `primitive`: 0, or the error to fail it with.
int injected(const char* primitive) {
    return g_fault_hook != nullptr ? g_fault_hook(primitive) : 0;
}

int result_of(int returned) {
    return returned == 0 ? 0 : errno;
}

file_kind kind_of(mode_t mode) {
    if (S_ISREG(mode)) {
        return file_kind::regular;
    }
    if (S_ISDIR(mode)) {
        return file_kind::folder;
    }
    return S_ISLNK(mode) ? file_kind::link : file_kind::other;
}

void fill(const struct stat& info, identity& found) {
    found.device = info.st_dev;
    found.inode = info.st_ino;
    found.owner = info.st_uid;
    found.group = info.st_gid;
    found.mode = info.st_mode & 07777;
    found.size = static_cast<uint64_t>(info.st_size);
    found.links = info.st_nlink;
    found.kind = kind_of(info.st_mode);
}

}  // namespace

int handle::close() {
    if (!is_open()) {
        return 0;
    }
    return result_of(::close(release()));
}

native_handle handle::invalid() {
    return -1;
}

int identify_path(const std::string& path, identity& found) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return errno;
    }
    fill(info, found);
    return 0;
}

int open_folder(const std::string& path, handle& folder, std::string& full_path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return errno;
    }
    folder = handle(descriptor);
    // The path of the folder that was opened, not of whatever the path names a moment later.
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
    std::string opened(PATH_MAX, '\0');
    const ssize_t length = ::readlink(link, opened.data(), opened.size());
    if (length > 0 && static_cast<size_t>(length) < opened.size() && opened.front() == '/') {
        opened.resize(static_cast<size_t>(length));
        full_path = opened;
        return 0;
    }
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                               &std::free);
    if (resolved == nullptr) {
        return errno;
    }
    full_path = resolved.get();
    return 0;
}

int flush_folder(const handle& folder) {
    if (const int error = injected("flush_folder"); error != 0) {
        return error;
    }
    // EINVAL: a file system that keeps nothing to flush.
    return ::fsync(folder.value()) == 0 || errno == EINVAL ? 0 : errno;
}

bool is_case_sensitive(const handle&) {
    return true;
}

int check_identities(const handle& folder, std::string& why) {
    // A second look through the same descriptor: POSIX file systems give a file one number
    // for its life, so only a number 0 (some FUSE and network file systems) is refused.
    identity held;
    if (const int error = identify(folder, held); error != 0) {
        return error;
    }
    return judge_identities(held, held, nullptr, why);
}

int list_names(const handle& folder, std::vector<std::string>& names) {
    const int copy = ::openat(folder.value(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) {
        return errno;
    }
    DIR* listing = ::fdopendir(copy);
    if (listing == nullptr) {
        const int error = errno;
        ::close(copy);
        return error;
    }
    names.clear();
    errno = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    const int error = errno;
    ::closedir(listing);
    return error;
}

int identify_at(const handle& folder, const char* name, identity& found) {
    struct stat info {};
    if (::fstatat(folder.value(), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    fill(info, found);
    return 0;
}

int read_link_at(const handle& folder, const char* name, std::string& text) {
    text.assign(PATH_MAX, '\0');
    const ssize_t length = ::readlinkat(folder.value(), name, text.data(), PATH_MAX);
    if (length < 0) {
        return errno;
    }
    if (length == 0 || length >= PATH_MAX) {
        return length == 0 ? ENOENT : ENAMETOOLONG;
    }
    text.resize(static_cast<size_t>(length));
    return 0;
}

int may_write_at(const handle& folder, const char* name) {
    return result_of(::faccessat(folder.value(), name, W_OK, AT_EACCESS));
}

int create_at(const handle& folder, const char* name, uint32_t mode, handle& file) {
    if (const int error = injected("create_at"); error != 0) {
        return error;
    }
    const int descriptor =
        ::openat(folder.value(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (descriptor < 0) {
        return errno;
    }
    file = handle(descriptor);
    return 0;
}

int create_private_at(const handle& folder, const char* name, handle& file) {
    return create_at(folder, name, 0600, file);
}

int check_only_mine(const handle& file, bool owner_only, std::string& why, std::string& hint) {
    hint.clear();
    identity found;
    if (const int error = identify(file, found); error != 0) {
        return error;
    }
    why = why_not_only_mine(found, owner_only);
    return why.empty() ? 0 : EPERM;
}

int open_at(const handle& folder, const char* name, bool for_writing, handle& file) {
    const int access = for_writing ? O_RDWR : O_RDONLY;
    const int descriptor =
        ::openat(folder.value(), name, access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return errno;
    }
    file = handle(descriptor);
    return 0;
}

int rename_at(const handle& folder, const char* from, const char* to) {
    if (const int error = injected("rename_at"); error != 0) {
        return error;
    }
    return result_of(::renameat(folder.value(), from, folder.value(), to));
}

int rename_new_at(const handle& folder, const char* from, const char* to) {
    if (const int error = injected("rename_new_at"); error != 0) {
        return error;
    }
    if (::renameat2(folder.value(), from, folder.value(), to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // A file system without the no-replace rename: a second name, then the first one gone.
    if (::linkat(folder.value(), from, folder.value(), to, 0) != 0) {
        return errno;
    }
    return result_of(::unlinkat(folder.value(), from, 0));
}

int link_at(const handle& folder, const char* from, const char* to) {
    if (const int error = injected("link_at"); error != 0) {
        return error;
    }
    return result_of(::linkat(folder.value(), from, folder.value(), to, 0));
}

int remove_at(const handle& folder, const char* name) {
    if (const int error = injected("remove_at"); error != 0) {
        return error;
    }
    return result_of(::unlinkat(folder.value(), name, 0));
}

int identify(const handle& file, identity& found) {
    struct stat info {};
    if (::fstat(file.value(), &info) != 0) {
        return errno;
    }
    fill(info, found);
    return 0;
}

int write_all(const handle& file, const void* bytes, size_t count) {
    if (const int error = injected("write"); error != 0) {
        return error;
    }
    const auto* next = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
        const ssize_t written = ::write(file.value(), next, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? errno : EIO;
        }
        next += written;
        count -= static_cast<size_t>(written);
    }
    return 0;
}

int write_all_at(const handle& file, const void* bytes, size_t count, uint64_t offset) {
    if (const int error = injected("write"); error != 0) {
        return error;
    }
    const auto* next = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
        const ssize_t written = ::pwrite(file.value(), next, count, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? errno : EIO;
        }
        next += written;
        offset += static_cast<uint64_t>(written);
        count -= static_cast<size_t>(written);
    }
    return 0;
}

int read_some(const handle& file, void* buffer, size_t size, size_t& got) {
    for (;;) {
        const ssize_t read = ::read(file.value(), buffer, size);
        if (read >= 0) {
            got = static_cast<size_t>(read);
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
}

int read_up_to(const handle& file, size_t most, std::string& bytes) {
    // What is read may be a module image: room for a module up front, so that growing the
    // string leaves no copy behind, and the buffer wiped when done.
    bytes.clear();
    bytes.reserve(std::min<size_t>(most, kReadReserve));
    char buffer[1 << 14];
    const wiped_on_return wipe{buffer, sizeof buffer};
    for (;;) {
        const ssize_t got = ::read(file.value(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? errno : 0;
        }
        if (bytes.size() + static_cast<size_t>(got) > most) {
            return EFBIG;
        }
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

int start_write_back(const handle& file) {
    if (const int error = injected("start_write_back"); error != 0) {
        return error;
    }
    // ESPIPE, EINVAL: a file system without write-back control; the flush still waits for it.
    if (::sync_file_range(file.value(), 0, 0, SYNC_FILE_RANGE_WRITE) != 0 && errno != ESPIPE &&
        errno != EINVAL) {
        return errno;
    }
    return 0;
}

int flush(const handle& file, bool metadata) {
    if (const int error = injected("flush"); error != 0) {
        return error;
    }
    const int returned = metadata ? ::fsync(file.value()) : ::fdatasync(file.value());
    // EINVAL: a file system that keeps nothing to flush.
    return returned == 0 || errno == EINVAL ? 0 : errno;
}

int set_owner(const handle& file, uint32_t owner, uint32_t group) {
    if (const int error = injected("set_owner"); error != 0) {
        return error;
    }
    return result_of(::fchown(file.value(), owner, group));
}

int set_group(const handle& file, uint32_t group) {
    if (const int error = injected("set_owner"); error != 0) {
        return error;
    }
    return result_of(::fchown(file.value(), static_cast<uid_t>(-1), group));
}

int set_mode(const handle& file, uint32_t mode) {
    if (const int error = injected("set_mode"); error != 0) {
        return error;
    }
    return result_of(::fchmod(file.value(), mode));
}

int lock(const handle& file, bool wait) {
    if (const int error = injected("lock"); error != 0) {
        return error;
    }
    const int operation = wait ? LOCK_EX : LOCK_EX | LOCK_NB;
    int returned = 0;
    while ((returned = ::flock(file.value(), operation)) != 0 && errno == EINTR) {
    }
    return returned == 0 ? 0 : errno;
}

int unlock(const handle& file) {
    return result_of(::flock(file.value(), LOCK_UN));
}

uint32_t effective_user() {
    // The tool never changes its user: asked once, not for every file it looks at.
    static const uint32_t user = ::geteuid();
    return user;
}

bool may_give_files_away() {
    return ::geteuid() == 0;
}

uint32_t new_file_mode() {
    static const uint32_t mode = [] {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return 0666U & ~static_cast<uint32_t>(mask);
    }();
    return mode;
}

void raise_descriptor_limit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            // A hard limit above what the kernel allows: take the kernel's own bound.
            limit.rlim_cur = 1 << 20;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    }
}

void random_letters(char* letters, size_t count) {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char noise[64] = {};
    count = count < sizeof noise ? count : sizeof noise;
    if (getrandom(noise, count, 0) != static_cast<ssize_t>(count)) {
        const auto fallback = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(clock());
        std::memcpy(noise, &fallback, sizeof fallback);
    }
    for (size_t i = 0; i < count; ++i) {
        letters[i] = kLetters[noise[i] % (sizeof kLetters - 1)];
    }
}

void fail_writes_past_size_limit() {
    std::signal(SIGXFSZ, SIG_IGN);
}

void set_fault_hook(fault_hook hook) {
    g_fault_hook = hook;
}

}  // namespace fio
