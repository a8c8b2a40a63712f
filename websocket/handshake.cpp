#include "websocket/handshake.hpp"

#include "websocket/sha1.hpp"

#include <cstring>

namespace KorvaWeb {

std::size_t find_request_head_end(const char* data, std::size_t size, std::size_t from) noexcept {
  static const char delimiter[] = "\r\n\r\n";
  std::size_t start = from > 3 ? from - 3 : 0;
  for (std::size_t i = start; i + 4 <= size; ++i)
    if (std::memcmp(data + i, delimiter, 4) == 0)
      return i + 4;
  return 0;
}

boost::system::error_code parse_request(std::istream& stream, std::string& method, std::string& path,
                                        std::string& query_string, std::string& http_version,
                                        CaseInsensitiveMultimap& header) {
  header.clear();
  std::string line;
  std::getline(stream, line);

  std::size_t method_end = line.find(' ');
  if (method_end == std::string::npos)
    return error::malformed_head;
  method = line.substr(0, method_end);

  std::size_t query_start = std::string::npos;
  std::size_t path_end = std::string::npos;
  for (std::size_t i = method_end + 1; i < line.size(); ++i) {
    if (line[i] == '?' && i + 1 < line.size()) {
      query_start = i + 1;
    } else if (line[i] == ' ') {
      path_end = i;
      break;
    }
  }
  if (path_end == std::string::npos)
    return error::malformed_head;
  if (query_start != std::string::npos) {
    path = line.substr(method_end + 1, query_start - method_end - 2);
    query_string = line.substr(query_start, path_end - query_start);
  } else {
    path = line.substr(method_end + 1, path_end - method_end - 1);
  }

  std::size_t protocol_end = line.find('/', path_end + 1);
  if (protocol_end == std::string::npos || line.compare(path_end + 1, protocol_end - path_end - 1, "HTTP") != 0)
    return error::malformed_head;
  // The version loses the line's last byte: the CR of a CR LF line end, whatever it is.
  std::size_t version_start = protocol_end + 1;
  std::size_t version_size = line.size() > version_start ? line.size() - version_start - 1 : 0;
  http_version = line.substr(version_start, version_size);

  header = parse_header(stream);
  if (header.size() > max_header_fields)
    return error::too_many_headers;
  return {};
}

CaseInsensitiveMultimap parse_header(std::istream& stream) {
  CaseInsensitiveMultimap result;
  std::string line;
  std::size_t colon;
  while (result.size() <= max_header_fields && std::getline(stream, line) &&
         (colon = line.find(':')) != std::string::npos) {
    std::size_t value_start = colon + 1;
    if (value_start < line.size() && line[value_start] == ' ')
      ++value_start;
    if (value_start < line.size())
      result.emplace(line.substr(0, colon), line.substr(value_start, line.size() - value_start - 1));
  }
  return result;
}

std::string websocket_accept_value(const std::string& key) {
  static const char guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  const std::array<std::uint8_t, 20> digest = sha1(key + guid);
  return base64(digest.data(), digest.size());
}

bool make_handshake_response(const CaseInsensitiveMultimap& header, std::ostream& response) {
  return make_handshake_response(header, response, std::string_view());
}

bool make_handshake_response(const CaseInsensitiveMultimap& header, std::ostream& response,
                             std::string_view extensions) {
  auto key = header.find("Sec-WebSocket-Key");
  if (key == header.end())
    return false;
  response << "HTTP/1.1 101 Web Socket Protocol Handshake\r\n"
              "Upgrade: websocket\r\n"
              "Connection: Upgrade\r\n"
              "Sec-WebSocket-Accept: "
           << websocket_accept_value(key->second) << "\r\n";
  if (!extensions.empty())
    response << "Sec-WebSocket-Extensions: " << extensions << "\r\n";
  response << "\r\n";
  return true;
}

std::string client_address(const CaseInsensitiveMultimap& header) {
  static const std::string real_ip = "X-Real-IP";
  static const std::string forwarded_for = "X-Forwarded-For";
  auto found = header.find(real_ip);
  if (found != header.end())
    return found->second;
  found = header.find(forwarded_for);
  if (found != header.end())
    return found->second;
  return std::string();
}

} // namespace KorvaWeb
