// All-or-nothing writing of the files a run produces.
//
// Every file is first written to a new staged file in its target's folder,
// "<name>.kvr_sign-staged-XXXXXX": created exclusively (never through a link, never a FIFO),
// with the permission bits and, where the process may set it, the owner of the file it
// replaces. Folders are held by descriptor from the moment a path names them (see
// output_folders.h), so every step below happens in the folder that was resolved.
//
// commit_staged_outputs() then flushes the staged data, locks every target folder (in one
// fixed order, so that two runs commit one after the other), keeps a way back for every target
// that exists, writes and flushes a journal beside the first staged file (the key entry), and
// renames each staged file over its target, in the order the files were staged. A rename, flush
// or removal that fails undoes the commit: every target is as it was. After the last rename the
// journal and the ways back are removed. A run killed during the commit leaves the journal;
// undo_interrupted_commit() of the next run with the same key entry puts every target back.
//
// Until the commit every target keeps its old content: a failure reported here, an
// internal-error stop, or SIGINT, SIGTERM or SIGHUP removes the staged files. A signal that
// arrives during the commit takes effect once the commit is done or undone. Each stop by one of
// these signals says on stderr which signal it was and whether the outputs changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Marks the name of a staged file and of a way back.
inline constexpr const char* kStagedMarker = ".kvr_sign-staged-";
inline constexpr const char* kBackupMarker = ".kvr_sign-backup-";
inline constexpr const char* kCopyMarker = ".kvr_sign-copied-";  // a way back being copied

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
