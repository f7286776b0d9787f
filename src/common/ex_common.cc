#include "common/ex_common.h"

#include <objbase.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "common/log.h"
#include "common/product.h"
#include "common/reg.h"

namespace ExCommon {

namespace {

constexpr DWORD kModulePathChars = 520;
// Longest path the system accepts with the \\?\ prefix.
constexpr DWORD kLongestPath = 32768;

wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c + (L'a' - L'A') : c; }

bool EndsWith(const std::wstring& text, wchar_t c) { return !text.empty() && text.back() == c; }

}  // namespace

uint32_t GeCurrentSessionId() {
  DWORD session = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) {
    Log(LOG_ERROR, L"ExCommon::GeCurrentSessionId failed, gle:%d",
        static_cast<int>(::GetLastError()));
    return 0xFFFFFFFFu;
  }
  return session;
}

std::wstring GetModulePath(HMODULE module) {
  try {
    // A full buffer means a truncated, unterminated path: retry larger rather than return it.
    for (DWORD chars = kModulePathChars; chars <= kLongestPath; chars *= 2) {
      std::wstring buffer(chars, L'\0');
      DWORD n = ::GetModuleFileNameW(module, &buffer[0], chars);
      if (n == 0) return std::wstring();
      if (n < chars) {
        buffer.resize(n);
        return buffer;
      }
    }
  } catch (...) {
  }
  return std::wstring();
}

std::wstring GetFileVersionString(const std::wstring& path) {
  if (path.empty()) return std::wstring();
  try {
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return std::wstring();
    std::vector<unsigned char> data(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::wstring();
    void* block = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\", &block, &length) || !block ||
        length < sizeof(VS_FIXEDFILEINFO))
      return std::wstring();
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(block);
    if (info->dwSignature != 0xFEEF04BDu) return std::wstring();
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
  } catch (...) {
    return std::wstring();
  }
}

bool IsWindowsVersionOrGreater(uint16_t major, uint16_t minor, uint16_t service_pack_major) {
  // RtlGetVersion tells the real version; VerifyVersionInfoW follows the host's
  // manifest, and the host is not ours.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  auto rtl_get_version = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                                     ::GetProcAddress(ntdll, "RtlGetVersion")))
                               : nullptr;
  OSVERSIONINFOEXW os{};
  os.dwOSVersionInfoSize = sizeof os;
  if (rtl_get_version && rtl_get_version(&os) == 0) {
    // One version number: 10.0 is above 6.3 although 0 < 3.
    if (os.dwMajorVersion != major) return os.dwMajorVersion > major;
    if (os.dwMinorVersion != minor) return os.dwMinorVersion > minor;
    return os.wServicePackMajor >= service_pack_major;
  }
  OSVERSIONINFOEXW wanted{};
  wanted.dwOSVersionInfoSize = sizeof wanted;
  wanted.dwMajorVersion = major;
  wanted.dwMinorVersion = minor;
  wanted.wServicePackMajor = service_pack_major;
  DWORDLONG mask = 0;
  mask = ::VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
  mask = ::VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
  mask = ::VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return ::VerifyVersionInfoW(&wanted, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                              mask) != FALSE;
}

char* AllocateFileContent(const std::wstring& path, size_t& size) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER length{};
  BOOL sized = ::GetFileSizeEx(file, &length);
  ::CloseHandle(file);
  if (!sized || length.QuadPart < 0 ||
      static_cast<unsigned long long>(length.QuadPart) >= std::numeric_limits<size_t>::max()) {
    Log(LOG_FATAL, L"AllocateFileContent Exception. File:%s", path.c_str());
    return nullptr;
  }
  size_t bytes = static_cast<size_t>(length.QuadPart);
  char* buffer = static_cast<char*>(std::calloc(bytes + 1, 1));
  if (!buffer) {
    Log(LOG_FATAL, L"AllocateFileContent Exception. File:%s", path.c_str());
    return nullptr;
  }
  size = bytes;
  return buffer;
}

void FreeFileContent(char* buffer) { std::free(buffer); }

std::wstring AddTrailingBackslash(const std::wstring& path, bool keep_colon) {
  if (path.empty() || EndsWith(path, L'\\') || (keep_colon && EndsWith(path, L':'))) return path;
  return path + L'\\';
}

std::wstring RemoveTrailingBackslash(const std::wstring& path) {
  if (!EndsWith(path, L'\\')) return path;
  return path.substr(0, path.size() - 1);
}

std::wstring NormalizeFolderPath(const std::wstring& path, bool trailing_backslash) {
  if (path.empty()) return path;
  std::wstring result = path;
  std::replace(result.begin(), result.end(), L'/', L'\\');
  return trailing_backslash ? AddTrailingBackslash(result, true) : RemoveTrailingBackslash(result);
}

bool FolderExists(const std::wstring& path) {
  if (path.empty()) return false;
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::wstring& path) {
  if (path.empty()) return false;
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateFolderTree(const std::wstring& path) {
  try {
    std::wstring full = AddTrailingBackslash(path);
    if (full.empty()) return false;
    for (size_t i = 1; i < full.size(); ++i) {
      if (full[i] == L'\\' || full[i] == L'/')
        ::CreateDirectoryW(full.substr(0, i).c_str(), nullptr);
    }
    if (!::CreateDirectoryW(full.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
      return false;
    // "Already exists" is also the answer for a file of that name.
    DWORD attributes = ::GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      return false;
    if (attributes & FILE_ATTRIBUTE_READONLY)
      ::SetFileAttributesW(full.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return true;
  } catch (...) {
    return false;
  }
}

bool CopyFileOver(const std::wstring& source, const std::wstring& destination) {
  if (destination.empty() || !FileExists(source)) return false;
  DWORD attributes = ::GetFileAttributesW(destination.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    ::SetFileAttributesW(destination.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  return ::CopyFileW(source.c_str(), destination.c_str(), /*bFailIfExists=*/FALSE) != FALSE;
}

std::wstring GetTempFolder() { return GetEnvironmentValue(L"TEMP"); }

std::wstring GetEnvironmentValue(const wchar_t* name) {
  if (!name || !*name) return std::wstring();
  try {
    DWORD need = ::GetEnvironmentVariableW(name, nullptr, 0);
    // Another thread may grow the value between the calls.
    for (int attempt = 0; attempt < 4 && need > 0; ++attempt) {
      std::wstring buffer(need, L'\0');
      DWORD n = ::GetEnvironmentVariableW(name, &buffer[0], need);
      if (n == 0) return std::wstring();
      if (n < need) {
        buffer.resize(n);
        return buffer;
      }
      need = n;
    }
  } catch (...) {
  }
  return std::wstring();
}

bool EqualsIgnoreCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::wstring ToLower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), LowerAscii);
  return text;
}

void ReplaceAll(std::wstring& text, const std::wstring& search, const std::wstring& replacement) {
  // An empty search text would match everywhere without end.
  if (search.empty() || search == replacement) return;
  try {
    std::wstring result;
    size_t from = 0;
    for (size_t at = text.find(search); at != std::wstring::npos; at = text.find(search, from)) {
      result.append(text, from, at - from);
      result += replacement;
      from = at + search.size();
    }
    if (from == 0) return;
    result.append(text, from, std::wstring::npos);
    text.swap(result);
  } catch (...) {
  }
}

std::vector<std::wstring> Split(const std::wstring& text, const std::wstring& delimiter) {
  std::vector<std::wstring> pieces;
  try {
    if (delimiter.empty()) {
      pieces.push_back(text);
      return pieces;
    }
    size_t from = 0;
    for (size_t at = text.find(delimiter); at != std::wstring::npos;
         at = text.find(delimiter, from)) {
      pieces.push_back(text.substr(from, at - from));
      from = at + delimiter.size();
    }
    pieces.push_back(text.substr(from));
  } catch (...) {
    pieces.clear();
  }
  return pieces;
}

std::wstring NumberToText(int32_t number) { return std::to_wstring(number); }

std::wstring NumberToText(uint32_t number) { return std::to_wstring(number); }

std::wstring TextOrDefault(const wchar_t* text, const std::wstring& fallback) {
  return text ? std::wstring(text) : fallback;
}

std::wstring CreateGuidString() {
  GUID guid{};
  if (FAILED(::CoCreateGuid(&guid))) return std::wstring();
  wchar_t text[40] = {};
  int n = ::StringFromGUID2(guid, text, 40);
  if (n <= 0) return std::wstring();
  std::wstring result;
  for (const wchar_t* p = text; *p; ++p)
    if (*p != L'{' && *p != L'}') result += *p;
  return result;
}

std::string WideToAnsi(const std::wstring& text) {
  if (text.empty()) return std::string();
  try {
    int need = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (need <= 0) return std::string();
    std::string buffer(static_cast<size_t>(need), '\0');
    int n = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &buffer[0], need, nullptr, nullptr);
    if (n <= 0) return std::string();
    buffer.resize(buffer.find('\0') == std::string::npos ? buffer.size() : buffer.find('\0'));
    return buffer;
  } catch (...) {
    return std::string();
  }
}

std::wstring AnsiToWide(const std::string& text) { return CodePageToWide(text, CP_ACP); }

std::wstring CodePageToWide(const std::string& text, uint32_t code_page) {
  if (text.empty()) return std::wstring();
  try {
    int need = ::MultiByteToWideChar(code_page, 0, text.c_str(), -1, nullptr, 0);
    if (need <= 0) return std::wstring();
    std::wstring buffer(static_cast<size_t>(need), L'\0');
    int n = ::MultiByteToWideChar(code_page, 0, text.c_str(), -1, &buffer[0], need);
    if (n <= 0) return std::wstring();
    size_t end = buffer.find(L'\0');
    if (end != std::wstring::npos) buffer.resize(end);
    return buffer;
  } catch (...) {
    return std::wstring();
  }
}

bool IsNetworkScanEnabled() {
  return ReadRegDWORD(product::kScannerKey, L"ODScanNetworkItems", 0) != 0;
}

}  // namespace ExCommon
