#include "ipc/resource_mgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/ex_common.h"
#include "common/handle.h"
#include "common/product.h"
#include "support/log_tail.h"
#include "support/test_support.h"

namespace {

// Temporary copies left in %TEMP%.
int CountTemporaryCopies() {
  std::wstring pattern = ExCommon::GetEnvironmentValue(L"TEMP") + L"\\ResourceMgr.*.tmp";
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileW(pattern.c_str(), &data));
  if (!find) return 0;
  int n = 1;
  while (::FindNextFileW(find.get(), &data)) ++n;
  return n;
}

class ResourceMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResourceMgr::instance().DeInit();
    copies_before_ = CountTemporaryCopies();
  }
  void TearDown() override {
    ResourceMgr::instance().DeInit();
    EXPECT_EQ(copies_before_, CountTemporaryCopies()) << "a temporary copy was left behind";
  }
  ResourceMgr& mgr() { return ResourceMgr::instance(); }

  testing_support::TempDir dir_;
  int copies_before_ = 0;
};

TEST_F(ResourceMgrTest, LoadsOnceAndLooksUpInAnyCase) {
  ASSERT_TRUE(dir_.WriteFile(L"Res.json", R"({"JID_Greeting":"Hello","JID_Other":"Other Text"})"));
  const std::wstring path = dir_.Sub(L"Res.json");
  ASSERT_TRUE(mgr().Load(path));
  for (const wchar_t* id : {L"JID_Greeting", L"jid_greeting", L"JID_GREETING", L"jId_GreeTing"})
    EXPECT_EQ(L"Hello", mgr().GetResource(id)) << "identifier case";
  EXPECT_EQ(L"Other Text", mgr().GetResource(L"JID_Other"));
  EXPECT_EQ(L"", mgr().GetResource(L"JID_Unknown"));

  // Already loaded, also under another letter case: the file is not read again.
  testing_support::LogTail log;
  ASSERT_TRUE(dir_.WriteFile(L"Res.json", R"({"JID_Greeting":"Changed"})"));
  EXPECT_TRUE(mgr().Load(path));
  EXPECT_TRUE(mgr().Load(ExCommon::ToLower(path)));
  std::wstring upper = path;
  for (wchar_t& c : upper)
    if (c >= L'a' && c <= L'z') c -= 32;
  EXPECT_TRUE(mgr().Load(upper));
  EXPECT_EQ(L"Hello", mgr().GetResource(L"JID_Greeting"));
  EXPECT_EQ(1, log.Count(L"[WARN] - ResourceMgr::Load - File already proceedded: " + upper + L"\r\n"));
  EXPECT_EQ(3, log.Count(L"ResourceMgr::Load - File already proceedded: "));
  EXPECT_EQ(0, log.Count(L"JsonHelper Load")) << "no file was read";

  // DeInit forgets texts and files; the changed file then loads.
  EXPECT_TRUE(mgr().DeInit());
  EXPECT_EQ(1, log.Count(L"[ALW  ] - ResourceMgr::DeInit - invoked"));
  EXPECT_EQ(L"", mgr().GetResource(L"JID_Greeting"));
  EXPECT_EQ(L"", mgr().GetResource(L"JID_Other"));
  ASSERT_TRUE(mgr().Load(path));
  EXPECT_EQ(L"Changed", mgr().GetResource(L"JID_Greeting"));
}

TEST_F(ResourceMgrTest, LoadAndDeInitCyclesKeepTheHandleCount) {
  ASSERT_TRUE(dir_.WriteFile(L"r.json", R"({"JID_A":"a"})"));
  const std::wstring path = dir_.Sub(L"r.json");
  ASSERT_TRUE(mgr().Load(path));  // the logger and the manager are open from here on
  mgr().DeInit();
  const DWORD before = testing_support::HandleCount();
  for (int cycle = 0; cycle < 5; ++cycle) {
    ASSERT_TRUE(mgr().Load(path));
    EXPECT_EQ(L"a", mgr().GetResource(L"JID_A"));
    mgr().DeInit();
  }
  EXPECT_EQ(before, testing_support::HandleCount());
}

TEST_F(ResourceMgrTest, ThreadsMayLookUpWhileAnotherLoadsAndClears) {
  ASSERT_TRUE(dir_.WriteFile(L"r.json", R"({"JID_A":"a"})"));
  std::atomic<bool> done{false};
  std::atomic<int> odd{0};
  auto reader = [&] {
    while (!done.load()) {
      std::wstring text = mgr().GetResource(L"jid_a");
      if (!text.empty() && text != L"a") ++odd;
    }
  };
  std::thread first(reader), second(reader);
  for (int cycle = 0; cycle < 10; ++cycle) {
    EXPECT_TRUE(mgr().Load(dir_.Sub(L"r.json")));
    mgr().DeInit();
  }
  done = true;
  first.join();
  second.join();
  EXPECT_EQ(0, odd.load());
}

// Each child loads the same file again and again, as processes of the
// product starting together would.
QV_CHILD_MAIN(resource_loader) {
  ResourceMgr& mgr = ResourceMgr::instance();
  for (int i = 0; i < 15; ++i) {
    if (!mgr.Load(args.at(0))) return 10;
    if (mgr.GetResource(L"JID_A") != L"a") return 11;
    mgr.DeInit();
  }
  return 0;
}

TEST_F(ResourceMgrTest, ProcessesLoadingAtOnceUseTheirOwnCopies) {
  ASSERT_TRUE(dir_.WriteFile(L"shared.json", R"({"JID_A":"a"})"));
  testing_support::ChildProcess children[3];
  for (auto& child : children) ASSERT_TRUE(child.Start(L"resource_loader", {dir_.Sub(L"shared.json")}));
  for (auto& child : children) EXPECT_EQ(0, child.Wait());
}

QV_CHILD_MAIN(temporary_name) {
  std::wstring name = ResourceMgr::TemporaryCopyName();
  std::string bytes(reinterpret_cast<const char*>(name.data()), name.size() * sizeof(wchar_t));
  HANDLE file = ::CreateFileW(args.at(0).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 10;
  DWORD written = 0;
  bool ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  return ok ? 0 : 11;
}

// The runtime's unseeded generator would give every process the same first
// number, and so processes loading in the same second the same copy.
TEST_F(ResourceMgrTest, ProcessesDrawDifferentTemporaryNumbers) {
  std::wstring numbers[2];
  for (int i = 0; i < 2; ++i) {
    testing_support::ChildProcess child;
    const std::wstring out = dir_.Sub(L"name" + std::to_wstring(i));
    ASSERT_TRUE(child.Start(L"temporary_name", {out}));
    ASSERT_EQ(0, child.Wait());
    std::string bytes;
    ASSERT_TRUE(testing_support::ReadWholeFile(out, bytes));
    std::wstring name(bytes.size() / 2, L'\0');
    memcpy(&name[0], bytes.data(), name.size() * 2);
    const size_t digits = name.find(L"ResourceMgr.") + 12 + 10;  // after the seconds
    ASSERT_LT(digits, name.size());
    numbers[i] = name.substr(digits);
  }
  EXPECT_NE(numbers[0], numbers[1]);
}

TEST_F(ResourceMgrTest, FailuresLeaveNothingLoaded) {
  testing_support::LogTail log;
  EXPECT_FALSE(mgr().Load(dir_.Sub(L"missing.json")));
  EXPECT_FALSE(mgr().Load(dir_.path())) << "a folder";
  EXPECT_EQ(1, log.Count(L"[WARN] - ResourceMgr::Load - File does not exist : " + dir_.Sub(L"missing.json")));
  EXPECT_EQ(1, log.Count(L"[WARN] - ResourceMgr::Load - File does not exist : " + dir_.path() + L"\r\n"));
  ASSERT_TRUE(dir_.WriteFile(L"bad.json", R"({"JID_A":"a",)"));
  EXPECT_FALSE(mgr().Load(dir_.Sub(L"bad.json")));
  EXPECT_EQ(1, log.Count(L"[ ERROR  ] - ResourceMgr - Failed to load " + dir_.Sub(L"bad.json")));
  EXPECT_EQ(0, log.Count(L"failed to delete file"));
  EXPECT_EQ(L"", mgr().GetResource(L"JID_A"));
  // Not marked as loaded: once repaired it loads.
  ASSERT_TRUE(dir_.WriteFile(L"bad.json", R"({"JID_A":"a"})"));
  EXPECT_TRUE(mgr().Load(dir_.Sub(L"bad.json")));
  EXPECT_EQ(L"a", mgr().GetResource(L"JID_A"));
}

TEST_F(ResourceMgrTest, ReadOnlyFileLoadsAndItsCopyIsRemoved) {
  ASSERT_TRUE(dir_.WriteFile(L"ro.json", R"({"JID_A":"read-only"})"));
  const std::wstring path = dir_.Sub(L"ro.json");
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(mgr().Load(path));
  EXPECT_EQ(L"read-only", mgr().GetResource(L"JID_A"));
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(ResourceMgrTest, FileMutexIsReleasedAfterAnAbandonedWait) {
  UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE,
                                  L"Global\\QuillfeatherResourceMgr.mtx"));
  ASSERT_TRUE(mutex.valid()) << "the manager holds the machine-wide mutex open";
  std::thread([&] { ::WaitForSingleObject(mutex.get(), 1000); }).join();  // exits owning it
  ASSERT_TRUE(dir_.WriteFile(L"r.json", R"({"JID_A":"a"})"));
  EXPECT_TRUE(mgr().Load(dir_.Sub(L"r.json")));
  DWORD wait = 0;
  std::thread([&] {
    wait = ::WaitForSingleObject(mutex.get(), 0);
    if (wait == WAIT_OBJECT_0) ::ReleaseMutex(mutex.get());
  }).join();
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), wait) << "the load released the mutex it found abandoned";
}

TEST_F(ResourceMgrTest, TemporaryCopyName) {
  std::wstring name = ResourceMgr::TemporaryCopyName();
  std::wstring prefix = ExCommon::GetEnvironmentValue(L"TEMP") + L"\\ResourceMgr.";
  ASSERT_EQ(prefix, name.substr(0, prefix.size()));
  ASSERT_GT(name.size(), prefix.size() + 4);
  EXPECT_EQ(L".tmp", name.substr(name.size() - 4));
  std::wstring digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
  EXPECT_EQ(std::wstring::npos, digits.find_first_not_of(L"0123456789")) << "numbers only";
  EXPECT_GE(digits.size(), 11u) << "seconds (10 digits) and a number 0..32767";
  EXPECT_LE(digits.size(), 15u);
}

// Sets an environment variable of this process for a scope.
class EnvOverride {
 public:
  EnvOverride(const wchar_t* name, const wchar_t* value)
      : name_(name), old_(ExCommon::GetEnvironmentValue(name)),
        had_(::GetEnvironmentVariableW(name, nullptr, 0) > 0) {
    ::SetEnvironmentVariableW(name, value);
  }
  ~EnvOverride() { ::SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }

 private:
  const wchar_t* name_;
  std::wstring old_;
  bool had_;
};

TEST_F(ResourceMgrTest, CopyIsRetriedOnceThenTheLoadFails) {
  ASSERT_TRUE(dir_.WriteFile(L"r.json", R"({"JID_A":"a"})"));
  const std::wstring path = dir_.Sub(L"r.json");
  testing_support::LogTail log;
  {
    EnvOverride temp(L"TEMP", dir_.Sub(L"no such folder").c_str());
    EXPECT_FALSE(mgr().Load(path));
  }
  const std::wstring copy_to = L" into " + dir_.Sub(L"no such folder") + L"\\ResourceMgr.";
  EXPECT_EQ(1, log.Count(L"[WARN] - ResourceMgr - Load - Failed to copy file " + path + copy_to));
  EXPECT_EQ(1, log.Count(L". Error=3, dwLockRes = 0\r\n"));
  EXPECT_EQ(1, log.Count(L"[ ERROR  ] - ResourceMgr - Load Retry - Failed to copy file " + path + copy_to));
  EXPECT_EQ(L"", mgr().GetResource(L"JID_A"));
  EXPECT_TRUE(mgr().Load(path)) << "not marked as loaded";
  EXPECT_EQ(L"a", mgr().GetResource(L"JID_A"));
}

TEST_F(ResourceMgrTest, TemporaryCopyWithoutTempGoesToTheTempPath) {
  wchar_t buffer[MAX_PATH + 1];
  std::wstring name;
  {
    EnvOverride temp(L"TEMP", nullptr);
    DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
    ASSERT_GT(n, 0u);
    name = ResourceMgr::TemporaryCopyName();
  }
  EXPECT_EQ(std::wstring(buffer) + L"ResourceMgr.", name.substr(0, wcslen(buffer) + 12));
}

std::wstring WithBackslash(std::wstring path) { return path.back() == L'\\' ? path : path + L"\\"; }

TEST_F(ResourceMgrTest, AntiVirusResourceComesFromTheInstallFolder) {
  testing_support::RegValueOverride install(product::kAntiVirusKey, L"InstallPath");
  testing_support::RegValueOverride lang(product::kRootKey, L"Lang");
  lang.Remove();
  for (const std::wstring& folder : {dir_.path(), dir_.path() + L"\\"}) {
    install.SetString(folder);
    EXPECT_EQ(WithBackslash(dir_.path()) + L"resource.json", ResourceMgr::ResourceFilePath());
  }
  install.SetString(L"C:");
  EXPECT_EQ(L"C:resource.json", ResourceMgr::ResourceFilePath()) << "no backslash after a colon";

  install.SetString(dir_.path());
  testing_support::LogTail log;
  EXPECT_FALSE(mgr().AddAntiVirusResource()) << "no file yet";
  EXPECT_EQ(1, log.Count(L"[ALW  ] - ResourceMgr::AddAntiVirusResource - invoked"));
  ASSERT_TRUE(dir_.WriteFile(L"resource.json", R"({"JID_ScanAborted":"stopped"})"));
  EXPECT_TRUE(mgr().AddAntiVirusResource());
  EXPECT_EQ(L"stopped", mgr().GetResource(L"JID_ScanAborted"));
}

// The language is cached for the life of a process, so it is tried in a child.
QV_CHILD_MAIN(resource_with_language) {
  if (ResourceMgr::ResourceFilePath() != args.at(0) + L"\\de\\resource.json") return 10;
  if (!ResourceMgr::instance().AddAntiVirusResource()) return 11;
  return ResourceMgr::instance().GetResource(L"jid_scanaborted") == L"abgebrochen" ? 0 : 12;
}

TEST_F(ResourceMgrTest, LanguageFolderHoldsTheFileWhenLangIsSet) {
  testing_support::RegValueOverride install(product::kAntiVirusKey, L"InstallPath");
  testing_support::RegValueOverride lang(product::kRootKey, L"Lang");
  install.SetString(dir_.path());
  lang.SetString(L"de");
  ASSERT_TRUE(dir_.WriteFile(L"de\\resource.json", R"({"JID_ScanAborted":"abgebrochen"})"));
  testing_support::ChildProcess child;
  ASSERT_TRUE(child.Start(L"resource_with_language", {dir_.path()}));
  EXPECT_EQ(0, child.Wait());
}

// The file the set-up installs where InstallPath points holds every text the
// system looks up.
TEST_F(ResourceMgrTest, InstalledEnglishResourcesHaveEveryIdentifier) {
  testing_support::RegValueOverride lang(product::kRootKey, L"Lang");
  lang.Remove();
  ASSERT_TRUE(mgr().AddAntiVirusResource()) << std::string(ResourceMgr::ResourceFilePath().begin(),
                                                           ResourceMgr::ResourceFilePath().end());
  for (const wchar_t* id : {L"JID_ScanCompleteSuccess", L"JID_ScanAborted", L"JID_ScannerError",
                            L"JID_UnknownScannerError", L"JID_InternalLogicError",
                            L"JID_MalwareHelperProcess"})
    EXPECT_FALSE(mgr().GetResource(id).empty()) << std::string(id, id + wcslen(id));
}

}  // namespace
