// The journal of a commit (see commit_journal.h).
#include "commit_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "staged_outputs.h"
#include "zrl_core.h"

namespace {

constexpr const char* kHeader = "kvr_sign commit journal 1";
constexpr const char* kEndMark = "end";
constexpr size_t kMostNameBytes = 255;

// Names and paths are bytes: hex keeps every one on its line, whatever it holds.
std::string hex_of(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex.push_back(kHex[byte >> 4]);
        hex.push_back(kHex[byte & 0x0F]);
    }
    return hex;
}

bool bytes_of(const std::string& hex, std::string& bytes) {
    if (hex == "-") {
        bytes.clear();
        return true;
    }
    if (hex.size() % 2 != 0) {
        return false;
    }
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) {
            return false;
        }
        bytes.push_back(static_cast<char>(value));
    }
    return true;
}

bool parse_entry(std::istringstream& line, size_t folders, journal_entry& entry) {
    std::string name, staged, backup;
    if (!(line >> entry.folder >> name >> staged >> backup >> entry.staged_inode) ||
        entry.folder >= folders) {
        return false;
    }
    return bytes_of(name, entry.name) && bytes_of(staged, entry.staged) &&
           bytes_of(backup, entry.backup) && !entry.name.empty() && !entry.staged.empty();
}

bool parse_line(const std::string& text, journal& record) {
    std::istringstream line(text);
    std::string kind;
    line >> kind;
    if (kind == "folder") {
        std::string hex, path;
        if (!(line >> hex) || !bytes_of(hex, path) || path.empty()) {
            return false;
        }
        record.folders.push_back(path);
        return true;
    }
    if (kind == "file") {
        journal_entry entry;
        if (!parse_entry(line, record.folders.size(), entry)) {
            return false;
        }
        record.entries.push_back(std::move(entry));
        return true;
    }
    return false;
}

// The name a way back has while it is copied.
std::string copy_name(const std::string& backup) {
    std::string name = backup;
    const size_t marker = name.rfind(kBackupMarker);
    return marker == std::string::npos
               ? std::string()
               : name.replace(marker, std::strlen(kBackupMarker), kCopyMarker);
}

// Puts one target back as it was; each step may be repeated.
int undo_entry(const journal_entry& entry, const held_folder& folder, undo_outcome& outcome) {
    const int at = folder.descriptor;
    struct stat target {};
    struct stat backup {};
    const bool has_target = ::fstatat(at, entry.name.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0;
    if (!has_target && errno != ENOENT) {
        return errno;
    }
    if (!entry.backup.empty() &&
        ::fstatat(at, entry.backup.c_str(), &backup, AT_SYMLINK_NOFOLLOW) == 0) {
        // Renaming one name of a file over another of the same file does nothing: the way back
        // is then removed below.
        if (::renameat(at, entry.backup.c_str(), at, entry.name.c_str()) != 0) {
            return errno;
        }
        outcome.restored += has_target && target.st_ino == backup.st_ino ? 0 : 1;
    } else if (!entry.backup.empty() && errno != ENOENT) {
        return errno;
    } else if (has_target && target.st_dev == folder.device &&
               target.st_ino == entry.staged_inode) {
        // No way back: the target was new (or its way back was never made, and then the staged
        // file was never renamed either).
        if (::unlinkat(at, entry.name.c_str(), 0) != 0) {
            return errno;
        }
        ++outcome.restored;
    }
    remove_leftover(folder, entry.backup, outcome.leftovers);
    remove_leftover(folder, copy_name(entry.backup), outcome.leftovers);
    remove_leftover(folder, entry.staged, outcome.leftovers);
    return 0;
}

}  // namespace

std::string journal_text(const journal& record) {
    std::string text = std::string(kHeader) + "\n";
    for (const std::string& folder : record.folders) {
        text += "folder " + hex_of(folder) + "\n";
    }
    for (const journal_entry& entry : record.entries) {
        text += "file " + std::to_string(entry.folder) + " " + hex_of(entry.name) + " " +
                hex_of(entry.staged) + " " + (entry.backup.empty() ? "-" : hex_of(entry.backup)) +
                " " + std::to_string(entry.staged_inode) + "\n";
    }
    return text + kEndMark + "\n";
}

bool parse_journal(const std::string& text, journal& record) {
    std::istringstream lines(text);
    std::string line;
    if (text.empty()) {
        return true;  // created, stopped before anything was written: nothing was renamed
    }
    if (!std::getline(lines, line) || line != kHeader) {
        return false;
    }
    while (std::getline(lines, line)) {
        if (line == kEndMark) {
            record.complete = lines.peek() == std::char_traits<char>::eof();
            return record.complete;
        }
        // A journal cut short by a stop while it was written lists no rename that happened:
        // its whole lines are undone like the rest, a cut last line is left out.
        if (lines.eof() || !parse_line(line, record)) {
            return lines.eof();
        }
    }
    return true;
}

int undo_entries(const journal& record, const std::vector<uint32_t>& held, undo_outcome& outcome) {
    int first_error = 0;
    for (auto entry = record.entries.rbegin(); entry != record.entries.rend(); ++entry) {
        const int error = undo_entry(*entry, folder_at(held[entry->folder]), outcome);
        first_error = first_error != 0 ? first_error : error;
    }
    return first_error;
}

void remove_leftover(const held_folder& folder, const std::string& name, std::string& leftovers) {
    if (!name.empty() && ::unlinkat(folder.descriptor, name.c_str(), 0) != 0 && errno != ENOENT) {
        const std::string path = (folder.path == "/" ? "" : folder.path) + "/" + name;
        leftovers +=
            "  not removed: " + fio_printable_text(path) + " (" + std::strerror(errno) + ")\n";
    }
}

std::string journal_name(const std::string& key_name) {
    const size_t kept = std::min(key_name.size(), kMostNameBytes - std::strlen(kJournalSuffix));
    return key_name.substr(0, kept) + kJournalSuffix;
}
