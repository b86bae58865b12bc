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

using QPX_STOP_HANDLER = void (*)(int signal_number);

// Installs `handler` for every stop request, replacing one installed before. False when the
// system refuses; the default handling then stays.
bool qpx_install_stop_handler(QPX_STOP_HANDLER handler);

// Puts back the system's default handling of stop requests.
void qpx_remove_stop_handler();

// The signal number a Windows console event stands for (CTRL_C_EVENT and the others), 0 for
// an event that is no stop request.
int qpx_signal_of_console_event(unsigned long event);
