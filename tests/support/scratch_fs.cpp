#include "scratch_fs.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "process.h"

namespace kvr_test {

namespace fs = std::filesystem;

namespace {

std::string find_tool(const std::string& name) {
    for (const char* folder : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        const fs::path candidate = fs::path(folder) / name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    throw std::runtime_error(name + " not found");
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

// Runs a tool of the system; its failure is thrown with what it said.
std::string run_tool(const std::vector<std::string>& words) {
    const process_result run = run_program(
        find_tool(words.front()), std::vector<std::string>(words.begin() + 1, words.end()), "/");
    if (run.status != 0) {
        throw std::runtime_error(joined(words) + ": status " + std::to_string(run.status) + ": " +
                                 run.err);
    }
    return run.out;
}

bool is_mounted(const std::string& point) {
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && fields >> field; ++i) {
        }
        if (field == point) {
            return true;
        }
    }
    return false;
}

void empty_folder(const fs::path& folder) {
    fs::create_directories(folder);
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        fs::remove_all(entry.path());
    }
}

// A FUSE server in the foreground, ended by the kernel when this process ends.
pid_t start_fuse_server(const std::vector<std::string>& words, const std::string& log) {
    command_line line(find_tool(words.front()),
                      std::vector<std::string>(words.begin() + 1, words.end()));
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        if (getppid() != parent || out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(out, 2) < 0) {
            _exit(127);
        }
        execv(line.argv()[0], line.argv());
        _exit(127);
    }
    return pid;
}

constexpr auto kPoll = std::chrono::milliseconds(20);

dev_t device_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_dev : 0;
}

}  // namespace

std::string mounts_unavailable() {
    static const std::string reason = [] {
        if (geteuid() != 0) {
            return std::string("not root: loop devices and mounts need root");
        }
        if (access("/dev/loop-control", F_OK) != 0) {
            return std::string("no /dev/loop-control: loop devices cannot be made here");
        }
        if (unshare(CLONE_NEWNS) != 0) {
            return "no mount namespace of the test's own: " + std::string(strerror(errno));
        }
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return "mounts cannot be made private: " + std::string(strerror(errno));
        }
        return std::string();
    }();
    return reason;
}

// A constructor that throws runs no destructor: what it mounted is taken down here.
scratch_fs::scratch_fs(const fs_layout& layout) : layout_(layout) {
    try {
        make();
    } catch (...) {
        tear_down();
        throw;
    }
}

scratch_fs::~scratch_fs() {
    tear_down();
}

void scratch_fs::make() {
    // The images lie in memory: a flush then costs no disk's write-back, only the file
    // system's own work.
    fs::create_directory(path("images"));
    add_mount({"mount", "-t", "tmpfs", "-o", "size=1g,mode=0700", "tmpfs", path("images")},
              path("images"), false);
    const std::string main = path("m");
    fs::create_directory(main);
    if (layout_.type == "tmpfs") {
        add_mount({"mount", "-t", "tmpfs", "-o", "size=64m,mode=0755", "tmpfs", main}, main, false);
    } else {
        make_image_fs(main);
    }
    if (layout_.lower == "tmpfs") {
        fs::create_directory(path("l"));
        add_mount({"mount", "-t", "tmpfs", "-o", "size=64m,mode=0755", "tmpfs", path("l")},
                  path("l"), false);
    }
    if (layout_.fuse) {
        fs::create_directories(main + "/d/t");
        fs::create_directory(path("o"));
        add_mount({"bindfs", "-f", main + "/d", path("o")}, path("o"), true);
    }
}

// The images' tmpfs, the first mount, goes last: the loop devices over its files first let go.
void scratch_fs::tear_down() {
    for (auto entry = held_.rbegin(); entry != held_.rend(); ++entry) {
        unmount(*entry);
    }
    held_.clear();
    std::vector<std::string> images;
    for (size_t entry = mounts_.size(); entry-- > 1;) {
        unmount(mounts_[entry]);
        for (const std::string& image : loop_image(mounts_[entry])) {
            images.push_back(image);
        }
    }
    detach_loops(images);
    if (!mounts_.empty()) {
        unmount(mounts_.front());
    }
}

// Each loop device clears itself once its file system is unmounted; one that is still there
// after a while is detached here. Only devices over this test's images are touched.
void scratch_fs::detach_loops(const std::vector<std::string>& images) {
    try {
        for (const std::string& image : images) {
            std::string listed;
            for (int wait = 0; wait < 100; ++wait) {
                listed = run_tool({"losetup", "-j", image});
                if (listed.empty()) {
                    break;
                }
                std::this_thread::sleep_for(kPoll);
            }
            std::istringstream lines(listed);
            for (std::string line; std::getline(lines, line);) {
                run_tool({"losetup", "-d", line.substr(0, line.find(':'))});
            }
        }
    } catch (const std::runtime_error&) {
    }
}

// The image under a mount on a loop device, or nothing.
std::vector<std::string> scratch_fs::loop_image(const mount_point& entry) {
    const bool loop = entry.command.size() > 2 && entry.command[2].rfind("loop", 0) == 0;
    return loop ? std::vector<std::string>{entry.command[entry.command.size() - 2]}
                : std::vector<std::string>{};
}

fs::path scratch_fs::root() const {
    return fs::path(layout_.lower.empty() && !layout_.fuse ? path("m") : path("o")) / "t";
}

void scratch_fs::make_image_fs(const std::string& point) {
    const std::string image = path("images/m.img");
    // Sparse images: the smallest each file system accepts, with room for the tests.
    const uintmax_t megabytes = layout_.type == "xfs" ? 320 : layout_.type == "btrfs" ? 128 : 64;
    std::ofstream(image).close();
    fs::resize_file(image, megabytes << 20);
    std::vector<std::string> mkfs = layout_.mkfs;
    mkfs.push_back(image);
    run_tool(mkfs);
    add_mount({"mount", "-o", "loop", "-t", layout_.type, image, point}, point, true);
}

void scratch_fs::add_mount(std::vector<std::string> command, const std::string& point, bool keeps) {
    mounts_.push_back({std::move(command), point, keeps});
    mount(mounts_.back());
}

void scratch_fs::mount(mount_point& entry) {
    if (entry.command.front() != "bindfs") {
        run_tool(entry.command);
        return;
    }
    const std::string log = path("fuse.log");
    entry.daemon = start_fuse_server(entry.command, log);
    for (int wait = 0; wait < 250 && !is_mounted(entry.point); ++wait) {
        if (waitpid(entry.daemon, nullptr, WNOHANG) == entry.daemon) {
            entry.daemon = -1;
            std::ifstream said(log);
            throw std::runtime_error(joined(entry.command) + " ended: " +
                                     std::string(std::istreambuf_iterator<char>(said), {}));
        }
        std::this_thread::sleep_for(kPoll);
    }
    if (!is_mounted(entry.point)) {
        throw std::runtime_error(joined(entry.command) + " did not mount within 5 s");
    }
}

void scratch_fs::unmount(mount_point& entry) {
    if (is_mounted(entry.point)) {
        // Busy only for a moment after a killed process; detached if it stays busy.
        for (int attempt = 0; umount2(entry.point.c_str(), 0) != 0; ++attempt) {
            if (errno != EBUSY || attempt == 50) {
                umount2(entry.point.c_str(), MNT_DETACH);
                break;
            }
            std::this_thread::sleep_for(kPoll);
        }
    }
    if (entry.daemon > 0) {
        for (int wait = 0; wait < 100; ++wait) {
            if (waitpid(entry.daemon, nullptr, WNOHANG) == entry.daemon) {
                entry.daemon = -1;
                return;
            }
            std::this_thread::sleep_for(kPoll);
        }
        kill(entry.daemon, SIGKILL);
        waitpid(entry.daemon, nullptr, 0);
        entry.daemon = -1;
    }
}

scratch_fs::mount_point* scratch_fs::find(const std::string& point) {
    for (mount_point& entry : mounts_) {
        if (entry.point == point) {
            return &entry;
        }
    }
    return nullptr;
}

void scratch_fs::lay(const std::function<void(const fs::path&)>& write_tree) {
    if (layout_.lower.empty()) {
        empty_folder(root());
        write_tree(root());
        return;
    }
    mount_point* overlay = find(path("o"));
    if (overlay != nullptr) {
        unmount(*overlay);
    }
    if (layout_.lower == "squashfs") {
        build_squashfs(write_tree);
    } else {
        const fs::path lower = layout_.lower == "tmpfs" ? path("l") : path("m") + "/lower";
        empty_folder(lower);
        fs::create_directory(lower / "t");
        write_tree(lower / "t");
    }
    empty_folder(path("m") + "/upper");
    empty_folder(path("m") + "/work");
    if (overlay != nullptr) {
        mount(*overlay);
        return;
    }
    const std::string lower = layout_.lower == "same" ? path("m") + "/lower" : path("l");
    fs::create_directories(path("o"));
    add_mount(
        {"mount", "-t", "overlay", "overlay", "-o",
         "lowerdir=" + lower + ",upperdir=" + path("m") + "/upper,workdir=" + path("m") + "/work",
         path("o")},
        path("o"), true);
}

// The image is made again only when the tree differs from the one it holds.
void scratch_fs::build_squashfs(const std::function<void(const fs::path&)>& write_tree) {
    const fs::path source = path("src");
    empty_folder(source);
    fs::create_directory(source / "t");
    write_tree(source / "t");
    folder_state tree = snapshot(source);
    mount_point* squashfs = find(path("l"));
    if (squashfs != nullptr && tree == squashed_) {
        return;
    }
    if (squashfs != nullptr) {
        unmount(*squashfs);
    }
    const std::string image = path("images/l.img");
    fs::remove(image);
    run_tool({"mksquashfs", source.string(), image, "-noappend", "-quiet", "-no-progress"});
    if (squashfs != nullptr) {
        mount(*squashfs);
    } else {
        fs::create_directories(path("l"));
        add_mount({"mount", "-o", "loop,ro", "-t", "squashfs", image, path("l")}, path("l"), true);
    }
    squashed_ = std::move(tree);
}

// A reboot may give a file system another device number, and here each gets one: a file system
// that comes back under its old number is unmounted again while a placeholder holds the number
// (an anonymous one, a tmpfs's, and a loop device for an image), and mounted once more.
void scratch_fs::reboot() {
    std::vector<dev_t> before;
    for (const mount_point& entry : mounts_) {
        before.push_back(device_of(entry.point));
    }
    for (auto entry = mounts_.rbegin(); entry != mounts_.rend(); ++entry) {
        if (entry->keeps_content) {
            unmount(*entry);
            detach_loops(loop_image(*entry));
        }
    }
    for (size_t index = 0; index < mounts_.size(); ++index) {
        mount_point& entry = mounts_[index];
        if (!entry.keeps_content) {
            continue;
        }
        mount(entry);
        for (int retry = 0; retry < 8 && device_of(entry.point) == before[index]; ++retry) {
            unmount(entry);
            detach_loops(loop_image(entry));
            hold_number(!loop_image(entry).empty());
            mount(entry);
        }
        if (device_of(entry.point) == before[index]) {
            throw std::runtime_error(entry.point + " keeps its device number across a remount");
        }
    }
    for (auto entry = held_.rbegin(); entry != held_.rend(); ++entry) {
        unmount(*entry);
    }
    held_.clear();
}

void scratch_fs::hold_number(bool loop_device) {
    const std::string name = "held" + std::to_string(held_.size());
    fs::create_directories(path(name));
    held_.push_back({{"mount", "-t", "tmpfs", "tmpfs", path(name)}, path(name), false});
    mount(held_.back());
    if (loop_device) {
        const std::string image = path("images/" + name + ".img");
        std::ofstream(image).close();
        fs::resize_file(image, 1 << 20);
        run_tool({"mkfs.ext2", "-q", "-F", image});
        fs::create_directories(path(name + "l"));
        held_.push_back({{"mount", "-o", "loop,ro", "-t", "ext2", image, path(name + "l")},
                         path(name + "l"),
                         false});
        mount(held_.back());
    }
}

}  // namespace kvr_test
