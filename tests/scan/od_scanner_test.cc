#include "scan/od_scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "common/ex_common.h"
#include "common/handle.h"
#include "ipc/product_paths.h"
#include "ipc/queue_names.h"
#include "ipc/reporter.h"
#include "ipc/resource_mgr.h"
#include "packets/json.h"
#include "packets/json_helper.h"
#include "packets/write_once.h"
#include "support/packet_json.h"
#include "common/log.h"
#include "support/log_lines.h"
#include "support/log_tail.h"
#include "support/queue_server.h"
#include "support/test_support.h"

using testing_support::AnyLineWith;
using testing_support::CountLinesWith;
using testing_support::LogTag;
using testing_support::LogTail;
using testing_support::ParsedPacket;
using testing_support::ParsePacket;
using testing_support::ReceivedRecord;
using testing_support::RecordingServer;
using testing_support::TempDir;
using testing_support::UniqueName;

namespace {

RecordingServer* g_high = nullptr;
RecordingServer* g_low = nullptr;

// Bounded polling for the first record that matches.
bool WaitForRecord(RecordingServer& server, const std::function<bool(const ReceivedRecord&)>& match,
                   ReceivedRecord* found = nullptr, DWORD timeout_ms = 20000) {
  ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    for (const ReceivedRecord& r : server.Records()) {
      if (match(r)) {
        if (found) *found = r;
        return true;
      }
    }
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(10);
  }
}

std::vector<ParsedPacket> PacketsNamed(RecordingServer& server, const std::wstring& name) {
  std::vector<ParsedPacket> out;
  for (const ReceivedRecord& r : server.Records())
    if (r.name == name) out.push_back(ParsePacket(r.text));
  return out;
}

// Everything written to the high queue before this call has arrived once it returns.
void SyncHigh(const std::wstring& tag) {
  GenericPacketW sentinel;
  sentinel.channelid = tag;
  std::wstring name = L"sync-" + tag.substr(tag.size() > 20 ? tag.size() - 20 : 0);
  ASSERT_TRUE(WriteOnce(sentinel, kHighQueueName, kHighQueueSize, name));
  ASSERT_TRUE(WaitForRecord(*g_high, [&](const ReceivedRecord& r) { return r.name == name; }));
}

ScanCountMetrics Metrics(uint32_t files = 5, uint32_t infected = 0) {
  ScanCountMetrics m{};
  m.m_CPULoad = 30;
  m.m_dwScannedCnt = files;
  m.m_dwFilesCnt = files;
  m.m_dwInfectedCnt = infected;
  return m;
}

MalwareInfo Record(const std::wstring& path, const std::wstring& name) {
  MalwareInfo info{};
  info.m_sItemPath = path;
  info.m_sMalwareName = name;
  info.m_dwMalwareStatus = 1;
  info.m_dwThreatLevel = 3;
  info.m_dwScanMode = 2;
  return info;
}

// Short for a session id that stays below the record name's 35 units.
std::wstring ScanId(const wchar_t* what) { return UniqueName(what); }

class ScanSession : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_high = new RecordingServer();
    g_low = new RecordingServer();
    ASSERT_TRUE(g_high->Create(kChannelServer, kHighQueueName, kHighQueueSize));
    ASSERT_TRUE(g_low->Create(kChannelServer, kLowQueueName, kLowQueueSize));
    FillProductPathCache();
    ResourceMgr::instance().AddAntiVirusResource();
    ReporterThread::Instance().Start();
  }
  static void TearDownTestSuite() {
    ReporterThread::Instance().Stop();
    delete g_high;
    delete g_low;
    g_high = g_low = nullptr;
  }
};

}  // namespace

TEST(ScanText, NextProgress) {
  struct Case {
    uint32_t current;
    bool completed;
    uint64_t estimate, scanned;
    uint32_t expected;
  } cases[] = {
      {0, false, 0, 0, 1},              // estimate unknown: at least 1
      {7, false, 0, 5000, 7},           // unknown estimate keeps the value
      {0, false, 100, 40, 40},
      {40, false, 100, 30, 40},         // never decreases
      {0, false, 100, 150, 99},         // capped
      {0, false, 1000, 5, 1},           // 0 computed, at least 1
      {55, true, 0, 100, 0},            // completed with nothing to scan
      {0, true, 200, 100, 50},
      {0, false, 1, UINT64_MAX, 99},    // no wrap of scanned * 100
      {98, false, UINT64_MAX, UINT64_MAX / 2, 98},
  };
  for (const Case& c : cases)
    EXPECT_EQ(scan_text::NextProgress(c.current, c.completed, c.estimate, c.scanned), c.expected)
        << c.current << " " << c.completed << " " << c.estimate << " " << c.scanned;
}

TEST(ScanText, DisplayPath) {
  std::wstring p63(63, L'a'), p64, p100;
  for (int i = 0; i < 64; ++i) p64 += static_cast<wchar_t>(L'A' + i % 26);
  for (int i = 0; i < 100; ++i) p100 += static_cast<wchar_t>(L'0' + i % 10);
  EXPECT_EQ(scan_text::DisplayPath(p63), p63 + L" ");
  EXPECT_EQ(scan_text::DisplayPath(L""), std::wstring(64, L' '));
  EXPECT_EQ(scan_text::DisplayPath(p64), p64.substr(0, 29) + L"..." + p64.substr(32));
  EXPECT_EQ(scan_text::DisplayPath(p100), p100.substr(0, 29) + L"..." + p100.substr(68));
  EXPECT_EQ(scan_text::DisplayPath(p100).size(), 64u);
}

TEST(ScanText, Latin1KeepsBytesAndMarksTheRest) {
  struct Case {
    std::wstring text;
    std::string bytes;
  } cases[] = {
      {L"plain\r\n", "plain\r\n"},
      {L"caf\x00E9\x00FF", "caf\xE9\xFF"},
      {L"C:\\\x0434\x0430\\\x4E2D.exe", "C:\\??\\?.exe"},
      {std::wstring(L"a\xD83D\xDE00z", 4), "a?z"},                   // one character, one '?'
      {std::wstring(L"a\xD800z\xDC00", 4), "a?z?"},                  // lone surrogates
      {std::wstring(L"x\0y", 3), std::string("x\0y", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(scan_text::ToLatin1(c.text), c.bytes);
}

TEST(ScanText, CounterDump) {
  ScanCountMetrics m{};
  m.m_scanPriority = -1;
  m.m_CPULoad = 50;
  m.m_bRebootRequired = true;
  m.m_dwScannedCnt = 1;
  m.m_dwInfectedCnt = 2;
  m.m_dwQuarantinedCnt = 3;
  m.m_dwCleanedCnt = 4;
  m.m_dwDeletedCnt = 5;
  m.m_dwSuspciousCnt = 6;
  m.m_dwBadsCnt = 99;
  m.m_dwFilesCnt = 7;
  m.m_dwRegKeyCnt = 8;
  m.m_dwBootSectorsCnt = 9;
  m.m_dwMemoryProcessCnt = 10;
  m.m_dwCookieCnt = 11;
  m.m_dwStreamCnt = 12;
  m.m_dwMimeCnt = 4294967295u;
  EXPECT_EQ(scan_text::CounterDump(m),
            L"\nm_scanPriority      =-1\nm_CPULoad           =50\nm_bRebootRequired   =1\n"
            L"m_dwScannedCnt      =1\nm_dwInfectedCnt     =2\nm_dwQuarantinedCnt  =3\n"
            L"m_dwCleanedCnt\t   =4\nm_dwDeletedCnt\t   =5\nm_dwSuspciousCnt\t   =6\n\n"
            L"m_dwFilesCnt         =7\nm_dwRegKeyCnt\t    =8\nm_dwBootSectorsCnt   =9\n"
            L"m_dwMemoryProcessCnt =10\nm_dwCookieCnt\t    =11\nm_dwStreamCnt\t\t=12\n"
            L"m_dwMimeCnt\t\t\t=4294967295\n");
}

TEST_F(ScanSession, ConstructionInitAndDeInit) {
  LogTail log;
  TempDir dir;
  {
    ODScanner s;
    EXPECT_EQ(s.marker(), 0xABCDDCBAu);
    uint32_t first_word;
    std::memcpy(&first_word, &s, 4);
    EXPECT_EQ(first_word, 0xABCDDCBAu);
    EXPECT_EQ(s.scan_mode(), 11u);
    std::wstring id = ScanId(L"init");
    EXPECT_EQ(s.Init(id, 9, nullptr, {dir.path()}, nullptr, nullptr), 0);
    EXPECT_TRUE(s.has_worker());
    EXPECT_TRUE(log.Has(L"ODScanner::Init - with ScanMode = Quick Scan, ScanID = " + id + L",", LogTag(LOG_ALW)));
    s.DeInit();
    EXPECT_FALSE(s.has_worker());
    EXPECT_TRUE(log.Has(L"FileInfoWorker::stop - request to stop, wait:1", LogTag(LOG_ALW)));
    EXPECT_TRUE(log.Has(L"FileInfoWorker::stop - wait 250 completed.", LogTag(LOG_ALW)));
  }
  LogTail log2;
  ODScanner none;
  none.Init(ScanId(L"init0"), 0, nullptr, {}, nullptr, nullptr);
  none.DeInit();
  EXPECT_TRUE(log2.Has(L"ODScanner::DeInit - Started.", LogTag(LOG_ALW)));
  EXPECT_TRUE(log2.Has(L"ODScanner::DeInit - Completed.", LogTag(LOG_ALW)));
  EXPECT_FALSE(AnyLineWith(log2, L"FileInfoWorker::stop"));
}

TEST_F(ScanSession, ConsoleModeNeedsTheExactRequester) {
  struct Case {
    const wchar_t* requested_by;
    bool console;
  } cases[] = {{L"RequestedByCommandLineScanner", true},
               {L"requestedbycommandlinescanner", false},
               {L"RequestedByCommandLineScanner ", false},
               {L"", false}};
  for (const Case& c : cases) {
    GenericPacketW request;
    request.SetKeyValue(L"ScanRequestedBy", c.requested_by);
    ODScanner s;
    s.Init(ScanId(L"con"), 0, &request, {}, nullptr, nullptr);
    EXPECT_EQ(s.console_mode(), c.console) << c.requested_by;
    // Standard output of a test is not a console: the position stays 0,0.
    EXPECT_EQ(s.console_position().X, 0);
    EXPECT_EQ(s.console_position().Y, 0);
    s.DeInit();
  }
}

TEST_F(ScanSession, ModesWithoutWorkerStayAtZero) {
  for (uint32_t mode : {0u, 5u, 6u, 7u, 8u, 10u, 4294967294u}) {
    ODScanner s;
    s.Init(ScanId(L"nw"), mode, nullptr, {L"C:\\"}, nullptr, nullptr);
    EXPECT_FALSE(s.has_worker()) << mode;
    uint64_t bytes = 1000;
    s.OnItemPreScanCallback(0, &bytes);
    s.OnItemScan(L"C:\\x", 1, Metrics());
    EXPECT_EQ(s.Progress(), 0u) << mode;
    EXPECT_FALSE(s.FileEnumerationCompleted()) << mode;
    s.DeInit();
  }
}

TEST_F(ScanSession, PreScanCallbackTypes) {
  LogTail log;
  ODScanner s;
  s.Init(ScanId(L"pre"), 0, nullptr, {}, nullptr, nullptr);
  unsigned char unaligned[9] = {};
  uint64_t five = 5;
  std::memcpy(unaligned + 1, &five, 8);
  s.OnItemPreScanCallback(0, unaligned + 1);
  s.OnItemPreScanCallback(1, &five);
  s.OnItemPreScanCallback(2, &five);
  EXPECT_EQ(s.ScannedBytes(), 5u);
  EXPECT_TRUE(log.Has(L"ODScanner::OnItemPreScanCallback - Invalid call-back type = 2", LogTag(LOG_ALW)));
  EXPECT_FALSE(AnyLineWith(log, L"Invalid call-back type = 1"));
  uint64_t wrap = UINT64_MAX;
  s.OnItemPreScanCallback(0, &wrap);
  EXPECT_EQ(s.ScannedBytes(), 4u);
  s.DeInit();
}

TEST_F(ScanSession, WorkerEstimateDrivesProgressAndPackets) {
  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"a.bin", std::string(600, 'a')));
  ASSERT_TRUE(dir.WriteFile(L"b.bin", std::string(400, 'b')));
  std::wstring id = ScanId(L"prog");
  ODScanner s;
  s.Init(id, 2, nullptr, {dir.path()}, nullptr, nullptr);
  ULONGLONG deadline = ::GetTickCount64() + 30000;
  while (!s.FileEnumerationCompleted() && ::GetTickCount64() < deadline) ::Sleep(10);
  ASSERT_TRUE(s.FileEnumerationCompleted());
  ASSERT_EQ(s.worker()->Estimate(), 1000u);

  struct Step {
    uint64_t add;
    uint32_t infected;
    uint32_t expected;
  } steps[] = {
      {400, 0, 40},
      {100, 3, 50},
      {UINT64_MAX - 499, 3, 50},  // the byte sum wraps to 0: progress does not fall
      {2000, 0, 99},
  };
  int n = 0;
  for (const Step& step : steps) {
    s.OnItemPreScanCallback(0, &step.add);
    std::wstring path = L"C:\\item-" + std::to_wstring(++n);
    s.OnItemScan(path.c_str(), 4, Metrics(n, step.infected));
    EXPECT_EQ(s.Progress(), step.expected) << n;
    EXPECT_EQ(s.Progress(), step.expected) << "reading again changes nothing";
    ReceivedRecord record;
    ASSERT_TRUE(WaitForRecord(*g_low, [&](const ReceivedRecord& r) {
      return r.name == id && ParsePacket(r.text).Get(L"ItemPath") == path;
    }, &record)) << n;
    ParsedPacket p = ParsePacket(record.text);
    ASSERT_TRUE(p.valid);
    EXPECT_EQ(p.channelid, id);
    EXPECT_EQ(p.subtype, L"ScannedItemPacket");
    EXPECT_EQ(p.Get(L"Progress"), std::to_wstring(step.expected));
    EXPECT_EQ(p.Get(L"ScanMode"), L"2");
    EXPECT_EQ(p.Get(L"ItemType"), L"4");
    EXPECT_EQ(p.Get(L"ScannedCnt"), std::to_wstring(n));
    EXPECT_EQ(p.Get(L"ScanCPULoad"), L"30");
    EXPECT_EQ(p.Get(L"Result"), L"Pending");
    EXPECT_EQ(p.Get(L"Status"), L"Running");
    EXPECT_EQ(p.Get(L"Priority"), L"low");
    EXPECT_TRUE(p.Has(L"ScanTimeElapsed"));
    EXPECT_FALSE(p.Has(L"CreationTime"));
    EXPECT_EQ(p.Has(L"MalwaresDetected"), step.infected != 0) << n;
    if (step.infected) {
      EXPECT_EQ(p.Get(L"MalwaresDetected"), std::to_wstring(step.infected));
    }
  }
  s.DeInit();
}

TEST_F(ScanSession, CompletedWorkerWithNothingToScanGivesZero) {
  TempDir empty;
  ODScanner s;
  s.Init(ScanId(L"empty"), 1, nullptr, {empty.path()}, nullptr, nullptr);
  ULONGLONG deadline = ::GetTickCount64() + 30000;
  while (!s.FileEnumerationCompleted() && ::GetTickCount64() < deadline) ::Sleep(10);
  ASSERT_TRUE(s.FileEnumerationCompleted());
  uint64_t bytes = 10;
  s.OnItemPreScanCallback(0, &bytes);
  s.OnItemScan(L"C:\\x", 0, Metrics());
  EXPECT_EQ(s.Progress(), 0u);
  s.DeInit();
}

TEST_F(ScanSession, DetectionWithoutRequestAndCounts) {
  std::wstring id = ScanId(L"det");
  ODScanner s;
  s.Init(id, 2, nullptr, {}, nullptr, nullptr);
  struct Case {
    bool manual;
    uint32_t action;
  } cases[] = {{true, 2}, {false, 2}, {true, 0}, {false, 1}};
  for (const Case& c : cases) {
    MalwareInfo info = Record(L"C:\\d\\evil.exe", L"Eicar");
    info.m_bManualCleanupRequired = c.manual;
    info.m_dwDetectionAction = c.action;
    s.OnMalwareDetection(info);
  }
  EXPECT_EQ(s.ManualCleanupCount(), 2u);
  EXPECT_EQ(s.ReportOnlyCount(), 2u);
  EXPECT_TRUE(s.Detections().empty()) << "only console scans keep detections";
  SyncHigh(id);
  std::vector<ParsedPacket> packets = PacketsNamed(*g_high, id);
  ASSERT_EQ(packets.size(), 4u);
  for (const ParsedPacket& p : packets) {
    EXPECT_TRUE(p.valid);
    EXPECT_EQ(p.type, L"ODAVScanner");
    EXPECT_EQ(p.subtype, L"MalwareDetectPacket");
    EXPECT_EQ(p.channelid, id);
    EXPECT_EQ(p.Get(L"InvokerPID"), L"-1");
    EXPECT_EQ(p.Get(L"Priority"), L"high");
    EXPECT_EQ(p.Get(L"MalwareName"), L"Eicar");
  }
  s.ConcludeScan(3, Metrics());
  SyncHigh(id + L"c");
  packets = PacketsNamed(*g_high, id);
  ASSERT_EQ(packets.size(), 5u);
  EXPECT_EQ(packets.back().subtype, L"ConcludeScanPacket");
  EXPECT_EQ(packets.back().Get(L"DetectionActionReportOnlyCount"), L"2");
  EXPECT_FALSE(packets.back().Has(L"ManualCleanupRequiredCount"));
  s.DeInit();
}

TEST_F(ScanSession, HiddenAutoStartGoesRealTime) {
  LogTail log;
  std::wstring id = ScanId(L"hid");
  GenericPacketW request;
  request.SetKeyValue(L"HiddenScan", L"true");
  request.SetKeyValue(L"ScanRequestedBy", L"RequestedByAutoStartMonitor");
  request.SetKeyValue(L"InvokerPID", L"77");
  request.SetKeyValue(L"NamedEvent", L"QvNoSuchEvent");
  ODScanner s;
  s.Init(id, 2, &request, {}, nullptr, nullptr);
  std::wstring paths[2] = {L"C:\\hidden\\" + id + L"-1", L"C:\\hidden\\" + id + L"-2"};
  std::wstring channels[2];
  for (int i = 0; i < 2; ++i) {
    MalwareInfo info = Record(paths[i], L"Hidden.Mal");
    info.m_dwScanMode = 9;
    info.m_bManualCleanupRequired = true;
    s.OnMalwareDetection(info);
    ReceivedRecord record;
    ASSERT_TRUE(WaitForRecord(*g_high, [&](const ReceivedRecord& r) {
      return ParsePacket(r.text).Get(L"ItemPath") == paths[i];
    }, &record));
    ParsedPacket p = ParsePacket(record.text);
    EXPECT_EQ(p.type, L"RealTimeAVScanner");
    EXPECT_EQ(p.subtype, L"MalwareDetectPacket");
    EXPECT_EQ(p.Get(L"ScanMode"), L"5");
    EXPECT_EQ(p.Get(L"InvokerPID"), L"77");
    EXPECT_EQ(p.channelid.size(), 36u);
    EXPECT_NE(p.channelid, id);
    EXPECT_EQ(record.name, p.channelid.substr(0, 35));
    channels[i] = p.channelid;
  }
  EXPECT_NE(channels[0], channels[1]);
  EXPECT_EQ(s.ManualCleanupCount(), 2u) << "hidden detections are counted all the same";
  EXPECT_EQ(CountLinesWith(log, L"[WARN] - ODScanner::OnMalwareDetection - This is hidden auto-start detection, "
                        L"switching to real time detection."),
            2u);

  LogTail conclusion;
  s.ConcludeScan(3, Metrics());
  SyncHigh(id);
  EXPECT_TRUE(PacketsNamed(*g_high, id).empty()) << "no on-demand detection, no summary";
  EXPECT_TRUE(conclusion.Has(L"ODScanner::ConcludeScan - scanStatus:Completed, ScanMode:Custom Scan, Final Scan Matrix:\n", LogTag(LOG_ALW)));
  EXPECT_TRUE(conclusion.Has(L"ODScanner::ConcludeScan - Ignored, this is hidden auto-start scan.", LogTag(LOG_ALW)));
  EXPECT_FALSE(AnyLineWith(conclusion, L"AMSERR_SUCCESS"));
  EXPECT_FALSE(AnyLineWith(conclusion, L"Need to signal named event"));
  s.DeInit();

  // Hidden, but requested by someone else: reported normally.
  std::wstring other = ScanId(L"hid2");
  request.SetKeyValue(L"ScanRequestedBy", L"RequestedByScheduler");
  ODScanner normal;
  normal.Init(other, 2, &request, {}, nullptr, nullptr);
  normal.OnMalwareDetection(Record(L"C:\\n", L"N"));
  SyncHigh(other);
  std::vector<ParsedPacket> packets = PacketsNamed(*g_high, other);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].type, L"ODAVScanner");
  EXPECT_EQ(packets[0].Get(L"InvokerPID"), L"77");
  normal.DeInit();
}

TEST_F(ScanSession, SummaryPerStatusWithShippedTexts) {
  std::map<std::wstring, std::wstring> texts;
  ASSERT_TRUE(JsonHelper::Load(ResourceMgr::ResourceFilePath(), texts, false));
  struct Case {
    uint32_t status;
    const wchar_t* result;
    const wchar_t* key;
    const wchar_t* resource;
    std::wstring suffix;
    int level;
    const wchar_t* line;
  } cases[] = {
      {1, L"Failed", L"ErrorMsg", L"JID_ScanAborted", L"", LOG_WARN,
       L"ODScanner::ConcludeScan - AMSERR_SCANABORTED"},
      {2, L"Failed", L"ErrorMsg", L"JID_ScannerError", L" [2]", LOG_ERROR,
       L"ODScanner::ConcludeScan - scanStatusError, scan result 2"},
      {3, L"Succeeded", L"DisplayMsg", L"JID_ScanCompleteSuccess", L"", LOG_ALW,
       L"ODScanner::ConcludeScan - AMSERR_SUCCESS"},
      {4, L"Failed", L"ErrorMsg", L"JID_InternalLogicError", L"", LOG_ERROR,
       L"ODScanner::ConcludeScan - AMSSCAN_INTERNALLOGICERROR"},
      {5, L"Failed", L"ErrorMsg", L"JID_UnknownScannerError", L"", LOG_WARN,
       L"ODScanner::ConcludeScan - AMSERR_UNKNOWN"},
      {6, L"Failed", L"ErrorMsg", L"JID_InternalLogicError", L"", LOG_ERROR,
       L"ODScanner::ConcludeScan - AMSSCAN_INTERNALLOGICERROR"},
      {12, L"Failed", L"ErrorMsg", L"JID_ScannerError", L" [12]", LOG_ERROR,
       L"ODScanner::ConcludeScan - scanStatusError, scan result 12"},
  };
  for (const Case& c : cases) {
    for (bool with_request : {false, true}) {
      LogTail log;
      std::wstring id = ScanId(L"sum");
      GenericPacketW request;
      request.SetKeyValue(L"InvokerPID", L"4321");
      request.SetKeyValue(L"RequestVeryLowScanCPULoad", L"1");
      ODScanner s;
      s.Init(id, 4, with_request ? &request : nullptr, {}, nullptr, nullptr);
      MalwareInfo info = Record(L"C:\\s", L"S");
      info.m_bManualCleanupRequired = true;
      s.OnMalwareDetection(info);
      ScanCountMetrics m = Metrics(70, 1);
      s.ConcludeScan(c.status, m);
      SyncHigh(id);
      std::vector<ParsedPacket> packets = PacketsNamed(*g_high, id);
      ASSERT_EQ(packets.size(), 2u) << c.status;
      const ParsedPacket& p = packets[1];
      ASSERT_TRUE(p.valid);
      EXPECT_EQ(p.subtype, L"ConcludeScanPacket");
      EXPECT_EQ(p.Get(L"Result"), c.result) << c.status;
      std::wstring text = texts[c.resource];
      EXPECT_FALSE(text.empty()) << c.resource;
      EXPECT_EQ(p.Get(c.key), text + c.suffix) << c.status;
      EXPECT_EQ(p.Get(L"ScanStatus"), std::to_wstring(c.status));
      EXPECT_EQ(p.Get(L"ScanMode"), L"4");
      EXPECT_EQ(p.Get(L"FilesCnt"), L"70");
      EXPECT_EQ(p.Get(L"Progress"), L"100");
      EXPECT_TRUE(log.Has(c.line, LogTag(c.level))) << c.status;
      for (const wchar_t* key : {L"HiddenScan", L"InvokerPID", L"ManualCleanupRequiredCount",
                                 L"RequestVeryLowScanCPULoad"})
        EXPECT_EQ(p.Has(key), with_request) << key << " " << c.status;
      if (with_request) {
        EXPECT_EQ(p.Get(L"InvokerPID"), L"4321");
        EXPECT_EQ(p.Get(L"ManualCleanupRequiredCount"), L"1");
        EXPECT_EQ(p.Get(L"RequestVeryLowScanCPULoad"), L"true");
        EXPECT_EQ(p.Get(L"HiddenScan"), L"false");
      }
      s.DeInit();
    }
  }
}

namespace {

const std::wstring kWidePath = std::wstring(L"C:\\\x0434\x0430\x043D\x043D\x044B\x0435\\caf\x00E9-\x4E2D-") +
                               std::wstring(L"\xD83D\xDE00", 2) + L".exe";

std::wstring DetectionPath(int i) { return kWidePath + L"." + std::to_wstring(i); }
std::wstring DetectionName(int i) { return L"Mal\x0416-" + std::to_wstring(i); }

std::wstring FromLatin1(const std::string& bytes) {
  std::wstring out;
  for (char c : bytes) out += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return out;
}

std::vector<std::wstring> ListFiles(const std::wstring& pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(data.cFileName);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return names;
}

std::wstring ImportFolder() {
  return ExCommon::AddTrailingBackslash(GetStoredDataTempPath(), true) + L"DBImport\\";
}

}  // namespace

// A scan of the command-line scanner: args are the named event, "with" or
// "none" (detections), and the scan id.
QV_CHILD_MAIN(console_scan) {
  if (args.size() != 3) return 2;
  GenericPacketW request;
  request.SetKeyValue(L"ScanRequestedBy", L"RequestedByCommandLineScanner");
  request.SetKeyValue(L"NamedEvent", args[0]);
  bool detections = args[1] == L"with";
  ODScanner s;
  s.Init(args[2], 0, &request, {}, nullptr, nullptr);
  if (!s.console_mode()) return 3;
  ScanCountMetrics m = Metrics(5, detections ? 3 : 0);
  s.OnItemScan(L"C:\\first", 1, m);  // starts the print interval: nothing printed
  ::Sleep(300);
  s.OnItemScan(kWidePath.c_str(), 1, m);
  if (detections) {
    for (int i = 1; i <= 3; ++i) s.OnMalwareDetection(Record(DetectionPath(i), DetectionName(i)));
  }
  m.m_bRebootRequired = true;
  s.ConcludeScan(3, m);
  s.DeInit();
  return 0;
}

TEST(ConsoleScan, BlockLinesReportAndImportFilesThenTheEvent) {
  for (bool with : {true, false}) {
    std::wstring event_name = UniqueName(L"QvConsoleScanDone");
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
    ASSERT_TRUE(event);
    std::vector<std::wstring> csv_before = ListFiles(L"c:\\QuillfeatherScanReport.*.csv");
    std::vector<std::wstring> imports_before = ListFiles(ImportFolder() + L"MalDetect_*.DBImport");

    std::string output;
    int exit_code = -1;
    std::wstring cmd = L"\"" + testing_support::ThisExecutable() + L"\" --child console_scan \"" +
                       event_name + L"\" " + (with ? L"with" : L"none") + L" " +
                       ScanId(L"cons");
    std::thread child([&] { exit_code = testing_support::RunCommand(cmd, &output); });
    bool signalled = ::WaitForSingleObject(event.get(), 60000) == WAIT_OBJECT_0;
    // The event is the last action: the files are complete when it is set.
    std::vector<std::wstring> csv_now = ListFiles(L"c:\\QuillfeatherScanReport.*.csv");
    std::vector<std::wstring> imports_now = ListFiles(ImportFolder() + L"MalDetect_*.DBImport");
    child.join();
    ASSERT_TRUE(signalled) << with;
    ASSERT_EQ(exit_code, 0) << output;

    std::vector<std::wstring> new_csv, new_imports;
    for (const auto& f : csv_now)
      if (std::find(csv_before.begin(), csv_before.end(), f) == csv_before.end())
        new_csv.push_back(f);
    for (const auto& f : imports_now)
      if (std::find(imports_before.begin(), imports_before.end(), f) == imports_before.end())
        new_imports.push_back(f);
    std::sort(new_imports.begin(), new_imports.end());

    std::string block = "Progress:0%\r\nItems   :5\r\nMalwares:" + std::string(with ? "3" : "0") +
                        "\r\nScanning:" + scan_text::ToLatin1(scan_text::DisplayPath(kWidePath)) +
                        "\r\n";
    std::string expected = block + "Progress:100%\r\n\r\n\r\n";
    if (!with) {
      expected += "Scan completed.\nReboot is required to completed the disinfection\n";
      EXPECT_EQ(output, expected);
      EXPECT_TRUE(new_csv.empty());
      EXPECT_TRUE(new_imports.empty());
      continue;
    }
    ASSERT_EQ(new_csv.size(), 1u);
    std::wstring csv_path = L"c:\\" + new_csv[0];
    expected += "Scan completed, Malwares detected and resolved\n"
                "Reboot is required to completed the disinfection\n"
                "Malware report file was created at:" +
                scan_text::ToLatin1(csv_path) + "\n";
    EXPECT_EQ(output, expected);

    std::string csv;
    ASSERT_TRUE(testing_support::ReadWholeFile(csv_path, csv));
    std::string expected_csv = "Malware Path,Malware Name\r";
    for (int i = 1; i <= 3; ++i)
      expected_csv += scan_text::ToLatin1(DetectionPath(i) + L"," + DetectionName(i) + L"\r");
    EXPECT_EQ(csv, expected_csv);

    ASSERT_EQ(new_imports.size(), 3u);
    int64_t first = std::stoll(new_imports[0].substr(10));
    for (int i = 1; i <= 3; ++i) {
      EXPECT_EQ(new_imports[i - 1], L"MalDetect_" + std::to_wstring(first + i - 1) + L".DBImport");
      std::string bytes;
      ASSERT_TRUE(testing_support::ReadWholeFile(ImportFolder() + new_imports[i - 1], bytes));
      ParsedPacket p = ParsePacket(FromLatin1(bytes));
      ASSERT_TRUE(p.valid) << i;
      EXPECT_EQ(p.subtype, L"MalwareDetectPacket");
      EXPECT_EQ(p.Get(L"ItemPath"), FromLatin1(scan_text::ToLatin1(DetectionPath(i))));
      EXPECT_EQ(p.Get(L"MalwareName"), FromLatin1(scan_text::ToLatin1(DetectionName(i))));
    }
    ::DeleteFileW(csv_path.c_str());
    for (const auto& f : new_imports) ::DeleteFileW((ImportFolder() + f).c_str());
  }
}
