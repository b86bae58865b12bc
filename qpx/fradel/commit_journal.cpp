// The journal of a commit (see commit_journal.h).
#include "commit_journal.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "zrl_core.h"

namespace {

constexpr const char* kHeader = "kvr_sign commit journal 3";
// Format 2 recorded inodes only, each file taken to be on its folder's device; its journals are
// still read, so that a commit the earlier version left is undone after an upgrade.
constexpr const char* kFormat2Header = "kvr_sign commit journal 2";
constexpr const char* kOldHeader = "kvr_sign commit journal 1";
constexpr const char* kEndMark = "end";
constexpr const char* kDigestTag = "sha256=";
constexpr const char* kWayBackDigestTag = "back=";
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
    return fio::name_length(name) <= kMostNameBytes && fio::is_single_name(name);
}

std::string identity_text(const recorded_file& file) {
    return std::to_string(file.device) + " " + std::to_string(file.inode) + " " +
           std::to_string(file.inode_high);
}

std::string recorded_text(const recorded_file& file) {
    if (!file.present) {
        return "-";
    }
    return identity_text(file) + " " + std::to_string(file.owner) + " " +
           std::to_string(file.group) + " " + std::to_string(file.mode) + " " +
           std::to_string(file.size);
}

// How a journal's lines are read: its format, and the device of the folder a file line names
// (what format 2 took every file's device to be).
struct line_format {
    bool format2 = false;
    uint64_t folder_device = 0;
};

// A file's identity: "<device> <inode> <inode high>", or in format 2 "<inode>" alone. The first
// word is read by the caller.
bool parse_identity(const std::string& first, std::istringstream& line, const line_format& format,
                    recorded_file& file) {
    std::istringstream word(first);
    if (format.format2) {
        file.device = format.folder_device;
        return static_cast<bool>(word >> file.inode) && word.eof();
    }
    return static_cast<bool>(word >> file.device) && word.eof() &&
           static_cast<bool>(line >> file.inode >> file.inode_high);
}

bool parse_recorded(std::istringstream& line, const line_format& format, recorded_file& file) {
    std::string first;
    if (!(line >> first)) {
        return false;
    }
    if (first == "-") {
        file = recorded_file{};
        return true;
    }
    file.present = true;
    return parse_identity(first, line, format, file) &&
           static_cast<bool>(line >> file.owner >> file.group >> file.mode >> file.size) &&
           file.mode <= 07777;
}

// The words after a file's identities: "sha256=<hex>" (the staged content) and, with a way
// back, "back=<hex>" (its content), each at most once and in that order.
bool parse_digests(std::istringstream& line, journal_entry& entry) {
    std::string word;
    while (line >> word) {
        const bool staged = word.rfind(kDigestTag, 0) == 0 && entry.staged_sha256.empty() &&
                            entry.way_back_sha256.empty();
        const bool way_back = word.rfind(kWayBackDigestTag, 0) == 0 && entry.way_back.present &&
                              entry.way_back_sha256.empty();
        std::string& digest = staged ? entry.staged_sha256 : entry.way_back_sha256;
        const char* tag = staged ? kDigestTag : kWayBackDigestTag;
        if ((!staged && !way_back) || !bytes_of(word.substr(std::strlen(tag)), digest) ||
            digest.size() != kDigestBytes) {
            return false;
        }
    }
    return true;
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

bool parse_origin(std::istringstream& line, const line_format& format, journal_entry& entry) {
    std::string first;
    entry.origin.present = entry.way_back.present;
    return !entry.way_back.present ||
           (line >> first && parse_identity(first, line, format, entry.origin));
}

bool parse_entry(std::istringstream& line, line_format format, journal& record) {
    std::string hex;
    journal_entry entry;
    if (!(line >> entry.folder >> hex) || entry.folder >= record.folders.size() ||
        !bytes_of(hex, entry.name) || !is_one_component(entry.name)) {
        return false;
    }
    format.folder_device = record.folders[entry.folder].device;
    if (!parse_recorded(line, format, entry.staged) || !entry.staged.present ||
        !parse_recorded(line, format, entry.way_back) || !parse_origin(line, format, entry) ||
        !parse_digests(line, entry)) {
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

bool parse_line(const std::string& text, const line_format& format, journal& record) {
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
        parsed = parse_entry(line, format, record);
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

bool same_attributes(const fio::identity& found, const recorded_file& file) {
    return found.kind == fio::file_kind::regular && found.owner == file.owner &&
           found.group == file.group && found.mode == file.mode && found.size == file.size;
}

bool same_identity(const fio::identity& found, const recorded_file& file) {
    return found.device == file.device && found.inode == file.inode &&
           found.inode_high == file.inode_high;
}

// Whether the file at `name` holds `size` bytes whose SHA-256 is `sha256`.
int holds_content(const held_folder& folder, const char* name, uint64_t size,
                  const std::string& sha256, bool& holds) {
    fio::handle file;
    std::string content;
    int error = fio::open_at(folder.folder, name, false, file);
    error = error != 0 ? error : fio::read_up_to(file, size, content);
    holds = error == 0 && content.size() == size &&
            content_sha256(content.data(), content.size()) == sha256;
    OPENSSL_cleanse(content.data(), content.size());
    return error == EFBIG ? 0 : error;  // longer than the recorded file: not it
}

// Whether `found`, at `name`, is the recorded file: its attributes, and its content where a
// digest was recorded (an inode number freed and given to a newer file must not pass for it,
// and a number a file system gives anew, after a remount or on every look, must not hide it).
// Only without a digest (a journal of the earlier format) does the identity decide, and only
// in a folder that is still the one recorded.
int recognise(const journal_place& place, const char* name, const fio::identity& found,
              const recorded_file& file, const std::string& sha256, bool& recognised) {
    recognised = false;
    if (!file.present || !same_attributes(found, file)) {
        return 0;
    }
    const int error =
        sha256.empty() ? EACCES : holds_content(*place.folder, name, file.size, sha256, recognised);
    if (error == EACCES || error == EPERM) {  // no digest, or a file this user may not read
        recognised = !place.by_content && same_identity(found, file);
        return 0;
    }
    return error;
}

// Whether the target holds the run's staged file: its content where a digest was recorded,
// whatever was done to its owner or bits since (each run signs with a key of its own, so no
// other run's file holds that content), else its identity and attributes.
int is_staged_file(const journal_entry& entry, const journal_place& place,
                   const fio::identity& target, bool& ours) {
    if (entry.staged_sha256.empty()) {
        return recognise(place, entry.name.c_str(), target, entry.staged, {}, ours);
    }
    ours = false;
    if (target.kind != fio::file_kind::regular || target.size != entry.staged.size) {
        return 0;
    }
    const int error =
        holds_content(*place.folder, entry.name.c_str(), target.size, entry.staged_sha256, ours);
    return error == EACCES || error == EPERM
               ? recognise(place, entry.name.c_str(), target, entry.staged, {}, ours)
               : error;
}

// Looks at `name`: absent, the recorded file, or something else. Another error is returned.
int look_at(const journal_place& place, const char* name, const recorded_file& file,
            const std::string& sha256, seen& what, fio::identity& found) {
    const int error = fio::identify_at(place.folder->folder, name, found);
    if (error != 0) {
        what = seen::absent;
        found = fio::identity{};
        return error == ENOENT ? 0 : error;
    }
    bool recognised = false;
    if (const int failed = recognise(place, name, found, file, sha256, recognised); failed != 0) {
        return failed;
    }
    what = recognised ? seen::matches : seen::other;
    return 0;
}

void note(std::string& lines, const char* what, const held_folder& folder, const char* name,
          const char* why) {
    lines += std::string("  ") + what + ": " + fio_printable_text(place_path(folder, name)) + " (" +
             why + ")\n";
}

void not_recognised(undo_outcome& outcome, const held_folder& folder, const char* name) {
    note(outcome.leftovers, "not touched", folder, name, "not the file the journal records");
    outcome.unproven = true;
}

void remove_own(const held_folder& folder, const char* name, undo_outcome& outcome) {
    outcome.unremoved |= !remove_leftover(folder, name, outcome.leftovers);
}

// Removes `name` only while it is still the recorded file; another file there is named.
int remove_if_recorded(const journal_place& place, const char* name, const recorded_file& file,
                       const std::string& sha256, undo_outcome& outcome) {
    seen what = seen::absent;
    fio::identity found;
    if (const int error = look_at(place, name, file, sha256, what, found); error != 0) {
        return error;
    }
    if (what == seen::matches) {
        remove_own(*place.folder, name, outcome);
    } else if (what == seen::other) {
        not_recognised(outcome, *place.folder, name);
    }
    return 0;
}

// The name under which the entry's way back is (the journal's name for it, or the name it had
// before the journal was written); nullptr when neither holds the recorded file.
const char* way_back_of(const journal_entry& entry, const journal_place& place,
                        const marked_name& backup, const marked_name& pending,
                        undo_outcome& outcome, int& error) {
    for (const marked_name* name : {&backup, &pending}) {
        seen what = seen::absent;
        fio::identity found;
        if ((error = look_at(place, name->c_str(), entry.way_back, entry.way_back_sha256, what,
                             found)) != 0) {
            return nullptr;
        }
        if (what == seen::matches) {
            return name->c_str();
        }
        if (what == seen::other) {
            not_recognised(outcome, *place.folder, name->c_str());
        }
    }
    return nullptr;
}

// Whether the target is still the old file: the way back is a second name of it, or the
// target is the file the way back was copied from, with the way back's content. An inode
// number can be given again to a newer file, so the content decides where it was recorded.
int is_old_file(const journal_entry& entry, const journal_place& place, const fio::identity& target,
                const fio::identity& kept, bool& old) {
    if (!place.by_content && target.same_file(kept)) {
        old = true;
        return 0;
    }
    old = false;
    if (target.kind != fio::file_kind::regular || target.size != entry.way_back.size) {
        return 0;
    }
    const int error = entry.way_back_sha256.empty()
                          ? EACCES
                          : holds_content(*place.folder, entry.name.c_str(), target.size,
                                          entry.way_back_sha256, old);
    if (error == EACCES || error == EPERM) {  // no digest, or a file this user may not read
        old = !place.by_content && same_identity(target, entry.origin);
        return 0;
    }
    return error;
}

// Puts the old file back at the target from its way back, when the target is still the staged
// file the commit renamed there, or is missing.
int restore_target(const journal_entry& entry, const journal_place& place, const char* way_back,
                   bool target_ours, const fio::identity& target, undo_outcome& outcome) {
    const held_folder& folder = *place.folder;
    const bool target_present = target.kind != fio::file_kind::missing;
    if (way_back == nullptr) {
        if (target_ours || !target_present) {
            note(outcome.leftovers, "not put back", folder, entry.name.c_str(),
                 "its way back is gone");
            outcome.unproven = true;
        }
        return 0;
    }
    fio::identity kept;
    if (const int error = fio::identify_at(folder.folder, way_back, kept); error != 0) {
        return error;
    }
    bool old = false;
    if (target_present) {
        if (const int error = is_old_file(entry, place, target, kept, old); error != 0) {
            return error;
        }
    }
    if (old) {  // never renamed over: nothing to put back
        remove_own(folder, way_back, outcome);
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

int undo_entry(const journal& record, const journal_entry& entry, const journal_place& place,
               undo_outcome& outcome) {
    const held_folder& folder = *place.folder;
    fio::identity target;
    int error = fio::identify_at(folder.folder, entry.name.c_str(), target);
    if (error != 0 && error != ENOENT) {
        return error;
    }
    if (error == ENOENT) {
        target = fio::identity{};
    }
    bool target_ours = false;
    if (error == 0 && (error = is_staged_file(entry, place, target, target_ours)) != 0) {
        return error;
    }
    const marked_name staged(entry.name, kStagedMarker, record.run);
    if (!entry.way_back.present) {
        if (target_ours && (error = fio::remove_at(folder.folder, entry.name.c_str())) != 0) {
            return error;
        }
        outcome.restored += target_ours ? 1 : 0;
        return remove_if_recorded(place, staged.c_str(), entry.staged, entry.staged_sha256,
                                  outcome);
    }
    const marked_name backup(entry.name, kBackupMarker, record.run);
    const marked_name pending(entry.name, kPendingMarker, record.run);
    const char* way_back = way_back_of(entry, place, backup, pending, outcome, error);
    if (error != 0) {
        return error;
    }
    error = restore_target(entry, place, way_back, target_ours, target, outcome);
    // A rename's two halves may reach the disk apart: the way back may have kept its first
    // name beside its journal's one.
    if (error == 0 && way_back == backup.c_str()) {
        error = remove_if_recorded(place, pending.c_str(), entry.way_back, entry.way_back_sha256,
                                   outcome);
    }
    const int staged_error =
        remove_if_recorded(place, staged.c_str(), entry.staged, entry.staged_sha256, outcome);
    return error != 0 ? error : staged_error;
}

// A file of the run that could not even be looked at stays, named, for the next run.
void not_removed_for(int error, const held_folder& folder, const char* name,
                     undo_outcome& outcome) {
    if (error != 0) {
        note(outcome.leftovers, "not removed", folder, name, fio::error_text(error).c_str());
        outcome.unremoved = true;
    }
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
    const bool made = EVP_Digest(bytes, count, digest, &length, EVP_sha256(), nullptr) == 1;
    std::string value(reinterpret_cast<const char*>(digest), made ? length : 0);
    OPENSSL_cleanse(digest, sizeof digest);
    return value;
}

recorded_file record_of(const fio::identity& identity) {
    return {true,           identity.device, identity.inode, identity.inode_high,
            identity.owner, identity.group,  identity.mode,  identity.size};
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
                recorded_text(entry.staged) + " " + recorded_text(entry.way_back);
        if (entry.way_back.present) {
            text.append(" ").append(identity_text(entry.origin));
        }
        if (!entry.staged_sha256.empty()) {
            text.append(" ").append(kDigestTag).append(hex_of(entry.staged_sha256));
        }
        if (!entry.way_back_sha256.empty()) {
            text.append(" ").append(kWayBackDigestTag).append(hex_of(entry.way_back_sha256));
        }
        text += "\n";
    }
    return text + kEndMark + "\n";
}

std::string parse_journal(const std::string& text, journal& record) {
    std::istringstream lines(text);
    std::string line;
    const bool read = static_cast<bool>(std::getline(lines, line));
    const line_format format{read && line == kFormat2Header, 0};
    if (!read || (line != kHeader && !format.format2)) {
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
        if (lines.eof() || !parse_line(line, format, record)) {
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
        if (folders[entry->folder].folder == nullptr) {
            skipped_folder(record, entry->folder, outcome);
            continue;
        }
        const int error = undo_entry(record, *entry, folders[entry->folder], outcome);
        first_error = first_error != 0 ? first_error : error;
    }
    return first_error;
}

void finish_entries(const journal& record, const journal_folders& folders, undo_outcome& outcome) {
    for (const journal_entry& entry : record.entries) {
        const journal_place& place = folders[entry.folder];
        if (place.folder == nullptr) {
            skipped_folder(record, entry.folder, outcome);
            continue;
        }
        for (const char* marker : {kBackupMarker, kPendingMarker}) {
            const marked_name name(entry.name, marker, record.run);
            const int error = remove_if_recorded(place, name.c_str(), entry.way_back,
                                                 entry.way_back_sha256, outcome);
            not_removed_for(error, *place.folder, name.c_str(), outcome);
        }
        const marked_name staged(entry.name, kStagedMarker, record.run);
        const int error =
            remove_if_recorded(place, staged.c_str(), entry.staged, entry.staged_sha256, outcome);
        not_removed_for(error, *place.folder, staged.c_str(), outcome);
    }
}

bool remove_leftover(const held_folder& folder, const char* name, std::string& leftovers,
                     const char* what) {
    const int error = fio::remove_at(folder.folder, name);
    if (error != 0 && error != ENOENT) {
        leftovers += "  not removed: " + fio_printable_text(place_path(folder, name)) + " (" +
                     (what != nullptr ? std::string(what) + "; " : std::string()) +
                     fio::error_text(error) + ")\n";
        return false;
    }
    return true;
}
