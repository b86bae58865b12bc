// Each run's presence in the folders it writes to.
//
// Before a run puts its first file into a folder, it creates its run file there
// (".kvr_sign-run-<run id>", see tool_names.h) and holds it locked until it ends. A later run
// that finds staged files of another run id in a folder it writes to tries that run's lock:
// a lock nobody holds, or a run file that is gone, means that the run is dead, and its staged
// files and ways back not yet named by a journal are removed. Only regular files of this user
// are removed; a run file of another user, or one whose lock cannot be told (a file system
// without locks), keeps that run's files as they are.
#pragma once

#include <cstdint>
#include <string>

#include "output_folders.h"
#include "tool_names.h"

// Makes this run present in the held folder `folder`, once: removes what dead runs of this
// user left there (and says so on stderr), then creates and locks this run's run file. 0 or
// the system's reason.
int be_present_in(uint32_t folder);

// Removes this run's run files, unless keep_run_files() was called; names each that stays.
// Async-signal-safe.
void leave_all_folders();
// A file of the run could not be removed: its run files stay, so that a later run that finds
// them dead removes it (also where the run gave it another user's owner). Async-signal-safe.
void keep_run_files();
// Flushes `folder` once, so that this run's run file there is on the disk: needed before a file
// of the run there is given another owner, which only a run file of this user lets a later run
// remove.
int make_run_file_durable(uint32_t folder);
// The same at the end of a commit, naming each run file that could not be removed in
// `leftovers`; the run is present nowhere afterwards.
void leave_all_folders(std::string& leftovers);

// Closes the run files that leave_all_folders() removed: the run is present nowhere afterwards,
// and a later file it stages makes its run file again. (On Windows a removed file's name stays
// until its last handle is closed.)
void forget_all_folders();

// Removes the run file of the run `id` from `folder`, when it is this user's and nobody holds
// its lock; a failure is named in `leftovers`.
void remove_dead_run_file(const held_folder& folder, const run_id& id, std::string& leftovers);
