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
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <tuple>
#include <vector>

#include "commit_journal.h"
#include "output_folders.h"
#include "qpx_common.h"
#include "zrl_core.h"

namespace {

constexpr size_t kMostNameBytes = 255;  // NAME_MAX of the file systems the tool writes to
constexpr size_t kRandomLetters = 6;
constexpr int kMostNameTries = 16;
constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP};
using letters_t = std::array<char, kRandomLetters>;

// One record per file of the run, kept small: a run of many modules holds them all at once.
struct staged_file {
    std::string given;  // the path as given to the run, for messages
    std::string name;   // the target's name in its folder (links followed)
    uint32_t folder = 0;
    letters_t letters{};  // of the staged file's name
    letters_t backup{};   // of the way back's name, when the commit made one
    bool has_backup = false;
    ino_t staged_inode = 0;
};

// "<name><marker><letters>", the name shortened to fit when it is very long. Composed in place,
// without allocating, so that a signal handler can use it.
class marked_name {
  public:
    marked_name(const std::string& name, const char* marker, const letters_t& letters) {
        const size_t marker_bytes = std::strlen(marker);
        const size_t name_bytes =
            std::min(name.size(), kMostNameBytes - marker_bytes - kRandomLetters);
        char* end = std::copy_n(name.data(), name_bytes, text_);
        end = std::copy_n(marker, marker_bytes, end);
        end = std::copy_n(letters.data(), kRandomLetters, end);
        *end = '\0';
    }
    const char* c_str() const { return text_; }

  private:
    char text_[kMostNameBytes + 1] = {};
};

marked_name staged_name(const staged_file& file) {
    return marked_name(file.name, kStagedMarker, file.letters);
}

marked_name backup_name(const staged_file& file) {
    return marked_name(file.name, kBackupMarker, file.backup);
}

// Read by the signal handler: it changes only while the termination signals are blocked. A
// deque grows without copying what it holds.
std::deque<staged_file> g_staged;
// Set once every target holds its new file; read by the signal handler.
volatile sig_atomic_t g_committed = 0;

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

// Async-signal-safe writing to stderr.
void say(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(STDERR_FILENO, text, length);
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<size_t>(written);
    }
}

void say(const char* text) {
    say(text, std::strlen(text));
}

// Removes every staged file; names on stderr each that could not be removed. Async-signal-safe.
void unlink_staged_files() {
    for (const staged_file& file : g_staged) {
        const marked_name name = staged_name(file);
        const held_folder& folder = folder_at(file.folder);
        if (::unlinkat(folder.descriptor, name.c_str(), 0) != 0 && errno != ENOENT) {
            say("  not removed: ");
            say(folder.path.data(), folder.path.size());
            say("/");
            say(name.c_str());
            say("\n");
        }
    }
}

const char* signal_name(int signal_number) {
    switch (signal_number) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        default:
            return "SIGHUP";
    }
}

// Removes the staged files, says what became of the outputs, then lets the signal act as it
// would have (SA_RESETHAND has put the default action back and SA_NODEFER leaves the signal
// unblocked), so the run ends with the signal's usual status.
void stop_on_termination_signal(int signal_number) {
    say("Stopped by ");
    say(signal_name(signal_number));
    say(g_committed != 0 ? ": the commit was finished first; every output is written\n"
                         : ": no output was changed\n");
    unlink_staged_files();
    ::raise(signal_number);
}

void remove_staged_at_internal_error() {
    unlink_staged_files();
}

// ---- Small checked steps ------------------------------------------------------------------

output_failure failure(output_failure::step failed, const std::string& path, int error,
                       const char* doing = nullptr) {
    std::string reason = std::strerror(error != 0 ? error : EIO);
    if (doing != nullptr) {
        reason += std::string(" (") + doing + ")";
    }
    return {failed, path, reason, {}};
}

letters_t random_letters() {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char noise[kRandomLetters] = {};
    if (getrandom(noise, sizeof noise, 0) != static_cast<ssize_t>(sizeof noise)) {
        const auto fallback = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(clock());
        std::memcpy(noise, &fallback, std::min(sizeof noise, sizeof fallback));
    }
    letters_t letters{};
    for (size_t i = 0; i < kRandomLetters; ++i) {
        letters[i] = kLetters[noise[i] % (sizeof kLetters - 1)];
    }
    return letters;
}

// Writes all of `bytes`; 0 or the system's reason.
int write_all(int descriptor, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(descriptor, bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? errno : EIO;
        }
        bytes += written;
        count -= static_cast<size_t>(written);
    }
    return 0;
}

// Closes a descriptor that was written: a close can report a write that failed late.
int close_written(int descriptor, int error) {
    if (::close(descriptor) != 0 && error == 0) {
        return errno;
    }
    return error;
}

}  // namespace

void prepare_for_outputs() {
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

namespace {

// Refuses, without opening it, a target that the commit could not rename over: an existing
// file that is not a regular file or that this process may not write.
int refusal_of_target(const output_place& place) {
    if (!place.exists) {
        return 0;
    }
    if (S_ISDIR(place.existing.st_mode)) {
        return EISDIR;
    }
    if (!S_ISREG(place.existing.st_mode)) {
        return EINVAL;
    }
    const held_folder& folder = folder_at(place.folder);
    if (::faccessat(folder.descriptor, place.name.c_str(), W_OK, AT_EACCESS) != 0) {
        return errno;
    }
    // In a folder with the sticky bit (such as /tmp) only the owner of a file, of the folder,
    // or a privileged process may replace it.
    const uid_t user = ::geteuid();
    if (folder.sticky && user != 0 && place.existing.st_uid != user && folder.owner != user) {
        return EPERM;
    }
    return 0;
}

// Creates the staged file exclusively and records it before anything can interrupt.
int create_staged(staged_file&& file, int& descriptor) {
    const int at = folder_at(file.folder).descriptor;
    for (int attempt = 0; attempt < kMostNameTries; ++attempt) {
        file.letters = random_letters();
        const termination_signals_held held;
        descriptor = ::openat(at, staged_name(file).c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (descriptor >= 0) {
            g_staged.push_back(std::move(file));
            return 0;
        }
        if (errno != EEXIST) {
            return errno;
        }
    }
    return EEXIST;
}

// Gives the staged file the owner and permission bits of the file it replaces, and starts
// writing its data back to the disk so that the flush before the commit finds little to do.
int settle_staged(int descriptor, staged_file& file, const output_place& place) {
    struct stat staged {};
    if (::fstat(descriptor, &staged) != 0) {
        return errno;
    }
    file.staged_inode = staged.st_ino;
    if (place.exists) {
        const struct stat& old = place.existing;
        // Only a privileged process may give a file away; others keep their own ownership.
        if ((old.st_uid != staged.st_uid || old.st_gid != staged.st_gid) &&
            ::fchown(descriptor, old.st_uid, old.st_gid) != 0 && errno != EPERM) {
            return errno;
        }
        if ((old.st_mode & 07777) != (staged.st_mode & 07777) &&
            ::fchmod(descriptor, old.st_mode & 07777) != 0) {
            return errno;
        }
    }
    // ESPIPE, EINVAL: a file system without write-back control; the flush still waits for it.
    if (::sync_file_range(descriptor, 0, 0, SYNC_FILE_RANGE_WRITE) != 0 && errno != ESPIPE &&
        errno != EINVAL) {
        return errno;
    }
    return 0;
}

}  // namespace

std::optional<output_failure> stage_output(const std::string& path, const uint8_t* bytes,
                                           size_t count) {
    prepare_for_outputs();
    output_place place;
    if (const int error = resolve_output_place(path, place); error != 0) {
        return failure(output_failure::step::open, path, error);
    }
    if (const int error = refusal_of_target(place); error != 0) {
        return failure(output_failure::step::open, path, error);
    }
    int descriptor = -1;
    staged_file file{path, place.name, place.folder};
    if (const int error = create_staged(std::move(file), descriptor); error != 0) {
        return failure(output_failure::step::open, path, error);
    }
    int error = write_all(descriptor, bytes, count);
    if (error == 0) {
        error = settle_staged(descriptor, g_staged.back(), place);
    }
    if (const int closed = close_written(descriptor, error); closed != 0) {
        return failure(output_failure::step::write, path, closed);
    }
    return std::nullopt;
}

// ---- Commit -------------------------------------------------------------------------------

namespace {

// Waits for the staged data to reach the disk: a full disk or an I/O error that delayed
// allocation only finds now still fails the run before any target changes.
std::optional<output_failure> flush_staged() {
    for (const staged_file& file : g_staged) {
        const int descriptor =
            ::openat(folder_at(file.folder).descriptor, staged_name(file).c_str(),
                     O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (descriptor < 0) {
            return failure(output_failure::step::write, file.given, errno,
                           "reopening its staged file");
        }
        // EINVAL: a file system that has nothing to flush (it does not support syncing).
        const int error = ::fdatasync(descriptor) == 0 || errno == EINVAL ? 0 : errno;
        if (const int closed = close_written(descriptor, error); closed != 0) {
            return failure(output_failure::step::write, file.given, closed,
                           "flushing its staged file");
        }
    }
    return std::nullopt;
}

// The held folders that the staged files are in, in the order of their device and inode, so
// that two runs lock them in the same order and never wait on each other crosswise.
std::vector<uint32_t> folders_in_lock_order(const std::vector<uint32_t>& folders) {
    std::vector<uint32_t> ordered = folders;
    std::sort(ordered.begin(), ordered.end(), [](uint32_t a, uint32_t b) {
        const held_folder& x = folder_at(a);
        const held_folder& y = folder_at(b);
        return std::tie(x.device, x.inode) < std::tie(y.device, y.inode);
    });
    ordered.erase(std::unique(ordered.begin(), ordered.end()), ordered.end());
    return ordered;
}

std::vector<uint32_t> staged_folders() {
    std::vector<uint32_t> folders;
    for (const staged_file& file : g_staged) {
        if (folders.empty() || folders.back() != file.folder) {
            folders.push_back(file.folder);
        }
    }
    return folders_in_lock_order(folders);
}

// The exclusive locks on a set of held folders, released when it ends. A file system without
// locks lets the run go on, with a warning; any other failure to lock is a failure.
class folders_locked {
  public:
    int lock(const std::vector<uint32_t>& folders, uint32_t& failed_folder) {
        for (const uint32_t folder : folders) {
            const int descriptor = folder_at(folder).descriptor;
            int result = 0;
            while ((result = ::flock(descriptor, LOCK_EX)) != 0 && errno == EINTR) {
            }
            if (result == 0) {
                locked_.push_back(descriptor);
            } else if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) {
                QPX_COMMON_MSG::print_msg(
                    QPX_COMMON_MSG_WARNING, 0,
                    "folder %s cannot be locked (%s): a run writing there at the same time is "
                    "not kept out\n",
                    fio_printable_text(folder_at(folder).path).c_str(), std::strerror(errno));
            } else {
                failed_folder = folder;
                return errno;
            }
        }
        return 0;
    }
    folders_locked() = default;
    ~folders_locked() {
        for (const int descriptor : locked_) {
            ::flock(descriptor, LOCK_UN);  // also released when the process ends
        }
    }
    folders_locked(const folders_locked&) = delete;
    folders_locked& operator=(const folders_locked&) = delete;

  private:
    std::vector<int> locked_;
};

// Flushes the folders: the names created, renamed or removed in them are on the disk.
int sync_folders(const std::vector<uint32_t>& folders, uint32_t& failed_folder) {
    for (const uint32_t folder : folders) {
        if (::fsync(folder_at(folder).descriptor) != 0 && errno != EINVAL) {
            failed_folder = folder;
            return errno;
        }
    }
    return 0;
}

// Copies the open file `from` into a new file `to_name` of the folder `at`, flushed.
int copy_file(int from, int at, const char* to_name) {
    struct stat info {};
    if (::fstat(from, &info) != 0) {
        return errno;
    }
    const int to = ::openat(at, to_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            info.st_mode & 07777);
    if (to < 0) {
        return errno;
    }
    std::vector<uint8_t> buffer(1 << 16);
    int error = 0;
    for (ssize_t got = 0; error == 0 && (got = ::read(from, buffer.data(), buffer.size())) != 0;) {
        error = got < 0 ? errno : write_all(to, buffer.data(), static_cast<size_t>(got));
    }
    error = error == 0 && ::fdatasync(to) != 0 && errno != EINVAL ? errno : error;
    return close_written(to, error);
}

// A flushed copy of the target, for a file system that cannot give a file a second name. It is
// written under a name of its own and renamed to the way back's name only when whole, so that
// an undo never puts a part copy back.
int copy_way_back(const staged_file& file, const char* backup) {
    const int at = folder_at(file.folder).descriptor;
    const int from = ::openat(at, file.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (from < 0) {
        return errno;
    }
    const marked_name copying(file.name, kCopyMarker, file.backup);
    int error = copy_file(from, at, copying.c_str());
    ::close(from);
    if (error == 0 && ::renameat(at, copying.c_str(), at, backup) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlinkat(at, copying.c_str(), 0);  // the journal names it: an undo removes it too
    }
    return error;
}

// Keeps the old file of `file`'s target reachable under its way back's name (chosen when the
// journal was written) in its folder: a hard link, or where the file system has none, a flushed
// copy. Nothing for a target that is not there (a new output).
int keep_way_back(staged_file& file) {
    const int at = folder_at(file.folder).descriptor;
    const marked_name backup = backup_name(file);
    if (::linkat(at, file.name.c_str(), at, backup.c_str(), 0) == 0) {
        file.has_backup = true;
        return 0;
    }
    if (errno == ENOENT) {
        return 0;
    }
    if (errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP) {
        return errno;
    }
    const int error = copy_way_back(file, backup.c_str());
    file.has_backup = error == 0;
    return error == ENOENT ? 0 : error;
}

// The journal of the commit: its folders as held, and every staged file.
journal commit_record(const std::vector<uint32_t>& folders) {
    journal record;
    for (const uint32_t folder : folders) {
        record.folders.push_back(folder_at(folder).path);
    }
    for (const staged_file& file : g_staged) {
        const size_t index = static_cast<size_t>(
            std::find(folders.begin(), folders.end(), file.folder) - folders.begin());
        record.entries.push_back({static_cast<uint32_t>(index), file.name,
                                  staged_name(file).c_str(), backup_name(file).c_str(),
                                  file.staged_inode});
    }
    record.complete = true;
    return record;
}

int write_journal(const held_folder& folder, const std::string& name, const std::string& text) {
    const int descriptor = ::openat(folder.descriptor, name.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        return errno;
    }
    int error = write_all(descriptor, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (error == 0 && ::fdatasync(descriptor) != 0 && errno != EINVAL) {
        error = errno;
    }
    return close_written(descriptor, error);
}

// One commit: the steps in order, and the undo that any failure after the first way back
// leads to.
class commit {
  public:
    commit() : folders_(staged_folders()) {}

    std::optional<output_failure> run() {
        uint32_t failed_folder = 0;
        if (const int error = locks_.lock(folders_, failed_folder); error != 0) {
            return folder_failure(error, failed_folder, "locking its folder");
        }
        // The journal names every way back before the first is made, so that a stop at any
        // later point leaves nothing it does not name.
        for (staged_file& file : g_staged) {
            file.backup = random_letters();
        }
        record_ = commit_record(folders_);
        if (const auto failed = write_journal_first()) {
            return failed;
        }
        for (staged_file& file : g_staged) {
            if (const int error = keep_way_back(file); error != 0) {
                return undone(failure(output_failure::step::write, file.given, error,
                                      "keeping a way back to the file it replaces"));
            }
        }
        if (const int synced = sync_folders(folders_, failed_folder); synced != 0) {
            return undone(folder_failure(synced, failed_folder, "flushing its folder"));
        }
        for (const staged_file& file : g_staged) {
            const int at = folder_at(file.folder).descriptor;
            if (::renameat(at, staged_name(file).c_str(), at, file.name.c_str()) != 0) {
                return undone(failure(output_failure::step::write, file.given, errno,
                                      "renaming its staged file over it"));
            }
            renamed_ = true;
        }
        return finish();
    }

  private:
    const held_folder& journal_folder() const { return folder_at(g_staged.front().folder); }
    std::string journal_file() const { return journal_name(g_staged.front().name); }

    output_failure folder_failure(int error, uint32_t folder, const char* doing) const {
        const auto in_folder =
            std::find_if(g_staged.begin(), g_staged.end(),
                         [&](const staged_file& file) { return file.folder == folder; });
        return failure(output_failure::step::write, in_folder->given, error, doing);
    }

    std::optional<output_failure> write_journal_first() {
        journal_written_ = true;
        const int error = write_journal(journal_folder(), journal_file(), journal_text(record_));
        if (error != 0) {
            journal_written_ = error != EEXIST;  // never remove another run's journal
            return undone(failure(output_failure::step::write, g_staged.front().given, error,
                                  "writing the commit's journal"));
        }
        return std::nullopt;
    }

    // After the last rename: the new names on the disk, then the journal gone (the commit is
    // final), then the ways back removed. Up to the journal's removal, a failure undoes.
    std::optional<output_failure> finish() {
        uint32_t failed_folder = 0;
        if (const int error = sync_folders(folders_, failed_folder); error != 0) {
            return undone(folder_failure(error, failed_folder, "flushing its folder"));
        }
        if (::unlinkat(journal_folder().descriptor, journal_file().c_str(), 0) != 0 ||
            ::fsync(journal_folder().descriptor) != 0) {
            return undone(failure(output_failure::step::write, g_staged.front().given, errno,
                                  "removing the commit's journal"));
        }
        g_committed = 1;
        const std::string leftovers = discard_ways_back();
        if (!leftovers.empty()) {
            QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_WARNING, 0,
                                      "every output is written, but files kept as a way back "
                                      "could not be removed; they can be deleted\n%s",
                                      leftovers.c_str());
        }
        g_staged.clear();
        return std::nullopt;
    }

    // Removes the ways back; returns a detail line for each that could not be removed.
    static std::string discard_ways_back() {
        std::string leftovers;
        for (const staged_file& file : g_staged) {
            if (file.has_backup) {
                remove_leftover(folder_at(file.folder), backup_name(file).c_str(), leftovers);
            }
        }
        return leftovers;
    }

    // Before the first rename every target is as it was: the staged files and ways back are
    // removed, and a way back that is a copy never replaces the file it copies.
    static std::string discard_files() {
        std::string leftovers = discard_ways_back();
        for (const staged_file& file : g_staged) {
            remove_leftover(folder_at(file.folder), staged_name(file).c_str(), leftovers);
        }
        return leftovers;
    }

    // Puts every target back as it was and removes the staged files and ways back. When that
    // cannot be done the journal stays, so that a rerun with the same key entry finishes it.
    output_failure undone(output_failure failed) {
        if (record_.entries.empty()) {
            record_ = commit_record(folders_);
        }
        undo_outcome outcome;
        uint32_t failed_folder = 0;
        int error = 0;
        if (renamed_) {
            error = undo_entries(record_, folders_, outcome);
        } else {
            outcome.leftovers = discard_files();
        }
        error = error != 0 ? error : sync_folders(folders_, failed_folder);
        if (error == 0 && journal_written_ &&
            ::unlinkat(journal_folder().descriptor, journal_file().c_str(), 0) != 0 &&
            errno != ENOENT) {
            error = errno;
        }
        if (error == 0) {
            failed.detail = "  commit: undone; every output and the key entry are as they were\n" +
                            outcome.leftovers;
            g_staged.clear();
        } else {
            failed.detail =
                std::string("  commit: could not be undone (") + std::strerror(error) +
                "); a rerun with the same key entry undoes it from the journal " +
                fio_printable_text(place_path(g_staged.front().folder, journal_file())) + "\n" +
                outcome.leftovers;
        }
        return failed;
    }

    std::vector<uint32_t> folders_;
    folders_locked locks_;
    journal record_;
    bool journal_written_ = false;
    bool renamed_ = false;
};

}  // namespace

std::optional<output_failure> commit_staged_outputs() {
    if (g_staged.empty()) {
        return std::nullopt;
    }
    if (const auto failed = flush_staged()) {
        return failed;
    }
    const termination_signals_held held;
    commit steps;
    return steps.run();
}

void remove_staged_outputs() {
    const termination_signals_held held;
    unlink_staged_files();
    g_staged.clear();
}

// ---- Undoing an interrupted commit ----------------------------------------------------------

namespace {

// Reads the whole journal; 0, ENOENT when there is none, or the reason it cannot be read.
int read_journal(const held_folder& folder, const std::string& name, std::string& text) {
    const int descriptor =
        ::openat(folder.descriptor, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        return errno;
    }
    text.clear();
    char buffer[1 << 14];
    ssize_t got = 0;
    while ((got = ::read(descriptor, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    const int error = got < 0 ? errno : 0;
    ::close(descriptor);
    return error;
}

// The journal's folders, held; 0 or the reason one cannot be held.
int hold_journal_folders(const journal& record, std::vector<uint32_t>& held) {
    for (const std::string& path : record.folders) {
        uint32_t index = 0;
        if (const int error = hold_folder(path, index); error != 0) {
            return error;
        }
        held.push_back(index);
    }
    return 0;
}

constexpr int kNoJournal = -1;

// An earlier run's journal beside the key entry, read and its folders held and locked. A run
// that is committing holds the journal's folders locked: the journal is read again under the
// locks, so only the journal of a run that ended unfinished is undone.
class earlier_journal {
  public:
    earlier_journal(const output_place& key, const std::string& key_path)
        : key_(key),
          key_path_(key_path),
          name_(journal_name(key.name)),
          shown_(fio_printable_text(place_path(key.folder, name_))) {}

    // Reads and locks it: 0 when there is one to undo, kNoJournal when there is none.
    int take(output_failure& failed) {
        constexpr int kMostTries = 4;
        for (int attempt = 0; attempt < kMostTries; ++attempt) {
            const int error = read_and_hold();
            if (error != 0) {
                return error == kNoJournal
                           ? error
                           : fail(failed, error, "reading an earlier run's journal");
            }
            locks_ = std::make_unique<folders_locked>();
            uint32_t failed_folder = 0;
            if (const int locked = locks_->lock(folders_in_lock_order(held_), failed_folder);
                locked != 0) {
                return fail(failed, locked, "locking a folder of an earlier run's journal");
            }
            const std::vector<uint32_t> locked_folders = held_;
            if (const int again = read_and_hold(); again != 0) {
                return again == kNoJournal
                           ? again
                           : fail(failed, again, "reading an earlier run's journal");
            }
            if (parsed_ && folders_in_lock_order(held_) == folders_in_lock_order(locked_folders)) {
                return 0;
            }
            locks_.reset();  // it changed while this run waited: take it again
        }
        return fail(failed, EINVAL, "an earlier run's journal that cannot be read");
    }

    int undo(output_failure& failed) {
        undo_outcome outcome;
        uint32_t failed_folder = 0;
        const int at = folder_at(key_.folder).descriptor;
        int error = undo_entries(record_, held_, outcome);
        error = error != 0 ? error : sync_folders(held_, failed_folder);
        error = error != 0 || ::unlinkat(at, name_.c_str(), 0) == 0 ? error : errno;
        error = error != 0 || ::fsync(at) == 0 ? error : errno;
        if (error != 0) {
            return fail(failed, error, "undoing the commit an earlier run left unfinished");
        }
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_WARNING, 0,
                                  "an earlier run was stopped during its commit; it was undone, "
                                  "%zu file(s) put back as they were before it\n  journal: %s "
                                  "(removed)\n%s",
                                  outcome.restored, shown_.c_str(), outcome.leftovers.c_str());
        return 0;
    }

  private:
    // Reads the journal and holds its folders; parsed_ tells whether it could be read whole.
    int read_and_hold() {
        std::string text;
        if (const int error = read_journal(folder_at(key_.folder), name_, text); error != 0) {
            return error == ENOENT ? kNoJournal : error;
        }
        record_ = journal{};
        held_.assign(1, key_.folder);  // a journal being written still has its folder locked
        parsed_ = parse_journal(text, record_);
        if (parsed_) {
            held_.clear();
            if (const int error = hold_journal_folders(record_, held_); error != 0) {
                return error;
            }
        }
        return 0;
    }

    int fail(output_failure& failed, int error, const char* doing) const {
        failed = failure(output_failure::step::write, key_path_, error, doing);
        failed.detail = "  journal: " + shown_ + "\n";
        return error;
    }

    output_place key_;
    std::string key_path_;
    std::string name_;
    std::string shown_;
    journal record_;
    std::vector<uint32_t> held_;
    bool parsed_ = false;
    std::unique_ptr<folders_locked> locks_;
};

}  // namespace

std::optional<output_failure> undo_interrupted_commit(const std::string& key_path) {
    prepare_for_outputs();
    output_place key;
    if (const int error = resolve_output_place(key_path, key); error != 0) {
        // No folder, no journal: the staging of the key entry reports it.
        return error == ENOENT || error == ENOTDIR
                   ? std::nullopt
                   : std::optional(failure(output_failure::step::open, key_path, error));
    }
    const termination_signals_held signals;
    earlier_journal earlier(key, key_path);
    output_failure failed{};
    const int taken = earlier.take(failed);
    if (taken == kNoJournal) {
        return std::nullopt;
    }
    if (taken != 0 || earlier.undo(failed) != 0) {
        return failed;
    }
    return std::nullopt;
}
