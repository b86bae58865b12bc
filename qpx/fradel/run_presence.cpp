// Each run's presence in the folders it writes to (see run_presence.h).
#include "run_presence.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "commit_journal.h"
#include "console_stop.h"
#include "qpx_common.h"
#include "zrl_core.h"

namespace {

constexpr int kMostPresenceTries = 8;

struct presence {
    uint32_t folder = 0;
    fio::handle run_file;  // locked for the run's life
    bool durable = false;  // its name is on the disk (the folder was flushed since)
};

// Read by the signal handler; it grows only while the termination signals are blocked.
// Never destroyed: a signal handler may run during the exit.
std::deque<presence>& g_presence = *new std::deque<presence>;
// Set when a file of the run could not be removed: its run files then stay (see keep_run_files).
volatile sig_atomic_t g_keep_run_files = 0;

bool is_present(uint32_t folder) {
    for (const presence& here : g_presence) {
        if (here.folder == folder) {
            return true;
        }
    }
    return false;
}

// Opens the regular file `name` in `folder`, when it is still `found` and this user's (on
// Windows the owner is only known from the open file).
bool open_if_mine(const held_folder& folder, const char* name, const fio::identity& found,
                  fio::handle& file) {
    if (found.kind != fio::file_kind::regular || found.owner != fio::effective_user()) {
        return false;
    }
    fio::identity opened;
    std::string why;
    std::string hint;
    return fio::open_at(folder.folder, name, false, file) == 0 &&
           fio::identify(file, opened) == 0 && opened.same_file(found) &&
           fio::check_only_mine(file, true, why, hint) == 0;
}

// The run file of `id` in `folder`, locked by this process when its run is dead. false when
// the run may be alive or is not this user's: its files are then left alone.
bool lock_of_dead_run(const held_folder& folder, const run_id& id, fio::handle& run_file) {
    const marked_name name = run_file_name(id);
    fio::identity found;
    const int error = fio::identify_at(folder.folder, name.c_str(), found);
    if (error != 0) {
        return error == ENOENT;  // no run file: its run ended, or never began to write
    }
    return open_if_mine(folder, name.c_str(), found, run_file) && fio::lock(run_file, false) == 0;
}

// Removes the files of the dead run `id` named `names` in `folder`: only regular files, of
// this user, or of any user when the dead run's run file is this user's (a privileged run gives
// its staged files the owner of the file they replace). Returns how many were removed.
size_t remove_files_of(const held_folder& folder, const std::vector<std::string>& names,
                       bool run_file_ours, std::string& leftovers) {
    size_t removed = 0;
    for (const std::string& name : names) {
        fio::identity found;
        fio::handle file;
        if (fio::identify_at(folder.folder, name.c_str(), found) != 0 ||
            found.kind != fio::file_kind::regular ||
            (!run_file_ours &&
             (found.owner != fio::effective_user() ||
              (!fio::kIdentityHasOwner && !open_if_mine(folder, name.c_str(), found, file))))) {
            continue;
        }
        file.close();
        const size_t before = leftovers.size();
        remove_leftover(folder, name.c_str(), leftovers);
        removed += leftovers.size() == before ? 1U : 0U;
    }
    return removed;
}

// Removes what dead runs of this user left in `folder`: staged files, ways back that no journal
// names yet, run files.
void sweep_dead_runs(const held_folder& folder) {
    std::vector<std::string> names;
    if (fio::list_names(folder.folder, names) != 0) {
        return;  // nothing is removed from a folder that cannot be read
    }
    std::map<run_id, std::vector<std::string>> by_run;
    for (const std::string& name : names) {
        run_id id{};
        bool is_run_file = false;
        if (run_of_leftover(name, id, is_run_file) && id != this_run()) {
            auto& files = by_run[id];
            if (!is_run_file) {
                files.push_back(name);
            }
        }
    }
    size_t removed = 0;
    std::string leftovers;
    for (const auto& [id, files] : by_run) {
        fio::handle run_file;
        if (lock_of_dead_run(folder, id, run_file)) {
            const size_t before = leftovers.size();
            removed += remove_files_of(folder, files, run_file.is_open(), leftovers);
            // The run file goes last, and only once the removals are on the disk: a file system
            // may keep its removal and lose theirs, and without it a file the dead run gave
            // another owner would be taken for that user's.
            if (run_file.is_open() && leftovers.size() == before &&
                (files.empty() || fio::flush_folder(folder.folder) == 0)) {
                remove_leftover(folder, run_file_name(id).c_str(), leftovers, "a run file");
            }
        }
    }
    if (removed > 0 || !leftovers.empty()) {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_WARNING, 0,
                                  "folder %s held %zu file(s) that a stopped run of this tool "
                                  "left; they were removed\n%s",
                                  fio_printable_text(folder.path).c_str(), removed,
                                  leftovers.c_str());
    }
}

// Blocks SIGINT, SIGTERM and SIGHUP (on Windows the console's stop requests) for its
// lifetime.
using signals_blocked = qpx_stop_requests_held;

// Creates and locks this run's run file in `folder`. A run file that a concurrent sweep took
// for a dead run's (between its creation and its lock) is made again.
int create_run_file(uint32_t folder) {
    const held_folder& held = folder_at(folder);
    const marked_name name = run_file_name(this_run());
    for (int attempt = 0; attempt < kMostPresenceTries; ++attempt) {
        const signals_blocked blocked;
        fio::handle run_file;
        if (const int error = fio::create_private_at(held.folder, name.c_str(), run_file);
            error != 0) {
            return error;
        }
        g_presence.push_back({folder, fio::handle()});
        const int locked = fio::lock(run_file, true);
        if (locked != 0 && locked != ENOLCK && locked != EOPNOTSUPP && locked != ENOSYS) {
            return locked;
        }
        // Still under its name? A failure to tell is a failure: the stop removes the name.
        fio::identity opened;
        fio::identity named;
        int error = fio::identify(run_file, opened);
        const int looked = error == 0 ? fio::identify_at(held.folder, name.c_str(), named) : 0;
        error = error != 0 ? error : (looked == ENOENT ? 0 : looked);
        if (error != 0) {
            return error;
        }
        if (looked == 0 && opened.same_file(named) && opened.inode != 0) {
            g_presence.back().run_file = std::move(run_file);
            return 0;
        }
        g_presence.pop_back();  // a sweep took it for a dead run's: made again
    }
    return EAGAIN;
}

}  // namespace

int be_present_in(uint32_t folder) {
    if (is_present(folder)) {
        return 0;
    }
    sweep_dead_runs(folder_at(folder));
    return create_run_file(folder);
}

int make_run_file_durable(uint32_t folder) {
    for (presence& here : g_presence) {
        if (here.folder == folder && !here.durable) {
            if (const int error = fio::flush_folder(folder_at(folder).folder); error != 0) {
                return error;
            }
            here.durable = true;
        }
    }
    return 0;
}

void keep_run_files() {
    g_keep_run_files = 1;
}

void leave_all_folders() {
    if (!run_id_drawn()) {
        return;  // a stop before the run drew its id: it made no run file
    }
    const marked_name name = run_file_name(this_run());
    for (const presence& here : g_presence) {
        const held_folder& folder = folder_at(here.folder);
        // What was removed before (staged files) reaches the disk before the run file goes; a
        // file of the run left behind keeps the run file that lets a later run remove it.
        const int error = g_keep_run_files != 0 ? EBUSY : fio::flush_folder(folder.folder);
        if (const int removed = error != 0 ? error : fio::remove_at(folder.folder, name.c_str());
            removed != 0 && removed != ENOENT) {
            qpx_say_from_stop_handler("  not removed: ", 15);
            qpx_say_from_stop_handler(folder.path.data(), folder.path.size());
            qpx_say_from_stop_handler(fio::kPathSeparator, std::strlen(fio::kPathSeparator));
            qpx_say_from_stop_handler(name.c_str(), std::strlen(name.c_str()));
            qpx_say_from_stop_handler(" (a run file)\n", 14);
        }
    }
}

void leave_all_folders(std::string& leftovers) {
    const marked_name name = run_file_name(this_run());
    for (const presence& here : g_presence) {
        remove_leftover(folder_at(here.folder), name.c_str(), leftovers, "this run's run file");
    }
    const signals_blocked blocked;
    g_presence.clear();
}

void forget_all_folders() {
    const signals_blocked blocked;
    g_presence.clear();
}

void remove_dead_run_file(const held_folder& folder, const run_id& id, std::string& leftovers) {
    fio::handle run_file;
    if (id != this_run() && lock_of_dead_run(folder, id, run_file) && run_file.is_open()) {
        remove_leftover(folder, run_file_name(id).c_str(), leftovers, "a run file");
    }
}
