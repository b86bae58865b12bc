// Command-line, console-message and text-file services used by the console tools.
//
// Every class here has static operations only. Strings are byte strings; inputs are taken by
// value, result lists by reference, and tables by pointer after their count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qpx_printf_format.h"

// One option of a tool's command line, declared as data.
struct QPX_COMMON_CMD_ARG_STRUCT {
    std::string name;  // as typed after "--"
    int32_t kind;      // QPX_COMMON_CMD_ARG_FLAG, QPX_COMMON_CMD_ARG_UINT32 or ..._TEXT
    void* target;      // bool* for a flag, uint32_t* for a number, std::string* for a text
    uint8_t attr_a;    // 1: the option must be given
    uint8_t attr_b;    // 1: the self test sets the option on its own command line
    std::string description;

    QPX_COMMON_CMD_ARG_STRUCT(std::string name_, int32_t kind_, void* target_, uint8_t attr_a_,
                              uint8_t attr_b_, std::string description_);
};

enum : int32_t {
    QPX_COMMON_CMD_ARG_FLAG = 0,
    QPX_COMMON_CMD_ARG_UINT32 = 1,
    QPX_COMMON_CMD_ARG_TEXT = 2,  // the value as given, bytes unchanged; may be empty
};

// One line of a tool's help text. The kind selects the layout:
// 0 introduction, 1 legend, 3 usage, 4 example, 5 sample box row.
struct QPX_COMMON_CMD_HELP_STRUCT {
    int32_t kind;
    std::string text;

    QPX_COMMON_CMD_HELP_STRUCT(int32_t kind_, std::string text_);
};

// Result of parse_argument. None of the codes collides with a tool's own exit statuses.
enum QPX_COMMON_CMD_ERROR : int32_t {
    QPX_COMMON_CMD_OK = 0,
    QPX_COMMON_CMD_UNKNOWN_OPTION = 2,
    QPX_COMMON_CMD_MISSING_VALUE = 3,
    QPX_COMMON_CMD_MALFORMED_NUMBER = 4,
    QPX_COMMON_CMD_NUMBER_OUT_OF_RANGE = 5,
    QPX_COMMON_CMD_FLAG_WITH_VALUE = 6,
    QPX_COMMON_CMD_MISSING_REQUIRED = 8,
};

enum QPX_COMMON_MSG_TYPE : uint32_t {
    QPX_COMMON_MSG_INFO = 0,
    QPX_COMMON_MSG_WARNING = 2,
    QPX_COMMON_MSG_ERROR = 3,
};

class QPX_COMMON_CMD {
  public:
    // The program's arguments, argv[0] first, as byte strings: argv itself on POSIX; on Windows
    // the wide command line (the ANSI argv would lose every character outside its code page)
    // split by CommandLineToArgvW and carried as UTF-8, lossless (fio_widen_path gives the
    // wide text back, lone surrogates too).
    static std::vector<std::string> utf8_arguments(int argc, char** argv);

    // Parses argv against the option table. Options are "--name"; a number or text option
    // takes its value as "--name VALUE" or "--name=VALUE", and the last one given counts. A
    // lone "--" ends the options. Positional arguments are appended to `files` in order. When
    // `unknown` is not null, unknown options are collected there instead of being refused.
    static QPX_COMMON_CMD_ERROR parse_argument(int argc, char** argv, uint32_t option_count,
                                               QPX_COMMON_CMD_ARG_STRUCT* options,
                                               std::vector<std::string>& files,
                                               std::vector<std::string>* unknown);

    // Prints the help rows and the option list; with `show_values` also the current value of
    // every option and the positional arguments.
    static void print_help(bool show_values, uint32_t option_count,
                           const QPX_COMMON_CMD_ARG_STRUCT* options,
                           const std::vector<std::string>& files, uint32_t help_count,
                           const QPX_COMMON_CMD_HELP_STRUCT* help);

    // Self test of this layer against the given option table. A failed check stops the
    // process through the internal-error reporter; the option variables are left unchanged.
    static void unit_test(uint32_t option_count, QPX_COMMON_CMD_ARG_STRUCT* options);
};

class QPX_COMMON_MSG {
  public:
    // printf-style message. Type 0 goes to stdout; type 3 to stderr behind "Error: ". A missing
    // final line feed is added. A non-zero `flush` flushes the stream afterwards.
    static void print_msg(QPX_COMMON_MSG_TYPE type, uint32_t flush, const char* format, ...)
        QPX_PRINTF_FORMAT(3, 4);

    // Standard output carries what a tool reports, so a write to it that fails (a full disk, a
    // reader that closed its pipe) must fail the run, never pass for success.
    //
    // Called first in main: a standard stream that is closed is opened on /dev/null the wrong
    // way round, so that no file the tool opens takes its number and every use of it fails
    // visibly; SIGPIPE is ignored, so that a closed pipe is a failed write the tool reports.
    static void guard_standard_streams();
    // Puts back what guard_standard_streams changed in the console (on Windows its output code
    // page; nothing elsewhere): at the exit, and before a stop request ends the process, which
    // runs no exit handlers.
    static void restore_console();
    // Called after writing to stdout through stdio: keeps the reason of the first failure.
    static void note_stdout_state();
    // Flushes stdout; the reason of the first failed write, or "" when every write went out.
    static std::string stdout_failure();
    // Flushes and closes stdout (nothing may write to it afterwards); "" when all went out.
    static std::string close_stdout();
};

class QPX_COMMON {
  public:
    // The longest line the text readers accept: far beyond any line of paths.
    static constexpr size_t kMaxTextLineSize = size_t{1} << 20;

    // Splits `text` at `separator` into `pieces` (appended) and returns how many were added.
    //   keep_empty:      keep empty pieces (";b" gives "" and "b"); otherwise drop them
    //   trim_pieces:     remove white space around every piece
    //   max_pieces:      split at most max_pieces - 1 times; the last piece holds the rest
    //   quote:           when not empty, separators between two quote strings do not split
    //   whole_separator: match `separator` as a whole; otherwise any of its characters splits
    static uint32_t split_string(std::string text, std::string separator, bool keep_empty,
                                 bool trim_pieces, uint32_t max_pieces,
                                 std::vector<std::string>& pieces, std::string quote,
                                 bool whole_separator);

    // 1-based index of the first extension that `path` ends in (case-sensitive), 0 for none.
    static uint64_t match_extension(std::string path, std::vector<std::string> extensions);

    // Removes a comment (from the first marker to the end) and then outer white space
    // (space, tab, CR, LF, VT, FF).
    static std::string get_rid_header_and_trailer_white_space_and_comment(
        std::string text, std::vector<std::string> comment_markers);

    // Reads a text file line by line, a CR before the LF dropped, and hands each line to
    // `take` as soon as it is complete; reading ends early when `take` returns false. Memory
    // is bounded by one line, not by the file. False when the file cannot be read or holds a
    // line longer than kMaxTextLineSize bytes (no text file of paths has one).
    static bool qpx_for_each_input_line(std::string path,
                                        const std::function<bool(std::string)>& take);

    // Reads a text file into `lines`, one entry per LF-terminated line, a CR before the LF
    // dropped. skip_prefix (non-zero) drops lines starting with that byte; skip_empty drops
    // empty lines; trim removes outer white space. False when the file cannot be read or has
    // an overlong line, as for qpx_for_each_input_line.
    static bool qpx_open_input_file(std::string path, std::vector<std::string>& lines,
                                    uint8_t skip_prefix, bool skip_empty, bool trim);

    // Reads a regular file, at most `max_bytes` of it, into a buffer from malloc that the
    // caller owns and releases with free. Stores the byte count in `size`. Null when the path
    // is not a readable regular file.
    static uint8_t* qpx_open_input_bin_file(std::string path, uint32_t& size,
                                            uint32_t max_bytes = UINT32_MAX);
};
