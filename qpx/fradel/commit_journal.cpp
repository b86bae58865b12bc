// The journal of a commit (see commit_journal.h).
#include "commit_journal.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "zrl_core.h"

namespace {

constexpr const char* kHeader = "kvr_sign commit journal 2";
constexpr const char* kOldHeader = "kvr_sign commit journal 1";
constexpr const char* kEndMark = "end";
constexpr const char* kDigestTag = "sha256=";
constexpr size_t kDigestBytes = 32;

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

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool bytes_of(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit(hex[i]);
        const int low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

// One name inside a folder: never a path, never the folder itself or its parent.
bool is_one_component(const std::string& name) {
    return name.size() <= kMostNameBytes && fio::is_single_name(name);
}

std::string recorded_text(const recorded_file& file) {
    if (!file.present) {
        return "-";
    }
    return std::to_string(file.inode) + " " + std::to_string(file.owner) + " " +
           std::to_string(file.group) + " " + std::to_string(file.mode) + " " +
           std::to_string(file.size);
}

bool parse_recorded(std::istringstream& line, recorded_file& file) {
    std::string first;
    if (!(line >> first)) {
        return false;
    }
    if (first == "-") {
        file = recorded_file{};
        return true;
    }
    std::istringstream inode(first);
    file.present = true;
    return static_cast<bool>(inode >> file.inode) && inode.eof() &&
           static_cast<bool>(line >> file.owner >> file.group >> file.mode >> file.size) &&
           file.mode <= 07777;
}

bool parse_folder(std::istringstream& line, journal& record) {
    std::string hex;
    journal_folder folder;
    if (!(line >> hex >> folder.device >> folder.inode) || !bytes_of(hex, folder.path) ||
        !fio::is_full_path(folder.path)) {
        return false;
    }
    record.folders.push_back(std::move(folder));
    return true;
}

bool parse_entry(std::istringstream& line, journal& record) {
    std::string hex;
    journal_entry entry;
    if (!(line >> entry.folder >> hex) || entry.folder >= record.folders.size() ||
        !bytes_of(hex, entry.name) || !is_one_component(entry.name) ||
        !parse_recorded(line, entry.staged) || !entry.staged.present ||
        !parse_recorded(line, entry.way_back) ||
        (entry.way_back.present && !(line >> entry.origin))) {
        return false;
    }
    std::string digest;
    if (line >> digest && (digest.rfind(kDigestTag, 0) != 0 ||
                           !bytes_of(digest.substr(std::strlen(kDigestTag)), entry.staged_sha256) ||
                           entry.staged_sha256.size() != kDigestBytes)) {
        return false;
    }
    record.entries.push_back(std::move(entry));
    return true;
}

bool parse_head(std::istringstream& line, const std::string& kind, journal& record) {
    std::string value;
    if (!(line >> value)) {
        return false;
    }
    if (kind == "run") {
        std::copy_n(value.data(), std::min(value.size(), kRunIdLetters), record.run.begin());
        return is_run_id(value.data(), value.size());
    }
    return bytes_of(value, record.key) && is_one_component(record.key);
}

bool parse_line(const std::string& text, journal& record) {
    std::istringstream line(text);
    std::string kind;
    line >> kind;
    bool parsed = false;
    if (kind == "run" || kind == "key") {
        // Each once, before anything it names.
        const bool seen = kind == "run" ? record.run != run_id{} : !record.key.empty();
        parsed = !seen && record.folders.empty() && parse_head(line, kind, record);
    } else if (kind == "folder") {
        parsed = parse_folder(line, record);
    } else if (kind == "file") {
        parsed = parse_entry(line, record);
    }
    std::string rest;
    return parsed && !(line >> rest);
}

// What follows the end mark: nothing, the committed mark, or a mark cut short by a power cut
// (a prefix of it, or bytes never written, read back as zeros); the last two are not committed.
bool parse_tail(const std::string& tail, journal& record) {
    record.committed = tail == kCommittedMark;
    const bool cut_mark = std::string_view(kCommittedMark).substr(0, tail.size()) == tail;
    const bool unwritten = tail.find_first_not_of('\0') == std::string::npos;
    return record.committed || cut_mark || unwritten;
}

// Why the file opened as a journal may not be trusted; "" when it may.
std::string distrust_of(const fio::identity& file) {
    if (file.kind != fio::file_kind::regular) {
        return file.kind == fio::file_kind::link ? "it is a symbolic link"
                                                 : "it is not a regular file";
    }
    if (std::string why = fio::why_not_only_mine(file, false); !why.empty()) {
        return why;
    }
    if (file.size > kMostJournalBytes) {
        return "it holds " + std::to_string(file.size) + " bytes, more than a journal may (" +
               std::to_string(kMostJournalBytes) + ")";
    }
    return {};
}

// ---- Undo and clean-up --------------------------------------------------------------------

enum class seen { absent, matches, other };

bool matches(const fio::identity& found, const recorded_file& file, const held_folder& folder) {
    return found.kind == fio::file_kind::regular && found.device == folder.identity.device &&
           found.inode == file.inode && found.owner == file.owner && found.group == file.group &&
           found.mode == file.mode && found.size == file.size;
}

// Looks at `name`: absent, the recorded file, or something else. Another error is returned.
int look_at(const held_folder& folder, const char* name, const recorded_file& file, seen& what,
            fio::identity& found) {
    const int error = fio::identify_at(folder.folder, name, found);
    if (error != 0) {
        what = seen::absent;
        return error == ENOENT ? 0 : error;
    }
    what = file.present && matches(found, file, folder) ? seen::matches : seen::other;
    return 0;
}

void note(std::string& lines, const char* what, const held_folder& folder, const char* name,
          const char* why) {
    lines += std::string("  ") + what + ": " + fio_printable_text(place_path(folder, name)) + " (" +
             why + ")\n";
}

// Removes `name` only while it is still the recorded file; another file there is named.
int remove_if_recorded(const held_folder& folder, const char* name, const recorded_file& file,
                       undo_outcome& outcome) {
    seen what = seen::absent;
    fio::identity found;
    if (const int error = look_at(folder, name, file, what, found); error != 0) {
        return error;
    }
    if (what == seen::matches) {
        remove_leftover(folder, name, outcome.leftovers);
    } else if (what == seen::other) {
        note(outcome.leftovers, "not touched", folder, name, "not the file the journal records");
    }
    return 0;
}

// The name under which the entry's way back is (the journal's name for it, or the name it had
// before the journal was written); nullptr when neither holds the recorded file.
const char* way_back_of(const journal_entry& entry, const held_folder& folder,
                        const marked_name& backup, const marked_name& pending,
                        undo_outcome& outcome, int& error) {
    for (const marked_name* name : {&backup, &pending}) {
        seen what = seen::absent;
        fio::identity found;
        if ((error = look_at(folder, name->c_str(), entry.way_back, what, found)) != 0) {
            return nullptr;
        }
        if (what == seen::matches) {
            return name->c_str();
        }
        if (what == seen::other) {
            note(outcome.leftovers, "not touched", folder, name->c_str(),
                 "not the file the journal records");
        }
    }
    return nullptr;
}

// Puts the old file back at the target from its way back, when the target is still the staged
// file the commit renamed there, or is missing.
int restore_target(const journal_entry& entry, const held_folder& folder, const char* way_back,
                   bool target_ours, const fio::identity& target, undo_outcome& outcome) {
    const bool target_present = target.kind != fio::file_kind::missing;
    if (way_back == nullptr) {
        if (target_ours) {
            note(outcome.leftovers, "not put back", folder, entry.name.c_str(),
                 "its way back is gone");
            return ENOENT;
        }
        return 0;
    }
    fio::identity kept;
    if (const int error = fio::identify_at(folder.folder, way_back, kept); error != 0) {
        return error;
    }
    // Still the old file (the way back is a second name of it, or a copy of it): never
    // renamed over, nothing to put back.
    if (target_present && (target.same_file(kept) ||
                           (target.inode == entry.origin && target.size == entry.way_back.size &&
                            target.device == folder.identity.device))) {
        remove_leftover(folder, way_back, outcome.leftovers);
        return 0;
    }
    if (target_present && !target_ours) {
        outcome.leftovers +=
            "  left as it is: " + fio_printable_text(place_path(folder, entry.name)) +
            " (written by another run since); the file it held before is kept "
            "as " +
            fio_printable_text(place_path(folder, way_back)) + "\n";
        return 0;
    }
    if (const int error = fio::rename_at(folder.folder, way_back, entry.name.c_str()); error != 0) {
        return error;
    }
    ++outcome.restored;
    return 0;
}

// Whether the target, which has the staged file's identity, also has its content: an inode
// number freed and given to a newer file must not pass for the staged file.
int holds_staged_content(const journal_entry& entry, const held_folder& folder, bool& holds) {
    if (entry.staged_sha256.empty()) {
        return 0;
    }
    fio::handle file;
    std::string content;
    int error = fio::open_at(folder.folder, entry.name.c_str(), false, file);
    error = error != 0 ? error : fio::read_up_to(file, entry.staged.size, content);
    holds = error == 0 && content_sha256(content.data(), content.size()) == entry.staged_sha256;
    OPENSSL_cleanse(content.data(), content.size());
    return error == EFBIG ? 0 : error;  // longer than the staged file: not it
}

int undo_entry(const journal& record, const journal_entry& entry, const held_folder& folder,
               undo_outcome& outcome) {
    fio::identity target;
    int error = fio::identify_at(folder.folder, entry.name.c_str(), target);
    if (error != 0 && error != ENOENT) {
        return error;
    }
    if (error == ENOENT) {
        target = fio::identity{};
    }
    bool target_ours = error == 0 && matches(target, entry.staged, folder);
    if (target_ours && (error = holds_staged_content(entry, folder, target_ours)) != 0) {
        return error;
    }
    const marked_name staged(entry.name, kStagedMarker, record.run);
    if (!entry.way_back.present) {
        if (target_ours && (error = fio::remove_at(folder.folder, entry.name.c_str())) != 0) {
            return error;
        }
        outcome.restored += target_ours ? 1 : 0;
        return remove_if_recorded(folder, staged.c_str(), entry.staged, outcome);
    }
    const marked_name backup(entry.name, kBackupMarker, record.run);
    const marked_name pending(entry.name, kPendingMarker, record.run);
    const char* way_back = way_back_of(entry, folder, backup, pending, outcome, error);
    if (error != 0) {
        return error;
    }
    error = restore_target(entry, folder, way_back, target_ours, target, outcome);
    const int staged_error = remove_if_recorded(folder, staged.c_str(), entry.staged, outcome);
    return error != 0 ? error : staged_error;
}

void skipped_folder(const journal& record, uint32_t index, undo_outcome& outcome) {
    const std::string shown = fio_printable_text(record.folders[index].path);
    outcome.skipped_folder = true;
    if (outcome.leftovers.find("  folder " + shown + ":") == std::string::npos) {
        outcome.leftovers +=
            "  folder " + shown +
            ": gone, or not the folder the journal names; nothing in it was touched\n";
    }
}

}  // namespace

std::string content_sha256(const void* bytes, size_t count) {
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
    if (EVP_Digest(bytes, count, digest, &length, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(digest), length);
}

recorded_file record_of(const fio::identity& identity) {
    return {true, identity.inode, identity.owner, identity.group, identity.mode, identity.size};
}

std::string journal_text(const journal& record) {
    std::string text = std::string(kHeader) + "\nrun " +
                       std::string(record.run.begin(), record.run.end()) + "\nkey " +
                       hex_of(record.key) + "\n";
    for (const journal_folder& folder : record.folders) {
        text += "folder " + hex_of(folder.path) + " " + std::to_string(folder.device) + " " +
                std::to_string(folder.inode) + "\n";
    }
    for (const journal_entry& entry : record.entries) {
        text += "file " + std::to_string(entry.folder) + " " + hex_of(entry.name) + " " +
                recorded_text(entry.staged) + " " + recorded_text(entry.way_back) +
                (entry.way_back.present ? " " + std::to_string(entry.origin) : "") +
                (entry.staged_sha256.empty()
                     ? ""
                     : " " + std::string(kDigestTag) + hex_of(entry.staged_sha256)) +
                "\n";
    }
    return text + kEndMark + "\n";
}

std::string parse_journal(const std::string& text, journal& record) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kHeader) {
        return line == kOldHeader ? "it is in the format of an earlier version, which this one "
                                    "does not act on (its ways back are the files beside their "
                                    "targets named *.kvr_sign-backup-*)"
                                  : "it does not begin as a journal of this tool";
    }
    for (size_t number = 2; std::getline(lines, line); ++number) {
        if (line == kEndMark && !lines.eof()) {
            const auto tail = static_cast<size_t>(lines.tellg());
            if (!parse_tail(text.substr(tail), record)) {
                return "unexpected bytes after its end mark";
            }
            if (record.run == run_id{} || record.key.empty() || record.entries.empty() ||
                record.entries.front().name != record.key) {
                return "it does not name its run and its key entry first";
            }
            return {};
        }
        if (lines.eof() || !parse_line(line, record)) {
            return lines.eof() ? "it is not complete (its end mark is missing)"
                               : "line " + std::to_string(number) + " is not well formed";
        }
    }
    return "it is not complete (its end mark is missing)";
}

int read_trusted_journal(const held_folder& folder, const std::string& name, std::string& text,
                         std::string& refusal, std::string& hint) {
    fio::identity named;
    if (const int error = fio::identify_at(folder.folder, name.c_str(), named); error != 0) {
        return error;
    }
    // Nothing but a regular file is opened: a FIFO or device is never waited on.
    if ((refusal = distrust_of(named)).empty()) {
        fio::handle file;
        fio::identity opened;
        int error = fio::open_at(folder.folder, name.c_str(), false, file);
        error = error != 0 ? error : fio::identify(file, opened);
        if (error != 0) {
            return error == ENOENT ? EAGAIN : error;
        }
        if (!opened.same_file(named) || !(refusal = distrust_of(opened)).empty()) {
            refusal = refusal.empty() ? "it was replaced while it was read" : refusal;
        } else if ((error = fio::check_only_mine(file, false, refusal, hint)) != 0 &&
                   error != EPERM) {
            return error;  // (on Windows the owner and access list are only known here)
        } else if (error == 0 && (error = fio::read_up_to(file, kMostJournalBytes, text)) != 0) {
            return error;
        }
    }
    return refusal.empty() ? 0 : EPERM;
}

int undo_entries(const journal& record, const journal_folders& folders, undo_outcome& outcome) {
    int first_error = 0;
    for (auto entry = record.entries.rbegin(); entry != record.entries.rend(); ++entry) {
        if (folders[entry->folder] == nullptr) {
            skipped_folder(record, entry->folder, outcome);
            continue;
        }
        const int error = undo_entry(record, *entry, *folders[entry->folder], outcome);
        first_error = first_error != 0 ? first_error : error;
    }
    return first_error;
}

void finish_entries(const journal& record, const journal_folders& folders, undo_outcome& outcome) {
    for (const journal_entry& entry : record.entries) {
        const held_folder* folder = folders[entry.folder];
        if (folder == nullptr) {
            skipped_folder(record, entry.folder, outcome);
            continue;
        }
        for (const char* marker : {kBackupMarker, kPendingMarker}) {
            const marked_name name(entry.name, marker, record.run);
            remove_if_recorded(*folder, name.c_str(), entry.way_back, outcome);
        }
        const marked_name staged(entry.name, kStagedMarker, record.run);
        remove_if_recorded(*folder, staged.c_str(), entry.staged, outcome);
    }
}

void remove_leftover(const held_folder& folder, const char* name, std::string& leftovers) {
    const int error = fio::remove_at(folder.folder, name);
    if (error != 0 && error != ENOENT) {
        leftovers += "  not removed: " + fio_printable_text(place_path(folder, name)) + " (" +
                     std::strerror(error) + ")\n";
    }
}
