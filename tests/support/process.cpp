#include "process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace kvr_test {

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

// Starts `program` in `working_dir`, stdin from /dev/null, stdout and stderr on the given
// descriptors (/dev/null for -1). Returns the process id, or -1 when it cannot start.
static pid_t spawn_program(const std::string& program, const std::vector<std::string>& args,
                           const std::string& working_dir, int out_fd, int err_fd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (const auto& [target, source] : {std::pair{1, out_fd}, std::pair{2, err_fd}}) {
        if (source < 0) {
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_WRONLY, 0);
        } else {
            posix_spawn_file_actions_adddup2(&actions, source, target);
        }
    }
    posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str());
    command_line words(program, args);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, words.argv(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

process_result run_program(const std::string& program, const std::vector<std::string>& args,
                           const std::string& working_dir) {
    char out_template[] = "/tmp/kvr_test_out_XXXXXX";
    char err_template[] = "/tmp/kvr_test_err_XXXXXX";
    const int out_fd = mkstemp(out_template);
    const int err_fd = mkstemp(err_template);
    if (out_fd < 0 || err_fd < 0) {
        throw std::runtime_error("cannot create capture files");
    }
    const pid_t pid = spawn_program(program, args, working_dir, out_fd, err_fd);
    close(out_fd);
    close(err_fd);
    process_result result;
    if (pid > 0) {
        result.status = wait_program(pid);
    }
    result.out = slurp(out_template);
    result.err = slurp(err_template);
    unlink(out_template);
    unlink(err_template);
    if (pid <= 0) {
        throw std::runtime_error("cannot start " + program);
    }
    return result;
}

int start_program(const std::string& program, const std::vector<std::string>& args,
                  const std::string& working_dir) {
    const pid_t pid = spawn_program(program, args, working_dir, -1, -1);
    if (pid <= 0) {
        throw std::runtime_error("cannot start " + program);
    }
    return pid;
}

int wait_program(int pid) {
    int wait_status = 0;
    if (waitpid(pid, &wait_status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

}  // namespace kvr_test
