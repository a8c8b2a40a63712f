#pragma once
// The check that a text message is UTF-8, made as its bytes arrive: a message fed in pieces (its
// frames, or the reads of one large frame) fails at the first byte that cannot belong to valid
// UTF-8, without waiting for the rest. Valid UTF-8 has no overlong forms, no surrogates (U+D800 to
// U+DFFF) and nothing above U+10FFFF.

#include <cstddef>
#include <cstdint>

namespace KorvaWeb {

class Utf8Validator {
public:
  // Takes the next bytes of the text; false once the text can no longer be valid UTF-8 (and from
  // then on).
  bool feed(const unsigned char* data, std::size_t size) noexcept;
  // The bytes so far end where a character ends.
  bool complete() const noexcept { return state_ == accept; }
  void reset() noexcept { state_ = accept; }

  static bool valid(const unsigned char* data, std::size_t size) noexcept {
    Utf8Validator validator;
    return validator.feed(data, size) && validator.complete();
  }

private:
  // What the next byte must be: the first byte of a character, or one of the 1 to 3 continuation
  // bytes still missing, some of which have a narrower range of their own.
  enum State : std::uint8_t {
    accept,
    one_more,     // 80..BF, then a character has ended
    two_more,     // 80..BF, then one_more
    three_more,   // 80..BF, then two_more
    after_e0,     // A0..BF (no overlong three-byte form), then one_more
    after_ed,     // 80..9F (no surrogates), then one_more
    after_f0,     // 90..BF (no overlong four-byte form), then two_more
    after_f4,     // 80..8F (nothing above U+10FFFF), then two_more
    reject
  };
  // The state after the first byte of a character.
  static State after_lead(unsigned char c) noexcept;

  State state_ = accept;
};

} // namespace KorvaWeb
