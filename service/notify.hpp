#pragma once
// The service manager's notification protocol: datagrams of NAME=value lines to the socket that
// $NOTIFY_SOCKET names, by which systemd learns that the service is ready (READY=1), how it is
// doing (STATUS=...), that it is alive (WATCHDOG=1) and that it is stopping (STOPPING=1). Written
// here rather than taken from libsystemd: the protocol is one datagram, and the device then needs
// no further library for it. Started without $NOTIFY_SOCKET (by hand, by the init script, or by
// systemd without Type=notify), the service sends nothing and behaves as it always did.

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <string>

namespace korva {

// A variable of the service manager's protocols (this one, the handed sockets' $LISTEN_*), taken
// out of the environment so that nothing the device library may start inherits it: its value,
// empty when it was not set. Before any thread starts (the environment is not thread-safe).
std::string take_manager_variable(const char* name);

class Notifier {
public:
  // Takes the protocol's variables ($NOTIFY_SOCKET, $WATCHDOG_USEC, $WATCHDOG_PID) out of the
  // environment, so that nothing the device library may start inherits them. Call it before any
  // thread starts (the environment is not thread-safe).
  static Notifier from_environment();

  Notifier() = default; // sends nothing
  // To `socket` (a path, or an abstract name after '@'); `watchdog`: $WATCHDOG_USEC, 0 for none.
  Notifier(const std::string& socket, std::chrono::microseconds watchdog);
  ~Notifier();
  Notifier(Notifier&& other) noexcept;
  Notifier& operator=(Notifier&&) = delete;
  Notifier(const Notifier&) = delete;

  bool enabled() const noexcept { return fd_ >= 0; }
  // How often to send WATCHDOG=1: half the service manager's time, as it asks, but never more
  // often than every 100 ms (a manager that asks for microseconds gets no busy loop) nor less
  // often than once a day (however long it asks for); zero when it watches nothing.
  std::chrono::microseconds watchdog_interval() const noexcept;

  // Sends one datagram of lines ("READY=1", "STATUS=...\nWATCHDOG=1"); false when it could not be
  // sent, or nothing is to be sent. Any thread; never blocks.
  bool notify(const std::string& state) const noexcept;

private:
  int fd_ = -1;
  sockaddr_un address_{};
  socklen_t address_length_ = 0;
  std::chrono::microseconds watchdog_{0};
};

} // namespace korva
