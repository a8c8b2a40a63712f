#include "service/handed_socket.hpp"

#include "service/notify.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace korva {

namespace {

constexpr int first_handed_fd = 3;

// Why `fd` is not a listening TCP socket bound to the address and port; empty when it is.
std::string unfit(int fd, const std::string& address, unsigned short port) {
  int type = 0, listening = 0;
  socklen_t size = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM)
    return "it is not a stream socket";
  size = sizeof listening;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening)
    return "it is not listening";
  sockaddr_in bound{};
  size = sizeof bound;
  in_addr wanted{};
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0 || bound.sin_family != AF_INET ||
      ::inet_pton(AF_INET, address.c_str(), &wanted) != 1 || bound.sin_addr.s_addr != wanted.s_addr ||
      ntohs(bound.sin_port) != port)
    return "it is not bound to " + address + ":" + std::to_string(port);
  return std::string();
}

} // namespace

HandedSocket take_handed_socket(const std::string& address, unsigned short port) {
  const std::string fds = take_manager_variable("LISTEN_FDS");
  const std::string pid = take_manager_variable("LISTEN_PID");
  take_manager_variable("LISTEN_FDNAMES");
  HandedSocket handed;
  if (fds.empty())
    return handed;
  const std::string ignoring = "socket activation: LISTEN_FDS=" + fds + " LISTEN_PID=" + pid + " ignored, ";
  if (pid != std::to_string(::getpid())) {
    handed.ignored = ignoring + "the sockets are not for this process";
    return handed;
  }
  char* end = nullptr;
  errno = 0;
  const long count = std::strtol(fds.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || count < 1 || count > 64) {
    handed.ignored = ignoring + "not a count of sockets";
    return handed;
  }
  const std::string why = count != 1 ? "one listening socket is taken, not " + fds : unfit(first_handed_fd, address, port);
  if (why.empty()) {
    ::fcntl(first_handed_fd, F_SETFD, FD_CLOEXEC); // nothing the device library starts is to inherit it
    handed.fd = first_handed_fd;
    return handed;
  }
  // Ours, and not taken: a socket left open would go on listening, and its clients wait for ever.
  for (int fd = first_handed_fd; fd < first_handed_fd + count; ++fd)
    ::close(fd);
  handed.ignored = ignoring + why;
  return handed;
}

} // namespace korva
