// Output file stream that opens a file by its full path.
//
// Paths travel through the tools as byte strings; the stream widens one to the lossless full
// path of the core services only at the moment the file is opened, then opens that path.
// The stream is unbuffered, and refuses to open a FIFO or socket it would wait on forever.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <ios>

#include "zrl_core.h"

class movira_ofstream : public std::basic_ofstream<char> {
  public:
    // Sharing value: other processes may read and write the file while it is open. It is the
    // only sharing this platform's files have, so any other value makes the open fail.
    static constexpr int kShareDenyNone = 0x40;

    movira_ofstream() = default;
    ~movira_ofstream() override = default;
    movira_ofstream(const movira_ofstream&) = delete;
    movira_ofstream& operator=(const movira_ofstream&) = delete;

    // Opens `path` for writing (out is always added to `mode`). A stream that already has a
    // file open keeps it and its state. A failed open sets the fail bit.
    void open(const char* path, std::ios_base::openmode mode, int protection) {
        if (is_open()) {
            return;
        }
        const std::string full_path = fio_narrow_path(fio_get_unc_full_path(path));
        // Unbuffered: a write goes straight to the file and leaves no copy in a stream buffer.
        rdbuf()->pubsetbuf(nullptr, 0);
        if (protection == kShareDenyNone && !waits_for_a_reader(full_path) &&
            rdbuf()->open(full_path, mode | std::ios_base::out) != nullptr) {
            clear();
        } else {
            setstate(std::ios_base::failbit);
        }
    }

  private:
    // A FIFO or socket would block the open until some other process reads from it.
    static bool waits_for_a_reader(const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 &&
               (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
    }
};
