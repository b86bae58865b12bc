// The names of the files the tool keeps beside its outputs while a run writes them.
//
// Every run draws one run id of six letters. Its files are named after their target and that
// id: "<target>.kvr_sign-staged-<id>" (the new file), "<target>.kvr_sign-pending-<id>" (a way
// back to the old file before the journal names it), "<target>.kvr_sign-backup-<id>" (the way
// back the journal names), and in each folder the run writes to, ".kvr_sign-run-<id>", which
// the run holds locked for its whole life: a later run that finds files of an id whose run file
// is not locked knows that their run is dead.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

inline constexpr const char* kStagedMarker = ".kvr_sign-staged-";
inline constexpr const char* kPendingMarker = ".kvr_sign-pending-";
inline constexpr const char* kBackupMarker = ".kvr_sign-backup-";
inline constexpr const char* kRunFilePrefix = ".kvr_sign-run-";
inline constexpr const char* kJournalSuffix = ".kvr_sign-journal";
inline constexpr size_t kRunIdLetters = 6;
// NAME_MAX of the file systems written to: bytes, on Windows UTF-16 units (fio::name_length).
inline constexpr size_t kMostNameBytes = 255;
#ifdef _WIN32
inline constexpr size_t kMostNameTextBytes = 3 * kMostNameBytes;  // that many units in UTF-8
#else
inline constexpr size_t kMostNameTextBytes = kMostNameBytes;
#endif

using run_id = std::array<char, kRunIdLetters>;

// This process's run id, drawn on first use (by the main thread).
const run_id& this_run();
// Draws this run's id now, on the main thread, so that stop handlers only ever read it.
void draw_run_id();
// Whether the id was drawn: a stop handler that finds it not drawn has no run files to remove.
bool run_id_drawn();

// Whether `letters` could be a run id.
bool is_run_id(const char* letters, size_t count);

// "<name><marker><id>". A name too long to take the marker is cut and given a hash of the
// whole name, so that two long names that differ only near the end keep apart. Composed in
// place without allocating: a signal handler uses it.
class marked_name {
  public:
    marked_name(const std::string& name, const char* marker, const run_id& id);
    const char* c_str() const { return text_; }

  private:
    char text_[kMostNameTextBytes + 1] = {};
};

// ".kvr_sign-run-<id>".
marked_name run_file_name(const run_id& id);

// The journal's name beside the key entry named `key_name`: "<key>.kvr_sign-journal", or for a
// name too long for that, its first bytes and a digest of the whole name.
std::string journal_name(const std::string& key_name);

// When `name` is a file a run of this tool stages ("...staged-<id>" or "...pending-<id>") or its
// run file, the id of that run.
bool run_of_leftover(const std::string& name, run_id& id, bool& is_run_file);
