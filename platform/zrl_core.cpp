// Core services: clock, file system and full paths, internal-error report, memory set-up.
#include "zrl_core.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

int64_t gen_get_current_time_milliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The file-system services below are POSIX; zrl_core_win.cpp holds their Windows side.
#ifndef _WIN32

namespace {

bool stat_path(const std::string& path, struct stat& info) {
    // A path with an embedded NUL would be cut short by the system call and name another file.
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0;
}

}  // namespace

bool FIO_FILE_SYSTEM::exists(const std::string& path) {
    struct stat info {};
    return stat_path(path, info) && !S_ISDIR(info.st_mode);
}

std::optional<uint64_t> FIO_FILE_SYSTEM::regular_file_size(const std::string& path) {
    struct stat info {};
    if (!stat_path(path, info) || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(info.st_size);
}

std::string FIO_FILE_SYSTEM::why_unreadable(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return "a name cannot hold a NUL byte";
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::strerror(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return "it is a folder";
    }
    if (!S_ISREG(info.st_mode)) {
        return "it is not a regular file (a FIFO, socket or device)";
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return std::strerror(errno);
    }
    ::close(fd);
    return "";
}

#endif  // !_WIN32

// ---- Lossless byte <-> wide path conversion ----------------------------------------------

namespace {

constexpr wchar_t kEscapeBase = 0xDC00;  // a stray byte b >= 0x80 travels as U+DC00 + b

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one (overlong forms,
// surrogates and values above U+10FFFF are not valid).
size_t utf8_sequence(const std::string& text, size_t i, char32_t& value) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, value = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) {
            return 0;
        }
        value = (value << 6) | (byte(i + k) & 0x3Fu);
    }
    const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    return (value < minimum || value > 0x10FFFF || surrogate) ? 0 : length;
}

#ifdef _WIN32
// A lone UTF-16 surrogate in a Windows name, carried in the three bytes that UTF-8 would give
// it (ED A0..BF xx), so that such a name survives the trip through bytes and back.
size_t surrogate_sequence(const std::string& text, size_t i, char32_t& value) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    if (i + 3 > text.size() || byte(i) != 0xED || (byte(i + 1) & 0xE0u) != 0xA0u ||
        (byte(i + 2) & 0xC0u) != 0x80u) {
        return 0;
    }
    value = 0xD000u | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
    return 3;
}
#endif

std::wstring widen(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t value = 0;
#ifdef _WIN32
        if (const size_t length = surrogate_sequence(text, i, value); length != 0) {
            wide.push_back(static_cast<wchar_t>(value));
            i += length;
            continue;
        }
#endif
        if (lead < 0x80) {
            wide.push_back(static_cast<wchar_t>(lead));
            ++i;
        } else if (const size_t length = utf8_sequence(text, i, value); length != 0) {
            wide.push_back(static_cast<wchar_t>(value));
            i += length;
        } else {
            wide.push_back(static_cast<wchar_t>(kEscapeBase + lead));
            ++i;
        }
    }
    return wide;
}

void append_utf8(std::string& out, char32_t value) {
    const auto put = [&](char32_t bits) { out.push_back(static_cast<char>(bits)); };
    if (value < 0x80) {
        put(value);
    } else if (value < 0x800) {
        put(0xC0 | (value >> 6)), put(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
        put(0xE0 | (value >> 12)), put(0x80 | ((value >> 6) & 0x3F)), put(0x80 | (value & 0x3F));
    } else {
        put(0xF0 | (value >> 18)), put(0x80 | ((value >> 12) & 0x3F));
        put(0x80 | ((value >> 6) & 0x3F)), put(0x80 | (value & 0x3F));
    }
}

}  // namespace

std::wstring fio_widen_path(const std::string& path) {
    return widen(path);
}

std::string fio_narrow_path(const std::wstring& path) {
    std::string narrow;
    narrow.reserve(path.size());
    for (const wchar_t unit : path) {
        const auto value = static_cast<char32_t>(unit);
        if (value >= kEscapeBase + 0x80 && value <= kEscapeBase + 0xFF) {
            narrow.push_back(static_cast<char>(value - kEscapeBase));
        } else {
            append_utf8(narrow, value);
        }
    }
    return narrow;
}

#ifndef _WIN32

namespace {

// `path` made absolute against the working folder and otherwise kept as given.
std::string absolute_as_given(const std::string& path) {
    std::error_code error;
    const std::filesystem::path cwd = std::filesystem::current_path(error);
    if ((!path.empty() && path.front() == '/') || error) {
        return path;
    }
    const std::string base = cwd.string();
    return base.back() == '/' ? base + path : base + "/" + path;
}

// The folder as the kernel reaches it: every link followed, "." and ".." taken in turn.
std::optional<std::string> resolved_folder(const std::string& folder) {
    if (folder.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(folder.c_str(), nullptr),
                                                         &std::free);
    if (resolved == nullptr) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

// Byte form of fio_get_unc_full_path. A last component that is empty, "." or ".." makes the
// whole path a folder.
std::string full_path_bytes(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    std::string folder =
        slash == std::string::npos ? "." : path.substr(0, std::max<size_t>(slash, 1));
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        folder = path.empty() ? "." : path;
        name.clear();
    }
    const std::optional<std::string> resolved = resolved_folder(folder);
    if (!resolved) {
        return absolute_as_given(path);
    }
    if (name.empty()) {
        return *resolved;
    }
    return (*resolved == "/" ? "" : *resolved) + "/" + name;
}

}  // namespace

std::wstring fio_get_unc_full_path(const char* path) {
    return widen(full_path_bytes(path));
}

std::optional<std::string> FIO_FILE_SYSTEM::write_target(const std::string& path) {
    constexpr int kMostLinks = 40;  // as many as the kernel follows in one path
    std::string current = full_path_bytes(path);
    for (int followed = 0; followed <= kMostLinks; ++followed) {
        struct stat info {};
        if (current.find('\0') != std::string::npos) {
            return current;
        }
        if (::lstat(current.c_str(), &info) != 0) {
            // Nothing there (or no folder to hold it): the write creates it, or fails itself.
            return errno == ENOENT || errno == ENOTDIR ? std::optional(current) : std::nullopt;
        }
        if (!S_ISLNK(info.st_mode)) {
            return current;
        }
        std::error_code error;
        const std::string link = std::filesystem::read_symlink(current, error).string();
        if (error || link.empty()) {
            errno = error ? error.value() : ENOENT;
            return std::nullopt;  // a link that cannot be read is not "no link"
        }
        const std::string folder = current.substr(0, current.find_last_of('/') + 1);
        current = full_path_bytes(link.front() == '/' ? link : folder + link);
    }
    errno = ELOOP;
    return std::nullopt;
}

bool FIO_FILE_SYSTEM::same_file(const std::string& a, const std::string& b) {
    const std::string target_a = write_target(a).value_or(full_path_bytes(a));
    const std::string target_b = write_target(b).value_or(full_path_bytes(b));
    if (target_a == target_b) {
        return true;
    }
    struct stat info_a {};
    struct stat info_b {};
    return stat_path(a, info_a) && stat_path(b, info_b) && info_a.st_dev == info_b.st_dev &&
           info_a.st_ino == info_b.st_ino;
}

#endif  // !_WIN32

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Length of the UTF-8 sequence at text[i]: 1 for ASCII, 0 for a byte that starts none.
size_t utf8_length_at(const std::string& text, size_t i) {
    char32_t value = 0;
    return static_cast<unsigned char>(text[i]) < 0x80 ? 1 : utf8_sequence(text, i, value);
}

}  // namespace

bool fio_is_valid_utf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8_length_at(text, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string fio_utf8_for_display(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8_length_at(text, i);
        if (length == 0) {
            append_utf8(shown, kReplacementCharacter);
            ++i;
        } else {
            shown.append(text, i, length);
            i += length;
        }
    }
    return shown;
}

namespace {

void append_escaped_byte(std::string& shown, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    if (byte == 0 || byte == '\\') {
        shown += byte == 0 ? "\\0" : "\\\\";
        return;
    }
    shown += "\\x";
    shown.push_back(kHex[byte >> 4]);
    shown.push_back(kHex[byte & 0x0F]);
}

bool needs_escape(const std::string& text, size_t i, size_t length) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const bool c1 = length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    return (length == 1 && (lead < 0x20 || lead == 0x7F || lead == '\\')) || c1;
}

}  // namespace

std::string fio_printable_text(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8_length_at(text, i);
        if (length == 0 || needs_escape(text, i, length)) {
            for (size_t k = 0; k < std::max<size_t>(length, 1); ++k) {
                append_escaped_byte(shown, static_cast<unsigned char>(text[i + k]));
            }
            i += std::max<size_t>(length, 1);
        } else {
            shown.append(text, i, length);
            i += length;
        }
    }
    return shown;
}

// ---- Internal-error report ---------------------------------------------------------------

namespace {
MSG_INTERNAL_ERROR::Interceptor g_interceptor = nullptr;
MSG_INTERNAL_ERROR::Cleanup g_cleanup = nullptr;
}  // namespace

void MSG_INTERNAL_ERROR::set_cleanup(Cleanup cleanup) {
    g_cleanup = cleanup;
}

void MSG_INTERNAL_ERROR::set_interceptor(Interceptor interceptor) {
    g_interceptor = interceptor;
}

void MSG_INTERNAL_ERROR::report(const char* message, const char* tag, const char* file,
                                int32_t line, const char* detail) {
    if (g_interceptor != nullptr) {
        g_interceptor(message, tag, file, line);
    }
    std::fflush(stdout);
    std::fprintf(stderr, "Internal error [%s] %s:%d: %s\n", tag, file, static_cast<int>(line),
                 message);
    if (detail != nullptr && *detail != '\0') {
        std::fprintf(stderr, "%s\n", detail);
    }
    std::fflush(stderr);
    if (g_cleanup != nullptr) {
        g_cleanup();
    }
    // Static objects are not destroyed: the process stops where the check failed.
    std::_Exit(kInternalErrorStatus);
}

// ---- Memory set-up -----------------------------------------------------------------------

#ifndef _WIN32

MEM_INITIALIZER::MEM_INITIALIZER(const char* tag) : tag_(tag) {
    // A signing process holds a private key in memory: never let it land in a core file.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    // Nor let another process of the same user attach to it or read its memory.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

#endif  // !_WIN32

MEM_INITIALIZER::~MEM_INITIALIZER() = default;
