// The one-line JSON text of a packet, as carried by the queues:
// {"type":..,"subtype":..,"channelid":..,"keyvallist":[{"key":..,"value":..},..]}
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>

#include "quorvane.h"

// Always valid JSON: an unpaired surrogate is written as U+FFFD. Empty only
// when the text cannot be built (out of memory, a string too long for the
// writer).
std::wstring GetJDocument(const GenericPacketW& packet);

// UTF-8 up to the first NUL to UTF-16. Text that is not valid UTF-8 is
// logged and read in the system ANSI code page instead.
std::wstring Utf8ToUtf16(const std::string& text);

namespace json_internal {
// Decodes strict UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF), up to `size` bytes or the first NUL, into `out`, which must
// hold `size` units. Returns the number of units written, or SIZE_MAX when
// the text is not valid UTF-8.
size_t DecodeUtf8(const char* text, size_t size, wchar_t* out);
}  // namespace json_internal
