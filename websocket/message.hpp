#pragma once
// Message: a complete received data message, read as an input stream over its own buffer.
// SendStream: the body of one outgoing frame, written as an output stream; the send queue shares
// it with its producer and writes straight from its buffer (never copied). Both are always held
// through std::shared_ptr.

#include <boost/asio/streambuf.hpp>

#include <cstddef>
#include <istream>
#include <ostream>
#include <string>

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

  boost::asio::streambuf streambuf;
};

// The buffer of a SendStream: a Boost.Asio streambuf that takes room for a whole text at once when
// one is written in bulk (write(), << of a string). Growing character by character, as the plain
// streambuf does, would leave up to twice the text's size allocated for as long as the frame is
// queued.
class SendBuffer : public boost::asio::streambuf {
protected:
  std::streamsize xsputn(const char* text, std::streamsize count) override;
};

class SendStream : public std::ostream {
public:
  SendStream() : std::ostream(&streambuf) {}

  // Bytes written and not yet taken out.
  std::size_t size() const noexcept { return streambuf.size(); }

  SendBuffer streambuf;
};

} // namespace KorvaWeb
