// Stop requests on POSIX: SIGINT, SIGTERM and SIGHUP through sigaction.
#include <signal.h>
#include <unistd.h>

#include "console_stop.h"

#include <initializer_list>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void add_stop_signals(sigset_t& set) {
    sigemptyset(&set);
    for (const int number : kStopSignals) {
        sigaddset(&set, number);
    }
}

bool set_action(void (*action)(int)) {
    struct sigaction request {};
    request.sa_handler = action;
    add_stop_signals(request.sa_mask);  // one request at a time
    bool all = true;
    for (const int number : kStopSignals) {
        all = sigaction(number, &request, nullptr) == 0 && all;
    }
    return all;
}

}  // namespace

bool qpx_install_stop_handler(QPX_STOP_HANDLER handler) {
    return handler != nullptr && set_action(handler);
}

void qpx_remove_stop_handler() {
    set_action(SIG_DFL);
}

int qpx_signal_of_console_event(unsigned long) {
    return 0;  // no console events here
}

bool qpx_install_final_stop_handler(QPX_STOP_HANDLER handler) {
    if (handler == nullptr) {
        return false;
    }
    // SA_RESETHAND puts the default action back and SA_NODEFER leaves the signal unblocked,
    // so that qpx_end_as_stopped can end the process by it.
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    add_stop_signals(action.sa_mask);
    bool all = true;
    for (const int number : kStopSignals) {
        struct sigaction previous {};
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            all = sigaction(number, &action, nullptr) == 0 && all;
        }
    }
    return all;
}

void qpx_end_as_stopped(int signal_number) {
    ::raise(signal_number);
}

void qpx_say_from_stop_handler(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(STDERR_FILENO, text, length);
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<size_t>(written);
    }
}

qpx_stop_requests_held::qpx_stop_requests_held() {
    sigset_t held;
    add_stop_signals(held);
    sigprocmask(SIG_BLOCK, &held, &previous_);
}

qpx_stop_requests_held::~qpx_stop_requests_held() {
    if (!kept_) {
        sigprocmask(SIG_SETMASK, &previous_, nullptr);
    }
}

bool qpx_stop_request_pending() {
    sigset_t pending;
    sigset_t stops;
    sigemptyset(&pending);
    add_stop_signals(stops);
    if (sigpending(&pending) != 0) {
        return false;
    }
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigismember(&pending, signal_number) == 1 && sigismember(&stops, signal_number) == 1) {
            return true;
        }
    }
    return false;
}
