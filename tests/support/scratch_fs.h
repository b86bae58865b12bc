// File systems made for one test: images on loop devices, tmpfs, overlays and a FUSE
// passthrough, mounted under a temporary folder. The mounts live in a mount namespace of the
// test process's own, so that however the process ends the kernel takes them away, and the loop
// devices (set up to clear themselves) with them; a normal end unmounts them newest first.
#pragma once

#include <sys/types.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "files.h"

namespace kvr_test {

// How the folder a test works in is made.
struct fs_layout {
    std::string name;               // the test's name for it
    std::string type;               // the file system written to: ext4, ext2, xfs, btrfs, tmpfs
    std::vector<std::string> mkfs;  // the program and options that make `type` on an image
    std::string lower;  // an overlay's lower layer: "same" (beside the upper), tmpfs, squashfs
    bool fuse = false;  // a bindfs passthrough over `type`
};

// Why file systems cannot be made and mounted here, or empty when they can. The first call
// moves the process into a mount namespace of its own.
std::string mounts_unavailable();

class scratch_fs {
  public:
    // Throws std::runtime_error, naming the command and what it said, when a step fails.
    explicit scratch_fs(const fs_layout& layout);
    ~scratch_fs();
    scratch_fs(const scratch_fs&) = delete;
    scratch_fs& operator=(const scratch_fs&) = delete;

    // Where the test works: the top of the tree the last lay() wrote.
    std::filesystem::path root() const;

    // Replaces the tree with the one `write_tree` writes into the folder it is given: in the
    // lower layer of an overlay (whose upper layer starts empty again), else in place.
    void lay(const std::function<void(const std::filesystem::path&)>& write_tree);

    // Unmounts every file system that keeps its content and mounts it again, as a reboot would,
    // each under another device number: a tmpfs lower layer is kept, an overlay is mounted
    // again over the same layers.
    bool survives_reboot() const { return layout_.type != "tmpfs"; }
    void reboot();

  private:
    struct mount_point {
        std::vector<std::string> command;  // mount's words, or bindfs's in the foreground
        std::string point;
        bool keeps_content = true;  // false for tmpfs: a reboot would lose it
        pid_t daemon = -1;          // the FUSE server, while mounted
    };

    void make();
    void tear_down();
    void mount(mount_point& entry);
    void unmount(mount_point& entry);
    void add_mount(std::vector<std::string> command, const std::string& point, bool keeps);
    void make_image_fs(const std::string& point);
    void build_squashfs(const std::function<void(const std::filesystem::path&)>& write_tree);
    mount_point* find(const std::string& point);
    void detach_loops(const std::vector<std::string>& images);
    static std::vector<std::string> loop_image(const mount_point& entry);
    void hold_number(bool loop_device);
    std::string path(const std::string& name) const { return dir_ / name; }

    fs_layout layout_;
    temp_dir dir_;
    std::deque<mount_point> mounts_;  // in the order they were made
    std::deque<mount_point> held_;    // placeholders during a reboot
    folder_state squashed_;           // the tree the squashfs image holds
};

}  // namespace kvr_test
