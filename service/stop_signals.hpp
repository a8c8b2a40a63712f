#pragma once
// The signals the service takes for itself: SIGTERM and SIGINT begin the orderly stop
// (service/stop.hpp), and SIGPIPE never ends the service (a write to a reader that went away fails
// with EPIPE instead).
//
// They are caught, never blocked or ignored: a blocked mask and an ignored disposition are
// inherited by every process the device library starts (a reboot or update script), which SIGTERM
// would then leave running and a broken pipe never end; exec resets a handler. The handlers only
// record the signal: SIGTERM and SIGINT as one byte, the signal's number, in a pipe that the stop's
// thread reads; SIGPIPE not at all. They may run on any thread, the device library's included, and
// restart the system calls they interrupt (SA_RESTART; those that never restart, such as poll and
// nanosleep, may still end early with EINTR).
//
// A process forked from the service that has not exec'd keeps the handlers. There they give the
// signal back its default action and raise it again: the child ends as it would have without us,
// and the service's stop never hears of it.

namespace korva {

// Installs the handlers and unblocks the three signals in the calling thread (the threads it starts
// inherit its mask): first thing in main, before any thread starts. Returns the pipe's read end
// (non-blocking, closed on exec), readable while a stop signal is unread. Throws std::system_error
// when there is no pipe to be had.
int install_stop_signals();

// The next stop signal from `fd` (install_stop_signals's), or 0 when there is none. The stop's
// thread.
int next_stop_signal(int fd) noexcept;

} // namespace korva
