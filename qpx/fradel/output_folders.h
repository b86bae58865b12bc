// The folders a run writes into, held open for the whole run.
//
// The first time an output path names a folder, the folder is resolved (links followed, ".."
// taken after them, as the kernel does) and opened; from then on everything the run does there
// (check the target, create, flush, rename and remove files, lock) goes through that
// descriptor, never again through the path. A folder moved away or replaced by a link while
// the run goes on therefore cannot redirect a write: every file lands in the folder that was
// resolved. Each distinct folder is opened once, however it is named.
#pragma once

#include <cstdint>
#include <string>

#include "file_primitives.h"

struct held_folder {
    std::string path;  // resolved full path: for messages, journals and relative links
    fio::handle folder;
    fio::identity identity;       // device and inode tell one folder from another
    bool case_sensitive = false;  // keeps names that differ only in case apart
    bool sticky() const { return (identity.mode & 01000) != 0; }  // only owners replace files
};

// Where a write through an output path lands: a name inside a held folder.
struct output_place {
    uint32_t folder = 0;     // index of the held folder
    std::string name;        // the last name, links followed; never empty, ".", ".." or with '/'
    bool exists = false;     // something is at that name (not a link: links were followed)
    fio::identity existing;  // what is there, when it exists
};

// Resolves `path` to its output place, holding its folder. Returns 0, or the system's reason
// (errno) why it cannot be told: a folder part that is missing or cannot be opened, a link that
// cannot be read, a name that cannot be examined, links that loop, a name too long. Every
// failure is reported; nothing that could not be read is taken as "not there" or "not a link".
int resolve_output_place(const std::string& path, output_place& place);

// Holds the folder at `path` (as resolve_output_place does for an output's folder): 0 and its
// index in `index`, or the system's reason.
int hold_folder(const std::string& path, uint32_t& index);

const held_folder& folder_at(uint32_t index);

// "<folder path>/<name>" for messages.
std::string place_path(uint32_t folder, const std::string& name);
std::string place_path(const held_folder& folder, const std::string& name);

// What was seen when the last folder refused by check_identities was refused ("" for none):
// the text of a detail line for the failure of the path that named it.
const std::string& folder_refusal();

// The index of a folder already held that is the folder `identity` names, if any.
bool find_held_folder(const fio::identity& identity, uint32_t& index);
