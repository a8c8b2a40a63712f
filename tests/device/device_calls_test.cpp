// The service's side of its device calls: the record of running calls that the stall reports, the
// watchdog and the stop read; the limit on repeated failure reports; and text that is not UTF-8
// made fit for a text frame.

#include "device/device_calls.hpp"
#include "device/device_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using korva::DeviceCalls;
using namespace std::chrono_literals;

std::int64_t fake_now = 0;
std::int64_t fake_clock() noexcept { return fake_now; }

// When each call is reported as stalled, as the seconds its report gives; `next`: when the next
// report is due.
std::vector<long> stalls(DeviceCalls& calls, std::chrono::milliseconds& next) {
  std::vector<long> seconds;
  for (const auto& call : calls.stalled(60s, next))
    seconds.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(call.elapsed).count()));
  return seconds;
}
std::vector<long> stalls(DeviceCalls& calls) {
  std::chrono::milliseconds next{};
  return stalls(calls, next);
}

TEST(DeviceCalls, ACallIsReportedOnceForEachMinuteItRunsAndANewCallStartsAfresh) {
  fake_now = 1000;
  DeviceCalls calls(&fake_clock);
  {
    DeviceCalls::Scope request(calls, DeviceCalls::server_thread, "doRequest");
    EXPECT_TRUE(calls.running_on(DeviceCalls::server_thread));
    EXPECT_FALSE(calls.running_on(DeviceCalls::monitor_thread));
    fake_now += 59'999;
    std::chrono::milliseconds next{};
    EXPECT_TRUE(stalls(calls, next).empty());
    EXPECT_EQ(next, 1ms);
    fake_now += 1;
    EXPECT_EQ(stalls(calls), std::vector<long>{60});
    fake_now += 30'000;
    EXPECT_TRUE(stalls(calls).empty()) << "reported once per minute";
    fake_now += 45'000; // the watch looked late: the report says how long it is now
    EXPECT_EQ(stalls(calls, next), std::vector<long>{135});
    EXPECT_EQ(next, 45s) << "the third minute";
    ASSERT_EQ(calls.running().size(), 1u);
    EXPECT_STREQ(calls.running()[0].name, "doRequest");
  }
  EXPECT_TRUE(calls.running().empty());
  DeviceCalls::Scope next(calls, DeviceCalls::server_thread, "formRequestForPushNotification");
  // A library may call back on several threads at once: a second call on a busy site is not
  // marked, and the first stays the one reported.
  { DeviceCalls::Scope second(calls, DeviceCalls::server_thread, "other"); }
  fake_now += 60'000;
  EXPECT_EQ(stalls(calls), std::vector<long>{60}) << "a new call is a new count";
  EXPECT_STREQ(calls.running().at(0).name, "formRequestForPushNotification");
}

TEST(FailureReports, TheFirstIsLoggedThenOnePerIntervalWithTheCountLeftOut) {
  fake_now = 0;
  korva::FailureReports reports(60s, &fake_clock);
  std::uint64_t left_out = 99;
  EXPECT_TRUE(reports.admit(left_out));
  EXPECT_EQ(left_out, 0u);
  for (int i = 0; i < 3; ++i) {
    fake_now += 10'000;
    EXPECT_FALSE(reports.admit(left_out));
  }
  fake_now = 60'000;
  EXPECT_TRUE(reports.admit(left_out));
  EXPECT_EQ(left_out, 3u);
}

// Each ill-formed sequence becomes one U+FFFD per maximal part of it (the Unicode standard's
// examples among them); valid text stays as it is.
TEST(MakeValidUtf8, IllFormedSequencesBecomeUFFFDAndValidTextIsUntouched) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    std::string text, expected;
  };
  const Case cases[] = {
      {"", ""},
      {"plain ASCII, longer than eight bytes", "plain ASCII, longer than eight bytes"},
      {"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF \xED\x9F\xBF", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF \xED\x9F\xBF"},
      {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", "a" + r + r + r + "b" + r + "c" + r + r + "d"},
      {"\xC0\xAF", r + r},                 // overlong
      {"\xE0\x80\x80", r + r + r},         // overlong
      {"\xED\xA0\x80", r + r + r},         // a surrogate
      {"\xF4\x90\x80\x80", r + r + r + r}, // above U+10FFFF
      {"\xF5 \xFF", r + " " + r},
      {"ends in \xE2\x82", "ends in " + r},
      {"caf\xE9 au lait", "caf" + r + " au lait"},
  };
  for (const Case& test : cases) {
    std::string text = test.text;
    const std::size_t replaced = korva::make_valid_utf8(text);
    EXPECT_EQ(text, test.expected) << test.text;
    EXPECT_EQ(korva::valid_utf8(test.text), test.text == test.expected) << test.text;
    EXPECT_EQ(replaced == 0, test.text == test.expected) << test.text;
  }
}

} // namespace
