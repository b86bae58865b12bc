// All-or-nothing writing of the files a run produces (see staged_outputs.h).
#include "staged_outputs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
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
constexpr std::chrono::milliseconds kLockPoll(5);
constexpr std::chrono::milliseconds kMostLockWait(300000);  // another process's lock, at most

// One record per file of the run, kept small: a run of many modules holds them all at once.
struct staged_file {
    std::string given;  // the path as given to the run, for messages
    std::string name;   // the target's name in its folder (links followed)
    uint32_t folder = 0;
    bool flush_metadata = false;  // its owner or mode was set after it was created
    recorded_file staged;         // the staged file, once written
    recorded_file way_back;       // the old file's way back, once the commit made one
    uint64_t origin = 0;          // the old file's inode
    std::string sha256;           // of the staged content
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

// Takes the lock of a folder, waiting while another process holds it, but not past a stop
// request (EINTR: nothing was changed yet) nor for ever (EWOULDBLOCK).
int wait_for_lock(const fio::handle& folder) {
    for (auto waited = std::chrono::milliseconds(0);; waited += kLockPoll) {
        const int error = fio::lock(folder, false);
        if (error != EWOULDBLOCK && error != EAGAIN) {
            return error;
        }
        if (qpx_stop_request_pending()) {
            return EINTR;
        }
        if (waited >= kMostLockWait) {
            return EWOULDBLOCK;
        }
        std::this_thread::sleep_for(kLockPoll);
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
            say("  not removed: ");
            say(folder.path.data(), folder.path.size());
            say(fio::kPathSeparator);
            say(name.c_str());
            say("\n");
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
    std::string reason = std::strerror(error != 0 ? error : EIO);
    if (doing != nullptr) {
        reason += std::string(" (") + doing + ")";
    }
    output_failure result{failed, path, reason, {}};
    if (error == EWOULDBLOCK) {
        result.detail =
            "  hint: another process has held the folder's lock for 5 minutes; run "
            "again once it lets go\n";
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

// The run's record of the staged file for `place`, when an earlier pair of the run already
// staged one for the same target.
staged_file* staged_for(const output_place& place) {
    for (auto file = g_staged.rbegin(); file != g_staged.rend(); ++file) {
        if (file->folder == place.folder &&
            fio::name_key(file->name) == fio::name_key(place.name)) {
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
        g_staged.push_back({path, place.name, place.folder, false, {}, {}, 0, {}});
        record = &g_staged.back();
    }
    // Unknown, the staged file is removed by its name alone at a stop.
    fio::identity created;
    const int error = fio::identify(file, created);
    record->staged = error == 0 ? record_of(created) : recorded_file{};
    return error;
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
int take_owner(const fio::handle& file, recorded_file& now, const fio::identity& old) {
    int error = 0;
    if (fio::may_give_files_away() && (now.owner != old.owner || now.group != old.group)) {
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
        if (const int error = take_owner(file, now, place.existing); error != 0) {
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
        return failure(output_failure::step::open, path, error);
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
                    fio_printable_text(folder_at(folder).path).c_str(), std::strerror(error));
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

// Copies the open file `from` into `to`.
int copy_content(const fio::handle& from, const fio::handle& to) {
    std::vector<uint8_t> buffer(kCopyChunk);
    for (;;) {
        size_t got = 0;
        if (const int error = fio::read_some(from, buffer.data(), buffer.size(), got);
            error != 0 || got == 0) {
            return error;
        }
        if (const int error = fio::write_all(to, buffer.data(), got); error != 0) {
            return error;
        }
    }
}

// A flushed copy of the old file, for a file system that cannot give a file a second name:
// created 0600, given the old owner and group where it may be, then the old content and mode.
int copy_way_back(staged_file& file, const fio::identity& old, const char* copy_name) {
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
    error = error != 0 ? error : take_owner(to, copy, old);
    const uint32_t mode = kept_mode(old.mode, old, copy);
    error = error != 0 ? error : copy_content(from, to);
    error = error != 0 ? error : fio::set_mode(to, mode);
    error = error != 0 ? error : fio::flush(to, true);
    error = error != 0 ? error : fio::identify(to, created);
    file.way_back = record_of(created);
    if (error == 0) {
        warn_of_dropped_bits(file.given, old.mode, mode, "the copy kept of the file behind");
    }
    return close_written(to, error);
}

// Keeps the old file of `file`'s target reachable under its pending name: a second name, or
// where the file system has none, a flushed copy. Nothing for a target that is not there.
int keep_way_back(staged_file& file) {
    const held_folder& folder = folder_at(file.folder);
    fio::identity old;
    if (const int error = fio::identify_at(folder.folder, file.name.c_str(), old); error != 0) {
        return error == ENOENT ? 0 : error;
    }
    if (old.kind != fio::file_kind::regular) {
        return EINVAL;  // replaced by something a rename must not replace
    }
    file.origin = old.inode;
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
    file.way_back = record_of(kept);
    return kept.same_file(old) ? 0 : ESTALE;
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
    return named.inode == file.way_back.inode ? 0 : ESTALE;
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
                                  file.way_back, file.origin, file.sha256});
    }
    return record;
}

journal_folders held_journal_folders(const std::vector<uint32_t>& folders) {
    journal_folders held;
    for (const uint32_t folder : folders) {
        held.push_back(&folder_at(folder));
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
            return journal_failure(error);  // EEXIST: never over another run's journal
        }
        journal_in_place_ = true;
        // On the disk before any way back is named after it or any target changes: a power cut
        // never leaves a named way back or a changed target without its journal. Changes to
        // one folder reach the disk in their order (the ways back before the renames, in each
        // folder), so only a commit that spans other folders needs this flush.
        if (spans_other_folders() && (error = fio::flush_folder(journal_folder().folder)) != 0) {
            return undone(failure(output_failure::step::write, g_staged.front().given, error,
                                  "flushing the commit's journal into its folder"));
        }
        return std::nullopt;
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
        failed.detail += std::string("  commit: ") + what + " (" + std::strerror(error) + "); " +
                         then + " " + shown + "\n";
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
        std::string leftovers = discard_ways_back();
        leave_all_folders(leftovers);
        int error = sync_folders(folders_beside_the_journal(), failed_folder);
        // The removal is not flushed: a committed journal that a power cut brings back only has
        // the next run finish a clean-up that is done.
        error =
            error != 0 ? error : fio::remove_at(journal_folder().folder, journal_file().c_str());
        if (error != 0) {
            leftovers += "  not removed: " + shown_journal() + " (" + std::strerror(error) +
                         "); the next run with this key entry finishes its clean-up\n";
        }
        if (!leftovers.empty()) {
            QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_WARNING, 0,
                                      "every output is written, but files kept as a way back "
                                      "could not be removed; they can be deleted\n%s",
                                      leftovers.c_str());
        }
        g_staged.clear();
        return std::nullopt;
    }

    bool spans_other_folders() const { return folders_.size() > 1; }

    // The folders but the journal's: their clean-up reaches the disk before the journal goes.
    std::vector<uint32_t> folders_beside_the_journal() const {
        std::vector<uint32_t> others;
        std::copy_if(folders_.begin(), folders_.end(), std::back_inserter(others),
                     [&](uint32_t folder) { return folder != g_staged.front().folder; });
        return others;
    }

    std::string shown_journal() const {
        return fio_printable_text(place_path(journal_folder(), journal_file()));
    }

    // Removes the ways back; returns a detail line for each that could not be removed.
    static std::string discard_ways_back() {
        std::string leftovers;
        for (const staged_file& file : g_staged) {
            if (file.way_back.present) {
                remove_leftover(folder_at(file.folder), backup_name(file).c_str(), leftovers);
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
            remove_leftover(folder, pending_name(file).c_str(), leftovers);
            remove_leftover(folder, staged_name(file).c_str(), leftovers);
        }
        remove_leftover(journal_folder(), journal_staged().c_str(), leftovers);
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
            error = undo_entries(record_, held_journal_folders(folders_), outcome);
            error = error != 0 ? error : sync_folders(folders_, failed_folder);
            error = error != 0 ? error
                               : fio::remove_at(journal_folder().folder, journal_file().c_str());
            error = error != 0 ? error : fio::flush_folder(journal_folder().folder);
        } else {
            outcome.leftovers = discard_files();
        }
        if (error == 0) {
            failed.detail = "  commit: undone; every output and the key entry are as they were\n" +
                            outcome.leftovers;
            g_staged.clear();
            return failed;
        }
        left_to_rerun(failed, error, "could not be undone",
                      "a rerun with the same key entry undoes it from the journal");
        failed.detail += outcome.leftovers;
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
        for (const held_folder* folder : folders_) {
            if (folder != nullptr) {
                remove_dead_run_file(*folder, record_.run, outcome.leftovers);
            }
        }
        // A folder of the commit that is not there cannot be put back: the journal stays for
        // the run after the folder is back.
        if (error == 0 && outcome.skipped_folder && !record_.committed) {
            fail(failed, ENOENT, "undoing the commit an earlier run left unfinished");
            failed.detail += outcome.leftovers +
                             "  hint: put that folder back where it was and run again; if it is "
                             "gone for good, delete the journal\n";
            return ENOENT;
        }
        error = error != 0 ? error : flush_all();
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
        folders_.assign(record_.folders.size(), nullptr);
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
            const fio::identity& found = folder_at(index).identity;
            if (found.device == recorded.device && found.inode == recorded.inode) {
                folders_[i] = &folder_at(index);
                held_.push_back(index);
            }
        }
        if (folders_[record_.entries.front().folder] != &key_folder()) {
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
