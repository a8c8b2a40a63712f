// The simulated device's request interface: each command and its reply, error replies for bad
// requests, the reboot and notification checks, readData and the start-up settings.

#include "device/system_api.hpp"
#include "tests/support/scoped_env.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

using korva_test::ScopedEnv;

json parse(const std::string& text) {
  json parsed = json::parse(text, nullptr, false);
  EXPECT_FALSE(parsed.is_discarded()) << "not JSON: " << text;
  return parsed;
}

class SystemApiTest : public ::testing::Test {
protected:
  std::string request(const std::string& text) { return api.doRequest(text, "127.0.0.1", 40123); }

  SystemAPI api{false};
};

// --- the commands -------------------------------------------------------------------------

TEST_F(SystemApiTest, EchoAnswersTheRequestByteForByte) {
  const std::string big_string(100 * 1024, 'x');
  const std::vector<std::string> requests = {
      R"({"command":"echo"})",
      " \n\t{ \"command\" : \"echo\" , \"x\" : [1, 2.50, -0, 1E3, 1e-7] }\r\n ",
      R"({"z":1,"command":"echo","a":{"nested":[true,false,null]}})",
      R"({"command":"echo","t":"h\u00e9llo \ud83d\ude00 \"q\" \\ \/ \u0000 \b\f\n\r\t"})",
      "{\"command\":\"echo\",\"u\":\"\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80\"}",
      R"({"command":"echo","n":123456789012345678901234567890,"m":-9223372036854775809})",
      R"({"command":"echo","status":"ok","command":"echo"})",
      "{\"command\":\"echo\",\"s\":\"" + big_string + "\"}",
  };
  for (const auto& text : requests) {
    EXPECT_EQ(request(text), text);
  }
}

TEST_F(SystemApiTest, GetInfoDescribesTheDeviceAndTheClient) {
  const json reply = parse(request(R"({"command":"get_info"})"));
  EXPECT_EQ(reply["command"], "get_info");
  EXPECT_EQ(reply["status"], "ok");
  for (const char* name : {"model", "firmware", "serial"}) {
    ASSERT_TRUE(reply[name].is_string()) << name;
    EXPECT_FALSE(reply[name].get<std::string>().empty()) << name;
  }
  ASSERT_TRUE(reply["uptime"].is_number_integer());
  EXPECT_GE(reply["uptime"].get<long>(), 0);
  EXPECT_EQ(reply["client"], "127.0.0.1");
  EXPECT_EQ(reply["port"], 40123);
}

TEST_F(SystemApiTest, GetValuesListsEveryValueWithItsKeys) {
  const json reply = parse(request(R"({"command":"get_values"})"));
  EXPECT_EQ(reply["command"], "get_values");
  EXPECT_EQ(reply["status"], "ok");
  ASSERT_TRUE(reply["values"].is_array());
  ASSERT_FALSE(reply["values"].empty());
  for (const auto& value : reply["values"]) {
    for (const char* name : {"group", "id", "index"}) {
      EXPECT_TRUE(value[name].is_number_integer()) << value;
    }
    ASSERT_TRUE(value.contains("value")) << value;
    // Each listed value reads back the same through readData.
    const json data = parse(api.readData(value["group"], value["id"], value["index"]));
    EXPECT_EQ(data["value"], value["value"]);
  }
}

TEST_F(SystemApiTest, GetValuesIncludesANewValue) {
  request(R"({"command":"set_value","group":3,"id":77,"index":2,"value":"new"})");
  const json reply = parse(request(R"({"command":"get_values"})"));
  const json expected = {{"group", 3}, {"id", 77}, {"index", 2}, {"value", "new"}};
  EXPECT_NE(std::find(reply["values"].begin(), reply["values"].end(), expected),
            reply["values"].end());
}

TEST_F(SystemApiTest, SetValueStoresEachKindOfValue) {
  const std::vector<json> values = {42, -7, 4294967296LL, 18446744073709551615ULL, 2.25,
                                    "text \u00e9", true, false};
  int id = 100;
  for (const auto& value : values) {
    const json set = {{"command", "set_value"}, {"group", 2}, {"id", id}, {"index", 1},
                      {"value", value}};
    const json reply = parse(request(set.dump()));
    EXPECT_EQ(reply["command"], "set_value");
    EXPECT_EQ(reply["status"], "ok") << reply;
    EXPECT_EQ(reply["group"], 2);
    EXPECT_EQ(reply["id"], id);
    EXPECT_EQ(reply["index"], 1);
    EXPECT_EQ(reply["value"], value);
    const json data = parse(api.readData(2, id, 1));
    EXPECT_EQ(data["value"].dump(), value.dump());  // same value, read back the same way
    ++id;
  }
}

TEST_F(SystemApiTest, SetValueKeysDefaultToZeroAndTakeTheWholeInt32Range) {
  json reply = parse(request(R"({"command":"set_value","id":55,"value":1})"));
  EXPECT_EQ(reply["group"], 0);
  EXPECT_EQ(reply["index"], 0);
  EXPECT_EQ(parse(api.readData(0, 55, 0))["value"], 1);

  reply = parse(request(
      R"({"command":"set_value","group":-2147483648,"id":2147483647,"index":-1,"value":9})"));
  EXPECT_EQ(reply["status"], "ok") << reply;
  EXPECT_EQ(parse(api.readData(-2147483648, 2147483647, -1))["value"], 9);
}

TEST_F(SystemApiTest, SetValueOverwritesAnExistingValue) {
  request(R"({"command":"set_value","group":4,"id":1,"value":1})");
  request(R"({"command":"set_value","group":4,"id":1,"value":"two"})");
  EXPECT_EQ(parse(api.readData(4, 1, 0))["value"], "two");
}

TEST_F(SystemApiTest, RebootAnswersThatTheDeviceIsGoingDown) {
  const std::string reply = request(R"({"command":"reboot"})");
  const json parsed = parse(reply);
  EXPECT_EQ(parsed["command"], "reboot");
  EXPECT_EQ(parsed["status"], "rebooting");
  EXPECT_TRUE(SystemAPI::isRebooting(reply));
  // The device keeps answering: the service, not the simulator, stops sending requests.
  EXPECT_EQ(parse(request(R"({"command":"get_info"})"))["status"], "ok");
}

// --- bad requests -------------------------------------------------------------------------

struct BadRequest {
  std::string text;
  std::string error;  // a part of the error text
};

void PrintTo(const BadRequest& bad, std::ostream* out) {
  *out << ::testing::PrintToString(bad.text.size() > 60 ? bad.text.substr(0, 60) + "..." : bad.text);
}

class BadRequestTest : public ::testing::TestWithParam<BadRequest> {};

TEST_P(BadRequestTest, GetsAnErrorReplySayingWhatIsWrong) {
  SystemAPI api(false);
  const std::string reply = api.doRequest(GetParam().text, "::1", 1);
  const json parsed = json::parse(reply, nullptr, false);  // valid JSON, valid UTF-8
  ASSERT_TRUE(parsed.is_object()) << reply;
  EXPECT_EQ(parsed.value("status", ""), "error") << reply;
  EXPECT_NE(parsed.value("error", "").find(GetParam().error), std::string::npos) << reply;
  EXPECT_FALSE(SystemAPI::isRebooting(reply));
  EXPECT_TRUE(SystemAPI::formRequestForPushNotification(reply).empty());
}

const std::string kDeepArray = std::string(100000, '[') + std::string(100000, ']');

INSTANTIATE_TEST_SUITE_P(
    SystemApi, BadRequestTest,
    ::testing::Values(
        BadRequest{"", "request is empty"},
        BadRequest{"   ", "not valid JSON"},
        BadRequest{"not json", "not valid JSON"},
        BadRequest{R"({"command":"echo")", "not valid JSON"},
        BadRequest{R"({"command":"echo"} trailing)", "not valid JSON"},
        BadRequest{std::string("{\"command\":\"echo\"}\0", 19), "not valid JSON"},
        BadRequest{std::string("{\"command\":\"echo\"}\0{\"x\":1}", 26), "not valid JSON"},
        BadRequest{std::string("{\"command\":\"echo\",\"s\":\"a\0b\"}", 28), "not valid JSON"},
        BadRequest{"{\"command\":\"echo\",\"x\":\"\xff\xfe\xc3\"}", "not valid JSON"},
        BadRequest{"{\"command\":\"ec\xc3\"}", "not valid JSON"},
        BadRequest{R"({"command":"echo","n":1e400})", "not valid JSON"},
        // Echo requests are answered without a full parse when plainly written; these are not
        // JSON however plain they look.
        BadRequest{R"({"command":"echo",})", "not valid JSON"},
        BadRequest{R"({"command":"echo","a":01})", "not valid JSON"},
        BadRequest{R"({"command":"echo","a":1.})", "not valid JSON"},
        BadRequest{R"({"command":"echo","a":[1,]})", "not valid JSON"},
        BadRequest{"{\"command\":\"echo\",\"t\":\"a\tb\"}", "not valid JSON"},
        BadRequest{R"({"command":"echo","e":"\x"})", "not valid JSON"},
        BadRequest{R"({"command":"echo","n":)" + std::string(400, '9') + "}", "not valid JSON"},
        BadRequest{R"([{"command":"echo"}])", "not a JSON object"},
        BadRequest{R"("echo")", "not a JSON object"},
        BadRequest{"42", "not a JSON object"},
        BadRequest{"null", "not a JSON object"},
        BadRequest{kDeepArray, "nested"},
        BadRequest{R"({"command":"echo","a":)" + std::string(1000, '{') + "}", "nested"},
        BadRequest{"{}", "no \"command\""},
        BadRequest{R"({"Command":"echo"})", "no \"command\""},
        BadRequest{R"({"command":5})", "\"command\" is not a string"},
        BadRequest{R"({"command":null})", "\"command\" is not a string"},
        BadRequest{R"({"command":["echo"]})", "\"command\" is not a string"},
        BadRequest{R"({"command":"foo"})", "unknown command \"foo\""},
        BadRequest{R"({"command":"ECHO"})", "unknown command \"ECHO\""},
        BadRequest{R"({"command":""})", "unknown command \"\""},
        BadRequest{R"({"command":"set_value","value":1})", "needs \"id\""},
        BadRequest{R"({"command":"set_value","id":1})", "needs \"value\""},
        BadRequest{R"({"command":"set_value","id":"1","value":1})", "\"id\" must be an integer"},
        BadRequest{R"({"command":"set_value","id":1.5,"value":1})", "\"id\" must be an integer"},
        BadRequest{R"({"command":"set_value","id":1.0,"value":1})", "\"id\" must be an integer"},
        BadRequest{R"({"command":"set_value","id":null,"value":1})", "\"id\" must be an integer"},
        BadRequest{R"({"command":"set_value","id":1,"group":"0","value":1})",
                   "\"group\" must be an integer"},
        BadRequest{R"({"command":"set_value","id":1,"index":true,"value":1})",
                   "\"index\" must be an integer"},
        BadRequest{R"({"command":"set_value","id":2147483648,"value":1})",
                   "\"id\" is out of range"},
        BadRequest{R"({"command":"set_value","id":-2147483649,"value":1})",
                   "\"id\" is out of range"},
        BadRequest{R"({"command":"set_value","id":1,"group":18446744073709551615,"value":1})",
                   "\"group\" is out of range"},
        BadRequest{R"({"command":"set_value","id":1,"index":99999999999999999999,"value":1})",
                   "\"index\" must be an integer"},
        BadRequest{R"({"command":"set_value","id":1,"value":null})", "\"value\" must be"},
        BadRequest{R"({"command":"set_value","id":1,"value":[1]})", "\"value\" must be"},
        BadRequest{R"({"command":"set_value","id":1,"value":{"a":1}})", "\"value\" must be"},
        BadRequest{R"({"command":"set_value","id":1,"value":")" + std::string(1024 * 1024 - 1, 'v') + "\"}",
                   "\"value\" takes more than 1048576 bytes as JSON text"}));

TEST(SystemApiErrors, ARefusedSetValueStoresNothing) {
  SystemAPI api(false);
  api.doRequest(R"({"command":"set_value","group":6,"id":1.5,"value":1})", "", 0);
  api.doRequest(R"({"command":"set_value","group":6,"id":1,"value":[1]})", "", 0);
  api.doRequest(R"({"command":"set_value","group":6,"id":1,"value":")" + std::string(1024 * 1024, 'v') + "\"}", "", 0);
  EXPECT_EQ(json::parse(api.readData(6, 1, 0)).count("value"), 0U);
}

// A value takes at most 1 MiB as JSON text and all values at most 4 MiB (64 bytes counted for each
// besides its text): a client can no longer make the device hold whatever it sends, such as 16 MiB
// on one id after another.
TEST(SystemApiErrors, TheDeviceStoresAtMostFourMiBOfValues) {
  SystemAPI api(false);
  const auto set = [&api](int id, std::size_t size) {
    return api.doRequest(R"({"command":"set_value","group":10,"id":)" + std::to_string(id) + R"(,"value":")" +
                             std::string(size - 2, 's') + "\"}",
                         "", 0);
  };
  const std::size_t largest = 1024 * 1024;
  for (int id = 1; id <= 3; ++id)
    EXPECT_EQ(parse(set(id, largest))["status"], "ok") << id;
  EXPECT_EQ(parse(set(4, largest))["error"], "the device holds at most 4194304 bytes of values");
  EXPECT_EQ(json::parse(api.readData(10, 4, 0)).count("value"), 0U);
  EXPECT_EQ(parse(set(3, 16))["status"], "ok"); // a value replaced gives back what it took
  EXPECT_EQ(parse(set(4, largest))["status"], "ok");
  for (int id = 1; id <= 4; ++id)
    EXPECT_EQ(parse(set(id, 16))["status"], "ok"); // room for the other tests of this process
}

TEST(SystemApiErrors, ErrorsNameTheCommandOnlyWhenItIsKnown) {
  SystemAPI api(false);
  EXPECT_EQ(json::parse(api.doRequest(R"({"command":"set_value"})", "", 0))["command"],
            "set_value");
  EXPECT_FALSE(json::parse(api.doRequest(R"({"command":"foo"})", "", 0)).contains("command"));
}

// --- isRebooting and formRequestForPushNotification ---------------------------------------

TEST(SystemApiReplies, OnlyTheRebootReplyIsRebooting) {
  SystemAPI api(false);
  EXPECT_TRUE(SystemAPI::isRebooting(api.doRequest(R"({"command":"reboot"})", "", 0)));
  for (const char* text : {R"({"command":"get_info"})", R"({"command":"get_values"})",
                           R"({"command":"set_value","id":9,"value":"rebooting"})",
                           R"({"command":"foo"})", "reboot", R"({"command":"reboot")"}) {
    EXPECT_FALSE(SystemAPI::isRebooting(api.doRequest(text, "", 0))) << text;
  }
  // Echo hands back any text, but never one that passes for the reboot reply.
  for (const char* text :
       {R"({"command":"echo","status":"rebooting"})",
        R"({"command":"echo","reply":{"command":"reboot","status":"rebooting"}})",
        R"({"command":"reboot","status":"rebooting","command":"echo"})",
        R"({"status":"rebooting","command":"echo","note":"\"command\":\"reboot\""})"}) {
    const std::string reply = api.doRequest(text, "", 0);
    ASSERT_EQ(reply, text);
    EXPECT_FALSE(SystemAPI::isRebooting(reply)) << text;
  }
  for (const std::string text : {"", "rebooting", "\"rebooting\"", "[\"rebooting\"]", "\xff"}) {
    EXPECT_FALSE(SystemAPI::isRebooting(text)) << text;
  }
}

TEST(SystemApiReplies, ASetValueReplyMakesOneNotificationNamingTheValue) {
  SystemAPI api(false);
  const std::string reply =
      api.doRequest(R"({"command":"set_value","group":8,"id":3,"index":2,"value":12.5})", "", 0);
  const auto notifications = SystemAPI::formRequestForPushNotification(reply);
  ASSERT_EQ(notifications.size(), 1U);
  const json notification = json::parse(notifications[0]);
  EXPECT_EQ(notification["notification"], "value_changed");
  EXPECT_EQ(notification["group"], 8);
  EXPECT_EQ(notification["id"], 3);
  EXPECT_EQ(notification["index"], 2);
  EXPECT_EQ(notification["value"], 12.5);
}

// The largest value's notification, asked for again and again with the same reply (once per
// connection), is the reply's own end each time; an echo of any size is none.
TEST(SystemApiReplies, ALargestValueIsNotifiedAndALargeEchoIsNot) {
  SystemAPI api(false);
  const std::string value = "\"" + std::string(1024 * 1024 - 2, 'v') + "\"";
  const std::string reply = api.doRequest(R"({"command":"set_value","group":11,"id":1,"value":)" + value + "}", "", 0);
  const std::string notification = R"({"notification":"value_changed","group":11,"id":1,"index":0,"value":)" + value + "}";
  for (int call = 0; call < 3; ++call)
    EXPECT_EQ(SystemAPI::formRequestForPushNotification(reply), std::vector<std::string>{notification});
  api.doRequest(R"({"command":"set_value","group":11,"id":1,"value":0})", "", 0);
  const std::string echo = R"({"command":"echo","pad":")" + std::string(16 * 1024 * 1024, 'e') + "\"}";
  EXPECT_TRUE(SystemAPI::formRequestForPushNotification(api.doRequest(echo, "", 0)).empty());
}

TEST(SystemApiReplies, NoOtherReplyMakesANotification) {
  SystemAPI api(false);
  for (const char* text :
       {R"({"command":"get_info"})", R"({"command":"get_values"})", R"({"command":"reboot"})",
        R"({"command":"set_value","id":"x","value":1})",
        R"({"command":"echo","status":"ok","group":0,"id":1,"index":0,"value":1})",
        R"({"command":"set_value","status":"ok","group":0,"id":1,"index":0,"value":1,"command":"echo"})"}) {
    EXPECT_TRUE(SystemAPI::formRequestForPushNotification(api.doRequest(text, "", 0)).empty())
        << text;
  }
  for (const std::string text : {"", "set_value", "\"set_value\"", "{\"set_value\":1}", "\xff"}) {
    EXPECT_TRUE(SystemAPI::formRequestForPushNotification(text).empty()) << text;
  }
}

// --- readData -----------------------------------------------------------------------------

TEST(SystemApiReadData, ReturnsTheKeysAndTheCurrentValue) {
  SystemAPI api(false);
  const json data = json::parse(api.readData(0, 1, 0));  // the temperature sensor
  EXPECT_EQ(data["group"], 0);
  EXPECT_EQ(data["id"], 1);
  EXPECT_EQ(data["index"], 0);
  EXPECT_TRUE(data["value"].is_number());
  EXPECT_FALSE(data.contains("error"));
}

TEST(SystemApiReadData, SaysWhenThereIsNoSuchValue) {
  SystemAPI api(false);
  EXPECT_EQ(api.readData(9, 9, 9), R"({"group":9,"id":9,"index":9,"error":"unknown value"})");
  EXPECT_EQ(api.readData(-1, 2147483647, -2147483648),
            R"({"group":-1,"id":2147483647,"index":-2147483648,"error":"unknown value"})");
}

// --- start-up settings --------------------------------------------------------------------

TEST(SystemApiSettings, FailStartMakesTheConstructorThrowItsText) {
  {
    ScopedEnv fail("KORVA_SIM_FAIL_START", "device bus not found: /dev/kbus0");
    try {
      SystemAPI api(true);
      FAIL() << "the constructor did not throw";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "device bus not found: /dev/kbus0");
    }
  }
  ScopedEnv empty("KORVA_SIM_FAIL_START", "");
  EXPECT_NO_THROW(SystemAPI api(true));
}

TEST(SystemApiSettings, RequestDelaySlowsEachRequest) {
  ScopedEnv delay("KORVA_SIM_REQUEST_DELAY_MS", "60");
  SystemAPI slow(false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(slow.doRequest(R"({"command":"echo"})", "", 0), R"({"command":"echo"})");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

}  // namespace
