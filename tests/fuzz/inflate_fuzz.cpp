// Fuzz target: permessage-deflate's incoming path. An offer line is negotiated, and the window it
// agrees on (or one the input picks) inflates the data: arbitrary bytes, or the input's text
// compressed first (by our compressor when that pays), so that both corrupt and well-formed,
// bomb-like streams come through. The data goes through an InflateStage in fuzzer-chosen pieces
// with a fuzzer-chosen limit and step allowance.
//
// Input layout:
//   byte 0      bits 0-2 the window (9 + value % 7) unless the offer agrees on one; bit 3 text
//               (checked as UTF-8); bit 4 compress the data first; bits 5-7 the limit (limits[])
//   byte 1      bits 0-1 the step's output allowance (outputs[]); bit 2 the bytes up to the first
//               newline of the rest are a Sec-WebSocket-Extensions line; bits 3-5 the step's input
//               allowance (1 + value * 4096)
//   byte 2      number of split points (modulo 32), then two bytes (little-endian) per point, an
//               offset into the data
//   the rest    the offer line (see byte 1), then the data
//
// Checked: the answer to an agreed offer parses as one permessage-deflate extension that agrees
// the same again; every step keeps to its allowance and takes no more than it was given; the
// message never passes the limit and the growth asked for is exactly what its storage grew by;
// the outcome and the inflated bytes are those of zlib inflating the whole message at once (the
// first of: a byte that is not UTF-8, a byte beyond the limit, data that does not inflate); after
// the message the stage holds nothing, and the loop's stream serves the next message.

#include "tests/fuzz/fuzz_check.hpp"
#include "websocket/deflate_stage.hpp"
#include "websocket/inflate_stage.hpp"
#include "websocket/permessage_deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace KorvaWeb;

namespace {

constexpr std::size_t limits[8] = {0, 1, 100, 1000, 4096, 65536, 1 << 20, 4 << 20};
constexpr std::size_t outputs[4] = {1, 100, 65536, inflate_step_output};

// The window an offer agrees on, checked against the answer it gets.
int negotiated_window(const std::string& line, int otherwise) {
  CaseInsensitiveMultimap header{{"Sec-WebSocket-Extensions", line}};
  const auto agreement = negotiate_deflate(header);
  if (!agreement)
    return otherwise;
  std::vector<ExtensionOffer> answer;
  FUZZ_CHECK(parse_extension_list(deflate_answer(*agreement), answer));
  FUZZ_CHECK(answer.size() == 1 && answer[0].name == "permessage-deflate");
  CaseInsensitiveMultimap again{{"Sec-WebSocket-Extensions", deflate_answer(*agreement)}};
  const auto same = negotiate_deflate(again);
  FUZZ_CHECK(same && same->inflate_window_bits() == agreement->inflate_window_bits() &&
             same->compress_window_bits() == agreement->compress_window_bits());
  return agreement->inflate_window_bits();
}

std::string zlib_deflate(const std::string& text, int window_bits) {
  z_stream z{};
  FUZZ_CHECK(deflateInit2(&z, 9, Z_DEFLATED, -window_bits, 9, Z_DEFAULT_STRATEGY) == Z_OK);
  std::string out(deflateBound(&z, text.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  FUZZ_CHECK(deflate(&z, Z_SYNC_FLUSH) == Z_OK && z.avail_in == 0);
  out.resize(out.size() - z.avail_out - 4);
  deflateEnd(&z);
  return out;
}

// zlib's own one-shot inflate of the whole message and its tail, up to one byte beyond `limit`.
InflateStatus one_shot(const std::string& data, int window_bits, std::size_t limit, bool text, std::string& out) {
  z_stream z{};
  FUZZ_CHECK(inflateInit2(&z, -window_bits) == Z_OK);
  const std::string input = data + std::string("\0\0\xff\xff", 4);
  out.assign(limit + 1, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&z, Z_SYNC_FLUSH);
  out.resize(out.size() - z.avail_out);
  // No byte at all is the empty message.
  const bool whole = data.empty() || result == Z_STREAM_END ? z.total_in >= data.size()
                                            : (result == Z_OK || result == Z_BUF_ERROR) && z.avail_in == 0 &&
                                                  z.avail_out != 0 && (z.data_type & 128);
  inflateEnd(&z);
  // The stage checks the bytes as they come, and stops at the first byte beyond the limit.
  Utf8Validator utf8;
  const std::size_t checked = std::min(out.size(), limit);
  if (text) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(out.data());
    for (std::size_t i = 0; i < checked; ++i)
      if (!utf8.feed(bytes + i, 1))
        return InflateStatus::invalid_utf8;
  }
  if (out.size() > limit)
    return InflateStatus::too_big;
  if (!whole)
    return InflateStatus::corrupt;
  return text && !utf8.complete() ? InflateStatus::invalid_utf8 : InflateStatus::finished;
}

 // zlib inflating one byte at a time, which refuses every reference further back than the window
// (at once, it takes those that stay within the bytes of that call): true when that fails within
// the first `most` bytes.
bool too_far_back(const std::string& data, int window_bits, std::size_t most) {
  z_stream z{};
  FUZZ_CHECK(inflateInit2(&z, -window_bits) == Z_OK);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  unsigned char byte;
  int result = Z_OK;
  for (std::size_t produced = 0; produced <= most && result == Z_OK; produced += 1 - z.avail_out) {
    z.next_out = &byte;
    z.avail_out = 1;
    result = inflate(&z, Z_SYNC_FLUSH);
  }
  inflateEnd(&z);
  return result == Z_DATA_ERROR;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size < 3)
    return 0;
  const unsigned options = input[0], more = input[1];
  const bool text = options & 8;
  const std::size_t limit = limits[options >> 5];
  const InflateStep step{outputs[more & 3], 1 + ((more >> 3) & 7) * std::size_t(4096)};
  std::size_t at = 3;
  const std::size_t points = input[2] % 32;
  if (size < at + 2 * points)
    return 0;
  std::vector<std::size_t> splits;
  for (std::size_t i = 0; i < points; ++i, at += 2)
    splits.push_back(input[at] | (static_cast<std::size_t>(input[at + 1]) << 8));
  std::string rest(reinterpret_cast<const char*>(input) + at, size - at);

  int window = 9 + static_cast<int>(options & 7) % 7;
  if (more & 4) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    window = negotiated_window(rest.substr(0, end), window);
    rest.erase(0, end + 1 > rest.size() ? rest.size() : end + 1);
  }
  std::string data = rest;
  if (options & 16) {
    Compressor compressor(window);
    if (!compressor.compress(rest, data))
      data = zlib_deflate(rest, window);
  }

  std::string expected;
  const InflateStatus expected_status = one_shot(data, window, limit, text, expected);

  static Decompressors loop; // one per run, as one per event loop: every message leaves it ready
  InflateStage stage;
  Message message(0xC1, 0);
  const std::size_t first_capacity = message.capacity();
  Utf8Validator utf8;
  std::size_t counted = 0;
  auto count = [&counted](std::size_t growth) {
    counted += growth;
    return true;
  };
  for (auto& split : splits)
    split = data.empty() ? 0 : split % data.size();
  splits.push_back(data.size());
  std::sort(splits.begin(), splits.end());

  std::size_t taken = 0;
  InflateResult result{InflateStatus::need_input, 0, 0};
  for (std::size_t split : splits) {
    if (split < taken)
      continue;
    do {
      const std::size_t before = message.size();
      result = stage.inflate(loop, window, reinterpret_cast<const unsigned char*>(data.data()) + taken,
                             split - taken, split == data.size(), message, limit, text ? &utf8 : nullptr, count, step);
      FUZZ_CHECK(result.consumed <= split - taken && result.consumed <= step.input);
      FUZZ_CHECK(result.produced <= step.output && message.size() == before + result.produced);
      FUZZ_CHECK(message.size() <= limit);
      FUZZ_CHECK(counted == message.capacity() - first_capacity);
      taken += result.consumed;
    } while (result.status == InflateStatus::need_room);
    if (result.status != InflateStatus::need_input)
      break;
  }
  FUZZ_CHECK(result.status != InflateStatus::need_input);
  FUZZ_CHECK(!stage.in_message() && stage.holding() == 0);
  // A stream that refers further back than its window may be refused where zlib at once takes it.
  FUZZ_CHECK(result.status == expected_status ||
             (result.status == InflateStatus::corrupt && too_far_back(data, window, message.size() + 1)));
  const std::string inflated = message.content();
  if (result.status == InflateStatus::finished) {
    FUZZ_CHECK(inflated == expected && message.length == expected.size() && message.fin_rsv_opcode == 0x81);
    FUZZ_CHECK(taken == data.size());
  } else {
    FUZZ_CHECK(expected.compare(0, inflated.size(), inflated) == 0); // what came before the failure
  }
  if (std::getenv("FUZZ_VERBOSE"))
    std::fprintf(stderr, "  window %d, limit %zu, outcome %d, %zu bytes inflated\n", window, limit,
                 static_cast<int>(result.status), inflated.size());
  return 0;
}
