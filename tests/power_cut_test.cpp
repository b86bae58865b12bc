// Power-cut exploration of the all-or-nothing write path. A small job runs once with the
// op_log_preload shim, which logs in order every call that changes a file or a folder and keeps
// every inode of the run alive in a stash folder. The log is replayed through two models of what a
// power cut may keep: a file's data only up to its last fsync or fdatasync, its mode and owner only
// up to its last fsync, a folder's entries only up to its last fsync; of the entry changes after
// that (creates, links, unlinks, and renames as two changes: the new name appearing and the old
// name going, each in its folder), the in-order model keeps any in-order prefix of each folder's, a
// rename inside one folder whole, as a journalled file system does, and the any-order model any
// subset of them, as one without a journal may (ext2, FAT): there the new and the old name of a
// rename may each reach the disk without the other. A change of a subset is kept or lost on its
// own: a kept rename or link whose source name's creation was lost still names its inode (every
// inode exists: the stash keeps it), and a kept unlink of a name that is not there removes nothing.
// Each name ends as the last kept change to it left it. Where a point has too many subsets, the
// any-order model tries every one that keeps or loses at most one change (two in the full form)
// and, up to a cap, a sample of the others drawn from a fixed start. Un-flushed data and
// attributes are kept or lost too. Every distinct state of every point of the trace is rebuilt
// in the job's folders with the run's own inodes, the same command runs again, and the outcome
// is checked: the whole set
// signed from the original inputs, replaced files with their old mode and owner, inputs unchanged,
// nothing of the tool's own left. A failure names the point, the entry changes the cut kept and
// lost in each folder, and whether a second rerun finishes the job. The full form
// (KVR_LONG_TESTS=1, label "powercut") adds a list-file layout, samples more subsets and keeps or
// loses each file's un-flushed data on its own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "files.h"
#include "process.h"
#include "signature.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::bytes;
using kvr_test::process_result;
using file_id = std::pair<unsigned long long, unsigned long long>;  // device, inode

file_id id_of(const struct stat& info) {
    return {info.st_dev, info.st_ino};
}

file_id parse_id(const std::string& text) {
    const size_t colon = text.find(':');
    return {std::stoull(text.substr(0, colon)), std::stoull(text.substr(colon + 1))};
}

std::string unhex(const std::string& hex) {
    std::string text;
    for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
        text.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return text;
}

unsigned number(const std::string& text, int base = 10) {
    return static_cast<unsigned>(std::stoul(text, nullptr, base));
}

// What a power cut may leave of one file.
struct body {
    std::string data;
    unsigned mode = 0, user = 0, group = 0;
    auto operator<=>(const body&) const = default;
};

// A name of the job: its folder's label ("." for the working folder) and the name in it.
using place = std::pair<std::string, std::string>;
// A state of the job's folders: every name with its inode and what that inode holds.
using tree = std::map<place, std::pair<file_id, body>>;
using entries = std::map<std::string, file_id>;

std::string shown(const place& at) {
    return at.first == "." ? at.second : at.first + "/" + at.second;
}

// One change to a folder's entries: `name` names `to`, or nothing. `said` is how a failure
// report names it. A rename is two changes, its new name appearing and its old name going; where
// both are in one folder, the second is `with_previous`: kept or lost with the first by a file
// system that keeps a folder's changes in order.
struct entry_change {
    std::string name;
    std::optional<file_id> to;
    std::string said;
    bool with_previous = false;
};

void apply_change(entries& names, const entry_change& change) {
    if (change.to) {
        names[change.name] = *change.to;
    } else {
        names.erase(change.name);
    }
}

struct folder_record {
    entries durable, now;
    std::vector<entry_change> pending;  // since the folder's last flush, in order

    void flush() {
        durable = now;
        pending.clear();
    }
};

// Which un-flushed entry changes a power cut keeps: one flag per change, folder after folder
// in the order of their labels, each folder's changes in the order they were made.
using selection = std::vector<bool>;

// How many un-flushed entry changes each model tries at a point where it cannot try them all.
struct sampling {
    size_t few;  // every subset keeping or losing at most this many changes
    size_t cap;  // every subset where there are at most this many; the sample's size otherwise
};

// The job's folders and files as a power cut may leave them, replayed from the shim's log.
class power_cut_model {
  public:
    power_cut_model(const std::map<file_id, std::string>& folders, const tree& start)
        : labels_(folders) {
        for (const auto& [id, label] : folders) {
            folders_[label];
        }
        for (const auto& [at, file] : start) {
            folders_[at.first].now[at.second] = folders_[at.first].durable[at.second] = file.first;
            inodes_[file.first] = {file.second, file.second};
        }
    }

    // Applies one logged call: what it did to the job, "" when it did nothing there.
    std::string apply(const std::string& line) {
        std::istringstream in(line);
        const std::vector<std::string> w{std::istream_iterator<std::string>(in), {}};
        if (w[0] == "sync") {
            for (auto& [label, folder] : folders_) {
                folder.flush();
            }
            for (auto& [id, file] : inodes_) {
                file.second = file.first;
            }
            return w[0];
        }
        if (w[0] == "create" && (w[1] == "-" || place_at(w[1], w[2]))) {
            const body empty{"", number(w.at(4), 8), number(w.at(5)), number(w.at(6))};
            inodes_[parse_id(w[3])] = {empty, empty};
        }
        if (w[0] == "create" || w[0] == "link" || w[0] == "unlink") {
            const auto at = place_at(w[1], w[2]);
            if (!at) {
                return "";
            }
            const auto to = w[0] == "unlink" ? std::nullopt : std::optional(parse_id(w[3]));
            if (to && inodes_.count(*to) == 0) {
                unmodelled.push_back("a link to a file from outside the job: " + line);
            }
            change(*at, {at->second, to, w[0] + " " + at->second});
            return w[0] + " " + shown(*at);
        }
        if (w[0] == "rename") {
            return renamed(place_at(w[1], w[2]), place_at(w[3], w[4]), parse_id(w[5]));
        }
        if (w.size() < 2 || w[1].find(':') == std::string::npos) {
            unmodelled.push_back(line);
            return line;
        }
        return on_file(w, line);
    }

    // The state with nothing lost: the run's tree at this point.
    tree now() const { return state_of(names_after(selection(pending_count(), true)), {}, true); }

    // Every state a cut here may leave (a sample where they are too many): the un-flushed entry
    // changes kept as an in-order prefix of each folder's, or as any subset of them; the
    // un-flushed data of all files kept or lost (or, file by file, each on its own); the
    // un-flushed modes and owners kept or lost.
    void each_state(bool unordered, const sampling& limit, unsigned draw_start, bool file_by_file,
                    const std::function<void(const tree&, const std::string&)>& visit) const {
        for (const selection& kept : unordered ? subsets(limit, draw_start) : prefixes()) {
            std::vector<file_id> dirty;
            const std::map<place, file_id> names = names_after(kept);
            for (const auto& [at, id] : names) {
                if (inodes_.at(id).first.data != inodes_.at(id).second.data &&
                    std::find(dirty.begin(), dirty.end(), id) == dirty.end()) {
                    dirty.push_back(id);
                }
            }
            const size_t cuts = file_by_file ? size_t(1) << dirty.size() : 2;
            for (const bool attributes_kept : {true, false}) {
                for (size_t cut = 0; cut < cuts; ++cut) {
                    std::set<file_id> lost;
                    for (size_t bit = 0; bit < dirty.size(); ++bit) {
                        if (file_by_file ? (cut >> bit) & 1 : cut == 1) {
                            lost.insert(dirty[bit]);
                        }
                    }
                    visit(state_of(names, lost, attributes_kept), how(kept, lost, attributes_kept));
                }
            }
        }
    }

    // How many entry changes no folder flush has made durable yet, in all folders.
    size_t pending_count() const {
        size_t count = 0;
        for (const auto& [label, folder] : folders_) {
            count += folder.pending.size();
        }
        return count;
    }

    std::vector<std::string> unmodelled;  // logged calls the model does not know

  private:
    std::optional<place> place_at(const std::string& folder, const std::string& name) const {
        const auto label =
            folder.find(':') == std::string::npos ? labels_.end() : labels_.find(parse_id(folder));
        return label == labels_.end() ? std::nullopt
                                      : std::optional(place{label->second, unhex(name)});
    }

    void change(const place& at, const entry_change& step) {
        apply_change(folders_[at.first].now, step);
        folders_[at.first].pending.push_back(step);
    }

    // Renaming a name over another name of the same file changes nothing.
    std::string renamed(const std::optional<place>& from, const std::optional<place>& to,
                        const file_id& id) {
        const auto name = [](const std::optional<place>& at) {
            return at ? shown(*at) : "(outside the job)";
        };
        const std::string said = "rename " + name(from) + " -> " + name(to);
        if (from && to) {
            const entries& target = folders_[to->first].now;
            if (target.count(to->second) != 0 && target.at(to->second) == id) {
                return said + " (one file: nothing changes)";
            }
        }
        if (to) {
            change(*to, {to->second, id, said + ": new name"});
        }
        if (from) {
            change(*from, {from->second, std::nullopt, said + ": old name gone",
                           to && from->first == to->first});
        }
        return from || to ? said : "";
    }

    // A call on an open file or folder, named by its identity.
    std::string on_file(const std::vector<std::string>& w, const std::string& line) {
        const file_id id = parse_id(w[1]);
        if (const auto folder = labels_.find(id); folder != labels_.end()) {
            if (w[0] == "fsync" || w[0] == "fdatasync") {  // a folder's data are its entries
                folders_[folder->second].flush();
            }
            return w[0] + " " + folder->second + "/";
        }
        const auto found = inodes_.find(id);
        if (found == inodes_.end()) {
            return "";
        }
        auto& [now, durable] = found->second;
        if (w[0] == "write") {
            const size_t offset = std::stoull(w.at(2));
            const std::string data = unhex(w.at(3));
            now.data.resize(std::max(now.data.size(), offset + data.size()));
            now.data.replace(offset, data.size(), data);
        } else if (w[0] == "truncate") {
            now.data.resize(std::stoull(w.at(2)));
        } else if (w[0] == "attr") {
            std::tie(now.mode, now.user, now.group) =
                std::tuple(number(w.at(2), 8), number(w.at(3)), number(w.at(4)));
        } else if (w[0] == "fsync" || w[0] == "fdatasync") {
            durable =
                w[0] == "fsync" ? now : body{now.data, durable.mode, durable.user, durable.group};
        } else if (w[0] != "sync_file_range" && w[0] != "close") {
            unmodelled.push_back(line);
        }
        return w[0] + " " + name_of(id);
    }

    std::string name_of(const file_id& id) const {
        for (const auto& [label, folder] : folders_) {
            for (const auto& [name, named] : folder.now) {
                if (named == id) {
                    return shown({label, name});
                }
            }
        }
        return "(a file with no name)";
    }

    // Each folder's changes cut after any of them but between the halves of a rename inside it,
    // every folder's cut with every other's.
    std::vector<selection> prefixes() const {
        std::vector<selection> all{{}};
        for (const auto& [label, folder] : folders_) {
            std::vector<selection> longer;
            for (const selection& before : all) {
                for (size_t count = 0; count <= folder.pending.size(); ++count) {
                    if (count < folder.pending.size() && folder.pending[count].with_previous) {
                        continue;
                    }
                    selection kept = before;
                    kept.resize(before.size() + folder.pending.size(), false);
                    std::fill_n(kept.begin() + static_cast<long>(before.size()), count, true);
                    longer.push_back(std::move(kept));
                }
            }
            all = std::move(longer);
        }
        return all;
    }

    // Any subset of all folders' un-flushed changes (the folders are independent, so a subset
    // of the whole is a subset of each folder's). Where there are more than `limit.cap`: every
    // subset keeping at most `limit.few` changes and every one losing at most that many, then
    // subsets drawn from a generator started at `draw_start` until there are `limit.cap`.
    std::vector<selection> subsets(const sampling& limit, unsigned draw_start) const {
        const size_t count = pending_count();
        const bool all = count < 20 && (size_t(1) << count) <= limit.cap;
        std::set<selection> chosen;
        const std::function<void(selection&, size_t, size_t)> few_of =
            [&](selection& kept, size_t from, size_t left) {
                chosen.insert(kept);
                kept.flip();
                chosen.insert(kept);
                kept.flip();
                for (size_t bit = from; left > 0 && bit < count; ++bit) {
                    kept[bit] = true;
                    few_of(kept, bit + 1, left - 1);
                    kept[bit] = false;
                }
            };
        selection none(count, false);
        few_of(none, 0, all ? count : limit.few);
        std::mt19937_64 draw(draw_start);
        for (size_t tries = 0; !all && chosen.size() < limit.cap && tries < 4 * limit.cap;
             ++tries) {
            selection kept(count);
            for (size_t bit = 0; bit < count; ++bit) {
                kept[bit] = (draw() & 1) != 0;
            }
            chosen.insert(kept);
        }
        return {chosen.begin(), chosen.end()};
    }

    // Every name after the kept changes, made in their order, over each folder's flushed state.
    // A change is kept or lost on its own even where an earlier one it seems to need is lost: a
    // kept rename or link names its inode (which exists: the stash keeps every inode) whether
    // or not the entry that created the inode's first name was kept, and a kept unlink or
    // rename away of a name that is not there removes nothing. A name ends up as the last kept
    // change to it left it, or as flushed.
    std::map<place, file_id> names_after(const selection& kept) const {
        std::map<place, file_id> names;
        size_t flag = 0;
        for (const auto& [label, folder] : folders_) {
            entries left = folder.durable;
            for (const entry_change& step : folder.pending) {
                if (kept[flag++]) {
                    apply_change(left, step);
                }
            }
            for (const auto& [name, id] : left) {
                names[{label, name}] = id;
            }
        }
        return names;
    }

    tree state_of(const std::map<place, file_id>& names, const std::set<file_id>& lost,
                  bool attributes_kept) const {
        tree state;
        for (const auto& [at, id] : names) {
            const auto& [now, durable] = inodes_.at(id);
            body left = attributes_kept ? now : durable;
            left.data = lost.count(id) != 0 ? durable.data : now.data;
            state[at] = {id, left};
        }
        return state;
    }

    // The cut, for a failure report: each folder's un-flushed entry changes, kept and lost.
    std::string how(const selection& kept, const std::set<file_id>& lost,
                    bool attributes_kept) const {
        std::string text = lost.empty() ? "data kept" : "data lost:";
        for (const file_id& id : lost) {
            text += " " + name_of(id);
        }
        text += std::string(", mode+owner ") + (attributes_kept ? "kept" : "lost") +
                ", un-flushed entries:";
        size_t flag = 0;
        for (const auto& [label, folder] : folders_) {
            std::string lists[2];
            for (const entry_change& step : folder.pending) {
                lists[kept[flag++] ? 0 : 1] += " [" + step.said + "]";
            }
            if (!folder.pending.empty()) {
                text += " " + label + "/ kept{" + lists[0] + " } lost{" + lists[1] + " }";
            }
        }
        return text;
    }

    std::map<file_id, std::string> labels_;
    std::map<std::string, folder_record> folders_;
    std::map<file_id, std::pair<body, body>> inodes_;  // as the run left it, as flushed
};

// ---- The job --------------------------------------------------------------------------------

struct layout {
    const char* name;
    std::vector<std::string> pairs;  // "<in>;<out>", from the working folder
    std::string key;
    bool list_file;  // the pairs in a list file (full form only)
};

void PrintTo(const std::tuple<layout, bool>& job, std::ostream* out) {
    *out << std::get<0>(job).name << (std::get<1>(job) ? ", any subset" : ", in order");
}

// clang-format off
const layout kLayouts[] = {
    {"ReplaceNewAndKey", {"b.module;out/b.module", "c.module;new/c.module"}, "key.module", false},
    {"KeyInItsOwnFolder", {"b.module;out/b.module", "c.module;new/c.module"}, "keys/key.module", false},
    {"InPlace", {"a.module;a.module", "b.module;out/b.module", "c.module;new/c.module"}, "key.module", false},
    {"InPlaceKeyInItsOwnFolder", {"a.module;a.module", "c.module;new/c.module"}, "keys/key.module", false},
    {"ListFileOneFolder", {"a.module;out/a.module", "b.module;out/b.module"}, "out/key.module", true},
};

// The tree every layout starts from (path, unsigned module's variant or 0 for a short text,
// mode, owned by 1003:1002 where the test runs as root).
const std::tuple<const char*, uint32_t, unsigned, bool> kStartFiles[] = {
    {"a.module", 1, 0640, false}, {"b.module", 2, 0644, false}, {"c.module", 3, 0644, false},
    {"out/b.module", 0, 0600, true}, {"key.module", 0, 0600, false}, {"keys/key.module", 0, 0640, true},
};
// clang-format on
const char* const kFolders[] = {".", "out", "new", "keys"};

bool full_form() {
    return std::getenv("KVR_POWERCUT_FULL") != nullptr && std::getenv("KVR_LONG_TESTS") != nullptr;
}

std::optional<bytes> contents(const fs::path& path) {
    try {
        return kvr_test::read_bytes(path.string());
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

std::string owner_and_mode(const body& file) {
    std::ostringstream text;
    text << file.user << ":" << file.group << " 0" << std::oct << file.mode;
    return text.str();
}

// A layout and whether the model keeps any subset of each folder's un-flushed entry changes
// (true) or an in-order prefix of them.
using explored = std::tuple<layout, bool>;

class PowerCut : public ::testing::TestWithParam<explored> {
  protected:
    kvr_test::temp_dir root;
    fs::path work = root.path() / "work";
    fs::path stash = root.path() / "stash";
    std::map<file_id, std::string> folder_ids;
    tree start;

    PowerCut() { ::umask(022); }

    const layout& shape() const { return std::get<0>(GetParam()); }
    bool unordered() const { return std::get<1>(GetParam()); }

    fs::path stashed(const file_id& id) const {
        return stash / (std::to_string(id.first) + "_" + std::to_string(id.second));
    }

    void lay_out() {
        fs::create_directory(stash);
        for (const char* folder : kFolders) {
            fs::create_directories(work / folder);
            struct stat info {};
            ASSERT_EQ(::stat((work / folder).c_str(), &info), 0);
            folder_ids[id_of(info)] = folder;
        }
        for (const auto& [name, module, mode, foreign] : kStartFiles) {
            const std::string path = (work / name).string();
            kvr_test::write_bytes(
                path, module != 0 ? kvr_test::make_unsigned_module(module) : bytes{'o', 'l', 'd'});
            ASSERT_EQ(::chmod(path.c_str(), mode), 0);
            ASSERT_TRUE(!foreign || ::geteuid() != 0 || ::chown(path.c_str(), 1003, 1002) == 0);
        }
        std::string list;
        for (const std::string& pair : shape().pairs) {
            list += pair + "\n";
        }
        kvr_test::write_text((work / "jobs.txt").string(), list);
        start = snapshot();
    }

    std::vector<std::string> job() const {
        std::vector<std::string> words =
            shape().list_file ? std::vector<std::string>{"jobs.txt"} : shape().pairs;
        words.push_back(shape().key);
        return words;
    }

    std::vector<std::string> traced_run() const {
        const fs::path log = root.path() / "ops.log";
        setenv("LD_PRELOAD", KVR_OP_LOG_PRELOAD, 1);
        setenv("KVR_OP_LOG", log.c_str(), 1);
        setenv("KVR_OP_STASH", stash.c_str(), 1);
        const process_result run = kvr_test::run_program(KVR_SIGN_PATH, job(), work.string());
        for (const char* name : {"LD_PRELOAD", "KVR_OP_LOG", "KVR_OP_STASH"}) {
            unsetenv(name);
        }
        EXPECT_EQ(run.status, 0) << run.err;
        std::ifstream in(log);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    // Every name in the job's folders (their subfolders left out) with its inode and body.
    tree snapshot() const {
        tree state;
        for (const auto& [id, label] : folder_ids) {
            for (const fs::directory_entry& entry : fs::directory_iterator(work / label)) {
                struct stat info {};
                if (::lstat(entry.path().c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
                    const std::optional<bytes> data = contents(entry.path());
                    state[{label, entry.path().filename().string()}] = {
                        id_of(info),
                        {data ? std::string(data->begin(), data->end()) : "(unreadable)",
                         info.st_mode & 07777, info.st_uid, info.st_gid}};
                }
            }
        }
        return state;
    }

    // Links every file of the job's folders into the stash; from then on the stash holds every
    // inode of the run, whatever the job's folders hold.
    void keep_in_stash() const {
        for (const auto& [at, file] : snapshot()) {
            if (::link((work / at.first / at.second).c_str(), stashed(file.first).c_str()) != 0 &&
                errno != EEXIST) {
                throw std::runtime_error("cannot keep " + shown(at));
            }
        }
    }

    // Empties the job's folders (never the folders themselves), links every name of `state` to
    // its inode and rewrites each inode in place to what the state says: files and folders keep
    // the identities the run gave them, as after a real power cut. The stash keeps its links, so
    // during a rerun each file of the state has one link more than the state gives it.
    void rebuild(const tree& state) const {
        for (const auto& [id, label] : folder_ids) {
            for (const fs::directory_entry& entry : fs::directory_iterator(work / label)) {
                if (!fs::is_directory(fs::symlink_status(entry.path()))) {
                    fs::remove(entry.path());
                }
            }
        }
        std::set<file_id> written;
        for (const auto& [at, file] : state) {
            const std::string path = (work / at.first / at.second).string();
            if (::link(stashed(file.first).c_str(), path.c_str()) != 0) {
                throw std::runtime_error("the inode of " + shown(at) + " was not kept");
            }
            if (written.insert(file.first).second) {
                rewrite(path, file.second);
            }
        }
    }

    static void rewrite(const std::string& path, const body& left) {
        const int fd = ::chmod(path.c_str(), 0600) != 0
                           ? -1
                           : ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
        const bool done = fd >= 0 &&
                          ::write(fd, left.data.data(), left.data.size()) ==
                              static_cast<ssize_t>(left.data.size()) &&
                          ::fchown(fd, left.user, left.group) == 0 && ::fchmod(fd, left.mode) == 0;
        if (fd < 0 || ::close(fd) != 0 || !done) {
            throw std::runtime_error("cannot rewrite " + path);
        }
    }

    // ---- What a rerun must leave ------------------------------------------------------------

    // Nothing of the tool's own in any folder; exit 0 or, after a finished commit whose in-place
    // input is now signed, the refusal of that input; either way the whole set there.
    std::vector<std::string> problems_after(const process_result& rerun, bool& refused) const {
        std::vector<std::string> found;
        const tree now = snapshot();
        for (const auto& [at, file] : now) {
            if (at.second.find(".kvr_sign-") != std::string::npos) {
                found.push_back("left " + shown(at) + " (" + owner_and_mode(file.second) + ")");
            }
        }
        refused = rerun.status == 70 && rerun.err.find("already signed") != std::string::npos;
        if (rerun.status != 0 && !refused) {
            std::string said = rerun.err.substr(0, 500);
            std::replace(said.begin(), said.end(), '\n', ' ');
            found.push_back("exit " + std::to_string(rerun.status) + ": " + said);
            return found;
        }
        bool in_place = false;
        for (const std::string& pair : shape().pairs) {
            const size_t split = pair.find(';');
            in_place = in_place || pair.substr(0, split) == pair.substr(split + 1);
            check_output(pair.substr(0, split), pair.substr(split + 1), found);
        }
        if (refused && !in_place) {
            found.push_back("refused as already signed, with no in-place input");
        }
        check_kept(now, found);
        return found;
    }

    // The output verifies under the key entry that is there and holds its input's block 0.
    void check_output(const std::string& input, const std::string& output,
                      std::vector<std::string>& found) const {
        const std::optional<bytes> key = contents(work / shape().key);
        const std::optional<bytes> image = contents(work / output);
        const std::string& original = start.at({".", input}).second.data;
        if (!image || !key || !verifies(*key, *image)) {
            found.push_back(output + " does not verify under " + shape().key);
        } else if (original.compare(0, 4096, reinterpret_cast<const char*>(image->data()), 4096)) {
            found.push_back(output + ": block 0 is not its input's");
        }
    }

    // Replaced files keep their mode (and owner, as root); every other file is unchanged.
    void check_kept(const tree& now, std::vector<std::string>& found) const {
        std::set<std::string> outputs = {shape().key};
        for (const std::string& pair : shape().pairs) {
            outputs.insert(pair.substr(pair.find(';') + 1));
        }
        for (const auto& [at, file] : start) {
            const auto there = now.find(at);
            const bool replaced = outputs.count(shown(at)) != 0;
            if (there == now.end() || (!replaced && there->second.second != file.second)) {
                found.push_back((replaced ? "output " : "input ") + shown(at) +
                                (there == now.end() ? " is missing" : " changed"));
                continue;
            }
            body was = file.second;
            if (::geteuid() != 0) {  // only root gives a file away
                std::tie(was.user, was.group) =
                    std::tie(there->second.second.user, there->second.second.group);
            }
            if (replaced && owner_and_mode(there->second.second) != owner_and_mode(was)) {
                found.push_back(shown(at) + " is " + owner_and_mode(there->second.second) +
                                ", was " + owner_and_mode(was));
            }
        }
    }

    static bool verifies(const bytes& key, const bytes& image) {
        try {
            return kvr_test::signature_verifies(key, image);
        } catch (const std::runtime_error&) {
            return false;  // not a key entry
        }
    }
};

// The kinds of problems found, the random letters of the tool's names ("-staged-Ab12Cd") left
// out.
std::string by_kind(const std::vector<std::string>& problems) {
    std::map<std::string, size_t> kinds;
    for (std::string problem : problems) {
        for (const char* marker : {".kvr_sign-staged-", ".kvr_sign-backup-", ".kvr_sign-copied-",
                                   ".kvr_sign-pending-", ".kvr_sign-run-"}) {
            if (const size_t at = problem.find(marker); at != std::string::npos) {
                problem.replace(at + std::strlen(marker), 6, "XXXXXX");
            }
        }
        ++kinds[problem];
    }
    std::string text;
    for (const auto& [kind, count] : kinds) {
        text += "  " + std::to_string(count) + " x " + kind + "\n";
    }
    return text;
}

TEST_P(PowerCut, EveryStateAPowerCutMayLeaveIsFinishedByAPlainRerun) {
    if (std::getenv("KVR_POWERCUT_FULL") != nullptr && !full_form()) {
        GTEST_SKIP() << "the full form runs with KVR_LONG_TESTS=1";
    }
    if (shape().list_file && !full_form()) {
        GTEST_SKIP() << "in the full form only (KVR_LONG_TESTS=1 ctest -L powercut)";
    }
    lay_out();
    const std::vector<std::string> lines = traced_run();
    ASSERT_FALSE(HasFailure());

    // The model follows the run: with nothing lost its last point is the run's final tree, and
    // that tree rebuilt from the stash is that tree again, inode for inode.
    const tree final_tree = snapshot();
    power_cut_model check(folder_ids, start);
    size_t points = 0;
    for (const std::string& line : lines) {
        points += check.apply(line).empty() ? 0u : 1u;
    }
    ASSERT_TRUE(check.unmodelled.empty()) << check.unmodelled.front();
    ASSERT_GT(points, 20u) << "the shim logged nothing of the job: was it preloaded?";
    ASSERT_TRUE(check.now() == final_tree) << "the model does not follow the run";
    keep_in_stash();
    rebuild(final_tree);
    ASSERT_TRUE(snapshot() == final_tree) << "a rebuilt state is not the state it was built from";

    power_cut_model model(folder_ids, start);
    std::set<tree> tried;
    std::vector<std::string> problems;
    std::string failures;
    size_t point = 0, failed = 0, refusals = 0, most_pending = 0;
    const auto rerun = [&](bool& refused) {
        return problems_after(kvr_test::run_program(KVR_SIGN_PATH, job(), work.string()), refused);
    };
    const sampling limit = full_form() ? sampling{2, 256} : sampling{1, 16};
    const auto explore = [&](const std::string& call) {
        const std::string where =
            "point " + std::to_string(point) + " of " + std::to_string(points) + " (" + call + ")";
        most_pending = std::max(most_pending, model.pending_count());
        model.each_state(
            unordered(), limit, static_cast<unsigned>(point++), full_form(),
            [&](const tree& state, const std::string& how) {
                if (!tried.insert(state).second) {
                    return;
                }
                rebuild(state);
                bool refused = false;
                const std::vector<std::string> found = rerun(refused);
                refusals += refused ? 1 : 0;
                if (!found.empty()) {
                    ++failed;
                    failures += std::string(shape().name) + " | " + where + " | " + how + " |";
                    for (const std::string& problem : found) {
                        failures += " " + problem + ";";
                    }
                    bool again = false;
                    failures += rerun(again).empty() ? " (a second rerun finishes it)\n"
                                                     : " (a second rerun does not finish it)\n";
                    problems.insert(problems.end(), found.begin(), found.end());
                }
            });
    };
    explore("before the first call");
    for (const std::string& line : lines) {
        if (const std::string call = model.apply(line); !call.empty()) {
            explore(call);
        }
    }
    std::cout << shape().name << (unordered() ? ", any subset" : ", in order") << ": " << point
              << " points (at most " << most_pending << " un-flushed entry changes), "
              << tried.size() << " distinct states tried, " << refusals
              << " refused as already signed, " << failed << " failed\n";
    EXPECT_EQ(failed, 0u) << failed << " of " << tried.size()
                          << " states fail (layout | point | cut | problems):\n"
                          << failures << "problems by kind:\n"
                          << by_kind(problems);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PowerCut,
                         ::testing::Combine(::testing::ValuesIn(kLayouts), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<explored>& param) {
                             return std::string(std::get<0>(param.param).name) +
                                    (std::get<1>(param.param) ? "_AnyOrder" : "_InOrder");
                         });

}  // namespace
