// Frame encoding, the size check and the UTF-8 check, without sockets.

#include "websocket/frame.hpp"
#include "websocket/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

using namespace KorvaWeb;

namespace {

std::vector<int> bytes(const FrameHeader& h) { return std::vector<int>(h.bytes.begin(), h.bytes.begin() + h.size); }

TEST(FrameHeader, ShortestLengthFormAtEachBoundary) {
  EXPECT_EQ(bytes(encode_frame_header(0x81, 0)), (std::vector<int>{0x81, 0x00}));
  EXPECT_EQ(bytes(encode_frame_header(0x81, 125)), (std::vector<int>{0x81, 0x7D}));
  EXPECT_EQ(bytes(encode_frame_header(0x81, 126)), (std::vector<int>{0x81, 0x7E, 0x00, 0x7E}));
  EXPECT_EQ(bytes(encode_frame_header(0x81, 65535)), (std::vector<int>{0x81, 0x7E, 0xFF, 0xFF}));
  EXPECT_EQ(bytes(encode_frame_header(0x81, 65536)),
            (std::vector<int>{0x81, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(bytes(encode_frame_header(0x88, 0x0102030405060708ull)),
            (std::vector<int>{0x88, 0x7F, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}));
}

TEST(FrameSize, LimitIncludesTheAssembledMessage) {
  EXPECT_FALSE(frame_too_big<std::size_t>(10, 0, 10));
  EXPECT_TRUE(frame_too_big<std::size_t>(11, 0, 10));
  EXPECT_FALSE(frame_too_big<std::size_t>(4, 6, 10));
  EXPECT_TRUE(frame_too_big<std::size_t>(5, 6, 10));
  EXPECT_FALSE(frame_too_big<std::size_t>(0, 10, 10));
}

TEST(FrameSize, NoWrapAroundWithA32BitSizeType) {
  using U32 = std::uint32_t;
  const U32 unlimited = std::numeric_limits<U32>::max();
  // 0x0000000100000005 must never be read as 5.
  EXPECT_TRUE(frame_too_big<U32>(0x0000000100000005ull, 0, unlimited));
  EXPECT_TRUE(frame_too_big<U32>(0x0000000100000005ull, 0, 100));
  // A sum that would wrap: assembled + length beyond the type.
  EXPECT_TRUE(frame_too_big<U32>(0xFFFFFFF0u, 0x20, unlimited));
  // 4 + length must fit too: the largest lengths take the too-big path even without a limit.
  EXPECT_TRUE(frame_too_big<U32>(unlimited, 0, unlimited));
  EXPECT_TRUE(frame_too_big<U32>(unlimited - 3, 0, unlimited));
  EXPECT_FALSE(frame_too_big<U32>(unlimited - 4, 0, unlimited));
}

TEST(FrameSize, NoWrapAroundWithA64BitSizeType) {
  using U64 = std::uint64_t;
  const U64 unlimited = std::numeric_limits<U64>::max();
  EXPECT_TRUE(frame_too_big<U64>(unlimited, 0, unlimited));
  EXPECT_TRUE(frame_too_big<U64>(unlimited - 1, 5, unlimited));
  EXPECT_FALSE(frame_too_big<U64>(1u << 20, 1u << 20, unlimited));
}

// Lengths below, at and past the eight bytes unmasked at once, in place and into another buffer.
TEST(Unmask, XorsWithTheKeyCyclically) {
  const unsigned char key[4] = {0x01, 0x02, 0x03, 0x04};
  const std::string text = "Hello, unmasked world!"; // two words of eight and six bytes more
  for (std::size_t size : {6, 8, 9, 16, 22}) {
    std::vector<unsigned char> masked(size), out(size);
    for (std::size_t i = 0; i < size; ++i)
      masked[i] = static_cast<unsigned char>(text[i] ^ key[i % 4]);
    unmask(masked.data(), size, key, out.data());
    EXPECT_EQ(std::string(out.begin(), out.end()), text.substr(0, size));
    unmask(masked.data(), size, key, masked.data());
    EXPECT_EQ(std::string(masked.begin(), masked.end()), text.substr(0, size)) << "in place";
  }
}

// Each row whole, and split at every point into two pieces fed one after the other.
TEST(Utf8, ValidAndInvalidTextFedWholeAndInPieces) {
  struct Row {
    const char* text;
    bool valid;
  } rows[] = {
      {"plain ASCII, longer than a word of eight", true},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true}, // two, three and four bytes
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", true}, // the edges of every range
      {"\xC0\xAF", false},                 // overlong two bytes
      {"\xE0\x9F\xBF", false},             // overlong three bytes
      {"\xF0\x8F\xBF\xBF", false},         // overlong four bytes
      {"\xED\xA0\x80", false},             // a surrogate
      {"\xF4\x90\x80\x80", false},         // above U+10FFFF
      {"\xF5\x80\x80\x80", false},         // no such lead byte
      {"abc\x80", false},                  // a continuation byte alone
      {"abcdefgh\xC3", false},             // cut at the end
      {"abcdefgh\xC3(", false},            // a lead byte without its continuation
      // ASCII goes sixteen bytes at a time: what stands in such a block, in either half of it
      {"0123456789abcdef01234567\xFF" "89abcdef", false},
      {"0123456789abcde\x80" "0123456789abcdef", false},
      {"0123456789abcdefghijklmn\xC3\xA9" "pqrstuvwxyz0123456789", true},
      {"0123456789abcd\xE2\x82\xAC" "0123456789abcdef", true}, // across two blocks
      {"0123456789abcdef0123456789abcdef\xED\xA0\x80", false},
  };
  for (const Row& row : rows) {
    const std::string text = row.text;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    EXPECT_EQ(Utf8Validator::valid(bytes, text.size()), row.valid) << text;
    for (std::size_t split = 0; split <= text.size(); ++split) {
      Utf8Validator validator;
      const bool fed = validator.feed(bytes, split) && validator.feed(bytes + split, text.size() - split);
      EXPECT_EQ(fed && validator.complete(), row.valid) << text << " split at " << split;
    }
  }
}

TEST(ClosePayload, StatusBigEndianLowSixteenBitsThenReason) {
  EXPECT_EQ(close_payload(1000, ""), std::string("\x03\xE8", 2));
  EXPECT_EQ(close_payload(1000, "idle timeout"), std::string("\x03\xE8") + "idle timeout");
  EXPECT_EQ(close_payload(0x123E8, "x"), std::string("\x23\xE8x", 3)); // higher bits dropped
  EXPECT_EQ(close_payload(0, ""), std::string("\x00\x00", 2));
}

} // namespace
