// Path helpers of the file-system primitives (see file_primitives.h): where a path's folder
// part ends, and what one name in a folder may be.
#ifdef _WIN32
#include <windows.h>
#endif

#include <string_view>

#include "file_primitives.h"
#include "zrl_core.h"

namespace fio {

namespace {

#ifdef _WIN32

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

bool is_drive(std::string_view text) {
    return text.size() >= 2 && text[1] == ':' &&
           ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
}

// The end of the name that starts at `from`, and of the separator after it.
size_t past_name(std::string_view path, size_t from) {
    while (from < path.size() && !is_separator(path[from])) {
        ++from;
    }
    return from < path.size() ? from + 1 : from;
}

// How many bytes of `path` its root takes: "\\?\UNC\server\share\", "\\?\C:\", "\\?\Volume\",
// "\\server\share\", "C:\", "C:" or a lone separator; 0 for a path from the working folder.
size_t root_length(std::string_view path) {
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        const std::string_view rest = path.substr(2);
        if (rest.rfind("?\\", 0) == 0 || rest.rfind(".\\", 0) == 0) {
            const std::string_view inside = path.substr(4);
            if (inside.size() >= 4 &&
                (inside.substr(0, 4) == "UNC\\" || inside.substr(0, 4) == "unc\\")) {
                return past_name(path, past_name(path, 8));
            }
            return is_drive(inside) && (inside.size() == 2 || is_separator(inside[2]))
                       ? (inside.size() == 2 ? 6 : 7)
                       : past_name(path, 4);
        }
        return past_name(path, past_name(path, 2));
    }
    if (is_drive(path)) {
        return path.size() > 2 && is_separator(path[2]) ? 3 : 2;
    }
    return !path.empty() && is_separator(path[0]) ? 1 : 0;
}

constexpr std::string_view kSeparators = "\\/";
constexpr std::string_view kNotInAName = std::string_view("\\/:\0", 4);

#else

size_t root_length(std::string_view path) {
    return !path.empty() && path[0] == '/' ? 1 : 0;
}

constexpr std::string_view kSeparators = "/";
constexpr std::string_view kNotInAName = std::string_view("/\0", 2);

#endif

}  // namespace

bool split_path(const std::string& path, std::string& folder, std::string& name) {
    const size_t root = root_length(path);
    const size_t separator = path.find_last_of(kSeparators);
    if (separator == std::string::npos || separator < root) {
        folder = root == 0 ? "." : path.substr(0, root);
        name = path.substr(root);
    } else {
        folder = path.substr(0, separator == 0 ? 1 : separator);
        name = path.substr(separator + 1);
    }
    return !(name.empty() || name == "." || name == "..");
}

std::string join_path(const std::string& folder, const std::string& name) {
#ifdef _WIN32
    const bool ends_with_separator =
        !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
    return folder + (ends_with_separator ? "" : "\\") + name;
#else
    return (folder == "/" ? "" : folder) + "/" + name;
#endif
}

bool is_full_path(const std::string& path) {
#ifdef _WIN32
    return root_length(path) > 2;  // a drive's root, a share or a long path
#else
    return root_length(path) == 1;
#endif
}

bool is_single_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(kNotInAName) == std::string::npos;
}

std::string name_key(const std::string& name, bool case_sensitive) {
#ifdef _WIN32
    if (case_sensitive) {
        return name;
    }
    std::wstring wide = fio_widen_path(name);
    if (!wide.empty() && LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(),
                                       static_cast<int>(wide.size()), wide.data(),
                                       static_cast<int>(wide.size()), nullptr, nullptr, 0) == 0) {
        return name;
    }
    return fio_narrow_path(wide);
#else
    static_cast<void>(case_sensitive);
    return name;
#endif
}

}  // namespace fio
