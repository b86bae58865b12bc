// All-or-nothing writing of the files a run produces.
//
// Every file is first written to a new staged file in its target's folder,
// "<name>.kvr_sign-staged-<run id>" (see tool_names.h): created exclusively (never through a
// link, never a FIFO) with mode 0600 or narrower, and given the owner, group and permission
// bits of the file it replaces only once its content is written. Folders are held by handle
// from the moment a path names them (see output_folders.h), so every step below happens in the
// folder that was resolved. In each folder the run holds its run file locked, so that a later
// run can tell the files of a dead run from those of a live one; before it writes to a folder,
// a run removes the staged files a dead run of the same user left there.
//
// commit_staged_outputs() then flushes the staged files, locks every target folder (in one
// fixed order, so that two runs commit one after the other), keeps a way back for every target
// that exists, writes a journal beside the key entry (flushed under a staged name and then
// renamed into place, so that it appears whole or not at all), and renames each staged file
// over its target. A step that fails undoes the commit: every target is as it was. After the
// last rename and the folders' flush the journal is marked committed; then the ways back, the
// run files and the journal are removed. A run killed during the commit leaves the journal:
// undo_interrupted_commit() of the next run with the same key entry undoes it, or finishes the
// clean-up of a committed one, under the trust rules of commit_journal.h.
//
// Until the commit every target keeps its old content: a failure reported here, an
// internal-error stop, or SIGINT, SIGTERM or SIGHUP removes the staged files. A signal that
// arrives during the commit takes effect once the commit is done or undone. Each stop by one of
// these signals says on stderr which signal it was and what became of the outputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tool_names.h"

// Why a file could not be staged or committed.
struct output_failure {
    enum class step {
        open,
        write
    };  // reported as "Fail to open %s for writing" / "Fail to write %s"
    step failed;
    std::string path;    // the output path as the run was given it
    std::string reason;  // the operating system's reason, and the step that failed
    std::string detail;  // further detail lines, each "  ...\n": what became of the commit
};

// Installs the stop on SIGINT, SIGTERM and SIGHUP (remove the staged files, say so, end by the
// signal) and the removal of staged files at an internal-error stop. Once per process, before
// anything is staged.
void prepare_for_outputs();

// Undoes a commit that a run with the key entry `key_path` left unfinished (killed, or a power
// loss), as its journal records it, and says so on stderr. Nothing when there is none.
std::optional<output_failure> undo_interrupted_commit(const std::string& key_path);

// Stages `count` bytes for `path`. Refuses a target that exists but is not a regular file (a
// folder, FIFO, socket or device), or that the process may not write, without touching it.
std::optional<output_failure> stage_output(const std::string& path, const uint8_t* bytes,
                                           size_t count);

// Commits every staged file: all of them replace their targets, or none does.
std::optional<output_failure> commit_staged_outputs();

// Removes every staged file that is not committed yet.
void remove_staged_outputs();
