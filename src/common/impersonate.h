// Impersonation of the interactive user: the owner of the shell process of
// the active terminal-services session. Per thread; use as a local object
// (construct, LogonUser, work, let destruction revert).
#pragma once

#include <windows.h>
#include <wtsapi32.h>

#include <cstdint>
#include <string>

// Where the user's identity is looked for. Tests substitute their own.
struct ImpersonationSource {
  bool (*active_session)(uint32_t& session);  // getActiveSession
  const wchar_t* logon_process;               // must run in that session
  const wchar_t* shell_process;               // its token is impersonated
  static ImpersonationSource Default();
};

class ImpersonateUserEx {
 public:
  explicit ImpersonateUserEx(const std::wstring& caller,
                             const ImpersonationSource& source = ImpersonationSource::Default());
  ~ImpersonateUserEx();
  ImpersonateUserEx(const ImpersonateUserEx&) = delete;
  ImpersonateUserEx& operator=(const ImpersonateUserEx&) = delete;

  // 0 when the calling thread now impersonates the user, else the system
  // error code of the failing step (never 0 on failure). <windows.h> maps
  // the name to LogonUserW; every user of this header sees the same macro.
  uint32_t LogonUser();
  // Back to the thread's own identity when impersonating.
  void Revert();

  bool impersonating() const { return impersonating_; }
  // Quiet: the always-level progress lines are not written; errors still are.
  void set_quiet(bool quiet) { quiet_ = quiet; }

 private:
  std::wstring caller_;
  bool impersonating_ = false;
  bool quiet_ = false;
  ImpersonationSource source_;
};

// The last active session of the local server into `session`; true when one
// was found. Leaves `session` as preset (and answers true) when sessions
// cannot be enumerated on this system.
bool getActiveSession(uint32_t& session);
// The last entry of `list` in state WTSActive, or false (session unchanged).
bool PickActiveSession(const WTS_SESSION_INFOA* list, uint32_t count, uint32_t& session);

// Session number of the first process named `process` (case-insensitive) in
// `session`, or 0xFFFFFFFF.
uint32_t GetProcessSessionID(uint32_t session, const std::wstring& process);
// Process ID of the first process named `process` in `session`, or 0xFFFFFFFF.
uint32_t GetSessionPID(uint32_t session, const std::wstring& process);
