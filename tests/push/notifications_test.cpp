#include "push/broadcast.hpp"
#include "push/notifications.hpp"
#include "tests/support/library_server.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

using namespace korva_test;

namespace {

// A notification source that records its calls and answers a fixed list.
std::mutex source_mutex;
std::vector<std::string> source_calls;
std::vector<std::string> source_answer;
std::vector<std::string> recording_source(const std::string& reply) {
  std::lock_guard<std::mutex> lock(source_mutex);
  source_calls.push_back(reply);
  return source_answer;
}

class FollowUpNotifications : public ::testing::Test {
protected:
  void SetUp() override {
    source_calls.clear();
    source_answer.clear();
    server.start();
  }
  // Sends a marker to everyone: a client's next frame after the notifications.
  void mark() { korva::push_data_to_active_connections(server.server, "marker"); }
  LibraryServer server;
};

TEST_F(FollowUpNotifications, EveryOtherConnectionGetsItsNonEmptyTextsAndTheRequesterNone) {
  source_answer = {"", "x", "", "y"};
  auto requester = server.connect();
  auto second = server.connect();
  auto third = server.connect();
  korva::handle_websocket_push_notification(server.server, server.connection_of(*requester), "the reply",
                                            &recording_source);
  mark();
  EXPECT_EQ(requester->read_frame().payload, "marker");
  for (auto* client : {second.get(), third.get()}) {
    EXPECT_EQ(client->read_frame().payload, "x");
    EXPECT_EQ(client->read_frame().payload, "y");
    EXPECT_EQ(client->read_frame().payload, "marker");
  }
  EXPECT_EQ(source_calls, (std::vector<std::string>{"the reply", "the reply"})) << "one call per other connection";
}

TEST_F(FollowUpNotifications, NoOtherConnectionOrAnEmptyListSendsNothing) {
  auto requester = server.connect();
  korva::handle_websocket_push_notification(server.server, server.connection_of(*requester), "r", &recording_source);
  EXPECT_TRUE(source_calls.empty());

  auto other = server.connect();
  korva::handle_websocket_push_notification(server.server, server.connection_of(*requester), "r", &recording_source);
  mark();
  EXPECT_EQ(other->read_frame().payload, "marker");
  EXPECT_EQ(requester->read_frame().payload, "marker");
  EXPECT_EQ(source_calls.size(), 1u);
}

TEST_F(FollowUpNotifications, TheDeviceNamesTheChangedValue) {
  SystemAPI device(false);
  auto requester = server.connect();
  auto other = server.connect();
  std::string reply = device.doRequest(R"({"command":"set_value","group":4,"id":9,"value":17})", "", 0);
  korva::handle_websocket_push_notification(server.server, server.connection_of(*requester), reply);
  mark();
  EXPECT_EQ(other->read_frame().payload, SystemAPI::formRequestForPushNotification(reply).at(0));
  EXPECT_EQ(requester->read_frame().payload, "marker");
}

TEST(PushCallback, ReadsInTheOrderReceivedAndPushesToEveryone) {
  SystemAPI device(false);
  LibraryServer server;
  server.start();
  auto first = server.connect();
  auto second = server.connect();
  auto push_callback = korva::make_push_callback(device, server.server);
  push_callback(1, 1, 0); // a known value; (0, 1, 1) is not one
  push_callback(7, 7, 7); // unknown: the device's text goes out all the same
  for (auto* client : {first.get(), second.get()}) {
    std::string data = client->read_frame().payload;
    EXPECT_EQ(data, device.readData(1, 1, 0));
    EXPECT_NE(data.find("\"value\":true"), std::string::npos) << data;
    EXPECT_EQ(client->read_frame().payload, device.readData(7, 7, 7));
  }
}

} // namespace
