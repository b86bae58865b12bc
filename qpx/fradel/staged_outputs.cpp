// All-or-nothing writing of the files a run produces (see staged_outputs.h).
#include "staged_outputs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "movira_ofstream.h"
#include "zrl_core.h"

namespace {

constexpr size_t kMostNameBytes = 255;  // NAME_MAX of the file systems the tool writes to
constexpr size_t kRandomLetters = 6;
constexpr int kMostNameTries = 16;
constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP};

// One record per file of the run, kept small: a run of many modules holds them all at once.
struct staged_file {
    std::string target;  // where the write lands (links followed)
    std::string given;   // the path as given to the run, when it is not `target`
    std::array<char, kRandomLetters> letters{};  // of the staged file's name

    const std::string& path() const { return given.empty() ? target : given; }
};

// "<folder>/<name>.kvr_sign-staged-XXXXXX" beside the target, the name shortened to fit when it
// is very long. Composed in place, without allocating, so that a signal handler can use it.
class staged_name {
  public:
    explicit staged_name(const staged_file& file) {
        const size_t slash = file.target.find_last_of('/');
        const size_t name_bytes =
            std::min(file.target.size() - slash - 1,
                     kMostNameBytes - std::strlen(kStagedMarker) - kRandomLetters);
        char* end = std::copy_n(file.target.data(), slash + 1 + name_bytes, text_);
        end = std::copy_n(kStagedMarker, std::strlen(kStagedMarker), end);
        end = std::copy_n(file.letters.data(), kRandomLetters, end);
        *end = '\0';
    }
    const char* c_str() const { return text_; }

  private:
    char text_[PATH_MAX + kMostNameBytes + 1] = {};  // the target is shorter than PATH_MAX
};

// Read by the signal handler: it changes only while the termination signals are blocked. A
// deque grows without copying what it holds.
std::deque<staged_file> g_staged;

// ---- Signals ------------------------------------------------------------------------------

// Holds SIGINT, SIGTERM and SIGHUP back for its lifetime; one that arrives meanwhile acts when
// the scope ends.
class termination_signals_held {
  public:
    termination_signals_held() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal_number : kTerminationSignals) {
            sigaddset(&held, signal_number);
        }
        sigprocmask(SIG_BLOCK, &held, &previous_);
    }
    ~termination_signals_held() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    termination_signals_held(const termination_signals_held&) = delete;
    termination_signals_held& operator=(const termination_signals_held&) = delete;

  private:
    sigset_t previous_{};
};

void unlink_staged_files() {
    for (const staged_file& file : g_staged) {
        ::unlink(staged_name(file).c_str());
    }
}

// Removes the staged files, then lets the signal act as it would have (SA_RESETHAND has put
// the default action back and SA_NODEFER leaves the signal unblocked), so the run ends with
// the signal's usual status.
void stop_on_termination_signal(int signal_number) {
    unlink_staged_files();
    ::raise(signal_number);
}

void remove_staged_at_internal_error() {
    unlink_staged_files();
}

// Once per process, before the first staged file exists.
void prepare_for_staging() {
    static bool prepared = false;
    if (prepared) {
        return;
    }
    prepared = true;
    // A file-size limit then fails the write (EFBIG) instead of killing the process mid-file.
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = stop_on_termination_signal;
    action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    sigemptyset(&action.sa_mask);
    for (const int signal_number : kTerminationSignals) {
        sigaddset(&action.sa_mask, signal_number);
    }
    for (const int signal_number : kTerminationSignals) {
        struct sigaction previous {};
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
    MSG_INTERNAL_ERROR::set_cleanup(remove_staged_at_internal_error);
}

// ---- Staging ------------------------------------------------------------------------------

output_failure failure(output_failure::step failed, const std::string& path, int error) {
    return {failed, path, std::strerror(error != 0 ? error : EIO)};
}

std::string folder_of(const std::string& full_path) {
    const size_t slash = full_path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : full_path.substr(0, slash);
}

std::array<char, kRandomLetters> random_letters() {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char noise[kRandomLetters] = {};
    if (getrandom(noise, sizeof noise, 0) != static_cast<ssize_t>(sizeof noise)) {
        const auto fallback = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(clock());
        std::memcpy(noise, &fallback, std::min(sizeof noise, sizeof fallback));
    }
    std::array<char, kRandomLetters> letters{};
    for (size_t i = 0; i < kRandomLetters; ++i) {
        letters[i] = kLetters[noise[i] % (sizeof kLetters - 1)];
    }
    return letters;
}

// In a folder with the sticky bit (such as /tmp) only the owner of a file, of the folder, or a
// privileged process may replace it.
bool sticky_folder_forbids(const std::string& target, const struct stat& existing) {
    struct stat folder {};
    const uid_t user = ::geteuid();
    return ::stat(folder_of(target).c_str(), &folder) == 0 && (folder.st_mode & S_ISVTX) != 0 &&
           user != 0 && existing.st_uid != user && folder.st_uid != user;
}

// Refuses, without opening it, a target that the commit could not rename over: an existing
// file that is not a regular file or that this process may not write, or a name too long.
std::optional<int> refusal_of_target(const std::string& target, struct stat& existing,
                                     bool& replaces) {
    if (target.find('\0') != std::string::npos) {
        return EINVAL;
    }
    if (target.size() >= PATH_MAX ||
        target.size() - target.find_last_of('/') - 1 > kMostNameBytes) {
        return ENAMETOOLONG;
    }
    replaces = ::lstat(target.c_str(), &existing) == 0;
    if (!replaces) {
        return std::nullopt;
    }
    if (S_ISDIR(existing.st_mode)) {
        return EISDIR;
    }
    if (!S_ISREG(existing.st_mode)) {
        return EINVAL;
    }
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        return errno;
    }
    if (sticky_folder_forbids(target, existing)) {
        return EPERM;
    }
    return std::nullopt;
}

// Creates the staged file exclusively and records it before anything can interrupt.
std::optional<int> open_staged(staged_file&& file, movira_ofstream& stream) {
    constexpr auto kExclusive =
        std::ios_base::out | std::ios_base::binary | std::ios_base::__noreplace;
    for (int attempt = 0; attempt < kMostNameTries; ++attempt) {
        file.letters = random_letters();
        const termination_signals_held held;
        errno = 0;
        stream.open(staged_name(file).c_str(), kExclusive, movira_ofstream::kShareDenyNone);
        if (stream.good()) {
            g_staged.push_back(std::move(file));
            return std::nullopt;
        }
        if (errno != EEXIST) {
            return errno;
        }
        stream.clear();
    }
    return EEXIST;
}

// Gives the staged file the owner and permission bits of the file it replaces, and starts
// writing its data back to the disk so that the flush before the commit finds little to do.
std::optional<int> settle_staged(const staged_file& file, const struct stat* replaced) {
    const int descriptor = ::open(staged_name(file).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        return errno;
    }
    int error = 0;
    if (replaced != nullptr) {
        // Only a privileged process may give a file away; others keep their own ownership.
        if (::fchown(descriptor, replaced->st_uid, replaced->st_gid) != 0 && errno != EPERM) {
            error = errno;
        }
        if (error == 0 && ::fchmod(descriptor, replaced->st_mode & 07777) != 0) {
            error = errno;
        }
    }
    if (error == 0 && ::sync_file_range(descriptor, 0, 0, SYNC_FILE_RANGE_WRITE) != 0 &&
        errno != ESPIPE && errno != EINVAL) {
        error = errno;
    }
    ::close(descriptor);
    return error == 0 ? std::nullopt : std::optional<int>(error);
}

}  // namespace

std::optional<output_failure> stage_output(const std::string& path, const uint8_t* bytes,
                                           size_t count) {
    prepare_for_staging();
    const std::optional<std::string> target = FIO_FILE_SYSTEM::write_target(path);
    if (!target) {
        return failure(output_failure::step::open, path, ELOOP);
    }
    struct stat existing {};
    bool replaces = false;
    if (const auto refusal = refusal_of_target(*target, existing, replaces)) {
        return failure(output_failure::step::open, path, *refusal);
    }
    staged_file file{*target, *target == path ? std::string() : path, {}};
    movira_ofstream stream;
    if (const auto error = open_staged(std::move(file), stream)) {
        return failure(output_failure::step::open, path, *error);
    }
    errno = 0;
    stream.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    const bool written = stream.good();
    const int write_error = errno;
    stream.close();
    if (!written || !stream.good()) {
        return failure(output_failure::step::write, path, written ? errno : write_error);
    }
    if (const auto error = settle_staged(g_staged.back(), replaces ? &existing : nullptr)) {
        return failure(output_failure::step::write, path, *error);
    }
    return std::nullopt;
}

// ---- Commit -------------------------------------------------------------------------------

namespace {

// Waits for the staged data to reach the disk: a full disk or an I/O error that delayed
// allocation only finds now still fails the run before any target changes.
std::optional<output_failure> flush_staged() {
    for (const staged_file& file : g_staged) {
        const int descriptor = ::open(staged_name(file).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        // EINVAL: a file system that has nothing to flush (it does not support syncing).
        const bool flushed = descriptor >= 0 && (::fdatasync(descriptor) == 0 || errno == EINVAL);
        const int error = errno;
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        if (!flushed) {
            return failure(output_failure::step::write, file.path(), error);
        }
    }
    return std::nullopt;
}

// The target folders, opened and locked one by one in the order of their device and inode,
// so that two runs never wait on each other crosswise. A folder that cannot be opened or
// locked (a file system without locks) is written without the lock.
class target_folders_locked {
  public:
    target_folders_locked() {
        std::map<std::pair<dev_t, ino_t>, int> ordered;
        for (const staged_file& file : g_staged) {
            const int descriptor =
                ::open(folder_of(file.target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            struct stat info {};
            if (descriptor < 0 || ::fstat(descriptor, &info) != 0 ||
                !ordered.emplace(std::make_pair(info.st_dev, info.st_ino), descriptor).second) {
                close_if_open(descriptor);
            }
        }
        for (const auto& entry : ordered) {
            while (::flock(entry.second, LOCK_EX) != 0 && errno == EINTR) {
            }
            folders_.push_back(entry.second);
        }
    }
    ~target_folders_locked() {
        for (const int descriptor : folders_) {
            ::close(descriptor);
        }
    }
    target_folders_locked(const target_folders_locked&) = delete;
    target_folders_locked& operator=(const target_folders_locked&) = delete;

    // Makes the renames in every folder durable.
    void sync() const {
        for (const int descriptor : folders_) {
            ::fsync(descriptor);
        }
    }

  private:
    static void close_if_open(int descriptor) {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    std::vector<int> folders_;
};

}  // namespace

std::optional<output_failure> commit_staged_outputs() {
    if (const auto failed = flush_staged()) {
        return failed;
    }
    const target_folders_locked folders;
    const termination_signals_held held;
    for (size_t i = 0; i < g_staged.size(); ++i) {
        if (::rename(staged_name(g_staged[i]).c_str(), g_staged[i].target.c_str()) != 0) {
            const output_failure failed =
                failure(output_failure::step::write, g_staged[i].path(), errno);
            g_staged.erase(g_staged.begin(), g_staged.begin() + static_cast<ptrdiff_t>(i));
            return failed;
        }
    }
    folders.sync();
    g_staged.clear();
    return std::nullopt;
}

void remove_staged_outputs() {
    const termination_signals_held held;
    unlink_staged_files();
    g_staged.clear();
}
