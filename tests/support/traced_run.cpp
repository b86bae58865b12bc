#include "traced_run.h"

#include <cstdlib>
#include <map>
#include <sstream>

namespace kvr_test {

process_result run_traced(const std::string& strace, const std::string& program,
                          const std::vector<std::string>& args, const std::string& working_dir,
                          const std::vector<std::string>& inject, const std::string& log) {
    std::vector<std::string> words = {"-qq", "-o", log, "-e", "trace=%file,%desc"};
    for (const std::string& rule : inject) {
        words.insert(words.end(), {"-e", "inject=" + rule});
    }
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    return run_program(strace, words, working_dir);
}

std::vector<traced_call> file_calls(const std::string& log_text, const std::string& first_input) {
    std::istringstream log(log_text);
    std::map<std::string, int> seen;
    std::vector<traced_call> calls;
    bool started = false;
    bool committing = false;
    for (std::string line; std::getline(log, line);) {
        const size_t paren = line.find('(');
        if (paren == std::string::npos || line.rfind("+++", 0) == 0 || line.rfind("---", 0) == 0) {
            continue;
        }
        const std::string name = line.substr(0, paren);
        const int occurrence = ++seen[name];
        started = started || line.find(first_input) != std::string::npos;
        committing = committing || line.find("kvr_sign-staged-") != std::string::npos;
        const std::string first_argument = line.substr(paren + 1, 2);
        const bool to_console = (name == "write" || name == "writev") &&
                                (first_argument == "1," || first_argument == "2,");
        if (started && !to_console && name != "mmap" && name != "munmap" && name != "ioctl") {
            calls.push_back({name, occurrence, committing});
        }
    }
    return calls;
}

void let_sanitized_programs_be_traced() {
#ifdef __SANITIZE_ADDRESS__
    const char* options = std::getenv("ASAN_OPTIONS");
    const std::string with =
        (options != nullptr ? std::string(options) + ":" : "") + "detect_leaks=0";
    setenv("ASAN_OPTIONS", with.c_str(), 1);
#endif
}

}  // namespace kvr_test
