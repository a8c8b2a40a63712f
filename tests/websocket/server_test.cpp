// Server lifecycle: configuration, endpoints, listening and the connection snapshot.

#include "tests/support/recording_server.hpp"
#include "tests/websocket/server_fixture.hpp"

#include <boost/system/system_error.hpp>

#include "tests/support/process.hpp"

using namespace korva_test;

namespace {

TEST(ServerConfig, DefaultsAndEndpointRegistration) {
  Server server;
  EXPECT_EQ(server.config.port, 80);
  EXPECT_EQ(server.config.thread_pool_size, 1u);
  EXPECT_EQ(server.config.timeout_request, 5);
  EXPECT_EQ(server.config.timeout_idle, 0);
  EXPECT_EQ(server.config.max_message_size, std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(server.config.address, "");
  EXPECT_TRUE(server.config.reuse_address);
  EXPECT_EQ(server.handler_runner->count.load(), 0);

  auto* first = &server.endpoints["^/api/?$"];
  EXPECT_EQ(&server.endpoints["^/api/?$"], first); // same text: same endpoint
  server.endpoints["^/API/?$"];                      // other case: another endpoint
  server.endpoints["^/a$"];
  ASSERT_EQ(server.endpoints.size(), 3u);
  std::vector<std::string> order;
  for (auto& e : server.endpoints)
    order.push_back(e.first.text);
  EXPECT_EQ(order, (std::vector<std::string>{"^/API/?$", "^/a$", "^/api/?$"})); // byte-wise order
}

TEST(ServerStart, PoolSizeZeroListensButServesNothing) {
  Server server;
  server.config.address = "127.0.0.1";
  server.config.port = 0;
  server.config.thread_pool_size = 0;
  server.endpoints["^/api/?$"];
  server.start(); // returns at once: nobody runs the loop
  ASSERT_NE(server.bound_port(), 0);
  TestClient client(server.bound_port()); // the kernel completes the TCP handshake
  ASSERT_TRUE(client.connected());
  client.send_raw(upgrade_request());
  EXPECT_TRUE(client.silent_for(200ms));
}

TEST(ServerStart, PoolSizeOneRunsEveryHandlerOnTheCallingThread) {
  TestServer test;
  std::thread::id handler_thread;
  test.on_message = [&](const ConnectionPtr&, const std::string&) { handler_thread = std::this_thread::get_id(); };
  auto client = test.open_client();
  client->send_text("where");
  test.events.wait_for("message");
  EXPECT_EQ(handler_thread, test.thread.get_id());
  EXPECT_TRUE(test.server.threads.empty());
}

TEST(ServerStart, PoolSizeAboveOneIsRefusedBeforeAnythingOpens) {
  // A connection's reader, timers and send queue share state that only one event-loop thread may
  // touch, so a second loop thread would race them.
  Server server;
  server.config.address = "127.0.0.1";
  server.config.port = 0;
  server.config.thread_pool_size = 2;
  try {
    server.start();
    FAIL() << "start() accepted a pool of 2";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("thread_pool_size 2"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(server.acceptor);
  EXPECT_TRUE(server.threads.empty());
}

TEST(ServerStart, FailuresNameTheStep) {
  // The port in use: "bind".
  TestServer running;
  Server second;
  second.config.address = "127.0.0.1";
  second.config.port = running.port();
  second.config.reuse_address = false;
  try {
    second.start();
    FAIL() << "start() returned";
  } catch (const boost::system::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("bind"), std::string::npos) << e.what();
    EXPECT_EQ(e.code(), boost::asio::error::address_in_use);
  }

  Server bad_address;
  bad_address.config.address = "not-an-address";
  EXPECT_THROW(bad_address.start(), boost::system::system_error);
  EXPECT_FALSE(bad_address.acceptor); // nothing was opened
}

TEST(ServerStart, ListensOnIPv6Literal) {
  Server server;
  server.config.address = "::1";
  server.config.port = 0;
  server.config.thread_pool_size = 0;
  try {
    server.start();
  } catch (const boost::system::system_error& e) {
    GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
  }
  EXPECT_TRUE(server.acceptor->local_endpoint().address().is_v6());
}

TEST(ServerSnapshot, KeepsClosedConnectionsAlive) {
  TestServer test;
  ConnectionPtr server_side;
  auto client = test.open_client(&server_side);
  std::weak_ptr<Server::Connection> weak = server_side;
  server_side.reset();

  auto snapshot = test.server.get_connections();
  ASSERT_EQ(snapshot.size(), 1u);
  client->send_raw(make_close_frame(1000, ""));
  test.events.wait_for("close");
  EXPECT_TRUE(test.server.get_connections().empty());
  ASSERT_TRUE(client->read_frame().ok); // the echoed close frame has been written
  EXPECT_FALSE(weak.expired());         // the snapshot still holds it
  EXPECT_TRUE(client->silent_for(100ms)); // and its socket is still open
  snapshot.clear();
  EXPECT_TRUE(eventually([&] { return weak.expired(); }));
  EXPECT_TRUE(client->wait_closed()); // destroyed with the last holder: socket closed
}

TEST(ScopeRunner, RefusesAfterStopAndCountsGuards) {
  KorvaWeb::ScopeRunner runner;
  {
    auto a = runner.acquire();
    auto b = runner.acquire();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(runner.count.load(), 2);
  }
  EXPECT_EQ(runner.count.load(), 0);
  runner.stop();
  EXPECT_FALSE(runner.acquire());
  EXPECT_EQ(runner.count.load(), -1);
}

// Over the in-memory stream, so that what does not happen shows once the loop has nothing left to
// run, without waiting for it.
// Also the completion of a 503 answer: refused, it touches nothing, not even the answer's request
// timer, which goes on to close the socket.
TEST(ScopeRunner, RefusedHandlersDoNothing) {
  RecordingServer test([](MemoryServer& s) { s.config.max_connections = 1; });
  auto refused = test.server.connect();
  refused->socket->set_write_room(0); // the 503 answer waits for the client
  test.client_sends(upgrade_request(), refused); // of the fullest address: answered 503
  test.server.handler_runner->stop();
  test.server.on_loop([&] { test.connection->send(std::make_shared<Server::SendStream>(), test.record("refused")); });
  test.client_sends(make_frame(0x81, "ignored"));
  refused->socket->add_write_room(1 << 20);
  test.server.run_until_idle();
  EXPECT_TRUE(test.calls.empty());
  EXPECT_TRUE(test.messages.empty());
  EXPECT_TRUE(test.new_frames().empty());
  EXPECT_FALSE(refused->socket->closed());
  test.server.advance(std::chrono::seconds(5));
  EXPECT_TRUE(refused->socket->closed()) << "the refused completion stopped the request timer";
  test.server.handler_runner->count = 0; // let the fixture shut down normally
}

} // namespace
