#include "websocket/message.hpp"

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

} // namespace KorvaWeb
