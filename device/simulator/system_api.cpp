// The device's request interface. Requests are JSON objects with a string "command"; replies are
// compact JSON objects. README.md lists the commands and their replies.

#include "device/system_api.hpp"

#include <array>
#include <chrono>
#include <functional>
#include <cstring>
#include <string_view>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "device/simulator/device.hpp"
#include "device/simulator/settings.hpp"

using nlohmann::json;
using nlohmann::ordered_json;  // replies keep their members in the order written here
using korva_sim::Device;
using korva_sim::ValueKey;

namespace {

constexpr std::size_t kMaxDepth = 64;          // deepest nesting a request may have
constexpr std::size_t kMaxErrorDetail = 160;   // longest parser message quoted in a reply

constexpr const char* kModel = "Korva simulated device";
constexpr const char* kFirmware = "0.1.0-sim";
constexpr const char* kSerial = "KSIM-000001";

// Dumps never throw on strings that are not valid UTF-8 (parser messages may quote request
// bytes, and the client address comes from outside); bad bytes become U+FFFD.
std::string dump(const ordered_json& reply) {
  return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string errorReply(const std::string* command, const std::string& error) {
  ordered_json reply;
  if (command != nullptr) reply["command"] = *command;
  reply["status"] = "error";
  reply["error"] = error;
  return dump(reply);
}

// The deepest nesting of arrays and objects in the text, ignoring brackets inside strings.
// The parser itself copes with any depth, but nothing we answer needs more than a few levels.
std::size_t nestingDepth(const std::string& text) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

// The parser's message without its "[json.exception...] " tag, cut to a sensible length.
std::string parserMessage(const char* what) {
  std::string message(what);
  if (!message.empty() && message[0] == '[') {
    const auto end = message.find("] ");
    if (end != std::string::npos) message.erase(0, end + 2);
  }
  if (message.size() > kMaxErrorDetail) message = message.substr(0, kMaxErrorDetail) + "...";
  return message;
}

// Reads an int32 key member of set_value; an absent optional member is 0. Returns the error
// text, or "" on success.
std::string readKey(const json& request, const char* name, bool required, std::int32_t& out) {
  const auto found = request.find(name);
  if (found == request.end()) {
    if (required) return std::string("set_value needs \"") + name + "\"";
    out = 0;
    return "";
  }
  const std::string bad_range = std::string("\"") + name + "\" is out of range";
  if (found->is_number_unsigned()) {
    const auto value = found->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
      return bad_range;
    }
    out = static_cast<std::int32_t>(value);
    return "";
  }
  if (found->is_number_integer()) {
    const auto value = found->get<std::int64_t>();
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
      return bad_range;
    }
    out = static_cast<std::int32_t>(value);
    return "";
  }
  return std::string("\"") + name + "\" must be an integer";
}

// The start of every successful set_value reply; the notification of a change has the same members
// after its own start.
constexpr const char* kSetValueReplyStart = "{\"command\":\"set_value\",\"status\":\"ok\",";
constexpr const char* kNotificationStart = "{\"notification\":\"value_changed\",";

// Replies that may carry a large value are written straight into their text, member by member, as
// the JSON library would write them, so that the value is not copied on the way.
std::string setValue(json& request, const std::string& command) {
  ValueKey key{};
  for (const auto& [name, required, field] :
       {std::make_tuple("group", false, &key.group), std::make_tuple("id", true, &key.id),
        std::make_tuple("index", false, &key.index)}) {
    const std::string error = readKey(request, name, required, *field);
    if (!error.empty()) return errorReply(&command, error);
  }
  const auto value = request.find("value");
  if (value == request.end()) return errorReply(&command, "set_value needs \"value\"");
  if (!value->is_number() && !value->is_string() && !value->is_boolean()) {
    return errorReply(&command, "\"value\" must be a number, a string or a boolean");
  }
  std::string reply = std::string(kSetValueReplyStart) + "\"group\":" + std::to_string(key.group) +
                      ",\"id\":" + std::to_string(key.id) + ",\"index\":" + std::to_string(key.index) +
                      ",\"value\":";
  const std::size_t value_start = reply.size();
  korva_sim::appendJson(reply, *value);
  const std::size_t text_size = reply.size() - value_start;
  if (text_size > korva_sim::kMaxValueText) {
    return errorReply(&command, "\"value\" takes more than " + std::to_string(korva_sim::kMaxValueText) +
                                    " bytes as JSON text");
  }
  reply += '}';
  if (!Device::instance().set(key, std::move(*value), text_size)) {
    return errorReply(&command, "the device holds at most " + std::to_string(korva_sim::kMaxStored) +
                                    " bytes of values");
  }
  return reply;
}

std::string getValues(const std::string& command) {
  std::string reply = "{\"command\":";
  korva_sim::appendJson(reply, command);
  reply += ",\"status\":\"ok\",\"values\":";
  Device::instance().appendAll(reply);
  reply += '}';
  return reply;
}

std::string getInfo(const std::string& command, const std::string& client_address, int port) {
  ordered_json reply;
  reply["command"] = command;
  reply["status"] = "ok";
  reply["model"] = kModel;
  reply["firmware"] = kFirmware;
  reply["serial"] = kSerial;
  reply["uptime"] = Device::instance().uptimeSeconds();
  reply["client"] = client_address;
  reply["port"] = port;
  return dump(reply);
}

// Printable ASCII but the quote and the backslash: what a plain string holds between escapes.
constexpr std::array<bool, 256> plainChars() {
  std::array<bool, 256> table{};
  for (int c = 0x20; c <= 0x7E; ++c) table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return table;
}
constexpr std::array<bool, 256> kPlainChar = plainChars();

// A quick check for the common case: true only for text that the JSON parser certainly accepts,
// written plainly: strings of printable ASCII with the short escapes (no \u, no other bytes),
// numbers without an exponent and with a sensible number of digits (the parser refuses numbers
// too large for a double), nesting no deeper than kMaxDepth. Anything else is left to the parser.
class PlainJson {
 public:
  explicit PlainJson(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool check() {
    space();
    if (!value(0)) return false;
    space();
    return p_ == end_;
  }

 private:
  void space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool literal(const char* word) {
    for (; *word != '\0'; ++word, ++p_) {
      if (p_ == end_ || *p_ != *word) return false;
    }
    return true;
  }
  bool string() {
    ++p_;  // the opening quote
    for (;;) {
      while (p_ != end_ && kPlainChar[static_cast<unsigned char>(*p_)]) ++p_;
      if (p_ == end_) return false;
      const char c = *p_++;
      if (c == '"') return true;
      if (c != '\\' || p_ == end_) return false;  // a control character, or a byte beyond ASCII
      const char escaped = *p_++;
      if (escaped != '"' && escaped != '\\' && escaped != '/' && escaped != 'b' && escaped != 'f' &&
          escaped != 'n' && escaped != 'r' && escaped != 't') {
        return false;
      }
    }
  }
  bool digits(std::size_t& count) {
    const char* start = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    count = static_cast<std::size_t>(p_ - start);
    return count > 0;
  }
  bool number() {
    if (*p_ == '-') ++p_;
    std::size_t count = 0;
    if (p_ != end_ && *p_ == '0') {
      ++p_;
    } else if (!digits(count) || count > 300) {
      return false;
    }
    if (p_ != end_ && *p_ == '.') {
      ++p_;
      if (!digits(count)) return false;
    }
    return p_ == end_ || (*p_ != 'e' && *p_ != 'E');
  }
  bool value(std::size_t depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': {
        if (++depth > kMaxDepth) return false;
        ++p_;
        space();
        if (p_ != end_ && *p_ == '}') return ++p_, true;
        for (;;) {
          if (p_ == end_ || *p_ != '"' || !string()) return false;
          space();
          if (p_ == end_ || *p_++ != ':') return false;
          space();
          if (!value(depth)) return false;
          space();
          if (p_ == end_) return false;
          if (*p_ == '}') return ++p_, true;
          if (*p_++ != ',') return false;
          space();
        }
      }
      case '[': {
        if (++depth > kMaxDepth) return false;
        ++p_;
        space();
        if (p_ != end_ && *p_ == ']') return ++p_, true;
        for (;;) {
          if (!value(depth)) return false;
          space();
          if (p_ == end_) return false;
          if (*p_ == ']') return ++p_, true;
          if (*p_++ != ',') return false;
          space();
        }
      }
      case '"':
        return string();
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) && number();
    }
  }

  const char* p_;
  const char* end_;
};

// An echo request written plainly, its command first and named once: the reply is the request
// itself, and the parser would only confirm what the quick check already shows.
bool isPlainEcho(const std::string& request) {
  static const std::string prefix = "{\"command\":\"echo\"";
  if (request.compare(0, prefix.size(), prefix) != 0 || request.size() == prefix.size()) return false;
  const char next = request[prefix.size()];
  if (next != ',' && next != '}') return false;
  if (request.find("\"command\"", prefix.size()) != std::string::npos) return false;
  return PlainJson(request).check();
}

// The notification of a set_value reply written as this device writes them, taken from the reply's
// text without parsing it into values: `"group":G,"id":I,"index":X,"value":V}` after the reply's
// start, with three integers and one plain value V (PlainJson), is the notification's own end. Any
// other text (false) is left to the parser.
bool spliceNotification(const std::string& reply, std::string& notification) {
  const std::string start = kSetValueReplyStart;
  if (reply.compare(0, start.size(), start) != 0) return false;
  const char* p = reply.data() + start.size();
  const char* const end = reply.data() + reply.size();
  for (const char* member : {"\"group\":", "\"id\":", "\"index\":"}) {
    const std::size_t n = std::strlen(member);
    if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, member, n) != 0) return false;
    p += n;
    if (p != end && *p == '-') ++p;
    const char* digits = p;
    while (p != end && *p >= '0' && *p <= '9') ++p;
    if (p == digits || p - digits > 10 || p == end || *p++ != ',') return false;
  }
  static const std::string value_key = "\"value\":";
  if (reply.compare(static_cast<std::size_t>(p - reply.data()), value_key.size(), value_key) != 0) return false;
  p += value_key.size();
  // The value and the closing brace are the rest of the text.
  if (end - p < 2 || end[-1] != '}' || !PlainJson(std::string_view(p, static_cast<std::size_t>(end - p - 1))).check()) {
    return false;
  }
  notification.reserve(reply.size());
  notification.assign(kNotificationStart);
  notification.append(reply, start.size(), std::string::npos);
  return true;
}

std::string answer(const std::string& request, const std::string& client_address, int port) {
  if (request.empty()) return errorReply(nullptr, "request is empty");
  // The parser would take a NUL byte for the end of the text and ignore the rest.
  if (request.find('\0') != std::string::npos) {
    return errorReply(nullptr, "request is not valid JSON: it contains a NUL byte");
  }
  if (isPlainEcho(request)) return request;
  if (nestingDepth(request) > kMaxDepth) {
    return errorReply(nullptr,
                      "request is nested more than " + std::to_string(kMaxDepth) + " levels deep");
  }
  json parsed;
  try {
    parsed = json::parse(request);
  } catch (const json::exception& e) {
    return errorReply(nullptr, "request is not valid JSON: " + parserMessage(e.what()));
  }
  if (!parsed.is_object()) return errorReply(nullptr, "request is not a JSON object");
  const auto found = parsed.find("command");
  if (found == parsed.end()) return errorReply(nullptr, "request has no \"command\"");
  if (!found->is_string()) return errorReply(nullptr, "\"command\" is not a string");
  const std::string& command = found->get_ref<const std::string&>();

  if (command == "echo") return request;
  if (command == "get_info") return getInfo(command, client_address, port);
  if (command == "get_values") return getValues(command);
  if (command == "set_value") return setValue(parsed, std::string(command));
  if (command == "reboot") return dump(ordered_json{{"command", "reboot"}, {"status", "rebooting"}});
  return errorReply(nullptr, "unknown command \"" + command + "\"");
}

// Parses a reply of ours; discarded when it is not JSON. Never throws.
json parseReply(const std::string& reply) {
  try {
    return json::parse(reply, nullptr, false);
  } catch (...) {
    return json(json::value_t::discarded);
  }
}

bool memberEquals(const json& object, const char* name, const char* expected) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() &&
         found->get_ref<const std::string&>() == expected;
}

}  // namespace

struct SystemAPI::State {
  std::chrono::milliseconds request_delay;
};

SystemAPI::SystemAPI(bool /*flag: has no meaning for the simulated device*/) {
  const std::string failure = korva_sim::envText("KORVA_SIM_FAIL_START");
  if (!failure.empty()) throw std::runtime_error(failure);
  state_ = std::make_unique<State>(
      State{std::chrono::milliseconds(korva_sim::envNumber("KORVA_SIM_REQUEST_DELAY_MS", 0))});
  Device::instance().setSensorPeriod(
      std::chrono::milliseconds(korva_sim::envNumber("KORVA_SIM_SENSOR_PERIOD_MS", 0)));
}

SystemAPI::~SystemAPI() = default;

std::string SystemAPI::doRequest(const std::string& request, const std::string& client_address,
                                 int port) {
  if (state_->request_delay.count() > 0) std::this_thread::sleep_for(state_->request_delay);
  try {
    return answer(request, client_address, port);
  } catch (const std::exception& e) {
    return errorReply(nullptr, std::string("internal error: ") + e.what());
  } catch (...) {
    return errorReply(nullptr, "internal error");
  }
}

bool SystemAPI::isRebooting(const std::string& reply) {
  try {
    // Only the reboot reply says "rebooting"; skip parsing every other reply.
    if (reply.find("\"rebooting\"") == std::string::npos) return false;
    // An echo reply can carry any text, but its "command" is "echo" by construction.
    const json parsed = parseReply(reply);
    return parsed.is_object() && memberEquals(parsed, "command", "reboot") &&
           memberEquals(parsed, "status", "rebooting");
  } catch (...) {
    return false;
  }
}

namespace {
std::vector<std::string> notificationsFor(const std::string& reply) {
  try {
    if (reply.find("\"set_value\"") == std::string::npos) return {};
    const json parsed = parseReply(reply);
    if (!parsed.is_object() || !memberEquals(parsed, "command", "set_value") ||
        !memberEquals(parsed, "status", "ok")) {
      return {};
    }
    ordered_json notification;
    notification["notification"] = "value_changed";
    for (const char* name : {"group", "id", "index", "value"}) {
      const auto found = parsed.find(name);
      if (found == parsed.end()) return {};
      notification[name] = *found;
    }
    return {dump(notification)};
  } catch (...) {
    return {};
  }
}

// What formRequestForPushNotification keeps between calls, per thread. The library is loaded with
// the service (never opened later), so this sits in the static thread-local block (the file is
// compiled with the initial-exec model): reaching it costs no lookup call, which matters when it
// is asked once per connection for every request.
struct KeptNotifications {
  std::string lastReply;
  std::vector<std::string> lastNotifications;
};
thread_local KeptNotifications kept;

// The longest set_value reply this device gives: its start, three keys of 11 characters at most,
// the names around them, the largest value and the closing brace.
constexpr std::size_t kLongestSetValueReply = 128 + korva_sim::kMaxValueText;
}  // namespace

std::vector<std::string> SystemAPI::formRequestForPushNotification(const std::string& reply) {
  // Only a successful set_value reply notifies, and every one this device gives starts the same way
  // and is no longer than its largest value allows: any other reply, however large, is answered at
  // once, without a look at the rest of it (an echo of 16 MiB is asked about once per connection).
  const std::size_t start = std::strlen(kSetValueReplyStart);
  if (reply.size() > kLongestSetValueReply || reply.compare(0, start, kSetValueReplyStart) != 0) return {};
  // The service asks once per other connection with the same reply: the notifications of the last
  // reply are kept per thread instead of working them out a thousand times. A set_value reply of
  // ours whose notification is its own end is not parsed at all (spliceNotification).
  KeptNotifications& k = kept;
  if (reply != k.lastReply) {
    std::string spliced;
    if (spliceNotification(reply, spliced)) {
      k.lastNotifications.assign(1, std::move(spliced));
    } else {
      k.lastNotifications = notificationsFor(reply);
    }
    k.lastReply = reply;
  }
  // Most replies notify nobody; for them, skipping the copy of the kept (empty) list is measurable
  // at 49 calls per request.
  if (k.lastNotifications.empty()) return {};
  return k.lastNotifications;
}

std::string SystemAPI::readData(int group, int id, int index) {
  try {
    std::string data = "{\"group\":" + std::to_string(group) + ",\"id\":" + std::to_string(id) +
                       ",\"index\":" + std::to_string(index);
    if (!Device::instance().appendValue(ValueKey{group, id, index}, data)) data += ",\"error\":\"unknown value\"";
    data += '}';
    return data;
  } catch (...) {
    return "{\"error\":\"internal error\"}";
  }
}
