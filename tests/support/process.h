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

// Runs `program` with `args` (argv[1..]) in the folder `working_dir`, stdin from /dev/null.
process_result run_program(const std::string& program, const std::vector<std::string>& args,
                           const std::string& working_dir);

}  // namespace kvr_test
