// Output file stream that opens a file by its full path.
//
// Paths travel through the tools as byte strings; the stream widens one to the lossless full
// path of the core services only at the moment the file is opened, then opens that path.
#pragma once

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
        const std::wstring full_path = fio_get_unc_full_path(path);
        if (protection == kShareDenyNone &&
            rdbuf()->open(fio_narrow_path(full_path), mode | std::ios_base::out) != nullptr) {
            clear();
        } else {
            setstate(std::ios_base::failbit);
        }
    }
};
