// Command-line, console-message and text-file services used by the console tools.
#include "qpx_common.h"

#include "fio_read_file.h"
#include "zrl_core.h"

#ifdef _WIN32
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <utility>

QPX_COMMON_CMD_ARG_STRUCT::QPX_COMMON_CMD_ARG_STRUCT(std::string name_, int32_t kind_,
                                                     void* target_, uint8_t attr_a_,
                                                     uint8_t attr_b_, std::string description_)
    : name(std::move(name_)),
      kind(kind_),
      target(target_),
      attr_a(attr_a_),
      attr_b(attr_b_),
      description(std::move(description_)) {}

QPX_COMMON_CMD_HELP_STRUCT::QPX_COMMON_CMD_HELP_STRUCT(int32_t kind_, std::string text_)
    : kind(kind_), text(std::move(text_)) {}

// ---- Console messages --------------------------------------------------------------------

namespace {

void print_formatted(FILE* stream, const char* prefix, const char* format, va_list values) {
    va_list measure;
    va_copy(measure, values);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        return;
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, values);
    text.pop_back();
    if (text.empty() || text.back() != '\n') {
        text.push_back('\n');
    }
    std::fputs(prefix, stream);
    std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace

namespace {

std::string g_stdout_failure;  // the reason of the first failed write to stdout

}  // namespace

#ifdef _WIN32

namespace {

// The console's code page before the tool set UTF-8; 0 when there is none to put back.
std::atomic<UINT> g_console_output_page{0};

void restore_console_output_page() {
    QPX_COMMON_MSG::restore_console();
}

}  // namespace

void QPX_COMMON_MSG::restore_console() {
    if (const UINT page = g_console_output_page.exchange(0); page != 0) {
        SetConsoleOutputCP(page);
    }
}

// Windows has no SIGPIPE: a write to a closed pipe fails and is reported like any other. Files
// are read through handles, never CRT descriptors, so no file can take a standard stream's
// number; a missing standard stream gets the null device opened the wrong way round, so that
// its use fails visibly. Output keeps its bytes: LF line ends, UTF-8 on the console too.
void QPX_COMMON_MSG::guard_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) < 0) {
            const int opened = _wopen(L"NUL", fd == 0 ? _O_WRONLY : _O_RDONLY);
            if (opened >= 0 && opened != fd) {
                _dup2(opened, fd);
                _close(opened);
            }
        }
    }
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    const UINT page = GetConsoleOutputCP();
    if (page != 0 && page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8) != 0) {
        g_console_output_page = page;
        std::atexit(restore_console_output_page);
    }
}

#else

void QPX_COMMON_MSG::restore_console() {}

void QPX_COMMON_MSG::guard_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
            if (opened >= 0 && opened != fd) {
                ::close(opened);  // a lower number was closed too: taken on its own turn
            }
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
}

#endif

void QPX_COMMON_MSG::note_stdout_state() {
    if (g_stdout_failure.empty() && std::ferror(stdout) != 0) {
        g_stdout_failure = errno != 0 ? std::strerror(errno) : "write failed";
    }
}

std::string QPX_COMMON_MSG::stdout_failure() {
    errno = 0;
    std::fflush(stdout);
    note_stdout_state();
    return g_stdout_failure;
}

std::string QPX_COMMON_MSG::close_stdout() {
    std::string failure = stdout_failure();
    errno = 0;
    if (std::fclose(stdout) != 0 && failure.empty()) {
        failure = errno != 0 ? std::strerror(errno) : "close failed";
    }
    return failure;
}

void QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_TYPE type, uint32_t flush, const char* format, ...) {
    FILE* stream = stdout;
    const char* prefix = "";
    if (type == QPX_COMMON_MSG_ERROR) {
        std::fflush(stdout);  // keep the order of the two streams on a shared terminal
        stream = stderr, prefix = "Error: ";
    } else if (type == QPX_COMMON_MSG_WARNING) {
        std::fflush(stdout);
        stream = stderr, prefix = "Warning: ";
    }
    va_list values;
    va_start(values, format);
    print_formatted(stream, prefix, format, values);
    va_end(values);
    if (flush != 0) {
        std::fflush(stream);
    }
    if (stream == stdout) {
        note_stdout_state();
    }
}

// ---- Command-line parsing ----------------------------------------------------------------

#ifdef _WIN32

std::vector<std::string> QPX_COMMON_CMD::utf8_arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> words;
    for (int i = 0; i < count; ++i) {
        words.push_back(fio_narrow_path(wide[i]));
    }
    LocalFree(wide);
    return words;
}

#else

std::vector<std::string> QPX_COMMON_CMD::utf8_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

#endif

namespace {

const char* const kUsageHint = "Use argument --help to learn the usage";

struct number_parse {
    QPX_COMMON_CMD_ERROR error;
    uint32_t value;
};

// Decimal or 0x-hexadecimal, no sign, no white space, nothing after the digits, 0..2^32-1.
number_parse parse_uint32(const std::string& text) {
    int base = 10;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16, first += 2;
    }
    if (first == last || !std::isxdigit(static_cast<unsigned char>(*first))) {
        return {QPX_COMMON_CMD_MALFORMED_NUMBER, 0};
    }
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value, base);
    if (end != last && error != std::errc::result_out_of_range) {
        return {QPX_COMMON_CMD_MALFORMED_NUMBER, 0};
    }
    if (error == std::errc::result_out_of_range || value > UINT32_MAX) {
        // Range is only judged once the whole text is known to be digits.
        const bool all_digits = std::all_of(first, last, [base](char c) {
            return base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                              : std::isdigit(static_cast<unsigned char>(c)) != 0;
        });
        return {all_digits ? QPX_COMMON_CMD_NUMBER_OUT_OF_RANGE : QPX_COMMON_CMD_MALFORMED_NUMBER,
                0};
    }
    if (error != std::errc()) {
        return {QPX_COMMON_CMD_MALFORMED_NUMBER, 0};
    }
    return {QPX_COMMON_CMD_OK, static_cast<uint32_t>(value)};
}

// The name is escaped like the value: both are the user's bytes, shown on a terminal.
QPX_COMMON_CMD_ERROR refuse(QPX_COMMON_CMD_ERROR error, const char* what, const std::string& name,
                            const std::string& given, const std::string& detail = "") {
    QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_ERROR, 1, "%s --%s: \"%s\"\n%s\n%s", what,
                              fio_printable_text(name).c_str(), fio_printable_text(given).c_str(),
                              kUsageHint, detail.c_str());
    return error;
}

// Edits (insert, delete, change one letter, or swap two neighbours) from `a` to `b`, letters
// compared without case.
size_t edit_distance(const std::string& a, const std::string& b) {
    const auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    };
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        for (size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1])) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// The options a mistyped name most likely meant: those it begins (at least two letters), or
// else those within a third of their length in edits ("--permision", "--Help", "--key_sha256").
std::vector<std::string> nearest_options(const std::string& name, uint32_t count,
                                         const QPX_COMMON_CMD_ARG_STRUCT* options) {
    std::vector<std::string> begun;
    std::vector<std::string> close;
    size_t closest = std::string::npos;
    for (uint32_t i = 0; i < count; ++i) {
        const std::string& known = options[i].name;
        if (name.size() >= 2 && known.rfind(name, 0) == 0) {
            begun.push_back("--" + known);
        }
        const size_t distance = edit_distance(name, known);
        if (distance <= std::max<size_t>(1, known.size() / 3) && distance <= closest) {
            if (distance < closest) {
                close.clear(), closest = distance;
            }
            close.push_back("--" + known);
        }
    }
    return begun.empty() ? close : begun;
}

QPX_COMMON_CMD_ERROR refuse_unknown(const std::string& name, const std::string& given,
                                    uint32_t count, const QPX_COMMON_CMD_ARG_STRUCT* options) {
    std::string nearest;
    for (const std::string& option : nearest_options(name, count, options)) {
        nearest += (nearest.empty() ? "" : " or ") + option;
    }
    return refuse(QPX_COMMON_CMD_UNKNOWN_OPTION, "Unknown option", name, given,
                  nearest.empty() ? "" : "  did you mean " + nearest + "?\n");
}

QPX_COMMON_CMD_ARG_STRUCT* find_option(uint32_t count, QPX_COMMON_CMD_ARG_STRUCT* options,
                                       const std::string& name) {
    const auto end = options + count;
    const auto found = std::find_if(
        options, end, [&](const QPX_COMMON_CMD_ARG_STRUCT& option) { return option.name == name; });
    return found == end ? nullptr : found;
}

// Reads one "--name[=value]" argument at argv[index]; a number option may take the next
// argument as its value, in which case index is advanced past it.
QPX_COMMON_CMD_ERROR parse_option(int argc, char** argv, int& index, uint32_t count,
                                  QPX_COMMON_CMD_ARG_STRUCT* options, std::vector<bool>& seen,
                                  std::vector<std::string>* unknown) {
    const std::string argument = argv[index];
    const size_t equals = argument.find('=');
    const std::string name =
        argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    QPX_COMMON_CMD_ARG_STRUCT* option = find_option(count, options, name);
    if (option == nullptr) {
        if (unknown != nullptr) {
            unknown->push_back(argument);
            return QPX_COMMON_CMD_OK;
        }
        return refuse_unknown(name, argument, count, options);
    }
    seen[static_cast<size_t>(option - options)] = true;
    if (option->kind == QPX_COMMON_CMD_ARG_FLAG) {
        if (equals != std::string::npos) {
            return refuse(QPX_COMMON_CMD_FLAG_WITH_VALUE, "Option takes no value", name, argument);
        }
        *static_cast<bool*>(option->target) = true;
        return QPX_COMMON_CMD_OK;
    }
    std::string value;
    if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
    } else if (index + 1 < argc && std::string(argv[index + 1]).rfind("--", 0) != 0) {
        value = argv[++index];
    } else {
        return refuse(QPX_COMMON_CMD_MISSING_VALUE, "Missing value for option", name, argument);
    }
    if (option->kind == QPX_COMMON_CMD_ARG_TEXT) {
        *static_cast<std::string*>(option->target) = std::move(value);
        return QPX_COMMON_CMD_OK;
    }
    const number_parse number = parse_uint32(value);
    if (number.error == QPX_COMMON_CMD_NUMBER_OUT_OF_RANGE) {
        return refuse(number.error, "Value out of range 0..4294967295 for option", name, value);
    }
    if (number.error != QPX_COMMON_CMD_OK) {
        return refuse(number.error, "Value is not an unsigned number for option", name, value);
    }
    *static_cast<uint32_t*>(option->target) = number.value;
    return QPX_COMMON_CMD_OK;
}

}  // namespace

QPX_COMMON_CMD_ERROR QPX_COMMON_CMD::parse_argument(int argc, char** argv, uint32_t option_count,
                                                    QPX_COMMON_CMD_ARG_STRUCT* options,
                                                    std::vector<std::string>& files,
                                                    std::vector<std::string>* unknown) {
    std::vector<bool> seen(option_count, false);
    bool options_ended = false;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (!options_ended && argument == "--") {
            options_ended = true;
        } else if (!options_ended && argument.size() > 2 && argument.rfind("--", 0) == 0) {
            const QPX_COMMON_CMD_ERROR error =
                parse_option(argc, argv, index, option_count, options, seen, unknown);
            if (error != QPX_COMMON_CMD_OK) {
                return error;
            }
        } else {
            files.push_back(argument);
        }
    }
    for (uint32_t i = 0; i < option_count; ++i) {
        if (options[i].attr_a != 0 && !seen[i]) {
            return refuse(QPX_COMMON_CMD_MISSING_REQUIRED, "Missing required option",
                          options[i].name, "");
        }
    }
    return QPX_COMMON_CMD_OK;
}

// ---- Help --------------------------------------------------------------------------------

namespace {

const char* help_indent(int32_t kind) {
    switch (kind) {
        case 0:
            return "";
        case 1:
        case 3:
            return "  ";
        default:
            return "    ";
    }
}

std::string option_value_text(const QPX_COMMON_CMD_ARG_STRUCT& option) {
    if (option.kind == QPX_COMMON_CMD_ARG_FLAG) {
        return *static_cast<const bool*>(option.target) ? "true" : "false";
    }
    if (option.kind == QPX_COMMON_CMD_ARG_TEXT) {
        return "\"" + *static_cast<const std::string*>(option.target) + "\"";
    }
    const uint32_t value = *static_cast<const uint32_t*>(option.target);
    char text[32];
    std::snprintf(text, sizeof text, "%u (0x%08X)", value, value);
    return text;
}

void print_options(uint32_t count, const QPX_COMMON_CMD_ARG_STRUCT* options) {
    std::printf("Options:\n");
    for (uint32_t i = 0; i < count; ++i) {
        const QPX_COMMON_CMD_ARG_STRUCT& option = options[i];
        const char* value = option.kind == QPX_COMMON_CMD_ARG_UINT32 ? " <u32>"
                            : option.kind == QPX_COMMON_CMD_ARG_TEXT ? " <text>"
                                                                     : "";
        const std::string typed = "--" + option.name + value;
        std::printf("  %-24s %s%s\n", typed.c_str(), option.description.c_str(),
                    option.attr_a != 0 ? " (required)" : "");
    }
}

void print_values(uint32_t count, const QPX_COMMON_CMD_ARG_STRUCT* options,
                  const std::vector<std::string>& files) {
    std::printf("\nArguments:\n");
    for (uint32_t i = 0; i < count; ++i) {
        std::printf("  --%-22s = %s\n", options[i].name.c_str(),
                    option_value_text(options[i]).c_str());
    }
    for (size_t i = 0; i < files.size(); ++i) {
        std::printf("  [%zu] %s\n", i, fio_printable_text(files[i]).c_str());
    }
}

}  // namespace

void QPX_COMMON_CMD::print_help(bool show_values, uint32_t option_count,
                                const QPX_COMMON_CMD_ARG_STRUCT* options,
                                const std::vector<std::string>& files, uint32_t help_count,
                                const QPX_COMMON_CMD_HELP_STRUCT* help) {
    for (uint32_t i = 0; i < help_count; ++i) {
        std::printf("%s%s\n", help_indent(help[i].kind), help[i].text.c_str());
    }
    print_options(option_count, options);
    if (show_values) {
        print_values(option_count, options, files);
    }
    std::fflush(stdout);
    QPX_COMMON_MSG::note_stdout_state();
}

// ---- Text helpers ------------------------------------------------------------------------

namespace {

const char* const kWhiteSpace = " \t\r\n\v\f";

std::string trim_white_space(const std::string& text) {
    const size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string::npos) {
        return "";
    }
    const size_t last = text.find_last_not_of(kWhiteSpace);
    return text.substr(first, last - first + 1);
}

// Position and length of the next separator at or after `from`, outside quotes.
std::pair<size_t, size_t> next_separator(const std::string& text, size_t from,
                                         const std::string& separator, const std::string& quote,
                                         bool whole_separator) {
    bool quoted = false;
    for (size_t i = from; i < text.size(); ++i) {
        if (!quote.empty() && text.compare(i, quote.size(), quote) == 0) {
            quoted = !quoted;
            i += quote.size() - 1;
        } else if (!quoted && whole_separator &&
                   text.compare(i, separator.size(), separator) == 0) {
            return {i, separator.size()};
        } else if (!quoted && !whole_separator && separator.find(text[i]) != std::string::npos) {
            return {i, 1};
        }
    }
    return {std::string::npos, 0};
}

}  // namespace

uint32_t QPX_COMMON::split_string(std::string text, std::string separator, bool keep_empty,
                                  bool trim_pieces, uint32_t max_pieces,
                                  std::vector<std::string>& pieces, std::string quote,
                                  bool whole_separator) {
    const size_t before = pieces.size();
    const auto add = [&](std::string piece) {
        if (trim_pieces) {
            piece = trim_white_space(piece);
        }
        if (keep_empty || !piece.empty()) {
            pieces.push_back(std::move(piece));
        }
    };
    size_t start = 0;
    if (!separator.empty() && max_pieces > 1) {
        for (uint32_t splits = 0; splits + 1 < max_pieces; ++splits) {
            const auto [at, length] =
                next_separator(text, start, separator, quote, whole_separator);
            if (at == std::string::npos) {
                break;
            }
            add(text.substr(start, at - start));
            start = at + length;
        }
    }
    add(text.substr(start));
    return static_cast<uint32_t>(pieces.size() - before);
}

uint64_t QPX_COMMON::match_extension(std::string path, std::vector<std::string> extensions) {
    for (size_t i = 0; i < extensions.size(); ++i) {
        const std::string& extension = extensions[i];
        if (!extension.empty() && path.size() >= extension.size() &&
            path.compare(path.size() - extension.size(), extension.size(), extension) == 0) {
            return i + 1;
        }
    }
    return 0;
}

std::string QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(
    std::string text, std::vector<std::string> comment_markers) {
    size_t comment = std::string::npos;
    for (const std::string& marker : comment_markers) {
        if (!marker.empty()) {
            comment = std::min(comment, text.find(marker));
        }
    }
    if (comment != std::string::npos) {
        text.erase(comment);
    }
    return trim_white_space(text);
}

bool QPX_COMMON::qpx_for_each_input_line(std::string path,
                                         const std::function<bool(std::string)>& take) {
    FIO_READ_FILE file(path);
    if (!file.is_open()) {
        return false;
    }
    bool wanted = true;
    const auto take_line = [&](std::string line) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        wanted = take(std::move(line));
    };
    // Read in chunks: only the current line is held, never a second copy of the file, and
    // never more than one line's worth of it.
    std::string partial;
    char chunk[65536];
    int64_t n = 0;
    bool overlong = false;
    while (wanted && !overlong && (n = file.read(chunk, sizeof chunk)) > 0) {
        const char* cursor = chunk;
        const char* const end = chunk + n;
        for (const char* feed; wanted && (feed = std::find(cursor, end, '\n')) != end;
             cursor = feed + 1) {
            partial.append(cursor, feed);
            overlong = partial.size() > QPX_COMMON::kMaxTextLineSize;
            if (overlong) {
                break;
            }
            take_line(std::move(partial));
            partial.clear();
        }
        if (wanted && !overlong) {
            partial.append(cursor, end);
            overlong = partial.size() > QPX_COMMON::kMaxTextLineSize;
        }
    }
    if (wanted && !overlong && !partial.empty()) {
        take_line(std::move(partial));
    }
    return n >= 0 && !overlong;
}

bool QPX_COMMON::qpx_open_input_file(std::string path, std::vector<std::string>& lines,
                                     uint8_t skip_prefix, bool skip_empty, bool trim) {
    return qpx_for_each_input_line(std::move(path), [&](std::string line) {
        if (trim) {
            line = trim_white_space(line);
        }
        const bool skipped =
            (skip_empty && line.empty()) || (skip_prefix != 0 && !line.empty() &&
                                             static_cast<uint8_t>(line.front()) == skip_prefix);
        if (!skipped) {
            lines.push_back(std::move(line));
        }
        return true;
    });
}

uint8_t* QPX_COMMON::qpx_open_input_bin_file(std::string path, uint32_t& size, uint32_t max_bytes) {
    size = 0;
    FIO_READ_FILE file(path);
    if (!file.is_open()) {
        return nullptr;
    }
    const uint64_t wanted = std::min<uint64_t>(file.size(), max_bytes);
    auto* buffer = static_cast<uint8_t*>(std::malloc(std::max<uint64_t>(wanted, 1)));
    uint64_t got = 0;
    while (buffer != nullptr && got < wanted) {
        const int64_t n = file.read(buffer + got, wanted - got);
        if (n == 0) {
            break;  // the file shrank since fstat: report what was read
        }
        if (n < 0) {
            fio_wipe(buffer, got);  // an I/O error: the file is unreadable, not short
            std::free(buffer);
            buffer = nullptr;
            break;
        }
        got += static_cast<uint64_t>(n);
    }
    size = buffer == nullptr ? 0 : static_cast<uint32_t>(got);
    return buffer;
}

// ---- Self test ---------------------------------------------------------------------------

namespace {

class self_test {
  public:
    void check(bool passed, const char* what, int32_t line) {
        ++checks_;
        if (!passed) {
            std::string message = std::string("Self test failed: ") + group_ + ": " + what;
            MSG_INTERNAL_ERROR::report(message.c_str(), "QPX", "platform/qpx_common", line);
        }
    }
    void begin(const char* group) { group_ = group, group_start_ = checks_, ++groups_; }
    void end() {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 0, "unit_test: %-12s %u checks passed",
                                  group_, checks_ - group_start_);
    }
    void summary() const {
        QPX_COMMON_MSG::print_msg(QPX_COMMON_MSG_INFO, 1,
                                  "unit_test: %u groups, %u checks, all passed", groups_, checks_);
    }

  private:
    const char* group_ = "";
    uint32_t checks_ = 0;
    uint32_t group_start_ = 0;
    uint32_t groups_ = 0;
};

#define SELF_CHECK(test, condition) (test).check((condition), #condition, __LINE__)

// Saves every option target and puts it back when the test is done with the table.
class saved_targets {
  public:
    saved_targets(uint32_t count, QPX_COMMON_CMD_ARG_STRUCT* options)
        : count_(count), options_(options) {
        for (uint32_t i = 0; i < count_; ++i) {
            values_.push_back(read(options_[i]));
        }
    }
    ~saved_targets() {
        for (uint32_t i = 0; i < count_; ++i) {
            write(options_[i], values_[i]);
        }
    }
    saved_targets(const saved_targets&) = delete;
    saved_targets& operator=(const saved_targets&) = delete;

    // The target's value as text: "0" or "1" for a flag, decimal for a number.
    static std::string read(const QPX_COMMON_CMD_ARG_STRUCT& option) {
        switch (option.kind) {
            case QPX_COMMON_CMD_ARG_FLAG:
                return *static_cast<bool*>(option.target) ? "1" : "0";
            case QPX_COMMON_CMD_ARG_TEXT:
                return *static_cast<std::string*>(option.target);
            default:
                return std::to_string(*static_cast<uint32_t*>(option.target));
        }
    }
    static void write(const QPX_COMMON_CMD_ARG_STRUCT& option, const std::string& value) {
        switch (option.kind) {
            case QPX_COMMON_CMD_ARG_FLAG:
                *static_cast<bool*>(option.target) = value == "1";
                break;
            case QPX_COMMON_CMD_ARG_TEXT:
                *static_cast<std::string*>(option.target) = value;
                break;
            default:
                *static_cast<uint32_t*>(option.target) = parse_uint32(value).value;
        }
    }

  private:
    uint32_t count_;
    QPX_COMMON_CMD_ARG_STRUCT* options_;
    std::vector<std::string> values_;
};

// What the self test puts in an option's target before parsing, for the options it leaves off.
std::string unset_value(const QPX_COMMON_CMD_ARG_STRUCT& option) {
    switch (option.kind) {
        case QPX_COMMON_CMD_ARG_FLAG:
            return "0";
        case QPX_COMMON_CMD_ARG_TEXT:
            return "unset";
        default:
            return std::to_string(0x5A5A5A5Au);
    }
}

// The value the self test gives option `index`: a number for a number option, a text with a
// space in it for a text option (it must arrive whole).
std::string self_test_value(const QPX_COMMON_CMD_ARG_STRUCT& option, uint32_t index) {
    if (option.kind == QPX_COMMON_CMD_ARG_TEXT) {
        return "text " + std::to_string(index);
    }
    return std::to_string(0x80000001u + index * 0x01010101u);
}

void test_command_line(self_test& test, uint32_t count, QPX_COMMON_CMD_ARG_STRUCT* options) {
    test.begin("command line");
    saved_targets saved(count, options);
    std::vector<std::string> words{"self_test"};
    std::vector<std::string> expected(count);  // options left off keep the value set here
    for (uint32_t i = 0; i < count; ++i) {
        const bool flag = options[i].kind == QPX_COMMON_CMD_ARG_FLAG;
        expected[i] = unset_value(options[i]);
        saved_targets::write(options[i], expected[i]);
        if (options[i].attr_b == 0) {
            continue;
        }
        const std::string value = flag ? "1" : self_test_value(options[i], i);
        if (flag) {
            words.push_back("--" + options[i].name);
        } else if (i % 2 == 0) {
            words.push_back("--" + options[i].name + "=" + value);
        } else {
            words.insert(words.end(), {"--" + options[i].name, value});
        }
        expected[i] = value;
    }
    words.insert(words.end(), {"first.module", "--", "--second.module", "--no-such-option"});
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    std::vector<std::string> files;
    std::vector<std::string> unknown;
    const auto result = QPX_COMMON_CMD::parse_argument(static_cast<int>(argv.size()), argv.data(),
                                                       count, options, files, &unknown);
    SELF_CHECK(test, result == QPX_COMMON_CMD_OK);
    for (uint32_t i = 0; i < count; ++i) {
        SELF_CHECK(test, saved_targets::read(options[i]) == expected[i]);
    }
    SELF_CHECK(test, (files == std::vector<std::string>{"first.module", "--second.module",
                                                        "--no-such-option"}));
    SELF_CHECK(test, unknown.empty());
    test.end();
}

void test_numbers(self_test& test) {
    test.begin("numbers");
    SELF_CHECK(test, parse_uint32("0").value == 0);
    SELF_CHECK(test, parse_uint32("4294967295").value == UINT32_MAX);
    SELF_CHECK(test, parse_uint32("0xfffffffe").value == 0xFFFFFFFEu);
    SELF_CHECK(test, parse_uint32("4294967296").error == QPX_COMMON_CMD_NUMBER_OUT_OF_RANGE);
    SELF_CHECK(test, parse_uint32("0x100000000").error == QPX_COMMON_CMD_NUMBER_OUT_OF_RANGE);
    for (const char* bad : {"", "-1", "+1", "0x", "12abc", " 1", "1 ", "0x-1"}) {
        SELF_CHECK(test, parse_uint32(bad).error == QPX_COMMON_CMD_MALFORMED_NUMBER);
    }
    test.end();
}

void test_text(self_test& test) {
    test.begin("text");
    std::vector<std::string> pieces;
    SELF_CHECK(test, QPX_COMMON::split_string(" a ; b ", ";", true, false, UINT32_MAX, pieces, "",
                                              true) == 2);
    SELF_CHECK(test, (pieces == std::vector<std::string>{" a ", " b "}));
    pieces.clear();
    SELF_CHECK(test, QPX_COMMON::split_string("a;b;c", ";", true, false, UINT32_MAX, pieces, "",
                                              true) == 3);
    pieces.clear();
    SELF_CHECK(test,
               QPX_COMMON::split_string("a", ";", true, false, UINT32_MAX, pieces, "", true) == 1);
    SELF_CHECK(test, QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(
                         "\t x.module ;y.module # note\r", {"#"}) == "x.module ;y.module");
    SELF_CHECK(test, QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(
                         "  # only a comment", {"#"})
                         .empty());
    SELF_CHECK(test, QPX_COMMON::match_extension("key.module", {".txt", ".module"}) == 2);
    SELF_CHECK(test, QPX_COMMON::match_extension("key.module.bak", {".module"}) == 0);
    test.end();
}

#ifdef _WIN32

// A new file with `content` in the temporary folder, created exclusively; "" when it cannot be.
std::string write_self_test_file(const char* content, size_t size) {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    for (unsigned attempt = 0; !error && attempt < 100; ++attempt) {
        const std::wstring name = L"qpx_self_test_" + std::to_wstring(GetCurrentProcessId()) +
                                  L"_" + std::to_wstring(GetTickCount64() + attempt);
        const std::wstring path = (folder / name).wstring();
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            continue;
        }
        DWORD written = 0;
        const bool whole = WriteFile(file, content, static_cast<DWORD>(size), &written, nullptr) &&
                           written == size;
        CloseHandle(file);
        return whole ? fio_narrow_path(path) : "";
    }
    return "";
}

void remove_self_test_file(const std::string& path) {
    DeleteFileW(fio_widen_path(path).c_str());
}

#else

// The first usable temporary folder: TMPDIR when it names a folder, then /tmp, then the working
// folder, so that a stale TMPDIR does not stop the self test.
std::string self_test_folder() {
    for (const char* candidate : {static_cast<const char*>(std::getenv("TMPDIR")), "/tmp"}) {
        std::error_code error;
        if (candidate != nullptr && *candidate != '\0' &&
            std::filesystem::is_directory(candidate, error)) {
            return candidate;
        }
    }
    return ".";
}

// A new file with `content` in the temporary folder, created exclusively; "" when it cannot be.
std::string write_self_test_file(const char* content, size_t size) {
    std::string path = self_test_folder() + "/qpx_self_test_XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
        return "";
    }
    const bool whole = ::write(fd, content, size) == static_cast<ssize_t>(size);
    ::close(fd);
    return whole ? path : "";
}

void remove_self_test_file(const std::string& path) {
    ::unlink(path.c_str());
}

#endif

void test_files(self_test& test) {
    test.begin("files");
    const char content[] = "first\r\nsecond\n\nlast";
    const std::string path = write_self_test_file(content, sizeof content - 1);
    SELF_CHECK(test, !path.empty());
    std::vector<std::string> lines;
    SELF_CHECK(test, QPX_COMMON::qpx_open_input_file(path, lines, 0, false, false));
    SELF_CHECK(test, (lines == std::vector<std::string>{"first", "second", "", "last"}));
    uint32_t size = 0;
    uint8_t* data = QPX_COMMON::qpx_open_input_bin_file(path, size, 7);
    SELF_CHECK(test, data != nullptr && size == 7 && std::memcmp(data, content, 7) == 0);
    std::free(data);
    remove_self_test_file(path);
    SELF_CHECK(test, !QPX_COMMON::qpx_open_input_file(path, lines, 0, false, false));
    SELF_CHECK(test, QPX_COMMON::qpx_open_input_bin_file(path, size) == nullptr && size == 0);
    test.end();
}

}  // namespace

void QPX_COMMON_CMD::unit_test(uint32_t option_count, QPX_COMMON_CMD_ARG_STRUCT* options) {
    self_test test;
    test_command_line(test, option_count, options);
    test_numbers(test);
    test_text(test);
    test_files(test);
    test.summary();
}
