// The built Quorvane.dll as the engine loads it: exports resolved by name,
// called with good, null and garbage arguments.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "common/handle.h"
#include "ipc/queue_names.h"
#include "quorvane.h"
#include "support/packet_json.h"
#include "common/log.h"
#include "support/log_lines.h"
#include "support/log_tail.h"
#include "support/queue_server.h"
#include "support/quorvane_dll.h"
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
using testing_support::TheDll;
using testing_support::QuorvaneDll;
using testing_support::UniqueName;

namespace {

RecordingServer* g_high = nullptr;
RecordingServer* g_low = nullptr;

class Exports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_high = new RecordingServer();
    g_low = new RecordingServer();
    ASSERT_TRUE(g_high->Create(kChannelServer, kHighQueueName, kHighQueueSize));
    ASSERT_TRUE(g_low->Create(kChannelServer, kLowQueueName, kLowQueueSize));
    ASSERT_NE(TheDll().start, nullptr);
    TheDll().start();
  }
  static void TearDownTestSuite() {
    if (TheDll().stop) TheDll().stop();
    delete g_high;
    delete g_low;
    g_high = g_low = nullptr;
  }
  void SetUp() override { ASSERT_NE(TheDll().module, nullptr); }
};

ScanCountMetrics Metrics(uint32_t files = 0) {
  ScanCountMetrics m{};
  m.m_dwFilesCnt = files;
  m.m_dwScannedCnt = files;
  return m;
}

std::vector<ParsedPacket> PacketsNamed(RecordingServer& server, const std::wstring& name) {
  std::vector<ParsedPacket> out;
  for (const ReceivedRecord& r : server.Records())
    if (r.name == name) out.push_back(ParsePacket(r.text));
  return out;
}

bool WaitForSubtype(RecordingServer& server, const std::wstring& name, const std::wstring& subtype) {
  ULONGLONG deadline = ::GetTickCount64() + 30000;
  for (;;) {
    for (const ParsedPacket& p : PacketsNamed(server, name))
      if (p.subtype == subtype) return true;
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(10);
  }
}

}  // namespace

TEST_F(Exports, AllNineResolveByName) {
  const QuorvaneDll& d = TheDll();
  EXPECT_NE(d.create, nullptr);
  EXPECT_NE(d.pre_scan, nullptr);
  EXPECT_NE(d.item_scan, nullptr);
  EXPECT_NE(d.detection, nullptr);
  EXPECT_NE(d.percentage, nullptr);
  EXPECT_NE(d.enumeration_completed, nullptr);
  EXPECT_NE(d.close, nullptr);
  EXPECT_NE(d.start, nullptr);
  EXPECT_NE(d.stop, nullptr);
}

TEST_F(Exports, CreateChecksItsArguments) {
  const QuorvaneDll& d = TheDll();
  ScanCountMetrics m = Metrics();
  GenericPacketW request;
  const wchar_t* paths[3] = {L"C:\\windows\\win.ini", nullptr, L"C:\\nothing-here"};
  struct Case {
    const wchar_t* id;
    int mode;
    void* request;
    const wchar_t** paths;
    uint32_t count;
    bool opens;
    std::wstring line;
  } cases[] = {
      {nullptr, 2, &request, nullptr, 0, false, L"QUORVANE Create:: Invalid Input - pszScanID is NULL"},
      {L"a", 11, &request, nullptr, 0, false, L"QUORVANE Create:: Invalid Input - ScanMode = 11,"},
      {L"a", 12, &request, nullptr, 0, false, L"QUORVANE Create:: Invalid Input - ScanMode = 12,"},
      {L"a", INT_MAX, &request, nullptr, 0, false,
       L"QUORVANE Create:: Invalid Input - ScanMode = 2147483647,"},
      {L"a", 10, &request, nullptr, 0, true, L"ScanMode = Cam Mic Detector, ScanID = a,"},
      {L"a", -2, &request, nullptr, 0, true, L"ScanMode = Invalid Scan:-2, ScanID = a,"},
      {L"a", 2, nullptr, nullptr, 0, true, L"QUORVANE Create:: Dangerous Input - pvPrivateData is NULL"},
      {L"a", 2, &request, nullptr, 5, true,
       L"QUORVANE Create:: Dangerous Input - ppszScanPaths is NULL, dwScanPathCount = 5"},
      {L"a", 1, &request, nullptr, 0xFFFFFFFFu, true,
       L"QUORVANE Create:: Dangerous Input - ppszScanPaths is NULL, dwScanPathCount = -1"},
      {L"a", 2, &request, paths, 3, true,
       L"QUORVANE Create:: Dangerous Input - 1 NULL entries of ppszScanPaths skipped"},
  };
  for (const Case& c : cases) {
    LogTail log;
    void* handle = d.create(c.id, c.mode, c.request, c.paths, c.count, nullptr, nullptr);
    EXPECT_EQ(handle != nullptr, c.opens) << c.line;
    EXPECT_TRUE(AnyLineWith(log, c.line)) << c.line;
    if (handle) {
      EXPECT_EQ(d.close(handle, 3, &m), 0);
    }
  }
  // Every mode from -2 to 12.
  for (int mode = -2; mode <= 12; ++mode) {
    void* handle = d.create(L"modes", mode, nullptr, paths, 1, nullptr, nullptr);
    EXPECT_EQ(handle != nullptr, mode <= 10) << mode;
    if (handle) {
      bool has_worker = (mode >= 1 && mode <= 4) || mode == 9;
      if (!has_worker) {
        EXPECT_FALSE(d.enumeration_completed(handle)) << mode;
      }
      EXPECT_EQ(d.percentage(handle), 0u) << mode;
      d.close(handle, 3, &m);
    }
  }
}

TEST_F(Exports, NullAndUnknownHandlesAreRefused) {
  const QuorvaneDll& d = TheDll();
  ScanCountMetrics m = Metrics();
  MalwareInfo info{};
  uint64_t bytes = 1;
  // Memory that is not a session: a wrong first word, and the marker itself
  // in a block that Create never returned.
  alignas(8) uint32_t wrong[64] = {0x12345678u};
  alignas(8) uint32_t forged[64] = {0xABCDDCBAu};
  struct Export {
    const wchar_t* name;
    const wchar_t* null_line;
    std::function<int64_t(void*)> call;
    int64_t refused;
  } exports[] = {
      {L"OnItemPreScan", L"QUORVANE OnItemPreScan:: Invalid hScanContext",
       [&](void* h) { return d.pre_scan(h, 0, &bytes); }, 0},
      {L"OnItemScan", L"QUORVANE OnItemScan:: Invalid hScanContext",
       [&](void* h) { return d.item_scan(h, L"C:\\x", 0, &m); }, 0},
      {L"OnMalwareDetection", L"OnMalwareDetection:: Invalid hScanContext",
       [&](void* h) { return d.detection(h, &info, nullptr, &m); }, 0},
      {L"IncreaseScanPercentage", L"QUORVANE IncreaseScanPercentage:: Invalid hScanContext",
       [&](void* h) { return static_cast<int64_t>(d.percentage(h)); }, 0},
      {L"FileEnumerationCompleted", L"QUORVANE FileEnumerationCompleted:: Invalid hScanContext",
       [&](void* h) { return static_cast<int64_t>(d.enumeration_completed(h)); }, 0},
      {L"Close", L"QUORVANE Close:: Invalid hScanContext",
       [&](void* h) { return static_cast<int64_t>(d.close(h, 3, &m)); }, 0},
  };
  for (const Export& e : exports) {
    LogTail log;
    EXPECT_EQ(e.call(nullptr), e.refused) << e.name;
    EXPECT_TRUE(log.Has(e.null_line, LogTag(LOG_ERROR))) << e.name;
    if (std::wstring(e.name) == L"OnMalwareDetection") {
      EXPECT_FALSE(AnyLineWith(log, L"QUORVANE OnMalwareDetection:: Invalid hScanContext"));
    }
    std::wstring corrupt = std::wstring(L"QUORVANE ") + e.name + L":: Curropted object";
    for (void* fake : {static_cast<void*>(wrong), static_cast<void*>(forged)}) {
      LogTail fake_log;
      EXPECT_EQ(e.call(fake), e.refused) << e.name;
      EXPECT_TRUE(fake_log.Has(corrupt, LogTag(LOG_FATAL))) << corrupt;
    }
  }
  EXPECT_EQ(wrong[0], 0x12345678u);
  EXPECT_EQ(forged[0], 0xABCDDCBAu);
}

TEST_F(Exports, ArgumentChecksOnALiveHandle) {
  const QuorvaneDll& d = TheDll();
  ScanCountMetrics m = Metrics();
  MalwareInfo info{};
  uint64_t bytes = 1;
  void* h = d.create(L"args", 0, nullptr, nullptr, 0, nullptr, nullptr);
  ASSERT_NE(h, nullptr);
  struct Case {
    std::function<int64_t()> call;
    int64_t result;
    const wchar_t* line;
  } cases[] = {
      {[&] { return d.pre_scan(h, 0, nullptr); }, 0, L"QUORVANE OnItemPreScan:: Invalid pvData"},
      {[&] { return d.pre_scan(h, 0xDEADBEEF, &bytes); }, 1,
       L"ODScanner::OnItemPreScanCallback - Invalid call-back type = -559038737"},
      {[&] { return d.item_scan(h, nullptr, 0, &m); }, 0, L"QUORVANE OnItemScan:: Invalid pszItemPath"},
      {[&] { return d.item_scan(h, L"C:\\x", 0, nullptr); }, 0,
       L"QUORVANE OnItemScan:: Invalid pScanCountMetrics"},
      {[&] { return d.detection(h, nullptr, nullptr, &m); }, 0,
       L"QUORVANE OnMalwareDetection:: Invalid pMalwareInfo"},
      {[&] { return d.detection(h, &info, nullptr, nullptr); }, 0,
       L"QUORVANE OnMalwareDetection:: Invalid pScanCountMetrics"},
      {[&] { return d.close(h, 3, nullptr); }, 0, L"QUORVANE Close:: Invalid pScanCountMetrics"},
      // The session is still open after that refused Close.
      {[&] { return d.item_scan(h, L"C:\\still-open", 0, &m); }, 1, L"QUORVANE"},
  };
  for (const Case& c : cases) {
    LogTail log;
    EXPECT_EQ(c.call(), c.result) << c.line;
    if (std::wstring(c.line) != L"QUORVANE") {
      EXPECT_TRUE(AnyLineWith(log, c.line)) << c.line;
    }
  }
  EXPECT_EQ(d.percentage(h), 0u);
  EXPECT_EQ(d.percentage(h), 0u);
  EXPECT_FALSE(d.enumeration_completed(h));
  EXPECT_EQ(d.close(h, 3, &m), 0);
  LogTail after;
  EXPECT_EQ(d.close(h, 3, &m), 0) << "a closed handle is refused";
  EXPECT_TRUE(after.Has(L"QUORVANE Close:: Curropted object", LogTag(LOG_FATAL)));
}

TEST_F(Exports, ActiveScannerCountLines) {
  const QuorvaneDll& d = TheDll();
  ScanCountMetrics m = Metrics();
  LogTail log;
  std::vector<void*> handles;
  for (int i = 1; i <= 6; ++i) {
    handles.push_back(d.create(L"count", 0, nullptr, nullptr, 0, nullptr, nullptr));
    ASSERT_NE(handles.back(), nullptr);
    EXPECT_TRUE(log.Has(L"QUORVANE Create:: Completed successfully , Activate scanners = " +
                                std::to_wstring(i) + L".", LogTag(LOG_ALW)))
        << i;
  }
  LogTail first;
  d.close(handles[0], 3, &m);
  EXPECT_TRUE(first.Has(L"QUORVANE Close:: Completed successfully , Activate scanners = 5.", LogTag(LOG_ALW)));
  EXPECT_TRUE(first.Has(L"QUORVANE Close:: too many scanners = 5 , memory leak ?", LogTag(LOG_FATAL)));
  LogTail second;
  d.close(handles[1], 3, &m);
  EXPECT_TRUE(second.Has(L"QUORVANE Close:: Completed successfully , Activate scanners = 4.", LogTag(LOG_ALW)));
  EXPECT_FALSE(AnyLineWith(second, L"too many scanners"));
  for (size_t i = 2; i < handles.size(); ++i) d.close(handles[i], 3, &m);
  EXPECT_TRUE(log.Has(L"QUORVANE Close:: Completed successfully , Activate scanners = 0.", LogTag(LOG_ALW)));
}

TEST_F(Exports, HostileDetectionRecords) {
  const QuorvaneDll& d = TheDll();
  ScanCountMetrics m = Metrics();
  std::wstring id = UniqueName(L"hostile");
  void* h = d.create(id.c_str(), 2, nullptr, nullptr, 0, nullptr, nullptr);
  ASSERT_NE(h, nullptr);
  const std::wstring texts[] = {
      L"", std::wstring(100000, L'y'), std::wstring(L"\x01\x1f\x7f\"\\", 5),
      std::wstring(1, static_cast<wchar_t>(0xDBFF)) + L"x" + std::wstring(1, static_cast<wchar_t>(0xDC01))};
  for (const std::wstring& t : texts) {
    MalwareInfo info{};
    info.m_sItemPath = info.m_sMalwareName = info.m_sDetectionsAdditionalInfo = t;
    info.m_sMalwareURL = info.m_sDetectionID = info.m_sQurantineID = t;
    unsigned char odd = 0x5A;
    std::memcpy(&info.m_bHiddenFile, &odd, 1);
    std::memcpy(&info.m_bManualCleanupRequired, &odd, 1);
    info.m_dwThreatLevel = 0xFFFFFFFF;
    info.m_dwMalwareCategoryId = 0x80000000;
    EXPECT_EQ(d.detection(h, &info, reinterpret_cast<void*>(0x1), &m), 1);
  }
  ScanCountMetrics final_metrics = Metrics();
  unsigned char odd = 0x33;
  std::memcpy(&final_metrics.m_bRebootRequired, &odd, 1);
  EXPECT_EQ(d.close(h, 0xFFFFFFFF, &final_metrics), 0);
  ASSERT_TRUE(WaitForSubtype(*g_high, id, L"ConcludeScanPacket"));
  for (const ParsedPacket& p : PacketsNamed(*g_high, id)) EXPECT_TRUE(p.valid);
}

TEST_F(Exports, ManyThreadsOnOneAndOnFourSessions) {
  const QuorvaneDll& d = TheDll();
  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"f.bin", std::string(4000, 'f')));
  const std::wstring dir_path = dir.path();
  const wchar_t* paths[1] = {dir_path.c_str()};
  constexpr int kThreads = 4, kItems = 2000, kDetectEvery = 250;
  for (int sessions : {1, 4}) {
    std::vector<std::wstring> ids;
    std::vector<GenericPacketW> requests(sessions);
    std::vector<void*> handles;
    for (int s = 0; s < sessions; ++s) {
      ids.push_back(UniqueName(L"mt"));
      requests[s].SetKeyValue(L"InvokerPID", L"99");
      handles.push_back(d.create(ids[s].c_str(), 2, &requests[s], paths, 1, nullptr, nullptr));
      ASSERT_NE(handles.back(), nullptr);
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int s = 0; s < sessions; ++s) {
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, s, t] {
          uint32_t last = 0;
          for (int i = 0; i < kItems; ++i) {
            uint64_t bytes = 1;
            std::wstring path = L"C:\\t" + std::to_wstring(t) + L"\\item" + std::to_wstring(i);
            ScanCountMetrics m = Metrics(static_cast<uint32_t>(i));
            if (d.pre_scan(handles[s], 0, &bytes) != 1) ++failures;
            if (d.item_scan(handles[s], path.c_str(), 1, &m) != 1) ++failures;
            uint32_t now = d.percentage(handles[s]);
            if (now < last || now > 99) ++failures;
            last = now;
            if (i % kDetectEvery == 0) {
              MalwareInfo info{};
              info.m_sItemPath = path;
              info.m_sMalwareName = L"Threaded";
              info.m_bManualCleanupRequired = true;
              info.m_dwDetectionAction = 2;
              if (d.detection(handles[s], &info, nullptr, &m) != 1) ++failures;
            }
          }
        });
      }
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    const int detections = kThreads * (kItems / kDetectEvery);
    for (int s = 0; s < sessions; ++s) {
      ScanCountMetrics m = Metrics(kThreads * kItems);
      EXPECT_EQ(d.close(handles[s], 3, &m), 0);
      ASSERT_TRUE(WaitForSubtype(*g_high, ids[s], L"ConcludeScanPacket")) << ids[s];
      size_t detect_records = 0;
      for (const ParsedPacket& p : PacketsNamed(*g_high, ids[s])) {
        EXPECT_TRUE(p.valid);
        if (p.subtype == L"MalwareDetectPacket") ++detect_records;
        if (p.subtype != L"ConcludeScanPacket") continue;
        EXPECT_EQ(p.Get(L"ManualCleanupRequiredCount"), std::to_wstring(detections));
        EXPECT_EQ(p.Get(L"DetectionActionReportOnlyCount"), std::to_wstring(detections));
        EXPECT_EQ(p.Get(L"ScannedCnt"), std::to_wstring(kThreads * kItems));
      }
      // A full queue drops a detection (no retry); none may be duplicated.
      EXPECT_LE(detect_records, static_cast<size_t>(detections));
      EXPECT_GT(detect_records, 0u);
    }
    for (const ReceivedRecord& r : g_low->Records()) EXPECT_TRUE(ParsePacket(r.text).valid);
  }
}

// No queue servers here: they keep every record they receive, which would
// hide what the sessions themselves leave behind.
TEST(ExportCycles, TenThousandCyclesLeaveHandlesAndMemoryFlat) {
  const QuorvaneDll& d = TheDll();
  ASSERT_NE(d.module, nullptr);
  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"f.bin", std::string(100, 'f')));
  const std::wstring dir_path = dir.path();
  const wchar_t* paths[1] = {dir_path.c_str()};
  ScanCountMetrics m = Metrics(1);
  auto cycle = [&](int n) {
    for (int i = 0; i < n; ++i) {
      void* h = d.create(L"cycle", 2, nullptr, paths, 1, nullptr, nullptr);
      if (!h) return false;
      uint64_t bytes = 50;
      d.pre_scan(h, 0, &bytes);
      d.item_scan(h, L"C:\\cycle", 1, &m);
      d.close(h, 3, &m);
    }
    return true;
  };
  ASSERT_TRUE(cycle(300));  // warm-up: caches, the log file, the heap
  DWORD handles_before = testing_support::HandleCount();
  uint64_t committed_before = testing_support::CommittedPrivateBytes();
  uint64_t heap_before = testing_support::HeapBusyBytes();
  ASSERT_TRUE(cycle(10000));
  DWORD handles_after = testing_support::HandleCount();
  uint64_t committed_after = testing_support::CommittedPrivateBytes();
  uint64_t heap_after = testing_support::HeapBusyBytes();
  std::printf("10000 Create/Close cycles: handles %lu -> %lu, committed private bytes %llu -> %llu, "
              "heap bytes in use %llu -> %llu\n",
              static_cast<unsigned long>(handles_before), static_cast<unsigned long>(handles_after),
              static_cast<unsigned long long>(committed_before),
              static_cast<unsigned long long>(committed_after),
              static_cast<unsigned long long>(heap_before),
              static_cast<unsigned long long>(heap_after));
  ASSERT_GT(handles_before, 0u);
  ASSERT_GT(committed_before, 0u);
  ASSERT_GT(heap_before, 0u);
  EXPECT_LE(handles_after, handles_before + 4);
  // One leaked allocation per cycle would show as 10000 times its size.
  EXPECT_LT(heap_after, heap_before + 512 * 1024);
  EXPECT_LT(committed_after, committed_before + 4 * 1024 * 1024);
}
