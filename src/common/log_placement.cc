#include "common/log_placement.h"

#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "common/log.h"
#include "common/product.h"

namespace logplace {
namespace {

// Local stand-ins for the shared ExCommon / product-path helpers, which are
// not on main yet. Replace with the shared ones when they land.
bool LocalEqualsIgnoreCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
    if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
    if (x != y) return false;
  }
  return true;
}

bool LocalFolderExists(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool LocalFileExists(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring LocalAddTrailingBackslash(const std::wstring& path) {
  if (path.empty() || path.back() == L'\\') return path;
  return path + L'\\';
}

uint32_t LocalSessionId() {
  DWORD session = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) return 0xFFFFFFFFu;
  return session;
}

bool LocalCreateFolderTree(const std::wstring& path) {
  std::wstring full = LocalAddTrailingBackslash(path);
  for (size_t i = 1; i < full.size(); ++i) {
    if (full[i] == L'\\' || full[i] == L'/') ::CreateDirectoryW(full.substr(0, i).c_str(), nullptr);
  }
  if (::CreateDirectoryW(full.c_str(), nullptr) || ::GetLastError() != ERROR_ALREADY_EXISTS)
    return false;
  DWORD attributes = ::GetFileAttributesW(full.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    ::SetFileAttributesW(full.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  return true;
}

std::wstring LocalDataRoot() {
  wchar_t folder[MAX_PATH + 1] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                folder)))
    return L"";
  std::wstring root = folder;
  if (!root.empty() && root.back() != L'\\' && root.back() != L':') root += L'\\';
  return root + L"QuillfeatherZub";
}

std::wstring LocalLogsPath() { return LocalAddTrailingBackslash(LocalDataRoot()) + L"Logs"; }
std::wstring LocalStoredDataPath() {
  return LocalAddTrailingBackslash(LocalDataRoot()) + L"StoredData";
}
std::wstring LocalStoredDataLogsPath() {
  return LocalAddTrailingBackslash(LocalStoredDataPath()) + L"Logs";
}

// Administrators GENERIC_ALL, Everyone all file rights, inherited below.
void LocalOpenUpFolder(const std::wstring& path) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID admins = nullptr, everyone = nullptr;
  if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &admins))
    return;
  if (::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
    EXPLICIT_ACCESS_W entries[2] = {};
    for (auto& e : entries) {
      e.grfAccessMode = SET_ACCESS;
      e.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
      e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    }
    entries[0].grfAccessPermissions = GENERIC_ALL;
    entries[0].Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    entries[0].Trustee.ptstrName = static_cast<LPWSTR>(admins);
    entries[1].grfAccessPermissions = 0x1F01FF;
    entries[1].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entries[1].Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    PACL dacl = nullptr;
    if (::SetEntriesInAclW(2, entries, nullptr, &dacl) == ERROR_SUCCESS) {
      std::vector<wchar_t> name(path.begin(), path.end());
      name.push_back(0);
      ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, dacl, nullptr);
      ::LocalFree(dacl);
    }
    ::FreeSid(everyone);
  }
  ::FreeSid(admins);
}

logfmt::LocalTime Now() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  logfmt::LocalTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.milliseconds = st.wMilliseconds;
  return t;
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
  const wchar_t* installer = nullptr;
  for (const wchar_t* entry : product::kInstallers) {
    if (LocalEqualsIgnoreCase(host, entry)) {
      installer = entry;
      break;
    }
  }
  if (installer) {
    rule.kind = HostKind::kInstaller;
    rule.archiving = false;
    if (std::wstring(installer) == L"uninstall") rule.timestamped = true;
  } else if (LocalEqualsIgnoreCase(host, L"x86") || LocalEqualsIgnoreCase(host, L"x64")) {
    rule.kind = HostKind::kBootstrapper;
    rule.archiving = false;
    rule.timestamped = true;
  }
  if (LocalEqualsIgnoreCase(host, L"updater") || LocalEqualsIgnoreCase(host, L"setup"))
    rule.timestamped = true;
  if (LocalEqualsIgnoreCase(host, L"setup")) rule.archiving = false;
  return rule;
}

std::wstring LogFileName(const std::wstring& host, bool timestamped, uint32_t session_id,
                         uint32_t process_id, const logfmt::LocalTime& time) {
  std::wstring name = host;
  bool event_viewer = LocalEqualsIgnoreCase(host, product::kEventViewer);
  if (event_viewer) name += std::to_wstring(session_id);
  if (event_viewer || LocalEqualsIgnoreCase(host, product::kControlCentre) ||
      LocalEqualsIgnoreCase(host, product::kManagementConsole)) {
    name += L"_CPlus";
  } else if (LocalEqualsIgnoreCase(host, product::kPidNamedTool)) {
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
  for (wchar_t& c : out)
    if (c == L'/') c = L'\\';
  if (!out.empty() && out.back() != L'\\') out += L'\\';
  return out;
}

bool CreateLogFolder(const std::wstring& path) {
  // Relative folders would depend on the working folder: never used.
  if (!IsAbsolutePath(path)) return false;
  std::wstring folder = NormalizeFolder(path);
  if (LocalFolderExists(folder)) return true;
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
    if (LocalFolderExists(prefix)) continue;
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
    std::wstring stored = LocalStoredDataPath();
    if (IsAbsolutePath(stored) && !LocalFolderExists(stored) && LocalCreateFolderTree(stored))
      LocalOpenUpFolder(stored);
    base = LocalStoredDataLogsPath();
  } else {
    base = LocalLogsPath();
  }
  base = LocalAddTrailingBackslash(base);
  CreateLogFolder(base);

  std::wstring folder = NormalizeFolder(base + host + L"\\");
  std::wstring path = folder + LogFileName(host, rule.timestamped, LocalSessionId(),
                                           ::GetCurrentProcessId(), Now());
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
  std::wstring archived = ArchivedName(path, Now());
  if (archived.empty()) return false;
  if (!::MoveFileExW(path.c_str(), archived.c_str(), MOVEFILE_COPY_ALLOWED)) return false;
  std::wstring destination =
      CompressedName(archived, LocalFileExists(archived + L".gz"), EpochSeconds());
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
