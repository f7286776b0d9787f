// Reading what the logger wrote: the lines this process (or a child run at a
// chosen log level) appended to the host's log file.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

// Remembers the end of this process's log file; Text() is what came after.
class LogTail {
 public:
  LogTail();
  std::wstring Text() const;
  // The appended lines written by process `pid` (default: this one).
  std::vector<std::wstring> Lines(DWORD pid = ::GetCurrentProcessId()) const;
  // True when one appended line of this process holds "[<tag>] - <text>";
  // tag "" matches any level.
  bool Has(const std::wstring& text, const std::wstring& tag = L"") const;
  // Number of appended lines (any process) in which `fragment` starts; the
  // fragment may run on past the line's CR LF.
  int Count(const std::wstring& fragment) const;

 private:
  std::wstring path_;
  unsigned long long start_ = 0;
};

// The log level tags as written in a line, e.g. Tag(3) is "[WARN]".
std::wstring LogTag(int level);

// Runs child main `name` of this executable with the logger threshold of
// this host set to `level` for the child's life. Returns its exit code;
// `lines` gets the log lines the child wrote.
int RunChildAtLogLevel(const std::wstring& name, const std::vector<std::wstring>& args, int level,
                       std::vector<std::wstring>* lines);

// True when one of `lines` contains `tag` + " - " + `text`.
bool AnyLineHas(const std::vector<std::wstring>& lines, const std::wstring& text,
                const std::wstring& tag = L"");

}  // namespace testing_support
