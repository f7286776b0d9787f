// The log line layout and the level names: pure text, no kernel objects.
#pragma once

#include <cstddef>
#include <cstdint>

namespace logfmt {

// Fixed buffers of the writers, terminator included.
inline constexpr size_t kMessageCapacity = 5120;
inline constexpr size_t kLineCapacity = 3200;

// Local clock reading, fields as in SYSTEMTIME.
struct LocalTime {
  uint16_t year = 0, month = 0, day = 0;
  uint16_t hour = 0, minute = 0, second = 0, milliseconds = 0;
};

// One reading of the local clock.
LocalTime LocalNow();

// "[INFO ]", "[ ERROR  ]", ...; null for a level outside 0..6.
const wchar_t* LevelTag(int level);

// "dd/MM/yy HH:mm:ss:mmm [P:%5d][T:%5d] TAG - TEXT\r\n" into `buffer`.
// Returns the length without terminator, or -1 when the line does not fit
// (nothing usable is left in the buffer then) or the level is unknown.
int FormatLine(wchar_t* buffer, size_t capacity, const LocalTime& time, uint32_t process_id,
               uint32_t thread_id, int level, const wchar_t* text);

}  // namespace logfmt
