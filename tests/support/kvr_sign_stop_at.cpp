// A test build of kvr_sign, never installed or packaged: the same core, with one more thing.
// With KVR_TEST_STOP_AT=<n> in its environment it ends itself at once, as a kill would (no
// clean-up, no handler), just before the n-th primitive that changes or flushes a file.
// The release program has no such seam in its build: it does not read this variable.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdlib>
#include <string>
#include <vector>

#include "file_primitives.h"
#include "fradel_kvr_sign_cmd.h"
#include "qpx_common.h"

namespace {

constexpr int kKilledStatus = 137;  // as a shell reports a process ended by SIGKILL
long g_steps_left = 0;

int stop_before_nth(const char*) {
    if (--g_steps_left == 0) {
#ifdef _WIN32
        TerminateProcess(GetCurrentProcess(), kKilledStatus);
#endif
        _exit(kKilledStatus);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* at = std::getenv("KVR_TEST_STOP_AT"); at != nullptr) {
        g_steps_left = std::strtol(at, nullptr, 10);
        fio::set_fault_hook(stop_before_nth);
    }
    std::vector<std::string> words = QPX_COMMON_CMD::utf8_arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& word : words) {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);
    return fradel_kvr_sign_main(static_cast<int>(words.size()), pointers.data());
}
