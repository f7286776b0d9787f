#include "ipc/product_paths.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/product.h"
#include "common/reg.h"
#include "support/test_support.h"

namespace {

using testing_support::RegValueOverride;

// Every test starts and ends with an empty cache, so no other test of the
// process sees a value planted here.
class ProductPathsTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearProductPathCache(); }
  void TearDown() override { ClearProductPathCache(); }
};

TEST_F(ProductPathsTest, FoldersUnderTheCommonApplicationDataFolder) {
  const struct {
    const char* label;
    std::wstring (*get)();
    std::wstring expected;
  } cases[] = {
      {"data root", GetDataRootPath, L"C:\\ProgramData\\QuillfeatherZub"},
      {"logs", GetLogsPath, L"C:\\ProgramData\\QuillfeatherZub\\Logs"},
      {"stored data", GetStoredDataPath, L"C:\\ProgramData\\QuillfeatherZub\\StoredData"},
      {"stored logs", GetStoredDataLogsPath, L"C:\\ProgramData\\QuillfeatherZub\\StoredData\\Logs"},
      {"stored temp", GetStoredDataTempPath, L"C:\\ProgramData\\QuillfeatherZub\\StoredData\\TEMP"},
  };
  for (int round = 0; round < 2; ++round) {
    for (const auto& c : cases) EXPECT_EQ(c.expected, c.get()) << c.label << " round " << round;
    FillProductPathCache();
  }
}

TEST_F(ProductPathsTest, MissingInstallPathStaysEmptyUntilTheValueExists) {
  RegValueOverride value(product::kAntiVirusKey, L"InstallPath");
  value.Remove();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(L"", GetAntiVirusInstallPath()) << "call " << i;
    FillProductPathCache();
  }
  value.SetString(L"C:\\Qv Test\\Anti-Virus");
  EXPECT_EQ(L"C:\\Qv Test\\Anti-Virus", GetAntiVirusInstallPath());
  value.SetString(L"C:\\Qv Test\\Second");
  EXPECT_EQ(L"C:\\Qv Test\\Second", GetAntiVirusInstallPath()) << "the getter cached by itself";

  FillProductPathCache();
  value.SetString(L"C:\\Qv Test\\Third");
  EXPECT_EQ(L"C:\\Qv Test\\Second", GetAntiVirusInstallPath()) << "the fill did not cache";
  value.Remove();
  EXPECT_EQ(L"C:\\Qv Test\\Second", GetAntiVirusInstallPath());
  ClearProductPathCache();
  EXPECT_EQ(L"", GetAntiVirusInstallPath());
}

TEST_F(ProductPathsTest, InstallPathOfTheSetUpIsRead) {
  const std::wstring installed = ReadRegString(product::kAntiVirusKey, L"InstallPath");
  ASSERT_FALSE(installed.empty()) << "the set-up writes InstallPath into the prefix";
  EXPECT_EQ(installed, GetAntiVirusInstallPath());
}

TEST_F(ProductPathsTest, LanguageIsCachedOnceFound) {
  RegValueOverride value(product::kRootKey, L"Lang");
  value.Remove();
  EXPECT_EQ(L"", GetProductLanguage());
  FillProductPathCache();
  EXPECT_EQ(L"", GetProductLanguage());
  value.SetString(L"de-DE");
  EXPECT_EQ(L"de-DE", GetProductLanguage()) << "an empty cached value is derived again";
  value.SetString(L"fr-FR");
  EXPECT_EQ(L"de-DE", GetProductLanguage());
  FillProductPathCache();
  EXPECT_EQ(L"de-DE", GetProductLanguage());

  const DWORD not_text = 7;
  ClearProductPathCache();
  value.SetRaw(REG_DWORD, &not_text, sizeof not_text);
  EXPECT_EQ(L"", GetProductLanguage()) << "a number is no language";
}

TEST_F(ProductPathsTest, GettersAreSafeWhileTheCacheIsFilledAndCleared) {
  const std::wstring logs = L"C:\\ProgramData\\QuillfeatherZub\\Logs";
  std::vector<std::thread> readers;
  std::vector<int> wrong(3, 0);
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        if (GetLogsPath() != logs) ++wrong[t];
        GetProductLanguage();
        GetAntiVirusInstallPath();
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    FillProductPathCache();
    ClearProductPathCache();
  }
  for (auto& r : readers) r.join();
  for (int t = 0; t < 3; ++t) EXPECT_EQ(0, wrong[t]) << "reader " << t;
}

}  // namespace
