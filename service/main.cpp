// korva-server: the device's WebSocket service. Listens on 127.0.0.1:8888 behind the device's
// front-end web server, answers API requests on "/api" through the device library and pushes
// device data to every client. Takes no arguments and no settings; runs until SIGTERM or SIGINT
// stops it in order (or a signal without a handler ends it). Started by systemd, it also speaks
// the service manager's protocols: readiness, status, watchdog and a listening socket handed over
// (service/notify.hpp, service/handed_socket.hpp); they change nothing of what it does.

#include "api/connection_log.hpp"
#include "api/request_handler.hpp"
#include "device/device_calls.hpp"
#include "device/local_push_notification_handler.hpp"
#include "device/logger.hpp"
#include "device/system_api.hpp"
#include "push/broadcast.hpp"
#include "push/monitor.hpp"
#include "push/notifications.hpp"
#include "service/handed_socket.hpp"
#include "service/log_queue.hpp"
#include "service/notify.hpp"
#include "service/status.hpp"
#include "service/stop.hpp"
#include "service/stop_signals.hpp"
#include "service/watch.hpp"
#include "websocket/server.hpp"

#include <malloc.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr const char* listen_address = "127.0.0.1";
constexpr unsigned short listen_port = 8888;
// Large enough for any request the web interface makes, small enough that one client cannot
// make the device buffer an unbounded message.
constexpr std::size_t max_message_size = 16 * 1024 * 1024;
// While more than this is queued for a client, its next request is not read: a client that sends
// without reading is held back by TCP instead of growing what the device holds for it.
constexpr std::size_t send_queue_high_water = 1024 * 1024;
// A client for which more than this would be queued (one reply to the largest request fits, with
// room to spare) is cut off, so that one stalled browser cannot take the device's memory.
constexpr std::size_t send_queue_limit = max_message_size + 1024 * 1024;
// A connection that has been closed or has failed is let go at the latest this long afterwards,
// whether or not its client has read what was queued for it.
constexpr long timeout_close = 5;
// A client that starts a frame or a fragmented message and then stops sending is cut off after
// this long, so that a half-sent message cannot hold its memory for good. An idle connection has
// no time-out.
constexpr long timeout_message = 30;
// What the service may hold for all its clients together: the messages being received and the
// frames queued. The unit gives the service 128 MiB (MemoryMax); beside this budget it needs
// room for one request under way (a largest request and its reply, 2 x 16 MiB, counted only once
// the reply is queued), the device library's own copies, the log's queue (1 MiB), the
// connections themselves and about 4 MiB to run: 40 MiB keeps the whole under 100 MiB. It holds a
// largest message being received, a largest reply and a largest notification at once
// (docs/operation.md, "Limits").
constexpr std::size_t memory_budget = 40 * 1024 * 1024;
// What the pushes of the monitor and of the device's push thread may hold, beside the budget, while
// the event loop is held up (a device call that takes a minute): the monitor then waits, the push
// thread drops its oldest pushes, and no client is cut for it.
constexpr std::size_t handover_reserve = 8 * 1024 * 1024;
// Open connections at most, handshakes under way included; one more is answered 503. A console
// needs one or two, and the front end lets each browser address have 16. With the service's own
// files this fits the unit's open-file limit (LimitNOFILE=2048).
constexpr std::size_t max_connections = 1024;
// Each client's socket buffers instead of the kernel's sizing (up to megabytes for a client that
// does not read, which the unit's memory limit counts too). The send buffer is what loopback needs
// for large replies at full speed; what the kernel holds of it counts against the budget. The
// receive buffer fills only while the service does not read a client: 8 KiB kept by the kernel
// per connection, 8 MiB for the most connections, outside the budget.
constexpr int send_buffer_size = 64 * 1024;
constexpr int receive_buffer_size = 4 * 1024;

// How long an ending process waits for its last entries to be written.
constexpr std::chrono::seconds exit_log_limit{2};

// A thread of the service cannot go on: the log has a bounded time to write what it holds, then
// the reason goes straight to standard error (however full or stuck the log is), and the process
// ends with status 1 at once, without running destructors under the threads that still use the
// objects. Any thread; the first to call it ends the process.
[[noreturn]] void exit_on_failure(korva::ServiceLog& log, const std::string& what) {
  log.finish(exit_log_limit, "korva-server: " + what);
  std::_Exit(1);
}

std::string describe(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// The server as the service runs it: where it listens, and every limit its clients meet.
void configure_server(KorvaWeb::SocketServer& server) {
  server.config.address = listen_address;
  server.config.port = listen_port;
  server.config.max_message_size = max_message_size;
  server.config.send_queue_high_water = send_queue_high_water;
  server.config.send_queue_limit = send_queue_limit;
  server.config.timeout_close = timeout_close;
  server.config.timeout_message = timeout_message;
  server.config.memory_budget = memory_budget;
  server.config.handover_reserve = handover_reserve;
  server.on_broadcasts_dropped = korva::log_dropped_pushes;
  server.config.max_connections = max_connections;
  server.config.send_buffer_size = send_buffer_size;
  server.config.receive_buffer_size = receive_buffer_size;
  // Every browser and client library offers permessage-deflate: the JSON that goes to a device
  // reached over a slow link shrinks several times.
  server.config.permessage_deflate = true;
}

// The one device interface, or none when the device library cannot start: its text is then the
// one entry on standard error, and the service ends with status 1 before anything listens.
std::unique_ptr<SystemAPI> create_device_interface() {
  try {
    return std::unique_ptr<SystemAPI>(new SystemAPI(false));
  } catch (const std::exception& e) {
    Logger(std::cerr) << e.what();
    return nullptr;
  }
}

// The handlers of "/api", all set before the server thread starts, so that the first client
// already meets them. The endpoint refers to every argument for the life of the server; `cuts`
// counts the clients cut for a limit, for the status line.
void install_api_endpoint(KorvaWeb::SocketServer& server, SystemAPI& system_api, std::mutex& request_mutex,
                          bool& rebooting, korva::ConnectionCuts& cuts) {
  auto& endpoint = server.endpoints["^/api/?$"];
  endpoint.on_message = korva::make_message_handler(system_api, server, request_mutex, rebooting);
  endpoint.on_open = korva::on_open;
  endpoint.on_close = korva::on_close;
  endpoint.on_error = [&cuts](std::shared_ptr<korva::Connection> connection, const boost::system::error_code& error) {
    cuts.count(error);
    korva::on_error(std::move(connection), error);
  };
}

// The server thread's work: listens (on the socket systemd handed over, if one was taken), tells
// the service manager it is ready, and runs the event loop until an orderly stop ends it. A
// listener that cannot be set up, or an exception out of the loop, ends the process with status 1.
void serve(KorvaWeb::SocketServer& server, korva::ServiceLog& log, korva::ServiceStop& stop,
           const korva::Notifier& notifier, const korva::HandedSocket& handed) {
  pthread_setname_np(pthread_self(), "korva-loop");
  try {
    if (handed.fd >= 0)
      server.acceptor.reset(new boost::asio::ip::tcp::acceptor(*server.io_service, boost::asio::ip::tcp::v4(), handed.fd));
    server.start();
    notifier.notify("READY=1");
    server.io_service->run();
    stop.loop_ended(); // an orderly stop ended it
  } catch (...) {
    std::string what = describe(std::current_exception());
    if (server.bound_port() == 0)
      exit_on_failure(log, std::string("cannot listen on ") + listen_address + ":" + std::to_string(listen_port) + ": " + what);
    exit_on_failure(log, "server thread ended by an exception: " + what);
  }
}

// The monitor thread's work: the value-change monitor for as long as the service runs. An
// exception out of it stops the service in order with status 1.
void watch_values(SystemAPI& system_api, KorvaWeb::SocketServer& server, korva::ServiceStop& stop) {
  pthread_setname_np(pthread_self(), "korva-monitor");
  try {
    korva::run_monitor(system_api, server);
  } catch (...) {
    stop.fail("monitor thread ended by an exception: " + describe(std::current_exception()));
  }
}

// One second, whatever signals come meanwhile.
void sleep_one_second() {
  struct timespec one_second {1, 0};
  while (nanosleep(&one_second, &one_second) != 0 && errno == EINTR) {
  }
}

// Hands the calling thread (the main thread) to the device's push notification handler until its
// run() returns. An exception out of it stops the service in order with status 1. The handler is
// returned to be destroyed once the threads that may still push have ended.
std::unique_ptr<LocalPushNotificationHandler> run_push_handler(SystemAPI& system_api, KorvaWeb::SocketServer& server,
                                                               korva::ServiceStop& stop) {
  auto push_callback = korva::make_push_callback(system_api, server);
  std::unique_ptr<LocalPushNotificationHandler> push_handler;
  try {
    push_handler.reset(new LocalPushNotificationHandler(push_callback));
    push_handler->start();
    push_handler->run();
  } catch (...) {
    stop.fail("push handler ended by an exception: " + describe(std::current_exception()));
  }
  return push_handler;
}

} // namespace

int main() {
  // The service manager's variables leave the environment before any thread starts. The handed
  // sockets come first: a descriptor the service opens must not be mistaken for one.
  const korva::HandedSocket handed = korva::take_handed_socket(listen_address, listen_port);
  // SIGTERM and SIGINT stop the service in order (service/stop.hpp); a log reader that goes away
  // costs the entries written to it, never the service. Caught, not blocked or ignored, so that
  // what the device library starts inherits nothing of it.
  const int stop_signals = korva::install_stop_signals();
  const korva::Notifier notifier = korva::Notifier::from_environment();

  // Blocks of 256 KiB and more (the buffers of large messages) are mapped on their own and go back
  // to the system when freed. Left to itself the allocator raises this threshold after the first
  // large message and keeps tens of MiB for good on a device that seldom needs them.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);

  // From here on log entries go through queues written by threads of their own: no thread of
  // the service waits for the reader of its standard output or error. At the end of main the
  // queues are written out (for a bounded time).
  korva::ServiceLog log;
  Logger(std::cout) << "Starting korva-server";
  if (!handed.ignored.empty())
    Logger(std::cerr) << "korva-server: " << handed.ignored << "; listening on " << listen_address << ":"
                      << static_cast<int>(listen_port) << " itself";

  KorvaWeb::SocketServer server;
  configure_server(server);
  std::unique_ptr<SystemAPI> system_api = create_device_interface();
  if (!system_api)
    return 1;
  std::mutex request_mutex;
  bool rebooting = false;
  korva::ConnectionCuts cuts;
  install_api_endpoint(server, *system_api, request_mutex, rebooting, cuts);

  // The event loop is made here, before any thread that stops it: the server thread runs it once
  // start() has opened the listener.
  server.io_service = std::make_shared<boost::asio::io_context>(1);
  korva::ServiceStop stop(server, log, notifier, stop_signals);
  // The device library threw something unknown: no further call, and the process ends in order.
  korva::device_calls().on_unknown_failure([&stop](const std::string& reason) { stop.fail(reason); });
  stop.start();
  korva::ServiceWatch watch(server, notifier, log, cuts);
  watch.start();

  std::thread server_thread([&] { serve(server, log, stop, notifier, handed); });
  korva::StackThread monitor_thread(korva::monitor_stack_size, [&] { watch_values(*system_api, server, stop); });
  sleep_one_second();
  std::unique_ptr<LocalPushNotificationHandler> push_handler = run_push_handler(*system_api, server, stop);

  server_thread.join();
  monitor_thread.join();
  push_handler.reset();
  system_api.reset();
  return 0; // the server goes last, with this scope
}
