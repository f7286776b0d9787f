#include "packets/scan_packets.h"

#include <gtest/gtest.h>

#include <cstring>

#include "packets/json.h"
#include "support/packet_json.h"
#include "common/log.h"
#include "support/log_lines.h"
#include "support/log_tail.h"

using testing_support::AnyLineWith;
using testing_support::CountLinesWith;
using testing_support::LogTag;
using testing_support::LogTail;
using testing_support::ParsePacket;
using testing_support::ParsedPacket;

namespace {

void SetByte(bool& field, unsigned char value) { std::memcpy(&field, &value, 1); }

MalwareInfo FilledRecord() {
  MalwareInfo info{};
  info.m_bRebootRequired = true;
  info.m_bQuarantined = false;
  info.m_bMailDataFile = true;
  info.m_bManualCleanupRequired = true;
  info.m_bWinAppFile = true;
  info.m_dwScanMode = 2;
  info.m_dwItemType = 7;
  info.m_sReserved1 = L"reserved one";
  info.m_sItemPath = L"C:\\dir\\evil.exe";
  info.m_sInnerObjectPath = L"inner/part.bin";
  info.m_dwInfectionDataType = 3;
  info.m_sMalwareName = L"Trojan.Test";
  info.m_dwMalwareStatus = 1;
  info.m_dwThreatLevel = 4;
  info.m_sMalwareCategory = L"Trojan horse";
  info.m_dwMalwareCategoryId = 0;
  info.m_sMalwareURL = L"http://bad.example/x";
  info.m_dwMalwaresDetected = 2;
  info.m_sAccessingAccount = L"DOMAIN\\user";
  info.m_sLoggedAccounts = L"user;admin";
  info.m_sAccessingAssest = L"explorer.exe";
  info.m_sDetectionsAdditionalInfo = L"extra info";
  info.m_sReserved2 = L"reserved two";
  info.m_dwSigVerDetection = 4000000000u;
  info.m_sDetectionID = L"DET-1";
  info.m_dwDetectionAction = 2;
  info.m_dwScore = 75;
  info.m_bFileValidationFailed = false;
  info.m_sObjectFinalPath = L"C:\\quarantine\\1";
  info.m_sQurantineID = L"Q-9";
  info.m_bHiddenFile = false;
  info.m_bHiddenProcess = false;
  return info;
}

ParsedPacket Detection(const MalwareInfo& info, int32_t pid = 4242,
                       const KeyValuePairs* extras = nullptr) {
  AVMalwareDetectPacket packet;
  EXPECT_TRUE(SetDetectionParamsEx(packet, L"SCAN-1", "ODAVScanner", pid, &info, extras));
  return ParsePacket(GetJDocument(packet));
}

ScanCountMetrics Metrics() {
  ScanCountMetrics m{};
  m.m_scanPriority = -3;
  m.m_CPULoad = -20;
  m.m_bRebootRequired = true;
  m.m_dwScannedCnt = 11;
  m.m_dwInfectedCnt = 0;
  m.m_dwQuarantinedCnt = 2;
  m.m_dwCleanedCnt = 3;
  m.m_dwDeletedCnt = 4;
  m.m_dwSuspciousCnt = 5;
  m.m_dwBadsCnt = 6;
  m.m_dwFilesCnt = 7;
  m.m_dwRegKeyCnt = 8;
  m.m_dwBootSectorsCnt = 9;
  m.m_dwMemoryProcessCnt = 10;
  m.m_dwCookieCnt = 12;
  m.m_dwStreamCnt = 13;
  m.m_dwMimeCnt = 4294967295u;
  return m;
}

}  // namespace

TEST(ScanPackets, DetectionCarriesEveryKeyOfAFilledRecord) {
  ParsedPacket p = Detection(FilledRecord());
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.type, L"ODAVScanner");
  EXPECT_EQ(p.subtype, L"MalwareDetectPacket");
  EXPECT_EQ(p.channelid, L"SCAN-1");
  const std::map<std::wstring, std::wstring> expected = {
      {L"AccessingAccount", L"DOMAIN\\user"},
      {L"AccessingAssest", L"explorer.exe"},
      {L"AdditionalInfo", L"extra info"},
      {L"DetectionAction", L"2"},
      {L"DetectionID", L"DET-1"},
      {L"FileValidationFailed", L"false"},
      {L"InfectionDataType", L"3"},
      {L"InnerObjectPath", L"inner/part.bin"},
      {L"InvokerPID", L"4242"},
      {L"ItemPath", L"C:\\dir\\evil.exe"},
      {L"ItemType", L"7"},
      {L"LoggedAccounts", L"user;admin"},
      {L"MailDataFile", L"true"},
      {L"MalwareCategory", L"Trojan horse"},
      {L"MalwareCategoryId", L"0"},
      {L"MalwareName", L"Trojan.Test"},
      {L"MalwareStatus", L"1"},
      {L"MalwareThreatLevel", L"4"},
      {L"MalwareURL", L"http://bad.example/x"},
      {L"MalwaresDetected", L"2"},
      {L"ManualCleanupRequired", L"true"},
      {L"ObjectFinalPath", L"C:\\quarantine\\1"},
      {L"OrigMalwareStatus", L"1"},
      {L"Priority", L"high"},
      {L"Quarantined", L"false"},
      {L"QurantineID", L"Q-9"},
      {L"RebootRequired", L"true"},
      {L"ScanMode", L"2"},
      {L"Score", L"75"},
      {L"SigVerDetection", L"4000000000"},
      {L"WinAppFile", L"true"},
  };
  for (const auto& kv : expected) EXPECT_EQ(p.Get(kv.first), kv.second) << kv.first;
  ASSERT_TRUE(p.Has(L"CreationTime"));
  EXPECT_FALSE(p.Has(L"HiddenFile"));
  EXPECT_FALSE(p.Has(L"HiddenProcess"));
  EXPECT_EQ(p.values.size(), expected.size() + 1) << "unexpected extra keys";
}

TEST(ScanPackets, AdditionalInfoIsCutAfter260Characters) {
  struct Case {
    size_t length;
    std::wstring expected;
    bool warned;
  } cases[] = {
      {0, L"<absent>", false},
      {260, std::wstring(260, L'a'), false},
      {261, std::wstring(257, L'a') + L"...", true},
      {100000, std::wstring(257, L'a') + L"...", true},
  };
  for (const Case& c : cases) {
    LogTail log;
    MalwareInfo info = FilledRecord();
    info.m_sDetectionsAdditionalInfo.assign(c.length, L'a');
    ParsedPacket p = Detection(info);
    ASSERT_TRUE(p.valid) << c.length;
    EXPECT_EQ(p.Get(L"AdditionalInfo"), c.expected) << c.length;
    std::wstring line = L"SetDetectionParamsEx - m_sDetectionsAdditionalInfo is too long: " +
                        std::to_wstring(c.length) + L" charcaters.";
    EXPECT_EQ(log.Has(line, LogTag(LOG_WARN)), c.warned) << c.length;
  }
}

TEST(ScanPackets, FlagsQuarantineAndExtras) {
  MalwareInfo info = FilledRecord();
  info.m_bQuarantined = true;
  info.m_dwMalwareStatus = 1;
  info.m_bHiddenFile = true;
  ParsedPacket p = Detection(info);
  EXPECT_EQ(p.Get(L"MalwareStatus"), L"1");
  EXPECT_EQ(p.Get(L"OrigMalwareStatus"), L"4");
  EXPECT_EQ(p.Get(L"Quarantined"), L"true");
  EXPECT_EQ(p.Get(L"HiddenFile"), L"true");
  EXPECT_FALSE(p.Has(L"HiddenProcess"));

  info = FilledRecord();
  info.m_bHiddenProcess = true;
  KeyValuePairs extras{{L"ScanMode", L"5"}, {L"Extra", L"x"}};
  p = Detection(info, -1, &extras);
  EXPECT_EQ(p.Get(L"HiddenProcess"), L"true");
  EXPECT_FALSE(p.Has(L"HiddenFile"));
  EXPECT_EQ(p.Get(L"ScanMode"), L"5");
  EXPECT_EQ(p.Get(L"Extra"), L"x");
  EXPECT_EQ(p.Get(L"InvokerPID"), L"-1");
}

TEST(ScanPackets, EngineBoolBytesOtherThanOneCountAsSet) {
  MalwareInfo info = FilledRecord();
  SetByte(info.m_bHiddenFile, 0x7F);
  SetByte(info.m_bQuarantined, 0xFF);
  SetByte(info.m_bWinAppFile, 0);
  ParsedPacket p = Detection(info);
  EXPECT_EQ(p.Get(L"HiddenFile"), L"true");
  EXPECT_EQ(p.Get(L"OrigMalwareStatus"), L"4");
  EXPECT_EQ(p.Get(L"WinAppFile"), L"false");
}

TEST(ScanPackets, NoRecordChangesNothing) {
  AVMalwareDetectPacket packet;
  GenericPacketW before = packet;
  EXPECT_FALSE(SetDetectionParamsEx(packet, L"X", "RealTimeAVScanner", 1, nullptr, nullptr));
  EXPECT_EQ(packet.channelid, before.channelid);
  EXPECT_EQ(packet.type, before.type);
  EXPECT_EQ(packet.keyvallist, before.keyvallist);
  EXPECT_FALSE(SendRealTimeDetection(1, nullptr, nullptr));
}

TEST(ScanPackets, HostileTextsGiveValidJson) {
  const std::wstring lone_high(1, static_cast<wchar_t>(0xD800));
  const std::wstring lone_low(1, static_cast<wchar_t>(0xDC00));
  const std::wstring texts[] = {
      L"",
      std::wstring(100000, L'x'),
      std::wstring(L"\x01\x02\x1b\x7f\"\\\t\n\r", 9) + std::wstring(1, L'\0') + L"end",
      lone_high + L"mid" + lone_low,
      L"ok" + lone_high,
      std::wstring(L"\xD83D\xDE00 pair \x4E2D\x6587", 10),
  };
  for (size_t i = 0; i < sizeof(texts) / sizeof(texts[0]); ++i) {
    MalwareInfo info{};
    for (std::wstring* s : {&info.m_sItemPath, &info.m_sInnerObjectPath, &info.m_sMalwareName,
                            &info.m_sMalwareCategory, &info.m_sMalwareURL, &info.m_sAccessingAccount,
                            &info.m_sLoggedAccounts, &info.m_sAccessingAssest,
                            &info.m_sDetectionsAdditionalInfo, &info.m_sDetectionID,
                            &info.m_sObjectFinalPath, &info.m_sQurantineID})
      *s = texts[i];
    ParsedPacket p = Detection(info);
    EXPECT_TRUE(p.valid) << "text " << i;
  }
}

TEST(ScanPackets, ProgressPacketKeysAndValues) {
  ScanCountMetrics m = Metrics();
  ProgressItem item;
  item.item_path = L"C:\\a\\b.txt";
  item.item_type = 3;
  item.scan_mode = 9;
  item.elapsed_seconds = 12;
  item.progress = 42;
  AVScannedItemPacket packet;
  BuildProgressPacket(packet, L"SCAN-P", item, m);
  ParsedPacket p = ParsePacket(GetJDocument(packet));
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.type, L"ODAVScanner");
  EXPECT_EQ(p.subtype, L"ScannedItemPacket");
  EXPECT_EQ(p.channelid, L"SCAN-P");
  const std::map<std::wstring, std::wstring> expected = {
      {L"ItemPath", L"C:\\a\\b.txt"}, {L"ItemType", L"3"},      {L"Priority", L"low"},
      {L"Progress", L"42"},           {L"Result", L"Pending"},  {L"ScanCPULoad", L"-20"},
      {L"ScanMode", L"9"},            {L"ScanTimeElapsed", L"12"}, {L"ScannedCnt", L"11"},
      {L"Status", L"Running"},
  };
  EXPECT_EQ(p.values, expected);

  m.m_dwInfectedCnt = 3;
  item.item_path = nullptr;
  AVScannedItemPacket second;
  BuildProgressPacket(second, L"SCAN-P", item, m);
  p = ParsePacket(GetJDocument(second));
  EXPECT_EQ(p.Get(L"MalwaresDetected"), L"3");
  EXPECT_FALSE(p.Has(L"ItemPath"));
}

TEST(ScanPackets, SummaryOutcomePerStatus) {
  struct Case {
    uint32_t status;
    int level;
    const wchar_t* line;
    const wchar_t* result;
    const wchar_t* key;
    const wchar_t* resource;
    const wchar_t* suffix;
  } cases[] = {
      {1, 3, L"ODScanner::ConcludeScan - AMSERR_SCANABORTED", L"Failed", L"ErrorMsg",
       L"JID_ScanAborted", L""},
      {2, 4, L"ODScanner::ConcludeScan - scanStatusError, scan result 2", L"Failed", L"ErrorMsg",
       L"JID_ScannerError", L" [2]"},
      {3, 6, L"ODScanner::ConcludeScan - AMSERR_SUCCESS", L"Succeeded", L"DisplayMsg",
       L"JID_ScanCompleteSuccess", L""},
      {4, 4, L"ODScanner::ConcludeScan - AMSSCAN_INTERNALLOGICERROR", L"Failed", L"ErrorMsg",
       L"JID_InternalLogicError", L""},
      {5, 3, L"ODScanner::ConcludeScan - AMSERR_UNKNOWN", L"Failed", L"ErrorMsg",
       L"JID_UnknownScannerError", L""},
      {6, 4, L"ODScanner::ConcludeScan - AMSSCAN_INTERNALLOGICERROR", L"Failed", L"ErrorMsg",
       L"JID_InternalLogicError", L""},
      {4294967295u, 4, L"ODScanner::ConcludeScan - scanStatusError, scan result -1", L"Failed",
       L"ErrorMsg", L"JID_ScannerError", L" [-1]"},
  };
  for (const Case& c : cases) {
    ConcludeOutcome o = ConcludeOutcomeFor(c.status);
    EXPECT_EQ(o.log_level, c.level) << c.status;
    EXPECT_EQ(o.log_line, c.line) << c.status;
    EXPECT_EQ(std::wstring(o.message_key), c.key) << c.status;
    EXPECT_EQ(std::wstring(o.resource_id), c.resource) << c.status;
    EXPECT_EQ(o.message_suffix, c.suffix) << c.status;

    AVConcludeScanPacket packet;
    BuildSummaryPacket(packet, L"SCAN-S", 1, 1700000000, 1700000100, c.status, o, L"text");
    ParsedPacket p = ParsePacket(GetJDocument(packet));
    ASSERT_TRUE(p.valid);
    EXPECT_EQ(p.Get(L"Result"), c.result) << c.status;
    EXPECT_EQ(p.Get(c.key), std::wstring(L"text") + c.suffix) << c.status;
    EXPECT_FALSE(p.Has(std::wstring(c.key) == L"ErrorMsg" ? L"DisplayMsg" : L"ErrorMsg"))
        << c.status;
    EXPECT_EQ(p.Get(L"ScanStatus"), std::to_wstring(static_cast<int32_t>(c.status)));
  }
}

TEST(ScanPackets, SummaryCountersAndRequestEntries) {
  ScanCountMetrics m = Metrics();
  m.m_dwInfectedCnt = 14;
  AVConcludeScanPacket packet;
  BuildSummaryPacket(packet, L"SCAN-S", 4, 0x1FFFFFFFFll, 0x200000005ll, 3,
                     ConcludeOutcomeFor(3), L"done");
  SetSummaryCounters(packet, m, 2, 5, nullptr);
  ParsedPacket p = ParsePacket(GetJDocument(packet));
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.subtype, L"ConcludeScanPacket");
  EXPECT_EQ(p.channelid, L"SCAN-S");
  const std::map<std::wstring, std::wstring> expected = {
      {L"BadsCount", L"6"},         {L"BootSectorsCnt", L"9"},
      {L"CleanedCnt", L"3"},        {L"CookieCnt", L"12"},
      {L"DeletedCnt", L"4"},        {L"DetectionActionReportOnlyCount", L"5"},
      {L"DisplayMsg", L"done"},     {L"FilesCnt", L"7"},
      {L"MalwaresDetected", L"14"}, {L"MemoryProcessCnt", L"10"},
      {L"MimeCnt", L"4294967295"},  {L"Priority", L"high"},
      {L"Progress", L"100"},        {L"QuarantinedCnt", L"2"},
      {L"RebootRequired", L"true"}, {L"RegKeyCnt", L"8"},
      {L"Result", L"Succeeded"},    {L"ScanEndTime", L"5"},
      {L"ScanMode", L"4"},          {L"ScanStartTime", L"-1"},
      {L"ScanStatus", L"3"},        {L"ScannedCnt", L"11"},
      {L"Status", L"Completed"},    {L"StreamCnt", L"13"},
      {L"SuspciousCnt", L"5"},
  };
  for (const auto& kv : expected) EXPECT_EQ(p.Get(kv.first), kv.second) << kv.first;
  EXPECT_TRUE(p.Has(L"CreationTime"));
  EXPECT_EQ(p.values.size(), expected.size() + 1);
  for (const wchar_t* key :
       {L"HiddenScan", L"InvokerPID", L"ManualCleanupRequiredCount", L"RequestVeryLowScanCPULoad"})
    EXPECT_FALSE(p.Has(key)) << key;

  GenericPacketW request;
  request.SetKeyValue(L"HiddenScan", L"1");
  request.SetKeyValue(L"InvokerPID", L"4242");
  request.SetKeyValue(L"RequestVeryLowScanCPULoad", L"TRUE");
  AVConcludeScanPacket with_request;
  SetSummaryCounters(with_request, m, 2, 5, &request);
  p = ParsePacket(GetJDocument(with_request));
  EXPECT_EQ(p.Get(L"HiddenScan"), L"true");
  EXPECT_EQ(p.Get(L"InvokerPID"), L"4242");
  EXPECT_EQ(p.Get(L"ManualCleanupRequiredCount"), L"2");
  EXPECT_EQ(p.Get(L"RequestVeryLowScanCPULoad"), L"true");
}
