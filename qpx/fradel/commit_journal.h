// The journal of a commit: the record from which an unfinished commit is undone.
//
// Before the first rename of a commit, every target that exists keeps a way back: a second
// name (a hard link, or where the file system has none, a flushed copy) in its own folder. The
// journal, a small text file beside the key entry, lists each target with its staged file,
// its way back and the staged file's inode, and is flushed before the first rename. Undoing
// goes through the entries in reverse: a way back is renamed over its target, a target that
// did not exist before is removed when it is the staged file, and staged files are removed.
// Each step is safe to repeat, so undoing a commit that was cut short anywhere (even while
// the journal itself was written, or during an earlier undo) restores every target.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "output_folders.h"

inline constexpr const char* kJournalSuffix = ".kvr_sign-journal";

struct journal_entry {
    uint32_t folder = 0;  // index into the journal's folders
    std::string name;     // the target
    std::string staged;   // the staged file renamed over it
    std::string backup;   // its way back; empty when the target did not exist
    ino_t staged_inode = 0;
};

struct journal {
    std::vector<std::string> folders;  // resolved full paths
    std::vector<journal_entry> entries;
    bool complete = false;  // written whole: its end mark was found
};

std::string journal_text(const journal& record);

// Reads a journal's text; false when it is not one.
bool parse_journal(const std::string& text, journal& record);

// What an undo did: the targets it put back, and the staged files and ways back it could not
// remove (detail lines "  not removed: <path> (<reason>)").
struct undo_outcome {
    size_t restored = 0;
    std::string leftovers;
};

// Undoes the journal's entries, in reverse, in the folders given (held folders, one per journal
// folder). Returns 0 when every target is as it was before the commit, or the reason of the
// first step that failed; the steps after it are still tried, and a repeat picks up where this
// one failed. A staged file or way back that cannot be removed is named, not a failure.
int undo_entries(const journal& record, const std::vector<uint32_t>& held, undo_outcome& outcome);

// Removes `name` from `folder` when it is there; a failure is named in `leftovers`.
void remove_leftover(const held_folder& folder, const std::string& name, std::string& leftovers);

// The journal's name beside the key entry named `key_name`, shortened to fit a name.
std::string journal_name(const std::string& key_name);
