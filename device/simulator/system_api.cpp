// The device's request interface. Requests are JSON objects with a string "command"; replies are
// compact JSON objects. README.md lists the commands and their replies.

#include "device/system_api.hpp"

#include <chrono>
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

std::string setValue(const json& request, const std::string& command) {
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
  Device::instance().set(key, *value);

  ordered_json reply;
  reply["command"] = command;
  reply["status"] = "ok";
  reply["group"] = key.group;
  reply["id"] = key.id;
  reply["index"] = key.index;
  reply["value"] = *value;
  return dump(reply);
}

std::string getValues(const std::string& command) {
  ordered_json values = ordered_json::array();
  for (const auto& [key, value] : Device::instance().all()) {
    values.push_back(
        {{"group", key.group}, {"id", key.id}, {"index", key.index}, {"value", value}});
  }
  ordered_json reply;
  reply["command"] = command;
  reply["status"] = "ok";
  reply["values"] = std::move(values);
  return dump(reply);
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

std::string answer(const std::string& request, const std::string& client_address, int port) {
  if (request.empty()) return errorReply(nullptr, "request is empty");
  // The parser would take a NUL byte for the end of the text and ignore the rest.
  if (request.find('\0') != std::string::npos) {
    return errorReply(nullptr, "request is not valid JSON: it contains a NUL byte");
  }
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
  if (command == "set_value") return setValue(parsed, command);
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
}  // namespace

std::vector<std::string> SystemAPI::formRequestForPushNotification(const std::string& reply) {
  // The service asks once per other connection with the same reply: the notifications of the
  // last reply are kept per thread instead of parsing it a thousand times.
  thread_local std::string lastReply;
  thread_local std::vector<std::string> lastNotifications;
  thread_local bool known = false;
  if (!known || reply != lastReply) {
    lastNotifications = notificationsFor(reply);
    lastReply = reply;
    known = true;
  }
  return lastNotifications;
}

std::string SystemAPI::readData(int group, int id, int index) {
  try {
    ordered_json data;
    data["group"] = group;
    data["id"] = id;
    data["index"] = index;
    const auto value = Device::instance().get(ValueKey{group, id, index});
    if (value) {
      data["value"] = *value;
    } else {
      data["error"] = "unknown value";
    }
    return dump(data);
  } catch (...) {
    return "{\"error\":\"internal error\"}";
  }
}
