#include "common/log_placement.h"

#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "common/ex_common.h"
#include "common/log.h"
#include "common/product.h"
#include "common/security.h"
#include "ipc/product_paths.h"

namespace logplace {
namespace {

// The stored-data folder is shared by every user's installer run:
// Administrators GENERIC_ALL, Everyone all file rights, inherited below.
void OpenUpFolder(const std::wstring& path) {
  W32SecAttr attributes;
  if (!attributes.Build(GENERIC_ALL, 0x1F01FF, SET_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT))
    return;
  std::vector<wchar_t> name(path.begin(), path.end());
  name.push_back(0);
  ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          attributes.dacl, nullptr);
}

std::wstring TwoDigits3(const wchar_t* format, unsigned a, unsigned b, unsigned c) {
  wchar_t text[32];
  int n = _snwprintf_s(text, 32, _TRUNCATE, format, a % 100, b % 100, c % 100);
  return n < 0 ? std::wstring() : std::wstring(text, static_cast<size_t>(n));
}

std::wstring TimeText(const logfmt::LocalTime& t) {  // HH-mm-ss
  return TwoDigits3(L"%02u-%02u-%02u", t.hour, t.minute, t.second);
}

std::wstring DateText(const logfmt::LocalTime& t) {  // dd-MM-yy
  return TwoDigits3(L"%02u-%02u-%02u", t.day, t.month, t.year);
}

int64_t EpochSeconds() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  ULARGE_INTEGER ticks;
  ticks.LowPart = ft.dwLowDateTime;
  ticks.HighPart = ft.dwHighDateTime;
  return static_cast<int64_t>((ticks.QuadPart - 116444736000000000ull) / 10000000ull);
}

// The archived and compressed names are longer than the log file's own
// path, which may use all of MAX_PATH: past it, only the extended form works.
std::wstring Extended(const std::wstring& path) {
  if (path.size() < MAX_PATH) return path;
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  if (path.compare(0, 2, L"\\\\") == 0 && path.compare(0, 4, L"\\\\?\\") != 0)
    return L"\\\\?\\UNC\\" + path.substr(2);
  return path;
}

using GetFolderPathFn = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);

std::wstring CommonAppDataFrom(const wchar_t* library) {
  HMODULE module = ::LoadLibraryW(library);
  if (!module) return L"";
  std::wstring result;
  auto get = reinterpret_cast<GetFolderPathFn>(
      reinterpret_cast<void*>(::GetProcAddress(module, "SHGetFolderPathW")));
  wchar_t folder[MAX_PATH + 1] = {};
  if (get && SUCCEEDED(get(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                           SHGFP_TYPE_CURRENT, folder)))
    result = folder;
  ::FreeLibrary(module);
  return result;
}

}  // namespace

HostRule ClassifyHost(const std::wstring& host) {
  HostRule rule;
  const auto* first = std::begin(product::kInstallers);
  const auto* last = std::end(product::kInstallers);
  const auto* found = std::find_if(
      first, last, [&](const wchar_t* entry) { return ExCommon::EqualsIgnoreCase(host, entry); });
  const wchar_t* installer = found != last ? *found : nullptr;
  if (installer) {
    rule.kind = HostKind::kInstaller;
    rule.archiving = false;
    if (std::wstring(installer) == L"uninstall") rule.timestamped = true;
  } else if (ExCommon::EqualsIgnoreCase(host, L"x86") || ExCommon::EqualsIgnoreCase(host, L"x64")) {
    rule.kind = HostKind::kBootstrapper;
    rule.archiving = false;
    rule.timestamped = true;
  }
  if (ExCommon::EqualsIgnoreCase(host, L"updater") || ExCommon::EqualsIgnoreCase(host, L"setup"))
    rule.timestamped = true;
  if (ExCommon::EqualsIgnoreCase(host, L"setup")) rule.archiving = false;
  return rule;
}

std::wstring LogFileName(const std::wstring& host, bool timestamped, uint32_t session_id,
                         uint32_t process_id, const logfmt::LocalTime& time) {
  std::wstring name = host;
  bool event_viewer = ExCommon::EqualsIgnoreCase(host, product::kEventViewer);
  if (event_viewer) name += std::to_wstring(session_id);
  if (event_viewer || ExCommon::EqualsIgnoreCase(host, product::kControlCentre) ||
      ExCommon::EqualsIgnoreCase(host, product::kManagementConsole)) {
    name += L"_CPlus";
  } else if (ExCommon::EqualsIgnoreCase(host, product::kPidNamedTool)) {
    name += std::to_wstring(process_id);
  }
  if (timestamped) {
    name += L"_[" + TimeText(time) + L"][" + DateText(time) + L"].log";
  } else {
    name += L".log";
  }
  return name;
}

std::wstring ArchivedName(const std::wstring& path, const logfmt::LocalTime& time) {
  size_t dot = path.find_last_of(L'.');
  size_t slash = path.find_last_of(L"\\/");
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return L"";
  return path.substr(0, dot) + L"[" + DateText(time) + L"][" + TimeText(time) + L"]" +
         path.substr(dot);
}

std::wstring CompressedName(const std::wstring& archived, bool gz_exists, int64_t epoch_seconds) {
  if (!gz_exists) return archived + L".gz";
  return archived + std::to_wstring(epoch_seconds) + L".gz";
}

std::wstring CompressorCommandLine(const std::wstring& compressor, const std::wstring& archived,
                                   const std::wstring& destination) {
  return compressor + L" -compressfile \"" + archived + L"\" \"" + destination + L"\"";
}

uint64_t SizeLimitFromMegabytes(uint32_t megabytes) {
  if (megabytes == 0) megabytes = 1;
  if (megabytes > kMaxSizeMb) megabytes = kMaxSizeMb;
  return static_cast<uint64_t>(megabytes) * 1048576u;
}

bool IsAbsolutePath(const std::wstring& path) {
  return (path.size() >= 2 && path[1] == L':') ||
         (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\');
}

std::wstring NormalizeFolder(const std::wstring& path) {
  std::wstring out = path;
  std::replace(out.begin(), out.end(), L'/', L'\\');
  if (!out.empty() && out.back() != L'\\') out += L'\\';
  return out;
}

bool CreateLogFolder(const std::wstring& path) {
  // Relative folders would depend on the working folder: never used.
  if (!IsAbsolutePath(path)) return false;
  std::wstring folder = NormalizeFolder(path);
  if (ExCommon::FolderExists(folder)) return true;
  if (folder.size() >= 780) return false;
  size_t start = 3;
  if (folder[0] == L'\\' && folder[1] == L'\\') {
    // Server and share of a UNC path are not folders to create.
    size_t server_end = folder.find(L'\\', 2);
    size_t share_end =
        server_end == std::wstring::npos ? server_end : folder.find(L'\\', server_end + 1);
    if (share_end == std::wstring::npos) return false;
    start = share_end + 1;
  }
  for (size_t i = start; i < folder.size(); ++i) {
    if (folder[i] != L'\\') continue;
    std::wstring prefix = folder.substr(0, i);
    if (ExCommon::FolderExists(prefix)) continue;
    if (!::CreateDirectoryW(prefix.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
      return false;
  }
  return true;
}

std::wstring PlaceLogFile(const std::wstring& given_host, bool& archiving) {
  std::wstring host = given_host.empty() ? std::wstring(L"Unknown") : given_host;
  HostRule rule = ClassifyHost(host);
  if (!rule.archiving) archiving = false;

  std::wstring base;
  if (rule.kind == HostKind::kInstaller) {
    std::wstring stored = GetStoredDataPath();
    if (IsAbsolutePath(stored) && !ExCommon::FolderExists(stored) && ExCommon::CreateFolderTree(stored))
      OpenUpFolder(stored);
    base = GetStoredDataLogsPath();
  } else {
    base = GetLogsPath();
  }
  base = ExCommon::AddTrailingBackslash(base);
  CreateLogFolder(base);

  std::wstring folder = NormalizeFolder(base + host + L"\\");
  std::wstring path = folder + LogFileName(host, rule.timestamped, ExCommon::GeCurrentSessionId(),
                                           ::GetCurrentProcessId(), logfmt::LocalNow());
  // A cut name would log under a name nobody looks for: no file instead.
  if (path.size() > kMaxLogPath) return L"";
  if (!CreateLogFolder(folder)) return L"";
  return path;
}

std::wstring CompressorPath() {
  std::wstring folder = CommonAppDataFrom(L"shell32.dll");
  if (folder.empty()) folder = CommonAppDataFrom(L"SHFolder.dll");
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L':') folder += L'\\';
  return L"\"" + folder + L"Quillfeather\\Consumer\\" + product::kShortCodeFolder + L"\\9\\" +
         product::kCompressorProgram + L"\"";
}

bool ArchiveLogFile(const std::wstring& path) {
  std::wstring archived = ArchivedName(path, logfmt::LocalNow());
  if (archived.empty()) return false;
  if (!::MoveFileExW(Extended(path).c_str(), Extended(archived).c_str(), MOVEFILE_COPY_ALLOWED))
    return false;
  std::wstring destination =
      CompressedName(archived, ExCommon::FileExists(Extended(archived + L".gz")), EpochSeconds());
  std::wstring command = CompressorCommandLine(CompressorPath(), archived, destination);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  std::vector<wchar_t> buffer(command.begin(), command.end());
  buffer.push_back(0);
  if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, /*inherit_handles=*/FALSE,
                        NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process)) {
    DWORD error = ::GetLastError();
    Log(LOG_ERROR, L"ExCreateProces failed, app=%s, gle=%d", command.c_str(),
        static_cast<int>(error));
    return false;
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return true;
}

}  // namespace logplace
