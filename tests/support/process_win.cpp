// run_program and friends on Windows: CreateProcessW with a wide command line quoted so that
// the child's CommandLineToArgvW (and its C runtime) gives back exactly the words given, the
// output captured in temporary files, the exit code as the status.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "process.h"
#include "zrl_core.h"

namespace kvr_test {

namespace {

// A path of the build machine ("/work/build/x.exe") as Wine's drive Z: shows it.
std::string windows_program_path(const std::string& program) {
    if (program.empty() || program.front() != '/') {
        return program;
    }
    std::string path = "Z:" + program;
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

}  // namespace

std::wstring quote_argument(const std::wstring& word) {
    if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return word;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : word) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped; elsewhere they are kept.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted.push_back(c);
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');  // before the closing quote
    quoted.push_back(L'"');
    return quoted;
}

namespace {

std::map<DWORD, HANDLE> g_started;  // processes started and not yet waited for

std::string slurp(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// An inheritable handle on a new temporary file (or NUL when `path` is empty).
HANDLE open_capture(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.empty() ? L"NUL" : path.c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       path.empty() ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY,
                       nullptr);
}

HANDLE open_null_input() {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       OPEN_EXISTING, 0, nullptr);
}

// Starts the program with the given standard handles; the process handle, or null.
HANDLE spawn(const std::string& program, const std::vector<std::string>& args,
             const std::string& working_dir, HANDLE out, HANDLE err, DWORD& pid) {
    const std::wstring application = fio_widen_path(windows_program_path(program));
    std::wstring line = quote_argument(application);
    for (const std::string& arg : args) {
        line += L" " + quote_argument(fio_widen_path(arg));
    }
    HANDLE input = open_null_input();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    const std::wstring folder = fio_widen_path(working_dir);
    const BOOL started =
        CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &startup, &info);
    CloseHandle(input);
    if (started == 0) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    pid = info.dwProcessId;
    return info.hProcess;
}

int wait_handle(HANDLE process) {
    DWORD code = 0;
    const bool ended = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(process, &code) != 0;
    CloseHandle(process);
    return ended ? static_cast<int>(code) : -1;
}

std::wstring capture_path(const wchar_t* stream) {
    wchar_t folder[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, folder);
    static unsigned counter = 0;
    return std::wstring(folder) + L"kvr_test_" + stream + L"_" +
           std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
}

}  // namespace

process_result run_program(const std::string& program, const std::vector<std::string>& args,
                           const std::string& working_dir) {
    const std::wstring out_path = capture_path(L"out");
    const std::wstring err_path = capture_path(L"err");
    HANDLE out = open_capture(out_path);
    HANDLE err = open_capture(err_path);
    if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create capture files");
    }
    DWORD pid = 0;
    HANDLE process = spawn(program, args, working_dir, out, err, pid);
    CloseHandle(out);
    CloseHandle(err);
    process_result result;
    if (process != nullptr) {
        result.status = wait_handle(process);
    }
    result.out = slurp(out_path);
    result.err = slurp(err_path);
    DeleteFileW(out_path.c_str());
    DeleteFileW(err_path.c_str());
    if (process == nullptr) {
        throw std::runtime_error("cannot start " + program);
    }
    return result;
}

int start_program(const std::string& program, const std::vector<std::string>& args,
                  const std::string& working_dir) {
    HANDLE null_out = open_capture(L"");
    DWORD pid = 0;
    HANDLE process = spawn(program, args, working_dir, null_out, null_out, pid);
    CloseHandle(null_out);
    if (process == nullptr) {
        throw std::runtime_error("cannot start " + program);
    }
    g_started[pid] = process;
    return static_cast<int>(pid);
}

int wait_program(int pid) {
    const auto found = g_started.find(static_cast<DWORD>(pid));
    if (found == g_started.end()) {
        return -1;
    }
    HANDLE process = found->second;
    g_started.erase(found);
    return wait_handle(process);
}

}  // namespace kvr_test
