// Stop requests on Windows: the console control handler.
#include <windows.h>

#include <atomic>
#include <csignal>

#include "console_stop.h"

namespace {

std::atomic<QPX_STOP_HANDLER> g_handler{nullptr};

BOOL WINAPI on_console_event(DWORD event) {
    const int number = qpx_signal_of_console_event(event);
    const QPX_STOP_HANDLER handler = g_handler.load();
    if (number == 0 || handler == nullptr) {
        return FALSE;  // the next handler, or the system's default
    }
    handler(number);
    return TRUE;
}

}  // namespace

int qpx_signal_of_console_event(unsigned long event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            return SIGINT;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            return SIGTERM;
        default:
            return 0;
    }
}

bool qpx_install_stop_handler(QPX_STOP_HANDLER handler) {
    if (handler == nullptr) {
        return false;
    }
    const bool first = g_handler.exchange(handler) == nullptr;
    // A process started without Ctrl-C (CREATE_NEW_PROCESS_GROUP) gets it back.
    SetConsoleCtrlHandler(nullptr, FALSE);
    if (first && SetConsoleCtrlHandler(on_console_event, TRUE) == 0) {
        g_handler.store(nullptr);
        return false;
    }
    return true;
}

void qpx_remove_stop_handler() {
    if (g_handler.exchange(nullptr) != nullptr) {
        SetConsoleCtrlHandler(on_console_event, FALSE);
    }
}
