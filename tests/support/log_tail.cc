#include "support/log_tail.h"

#include "common/log.h"
#include "common/product.h"
#include "support/test_support.h"

namespace testing_support {
namespace {

unsigned long long FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (path.empty() || !::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring ReadFrom(const std::wstring& path, unsigned long long start) {
  std::string bytes;
  if (path.empty() || !ReadWholeFile(path, bytes)) return std::wstring();
  if (start > bytes.size()) start = 0;  // rotated meanwhile
  start &= ~1ull;
  std::wstring text;
  text.reserve((bytes.size() - start) / 2);
  for (size_t i = static_cast<size_t>(start); i + 1 < bytes.size(); i += 2) {
    wchar_t c = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (c != 0xFEFF) text += c;
  }
  return text;
}

std::vector<std::wstring> LinesOf(const std::wstring& text, DWORD pid) {
  wchar_t marker[32];
  _snwprintf_s(marker, 32, _TRUNCATE, L"[P:%5u]", static_cast<unsigned>(pid));
  std::vector<std::wstring> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (line.find(marker) != std::wstring::npos) lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

std::wstring HostName() {
  std::wstring exe = ThisExecutable();
  std::wstring name = exe.substr(exe.find_last_of(L"\\/") + 1);
  size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

}  // namespace

LogTail::LogTail() : path_(Logger::Instance().FilePath()), start_(FileSize(path_)) {}

std::wstring LogTail::Text() const { return ReadFrom(path_, start_); }

std::vector<std::wstring> LogTail::Lines(DWORD pid) const { return LinesOf(Text(), pid); }

bool LogTail::Has(const std::wstring& text, const std::wstring& tag) const {
  return AnyLineHas(Lines(), text, tag);
}

int LogTail::Count(const std::wstring& fragment) const {
  const std::wstring text = Text();
  int count = 0;
  for (size_t at = text.find(fragment); at != std::wstring::npos; at = text.find(fragment, at + 1)) {
    ++count;
    size_t line_end = text.find(L"\r\n", at);
    if (line_end == std::wstring::npos) break;
    at = line_end;
  }
  return count;
}

std::wstring LogTag(int level) {
  switch (level) {
    case LOG_DEBUG: return L"[DEBUG]";
    case LOG_INFO: return L"[INFO ]";
    case LOG_WARN: return L"[WARN]";
    case LOG_ERROR: return L"[ ERROR  ]";
    case LOG_FATAL: return L"[ FATAL ]";
    case LOG_ALW: return L"[ALW  ]";
    default: return L"[NONE ]";
  }
}

bool AnyLineHas(const std::vector<std::wstring>& lines, const std::wstring& text,
                const std::wstring& tag) {
  const std::wstring needle = tag.empty() ? L"] - " + text : tag + L" - " + text;
  for (const auto& line : lines)
    if (line.find(needle) != std::wstring::npos) return true;
  return false;
}

int RunChildAtLogLevel(const std::wstring& name, const std::vector<std::wstring>& args, int level,
                       std::vector<std::wstring>* lines) {
  LogTail tail;
  int code = -1;
  DWORD pid = 0;
  {
    RegValueOverride threshold(std::wstring(product::kLoggerKeyPrefix) + HostName(), L"level");
    threshold.SetDword(static_cast<DWORD>(level));
    ChildProcess child;
    if (!child.Start(name, args)) return -1;
    pid = child.pid();
    code = child.Wait();
  }
  if (lines) *lines = tail.Lines(pid);
  return code;
}

}  // namespace testing_support
