// The product's service dies and comes back while a scan runs: the queue
// servers live in a child process that is killed mid-scan and started anew.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "env_faults.h"
#include "fault_figures.h"
#include "ipc/queue_names.h"
#include "ipc/smipczub.h"
#include "support/quorvane_dll.h"
#include "support/test_support.h"

namespace {

using faultenv::FileRecord;
using faultenv::ReadRecordFile;
using testing_support::ChildProcess;
using testing_support::TempDir;
using testing_support::TheDll;
using testing_support::UniqueName;

// A queue server that appends every record it is handed to a file.
class FileServer : public SMIPCZUB {
 public:
  FileServer(char queue, HANDLE file, CRITICAL_SECTION* lock)
      : queue_(queue), file_(file), lock_(lock) {}
  ~FileServer() override { Disconnect(); }
  void OnItemsReceived(std::vector<const ItemHeader*>& items) override {
    std::string frames;
    for (const ItemHeader* item : items)
      frames += faultenv::FrameOf(queue_, item, queue_layout::kItemHeaderSize + item->size);
    ::EnterCriticalSection(lock_);
    DWORD written = 0;
    ::WriteFile(file_, frames.data(), static_cast<DWORD>(frames.size()), &written, nullptr);
    ::LeaveCriticalSection(lock_);
  }

 private:
  char queue_;
  HANDLE file_;
  CRITICAL_SECTION* lock_;
};

// args: record file, name of the event to set once both queues listen, of
// the event asking it to take both queue mutexes, of the event it sets
// once it holds them.
QV_CHILD_MAIN(restart_queue_server) {
  if (args.size() < 4) return 90;
  HANDLE file = ::CreateFileW(args[0].c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 91;
  // Whether the region outlived the previous server (the module holds it).
  std::string existing;
  for (const wchar_t* queue : {kHighQueueName, kLowQueueName}) {
    HANDLE old = ::OpenFileMappingW(FILE_MAP_READ, FALSE, QueueObjectName(queue).c_str());
    existing += old ? '1' : '0';
    if (old) ::CloseHandle(old);
  }
  faultenv::WriteBytes(args[0] + L".existing", existing);
  CRITICAL_SECTION lock;
  ::InitializeCriticalSection(&lock);
  FileServer high('H', file, &lock), low('L', file, &lock);
  if (!high.Create(kChannelServer, kHighQueueName, kHighQueueSize)) return 92;
  if (!low.Create(kChannelServer, kLowQueueName, kLowQueueSize)) return 93;
  HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, args[1].c_str());
  if (!ready) return 94;
  ::SetEvent(ready);
  ::CloseHandle(ready);
  // Killed by the test long before this ends, holding the mutexes or not.
  HANDLE hold = ::OpenEventW(SYNCHRONIZE, FALSE, args[2].c_str());
  HANDLE held = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, args[3].c_str());
  if (!hold || !held) return 95;
  if (::WaitForSingleObject(hold, 120000) != WAIT_OBJECT_0) return 0;
  for (const wchar_t* queue : {kHighQueueName, kLowQueueName}) {
    HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, QueueMutexName(queue).c_str());
    if (!mutex || ::WaitForSingleObject(mutex, 10000) == WAIT_TIMEOUT) return 96;
  }
  ::SetEvent(held);
  ::Sleep(120000);
  return 0;
}

struct ServerGeneration {
  std::wstring file;
  ChildProcess child;
  HANDLE hold = nullptr, held = nullptr;
  ~ServerGeneration() {
    if (hold) ::CloseHandle(hold);
    if (held) ::CloseHandle(held);
  }
  // The server takes both queue mutexes; true once it holds them.
  bool TakeMutexes() {
    ::SetEvent(hold);
    HANDLE waits[2] = {held, child.process()};
    return ::WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
  }
};

bool StartServer(ServerGeneration& server, const TempDir& dir, int generation) {
  server.file = dir.Sub(L"records" + std::to_wstring(generation) + L".bin");
  std::wstring ready_name = UniqueName(L"QvRestartReady");
  std::wstring hold_name = UniqueName(L"QvRestartHold"), held_name = UniqueName(L"QvRestartHeld");
  server.hold = ::CreateEventW(nullptr, TRUE, FALSE, hold_name.c_str());
  server.held = ::CreateEventW(nullptr, TRUE, FALSE, held_name.c_str());
  HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
  if (!ready || !server.hold || !server.held) {
    if (ready) ::CloseHandle(ready);
    return false;
  }
  bool up = server.child.Start(L"restart_queue_server",
                               {server.file, ready_name, hold_name, held_name});
  if (up) {
    HANDLE waits[2] = {ready, server.child.process()};
    // The child ending first means it could not listen.
    up = ::WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
  }
  ::CloseHandle(ready);
  return up;
}

size_t CountWhere(const std::vector<FileRecord>& records,
                  const std::function<bool(const FileRecord&)>& match) {
  size_t n = 0;
  for (const FileRecord& r : records) n += match(r) ? 1 : 0;
  return n;
}

}  // namespace

TEST(ServiceRestart, KilledServerIsReplacedAndTheScanReachesTheNewOne) {
  const uint64_t seed = testing_support::FaultSeed();
  SCOPED_TRACE(testing_support::SeedNote(seed));
  std::mt19937_64 rng(seed);
  const testing_support::QuorvaneDll& d = TheDll();
  ASSERT_NE(d.module, nullptr);
  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"scan\\f.bin", std::string(2048, 'r')));

  // Started before any service exists: the module has to find the first one too.
  ASSERT_EQ(1, d.start());
  const std::wstring id = UniqueName(L"restart");
  GenericPacketW request;
  const std::wstring scan_path = dir.Sub(L"scan");
  const wchar_t* paths[1] = {scan_path.c_str()};
  void* h = d.create(id.c_str(), 2, &request, paths, 1, nullptr, nullptr);
  ASSERT_NE(h, nullptr);

  faultenv::ScanSender sender(h, L"C:\\restart", 40);
  auto wait_for_calls = [&](uint32_t more) {
    uint32_t target = sender.calls() + more;
    ULONGLONG deadline = ::GetTickCount64() + 30000;
    while (sender.calls() < target && ::GetTickCount64() < deadline) ::Sleep(5);
    return sender.calls() >= target;
  };

  const int kRestarts = 3;
  std::vector<ServerGeneration> servers(kRestarts + 1);
  size_t records_after_restart = 0;
  uint32_t calls_without_server = 0;
  int high_outlived = 0, low_outlived = 0, killed_holding = 0;
  for (int g = 0; g <= kRestarts; ++g) {
    SCOPED_TRACE("server generation " + std::to_string(g));
    ASSERT_TRUE(StartServer(servers[g], dir, g));
    std::string existing;
    testing_support::ReadWholeFile(servers[g].file + L".existing", existing);
    if (g > 0 && existing.size() == 2) {
      high_outlived += existing[0] == '1';
      low_outlived += existing[1] == '1';
    }
    // Written after the server listens: detection (high queue) and
    // progress (low queue) must both reach this generation.
    const std::wstring marker = L"Marker" + std::to_wstring(g);
    ASSERT_TRUE(faultenv::Detect(h, marker, L"C:\\restart\\marker"));
    const uint32_t calls_at_start = sender.calls();
    ASSERT_TRUE(faultenv::WaitForRecords(servers[g].file, [&](const std::vector<FileRecord>& rs) {
      bool detection = false, progress = false;
      for (const FileRecord& r : rs) {
        detection |= r.queue == 'H' && r.packet.Get(L"MalwareName") == marker;
        progress |= r.queue == 'L' && r.packet.subtype == L"ScannedItemPacket";
      }
      return detection && progress;
    })) << "generation " << g << " got no detection and progress records";
    ASSERT_TRUE(wait_for_calls(20)) << "calls stalled, " << sender.calls() - calls_at_start << " made";
    if (g == kRestarts) break;

    ::Sleep(std::uniform_int_distribution<DWORD>(0, 300)(rng));
    // The first kill always, later ones by the seed, with the queue mutexes
    // held: the module's next waits find them abandoned.
    if (g == 0 || rng() % 2 == 0) {
      ASSERT_TRUE(servers[g].TakeMutexes()) << "the server could not take the queue mutexes";
      ++killed_holding;
    }
    ASSERT_TRUE(::TerminateProcess(servers[g].child.process(), 9));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(servers[g].child.process(), 10000));
    // No server at all now: calls go on, none fails, none hangs.
    const uint32_t before = sender.calls();
    ASSERT_TRUE(faultenv::Detect(h, L"Unheard" + std::to_wstring(g), L"C:\\restart\\gap"));
    ASSERT_TRUE(wait_for_calls(std::uniform_int_distribution<uint32_t>(20, 200)(rng)))
        << "calls stalled while no server existed";
    calls_without_server += sender.calls() - before;
  }

  sender.Stop();
  EXPECT_EQ(0u, sender.failures());
  const uint32_t total_calls = sender.calls();
  ScanCountMetrics m = faultenv::Metrics(total_calls);
  EXPECT_EQ(0, d.close(h, 3, &m));
  const std::wstring& last = servers[kRestarts].file;
  EXPECT_TRUE(faultenv::WaitForRecords(last, [&](const std::vector<FileRecord>& rs) {
    return CountWhere(rs, [&](const FileRecord& r) {
             return r.queue == 'H' && r.packet.subtype == L"ConcludeScanPacket";
           }) == 1;
  })) << "the conclusion did not reach the last server";
  EXPECT_EQ(1, d.stop());
  servers[kRestarts].child.Kill();

  size_t total = 0, gap_records = 0;
  for (int g = 0; g <= kRestarts; ++g) {
    std::vector<FileRecord> records = ReadRecordFile(servers[g].file);
    total += records.size();
    if (g > 0) records_after_restart += records.size();
    for (const FileRecord& r : records) {
      EXPECT_TRUE(r.packet.valid) << "generation " << g << ": not a packet: "
                                  << std::string(r.text.begin(), r.text.end()).substr(0, 200);
      EXPECT_EQ(id, r.name) << "generation " << g;
      EXPECT_EQ(id, r.packet.channelid) << "generation " << g;
      if (r.packet.Get(L"MalwareName").find(L"Unheard") != std::wstring::npos) ++gap_records;
    }
  }
  testing_support::ReportFaultFigures(
      "queue service killed and restarted during a scan (" + std::to_string(killed_holding) +
          " of the kills with both queue mutexes held)",
      kRestarts, "restarts",
      "module kept working (" + std::to_string(total_calls) + " item calls, " +
          std::to_string(calls_without_server) + " of them with no server, none failed); " +
          std::to_string(records_after_restart) +
          " records reached the restarted servers (the old region was still held by the module "
          "at " + std::to_string(low_outlived) + " restarts for the low queue, " +
          std::to_string(high_outlived) + " for the high queue), all valid JSON of the scan, conclusion included; " +
          std::to_string(gap_records) + " of the detections written while no server listened arrived");
}
