// The journal of a commit: the record from which an unfinished commit is undone or finished.
//
// Before the first rename of a commit, every target that exists keeps a way back to its old
// file (a second name, or where the file system has none, a flushed copy). The journal, a small
// text file beside the key entry, names the run, the key entry, each folder with its device and
// inode, and each target with the identity (inode, owner, group, mode, size) of its staged file
// and of its way back. It appears under its name whole or not at all, and is flushed before the
// first rename. After the last rename it is marked committed.
//
// A journal is evidence, never an instruction: one is acted on only when it is a regular file
// of this user that nobody else may write, of bounded size, complete and well formed, names
// only single path components, and belongs to this key entry. Undoing touches a target only
// while it is still the staged file that commit renamed there (or is missing), and uses a way
// back or removes a staged file only while it is still the file the journal records. Each step
// is safe to repeat.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file_primitives.h"
#include "output_folders.h"
#include "tool_names.h"

// What a file of the commit was when it was recorded.
struct recorded_file {
    bool present = false;
    uint64_t device = 0;  // the file's own device: on an overlay it is not its folder's
    uint64_t inode = 0;
    uint64_t inode_high = 0;
    uint32_t owner = 0;
    uint32_t group = 0;
    uint32_t mode = 0;
    uint64_t size = 0;
};

recorded_file record_of(const fio::identity& identity);

struct journal_folder {
    std::string path;  // full path, links resolved
    uint64_t device = 0;
    uint64_t inode = 0;
};

struct journal_entry {
    uint32_t folder = 0;  // index into the journal's folders
    std::string name;     // the target
    recorded_file staged;
    recorded_file way_back;       // not present: the target did not exist
    recorded_file origin;         // the old file the way back keeps (a copy's source): its identity
    std::string staged_sha256;    // of the staged file's content, when recorded (32 bytes)
    std::string way_back_sha256;  // of the way back's content, when recorded (32 bytes)
};

// The SHA-256 of `count` bytes, 32 bytes.
std::string content_sha256(const void* bytes, size_t count);

struct journal {
    run_id run{};
    std::string key;  // the key entry's name; its entry comes first
    std::vector<journal_folder> folders;
    std::vector<journal_entry> entries;
    bool committed = false;
};

inline constexpr const char* kCommittedMark = "committed\n";
inline constexpr size_t kMostJournalBytes = 64u << 20;

std::string journal_text(const journal& record);

// Reads a journal's text; "" when it is well formed, or why it is not.
std::string parse_journal(const std::string& text, journal& record);

// Reads the journal `name` in `folder` under the trust rules. 0 with its text; ENOENT when
// there is none; EPERM with `refusal` saying why it is not trusted (and `hint` when the
// system knows a way out); or the system's reason why it cannot be read.
int read_trusted_journal(const held_folder& folder, const std::string& name, std::string& text,
                         std::string& refusal, std::string& hint);

// What an undo or a clean-up did: the targets put back, and detail lines for what it left:
// "  not removed: <path> (<reason>)", "  left as it is: ...", "  not touched: ...",
// "  not put back: ...".
struct undo_outcome {
    size_t restored = 0;
    std::string leftovers;
    bool skipped_folder = false;  // a folder was gone or not the one recorded
    bool unproven = false;        // a file of the run not recognised, or a target not put back
    bool unremoved = false;       // a file of the run that could not be removed
};

// A folder of the journal as this run holds it. `folder` is nullptr for a folder that is gone
// (nothing in it is touched; a detail line says so). `by_content` marks a folder found at the
// recorded path under another identity (identities a remount changed): its files are known only
// by what identities cannot fake, their owner, mode, size and content digest.
struct journal_place {
    const held_folder* folder = nullptr;
    bool by_content = false;
};
using journal_folders = std::vector<journal_place>;

// Undoes the journal's entries, in reverse. Returns 0 when every target the commit changed is
// as it was before, or the reason of the first step that failed; the steps after it are still
// tried, and a repeat picks up where this one failed.
int undo_entries(const journal& record, const journal_folders& folders, undo_outcome& outcome);

// Finishes a commit marked committed: removes its ways back and staged files.
void finish_entries(const journal& record, const journal_folders& folders, undo_outcome& outcome);

// Removes `name` from `folder` when it is there; a failure is named in `leftovers` (with `what`
// the file is, when given) and answers false.
bool remove_leftover(const held_folder& folder, const char* name, std::string& leftovers,
                     const char* what = nullptr);
