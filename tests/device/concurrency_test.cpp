// The library under concurrent use, as the service drives it: set_value requests on one
// thread while two threads call readData and another polls the ValueChangeMonitor.

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "device/system_api.hpp"
#include "device/value_change_monitor.hpp"

using nlohmann::json;

namespace {

constexpr int kGroup = 21;
constexpr int kIds = 4;
constexpr int kRequests = 2000;
constexpr int kReads = 2000;

TEST(DeviceConcurrency, RequestsReadsAndMonitoringOverlapSafely) {
  SystemAPI api(false);
  auto monitor = std::make_unique<ValueChangeMonitor>();
  monitor->init();
  std::atomic<bool> writer_done{false};
  std::atomic<int> bad_replies{0};
  std::atomic<int> bad_reads{0};

  std::thread writer([&] {
    for (int n = 0; n < kRequests; ++n) {
      const json request = {{"command", "set_value"}, {"group", kGroup}, {"id", n % kIds},
                            {"value", n}};
      const std::string reply = api.doRequest(request.dump(), "127.0.0.1", 1);
      if (SystemAPI::formRequestForPushNotification(reply).size() != 1) ++bad_replies;
    }
    writer_done = true;
  });

  auto reader = [&] {
    for (int n = 0; n < kReads; ++n) {
      const json data = json::parse(api.readData(kGroup, n % kIds, 0), nullptr, false);
      // Before its first set_value a value is unknown; after it, a number the writer sent.
      const bool ok = data.is_object() && data["id"] == n % kIds &&
                      (data.contains("error") ||
                       (data["value"].is_number_integer() && data["value"] >= 0 &&
                        data["value"] < kRequests && data["value"].get<int>() % kIds == n % kIds));
      if (!ok) ++bad_reads;
    }
  };
  std::thread reader1(reader);
  std::thread reader2(reader);

  std::set<std::tuple<int, int, int>> reported;
  std::thread watcher([&] {
    // Polls as the service's monitor thread does; stops once the writer is done (after one
    // final look) or after at most 20000 polls.
    for (int polls = 0; polls < 20000; ++polls) {
      const bool last = writer_done;
      for (const auto& diff : monitor->getValueDiff()) {
        reported.emplace(diff.group, diff.id, diff.index);
      }
      if (last) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  writer.join();
  reader1.join();
  reader2.join();
  watcher.join();

  EXPECT_EQ(bad_replies.load(), 0);
  EXPECT_EQ(bad_reads.load(), 0);
  std::set<std::tuple<int, int, int>> expected;
  for (int id = 0; id < kIds; ++id) expected.emplace(kGroup, id, 0);
  EXPECT_EQ(reported, expected);
  for (int id = 0; id < kIds; ++id) {
    // The last request for each id wins.
    const int last = kRequests - kIds + id;
    EXPECT_EQ(json::parse(api.readData(kGroup, id, 0))["value"], last);
  }
}

}  // namespace
