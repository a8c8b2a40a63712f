#pragma once
// SIGTERM and SIGINT stop the service in order, instead of ending it at once with its log queue
// unwritten and its clients reset: it accepts no more connections, sends every open connection
// close 1001 "service stopping", gives the clients up to a second to answer, writes out its log
// (at most 3 s; what could not be written is counted on standard error), and exits with status 0.
// A second signal during the stop ends the process at once, with status 128 + the signal.

#include "service/log_queue.hpp"
#include "websocket/server.hpp"

#include <atomic>

namespace korva {

// Blocks SIGTERM and SIGINT in the calling thread and in every thread started after it, so that
// only the thread of stop_on_signals takes them: call it first thing in main, before any thread.
void block_stop_signals();

// Starts the thread that waits for the signals and stops the service; `loop_ended` is set once
// the server's event loop has returned.
void stop_on_signals(KorvaWeb::SocketServer& server, ServiceLog& log, const std::atomic<bool>& loop_ended);

} // namespace korva
