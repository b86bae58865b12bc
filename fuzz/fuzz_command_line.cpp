// Fuzz target: arbitrary argument vectors through the command-line parser with the signing
// tool's own option table. The input is split at NUL bytes into argv[1..].
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fradel_kvr_sign_cmd.h"
#include "fuzz_support.h"

namespace {

// Puts the tool's option variables back to their start-up values when a run is done, so that
// one input cannot change what the next one sees.
class option_reset {
  public:
    option_reset() { restore(); }
    ~option_reset() { restore(); }
    option_reset(const option_reset&) = delete;
    option_reset& operator=(const option_reset&) = delete;

  private:
    static void restore() {
        help_flag = unit_test_flag = print_argument_flag = false;
        permission_value = kvr::kDefaultPermission;
        cancel_value = kvr::kDefaultCancel;
        m_files.clear();
    }
};

std::vector<std::string> split_words(const uint8_t* data, size_t size) {
    std::vector<std::string> words{"kvr_sign"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') {
            words.push_back(word), word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    words.push_back(word);
    return words;
}

bool is_option_word(const std::string& word) {
    return word.size() > 2 && word.compare(0, 2, "--") == 0;
}

// `files` must be the words after the first lone "--", preceded by words taken in order from
// before it, none of which looks like an option.
void check_positional_arguments(const std::vector<std::string>& words,
                                const std::vector<std::string>& files) {
    size_t end_of_options = 1;
    while (end_of_options < words.size() && words[end_of_options] != "--") {
        ++end_of_options;
    }
    const size_t after = end_of_options < words.size() ? words.size() - end_of_options - 1 : 0;
    FUZZ_CHECK(files.size() >= after);
    const size_t before = files.size() - after;
    for (size_t i = 0; i < after; ++i) {
        FUZZ_CHECK(files[before + i] == words[end_of_options + 1 + i]);
    }
    size_t next_word = 1;
    for (size_t i = 0; i < before; ++i) {
        FUZZ_CHECK(!is_option_word(files[i]) && files[i] != "--");
        while (next_word < end_of_options && words[next_word] != files[i]) {
            ++next_word;
        }
        FUZZ_CHECK(next_word < end_of_options);
        ++next_word;
    }
}

std::vector<char*> make_argv(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvr_fuzz::intercept_internal_errors();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words = split_words(data, size);
    const std::vector<std::string> original = words;
    std::vector<char*> argv = make_argv(words);
    const int argc = static_cast<int>(words.size());
    {
        const option_reset reset;
        const QPX_COMMON_CMD_ERROR status = QPX_COMMON_CMD::parse_argument(
            argc, argv.data(), kOptionCount, option_table, m_files, nullptr);
        FUZZ_CHECK(status == QPX_COMMON_CMD_OK || status == QPX_COMMON_CMD_UNKNOWN_OPTION ||
                   status == QPX_COMMON_CMD_MISSING_VALUE ||
                   status == QPX_COMMON_CMD_MALFORMED_NUMBER ||
                   status == QPX_COMMON_CMD_NUMBER_OUT_OF_RANGE ||
                   status == QPX_COMMON_CMD_FLAG_WITH_VALUE);
        FUZZ_CHECK(words == original);  // the parser reads argv, never changes it
        if (status == QPX_COMMON_CMD_OK) {
            check_positional_arguments(words, m_files);
            QPX_COMMON_CMD::print_help(true, kOptionCount, option_table, m_files, kHelpCount,
                                       help_table);
        }
    }
    {
        // With a list for unknown options, an unknown option is collected, never refused.
        const option_reset reset;
        std::vector<std::string> unknown;
        const QPX_COMMON_CMD_ERROR status = QPX_COMMON_CMD::parse_argument(
            argc, argv.data(), kOptionCount, option_table, m_files, &unknown);
        FUZZ_CHECK(status != QPX_COMMON_CMD_UNKNOWN_OPTION);
        for (const std::string& word : unknown) {
            FUZZ_CHECK(is_option_word(word));
        }
    }
    return 0;
}
