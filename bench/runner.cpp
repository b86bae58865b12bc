// kvr_bench_run: runs one command and measures it from outside. The command's output goes to
// /dev/null; one line goes to stdout:
//
//   kvr_bench_run <program> [<argument>...]
//   <wall microseconds> <peak resident KiB of the child> <exit status> <CPU microseconds>
//
// The CPU time (user and system, of the child and what it waited for) hardly depends on what
// else the machine runs, unlike the wall time; the bench reports both.
// The exit status of the runner is the command's (1 when it did not exit normally).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace {

[[noreturn]] void run_child(char** argv) {
    const int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        ::dup2(null_fd, STDOUT_FILENO);
        ::dup2(null_fd, STDERR_FILENO);
        ::close(null_fd);
    }
    ::execvp(argv[0], argv);
    _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kvr_bench_run <program> [<argument>...]\n");
        return 2;
    }
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("kvr_bench_run: fork");
        return 1;
    }
    if (child == 0) {
        run_child(argv + 1);
    }
    int wait_status = 0;
    struct rusage usage {};
    while (::wait4(child, &wait_status, 0, &usage) < 0) {
    }
    const std::chrono::duration<double, std::micro> wall = std::chrono::steady_clock::now() - start;
    const int status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1;
    const auto micros = [](const timeval& time) {
        return 1e6 * static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec);
    };
    const double cpu = micros(usage.ru_utime) + micros(usage.ru_stime);
    std::printf("%.0f %ld %d %.0f\n", wall.count(), usage.ru_maxrss, status, cpu);
    return status;
}
