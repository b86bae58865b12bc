// What a command line that fits neither invocation form gets wrong.
#include "command_line_hints.h"

#include "qpx_common.h"
#include "zrl_core.h"

namespace kvr {

namespace {

bool ends_in(const std::string& path, const char* extension) {
    return QPX_COMMON::match_extension(path, {extension}) != 0;
}

bool is_single_dash_option(const std::string& argument) {
    return argument.size() > 1 && argument[0] == '-' && argument[1] != '-';
}

bool looks_like_half_a_pair(const std::string& argument) {
    return !argument.empty() && (argument.front() == ';' || argument.back() == ';');
}

std::string shown(const std::string& argument) {
    const std::string text = fio_printable_text(argument);
    const bool padded =
        QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(argument, {}) != argument;
    return padded ? "\"" + text + "\" (the white space is part of it)" : text;
}

std::string argument_line(size_t index, const std::string& argument, const std::string& what) {
    return "  argument " + std::to_string(index + 1) + ", " + shown(argument) + ": " + what + "\n";
}

// Mistakes of single arguments: an option with one dash, half of a pair.
std::string argument_mistakes(const std::vector<std::string>& files) {
    std::string lines;
    bool half_pair = false;
    for (size_t i = 0; i < files.size(); ++i) {
        if (is_single_dash_option(files[i])) {
            const std::string rest = files[i].substr(1);
            lines += argument_line(i, files[i],
                                   "options are written with two dashes, as in --" +
                                       (rest.size() > 1 ? rest : "help"));
        } else if (looks_like_half_a_pair(files[i])) {
            lines += argument_line(i, files[i], "looks like half of a module pair");
            half_pair = true;
        }
    }
    return half_pair ? lines + kQuotePairsHint : lines;
}

std::string missing_key_entry(const std::string& only, const form_rules& rules) {
    if (ends_in(only, ".txt")) {
        return "  the Public Key Entry module is missing: give it after the list file, as in " +
               std::string(rules.tool) + " " + fio_printable_text(only) + " key.module\n";
    }
    if (!ends_in(only, ".module")) {
        return "";
    }
    if (rules.pairs_only && only.find(';') == std::string::npos) {
        return argument_line(0, only, "a module path alone, not a pair") + kQuotePairsHint;
    }
    return "  the Public Key Entry module is missing: give it as the last argument\n";
}

// Mistakes of the first and the last argument, where there are two or more.
std::string first_and_last_mistakes(const std::vector<std::string>& files,
                                    const form_rules& rules) {
    const std::string& first = files.front();
    const std::string& last = files.back();
    const size_t last_index = files.size() - 1;
    if (files.size() == 2 && ends_in(first, ".module") && ends_in(last, ".txt")) {
        return "  the list file comes first and the Public Key Entry module last, as in " +
               std::string(rules.tool) + " " + fio_printable_text(last) + " " +
               fio_printable_text(first) + "\n";
    }
    std::string lines;
    if (ends_in(first, ".txt") && files.size() > 2) {
        lines +=
            "  a list file takes one more argument, the Public Key Entry module, and no "
            "pairs: " +
            std::to_string(files.size()) + " arguments were given\n";
    } else if (ends_in(first, ".txt") && ends_in(last, ".module")) {
        const std::string why = FIO_FILE_SYSTEM::why_unreadable(first);
        lines += "  list file " + fio_printable_text(first) + ": " +
                 (why.empty() ? "cannot be used" : why) + "\n";
    } else if (rules.pairs_only && !ends_in(first, ".txt") && !ends_in(first, ".module") &&
               !is_single_dash_option(first) && !looks_like_half_a_pair(first)) {
        lines += argument_line(0, first, "ends in neither .txt (a list file) nor .module (a pair)");
    }
    if (!ends_in(last, ".module") && !is_single_dash_option(last) &&
        !looks_like_half_a_pair(last)) {
        lines += argument_line(last_index, last,
                               "the last argument names the Public Key Entry module to write "
                               "and must end in .module");
    }
    return lines;
}

}  // namespace

std::string usage_lines(const form_rules& rules) {
    const std::string tool = rules.tool;
    return "  usage: " + tool + " [options] <list>.txt <key entry>.module\n" + "  usage: " + tool +
           " [options] " + rules.inline_form + " <key entry>.module\n";
}

std::string form_mistakes(const std::vector<std::string>& files, const form_rules& rules) {
    if (files.empty()) {
        return usage_lines(rules);
    }
    std::string lines = argument_mistakes(files);
    lines += files.size() == 1 ? missing_key_entry(files.front(), rules)
                               : first_and_last_mistakes(files, rules);
    return lines.empty() ? usage_lines(rules) : lines;
}

}  // namespace kvr
