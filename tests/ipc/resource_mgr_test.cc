#include "ipc/resource_mgr.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/ex_common.h"
#include "common/handle.h"
#include "common/product.h"
#include "support/log_capture.h"
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
  testing_support::LogCapture log;
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

TEST_F(ResourceMgrTest, FailuresLeaveNothingLoaded) {
  testing_support::LogCapture log;
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
  testing_support::LogCapture log;
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
  testing_support::LogCapture log;
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
