#include "bench/ws_deflate.hpp"

#include "bench/ws_client.hpp"

#include <algorithm>

namespace korva_bench {

namespace {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

// A window of 8 to 15 bits, quoted or not; 0 when the value is not one.
int window_bits(std::string_view value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  if (value.empty() || value.size() > 2 || value.front() == '0')
    return 0;
  int bits = 0;
  for (char c : value) {
    if (c < '0' || c > '9')
      return 0;
    bits = bits * 10 + (c - '0');
  }
  return bits >= 8 && bits <= 15 ? bits : 0;
}

} // namespace

std::optional<DeflateAnswer> parse_deflate_answer(std::string_view value) {
  DeflateAnswer answer;
  bool first = true;
  while (!value.empty() || first) {
    auto end = value.find(';');
    auto part = trimmed(value.substr(0, end));
    value = end == std::string_view::npos ? std::string_view() : value.substr(end + 1);
    if (first) {
      if (part != "permessage-deflate")
        return std::nullopt;
      first = false;
      continue;
    }
    auto equals = part.find('=');
    auto name = trimmed(part.substr(0, equals));
    auto parameter = equals == std::string_view::npos ? std::string_view() : trimmed(part.substr(equals + 1));
    if (name == "server_no_context_takeover" && equals == std::string_view::npos) {
      answer.server_no_context_takeover = true;
    } else if (name == "client_no_context_takeover" && equals == std::string_view::npos) {
      // we compress every message on its own anyway
    } else if (name == "server_max_window_bits" && window_bits(parameter)) {
      answer.server_max_window_bits = window_bits(parameter);
    } else if (name == "client_max_window_bits" && window_bits(parameter)) {
      answer.client_max_window_bits = window_bits(parameter);
    } else {
      return std::nullopt;
    }
  }
  return answer;
}

MessageDeflater::MessageDeflater(int window_bits, int level) {
  // zlib's raw deflate takes no window of 8 bits; 9 stays within a window of 8 for every stream
  // shorter than 256 bytes only, so a client held to 8 would need care we do not take: our offer
  // lets the server choose, and no server here chooses 8.
  if (deflateInit2(&stream_, level, Z_DEFLATED, -(window_bits < 9 ? 9 : window_bits), 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw BenchError("deflateInit2 failed");
}

MessageDeflater::~MessageDeflater() { deflateEnd(&stream_); }

void MessageDeflater::compress(std::string_view message, std::string& out) {
  deflateReset(&stream_);
  out.resize(deflateBound(&stream_, message.size()) + 16);
  stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(message.data()));
  stream_.avail_in = static_cast<uInt>(message.size());
  stream_.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream_.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream_, Z_SYNC_FLUSH) != Z_OK || stream_.avail_in != 0 || stream_.avail_out == 0)
    throw BenchError("deflate failed");
  out.resize(out.size() - stream_.avail_out - 4); // the sync flush's 00 00 FF FF
}

MessageInflater::MessageInflater(int window_bits, bool context_takeover) : context_takeover_(context_takeover) {
  if (inflateInit2(&stream_, -(window_bits < 9 ? 9 : window_bits)) != Z_OK)
    throw BenchError("inflateInit2 failed");
}

MessageInflater::~MessageInflater() { inflateEnd(&stream_); }

std::string_view MessageInflater::inflate(const char* payload, std::size_t length) {
  static const unsigned char tail[4] = {0x00, 0x00, 0xFF, 0xFF};
  if (!context_takeover_)
    inflateReset(&stream_);
  std::size_t produced = 0;
  auto take = [&](const unsigned char* in, std::size_t size) {
    stream_.next_in = const_cast<Bytef*>(in);
    stream_.avail_in = static_cast<uInt>(size);
    for (;;) {
      if (out_.size() - produced < 4096)
        out_.resize(std::max<std::size_t>(out_.size() * 2, produced + 16384));
      stream_.next_out = reinterpret_cast<Bytef*>(&out_[produced]);
      stream_.avail_out = static_cast<uInt>(out_.size() - produced);
      int result = ::inflate(&stream_, Z_SYNC_FLUSH);
      produced = out_.size() - stream_.avail_out;
      if (result == Z_STREAM_END) // a final block: the next message starts a new stream
        inflateReset(&stream_);
      else if (result != Z_OK && result != Z_BUF_ERROR)
        throw BenchError("the server's compressed message does not inflate (zlib " + std::to_string(result) + ")");
      if (stream_.avail_in == 0 && stream_.avail_out != 0)
        return;
    }
  };
  take(reinterpret_cast<const unsigned char*>(payload), length);
  take(tail, sizeof tail);
  return std::string_view(out_.data(), produced);
}

} // namespace korva_bench
