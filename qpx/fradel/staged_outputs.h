// All-or-nothing writing of the files a run produces.
//
// Every file is first written, through movira_ofstream, to a new staged file in its target's
// folder, "<name>.kvr_sign-staged-XXXXXX": created exclusively (never through a link, never a
// FIFO), with the permission bits and, where the process may set it, the owner of the file it
// replaces. commit_staged_outputs() then makes the staged data durable, locks every target
// folder (in one fixed order, so that two runs commit one after the other) and renames each
// staged file over its target, in the order the files were staged.
//
// Until the commit every target keeps its old content: a failure reported here, an internal-error
// stop, or SIGINT, SIGTERM or SIGHUP removes the staged files. A signal that arrives during the
// commit takes effect once the commit is done. Only SIGKILL can leave staged files behind; their
// names never end in ".module" and no later run uses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Marks the name of a staged file.
inline constexpr const char* kStagedMarker = ".kvr_sign-staged-";

// Why a file could not be staged or committed.
struct output_failure {
    enum class step {
        open,
        write
    };  // reported as "Fail to open %s for writing" / "Fail to write %s"
    step failed;
    std::string path;    // the output path as the run was given it
    std::string reason;  // the operating system's reason
};

// Stages `count` bytes for `path`. Refuses a target that exists but is not a regular file (a
// folder, FIFO, socket or device), or that the process may not write, without touching it.
std::optional<output_failure> stage_output(const std::string& path, const uint8_t* bytes,
                                           size_t count);

// Makes every staged file durable and renames it over its target. A failure before the first
// rename leaves every target as it was; the staged files are removed either way.
std::optional<output_failure> commit_staged_outputs();

// Removes every staged file that is not committed yet.
void remove_staged_outputs();
