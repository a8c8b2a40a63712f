// The layout of every device class that the service creates or passes by value, as the target's
// compiler sees it through whichever declarations "device/*.hpp" resolves to: our own, or the
// device SDK's (KORVA_DEVICE_INCLUDE_DIR). Each class leaves one text such as
// "SystemAPI size 16 align 8" in the section .korva_layout of the object file, which
// scripts/check-device-headers reads back with readelf. The file is compiled, never linked or run,
// so the check works for any target architecture without an emulator.
//
// The service allocates SystemAPI and LocalPushNotificationHandler with new, keeps a
// ValueChangeMonitor on the monitor thread's stack, makes a Logger for every log entry and reads
// ValueDiff records out of the vector getValueDiff returns: if the library's classes were larger,
// it would write past what the service set aside for them.
#include "device/local_push_notification_handler.hpp"
#include "device/logger.hpp"
#include "device/system_api.hpp"
#include "device/value_change_monitor.hpp"

#include <cstddef>

namespace korva_layout {

struct Text {
  char bytes[128];
};

constexpr void append(Text& text, std::size_t& at, const char* piece) {
  while (*piece != '\0' && at + 1 < sizeof text.bytes)
    text.bytes[at++] = *piece++;
}

constexpr void append(Text& text, std::size_t& at, std::size_t number) {
  char digits[24] = {};
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (count != 0 && at + 1 < sizeof text.bytes)
    text.bytes[at++] = digits[--count];
}

template <typename... Pieces>
constexpr Text text_of(Pieces... pieces) {
  Text text = {};
  std::size_t at = 0;
  (append(text, at, pieces), ...);
  return text;
}

} // namespace korva_layout

// Worked out by the compiler, and with external linkage, so that the texts are in the object file
// whatever the optimisation level.
#define KORVA_LAYOUT_TEXT(symbol, ...)                                                             \
  extern const korva_layout::Text symbol __attribute__((section(".korva_layout")));                \
  constexpr korva_layout::Text symbol##_value = korva_layout::text_of(__VA_ARGS__);                \
  const korva_layout::Text symbol = symbol##_value

#define KORVA_LAYOUT_CLASS(name)                                                                   \
  KORVA_LAYOUT_TEXT(korva_layout_##name, #name " size ", sizeof(name), " align ", alignof(name))

#define KORVA_LAYOUT_MEMBER(name, member)                                                          \
  KORVA_LAYOUT_TEXT(korva_layout_##name##_##member, #name "::" #member " offset ",                \
                    offsetof(name, member))

KORVA_LAYOUT_CLASS(SystemAPI);
KORVA_LAYOUT_CLASS(LocalPushNotificationHandler);
KORVA_LAYOUT_CLASS(ValueChangeMonitor);
KORVA_LAYOUT_CLASS(Logger);
KORVA_LAYOUT_CLASS(ValueDiff);
// The monitor passes the ints at offsets 8, 4 and 0 to readData by these names.
KORVA_LAYOUT_MEMBER(ValueDiff, index);
KORVA_LAYOUT_MEMBER(ValueDiff, id);
KORVA_LAYOUT_MEMBER(ValueDiff, group);
