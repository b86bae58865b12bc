// The open file or folder of the file-system primitives: what every system shares. Each
// system's primitives define what an invalid handle is and how one is closed.
#include "file_primitives.h"

#include <cstdio>

#include "fio_read_file.h"

namespace fio {

handle& handle::operator=(handle&& other) noexcept {
    if (this != &other) {
        close();
        value_ = other.release();
    }
    return *this;
}

wiped_on_return::~wiped_on_return() {
    fio_wipe(buffer, count);
}

handle::~handle() {
    close();
}

bool handle::is_open() const {
    return value_ != invalid();
}

native_handle handle::release() {
    const native_handle value = value_;
    value_ = invalid();
    return value;
}

std::string why_not_only_mine(const identity& found, bool owner_only) {
    if (found.owner != effective_user()) {
        return "it is owned by user " + std::to_string(found.owner) + ", not by this user (" +
               std::to_string(effective_user()) + ")";
    }
    if (!owner_only && (found.mode & 022) != 0) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", found.mode);
        return std::string("users other than its owner may write it (mode ") + mode + ")";
    }
    return {};
}

}  // namespace fio
