// Runs of a program under strace: a clean run's file-touching calls are listed from its log, so
// that later runs can fail one of them, or kill the program at it, with strace's inject rules.
#pragma once

#include <string>
#include <vector>

#include "process.h"

namespace kvr_test {

// One traced call: the k-th call of that name since the program started.
struct traced_call {
    std::string name;
    int occurrence = 0;
    bool in_commit = false;  // at or after the first staged file's creation
};

// Runs `program` with `args` in `working_dir` under `strace`, its file and descriptor calls
// logged to `log`, with each rule of `inject` ("renameat2:error=EIO:when=3").
process_result run_traced(const std::string& strace, const std::string& program,
                          const std::vector<std::string>& args, const std::string& working_dir,
                          const std::vector<std::string>& inject, const std::string& log);

// The file-touching calls of a traced run, from the first line that holds `first_input` (the
// program's own work, not the loading of its libraries) on. Writes to stdout and stderr are
// left out: they change no file.
std::vector<traced_call> file_calls(const std::string& log_text, const std::string& first_input);

// A sanitized program's leak checker stops the world with ptrace, which a traced process
// cannot do: it is switched off for the programs this process starts.
void let_sanitized_programs_be_traced();

}  // namespace kvr_test
