// Runs a program of the project as a child process and captures what it did.
#pragma once

#include <string>
#include <vector>

namespace kvr_test {

struct process_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // standard output
    std::string err;  // standard error
};

// The words of a command line and the argv array over them, ready for exec or spawn.
class command_line {
  public:
    command_line(const std::string& program, const std::vector<std::string>& args)
        : words_{program} {
        words_.insert(words_.end(), args.begin(), args.end());
        for (std::string& word : words_) {
            argv_.push_back(word.data());
        }
        argv_.push_back(nullptr);
    }
    command_line(const command_line&) = delete;
    command_line& operator=(const command_line&) = delete;
    char** argv() { return argv_.data(); }

  private:
    std::vector<std::string> words_;
    std::vector<char*> argv_;
};

// Runs `program` with `args` (argv[1..]) in the folder `working_dir`, stdin from /dev/null.
process_result run_program(const std::string& program, const std::vector<std::string>& args,
                           const std::string& working_dir);

// Starts `program` like run_program, its output discarded, and returns its process id.
int start_program(const std::string& program, const std::vector<std::string>& args,
                  const std::string& working_dir);

// Waits for a started program: its exit status, or 128 + the number of the signal that ended it.
int wait_program(int pid);

#ifdef _WIN32
// `word` quoted for a Windows command line, so that the C runtime of the program started
// with it reads it back as one argument, exactly.
std::wstring quote_argument(const std::wstring& word);
#endif

}  // namespace kvr_test
