// Random export call sequences from four engine threads against the built
// DLL: live, stale, fake and null handles, hostile records and request
// packets, while a fifth thread stops and restarts the module and stalls
// the queue servers underneath.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/handle.h"
#include "common/log.h"
#include "faults/env_faults.h"
#include "faults/fault_figures.h"
#include "ipc/product_paths.h"
#include "ipc/queue_names.h"
#include "quorvane.h"
#include "support/log_tail.h"
#include "support/packet_json.h"
#include "support/queue_server.h"
#include "support/quorvane_dll.h"
#include "support/test_support.h"

using testing_support::LogTag;
using testing_support::LogTail;
using testing_support::QuorvaneDll;
using testing_support::RecordingServer;
using testing_support::TempDir;
using testing_support::TheDll;
using testing_support::UniqueName;

namespace {

constexpr int kEngineThreads = 4;
constexpr int kCallsPerThread = 5000;
constexpr DWORD kHangBoundMs = 300000;

using Rng = std::mt19937_64;

size_t Below(Rng& rng, size_t n) { return static_cast<size_t>(rng() % n); }
bool Chance(Rng& rng, int percent) { return static_cast<int>(rng() % 100) < percent; }

std::wstring Units(std::initializer_list<unsigned> units) {
  std::wstring s;
  for (unsigned u : units) s.push_back(static_cast<wchar_t>(u));
  return s;
}

// Texts an engine might hand over by mistake or by malice.
std::vector<std::wstring> HostileTexts() {
  std::wstring controls;
  for (unsigned c = 1; c < 0x20; ++c) controls.push_back(static_cast<wchar_t>(c));
  controls += Units({0x7F, 0x85, 0x2028});
  return {
      L"",
      std::wstring(100000, L'x'),
      controls,
      L"\"\\/\b\f\n\r\t quoted",
      Units({0xD800}),
      Units({0xDC00, L'a'}),
      Units({L'a', 0xDFFF, 0xD83D}),
      Units({0xD83D, 0xDE00, 0xFFFF, 0xFFFE}),
      std::wstring(L"nul\0inside", 10),
      L"%s%s%s%n%n%d%x%ls",
      L"C:\\" + std::wstring(40000, L'\\'),
      L"[[[[[[[[[[{\"a\":",
  };
}

const std::wstring& Pick(Rng& rng, const std::vector<std::wstring>& pool) {
  return pool[Below(rng, pool.size())];
}

std::wstring RandomText(Rng& rng, const std::vector<std::wstring>& hostile) {
  if (Chance(rng, 40)) return Pick(rng, hostile);
  return L"C:\\scan\\dir" + std::to_wstring(Below(rng, 50)) + L"\\file" +
         std::to_wstring(rng() % 100000) + L".exe";
}

std::wstring ExclusionValue(Rng& rng, const std::vector<std::wstring>& hostile) {
  switch (Below(rng, 9)) {
    case 0: return L"[\"exe\",\"dll\",\"C:\\\\windows\"]";
    case 1: return L"[\"a\",1,null,{\"x\":[1,2]},true,\"b\"]";
    case 2: return L"[\"a\",";
    case 3: return std::wstring(100000, L'[');
    case 4: {
      std::wstring list = L"[";
      for (int i = 0; i < 20000; ++i) list += L"\"e" + std::to_wstring(i) + L"\",";
      list += L"\"last\"]";
      return list;
    }
    case 5: return L"{\"not\":\"a list\"}";
    case 6: return L"\"text\"";
    case 7: return L"[\"" + Units({0xD800}) + L"\",\"\\ud800\",\"\\u0000\"]";
    default: return Pick(rng, hostile);
  }
}

// A request packet as an engine builds it, with random keys and values.
std::unique_ptr<GenericPacketW> RandomRequest(Rng& rng, const std::vector<std::wstring>& hostile,
                                              const std::wstring& real_event,
                                              const std::wstring& bogus_event) {
  auto request = std::make_unique<GenericPacketW>();
  request->SetHeader("ODScanRequest", "Start", "engine");
  static const wchar_t* const kExclusionKeys[] = {L"ExcludedExtensions", L"ExcludedPrivateExtensions",
                                                  L"ExcludedDirectories", L"ExcludedFiles"};
  for (const wchar_t* key : kExclusionKeys)
    if (Chance(rng, 40)) request->SetKeyValue(key, ExclusionValue(rng, hostile));
  static const wchar_t* const kHidden[] = {L"1", L"0", L"true", L"false", L"TRUE", L"", L"2", L"-1"};
  if (Chance(rng, 50))
    request->SetKeyValue(L"HiddenScan",
                         Chance(rng, 80) ? kHidden[Below(rng, 8)] : Pick(rng, hostile));
  switch (Below(rng, 4)) {
    case 0: break;  // no "NamedEvent"
    case 1: request->SetKeyValue(L"NamedEvent", real_event); break;
    case 2: request->SetKeyValue(L"NamedEvent", bogus_event); break;
    default: request->SetKeyValue(L"NamedEvent", Pick(rng, hostile)); break;
  }
  static const wchar_t* const kRequesters[] = {L"RequestedByAutoStartMonitor", L"RequestedByUI",
                                               L"RequestedByCommandLineScanner"};
  if (Chance(rng, 50)) {
    // Command-line scans draw on standard output and write report files:
    // kept rare so the run's output stays readable.
    size_t which = Chance(rng, 10) ? 2 : Below(rng, 2);
    request->SetKeyValue(L"ScanRequestedBy", Chance(rng, 85) ? kRequesters[which] : Pick(rng, hostile));
  }
  static const wchar_t* const kPids[] = {L"99", L"-1", L"99999999999999", L"abc", L"", L"0x10"};
  if (Chance(rng, 50)) request->SetKeyValue(L"InvokerPID", kPids[Below(rng, 6)]);
  for (int i = static_cast<int>(Below(rng, 3)); i > 0; --i)
    request->SetKeyValue(Pick(rng, hostile), Pick(rng, hostile));
  return request;
}

void SetByte(bool& field, unsigned char byte) { std::memcpy(&field, &byte, 1); }

// Records with odd flag bytes are filled in place: copying one loads its
// bools, which is undefined for such bytes (the DLL reads them as bytes).
void RandomMetrics(Rng& rng, ScanCountMetrics& m) {
  m = ScanCountMetrics{};
  uint32_t* counters = &m.m_dwScannedCnt;
  for (int i = 0; i < 14; ++i) counters[i] = Chance(rng, 20) ? static_cast<uint32_t>(rng()) : Below(rng, 1000);
  m.m_scanPriority = static_cast<int32_t>(rng());
  m.m_CPULoad = static_cast<int32_t>(rng());
  SetByte(m.m_bRebootRequired, static_cast<unsigned char>(Chance(rng, 70) ? 0 : rng()));
}

void RandomDetection(Rng& rng, const std::vector<std::wstring>& hostile, MalwareInfo& info) {
  for (bool* flag : {&info.m_bReserved, &info.m_bRebootRequired, &info.m_bQuarantined,
                     &info.m_bMailDataFile, &info.m_bManualCleanupRequired, &info.m_bWinAppFile,
                     &info.m_bFileValidationFailed, &info.m_bHiddenFile, &info.m_bHiddenProcess})
    SetByte(*flag, static_cast<unsigned char>(Chance(rng, 50) ? Below(rng, 2) : rng()));
  for (uint32_t* number : {&info.m_dwScanMode, &info.m_dwItemType, &info.m_dwInfectionDataType,
                           &info.m_dwMalwareStatus, &info.m_dwThreatLevel, &info.m_dwMalwareCategoryId,
                           &info.m_dwMalwaresDetected, &info.m_dwSigVerDetection,
                           &info.m_dwDetectionAction, &info.m_dwScore})
    *number = Chance(rng, 70) ? static_cast<uint32_t>(Below(rng, 8)) : static_cast<uint32_t>(rng());
  for (std::wstring* text :
       {&info.m_sReserved1, &info.m_sItemPath, &info.m_sInnerObjectPath, &info.m_sMalwareName,
        &info.m_sMalwareCategory, &info.m_sMalwareURL, &info.m_sAccessingAccount,
        &info.m_sLoggedAccounts, &info.m_sAccessingAssest, &info.m_sDetectionsAdditionalInfo,
        &info.m_sReserved2, &info.m_sDetectionID, &info.m_sObjectFinalPath, &info.m_sQurantineID})
    *text = Chance(rng, 25) ? Pick(rng, hostile) : L"value" + std::to_wstring(Below(rng, 100));
}

// Everything the engine threads draw from, built before they start and
// kept alive until every session is closed: the DLL reads request packets
// in place for a session's whole life.
struct Material {
  std::vector<std::wstring> hostile = HostileTexts();
  std::vector<std::unique_ptr<GenericPacketW>> requests;
  std::vector<MalwareInfo> detections = std::vector<MalwareInfo>(48);
  std::vector<std::wstring> scan_paths;
  alignas(8) uint32_t wrong_marker[64] = {0x12345678u};
  alignas(8) uint32_t forged_marker[64] = {0xABCDDCBAu};
  std::vector<void*> fakes;
};

struct Figures {
  std::atomic<uint64_t> calls{0}, hostile_handles{0}, hostile_records{0}, hostile_requests{0},
      bad_modes{0}, creates{0}, closes{0}, unexpected{0};
};

struct EngineThread {
  Rng rng;
  std::vector<void*> live;  // sessions this thread opened and has not closed
  std::vector<void*> stale;
  std::wstring first_unexpected;
};

void NoteUnexpected(EngineThread& t, Figures& f, const std::wstring& what) {
  f.unexpected++;
  if (t.first_unexpected.empty()) t.first_unexpected = what;
}

enum class HandleKind { kLive, kNull, kFake, kStale };

void* PickHandle(EngineThread& t, const Material& m, Figures& f, HandleKind& kind) {
  int r = static_cast<int>(Below(t.rng, 100));
  if (r < 75 && !t.live.empty()) {
    kind = HandleKind::kLive;
    return t.live[Below(t.rng, t.live.size())];
  }
  f.hostile_handles++;
  if (r < 85) {
    kind = HandleKind::kNull;
    return nullptr;
  }
  if (r < 95 || t.stale.empty()) {
    kind = HandleKind::kFake;
    return m.fakes[Below(t.rng, m.fakes.size())];
  }
  kind = HandleKind::kStale;
  return t.stale[Below(t.rng, t.stale.size())];
}

void OneCall(EngineThread& t, Material& m, Figures& f) {
  const QuorvaneDll& d = TheDll();
  Rng& rng = t.rng;
  f.calls++;
  int op = static_cast<int>(Below(rng, 100));
  if (t.live.empty() ? op < 30 : (op < 4 && t.live.size() < 4)) {
    int mode = Chance(rng, 5) ? (Chance(rng, 50) ? INT_MIN : INT_MAX)
                              : static_cast<int>(Below(rng, 15)) - 2;
    if (mode < 0 || mode > 10) f.bad_modes++;
    const std::wstring& id_text = RandomText(rng, m.hostile);
    const wchar_t* id = Chance(rng, 3) ? nullptr : id_text.c_str();
    GenericPacketW* request = nullptr;
    if (!Chance(rng, 10)) {
      request = m.requests[Below(rng, m.requests.size())].get();
      f.hostile_requests++;
    }
    std::vector<const wchar_t*> paths;
    for (size_t i = Below(rng, 4); i > 0; --i)
      paths.push_back(Chance(rng, 15) ? nullptr : m.scan_paths[Below(rng, m.scan_paths.size())].c_str());
    const wchar_t** path_array = paths.empty() ? nullptr : paths.data();
    uint32_t count = static_cast<uint32_t>(paths.size());
    if (!path_array && Chance(rng, 20)) count = Chance(rng, 50) ? 5 : UINT_MAX;
    void* h = d.create(id, mode, request, path_array, count, reinterpret_cast<void*>(rng()),
                       reinterpret_cast<void*>(rng()));
    bool should_open = id != nullptr && mode <= 10;
    if ((h != nullptr) != should_open)
      NoteUnexpected(t, f, L"Create mode " + std::to_wstring(mode) + (id ? L" with" : L" without") +
                               L" id returned " + (h ? L"a handle" : L"null"));
    if (h) {
      f.creates++;
      t.live.push_back(h);
    }
    return;
  }
  HandleKind kind;
  void* h = PickHandle(t, m, f, kind);
  bool refused_for_sure = kind == HandleKind::kNull || kind == HandleKind::kFake;
  ScanCountMetrics metrics;
  RandomMetrics(rng, metrics);
  const ScanCountMetrics* metrics_arg = Chance(rng, 5) ? nullptr : &metrics;
  int64_t result = 0;
  if (op < 8) {
    result = d.close(h, static_cast<uint32_t>(Chance(rng, 80) ? Below(rng, 6) : rng()), metrics_arg);
    if (kind == HandleKind::kLive && metrics_arg) {
      t.live.erase(std::find(t.live.begin(), t.live.end(), h));
      t.stale.push_back(h);
      f.closes++;
    }
    if (result != 0) NoteUnexpected(t, f, L"Close returned " + std::to_wstring(result));
    return;
  }
  if (op < 30) {
    uint64_t storage[3] = {rng() % (1ull << 40), rng(), rng()};
    void* data = Chance(rng, 5) ? nullptr
                                : reinterpret_cast<char*>(storage) + (Chance(rng, 30) ? 3 : 0);
    static const uint32_t kTypes[] = {0, 0, 0, 1, 2, 0xFFFFFFFFu};
    result = d.pre_scan(h, kTypes[Below(rng, 6)], data);
  } else if (op < 75) {
    std::wstring path = RandomText(rng, m.hostile);
    result = d.item_scan(h, Chance(rng, 3) ? nullptr : path.c_str(), static_cast<uint32_t>(rng() % 6),
                         metrics_arg);
  } else if (op < 85) {
    const MalwareInfo* info = Chance(rng, 5) ? nullptr : &m.detections[Below(rng, m.detections.size())];
    f.hostile_records++;
    result = d.detection(h, info, reinterpret_cast<void*>(rng()), metrics_arg);
  } else if (op < 95) {
    result = d.percentage(h);
    if (result > 99) NoteUnexpected(t, f, L"IncreaseScanPercentage returned " + std::to_wstring(result));
  } else {
    result = d.enumeration_completed(h) ? 1 : 0;
  }
  if (refused_for_sure && result != 0)
    NoteUnexpected(t, f, L"a null or fake handle was accepted, result " + std::to_wstring(result));
}

std::set<std::wstring> ReportFiles(const std::wstring& folder, const std::wstring& pattern) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.insert(folder + data.cFileName);
  while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return names;
}

// The files command-line scans leave behind.
std::set<std::wstring> AllReportFiles() {
  std::set<std::wstring> all = ReportFiles(L"c:\\", L"QuillfeatherScanReport.*.csv");
  std::wstring dbimport = GetStoredDataTempPath();
  if (!dbimport.empty() && dbimport.back() != L'\\') dbimport += L'\\';
  for (const std::wstring& name : ReportFiles(dbimport + L"DBImport\\", L"MalDetect_*.DBImport"))
    all.insert(name);
  return all;
}

}  // namespace

TEST(RandomCalls, FourEngineThreadsWithStartStopUnderneath) {
  const QuorvaneDll& d = TheDll();
  ASSERT_NE(d.module, nullptr);
  const uint64_t seed = testing_support::FaultSeed();
  SCOPED_TRACE(testing_support::SeedNote(seed));
  std::printf("random calls: seed %llu\n", static_cast<unsigned long long>(seed));

  RecordingServer high, low;
  ASSERT_TRUE(high.Create(kChannelServer, kHighQueueName, kHighQueueSize));
  ASSERT_TRUE(low.Create(kChannelServer, kLowQueueName, kLowQueueSize));

  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"a.bin", std::string(3000, 'a')));
  ASSERT_TRUE(dir.WriteFile(L"b.txt", "b"));
  ASSERT_TRUE(::CreateDirectoryW(dir.Sub(L"sub").c_str(), nullptr));
  ASSERT_TRUE(dir.WriteFile(L"sub\\c.exe", std::string(70000, 'c')));

  const std::wstring real_event_name = L"Global\\" + UniqueName(L"QvFaultEvent");
  const std::wstring bogus_event_name = L"Global\\" + UniqueName(L"QvNoSuchEvent");
  UniqueHandle real_event(
      ::CreateEventW(nullptr, TRUE, FALSE, real_event_name.c_str()));
  ASSERT_NE(real_event.get(), nullptr);

  // A first scan opens what lives as long as the process: the log file,
  // caches, COM.
  d.start();
  ASSERT_TRUE(faultenv::ShortScan(L"warm-up", dir.path()));
  d.stop();
  ASSERT_TRUE(high.WaitForCount(1));
  // This executable's own logger (the servers') opens its file now, not
  // within the measurement.
  Log(LOG_ALW, L"random calls: seed %llu", static_cast<unsigned long long>(seed));
  const std::set<std::wstring> reports_before = AllReportFiles();
  const DWORD handles_before = testing_support::HandleCount();


  Material m;
  Rng setup(seed);
  for (int i = 0; i < 48; ++i)
    m.requests.push_back(RandomRequest(setup, m.hostile, real_event_name, bogus_event_name));
  for (MalwareInfo& info : m.detections) RandomDetection(setup, m.hostile, info);
  m.scan_paths = {dir.path(), dir.Sub(L"sub"), dir.Sub(L"missing"), L"", m.hostile[2],
                  dir.path() + L"\\\\.\\..\\"};
  m.fakes = {reinterpret_cast<void*>(1), reinterpret_cast<void*>(~uintptr_t{0}),
             reinterpret_cast<void*>(0xDEADBEEF), reinterpret_cast<void*>(0x10000),
             m.wrong_marker, m.forged_marker, &m, const_cast<char*>("text")};

  Figures f;
  std::atomic<uint64_t> toggles{0}, stalls{0};
  std::atomic<bool> engine_done{false};
  d.start();
  std::thread controller([&] {
    Rng rng(seed ^ 0x5151);
    while (!engine_done.load()) {
      ::Sleep(static_cast<DWORD>(Below(rng, 40)));
      if (Chance(rng, 30)) {
        RecordingServer& server = Chance(rng, 50) ? high : low;
        server.Hold();
        ::Sleep(static_cast<DWORD>(Below(rng, 30)));
        server.Release();
        stalls++;
      } else {
        d.stop();
        ::Sleep(static_cast<DWORD>(Below(rng, 10)));
        d.start();
        toggles++;
      }
    }
  });
  std::vector<EngineThread> engines(kEngineThreads);
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kEngineThreads; ++i) {
    engines[i].rng.seed(seed + 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(i + 1));
    threads.emplace_back([&, i] {
      for (int c = 0; c < kCallsPerThread; ++c) OneCall(engines[i], m, f);
      finished++;
    });
  }
  ULONGLONG deadline = ::GetTickCount64() + kHangBoundMs;
  while (finished.load() < kEngineThreads && ::GetTickCount64() < deadline) ::Sleep(50);
  if (finished.load() < kEngineThreads) {
    std::fprintf(stderr, "random calls hung: %d of %d engine threads done; %s\n", finished.load(),
                 kEngineThreads, testing_support::SeedNote(seed).c_str());
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 3);
  }
  for (auto& t : threads) t.join();
  engine_done = true;
  controller.join();

  // What the engine left open, closed as an engine's shutdown would.
  ScanCountMetrics zero{};
  for (EngineThread& t : engines)
    for (void* h : t.live) d.close(h, 3, &zero);
  // The module still delivers after all that: the probe's progress through
  // the reporter, its conclusion at once.
  {
    LogTail log;
    const std::wstring probe_id = UniqueName(L"probe");
    void* probe = d.create(probe_id.c_str(), 0, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(d.item_scan(probe, L"C:\\probe", 1, &zero), 1);
    d.close(probe, 3, &zero);
    auto arrived = [&](RecordingServer& server, const wchar_t* subtype) {
      for (ULONGLONG until = ::GetTickCount64() + 30000; ::GetTickCount64() < until; ::Sleep(20))
        for (const testing_support::ReceivedRecord& r : server.Records())
          if (r.name == probe_id && testing_support::ParsePacket(r.text).subtype == subtype) return true;
      return false;
    };
    EXPECT_TRUE(arrived(low, L"ScannedItemPacket"));
    EXPECT_TRUE(arrived(high, L"ConcludeScanPacket"));
    EXPECT_TRUE(log.Has(L"QUORVANE Create:: Completed successfully , Activate scanners = 1.",
                        LogTag(LOG_ALW)))
        << "sessions were left open or closed twice";
    EXPECT_TRUE(log.Has(L"QUORVANE Close:: Completed successfully , Activate scanners = 0.",
                        LogTag(LOG_ALW)));
  }
  d.stop();
  const DWORD handles_after = testing_support::HandleCount();

  std::wstring firsts;
  for (const EngineThread& t : engines)
    if (!t.first_unexpected.empty()) firsts += L"\n  " + t.first_unexpected;
  EXPECT_EQ(f.unexpected.load(), 0u) << "first of each thread:" << testing::PrintToString(firsts);
  // Wine makes a critical section's wait event at its first contention and
  // keeps it: one more handle once, whatever the number of calls.
  EXPECT_LE(handles_after, handles_before + 2) << "handles " << handles_before << " -> " << handles_after;
  HANDLE bogus = ::OpenEventW(SYNCHRONIZE, FALSE, bogus_event_name.c_str());
  EXPECT_EQ(bogus, nullptr) << "a named event that was missing was created";
  if (bogus) ::CloseHandle(bogus);

  size_t records = 0, invalid = 0;
  std::map<std::wstring, size_t> subtypes;
  for (RecordingServer* server : {&high, &low}) {
    for (const testing_support::ReceivedRecord& r : server->Records()) {
      ++records;
      testing_support::ParsedPacket packet = testing_support::ParsePacket(r.text);
      subtypes[packet.subtype]++;
      if (!packet.valid) {
        if (invalid++ == 0) ADD_FAILURE() << "not a packet: " << testing::PrintToString(r.text.substr(0, 300));
      }
    }
  }
  EXPECT_EQ(invalid, 0u);
  EXPECT_GT(records, 0u);

  std::wstring breakdown;
  for (const auto& entry : subtypes)
    breakdown += (breakdown.empty() ? L"" : L", ") + std::to_wstring(entry.second) + L" " + entry.first;
  std::printf("random calls: records %ls\n", breakdown.c_str());

  for (const std::wstring& name : AllReportFiles())
    if (reports_before.count(name) == 0) ::DeleteFileW(name.c_str());

  std::printf("random calls: %llu calls (%llu sessions opened, %llu closed by their thread), "
              "%llu hostile handles, %llu detections, %llu request packets, %llu bad modes, "
              "%llu Stop/Start, %llu server stalls, %zu records checked; handles %lu -> %lu\n",
              static_cast<unsigned long long>(f.calls.load()),
              static_cast<unsigned long long>(f.creates.load()),
              static_cast<unsigned long long>(f.closes.load()),
              static_cast<unsigned long long>(f.hostile_handles.load()),
              static_cast<unsigned long long>(f.hostile_records.load()),
              static_cast<unsigned long long>(f.hostile_requests.load()),
              static_cast<unsigned long long>(f.bad_modes.load()),
              static_cast<unsigned long long>(toggles.load()),
              static_cast<unsigned long long>(stalls.load()), records,
              static_cast<unsigned long>(handles_before), static_cast<unsigned long>(handles_after));
  testing_support::ReportFaultFigures(
      "export calls in random order from 4 engine threads (live, stale, fake and null handles, "
      "modes -2..12 and INT_MIN/INT_MAX, hostile records and request packets)",
      f.calls.load(), "calls",
      std::to_string(f.unexpected.load()) + " unexpected results; " + std::to_string(records) +
          " records received, " + std::to_string(invalid) + " not valid JSON; scanners back to 0; handles " +
          std::to_string(handles_before) + " -> " + std::to_string(handles_after));
  testing_support::ReportFaultFigures("Stop/Start of the module and queue-server stalls under the engine threads",
                                      toggles.load() + stalls.load(), "interruptions",
                                      "no crash, no hang; a scan after the last restart delivered its progress and conclusion");
}
