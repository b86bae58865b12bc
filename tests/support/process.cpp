#include "process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

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

process_result run_program(const std::string& program, const std::vector<std::string>& args,
                           const std::string& working_dir) {
    char out_template[] = "/tmp/kvr_test_out_XXXXXX";
    char err_template[] = "/tmp/kvr_test_err_XXXXXX";
    const int out_fd = mkstemp(out_template);
    const int err_fd = mkstemp(err_template);
    if (out_fd < 0 || err_fd < 0) {
        throw std::runtime_error("cannot create capture files");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str());

    command_line words(program, args);

    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, words.argv(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_fd);
    close(err_fd);
    process_result result;
    if (spawned == 0) {
        int wait_status = 0;
        waitpid(pid, &wait_status, 0);
        result.status =
            WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    }
    result.out = slurp(out_template);
    result.err = slurp(err_template);
    unlink(out_template);
    unlink(err_template);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + program);
    }
    return result;
}

int start_program(const std::string& program, const std::vector<std::string>& args,
                  const std::string& working_dir) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str());
    command_line words(program, args);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, words.argv(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
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
