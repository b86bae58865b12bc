// What a command line that fits neither invocation form gets wrong, for kvr_sign and
// kvr_verify alike: which argument is at fault and how to put it right.
#pragma once

#include <string>
#include <vector>

namespace kvr {

// How a tool's positional arguments are read.
struct form_rules {
    const char* tool;         // the program's name, as shown in the usage lines
    const char* inline_form;  // what goes before the key entry in the inline form
    bool pairs_only;          // every argument before the key entry must be a pair
};

inline constexpr form_rules kSignForm{"kvr_sign", "'<in>.module;<out>.module' ...", true};
inline constexpr form_rules kVerifyForm{"kvr_verify",
                                        "<signed>.module|'<in>.module;<out>.module' ...", false};

// The hint for a pair that a shell has cut at its ";", as a detail line.
inline constexpr const char* kQuotePairsHint =
    "  hint: a shell ends a command at an unquoted \";\": quote each pair, as in "
    "'in.module;out.module'\n";

// The usage of both forms, one detail line each.
std::string usage_lines(const form_rules& rules);

// Detail lines (two spaces in front, a line feed after) that name every mistake found in
// `files`, the positional arguments of a command line that fits neither form; the usage
// lines where no single mistake can be named.
std::string form_mistakes(const std::vector<std::string>& files, const form_rules& rules);

}  // namespace kvr
