// A WebSocket echo server on the KorvaWeb library alone, and the shortest complete example of
// using it: every message comes back as it came (text as text, binary as binary), compressed with
// permessage-deflate when the client offered it.
//
//   echo_server PORT [ADDRESS]      ADDRESS defaults to 127.0.0.1; any path is accepted
//
// It runs the event loop itself, so that SIGINT and SIGTERM can end it: the loop then returns
// and the process exits with status 0.

#include "websocket/server.hpp"

#include <boost/asio/signal_set.hpp>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: " << argv[0] << " PORT [ADDRESS]\n";
    return 2;
  }
  KorvaWeb::SocketServer server;
  server.config.port = static_cast<unsigned short>(std::atoi(argv[1]));
  server.config.address = argc > 2 ? argv[2] : "127.0.0.1";
  server.config.permessage_deflate = true; // agreed on whenever a client offers it

  auto& echo = server.endpoints["^/.*$"];
  echo.on_message = [](std::shared_ptr<KorvaWeb::SocketServer::Connection> connection,
                       std::shared_ptr<KorvaWeb::Message> message) {
    auto reply = std::make_shared<KorvaWeb::SendStream>(message->content());
    connection->send(reply, nullptr, message->fin_rsv_opcode);
  };

  // With an event loop of our own, start() only opens the listener; we run the loop.
  server.io_service = std::make_shared<boost::asio::io_context>(1); // run by this thread alone
  boost::asio::signal_set stop(*server.io_service, SIGINT, SIGTERM);
  stop.async_wait([&server](const boost::system::error_code&, int) { server.io_service->stop(); });
  try {
    server.start();
  } catch (const std::exception& e) {
    std::cerr << "echo_server: cannot listen on " << server.config.address << ":" << argv[1] << ": " << e.what() << "\n";
    return 1;
  }
  server.io_service->run();
  return 0;
}
