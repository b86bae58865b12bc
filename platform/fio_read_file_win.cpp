// FIO_READ_FILE on Windows: a handle opened by the long wide form of the full path, shared
// for reading, writing and deletion so that it never stands in another program's way.
#include <windows.h>

#include <cerrno>

#include "fio_read_file.h"
#include "zrl_core.h"

FIO_READ_FILE::FIO_READ_FILE(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        errno = EINVAL;
        return;
    }
    const std::wstring wide = fio_get_unc_full_path(path.c_str());
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = fio_errno_of_windows_error(GetLastError());
        return;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool disk_file = GetFileType(file) == FILE_TYPE_DISK &&
                           GetFileInformationByHandle(file, &info) != 0 &&
                           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (!disk_file) {
        CloseHandle(file);
        errno = EINVAL;
        return;
    }
    open_ = true;
    handle_ = reinterpret_cast<intptr_t>(file);
    size_ = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

FIO_READ_FILE::~FIO_READ_FILE() {
    if (open_) {
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
    }
}

int64_t FIO_READ_FILE::read(void* buffer, size_t count) {
    const DWORD asked = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD got = 0;
    if (ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, asked, &got, nullptr) == 0) {
        errno = fio_errno_of_windows_error(GetLastError());
        return -1;
    }
    return got;
}

void fio_wipe(void* buffer, size_t count) {
    SecureZeroMemory(buffer, count);
}
