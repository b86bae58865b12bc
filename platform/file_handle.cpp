// The open file or folder of the file-system primitives: what every system shares. Each
// system's primitives define what an invalid handle is and how one is closed.
#include "file_primitives.h"

namespace fio {

handle& handle::operator=(handle&& other) noexcept {
    if (this != &other) {
        close();
        value_ = other.release();
    }
    return *this;
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

}  // namespace fio
