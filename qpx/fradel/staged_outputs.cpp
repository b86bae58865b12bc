// All-or-nothing writing of the files a run produces (see staged_outputs.h).
#include "staged_outputs.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "commit_journal.h"
#include "console_stop.h"
#include "output_folders.h"
#include "qpx_common.h"
#include "run_presence.h"
#include "zrl_core.h"

namespace {

constexpr uint32_t kStagedMode = 0600;  // until its content is written
constexpr size_t kCopyChunk = 1 << 16;
constexpr const char* kNotUndone = "could not be undone";
constexpr int kNoLastingIdentity = ENOTSUP;
constexpr std::chrono::milliseconds kLockPoll(5);
constexpr std::chrono::milliseconds kMostLockWait(300000);  // other processes' locks, in all

// One record per file of the run, kept small: a run of many modules holds them all at once.
struct staged_file {
    std::string given;  // the path as given to the run, for messages
    std::string name;   // the target's name in its folder (links followed)
    uint32_t folder = 0;
    bool flush_metadata = false;  // its owner or mode was set after it was created
    recorded_file staged;         // the staged file, once written
    recorded_file way_back;       // the old file's way back, once the commit made one
    recorded_file origin;         // the old file
    std::string sha256;           // of the staged content
    std::string way_back_sha256;  // of the way back's content
};

marked_name staged_name(const staged_file& file) {
    return marked_name(file.name, kStagedMarker, this_run());
}

marked_name pending_name(const staged_file& file) {
    return marked_name(file.name, kPendingMarker, this_run());
}

marked_name backup_name(const staged_file& file) {
    return marked_name(file.name, kBackupMarker, this_run());
}

// Read by the signal handler: it changes only while the termination signals are blocked. A
// deque grows without copying what it holds.
// Never destroyed: a signal handler may run during the exit.
std::deque<staged_file>& g_staged = *new std::deque<staged_file>;

// What the signal handler says of the outputs.
enum commit_state : int { kNothingChanged = 0, kCommitted = 1, kCommitLeftToRerun = 2 };
volatile sig_atomic_t g_commit_state = kNothingChanged;
char g_kept_journal[4096] = {};  // the journal a rerun finishes, for the signal handler

// ---- Signals ------------------------------------------------------------------------------

// Holds SIGINT, SIGTERM and SIGHUP (on Windows the console's stop requests) back for its
// lifetime; one that arrives meanwhile acts when the scope ends.
using termination_signals_held = qpx_stop_requests_held;

// Every lock wait of the run draws on one budget: a process that takes and lets go of folder
// locks just in time cannot hold the run longer than that in all. KVR_SIGN_LOCK_WAIT (whole
// seconds) may shorten it, never lengthen it.
std::chrono::milliseconds most_lock_wait() {
    const char* text = std::getenv("KVR_SIGN_LOCK_WAIT");
    char* end = nullptr;
    const long seconds = text != nullptr ? std::strtol(text, &end, 10) : -1;
    if (text == nullptr || end == text || *end != '\0' || seconds < 0 ||
        std::chrono::seconds(seconds) > kMostLockWait) {
        return kMostLockWait;
    }
    return std::chrono::seconds(seconds);
}

std::chrono::steady_clock::duration g_lock_waited{};

// Takes the lock of a folder, waiting while another process holds it, but not past a stop
// request (EINTR: nothing was changed yet) nor past the run's budget (EWOULDBLOCK).
int wait_for_lock(const fio::handle& folder) {
    static const std::chrono::milliseconds budget = most_lock_wait();
    for (;;) {
        const int error = fio::lock(folder, false);
        if (error != EWOULDBLOCK && error != EAGAIN) {
            return error;
        }
        if (qpx_stop_request_pending()) {
            return EINTR;
        }
        if (g_lock_waited >= budget) {
            return EWOULDBLOCK;
        }
        const auto before = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(kLockPoll);
        g_lock_waited += std::chrono::steady_clock::now() - before;
    }
}

// Writing to stderr that a signal handler may do.
void say(const char* text, size_t length) {
    qpx_say_from_stop_handler(text, length);
}

void say(const char* text) {
    say(text, std::strlen(text));
}

// Removes every staged file that is still the one this run wrote, then the run's run files;
// names on stderr each that could not be removed. Async-signal-safe.
void unlink_staged_files() {
    for (const staged_file& file : g_staged) {
        const marked_name name = staged_name(file);
        const held_folder& folder = folder_at(file.folder);
        fio::identity found;
        if (fio::identify_at(folder.folder, name.c_str(), found) != 0 ||
            (file.staged.present && found.inode != file.staged.inode)) {
            continue;
        }
        if (const int error = fio::remove_at(folder.folder, name.c_str());
            error != 0 && error != ENOENT) {
            keep_run_files();
            say("  not removed: ");
            say(folder.path.data(), folder.path.size());
            say(fio::kPathSeparator);
            say(name.c_str());
            say(" (a staged file)\n");
        }
    }
    leave_all_folders();
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
// would have (the final stop handler has put the default action back), so the run ends with
// the signal's usual status.
void stop_on_termination_signal(int signal_number) {
    say("Stopped by ");
    say(signal_name(signal_number));
    if (g_commit_state == kCommitted) {
        say(": the commit was finished first; every output is written\n");
    } else if (g_commit_state == kCommitLeftToRerun) {
        say(": the commit could not be undone; a rerun with the same key entry finishes it "
            "(journal ");
        say(g_kept_journal);
        say(")\n");
    } else {
        say(": no output was changed\n");
    }
    unlink_staged_files();
    qpx_end_as_stopped(signal_number);
}

void remove_staged_at_internal_error() {
    unlink_staged_files();
}

// ---- Small checked steps ------------------------------------------------------------------

output_failure failure(output_failure::step failed, const std::string& path, int error,
                       const char* doing = nullptr) {
    std::string reason = fio::error_text(error != 0 ? error : EIO);
    if (doing != nullptr) {
        reason += std::string(" (") + doing + ")";
    }
    output_failure result{failed, path, reason, {}};
    if (error == EWOULDBLOCK) {
        result.detail =
            "  hint: this run has waited as long as it may, in all, for folder locks that other "
            "processes hold (anyone who can read a folder can lock it); run again once they "
            "let go\n";
    }
    if (error == EMFILE || error == ENFILE) {
        result.detail =
            "  hint: a run holds two descriptors for each folder it writes to; raise the limit "
            "of open files (ulimit -n) or write into fewer folders\n";
    }
    return result;
}

// Closes a file that was written: a close can report a write that failed late.
int close_written(fio::handle& file, int error) {
    const int closed = file.close();
    return error != 0 ? error : closed;
}

}  // namespace

void prepare_for_outputs() {
    static bool prepared = false;
    if (prepared) {
        return;
    }
    prepared = true;
    fio::raise_descriptor_limit();
    // A file-size limit then fails the write (EFBIG) instead of killing the process mid-file.
    fio::fail_writes_past_size_limit();
    // A signal the caller chose to ignore (nohup) stays ignored.
    qpx_install_final_stop_handler(stop_on_termination_signal);
    MSG_INTERNAL_ERROR::set_cleanup(remove_staged_at_internal_error);
    // The stop handler names the run's files by its id: a stop request that arrives while it is
    // drawn waits until it is whole, then ends the run as any other.
    const termination_signals_held held;
    draw_run_id();
}

// ---- Staging ------------------------------------------------------------------------------

namespace {

// Refuses, without opening it, a target that the commit could not rename over: an existing
// file that is not a regular file or that this process may not write.
int refusal_of_target(const output_place& place) {
    if (!place.exists) {
        return 0;
    }
    if (place.existing.kind == fio::file_kind::folder) {
        return EISDIR;
    }
    if (place.existing.kind != fio::file_kind::regular) {
        return EINVAL;
    }
    const held_folder& folder = folder_at(place.folder);
    if (const int error = fio::may_write_at(folder.folder, place.name.c_str()); error != 0) {
        return error;
    }
    // In a folder with the sticky bit (such as /tmp) only the owner of a file, of the folder,
    // or a privileged process may replace it.
    const uint32_t user = fio::effective_user();
    if (folder.sticky() && !fio::may_give_files_away() && place.existing.owner != user &&
        folder.identity.owner != user) {
        return EPERM;
    }
    return 0;
}

// A run knows its own files, and an undo the files it put aside, by their identities: a file
// system whose file numbers are zero, or differ between the open file and its name, cannot be
// written to safely. ENOTSUP then, before any target is touched.
int lasting_identity(const held_folder& folder, const char* name, const fio::identity& opened) {
    fio::identity named;
    if (const int error = fio::identify_at(folder.folder, name, named); error != 0) {
        return error;
    }
    const bool zero = opened.inode == 0 && opened.inode_high == 0;
    return zero || !named.same_file(opened) ? kNoLastingIdentity : 0;
}

// The run's record of the staged file for `place`, when an earlier pair of the run already
// staged one for the same target.
staged_file* staged_for(const output_place& place) {
    for (auto file = g_staged.rbegin(); file != g_staged.rend(); ++file) {
        const bool exact = folder_at(place.folder).case_sensitive;
        if (file->folder == place.folder &&
            fio::name_key(file->name, exact) == fio::name_key(place.name, exact)) {
            return &*file;
        }
    }
    return nullptr;
}

// Creates the staged file exclusively, 0600 or narrower, and records it before anything can
// interrupt. A target staged again by a later pair of the run gets a new staged file in place
// of the earlier one.
int create_staged(const std::string& path, const output_place& place, fio::handle& file,
                  staged_file*& record) {
    const held_folder& folder = folder_at(place.folder);
    const uint32_t mode = place.exists ? kStagedMode & place.existing.mode : kStagedMode;
    const marked_name name(place.name, kStagedMarker, this_run());
    const termination_signals_held held;
    record = staged_for(place);
    if (record != nullptr) {
        fio::identity earlier;
        if (fio::identify_at(folder.folder, name.c_str(), earlier) == 0 &&
            earlier.inode == record->staged.inode) {
            if (const int error = fio::remove_at(folder.folder, name.c_str()); error != 0) {
                return error;
            }
        }
        record->given = path;
        record->flush_metadata = false;
    }
    if (const int error = fio::create_at(folder.folder, name.c_str(), mode, file); error != 0) {
        return error;
    }
    if (record == nullptr) {
        g_staged.push_back({path, place.name, place.folder, false, {}, {}, {}, {}, {}});
        record = &g_staged.back();
    }
    // Unknown, the staged file is removed by its name alone at a stop.
    fio::identity created;
    const int error = fio::identify(file, created);
    record->staged = error == 0 ? record_of(created) : recorded_file{};
    return error != 0 ? error : lasting_identity(folder, name.c_str(), created);
}

// The permission bits a replacement keeps, less set-user-ID and set-group-ID where the new file
// could not get the old owner or group.
uint32_t kept_mode(uint32_t old_mode, const fio::identity& old, const recorded_file& now) {
    uint32_t mode = old_mode;
    if (now.owner != old.owner) {
        mode &= ~04000U;
    }
    if (now.group != old.group) {
        mode &= ~02000U;
    }
    return mode;
}

// Gives `file` (now owned as `now` says) the owner and group of `old` where this process may:
// any owner when it is privileged, otherwise the old group when it is one of this user's
// groups. `now` then says who owns it.
// A file given to another user is removed by a later run only on the word of this run's run
// file, which is on the disk first.
int take_owner(const fio::handle& file, uint32_t folder, recorded_file& now,
               const fio::identity& old) {
    int error = 0;
    if (fio::may_give_files_away() && (now.owner != old.owner || now.group != old.group)) {
        error = now.owner != old.owner ? make_run_file_durable(folder) : 0;
        if (error != 0) {
            return error;
        }
        error = fio::set_owner(file, old.owner, old.group);
        now.owner = error == 0 ? old.owner : now.owner;
    } else if (now.group != old.group) {
        error = fio::set_group(file, old.group);
    }
    now.group = error == 0 ? old.group : now.group;
    return error == EPERM ? 0 : error;  // not allowed: the file keeps this user's ownership
}

void warn_of_dropped_bits(const std::string& path, uint32_t wanted, uint32_t given,
                          const char* what) {
    if (wanted != given) {
        QPX_COMMON_MSG::print_msg(
            QPX_COMMON_MSG_WARNING, 0,
            "%s %s cannot keep the owner or group of the file it replaces: its set-user-ID and "
            "set-group-ID bits are cleared\n  mode: %04o, not %04o\n",
            what, fio_printable_text(path).c_str(), given, wanted);
    }
}

// Gives the staged file the owner, group and permission bits of the file it replaces (or those
// of a new file), and starts writing its data back so that the flush before the commit finds
// little to do.
int settle_staged(const fio::handle& file, staged_file& record, const output_place& place,
                  size_t count) {
    const uint32_t wanted = place.exists ? place.existing.mode : fio::new_file_mode();
    uint32_t mode = wanted;
    recorded_file now = record.staged;
    if (place.exists) {
        if (const int error = take_owner(file, record.folder, now, place.existing); error != 0) {
            return error;
        }
        mode = kept_mode(wanted, place.existing, now);
        record.flush_metadata =
            now.owner != record.staged.owner || now.group != record.staged.group;
    }
    if (mode != now.mode) {
        if (const int error = fio::set_mode(file, mode); error != 0) {
            return error;
        }
        record.flush_metadata = true;
    }
    warn_of_dropped_bits(record.given, wanted, mode, "output");
    if (const int error = fio::start_write_back(file); error != 0) {
        return error;
    }
    now.mode = mode;
    now.size = count;
    record.staged = now;
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
    if (const int error = be_present_in(place.folder); error != 0) {
        return failure(output_failure::step::open, path, error,
                       "making this run's run file in its folder");
    }
    fio::handle file;
    staged_file* record = nullptr;
    if (const int error = create_staged(path, place, file, record); error != 0) {
        output_failure failed = failure(output_failure::step::open, path, error);
        if (error == kNoLastingIdentity) {
            failed.reason =
                "its folder's file system does not give files lasting identities (a file's "
                "number is zero, or differs between two looks), so a run cannot tell its own "
                "files there";
            failed.detail = "  hint: write the outputs to another file system\n";
        }
        return failed;
    }
    record->sha256 = content_sha256(bytes, count);
    int error = fio::write_all(file, bytes, count);
    if (error == 0) {
        error = settle_staged(file, *record, place, count);
    }
    if (const int closed = close_written(file, error); closed != 0) {
        return failure(output_failure::step::write, path, closed);
    }
    return std::nullopt;
}

// ---- Commit -------------------------------------------------------------------------------

namespace {

// Waits for the staged files to reach the disk (with their owner and mode where those were
// set): a full disk or an I/O error that delayed allocation only finds now still fails the run
// before any target changes.
std::optional<output_failure> flush_staged() {
    for (const staged_file& file : g_staged) {
        fio::handle staged;
        fio::identity found;
        int error =
            fio::open_at(folder_at(file.folder).folder, staged_name(file).c_str(), false, staged);
        error = error != 0 ? error : fio::identify(staged, found);
        if (error != 0 || found.inode != file.staged.inode) {
            return failure(output_failure::step::write, file.given, error != 0 ? error : ESTALE,
                           "reopening its staged file");
        }
        error = fio::flush(staged, file.flush_metadata);
        if (const int closed = close_written(staged, error); closed != 0) {
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
        const fio::identity& x = folder_at(a).identity;
        const fio::identity& y = folder_at(b).identity;
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
            const int error = wait_for_lock(folder_at(folder).folder);
            if (error == 0) {
                locked_.push_back(folder);
            } else if (error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS) {
                QPX_COMMON_MSG::print_msg(
                    QPX_COMMON_MSG_WARNING, 0,
                    "folder %s cannot be locked (%s): a run writing there at the same time is "
                    "not kept out\n",
                    fio_printable_text(folder_at(folder).path).c_str(),
                    fio::error_text(error).c_str());
            } else {
                failed_folder = folder;
                return error;
            }
        }
        return 0;
    }
    folders_locked() = default;
    ~folders_locked() { release(); }
    void release() {
        for (const uint32_t folder : locked_) {
            fio::unlock(folder_at(folder).folder);  // also released when the process ends
        }
        locked_.clear();
    }
    folders_locked(const folders_locked&) = delete;
    folders_locked& operator=(const folders_locked&) = delete;

  private:
    std::vector<uint32_t> locked_;
};

// Flushes the folders: the names created, renamed or removed in them are on the disk.
int sync_folders(const std::vector<uint32_t>& folders, uint32_t& failed_folder) {
    for (const uint32_t folder : folders) {
        if (const int error = fio::flush_folder(folder_at(folder).folder); error != 0) {
            failed_folder = folder;
            return error;
        }
    }
    return 0;
}

// Reads the open file `from` to its end, hands each piece to `use`, and gives the SHA-256 of
// all it read. The buffer is wiped: it held a module image.
template <typename piece_user>
int read_all(const fio::handle& from, std::string& sha256, piece_user use) {
    std::vector<uint8_t> buffer(kCopyChunk);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest(EVP_MD_CTX_new(),
                                                                         EVP_MD_CTX_free);
    int error = digest != nullptr && EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) == 1
                    ? 0
                    : ENOMEM;
    for (size_t got = 1; error == 0 && got != 0;) {
        error = fio::read_some(from, buffer.data(), buffer.size(), got);
        error = error != 0 || got == 0 ? error : use(buffer.data(), got);
        error =
            error != 0 || EVP_DigestUpdate(digest.get(), buffer.data(), got) == 1 ? error : ENOMEM;
    }
    unsigned char value[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
    error = error != 0 || EVP_DigestFinal_ex(digest.get(), value, &length) == 1 ? error : ENOMEM;
    sha256.assign(reinterpret_cast<const char*>(value), error == 0 ? length : 0);
    OPENSSL_cleanse(value, sizeof value);
    OPENSSL_cleanse(buffer.data(), buffer.size());
    return error;
}

// The SHA-256 of the file `name` in `folder`, which must still be `expected`.
int digest_of(const held_folder& folder, const char* name, const fio::identity& expected,
              std::string& sha256) {
    fio::handle file;
    fio::identity opened;
    int error = fio::open_at(folder.folder, name, false, file);
    error = error != 0 ? error : fio::identify(file, opened);
    if (error != 0 || !opened.same_file(expected) || opened.size != expected.size) {
        return error != 0 ? error : ESTALE;
    }
    return read_all(file, sha256, [](const uint8_t*, size_t) { return 0; });
}

// A flushed copy of the old file, for a file system that cannot give a file a second name:
// created 0600, given the old owner and group where it may be, then the old content and mode.
int copy_way_back(staged_file& file, const fio::identity& old, const char* copy_name) {
    file.origin = record_of(old);
    const held_folder& folder = folder_at(file.folder);
    fio::handle from;
    fio::identity opened;
    int error = fio::open_at(folder.folder, file.name.c_str(), false, from);
    error = error != 0 ? error : fio::identify(from, opened);
    if (error != 0 || !opened.same_file(old)) {
        return error != 0 ? error : ESTALE;
    }
    fio::handle to;
    if ((error = fio::create_at(folder.folder, copy_name, kStagedMode & old.mode, to)) != 0) {
        return error;
    }
    fio::identity created;
    error = fio::identify(to, created);
    recorded_file copy = record_of(created);
    error = error != 0 ? error : take_owner(to, file.folder, copy, old);
    const uint32_t mode = kept_mode(old.mode, old, copy);
    error = error != 0
                ? error
                : read_all(from, file.way_back_sha256, [&](const uint8_t* bytes, size_t count) {
                      return fio::write_all(to, bytes, count);
                  });
    error = error != 0 ? error : fio::set_mode(to, mode);
    error = error != 0 ? error : fio::flush(to, true);
    error = error != 0 ? error : fio::identify(to, created);
    file.way_back = record_of(created);
    if (error == 0) {
        warn_of_dropped_bits(file.given, old.mode, mode, "the copy kept of the file behind");
    }
    return close_written(to, error);
}

// The target's old file, when there is one: nothing but a regular file may be replaced.
int old_file_of(const staged_file& file, fio::identity& old) {
    const int error = fio::identify_at(folder_at(file.folder).folder, file.name.c_str(), old);
    if (error != 0) {
        old.kind = fio::file_kind::missing;
        return error == ENOENT ? 0 : error;
    }
    return old.kind == fio::file_kind::regular ? 0 : EINVAL;
}

// A second name that is not the file it names (an overlay copies a lower layer's file up when
// it is linked, and the copy has another identity): the link is taken away again, and the way
// back is a copy of the file the target now is, which must still be the old one in all but its
// identity.
int copy_instead_of_link(staged_file& file, const fio::identity& old, const char* pending) {
    const held_folder& folder = folder_at(file.folder);
    if (const int error = fio::remove_at(folder.folder, pending); error != 0) {
        return error;
    }
    fio::identity now;
    if (const int error = old_file_of(file, now);
        error != 0 || now.kind == fio::file_kind::missing) {
        return error != 0 ? error : ESTALE;
    }
    const bool same_file_in_all_but_identity = now.size == old.size && now.owner == old.owner &&
                                               now.group == old.group && now.mode == old.mode;
    return same_file_in_all_but_identity ? copy_way_back(file, now, pending) : ESTALE;
}

// Keeps the old file of `file`'s target reachable under its pending name: a second name, or
// where the file system has none (or its second names are not the file they name), a flushed
// copy. Either way its content's digest is recorded, so that an undo knows it by content
// wherever identities cannot be trusted. Nothing for a target that is not there.
int keep_way_back(staged_file& file) {
    const held_folder& folder = folder_at(file.folder);
    fio::identity old;
    if (const int error = old_file_of(file, old);
        error != 0 || old.kind == fio::file_kind::missing) {
        return error;
    }
    // A second name of another user's file is removed by a later run only on the word of this
    // run's run file, which is on the disk first.
    if (old.owner != fio::effective_user()) {
        if (const int error = make_run_file_durable(file.folder); error != 0) {
            return error;
        }
    }
    const marked_name pending = pending_name(file);
    const int linked = fio::link_at(folder.folder, file.name.c_str(), pending.c_str());
    if (linked == EPERM || linked == EMLINK || linked == EOPNOTSUPP) {
        return copy_way_back(file, old, pending.c_str());
    }
    if (linked != 0) {
        return linked;
    }
    fio::identity kept;
    if (const int error = fio::identify_at(folder.folder, pending.c_str(), kept); error != 0) {
        return error;
    }
    if (!kept.same_file(old)) {
        return copy_instead_of_link(file, old, pending.c_str());
    }
    file.origin = record_of(old);
    file.way_back = record_of(kept);
    const int error = digest_of(folder, pending.c_str(), kept, file.way_back_sha256);
    // A file this user may replace but not read (mode 0200): its second name is known by its
    // identity alone, as before digests were kept.
    return error == EACCES || error == EPERM ? 0 : error;
}

// Renames a pending way back to the name the journal gives it, and checks that the file there
// is the one that was kept.
int name_way_back(const staged_file& file) {
    const held_folder& folder = folder_at(file.folder);
    const marked_name backup = backup_name(file);
    if (const int error = fio::rename_at(folder.folder, pending_name(file).c_str(), backup.c_str());
        error != 0) {
        return error;
    }
    fio::identity named;
    if (const int error = fio::identify_at(folder.folder, backup.c_str(), named); error != 0) {
        return error;
    }
    return named.device == file.way_back.device && named.inode == file.way_back.inode &&
                   named.inode_high == file.way_back.inode_high
               ? 0
               : ESTALE;
}

// The journal of the commit: its folders as held, and every staged file.
journal commit_record(const std::vector<uint32_t>& folders) {
    journal record;
    record.run = this_run();
    record.key = g_staged.front().name;
    for (const uint32_t folder : folders) {
        const held_folder& held = folder_at(folder);
        record.folders.push_back({held.path, held.identity.device, held.identity.inode});
    }
    for (const staged_file& file : g_staged) {
        const size_t index = static_cast<size_t>(
            std::find(folders.begin(), folders.end(), file.folder) - folders.begin());
        record.entries.push_back({static_cast<uint32_t>(index), file.name, file.staged,
                                  file.way_back, file.origin, file.sha256, file.way_back_sha256});
    }
    return record;
}

journal_folders held_journal_folders(const std::vector<uint32_t>& folders) {
    journal_folders held;
    for (const uint32_t folder : folders) {
        held.push_back({&folder_at(folder), false});
    }
    return held;
}

// One commit: the steps in order, and the undo that any failure before the committed mark
// leads to.
class commit {
  public:
    commit() : folders_(staged_folders()) {}

    std::optional<output_failure> run() {
        uint32_t failed_folder = 0;
        if (const int error = locks_.lock(folders_, failed_folder); error != 0) {
            return folder_failure(error, failed_folder, "locking its folder");
        }
        for (staged_file& file : g_staged) {
            if (const int error = keep_way_back(file); error != 0) {
                return undone(failure(output_failure::step::write, file.given, error,
                                      "keeping a way back to the file it replaces"));
            }
        }
        record_ = commit_record(folders_);
        if (const auto failed = write_journal()) {
            return failed;
        }
        for (const staged_file& file : g_staged) {
            const int error = file.way_back.present ? name_way_back(file) : 0;
            if (error != 0) {
                return undone(failure(output_failure::step::write, file.given, error,
                                      "naming the way back to the file it replaces"));
            }
        }
        // The ways back under their journal's names on the disk before any target changes: a
        // file system may keep a folder's later changes and lose its earlier ones.
        if (const int error = sync_folders(folders_with_ways_back(), failed_folder); error != 0) {
            return undone(folder_failure(error, failed_folder, "flushing its folder"));
        }
        for (const staged_file& file : g_staged) {
            const held_folder& folder = folder_at(file.folder);
            if (const int error =
                    fio::rename_at(folder.folder, staged_name(file).c_str(), file.name.c_str());
                error != 0) {
                return undone(failure(output_failure::step::write, file.given, error,
                                      "renaming its staged file over it"));
            }
        }
        return finish();
    }

  private:
    const held_folder& journal_folder() const { return folder_at(g_staged.front().folder); }
    std::string journal_file() const { return journal_name(g_staged.front().name); }
    marked_name journal_staged() const {
        return marked_name(journal_file(), kStagedMarker, this_run());
    }

    output_failure folder_failure(int error, uint32_t folder, const char* doing) const {
        const auto in_folder =
            std::find_if(g_staged.begin(), g_staged.end(),
                         [&](const staged_file& file) { return file.folder == folder; });
        return failure(output_failure::step::write, in_folder->given, error, doing);
    }

    output_failure journal_failure(int error) {
        return undone(failure(output_failure::step::write, g_staged.front().given, error,
                              "writing the commit's journal"));
    }

    // Writes the journal under a staged name, flushes it, and renames it into place only when
    // whole and only where no journal is: a reader never sees part of one.
    std::optional<output_failure> write_journal() {
        const std::string text = journal_text(record_);
        if (text.size() > kMostJournalBytes) {
            return journal_failure(EFBIG);
        }
        const marked_name staged = journal_staged();
        int error = fio::create_private_at(journal_folder().folder, staged.c_str(), journal_file_);
        error = error != 0 ? error : fio::write_all(journal_file_, text.data(), text.size());
        error = error != 0 ? error : fio::flush(journal_file_, false);
        if (error != 0) {
            return journal_failure(error);
        }
        journal_size_ = text.size();
        error = fio::rename_new_at(journal_folder().folder, staged.c_str(), journal_file().c_str());
        if (error != 0) {
            // Where the rename is a link and an unlink, the journal may be in place all the
            // same: then the undo takes it away as it would any other.
            journal_in_place_ = error != EEXIST && journal_is_ours();
            return journal_failure(error);  // EEXIST: never over another run's journal
        }
        journal_in_place_ = true;
        // On the disk before any way back is named after it or any target changes: a power cut
        // never leaves a named way back or a changed target without its journal.
        if ((error = fio::flush_folder(journal_folder().folder)) != 0) {
            return undone(failure(output_failure::step::write, g_staged.front().given, error,
                                  "flushing the commit's journal into its folder"));
        }
        return std::nullopt;
    }

    bool journal_is_ours() const {
        fio::identity opened;
        fio::identity named;
        return fio::identify(journal_file_, opened) == 0 &&
               fio::identify_at(journal_folder().folder, journal_file().c_str(), named) == 0 &&
               named.same_file(opened);
    }

    // Marks the journal committed, on the disk: from here on the commit is final.
    int mark_committed() {
        int error = fio::write_all_at(journal_file_, kCommittedMark, std::strlen(kCommittedMark),
                                      journal_size_);
        error = error != 0 ? error : fio::flush(journal_file_, false);
        if (error == 0) {
            // The flush confirmed the mark on the disk: what the close may still say cannot
            // take it back, and the commit is final.
            journal_file_.close();
        }
        return error;
    }

    // A mark that may have reached the disk without its flush being confirmed is blanked (a
    // journal whose mark is unwritten bytes is not committed) before the commit is undone. When
    // even that fails, the journal may say committed or not: nothing more is changed, so that
    // the next run finds either the whole new set marked or a commit it can undo whole.
    std::optional<output_failure> unmarked_or_left(output_failure failed) {
        const std::string blank(std::strlen(kCommittedMark), '\0');
        int error = fio::write_all_at(journal_file_, blank.data(), blank.size(), journal_size_);
        error = error != 0 ? error : fio::flush(journal_file_, false);
        error = close_written(journal_file_, error);
        if (error == 0) {
            return undone(std::move(failed));
        }
        left_to_rerun(failed, error, "could not be finished or undone",
                      "a rerun with the same key entry finishes it from the journal");
        return failed;
    }

    void left_to_rerun(output_failure& failed, int error, const char* what,
                       const char* then) const {
        const std::string shown = shown_journal();
        std::snprintf(g_kept_journal, sizeof g_kept_journal, "%s", shown.c_str());
        g_commit_state = kCommitLeftToRerun;
        const std::string why = error == ESTALE && what == std::string_view(kNotUndone)
                                    ? "a file of this run is not the one its journal records"
                                    : fio::error_text(error);
        failed.detail +=
            std::string("  commit: ") + what + " (" + why + "); " + then + " " + shown + "\n";
    }

    // After the last rename: the new names on the disk, the journal marked committed, then the
    // ways back and run files removed and flushed away before the journal goes. Up to the mark
    // a failure undoes.
    std::optional<output_failure> finish() {
        uint32_t failed_folder = 0;
        if (const int error = sync_folders(folders_, failed_folder); error != 0) {
            return undone(folder_failure(error, failed_folder, "flushing its folder"));
        }
        if (const int error = mark_committed(); error != 0) {
            return unmarked_or_left(failure(output_failure::step::write, g_staged.front().given,
                                            error, "marking the commit's journal committed"));
        }
        g_commit_state = kCommitted;
        clean_up_after_commit();
        g_staged.clear();
        return std::nullopt;
    }

    // Removes the ways back and the run files, and the journal once their removal is on the
    // disk (a file system may keep the journal's removal and lose theirs, and nothing but the
    // journal leads a later run to them). Whatever cannot be removed is named, and the journal
    // stays for the next run with this key entry to finish the clean-up. The journal's own
    // removal is not waited for: a committed journal that a power cut brings back only has the
    // next run finish a clean-up that is done.
    void clean_up_after_commit() {
        std::string leftovers = discard_ways_back();
        const bool ways_back_removed = leftovers.empty();
        leave_all_folders(leftovers);
        const bool all_removed = leftovers.empty();
        uint32_t failed_folder = 0;
        int error = sync_folders(folders_, failed_folder);
        if (error == 0 && all_removed) {
            error = fio::remove_at(journal_folder().folder, journal_file().c_str());
        }
        if (error != 0 || !all_removed) {
            leftovers += "  not removed: " + shown_journal() + " (" +
                         (error != 0 ? fio::error_text(error) : "kept for what is named above") +
                         "); the next run with this key entry finishes its clean-up\n";
        }
        if (!leftovers.empty()) {
            QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_WARNING, 0,
                                      ways_back_removed
                                          ? "every output is written, but files of this run "
                                            "could not be removed; they can be deleted\n%s"
                                          : "every output is written, but files kept as a way "
                                            "back could not be removed; they can be deleted\n%s",
                                      leftovers.c_str());
        }
    }

    std::vector<uint32_t> folders_with_ways_back() const {
        std::vector<uint32_t> folders;
        for (const staged_file& file : g_staged) {
            if (file.way_back.present &&
                std::find(folders.begin(), folders.end(), file.folder) == folders.end()) {
                folders.push_back(file.folder);
            }
        }
        return folders;
    }

    std::string shown_journal() const {
        return fio_printable_text(place_path(journal_folder(), journal_file()));
    }

    // Removes the ways back; returns a detail line for each that could not be removed.
    static std::string discard_ways_back() {
        std::string leftovers;
        for (const staged_file& file : g_staged) {
            if (file.way_back.present) {
                remove_leftover(folder_at(file.folder), backup_name(file).c_str(), leftovers,
                                "a way back");
            }
        }
        return leftovers;
    }

    // Before the journal is in place no target has changed: the staged files, the pending ways
    // back and the journal's staged file are removed.
    std::string discard_files() const {
        std::string leftovers;
        for (const staged_file& file : g_staged) {
            const held_folder& folder = folder_at(file.folder);
            remove_leftover(folder, pending_name(file).c_str(), leftovers, "a way back");
            remove_leftover(folder, staged_name(file).c_str(), leftovers, "a staged file");
        }
        remove_leftover(journal_folder(), journal_staged().c_str(), leftovers,
                        "the journal's staged file");
        return leftovers;
    }

    // Puts every target back as it was and removes the staged files and ways back. When that
    // cannot be done the journal stays, so that a rerun with the same key entry finishes it.
    output_failure undone(output_failure failed) {
        journal_file_.close();
        undo_outcome outcome;
        uint32_t failed_folder = 0;
        int error = 0;
        if (journal_in_place_) {
            remove_leftover(journal_folder(), journal_staged().c_str(), outcome.leftovers,
                            "the journal's staged file");
            error = undo_entries(record_, held_journal_folders(folders_), outcome);
            error = error != 0 ? error : (outcome.unproven ? ESTALE : 0);
            error = error != 0 ? error : sync_folders(folders_, failed_folder);
            if (error == 0 && outcome.unremoved) {
                return undone_but_kept(std::move(failed), outcome);
            }
            error = error != 0 ? error
                               : fio::remove_at(journal_folder().folder, journal_file().c_str());
            error = error != 0 ? error : fio::flush_folder(journal_folder().folder);
        } else {
            outcome.leftovers = discard_files();
            if (!outcome.leftovers.empty()) {
                keep_run_files();
            }
        }
        if (error == 0) {
            failed.detail = "  commit: undone; every output and the key entry are as they were\n" +
                            outcome.leftovers;
            g_staged.clear();
            return failed;
        }
        left_to_rerun(failed, error, kNotUndone,
                      "a rerun with the same key entry undoes it from the journal");
        failed.detail += outcome.leftovers;
        return failed;
    }

    // Every target is as it was, but a file of the run could not be removed: the journal stays,
    // so that the next run with this key entry removes it.
    output_failure undone_but_kept(output_failure failed, const undo_outcome& outcome) {
        failed.detail = "  commit: undone; every output and the key entry are as they were\n" +
                        outcome.leftovers + "  journal: " + shown_journal() +
                        " (kept: the next run with this key entry removes what is named above)\n";
        g_staged.clear();
        return failed;
    }

    std::vector<uint32_t> folders_;
    folders_locked locks_;
    journal record_;
    fio::handle journal_file_;
    size_t journal_size_ = 0;
    bool journal_in_place_ = false;
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
    forget_all_folders();
    g_staged.clear();
}

// ---- An interrupted commit ------------------------------------------------------------------

namespace {

constexpr int kNoJournal = -1;
constexpr int kMostJournalTries = 4;

// An earlier run's journal beside the key entry: read under the key folder's lock and the trust
// rules, its folders held and checked against what it recorded, then read again under the
// locks of all its folders, so that only the journal of a run that ended unfinished is acted
// on, and never one that another run is writing.
class earlier_journal {
  public:
    earlier_journal(const output_place& key, const std::string& key_path)
        : key_(key),
          key_path_(key_path),
          name_(journal_name(key.name)),
          shown_(fio_printable_text(place_path(key.folder, name_))) {}

    // Reads and locks it: 0 when there is one to act on, kNoJournal when there is none.
    int take(output_failure& failed) {
        for (int attempt = 0; attempt < kMostJournalTries; ++attempt) {
            locks_.release();
            uint32_t failed_folder = 0;
            if (const int error = locks_.lock({key_.folder}, failed_folder); error != 0) {
                return fail(failed, error, "locking the key entry's folder");
            }
            std::string first;
            if (const int error = read(first, failed); error != 0) {
                return error;
            }
            locks_.release();
            if (const int error = locks_.lock(folders_in_lock_order(lockable()), failed_folder);
                error != 0) {
                return fail(failed, error, "locking a folder of an earlier run's journal");
            }
            std::string again;
            if (const int error = read(again, failed); error != 0) {
                return error;
            }
            if (again == first) {
                return 0;
            }
        }
        return fail(failed, EAGAIN, "an earlier run's journal that keeps changing");
    }

    // Undoes the commit, or finishes the clean-up of a committed one, then removes the journal.
    int act(output_failure& failed) {
        undo_outcome outcome;
        int error = 0;
        if (record_.committed) {
            finish_entries(record_, folders_, outcome);
        } else {
            error = undo_entries(record_, folders_, outcome);
        }
        // A folder of the commit that is not there cannot be put back, and a file of the run
        // that is not the one recorded proves nothing: the journal stays, and the run stops.
        if (error == 0 && !record_.committed && (outcome.skipped_folder || outcome.unproven)) {
            return not_proven(failed, outcome);
        }
        for (const journal_place& place : folders_) {
            if (place.folder != nullptr) {
                remove_dead_run_file(*place.folder, record_.run, outcome.leftovers);
            }
        }
        error = error != 0 ? error : flush_all();
        if (error == 0 && outcome.unremoved) {
            fail(failed, EBUSY, "finishing the clean-up an earlier run left unfinished");
            failed.detail += outcome.leftovers +
                             "  hint: the journal is kept so that the next run with this key "
                             "entry removes what is named above; remove the cause and run again\n";
            return EBUSY;
        }
        error = error != 0 ? error : remove_journal();
        if (error != 0) {
            fail(failed, error, "undoing the commit an earlier run left unfinished");
            failed.detail += outcome.leftovers;
            return error;
        }
        QPX_COMMON_MSG::print_msg(
            QPX_COMMON_MSG_WARNING, 0,
            record_.committed
                ? "an earlier run was stopped after its commit; its clean-up was finished, %zu "
                  "file(s) put back\n  journal: %s (removed)\n%s"
                : "an earlier run was stopped during its commit; it was undone, %zu file(s) put "
                  "back as they were before it\n  journal: %s (removed)\n%s",
            outcome.restored, shown_.c_str(), outcome.leftovers.c_str());
        return 0;
    }

  private:
    const held_folder& key_folder() const { return folder_at(key_.folder); }

    int not_proven(output_failure& failed, const undo_outcome& outcome) const {
        fail(failed, outcome.skipped_folder ? ENOENT : ESTALE,
             "undoing the commit an earlier run left unfinished");
        failed.reason = outcome.skipped_folder
                            ? failed.reason
                            : "a file of an earlier run's commit is not the one its journal "
                              "records (undoing the commit it left unfinished)";
        failed.detail +=
            outcome.leftovers +
            (outcome.skipped_folder
                 ? "  hint: put that folder back where it was and run again; while it is gone, "
                   "the outputs of that commit cannot be told whole\n"
                 : "  hint: the journal is kept and nothing named above was touched; compare "
                   "those files with the outputs they stand beside before deleting anything\n");
        return failed.reason.empty() ? EIO : ESTALE;
    }

    // Reads the journal under the trust rules and holds its folders.
    int read(std::string& text, output_failure& failed) {
        std::string refusal;
        std::string hint;
        const int error = read_trusted_journal(key_folder(), name_, text, refusal, hint);
        if (error == ENOENT) {
            return kNoJournal;
        }
        if (error == EPERM && !refusal.empty()) {
            return refuse(failed, refusal, hint);
        }
        if (error != 0) {
            return fail(failed, error, "reading an earlier run's journal");
        }
        record_ = journal{};
        if (const std::string malformed = parse_journal(text, record_); !malformed.empty()) {
            return refuse(failed, malformed);
        }
        if (record_.key != key_.name) {
            return refuse(failed, "it is the journal of another key entry");
        }
        return hold_folders(failed);
    }

    // Holds each folder the journal names, when it is still the folder it recorded.
    int hold_folders(output_failure& failed) {
        folders_.assign(record_.folders.size(), journal_place{});
        held_.clear();
        for (size_t i = 0; i < record_.folders.size(); ++i) {
            const journal_folder& recorded = record_.folders[i];
            uint32_t index = 0;
            const int error = hold_folder(recorded.path, index);
            if (error == ENOENT || error == ENOTDIR) {
                continue;
            }
            if (error != 0) {
                return fail(failed, error, "opening a folder of an earlier run's journal");
            }
            // A folder at the recorded path under another identity (a remount gives some file
            // systems new numbers) is acted on only where content proves a file the run's.
            const fio::identity& found = folder_at(index).identity;
            const bool same = found.device == recorded.device && found.inode == recorded.inode;
            folders_[i] = {&folder_at(index), !same};
            held_.push_back(index);
        }
        if (folders_[record_.entries.front().folder].folder != &key_folder()) {
            return refuse(failed, "it puts its key entry in another folder");
        }
        return 0;
    }

    std::vector<uint32_t> lockable() const {
        std::vector<uint32_t> folders = held_;
        folders.push_back(key_.folder);
        return folders;
    }

    int flush_all() {
        uint32_t failed_folder = 0;
        return sync_folders(held_, failed_folder);
    }

    int remove_journal() {
        const int error = fio::remove_at(key_folder().folder, name_.c_str());
        return error != 0 ? error : fio::flush_folder(key_folder().folder);
    }

    int refuse(output_failure& failed, const std::string& why, const std::string& hint = {}) const {
        failed = {output_failure::step::write,
                  key_path_,
                  "an earlier run's journal is not trusted: " + why,
                  {}};
        failed.detail = "  journal: " + shown_ + "\n  hint: " +
                        (hint.empty() ? "a run of yours that was stopped during its commit leaves "
                                        "a journal that only you may write; delete it if no run "
                                        "of yours left it"
                                      : hint) +
                        "\n";
        return EPERM;
    }

    int fail(output_failure& failed, int error, const char* doing) const {
        failed = failure(output_failure::step::write, key_path_, error, doing);
        failed.detail += "  journal: " + shown_ + "\n";
        return error;
    }

    output_place key_;
    std::string key_path_;
    std::string name_;
    std::string shown_;
    journal record_;
    journal_folders folders_;
    std::vector<uint32_t> held_;
    folders_locked locks_;
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
    termination_signals_held signals;
    earlier_journal earlier(key, key_path);
    output_failure failed{};
    const int taken = earlier.take(failed);
    if (taken == kNoJournal) {
        return std::nullopt;
    }
    if (taken != 0) {
        return failed;  // nothing was changed: a stop request held back may act now
    }
    if (earlier.act(failed) != 0) {
        signals.keep();
        return failed;
    }
    return std::nullopt;
}
