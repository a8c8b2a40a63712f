#pragma once
// A client's side of permessage-deflate for the tests: a message compressed on its own (raw deflate,
// the sync flush's 00 00 FF FF stripped, as RFC 7692 sends it), and a compressed payload inflated.

#include <zlib.h>

#include <stdexcept>
#include <string>

namespace korva_test {

inline std::string deflated(const std::string& text, int level = 6) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&z, text.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_SYNC_FLUSH);
  out.resize(out.size() - z.avail_out - 4);
  deflateEnd(&z);
  return out;
}

inline std::string inflated(const std::string& payload) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK)
    throw std::runtime_error("inflateInit2");
  const std::string in = payload + std::string("\x00\x00\xFF\xFF", 4);
  std::string out;
  char chunk[16384];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  do {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    const int result = inflate(&z, Z_SYNC_FLUSH);
    out.append(chunk, sizeof chunk - z.avail_out);
    if (result != Z_OK && result != Z_BUF_ERROR)
      break;
  } while (z.avail_out == 0);
  inflateEnd(&z);
  return out;
}

} // namespace korva_test
