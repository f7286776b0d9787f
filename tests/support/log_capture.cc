#include "support/log_capture.h"

#include <windows.h>

#include <vector>

#include "common/handle.h"
#include "common/log.h"

namespace testing_support {
namespace {

UniqueFile OpenShared(const std::wstring& path) {
  return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

uint64_t SizeOf(const std::wstring& path) {
  UniqueFile file = OpenShared(path);
  LARGE_INTEGER size{};
  if (!file || !::GetFileSizeEx(file.get(), &size)) return 0;
  return static_cast<uint64_t>(size.QuadPart);
}

}  // namespace

LogCapture::LogCapture() : path_(Logger::Instance().FilePath()), start_(SizeOf(path_)) {}

std::wstring LogCapture::Text() const {
  UniqueFile file = OpenShared(path_);
  if (!file) return std::wstring();
  LARGE_INTEGER size{}, offset{};
  if (!::GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) <= start_)
    return std::wstring();
  offset.QuadPart = static_cast<LONGLONG>(start_);
  if (!::SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN)) return std::wstring();
  std::vector<char> bytes(static_cast<size_t>(size.QuadPart - offset.QuadPart));
  DWORD read = 0;
  if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
    return std::wstring();
  std::wstring text(read / 2, L'\0');
  if (!text.empty()) memcpy(&text[0], bytes.data(), text.size() * 2);
  return text;
}

int LogCapture::Count(const std::wstring& fragment) const {
  const std::wstring text = Text();
  int count = 0;
  for (size_t at = text.find(fragment); at != std::wstring::npos; at = text.find(fragment, at + 1)) {
    size_t line_end = text.find(L"\r\n", at);
    ++count;
    if (line_end == std::wstring::npos) break;
    at = line_end;
  }
  return count;
}

}  // namespace testing_support
