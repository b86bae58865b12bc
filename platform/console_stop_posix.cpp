// Stop requests on POSIX: SIGINT, SIGTERM and SIGHUP through sigaction.
#include <signal.h>

#include "console_stop.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

bool set_action(void (*action)(int)) {
    struct sigaction request {};
    request.sa_handler = action;
    sigemptyset(&request.sa_mask);
    for (const int number : kStopSignals) {
        sigaddset(&request.sa_mask, number);  // one request at a time
    }
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
