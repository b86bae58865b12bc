// Checks of the file-system primitives that are the same on every system (see
// file_primitives.h): the words for this layer's own error numbers, what a folder's file
// numbers say about its file system, and what a new name may be.
#include <array>
#include <cctype>
#include <cstring>
#include <string_view>

#include "file_primitives.h"

namespace fio {

std::string error_text(int error) {
    switch (error) {
        case kErrorDeletePending:
            return "a file of that name is still being deleted (another program holds it open)";
        case kErrorNoLastingIds:
            return "the file system gives its files no lasting, distinct numbers";
        case kErrorFolderNoFlush:
            return "the folder's changes cannot be flushed to the disk";
        case kErrorReservedName:
            return "a device name on Windows (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
        case kErrorNameDotOrSpace:
            return "a name ending in a dot or a space, which Windows paths drop";
#ifdef _WIN32
        case ESTALE:  // the C library of Windows has no text for it
            return "not the file it was: changed by another program";
#endif
        default:
            return std::strerror(error);
    }
}

namespace {

std::string described(const char* what, const identity& found) {
    return std::string(what) + " " + std::to_string(found.device) + ":" +
           std::to_string(found.inode_high) + ":" + std::to_string(found.inode);
}

}  // namespace

int judge_identities(const identity& held, const identity& again, const identity* parent,
                     std::string& why) {
    if (held.inode == 0 && held.inode_high == 0) {
        why = "the folder's file number is 0";
        return kErrorNoLastingIds;
    }
    if (!held.same_file(again)) {
        why = "the folder's file number changed between two looks (" + described("first", held) +
              ", " + described("then", again) + ")";
        return kErrorNoLastingIds;
    }
    if (parent != nullptr && parent->same_file(held)) {
        why = "the folder and its parent have one file number (" + described("both", held) + ")";
        return kErrorNoLastingIds;
    }
    return 0;
}

bool is_link_reparse_point(uint32_t attributes, uint32_t tag) {
    constexpr uint32_t kReparsePoint = 0x400;        // FILE_ATTRIBUTE_REPARSE_POINT
    constexpr uint32_t kNameSurrogate = 0x20000000;  // the tag's name-surrogate bit
    return (attributes & kReparsePoint) != 0 && (tag & kNameSurrogate) != 0;
}

#ifdef _WIN32

namespace {

bool same_letters(std::string_view text, std::string_view upper) {
    return text.size() == upper.size() &&
           std::equal(text.begin(), text.end(), upper.begin(), [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) == b;
           });
}

// A port's number: 0-9 or a superscript 1, 2 or 3 (which Windows reads as a digit too).
bool is_port_number(std::string_view text) {
    if (text.size() == 1) {
        return text[0] >= '0' && text[0] <= '9';
    }
    return text == "\xC2\xB9" || text == "\xC2\xB2" || text == "\xC2\xB3";
}

bool is_device_name(std::string_view base) {
    static constexpr std::array<std::string_view, 6> kDevices = {"CON", "PRN",    "AUX",
                                                                 "NUL", "CONIN$", "CONOUT$"};
    for (const std::string_view device : kDevices) {
        if (same_letters(base, device)) {
            return true;
        }
    }
    return base.size() >= 4 &&
           (same_letters(base.substr(0, 3), "COM") || same_letters(base.substr(0, 3), "LPT")) &&
           is_port_number(base.substr(3));
}

}  // namespace

int check_new_name(const std::string& name) {
    if (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
        return kErrorNameDotOrSpace;
    }
    // Windows takes the name before the first dot, spaces at its end dropped, as the device.
    std::string_view base = std::string_view(name).substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') {
        base.remove_suffix(1);
    }
    return is_device_name(base) ? kErrorReservedName : 0;
}

namespace {

bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// UTF-16 units of the character whose first byte is `c`: two for one past the 16-bit range.
size_t units_of(char c) {
    return is_continuation(c) ? 0 : (static_cast<unsigned char>(c) >= 0xF0 ? 2 : 1);
}

}  // namespace

size_t name_length(const std::string& name) {
    size_t units = 0;
    for (const char c : name) {
        units += units_of(c);
    }
    return units;
}

size_t name_prefix_within(const char* name, size_t bytes, size_t most) {
    size_t units = 0;
    size_t at = 0;
    while (at < bytes) {
        units += units_of(name[at]);
        if (units > most) {
            break;
        }
        do {
            ++at;
        } while (at < bytes && is_continuation(name[at]));
    }
    return at;
}

#else

int check_new_name(const std::string&) {
    return 0;  // every name but "", ".", ".." and those with '/' or NUL is a file's own
}

size_t name_length(const std::string& name) {
    return name.size();
}

size_t name_prefix_within(const char*, size_t bytes, size_t most) {
    return bytes < most ? bytes : most;
}

#endif

}  // namespace fio
