#include "common/impersonate.h"

#include <tlhelp32.h>

#include <vector>

#include "common/ex_common.h"
#include "common/handle.h"
#include "common/log.h"
#include "common/security.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

// The failing call's error; a step that failed without setting one still
// must not read as success.
DWORD FailureCode(DWORD fallback) {
  DWORD error = ::GetLastError();
  return error ? error : fallback;
}

BOOL WINAPI CloseScHandle(SC_HANDLE h) { return h ? ::CloseServiceHandle(h) : TRUE; }
BOOL WINAPI FreeWtsLibrary(HMODULE h) { return h ? ::FreeLibrary(h) : TRUE; }

bool chkAllSessions() {
  HandleImpl<SC_HANDLE, BOOL(WINAPI*)(SC_HANDLE)> manager(
      ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), CloseScHandle);
  if (*manager.Get()) {
    HandleImpl<SC_HANDLE, BOOL(WINAPI*)(SC_HANDLE)> service(
        ::OpenServiceW(*manager.Get(), L"TermService", SERVICE_QUERY_STATUS), CloseScHandle);
    SERVICE_STATUS status{};
    if (*service.Get() && ::QueryServiceStatus(*service.Get(), &status) &&
        status.dwCurrentState == SERVICE_RUNNING)
      return true;
  }
  return ExCommon::IsWindowsVersionOrGreater(6, 0, 0);
}

// Calls `visit` for each process of the snapshot until it returns true.
template <typename Visit>
void ForEachProcess(Visit visit) {
  UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    entry.szExeFile[MAX_PATH - 1] = L'\0';
    if (visit(entry)) return;
  }
}

// The pid of the first process named `process` in `session`, or kNone with
// the error of the walk's last call (the end of the list, normally).
uint32_t FindInSession(uint32_t session, const std::wstring& process) {
  uint32_t found = kNone;
  ForEachProcess([&](const PROCESSENTRY32W& entry) {
    if (!ExCommon::EqualsIgnoreCase(entry.szExeFile, process)) return false;
    DWORD id = 0;
    if (!::ProcessIdToSessionId(entry.th32ProcessID, &id) || id != session) return false;
    found = entry.th32ProcessID;
    return true;
  });
  return found;
}

}  // namespace

ImpersonationSource ImpersonationSource::Default() {
  return ImpersonationSource{&getActiveSession, L"winlogon.exe", L"explorer.exe"};
}

bool PickActiveSession(const WTS_SESSION_INFOA* list, uint32_t count, uint32_t& session) {
  bool found = false;
  for (uint32_t i = 0; list && i < count; ++i) {
    if (list[i].State == WTSActive) {
      session = list[i].SessionId;
      found = true;
    }
  }
  return found;
}

bool getActiveSession(uint32_t& session) {
  if (!chkAllSessions()) {
    Log(LOG_WARN, L"getActiveSession: chkAllSessions returned false");
    return true;
  }
  HandleImpl<HMODULE, BOOL(WINAPI*)(HMODULE)> library(::LoadLibraryW(L"WTSApi32.dll"),
                                                     FreeWtsLibrary);
  HMODULE module = *library.Get();
  if (!module) {
    Log(LOG_ERROR, L"getActiveSession: could not load  WTSApi32.dll");
    return false;
  }
  using EnumerateFn = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOA*, DWORD*);
  using FreeFn = void(WINAPI*)(PVOID);
  auto enumerate = reinterpret_cast<EnumerateFn>(
      reinterpret_cast<void*>(::GetProcAddress(module, "WTSEnumerateSessionsA")));
  auto free_memory = reinterpret_cast<FreeFn>(
      reinterpret_cast<void*>(::GetProcAddress(module, "WTSFreeMemory")));
  if (!enumerate || !free_memory) {
    Log(LOG_ERROR, L"getActiveSession: could not find WTSEnumerateSessionsA or WTSFreeMemory");
    return false;
  }
  PWTS_SESSION_INFOA list = nullptr;
  DWORD count = 0;
  if (!enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) {
    DWORD error = ::GetLastError();
    Log(LOG_ERROR, L"getActiveSession: WTSEnumerateSessionsA returned false error: %d", error);
    ::SetLastError(error);
    return false;
  }
  bool found = PickActiveSession(list, count, session);
  if (list) free_memory(list);
  if (!found) ::SetLastError(ERROR_NO_SUCH_LOGON_SESSION);
  return found;
}

uint32_t GetProcessSessionID(uint32_t session, const std::wstring& process) {
  return FindInSession(session, process) == kNone ? kNone : session;
}

uint32_t GetSessionPID(uint32_t session, const std::wstring& process) {
  return FindInSession(session, process);
}

ImpersonateUserEx::ImpersonateUserEx(const std::wstring& caller,
                                     const ImpersonationSource& source)
    : caller_(caller), source_(source) {}

ImpersonateUserEx::~ImpersonateUserEx() { Revert(); }

uint32_t ImpersonateUserEx::LogonUser() {
  if (!quiet_) Log(LOG_ALW, L"ImpersonateUserEx::LogonUser- Invoked by '%s'", caller_.c_str());
  if (impersonating_) Log(LOG_ERROR, L"ImpersonateUserEx::LogonUser - ALREADY impersonatated.");

  uint32_t session = 0;
  if (!source_.active_session || !source_.active_session(session)) {
    DWORD error = FailureCode(ERROR_NO_SUCH_LOGON_SESSION);
    Log(LOG_ERROR, L"ImpersonateUserEx::LogonUser - failled. Error: %ld", error);
    return error;
  }
  Log(LOG_DEBUG, L"ImpersonateUserEx::LogonUser - Active Session ID : %ld", session);

  session = GetProcessSessionID(session, source_.logon_process);
  if (session == kNone) {
    DWORD error = FailureCode(ERROR_NOT_FOUND);
    Log(LOG_ERROR, L"ImpersonateUserEx::LogonUser - GetProcessSessionID failed. Error = %d", error);
    return error;
  }
  Log(LOG_DEBUG, L"ImpersonateUserEx::LogonUser - winlogon.exe Session ID : %d", session);

  uint32_t pid = GetSessionPID(session, source_.shell_process);
  if (pid == kNone) {
    DWORD error = FailureCode(ERROR_NOT_FOUND);
    Log(LOG_ERROR, L"ImpersonateUserEx::LogonUser - GetSessionPID failed. Error = %d", error);
    return error;
  }
  Log(LOG_DEBUG, L"NetworkDrive::LogonUser - explorer.exe PID for Session ID %d is %d", session,
      pid);

  UniqueHandle process(::OpenProcess(MAXIMUM_ALLOWED, FALSE, pid));
  if (!process) {
    DWORD error = FailureCode(ERROR_ACCESS_DENIED);
    Log(LOG_ERROR, L"ImpersonateUserEx::LogonUser - OpenProcess failed. Error = %d", error);
    return error;
  }
  Log(LOG_DEBUG, L"ImpersonateUserEx::LogonUser - Open PID %d process success.", pid);

  HANDLE raw = nullptr;
  if (!::OpenProcessToken(process.get(), TOKEN_DUPLICATE, &raw)) {
    DWORD error = FailureCode(ERROR_ACCESS_DENIED);
    Log(LOG_ERROR, L"ImpersonateUserEx::LogonUser - OpenProcessToken failed. Error = %d", error);
    return error;
  }
  UniqueHandle token(raw);
  Log(LOG_DEBUG, L"ImpersonateUserEx::LogonUser - Open PID %d process success.", pid);

  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  raw = nullptr;
  if (!::DuplicateTokenEx(token.get(), TOKEN_ALL_ACCESS, &sa, SecurityIdentification,
                          TokenPrimary, &raw)) {
    DWORD error = FailureCode(ERROR_ACCESS_DENIED);
    Log(LOG_ERROR, L"ImpersonateUserEx::LogonUser - DuplicateTokenEx failed. Error: %d", error);
    return error;
  }
  UniqueHandle duplicate(raw);

  if (!::ImpersonateLoggedOnUser(duplicate.get())) {
    DWORD error = FailureCode(ERROR_ACCESS_DENIED);
    Log(LOG_ERROR, L"ImpersonateUserEx::LogonUser - ImpersonateLoggedOnUser failed. Error: %d",
        error);
    return error;
  }
  Log(LOG_DEBUG, L"ImpersonateUserEx::LogonUser - impersonated as logon user");

  std::vector<wchar_t> name(520, L'\0');
  DWORD size = static_cast<DWORD>(name.size());
  if (!::GetUserNameW(name.data(), &size)) name[0] = L'\0';
  name.back() = L'\0';
  if (name[0] == L'\0') {
    Log(LOG_ERROR, L"ImpersonateUserEx::LogonUser(%s) - GetUserName failed (%ld)",
        caller_.c_str(), ::GetLastError());
  } else if (!quiet_) {
    Log(LOG_ALW, L"ImpersonateUserEx::LogonUser(%s) - impersonated user is %s", caller_.c_str(),
        name.data());
  }
  impersonating_ = true;
  return 0;
}

void ImpersonateUserEx::Revert() {
  if (!impersonating_) return;
  impersonating_ = false;
  if (!::RevertToSelf()) {
    DWORD error = ::GetLastError();
    Log(LOG_ERROR, L"ImpersonateUserEx::Revert() - RevertToSelf failed. Error: %ld", error);
    // Never leave the thread under the user's token.
    ::SetThreadToken(nullptr, nullptr);
    return;
  }
  if (!quiet_)
    Log(LOG_ALW, L"ImpersonateUserEx::Revert(%s) - reverted to SYSTEM account", caller_.c_str());
}
