#include "websocket/message.hpp"

#include <cstring>

namespace KorvaWeb {

std::string Message::content() noexcept {
  try {
    auto data = streambuf.data();
    std::string text(static_cast<const char*>(data.data()), data.size());
    streambuf.consume(data.size());
    return text;
  } catch (...) {
    return std::string();
  }
}

std::streamsize SendBuffer::xsputn(const char* text, std::streamsize count) {
  if (count <= 0)
    return 0;
  auto room = prepare(static_cast<std::size_t>(count)); // throws when out of memory: the stream sets badbit
  std::memcpy(room.data(), text, static_cast<std::size_t>(count));
  commit(static_cast<std::size_t>(count));
  return count;
}

} // namespace KorvaWeb
