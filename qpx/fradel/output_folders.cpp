// The folders a run writes into, held open for the whole run (see output_folders.h).
#include "output_folders.h"

#include <cerrno>
#include <deque>
#include <unordered_map>

#include "console_stop.h"

namespace {

constexpr int kMostLinks = 40;          // as many as the kernel follows in one path
constexpr size_t kMostNameUnits = 255;  // NAME_MAX (bytes; on Windows UTF-16 units)

// Held for the whole run: a deque keeps references stable as it grows. Never destroyed, so that
// a signal handler running during the exit still finds the folders open.
std::deque<held_folder>& g_folders = *new std::deque<held_folder>;
// The folders by the text that named them, so that a list of many outputs in one folder
// resolves that folder once.
std::unordered_map<std::string, uint32_t> g_folder_by_text;
std::string g_folder_refusal;

int opened_folder(const std::string& text, held_folder& folder) {
    if (const int error = fio::open_folder(text, folder.folder, folder.path); error != 0) {
        return error;
    }
    folder.case_sensitive = fio::is_case_sensitive(folder.folder);
    g_folder_refusal.clear();
    if (const int error = fio::check_identities(folder.folder, g_folder_refusal); error != 0) {
        return error;
    }
    return fio::identify(folder.folder, folder.identity);
}

// One step: the place `path` names, without following a link at its last name.
int place_of(const std::string& path, output_place& place) {
    std::string folder_text;
    if (path.find('\0') != std::string::npos) {
        return EINVAL;
    }
    if (!fio::split_path(path, folder_text, place.name)) {
        return EISDIR;
    }
    if (fio::name_length(place.name) > kMostNameUnits) {
        return ENAMETOOLONG;
    }
    if (const int error = fio::check_new_name(place.name); error != 0) {
        return error;
    }
    if (const int error = hold_folder(folder_text, place.folder); error != 0) {
        return error;
    }
    if (g_folders[place.folder].path.size() + 1 + place.name.size() >= fio::kMostPathBytes) {
        return ENAMETOOLONG;
    }
    const int error =
        fio::identify_at(g_folders[place.folder].folder, place.name.c_str(), place.existing);
    place.exists = error == 0;
    return place.exists || error == ENOENT ? 0 : error;
}

// The text of the link at `place`, to be resolved from the link's own folder.
int link_text(const output_place& place, std::string& next) {
    const held_folder& folder = g_folders[place.folder];
    std::string text;
    if (const int error = fio::read_link_at(folder.folder, place.name.c_str(), text); error != 0) {
        return error;
    }
    next = fio::is_full_path(text) ? text : fio::join_path(folder.path, text);
    return 0;
}

// A link in a sticky folder that the group or others may write (such as /tmp, or a team's
// 1775 folder) is followed only when it is the runner's or the folder owner's, as the kernel's
// protected-links rule has it: another user's link there must not aim the run's write at a
// file of the runner's choosing.
bool may_follow(const held_folder& folder, const fio::identity& link) {
    const bool shared = folder.sticky() && (folder.identity.mode & 0022) != 0;
    return !shared || link.owner == fio::effective_user() || link.owner == folder.identity.owner;
}

}  // namespace

bool find_held_folder(const fio::identity& identity, uint32_t& index) {
    for (uint32_t i = 0; i < g_folders.size(); ++i) {
        if (g_folders[i].identity.same_file(identity)) {
            index = i;
            return true;
        }
    }
    return false;
}

int hold_folder(const std::string& path, uint32_t& index) {
    if (const auto known = g_folder_by_text.find(path); known != g_folder_by_text.end()) {
        index = known->second;
        return 0;
    }
    held_folder folder;
    if (const int error = opened_folder(path, folder); error != 0) {
        return error;
    }
    if (!find_held_folder(folder.identity, index)) {
        index = static_cast<uint32_t>(g_folders.size());
        const qpx_stop_requests_held held;  // the stop handler reads the folders
        g_folders.push_back(std::move(folder));
    }
    g_folder_by_text.emplace(path, index);
    return 0;
}

int resolve_output_place(const std::string& path, output_place& place) {
    std::string current = path;
    for (int followed = 0; followed <= kMostLinks; ++followed) {
        if (const int error = place_of(current, place); error != 0) {
            return error;
        }
        if (!place.exists || place.existing.kind != fio::file_kind::link) {
            return 0;
        }
        if (!may_follow(g_folders[place.folder], place.existing)) {
            return EACCES;
        }
        if (const int error = link_text(place, current); error != 0) {
            return error;
        }
    }
    return ELOOP;
}

const std::string& folder_refusal() {
    return g_folder_refusal;
}

const held_folder& folder_at(uint32_t index) {
    return g_folders[index];
}

std::string place_path(const held_folder& folder, const std::string& name) {
    return fio::join_path(folder.path, name);
}

std::string place_path(uint32_t folder, const std::string& name) {
    return place_path(g_folders[folder], name);
}
