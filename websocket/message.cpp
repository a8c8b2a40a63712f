#include "websocket/message.hpp"

#include <utility>

namespace KorvaWeb {

std::string Message::content() noexcept { return bytes_.take(); }

void Message::reset(unsigned char first_byte, std::size_t payload_length) noexcept {
  bytes_.discard();
  clear();
  fin_rsv_opcode = first_byte;
  length = payload_length;
}

namespace {
// The storage for `needed` bytes, grown from `capacity`: doubled, or `limit` when that is less,
// but at least `needed`.
std::size_t grown_capacity(std::size_t capacity, std::size_t needed, std::size_t limit) noexcept {
  const std::size_t doubled = capacity > static_cast<std::size_t>(-1) / 2 ? static_cast<std::size_t>(-1) : 2 * capacity;
  const std::size_t wanted = doubled < limit ? doubled : limit;
  return wanted > needed ? wanted : needed;
}
} // namespace

std::size_t Message::Bytes::growth(std::size_t count, std::size_t limit) const noexcept {
  const std::size_t needed = text_.size() + count;
  if (needed <= text_.capacity())
    return 0;
  return grown_capacity(text_.capacity(), needed, limit) - text_.capacity();
}

// The string's own growth is left out: it may double past what the message is known to reach.
void Message::Bytes::make_room(std::size_t count, std::size_t limit) {
  const std::size_t needed = text_.size() + count;
  if (needed <= text_.capacity())
    return;
  std::string grown;
  grown.reserve(grown_capacity(text_.capacity(), needed, limit));
  grown.append(text_);
  text_.swap(grown);
}

unsigned char* Message::Bytes::extend(std::size_t count, std::size_t limit) {
  const std::size_t read = taken(), old = text_.size();
  make_room(count, limit);
  text_.resize(old + count);
  point_at(read);
  return reinterpret_cast<unsigned char*>(&text_[old]);
}

unsigned char* Message::Bytes::append(const unsigned char* data, std::size_t count) {
  const std::size_t read = taken(), old = text_.size();
  make_room(count, static_cast<std::size_t>(-1));
  text_.append(reinterpret_cast<const char*>(data), count);
  point_at(read);
  return reinterpret_cast<unsigned char*>(&text_[old]);
}

void Message::Bytes::shrink(std::size_t count) noexcept {
  const std::size_t read = taken();
  text_.resize(text_.size() - count);
  point_at(read < text_.size() ? read : text_.size());
}

// Hands the unread bytes over: all of them by moving the text when nothing has been read.
std::string Message::Bytes::take() noexcept {
  const std::size_t read = taken();
  if (read == 0) {
    std::string text(std::move(text_));
    discard();
    return text;
  }
  std::string text;
  try {
    text.assign(text_, read, std::string::npos);
  } catch (...) {
    text.clear();
  }
  discard();
  return text;
}

// No bytes any more; storage that a large message grew is given back, a small one's is kept for
// the next message.
void Message::Bytes::discard() noexcept {
  if (text_.capacity() > 16 * 1024)
    std::string().swap(text_);
  else
    text_.clear();
  setg(nullptr, nullptr, nullptr);
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
