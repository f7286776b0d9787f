// The engine-facing header must compile on its own and pull in no platform
// header, so it is included first and alone here.
#include "quorvane.h"

#if defined(_WINDOWS_) || defined(_WINDOWS_H) || defined(_WINDEF_)
#error "quorvane.h must include only standard headers"
#endif

#include <gtest/gtest.h>

#include <type_traits>

namespace {

// The engine reads and writes these objects in place: the layout is the
// libstdc++ x64 one and must not move.
TEST(QuorvaneHeader, GenericPacketLayoutIsPinned) {
  static_assert(sizeof(wchar_t) == 2, "wchar_t must be 16 bits");
  static_assert(std::is_unsigned<wchar_t>::value, "code units compare as unsigned numbers");
  static_assert(std::has_virtual_destructor<GenericPacketW>::value, "");
  static_assert(std::is_base_of<GenericPacketW, AVMalwareDetectPacket>::value, "");
  static_assert(std::is_base_of<GenericPacketW, AVScannedItemPacket>::value, "");
  static_assert(std::is_base_of<GenericPacketW, AVConcludeScanPacket>::value, "");
  static_assert(sizeof(AVMalwareDetectPacket) == sizeof(GenericPacketW), "adds no members");
  static_assert(sizeof(AVScannedItemPacket) == sizeof(GenericPacketW), "adds no members");
  static_assert(sizeof(AVConcludeScanPacket) == sizeof(GenericPacketW), "adds no members");

  GenericPacketW packet;
  const char* base = reinterpret_cast<const char*>(&packet);
  EXPECT_EQ(8, reinterpret_cast<const char*>(&packet.type) - base);
  EXPECT_EQ(40, reinterpret_cast<const char*>(&packet.subtype) - base);
  EXPECT_EQ(72, reinterpret_cast<const char*>(&packet.channelid) - base);
  EXPECT_EQ(104, reinterpret_cast<const char*>(&packet.keyvallist) - base);
  EXPECT_EQ(152u, sizeof(GenericPacketW));
}

TEST(QuorvaneHeader, KeysOrderByUnsignedCodeUnits) {
  GenericPacketW packet;
  for (const wchar_t* key : {L"score", L"\uFFFD", L"_x", L"Score", L"\U0001F600", L"a", L"\u00E9",
                             L"Z", L"A", L"Sc"})
    packet.keyvallist[key] = L"";
  std::wstring order;
  for (const auto& entry : packet.keyvallist) order += entry.first + L"|";
  // A surrogate (0xD83D) sorts below U+FFFD: code-unit order, not code-point order.
  EXPECT_EQ(L"A|Sc|Score|Z|_x|a|score|\u00E9|\U0001F600|\uFFFD|", order);
}

}  // namespace
