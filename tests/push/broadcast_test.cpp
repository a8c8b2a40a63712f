#include "push/broadcast.hpp"
#include "tests/support/library_server.hpp"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>

#include <atomic>
#include <climits>
#include <iostream>
#include <set>
#include <thread>
#include <vector>

using namespace korva_test;

namespace {

TEST(SendCallbacks, EachFailureIsOneEntryAndSuccessLogsNothing) {
  CapturedStream errors(std::cerr);
  boost::system::error_code ok;
  korva::answer_send_callback(ok);
  korva::broadcast_send_callback(ok);
  korva::notification_send_callback(1)(ok);
  EXPECT_EQ(errors.text(), "");

  boost::system::error_code broken = boost::asio::error::broken_pipe;
  korva::answer_send_callback(broken);
  korva::broadcast_send_callback(broken);
  // The largest connection id (a pointer's value) on this platform: 20 digits on 64 bits, 10 on 32.
  korva::notification_send_callback(ULONG_MAX)(boost::asio::error::eof);
  EXPECT_EQ(errors.text(),
            "Server: Error sending message. Error: system:32, error message: Broken pipe\n"
            "Client: Error sending push notification. Error: system:32, error message: Broken pipe\n"
            "Server: Error sending push notification to connection " + std::to_string(ULONG_MAX) +
            "Error: asio.misc:2, error message: End of file\n");
}

TEST(Broadcast, EveryOpenConnectionGetsOneTextFrameEmptyOnesToo) {
  LibraryServer server;
  server.start();
  korva::push_data_to_active_connections(server.server, "nobody listens"); // no connection: no effect

  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 3; ++i)
    clients.push_back(server.connect());
  korva::push_data_to_active_connections(server.server, R"({"group":0,"id":1,"index":0,"value":23.5})");
  korva::push_data_to_active_connections(server.server, "");
  for (auto& client : clients) {
    Frame frame = client->read_frame();
    EXPECT_EQ(frame.fin_rsv_opcode, 0x81);
    EXPECT_EQ(frame.payload, R"({"group":0,"id":1,"index":0,"value":23.5})");
    EXPECT_EQ(client->read_exact(2), std::string("\x81\x00", 2));
  }
}

TEST(Broadcast, FailedWriteIsLoggedByTheBroadcastCallback) {
  CapturedStream errors(std::cerr);
  LibraryServer server;
  // The socket goes away under a connection that is still enrolled, so the frame that the
  // broadcast queues cannot be written.
  server.endpoint.on_message = [&server](std::shared_ptr<LibraryServer::Connection> connection,
                                         std::shared_ptr<KorvaWeb::Message>) {
    connection->close_socket();
    korva::push_data_to_active_connections(server.server, "lost");
  };
  server.start();
  auto client = server.connect();
  client->send_text("go");
  EXPECT_TRUE(eventually([&] { return !errors.text().empty(); }));
  server.stop();
  EXPECT_EQ(errors.text(), "Client: Error sending push notification. Error: system:9, error message: Bad file descriptor\n");
}

// Three threads push while clients come and go. A client that stays throughout gets every
// frame, whole, in one piece, and the last one after the pushers are done.
TEST(Broadcast, ConcurrentPushesWhileClientsComeAndGo) {
  CapturedStream errors(std::cerr);
  LibraryServer server;
  server.start();
  const std::vector<std::string> texts{"a", std::string(200, 'b'), std::string(5000, 'c')};
  auto steady = server.connect();

  std::atomic<bool> visiting{true};
  std::atomic<long> pushed{0};
  std::vector<std::thread> pushers;
  for (std::size_t t = 0; t < 3; ++t)
    pushers.emplace_back([&, t] {
      for (int i = 0; i < 5000 && visiting; ++i) {
        korva::push_data_to_active_connections(server.server, texts[t]);
        ++pushed;
      }
    });
  std::thread visitors([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < 40 && std::chrono::steady_clock::now() < deadline; ++i) {
      TestClient client(server.port());
      if (client.handshake())
        client.read_frame(std::chrono::milliseconds(100)); // whatever comes first, if anything
      client.close(i % 2 == 0);
    }
    visiting = false;
  });
  long received = 0;
  std::thread reader([&] {
    for (;;) {
      Frame frame = steady->read_frame(std::chrono::seconds(20));
      if (!frame.ok || frame.payload == "last")
        return;
      EXPECT_EQ(frame.fin_rsv_opcode, 0x81);
      EXPECT_NE(std::find(texts.begin(), texts.end(), frame.payload), texts.end())
          << "frame of " << frame.payload.size() << " bytes";
      ++received;
    }
  });

  visitors.join();
  for (auto& pusher : pushers)
    pusher.join();
  korva::push_data_to_active_connections(server.server, "last");
  reader.join();
  EXPECT_EQ(received, pushed.load());
  server.stop();
  // Writes to clients that left may fail; each failure is one whole broadcast entry.
  std::istringstream lines(errors.text());
  for (std::string line; std::getline(lines, line);)
    EXPECT_EQ(line.rfind("Client: Error sending push notification. Error: ", 0), 0u) << line;
}

} // namespace
