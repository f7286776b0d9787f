#include "scan/scan_enums.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "ipc/resource_mgr.h"
#include "support/test_support.h"

namespace {

struct NameCase {
  std::wstring (*name_of)(int32_t);
  const char* operation;
  int32_t value;
  const wchar_t* expected;
};

TEST(ScanEnums, NamesAndInvalidValues) {
  const NameCase cases[] = {
      {GetScanModeName, "ScanMode", 0, L"System Scan"},
      {GetScanModeName, "ScanMode", 1, L"Full Scan"},
      {GetScanModeName, "ScanMode", 2, L"Custom Scan"},
      {GetScanModeName, "ScanMode", 3, L"Shell Scan"},
      {GetScanModeName, "ScanMode", 4, L"Scheduled Scan"},
      {GetScanModeName, "ScanMode", 5, L"On-Access"},
      {GetScanModeName, "ScanMode", 6, L"Application Control"},
      {GetScanModeName, "ScanMode", 7, L"Web Filtering"},
      {GetScanModeName, "ScanMode", 8, L"Download Scan"},
      {GetScanModeName, "ScanMode", 9, L"Quick Scan"},
      {GetScanModeName, "ScanMode", 10, L"Cam Mic Detector"},
      {GetScanModeName, "ScanMode", 11, L"Invalid Scan:11"},
      {GetScanModeName, "ScanMode", -1, L"Invalid Scan:-1"},
      {GetScanModeName, "ScanMode", static_cast<int32_t>(4294967295u), L"Invalid Scan:-1"},
      {GetScanModeName, "ScanMode", INT_MIN, L"Invalid Scan:-2147483648"},
      {GetScanStatusName, "ScanStatus", 0, L"Paused"},
      {GetScanStatusName, "ScanStatus", 1, L"Aborted"},
      {GetScanStatusName, "ScanStatus", 2, L"Running"},
      {GetScanStatusName, "ScanStatus", 3, L"Completed"},
      {GetScanStatusName, "ScanStatus", 4, L"Error"},
      {GetScanStatusName, "ScanStatus", 5, L"Unknown"},
      {GetScanStatusName, "ScanStatus", 6, L"ErrorInternalLogic"},
      {GetScanStatusName, "ScanStatus", 7, L"ScannerTooBusy"},
      {GetScanStatusName, "ScanStatus", 8, L"ScannerNotRespoding"},
      {GetScanStatusName, "ScanStatus", 9, L"ScheduledScanIsRunning"},
      {GetScanStatusName, "ScanStatus", 10, L"Snoozed"},
      {GetScanStatusName, "ScanStatus", 11, L"EnumEnd"},
      {GetScanStatusName, "ScanStatus", 12, L"Invalid Status:12"},
      {GetScanStatusName, "ScanStatus", -5, L"Invalid Status:-5"},
      {GetMalwareStatusName, "MalwareStatus", 0, L"NoAction"},
      {GetMalwareStatusName, "MalwareStatus", 1, L"Infected"},
      {GetMalwareStatusName, "MalwareStatus", 2, L"Cleaned"},
      {GetMalwareStatusName, "MalwareStatus", 3, L"Deleted"},
      {GetMalwareStatusName, "MalwareStatus", 4, L"Quarantined"},
      {GetMalwareStatusName, "MalwareStatus", 5, L"Blocked"},
      {GetMalwareStatusName, "MalwareStatus", 6, L"EndEnum"},
      {GetMalwareStatusName, "MalwareStatus", 7, L"Unknown"},
      {GetMalwareStatusName, "MalwareStatus", 8, L"Invalid Status:8"},
      {GetMalwareCategoryName, "MalwareCategory", 0, L"Trojan"},
      {GetMalwareCategoryName, "MalwareCategory", 1, L"Adware"},
      {GetMalwareCategoryName, "MalwareCategory", 2, L"Dialer"},
      {GetMalwareCategoryName, "MalwareCategory", 3, L"Spam"},
      {GetMalwareCategoryName, "MalwareCategory", 4, L"Rootkit"},
      {GetMalwareCategoryName, "MalwareCategory", 5, L"Spyware"},
      {GetMalwareCategoryName, "MalwareCategory", 6, L"Malicious App"},
      {GetMalwareCategoryName, "MalwareCategory", 7, L"Archive Bomb"},
      {GetMalwareCategoryName, "MalwareCategory", 8, L"Cookie"},
      {GetMalwareCategoryName, "MalwareCategory", 9, L"Virus"},
      {GetMalwareCategoryName, "MalwareCategory", 11, L"Camera"},
      {GetMalwareCategoryName, "MalwareCategory", 12, L"Microphone"},
      {GetMalwareCategoryName, "MalwareCategory", 13, L"Invalid Category id:13"},
      {GetMalwareCategoryName, "MalwareCategory", -1, L"Invalid Category id:-1"},
      {GetThreatLevelName, "ThreatLevel", 0, L"Safe"},
      {GetThreatLevelName, "ThreatLevel", 1, L"VeryLow"},
      {GetThreatLevelName, "ThreatLevel", 2, L"Low"},
      {GetThreatLevelName, "ThreatLevel", 3, L"Medium"},
      {GetThreatLevelName, "ThreatLevel", 4, L"High"},
      {GetThreatLevelName, "ThreatLevel", 5, L"Critical"},
      {GetThreatLevelName, "ThreatLevel", 6, L"Unknown"},
      {GetThreatLevelName, "ThreatLevel", 7, L"EndEnum"},
      {GetThreatLevelName, "ThreatLevel", 2147483647, L"Unused"},
      {GetThreatLevelName, "ThreatLevel", 8, L"Invalid level:8"},
      {GetThreatLevelName, "ThreatLevel", 2147483646, L"Invalid level:2147483646"},
  };
  for (const NameCase& c : cases)
    EXPECT_EQ(c.expected, c.name_of(c.value)) << c.operation << " " << c.value;
}

TEST(ScanEnums, HelperProcessCategoryComesFromTheResources) {
  ResourceMgr& resources = ResourceMgr::instance();
  resources.DeInit();
  EXPECT_EQ(L"", GetMalwareCategoryName(10)) << "nothing loaded";
  testing_support::TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"resource.json", "{\"JID_MalwareHelperProcess\":\"Helfer\\u00e9\"}"));
  ASSERT_TRUE(resources.Load(dir.Sub(L"resource.json")));
  EXPECT_EQ(L"Helfer\u00E9", GetMalwareCategoryName(10));
  resources.DeInit();
}

}  // namespace
