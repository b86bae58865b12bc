// Regular files opened for reading through the system's own calls: a descriptor on POSIX, a
// handle opened by its long wide path on Windows. The text and binary readers of qpx_common
// are built on it, so they behave alike on both systems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class FIO_READ_FILE {
  public:
    // Opens `path` when it is a regular file. A FIFO, device or folder is not opened (and a
    // FIFO cannot block the open); is_open() then says false and errno gives the reason.
    explicit FIO_READ_FILE(const std::string& path);
    ~FIO_READ_FILE();
    FIO_READ_FILE(const FIO_READ_FILE&) = delete;
    FIO_READ_FILE& operator=(const FIO_READ_FILE&) = delete;

    bool is_open() const { return open_; }
    // Size when it was opened.
    uint64_t size() const { return size_; }
    // Up to `count` bytes: the number read, 0 at the end, -1 on a failure (errno set).
    int64_t read(void* buffer, size_t count);

  private:
    bool open_ = false;
    intptr_t handle_ = -1;
    uint64_t size_ = 0;
};

// Wipes `count` bytes so that the compiler cannot drop the stores.
void fio_wipe(void* buffer, size_t count);
