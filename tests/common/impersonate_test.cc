#include "common/impersonate.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/log.h"
#include "support/log_tail.h"
#include "support/test_support.h"

// Under Wine no session is listed, no winlogon.exe runs and explorer.exe is
// gone a second after the prefix starts: the lookup of the logged-on user's
// shell can only fail there. These tests cover that failure path as it is,
// the lookups and the session choice on their own, and the token chain by
// pointing the lookups at this test's own process. What they cannot show is
// the real chain on Windows: winlogon.exe and explorer.exe of the active
// session, and a user other than the process's own.

namespace {

using testing_support::LogTag;
using testing_support::LogTail;

bool IsWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring OwnExeName() {
  std::wstring exe = testing_support::ThisExecutable();
  return exe.substr(exe.find_last_of(L"\\/") + 1);
}

uint32_t OwnSession() {
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  return session;
}

bool OwnSessionActive(uint32_t& session) {
  session = OwnSession();
  return true;
}

// Names resolved at first use, so the source can live in static storage.
ImpersonationSource SelfSource() {
  static const std::wstring name = OwnExeName();
  return ImpersonationSource{&OwnSessionActive, name.c_str(), name.c_str()};
}

bool ThreadHasToken() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  ::CloseHandle(token);
  return true;
}

std::wstring UserName() {
  wchar_t name[520] = L"";
  DWORD size = 520;
  ::GetUserNameW(name, &size);
  return name;
}

TEST(Impersonate, PickActiveSessionTakesTheLastActive) {
  auto entry = [](DWORD id, WTS_CONNECTSTATE_CLASS state) {
    WTS_SESSION_INFOA info{};
    info.SessionId = id;
    info.State = state;
    return info;
  };
  struct Case {
    const char* name;
    std::vector<WTS_SESSION_INFOA> list;
    bool found;
    uint32_t session;
  };
  const Case cases[] = {
      {"empty", {}, false, 77},
      {"none active", {entry(0, WTSDisconnected), entry(2, WTSListen)}, false, 77},
      {"one active", {entry(0, WTSConnected), entry(3, WTSActive)}, true, 3},
      {"two active, last wins", {entry(1, WTSActive), entry(0, WTSDown), entry(5, WTSActive)},
       true, 5},
  };
  for (const Case& c : cases) {
    uint32_t session = 77;
    EXPECT_EQ(c.found, PickActiveSession(c.list.data(), static_cast<uint32_t>(c.list.size()),
                                         session))
        << c.name;
    EXPECT_EQ(c.session, session) << c.name;
  }
  uint32_t session = 9;
  EXPECT_FALSE(PickActiveSession(nullptr, 3, session));
  EXPECT_EQ(9u, session);
}

TEST(Impersonate, ProcessLookups) {
  const uint32_t session = OwnSession();
  const std::wstring self = OwnExeName();
  std::wstring upper = self;
  for (auto& c : upper)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  EXPECT_EQ(session, GetProcessSessionID(session, self));
  EXPECT_EQ(session, GetProcessSessionID(session, upper));
  EXPECT_EQ(0xFFFFFFFFu, GetProcessSessionID(session + 7, self));
  EXPECT_EQ(0xFFFFFFFFu, GetProcessSessionID(session, L"qv_no_such_program.exe"));
  EXPECT_EQ(0xFFFFFFFFu, GetSessionPID(session, L"qv_no_such_program.exe"));
  EXPECT_EQ(0xFFFFFFFFu, GetSessionPID(session + 7, self));
  const uint32_t pid = GetSessionPID(session, upper);
  ASSERT_NE(0xFFFFFFFFu, pid);
  DWORD pid_session = 0;
  EXPECT_TRUE(::ProcessIdToSessionId(pid, &pid_session));
  EXPECT_EQ(session, pid_session);
  if (IsWine()) {
    EXPECT_EQ(0xFFFFFFFFu, GetProcessSessionID(session, L"winlogon.exe"));
  }
}

TEST(Impersonate, NoActiveSessionUnderWine) {
  if (!IsWine()) GTEST_SKIP() << "Windows lists its sessions";
  uint32_t session = 42;
  EXPECT_FALSE(getActiveSession(session));
  EXPECT_EQ(42u, session);

  LogTail tail;
  {
    ImpersonateUserEx user(L"Test");
    const uint32_t error = user.LogonUser();
    EXPECT_EQ(static_cast<uint32_t>(ERROR_NO_SUCH_LOGON_SESSION), error);
    EXPECT_FALSE(user.impersonating());
    EXPECT_FALSE(ThreadHasToken());
  }
  EXPECT_TRUE(tail.Has(L"ImpersonateUserEx::LogonUser- Invoked by 'Test'", LogTag(LOG_ALW)));
  EXPECT_TRUE(tail.Has(L"ImpersonateUserEx::LogonUser - failled. Error: 1312", LogTag(LOG_ERROR)));
  EXPECT_FALSE(tail.Has(L"ImpersonateUserEx::Revert"));
}

TEST(Impersonate, TokenChainOfAProcessInTheSession) {
  LogTail tail;
  {
    ImpersonateUserEx user(L"Test", SelfSource());
    ASSERT_EQ(0u, user.LogonUser());
    EXPECT_TRUE(user.impersonating());
    EXPECT_TRUE(ThreadHasToken());
    bool other_thread_has_token = true;
    std::thread([&] { other_thread_has_token = ThreadHasToken(); }).join();
    EXPECT_FALSE(other_thread_has_token);

    EXPECT_EQ(0u, user.LogonUser());  // again, while impersonating
    user.Revert();
    EXPECT_FALSE(user.impersonating());
    EXPECT_FALSE(ThreadHasToken());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), ::GetLastError());
    ASSERT_EQ(0u, user.LogonUser());
  }  // destruction reverts
  EXPECT_FALSE(ThreadHasToken());
  EXPECT_TRUE(tail.Has(L"ImpersonateUserEx::LogonUser(Test) - impersonated user is " + UserName(),
                       LogTag(LOG_ALW)));
  EXPECT_TRUE(tail.Has(L"ImpersonateUserEx::LogonUser - ALREADY impersonatated.",
                       LogTag(LOG_ERROR)));
  size_t reverted = 0;
  for (const auto& line : tail.Lines())
    if (line.find(L"[ALW  ] - ImpersonateUserEx::Revert(Test) - reverted to SYSTEM account") !=
        std::wstring::npos)
      ++reverted;
  EXPECT_EQ(2u, reverted);
}

TEST(Impersonate, FailingLookupsStopTheChain) {
  struct Case {
    const char* name;
    ImpersonationSource source;
    uint32_t error;
    std::wstring line;
  };
  const ImpersonationSource self = SelfSource();
  const Case cases[] = {
      {"no logon process", {self.active_session, L"qv_no_such_logon.exe", self.shell_process},
       ERROR_NO_MORE_FILES, L"ImpersonateUserEx::LogonUser - GetProcessSessionID failed. Error = 18"},
      {"no shell", {self.active_session, self.logon_process, L"qv_no_such_shell.exe"},
       ERROR_NO_MORE_FILES, L"ImpersonateUserEx::LogonUser - GetSessionPID failed. Error = 18"},
      {"no session", {[](uint32_t&) { ::SetLastError(ERROR_ACCESS_DENIED); return false; },
                      self.logon_process, self.shell_process},
       ERROR_ACCESS_DENIED, L"ImpersonateUserEx::LogonUser - failled. Error: 5"},
      {"no session, no error", {[](uint32_t&) { ::SetLastError(0); return false; },
                                self.logon_process, self.shell_process},
       ERROR_NO_SUCH_LOGON_SESSION, L"ImpersonateUserEx::LogonUser - failled. Error: 1312"},
  };
  for (const Case& c : cases) {
    LogTail tail;
    ImpersonateUserEx user(L"Test", c.source);
    EXPECT_EQ(c.error, user.LogonUser()) << c.name;
    EXPECT_FALSE(user.impersonating()) << c.name;
    EXPECT_FALSE(ThreadHasToken()) << c.name;
    EXPECT_TRUE(tail.Has(c.line, LogTag(LOG_ERROR))) << c.name;
  }
}

TEST(Impersonate, QuietWritesOnlyErrors) {
  LogTail tail;
  {
    ImpersonateUserEx user(L"QuietTest", SelfSource());
    user.set_quiet(true);
    ASSERT_EQ(0u, user.LogonUser());
    EXPECT_EQ(0u, user.LogonUser());
    user.Revert();
    ImpersonateUserEx failing(L"QuietTest", {SelfSource().active_session, L"qv_none.exe",
                                             L"qv_none.exe"});
    failing.set_quiet(true);
    EXPECT_NE(0u, failing.LogonUser());
  }
  EXPECT_FALSE(tail.Has(L"ImpersonateUserEx::LogonUser- Invoked by 'QuietTest'"));
  EXPECT_FALSE(tail.Has(L"ImpersonateUserEx::LogonUser(QuietTest) - impersonated user is"));
  EXPECT_FALSE(tail.Has(L"ImpersonateUserEx::Revert(QuietTest)"));
  EXPECT_TRUE(tail.Has(L"ImpersonateUserEx::LogonUser - ALREADY impersonatated.", LogTag(LOG_ERROR)));
  EXPECT_TRUE(tail.Has(L"ImpersonateUserEx::LogonUser - GetProcessSessionID failed. Error = 18",
                       LogTag(LOG_ERROR)));
}

TEST(Impersonate, NeverImpersonatedLogsNothing) {
  LogTail tail;
  { ImpersonateUserEx user(L"Idle"); }
  {
    ImpersonateUserEx user(L"Idle");
    user.Revert();
  }
  EXPECT_FALSE(tail.Has(L"ImpersonateUserEx"));
}

QV_CHILD_MAIN(impersonate_debug) {
  ImpersonateUserEx user(L"Child", SelfSource());
  return user.LogonUser() == 0 ? 0 : 1;
}

TEST(Impersonate, DebugLinesOfTheChain) {
  std::vector<std::wstring> lines;
  ASSERT_EQ(0, testing_support::RunChildAtLogLevel(L"impersonate_debug", {}, LOG_DEBUG, &lines));
  const std::wstring debug = LogTag(LOG_DEBUG);
  const std::wstring session = std::to_wstring(OwnSession());
  EXPECT_TRUE(testing_support::AnyLineHas(
      lines, L"ImpersonateUserEx::LogonUser - Active Session ID : " + session, debug));
  EXPECT_TRUE(testing_support::AnyLineHas(
      lines, L"ImpersonateUserEx::LogonUser - winlogon.exe Session ID : " + session, debug));
  EXPECT_TRUE(testing_support::AnyLineHas(
      lines, L"NetworkDrive::LogonUser - explorer.exe PID for Session ID " + session + L" is ",
      debug));
  EXPECT_TRUE(testing_support::AnyLineHas(
      lines, L"ImpersonateUserEx::LogonUser - impersonated as logon user", debug));
  size_t opened = 0;
  for (const auto& line : lines)
    if (line.find(L"ImpersonateUserEx::LogonUser - Open PID ") != std::wstring::npos &&
        line.find(L" process success.") != std::wstring::npos)
      ++opened;
  EXPECT_EQ(2u, opened);
  EXPECT_TRUE(testing_support::AnyLineHas(lines, L"ImpersonateUserEx::Revert(Child) - reverted",
                                          LogTag(LOG_ALW)));
}

}  // namespace
