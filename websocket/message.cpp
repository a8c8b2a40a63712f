#include "websocket/message.hpp"

#include <utility>

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

void Message::reset(unsigned char first_byte, std::size_t payload_length) noexcept {
  streambuf.consume(streambuf.size());
  clear();
  fin_rsv_opcode = first_byte;
  length = payload_length;
}

// The ostream of a SendStream and the stream buffer under it, which appends to the stream's bytes.
struct SendStream::Formatter : std::streambuf {
  explicit Formatter(std::string& bytes) : bytes(bytes), stream(this) {}

  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof()))
      bytes.push_back(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    bytes.append(text, static_cast<std::size_t>(count));
    return count;
  }

  std::string& bytes;
  std::ostream stream;
};

SendStream::SendStream() = default;
SendStream::SendStream(std::string text) : bytes_(std::move(text)) {}
SendStream::~SendStream() = default;

std::ostream& SendStream::stream() {
  if (!formatter_)
    formatter_.reset(new Formatter(bytes_));
  return formatter_->stream;
}

} // namespace KorvaWeb
