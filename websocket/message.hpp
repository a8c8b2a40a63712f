#pragma once
// Message: a complete received data message, read as an input stream over its own buffer.
// SendStream: the body of one outgoing frame; the send queue shares it with its producer and
// writes straight from its bytes (never copied). Both are always held through std::shared_ptr.

#include <boost/asio/buffer.hpp>
#include <boost/asio/streambuf.hpp>

#include <cstddef>
#include <istream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <type_traits>

namespace KorvaWeb {

class Message : public std::istream {
public:
  Message(unsigned char fin_rsv_opcode, std::size_t length)
      : std::istream(&streambuf), fin_rsv_opcode(fin_rsv_opcode), length(length) {}

  // First byte of the (first) frame, FIN set for an assembled message.
  unsigned char fin_rsv_opcode;
  // Payload bytes after unmasking; for an assembled message the sum over its frames.
  std::size_t length;

  // Everything from the current read position to the end, consumed: a second call gives "".
  // Never throws; any failure gives the empty string.
  std::string content() noexcept;

  // Makes the message empty and new again, for reuse by the reader once nobody holds it: setting
  // up a stream costs more than reading a small message.
  void reset(unsigned char first_byte, std::size_t payload_length) noexcept;

  boost::asio::streambuf streambuf;
};

// The body of one outgoing frame. Text goes in with write() or <<; anything else that a
// std::ostream formats (numbers, manipulators) goes in with << as well, through an ostream that
// the stream sets up only when first needed, since setting one up costs more than sending a small
// frame. The bytes are kept as written: the send queue writes them from here.
class SendStream {
public:
  SendStream();
  // Takes the bytes of `text` over as the stream's start, without copying them.
  explicit SendStream(std::string text);
  ~SendStream();
  SendStream(const SendStream&) = delete;
  SendStream& operator=(const SendStream&) = delete;

  SendStream& write(const char* data, std::streamsize count) {
    if (count > 0)
      bytes_.append(data, static_cast<std::size_t>(count));
    return *this;
  }
  SendStream& put(char c) {
    bytes_.push_back(c);
    return *this;
  }
  SendStream& operator<<(std::string_view text) { return write(text.data(), static_cast<std::streamsize>(text.size())); }
  SendStream& operator<<(char c) { return put(c); }
  template <class Value, class = std::enable_if_t<!std::is_convertible<const Value&, std::string_view>::value>>
  SendStream& operator<<(const Value& value) {
    stream() << value;
    return *this;
  }
  SendStream& operator<<(std::ostream& (*manipulator)(std::ostream&)) {
    stream() << manipulator;
    return *this;
  }

  // An output stream that writes into this one.
  std::ostream& stream();

  // Bytes written.
  std::size_t size() const noexcept { return bytes_.size(); }
  // What the bytes take in memory.
  std::size_t capacity() const noexcept { return bytes_.capacity(); }
  boost::asio::const_buffer data() const noexcept { return boost::asio::buffer(bytes_.data(), bytes_.size()); }

private:
  struct Formatter;

  std::string bytes_;
  std::unique_ptr<Formatter> formatter_;
};

} // namespace KorvaWeb
