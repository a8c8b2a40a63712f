// A client that stopped reading and then reset its connection, on a library server over loopback:
// the frame being written when the reset came fails, and so must every frame sent to that
// connection afterwards (from a push snapshot taken before the connection left its endpoint's set),
// each telling its callback the error, so that nothing waits on the dead socket and the connection
// is destroyed with its socket once the last holder lets go. Found by the stopped-reader test
// against the service: the connection and its socket stayed behind in about one run in five.

#include "tests/support/library_server.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

using namespace korva_test;
using namespace std::chrono_literals;

namespace {

struct CallbackResult {
  std::mutex mutex;
  bool called = false;
  boost::system::error_code error;
  KorvaWeb::SendCallback callback() {
    return [this](const boost::system::error_code& ec) {
      std::lock_guard<std::mutex> lock(mutex);
      called = true;
      error = ec;
    };
  }
  bool failed_within(std::chrono::milliseconds limit) {
    return eventually(
        [this] {
          std::lock_guard<std::mutex> lock(mutex);
          return called && error;
        },
        limit);
  }
};

std::shared_ptr<KorvaWeb::SendStream> payload_of(std::size_t size) {
  auto stream = std::make_shared<KorvaWeb::SendStream>();
  *stream << std::string(size, 'p');
  return stream;
}

} // namespace

TEST(SendAfterReset, FramesSentAfterTheResetFailAndTheConnectionIsReleased) {
  LibraryServer library;
  library.start();
  auto client = library.connect();
  std::weak_ptr<LibraryServer::Connection> weak;
  {
    auto connection = library.connection_of(*client);
    ASSERT_TRUE(connection);
    weak = connection;

    // More than the socket buffers hold: the write stops part-way, waiting for the client.
    CallbackResult blocked;
    connection->send(payload_of(32 * 1024 * 1024), blocked.callback());
    ASSERT_EQ(client->read_exact(2, 5s).size(), 2u); // the frame has started; the rest waits
    client->close(/*reset=*/true);
    ASSERT_TRUE(blocked.failed_within(5s)) << "the write under way when the client reset did not fail";

    // Sends after the failure, as a push from an older snapshot makes them.
    for (int i = 0; i < 3; ++i) {
      CallbackResult later;
      connection->send(payload_of(100), later.callback());
      EXPECT_TRUE(later.failed_within(3s)) << "send " << i << " after the reset never completed";
    }
  }
  EXPECT_TRUE(eventually([&] { return weak.expired(); }, 3s))
      << "the connection outlives its client: something still waits on its socket";
}
