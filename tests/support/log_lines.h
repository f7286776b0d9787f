// Substring checks over the log lines a LogTail sees.
#pragma once

#include <string>

#include "support/log_tail.h"

namespace testing_support {

inline size_t CountLinesWith(const LogTail& tail, const std::wstring& text) {
  size_t count = 0;
  for (const std::wstring& line : tail.Lines())
    if (line.find(text) != std::wstring::npos) ++count;
  return count;
}

inline bool AnyLineWith(const LogTail& tail, const std::wstring& text) {
  return CountLinesWith(tail, text) != 0;
}

}  // namespace testing_support
