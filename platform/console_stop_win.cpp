// Stop requests on Windows: the console control handler. The system calls it on a thread of
// its own, so a hold is a count under a lock that the handler's thread waits on.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>

#include "console_stop.h"
#include "qpx_common.h"

namespace {

std::atomic<QPX_STOP_HANDLER> g_handler{nullptr};

struct stop_gate {
    std::mutex lock;
    std::condition_variable changed;
    unsigned holds = 0;
    bool stopping = false;
    DWORD stopping_thread = 0;
    int waiting = 0;  // stop requests waiting for the holds to end
};

// Never destroyed: a console event may come while the process exits.
stop_gate& g_gate = *new stop_gate;

[[noreturn]] void wait_for_the_end(std::unique_lock<std::mutex>& held) {
    for (;;) {
        g_gate.changed.wait(held);  // the stop under way ends the process
    }
}

// Waits until no hold is left, then lets this thread stop the process; a second request
// while one is stopping it waits for the end.
void enter_stop() {
    std::unique_lock<std::mutex> held(g_gate.lock);
    if (g_gate.stopping) {
        wait_for_the_end(held);
    }
    ++g_gate.waiting;
    g_gate.changed.wait(held, [] { return g_gate.holds == 0; });
    --g_gate.waiting;
    g_gate.stopping = true;
    g_gate.stopping_thread = GetCurrentThreadId();
}

void leave_stop() {
    {
        const std::lock_guard<std::mutex> held(g_gate.lock);
        g_gate.stopping = false;
    }
    g_gate.changed.notify_all();
}

BOOL WINAPI on_console_event(DWORD event) {
    const int number = qpx_signal_of_console_event(event);
    const QPX_STOP_HANDLER handler = g_handler.load();
    if (number == 0 || handler == nullptr) {
        return FALSE;  // the next handler, or the system's default
    }
    enter_stop();
    handler(number);
    leave_stop();  // a handler that returns lets the process go on
    return TRUE;
}

bool install(QPX_STOP_HANDLER handler) {
    const bool first = g_handler.exchange(handler) == nullptr;
    if (first && SetConsoleCtrlHandler(on_console_event, TRUE) == 0) {
        g_handler.store(nullptr);
        return false;
    }
    return true;
}

}  // namespace

int qpx_signal_of_console_event(unsigned long event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            return SIGINT;
        case CTRL_CLOSE_EVENT:
            return SIGTERM;
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // Never delivered to a program that loads user32.dll, as this one does (through
            // libcrypto): a log-off or shutdown ends it as a kill would, and the next run
            // finishes or undoes a commit it cut short. Taken as SIGTERM should one come.
            return SIGTERM;
        default:
            return 0;
    }
}

bool qpx_install_stop_handler(QPX_STOP_HANDLER handler) {
    if (handler == nullptr) {
        return false;
    }
    // A process started without Ctrl-C (CREATE_NEW_PROCESS_GROUP) gets it back.
    SetConsoleCtrlHandler(nullptr, FALSE);
    return install(handler);
}

bool qpx_install_final_stop_handler(QPX_STOP_HANDLER handler) {
    return handler != nullptr && install(handler);
}

void qpx_remove_stop_handler() {
    if (g_handler.exchange(nullptr) != nullptr) {
        SetConsoleCtrlHandler(on_console_event, FALSE);
    }
}

bool qpx_deliver_console_event(unsigned long event) {
    return on_console_event(event) != FALSE;
}

void qpx_end_as_stopped(int signal_number) {
    // Not ExitProcess: the other threads are stopped where they are, no library clean-up runs
    // behind the handler's back, and the status is the one a shell gives a signalled process.
    // No exit handler runs either: the console's code page is put back here.
    QPX_COMMON_MSG::restore_console();
    TerminateProcess(GetCurrentProcess(), 128U + static_cast<unsigned>(signal_number));
}

void qpx_say_from_stop_handler(const char* text, size_t length) {
    const HANDLE stream = GetStdHandle(STD_ERROR_HANDLE);
    while (length > 0 && stream != nullptr && stream != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        const DWORD chunk = length > (1U << 20) ? (1U << 20) : static_cast<DWORD>(length);
        if (WriteFile(stream, text, chunk, &written, nullptr) == 0 || written == 0) {
            return;
        }
        text += written;
        length -= written;
    }
}

qpx_stop_requests_held::qpx_stop_requests_held() {
    std::unique_lock<std::mutex> held(g_gate.lock);
    if (g_gate.stopping && g_gate.stopping_thread != GetCurrentThreadId()) {
        wait_for_the_end(held);
    }
    ++g_gate.holds;
}

bool qpx_stop_request_pending() {
    const std::lock_guard<std::mutex> held(g_gate.lock);
    return g_gate.waiting > 0;
}

qpx_stop_requests_held::~qpx_stop_requests_held() {
    if (kept_) {
        return;  // held for the rest of the process
    }
    {
        const std::lock_guard<std::mutex> held(g_gate.lock);
        --g_gate.holds;
    }
    g_gate.changed.notify_all();
}
