// Requests to stop the process, from the console or the system, for a tool that must finish
// or undo its work before it ends. The handler gets the request as a signal number:
//   POSIX:   SIGINT, SIGTERM and SIGHUP as they come;
//   Windows: Ctrl-C and Ctrl-Break as SIGINT; closing the console window, logging off and
//            shutting down as SIGTERM (there is no SIGHUP).
// On POSIX the handler runs as a signal handler, so it may only do what such a handler may. On
// Windows it runs on a thread of its own while the others go on; after a close, log-off or
// shut-down the system ends the process as soon as the handler returns (or after a few
// seconds), so the handler must have finished what has to be finished by then.
#pragma once

#include <cstddef>
#ifndef _WIN32
#include <signal.h>
#endif

using QPX_STOP_HANDLER = void (*)(int signal_number);

// Installs `handler` for every stop request, replacing one installed before. False when the
// system refuses; the default handling then stays.
bool qpx_install_stop_handler(QPX_STOP_HANDLER handler);

// Puts back the system's default handling of stop requests.
void qpx_remove_stop_handler();

#ifdef _WIN32
// Hands `event` to the installed handler on the calling thread, as the system hands a console
// event to a thread of its own: for tests, where no console can send one. False when no
// handler took it.
bool qpx_deliver_console_event(unsigned long event);
#endif

// The signal number a Windows console event stands for (CTRL_C_EVENT and the others), 0 for
// an event that is no stop request.
int qpx_signal_of_console_event(unsigned long event);

// Installs `handler` for the stop that ends the process: it runs once, and must end with
// qpx_end_as_stopped. A stop request the caller chose to ignore (nohup; on Windows a process
// started with Ctrl-C disabled) stays ignored. False when the system refuses.
bool qpx_install_final_stop_handler(QPX_STOP_HANDLER handler);

// Ends the process as the stop request `signal_number` ends it by default: on POSIX by the
// signal itself (its default action, put back when the final handler ran), on Windows with
// status 128 + signal_number (130 after Ctrl-C or Ctrl-Break, 143 after a close), as a shell
// reports a process ended by that signal.
void qpx_end_as_stopped(int signal_number);

// Writes `length` bytes of `text` to the standard error stream, unbuffered; the final handler
// may use it (on POSIX it is async-signal-safe).
void qpx_say_from_stop_handler(const char* text, size_t length);

// Holds stop requests back for its lifetime; holds nest. A request that arrives meanwhile is
// handled when the last hold ends: on POSIX the signals are blocked, on Windows the handler's
// thread waits. Once a handler runs, a new hold on another thread waits for the process's end.
class qpx_stop_requests_held {
  public:
    qpx_stop_requests_held();
    ~qpx_stop_requests_held();
    qpx_stop_requests_held(const qpx_stop_requests_held&) = delete;
    qpx_stop_requests_held& operator=(const qpx_stop_requests_held&) = delete;

    // Keeps them held for the rest of the process: a stop that reports a failure then prints it
    // whole before the process ends.
    void keep() { kept_ = true; }

  private:
#ifndef _WIN32
    sigset_t previous_{};
#endif
    bool kept_ = false;
};

// Whether a stop request waits, held back, to act.
bool qpx_stop_request_pending();
