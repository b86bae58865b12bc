// Runs a piece of test code in a forked child whose stdout and stderr go to files, so that a
// test sees exactly what reached the streams, in which order, and how the child ended.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "files.h"

namespace kvr_test {

struct child_output {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // stdout (both streams when merged)
    std::string err;  // stderr (empty when merged)
};

// Runs `body` in a child process. When `merge` is set, stdout and stderr share one file, so
// the text shows the order in which the bytes reached the file. A body that returns ends the
// child with status 0 after flushing its streams.
inline child_output run_in_child(const std::function<void()>& body, bool merge = false) {
    temp_dir dir;
    const std::string out_path = dir / "out";
    const std::string err_path = merge ? out_path : dir / "err";
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err_fd =
            merge ? out_fd : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        body();
        std::fflush(nullptr);
        _exit(0);
    }
    child_output result;
    int wait_status = 0;
    if (pid > 0 && waitpid(pid, &wait_status, 0) == pid) {
        result.status =
            WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    }
    const auto text = [](const std::string& path) {
        const bytes content = read_bytes(path);
        return std::string(content.begin(), content.end());
    };
    result.out = text(out_path);
    result.err = merge ? std::string() : text(err_path);
    return result;
}

}  // namespace kvr_test
