// FIO_READ_FILE on POSIX: a descriptor, opened non-blocking so that a FIFO cannot hang it.
#include "fio_read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

FIO_READ_FILE::FIO_READ_FILE(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        errno = EINVAL;  // the system call would see a shorter path, naming another file
        return;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = error;
        return;
    }
    open_ = true;
    handle_ = fd;
    size_ = static_cast<uint64_t>(info.st_size);
}

FIO_READ_FILE::~FIO_READ_FILE() {
    if (open_) {
        ::close(static_cast<int>(handle_));
    }
}

int64_t FIO_READ_FILE::read(void* buffer, size_t count) {
    ssize_t n = 0;
    do {
        n = ::read(static_cast<int>(handle_), buffer, count);
    } while (n < 0 && errno == EINTR);
    return n;
}

void fio_wipe(void* buffer, size_t count) {
    explicit_bzero(buffer, count);
}
