// Fuzz target: the text services on arbitrary bytes, with the properties the pair parser and
// the list reader rely on.
//   - trimming leaves no outer white space and keeps the inner text as it was;
//   - a comment marker cuts the text at its first occurrence;
//   - the pair split (";", empty pieces kept) rejoins to the original text, so a text that
//     splits into two pieces is those pieces around exactly one ";";
//   - an extension matches exactly when the text ends in it;
//   - the general split keeps its limits (piece count, empty pieces, trimming).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qpx_common.h"

namespace {

using kvr_fuzz::ends_with;
using kvr_fuzz::is_outer_white_space;

bool has_outer_white_space(const std::string& text) {
    return !text.empty() &&
           (is_outer_white_space(text.front()) || is_outer_white_space(text.back()));
}

void check_trim(const std::string& text) {
    const std::string trimmed =
        QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(text, {});
    FUZZ_CHECK(!has_outer_white_space(trimmed));
    const size_t at = text.find(trimmed);
    FUZZ_CHECK(at != std::string::npos);
    FUZZ_CHECK(std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at),
                           is_outer_white_space));
    FUZZ_CHECK(std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at + trimmed.size()),
                           text.end(), is_outer_white_space));

    const std::string uncommented =
        QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(text, {"#"});
    FUZZ_CHECK(uncommented.find('#') == std::string::npos);
    FUZZ_CHECK(uncommented == QPX_COMMON::get_rid_header_and_trailer_white_space_and_comment(
                                  text.substr(0, text.find('#')), {}));
}

void check_pair_split(const std::string& text) {
    std::vector<std::string> parts;
    const uint32_t count =
        QPX_COMMON::split_string(text, ";", true, false, 0xFFFFFFFF, parts, "", true);
    FUZZ_CHECK(count == parts.size());
    FUZZ_CHECK(parts.size() == static_cast<size_t>(std::count(text.begin(), text.end(), ';')) + 1);
    std::string joined = parts.front();
    for (size_t i = 1; i < parts.size(); ++i) {
        joined += ";" + parts[i];
    }
    FUZZ_CHECK(joined == text);
    if (parts.size() == 2) {
        FUZZ_CHECK(parts[0].find(';') == std::string::npos && parts[0] + ";" + parts[1] == text);
    }
}

void check_extension(const std::string& text) {
    const bool is_module = ends_with(text, ".module");
    const bool is_list = ends_with(text, ".txt");
    FUZZ_CHECK((QPX_COMMON::match_extension(text, {".module"}) != 0) == is_module);
    const uint64_t index = QPX_COMMON::match_extension(text, {".txt", ".module", ""});
    FUZZ_CHECK(index == (is_list ? 1u : is_module ? 2u : 0u));
    FUZZ_CHECK(QPX_COMMON::match_extension(text, {}) == 0);
}

// The split with the parameters taken from the first bytes of the input.
void check_general_split(const std::string& settings, const std::string& text) {
    const auto flag = [&](size_t i, unsigned bit) {
        return (static_cast<unsigned char>(settings[i]) >> bit & 1u) != 0;
    };
    const bool keep_empty = flag(0, 0);
    const bool trim_pieces = flag(0, 1);
    const bool whole_separator = flag(0, 2);
    const uint32_t max_pieces = static_cast<unsigned char>(settings[1]) % 6u;
    const std::string separator = settings.substr(2, static_cast<size_t>(settings[0] & 0x30) >> 4);
    const std::string quote = flag(0, 6) ? "\"" : "";
    std::vector<std::string> pieces{"kept"};
    const uint32_t count = QPX_COMMON::split_string(text, separator, keep_empty, trim_pieces,
                                                    max_pieces, pieces, quote, whole_separator);
    FUZZ_CHECK(pieces.front() == "kept" && count == pieces.size() - 1);
    FUZZ_CHECK(count <= std::max<uint32_t>(max_pieces, 1));
    FUZZ_CHECK(count <= text.size() + 1);
    for (size_t i = 1; i < pieces.size(); ++i) {
        FUZZ_CHECK(keep_empty || !pieces[i].empty());
        FUZZ_CHECK(!trim_pieces || !has_outer_white_space(pieces[i]));
        FUZZ_CHECK(pieces[i].size() <= text.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    check_trim(text);
    check_pair_split(text);
    check_extension(text);
    if (text.size() >= 4) {
        check_general_split(text.substr(0, 4), text.substr(4));
    }
    return 0;
}
