#pragma once
// Socket activation: the service manager may open the service's listening socket itself
// (korva-server.socket) and hand it over as file descriptor 3 ($LISTEN_FDS, $LISTEN_PID). Across a
// restart or a package upgrade the socket then stays open, and clients that connect meanwhile
// wait in its backlog for the next process instead of being refused.

#include <string>

namespace korva {

struct HandedSocket {
  int fd = -1;         // the listening socket to take; -1: the service binds as it always did
  std::string ignored; // why what was handed over is not taken; empty when nothing was
};

// Takes the variables of the protocol ($LISTEN_FDS, $LISTEN_PID, $LISTEN_FDNAMES) out of the
// environment (call it before any thread starts) and the socket they hand over when it is exactly
// one listening TCP socket bound to `address`:`port` (an IPv4 literal), closed on exec. Anything
// else is ignored and said so; what is handed to this process and not taken is closed. Call it
// before the service opens any descriptor, which could be mistaken for one handed over.
HandedSocket take_handed_socket(const std::string& address, unsigned short port);

} // namespace korva
