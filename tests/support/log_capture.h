// What this process's logger appends to its file while a test runs.
#pragma once

#include <cstdint>
#include <string>

namespace testing_support {

class LogCapture {
 public:
  LogCapture();  // opens the logger and remembers where its file ends
  // The text written since construction (UTF-16, lines ending in CR LF).
  std::wstring Text() const;
  bool Contains(const std::wstring& fragment) const { return Text().find(fragment) != std::wstring::npos; }
  // Number of lines written since construction that contain `fragment`.
  int Count(const std::wstring& fragment) const;

 private:
  std::wstring path_;
  uint64_t start_ = 0;
};

}  // namespace testing_support
