#pragma once
// Message: a complete received data message, read as an input stream over its own bytes, which
// content() hands over without a copy.
// SendStream: the body of one outgoing frame; the send queue shares it with its producer and
// writes straight from its bytes (never copied). Both are always held through std::shared_ptr.

#include <boost/asio/buffer.hpp>

#include <cstddef>
#include <istream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <type_traits>

namespace KorvaWeb {

class QueuedFrames;

class Message : public std::istream {
public:
  Message(unsigned char fin_rsv_opcode, std::size_t length)
      : std::istream(&bytes_), fin_rsv_opcode(fin_rsv_opcode), length(length) {}

  // First byte of the (first) frame, FIN set for an assembled message.
  unsigned char fin_rsv_opcode;
  // Payload bytes after unmasking; for an assembled message the sum over its frames.
  std::size_t length;

  // Everything from the current read position to the end, consumed: a second call gives "".
  // When nothing has been read through the stream, the bytes are handed over, not copied. Never
  // throws; any failure gives the empty string.
  std::string content() noexcept;

  // Makes the message empty and new again, for reuse by the reader once nobody holds it: setting
  // up a stream costs more than reading a small message.
  void reset(unsigned char first_byte, std::size_t payload_length) noexcept;

  // For the reader, which writes the payload straight into the message. Storage grows with the
  // bytes: to twice what it held, or to `limit` (the size the message is known to reach) when
  // that is less, but never ahead of them otherwise.
  std::size_t size() const noexcept { return bytes_.size(); }
  std::size_t capacity() const noexcept { return bytes_.capacity(); }
  // What the storage would grow by for `count` more bytes.
  std::size_t growth(std::size_t count, std::size_t limit) const noexcept { return bytes_.growth(count, limit); }
  // Grows by `count` bytes and returns where they start.
  unsigned char* extend(std::size_t count, std::size_t limit) { return bytes_.extend(count, limit); }
  // Appends `count` bytes copied from `data`; returns where they start.
  unsigned char* append(const unsigned char* data, std::size_t count) { return bytes_.append(data, count); }
  // Takes back the last `count` bytes (room that a read did not fill).
  void shrink(std::size_t count) noexcept { bytes_.shrink(count); }
  // The last `count` bytes.
  const char* last(std::size_t count) const noexcept { return bytes_.end() - count; }

private:
  // The message's bytes and the stream's read position in them.
  class Bytes : public std::streambuf {
  public:
    std::size_t size() const noexcept { return text_.size() - taken(); }
    std::size_t capacity() const noexcept { return text_.capacity(); }
    std::size_t growth(std::size_t count, std::size_t limit) const noexcept;
    unsigned char* extend(std::size_t count, std::size_t limit);
    unsigned char* append(const unsigned char* data, std::size_t count);
    void shrink(std::size_t count) noexcept;
    const char* end() const noexcept { return text_.data() + text_.size(); }
    std::string take() noexcept;
    void discard() noexcept;

  private:
    std::size_t taken() const noexcept { return eback() ? static_cast<std::size_t>(gptr() - eback()) : 0; }
    void make_room(std::size_t count, std::size_t limit);
    void point_at(std::size_t read) noexcept {
      char* begin = &text_[0];
      setg(begin, begin + read, begin + text_.size());
    }
    std::string text_;
  };
  Bytes bytes_;
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
  // The bytes written, as text.
  const std::string& text() const noexcept { return bytes_; }
  // What the bytes take in memory.
  std::size_t capacity() const noexcept { return bytes_.capacity(); }
  boost::asio::const_buffer data() const noexcept { return boost::asio::buffer(bytes_.data(), bytes_.size()); }

private:
  friend class QueuedFrames;
  struct Formatter;

  std::string bytes_;
  std::unique_ptr<Formatter> formatter_;
  // How many send queues hold this payload (on the event loop only): a payload shared by many is
  // counted once against the server's memory budget.
  std::size_t queues_ = 0;
};

} // namespace KorvaWeb
