// A hostile process writes garbage into both queue regions, with and
// without their mutex, while the module writes real records; the real
// server end in this process must neither read out of bounds nor hang,
// and must deliver the module's records again once the garbage stops.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "env_faults.h"
#include "fault_figures.h"
#include "ipc/queue_names.h"
#include "ipc/smipczub.h"
#include "support/log_tail.h"
#include "support/queue_server.h"
#include "support/quorvane_dll.h"
#include "support/test_support.h"

namespace {

using testing_support::ChildProcess;
using testing_support::LogTail;
using testing_support::ParsedPacket;
using testing_support::ParsePacket;
using testing_support::ReceivedRecord;
using testing_support::RecordingServer;
using testing_support::TheDll;
using testing_support::UniqueName;

struct HostileQueue {
  std::wstring name;
  uint64_t size = 0;
  HANDLE mapping = nullptr;
  HANDLE mutex = nullptr;
  uint8_t* view = nullptr;
};

enum HostileOp {
  kRandomHeader,
  kUsedBytesOutOfBounds,
  kSizeZero,
  kSizeNear2To64,
  kRecordPastUsedBytes,
  kWrongFlag,
  kForgedValid,
  kRandomBytes,
  kHugeItemCount,
  kAppendCorrupt,
  kOpCount,
};

void PutHeader(uint8_t* region, uint64_t count, uint64_t used) {
  QueueHeader header{count, used};
  std::memcpy(region, &header, sizeof header);
}

void PutRecord(uint8_t* at, uint32_t flag, uint64_t size) {
  ItemHeader item = queue_layout::MakeItemHeader(L"hostile", size);
  item.flag = flag;
  std::memcpy(at, &item, sizeof item);
}

// One corruption of `q`'s region; returns the number of forged records that
// are well-formed (and so rightly delivered).
int Corrupt(HostileQueue& q, HostileOp op, std::mt19937_64& rng) {
  uint8_t* r = q.view;
  const uint64_t S = q.size;
  const uint64_t kFlag = queue_layout::kItemFlag;
  auto pick = [&](std::initializer_list<uint64_t> values) {
    return *(values.begin() + rng() % values.size());
  };
  switch (op) {
    case kRandomHeader:
      PutHeader(r, rng(), rng());
      return 0;
    case kUsedBytesOutOfBounds:
      PutHeader(r, 1 + rng() % 4,
                pick({0, 15, S - 1, S, S + 1, S + 84, ~0ull, ~0ull - 83, 1ull << 63}));
      return 0;
    case kSizeZero:
      PutRecord(r + 16, static_cast<uint32_t>(kFlag), 0);
      PutHeader(r, 1, 16 + 84 + 8);
      return 0;
    case kSizeNear2To64:
      PutRecord(r + 16, static_cast<uint32_t>(kFlag),
                pick({~0ull, ~0ull - 83, ~0ull - 15, 1ull << 63, S, S - 16 - 84 - 1}));
      PutHeader(r, 1 + rng() % 3, 16 + 84 + 16);
      return 0;
    case kRecordPastUsedBytes: {
      const uint64_t used = 16 + 84 + 10 + 84 + 40;
      PutRecord(r + 16, static_cast<uint32_t>(kFlag), 10);
      PutRecord(r + 16 + 84 + 10, static_cast<uint32_t>(kFlag), 40 + 1 + rng() % 3);
      PutHeader(r, 2, used);
      return 0;
    }
    case kWrongFlag: {
      uint32_t flag = static_cast<uint32_t>(rng());
      if (flag == kFlag) flag ^= 1;
      PutRecord(r + 16, flag, 8);
      PutHeader(r, 1, 16 + 84 + 8);
      return 0;
    }
    case kForgedValid: {
      int n = 1 + static_cast<int>(rng() % 4);
      uint64_t at = 16;
      for (int i = 0; i < n; ++i) {
        uint64_t size = 2 + rng() % 60;
        PutRecord(r + at, static_cast<uint32_t>(kFlag), size);
        for (uint64_t b = 0; b < size; ++b) r[at + 84 + b] = static_cast<uint8_t>(rng());
        at += 84 + size;
      }
      PutHeader(r, static_cast<uint64_t>(n), at);
      return n;
    }
    case kRandomBytes: {
      uint64_t length = 1 + rng() % 512;
      uint64_t offset = rng() % (S - length);
      if (rng() % 4 == 0) offset = 0;  // the header too
      for (uint64_t b = 0; b < length; ++b) r[offset + b] = static_cast<uint8_t>(rng());
      return 0;
    }
    case kHugeItemCount: {
      QueueHeader header;
      std::memcpy(&header, r, sizeof header);
      PutHeader(r, (1ull << 63) + (rng() % 1000), header.usedBytes);
      return 0;
    }
    case kAppendCorrupt: {
      // After whatever real records are there: the batch holding them is lost.
      QueueHeader header;
      std::memcpy(&header, r, sizeof header);
      if (header.usedBytes < 16 || header.usedBytes > S - 2 - 84 - 16) return 0;
      if (rng() % 2) {
        PutRecord(r + header.usedBytes, 0x0BADF00Du, 16);
      } else {
        PutRecord(r + header.usedBytes, static_cast<uint32_t>(kFlag), S);
      }
      PutHeader(r, header.itemCount + 1, header.usedBytes + 84 + 16);
      return 0;
    }
    default:
      return 0;
  }
}

void Signal(const HostileQueue& q) {
  HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, QueueDataSignalName(q.name).c_str());
  if (event) {
    ::SetEvent(event);
    ::CloseHandle(event);
  }
}

bool Taken(DWORD wait) { return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED; }

// args: seed, number of operations, file for the count of well-formed forged records.
QV_CHILD_MAIN(hostile_queue_writer) {
  if (args.size() < 3) return 90;
  std::mt19937_64 rng(std::stoull(args[0]));
  const int ops = std::stoi(args[1]);
  HostileQueue queues[2];
  queues[0].name = kHighQueueName;
  queues[0].size = kHighQueueSize;
  queues[1].name = kLowQueueName;
  queues[1].size = kLowQueueSize;
  for (HostileQueue& q : queues) {
    q.mapping = ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE,
                                   QueueObjectName(q.name).c_str());
    if (!q.mapping) return 91;
    q.view = static_cast<uint8_t*>(
        ::MapViewOfFile(q.mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, q.size));
    if (!q.view) return 92;
    q.mutex = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, QueueMutexName(q.name).c_str());
    if (!q.mutex) return 93;
  }
  int forged = 0;
  for (int i = 0; i < ops; ++i) {
    HostileQueue& q = queues[rng() % 2];
    const bool locked = rng() % 2 == 0 && Taken(::WaitForSingleObject(q.mutex, 2000));
    if (locked && rng() % 400 == 0) {
      // Writers and the server wait meanwhile, within their bounds.
      ::Sleep(100 + static_cast<DWORD>(rng() % 400));
    }
    forged += Corrupt(q, static_cast<HostileOp>(rng() % kOpCount), rng);
    if (locked) ::ReleaseMutex(q.mutex);
    if (rng() % 10 < 7) Signal(q);
    ::Sleep(static_cast<DWORD>(rng() % 3));
  }
  // How the garbage ends: a region left full and unsignalled, or the
  // process gone while owning both mutexes (abandoned).
  switch (rng() % 3) {
    case 0:
      for (HostileQueue& q : queues) PutHeader(q.view, 3, q.size - 2);
      break;
    case 1:
      faultenv::WriteBytes(args[2], std::to_string(forged));
      for (HostileQueue& q : queues) ::WaitForSingleObject(q.mutex, 2000);
      ::ExitProcess(0);
    default:
      break;
  }
  faultenv::WriteBytes(args[2], std::to_string(forged));
  return 0;
}

std::vector<ParsedPacket> PacketsOf(RecordingServer& server, const std::wstring& id) {
  std::vector<ParsedPacket> out;
  for (const ReceivedRecord& r : server.Records())
    if (r.name == id) out.push_back(ParsePacket(r.text));
  return out;
}

// Sends probes until one arrives intact; returns how many it took (0: none did).
int ProbeUntilDelivered(RecordingServer& server, const std::wstring& id, const std::wstring& key,
                        const std::function<std::wstring(int)>& send) {
  for (int attempt = 1; attempt <= 3; ++attempt) {
    const std::wstring value = send(attempt);
    ULONGLONG deadline = ::GetTickCount64() + 5000;
    while (::GetTickCount64() < deadline) {
      for (const ParsedPacket& p : PacketsOf(server, id))
        if (p.valid && p.channelid == id && p.Get(key) == value) return attempt;
      ::Sleep(10);
    }
  }
  return 0;
}

}  // namespace

TEST(HostileWriter, GarbageInTheRegionsNeverBreaksTheServerAndTheQueuesRecover) {
  const uint64_t seed = testing_support::FaultSeed();
  SCOPED_TRACE(testing_support::SeedNote(seed));
  const testing_support::QuorvaneDll& d = TheDll();
  ASSERT_NE(d.module, nullptr);
  RecordingServer high, low;
  ASSERT_TRUE(high.Create(kChannelServer, kHighQueueName, kHighQueueSize));
  ASSERT_TRUE(low.Create(kChannelServer, kLowQueueName, kLowQueueSize));
  LogTail log;
  ASSERT_EQ(1, d.start());
  const std::wstring id = UniqueName(L"hostile");
  void* h = d.create(id.c_str(), 2, nullptr, nullptr, 0, nullptr, nullptr);
  ASSERT_NE(h, nullptr);

  faultenv::ScanSender sender(h, L"C:\\hostile", 10);
  const int kOps = 2500;
  testing_support::TempDir dir;
  ChildProcess hostile;
  ASSERT_TRUE(hostile.Start(L"hostile_queue_writer",
                            {std::to_wstring(seed), std::to_wstring(kOps), dir.Sub(L"forged.txt")}));
  const int code = hostile.Wait(120000);
  sender.Stop();
  ASSERT_EQ(0, code) << "the hostile writer itself failed";
  std::string forged;
  testing_support::ReadWholeFile(dir.Sub(L"forged.txt"), forged);
  EXPECT_EQ(0u, sender.failures());
  const size_t dropped = testing_support::CountLogLines(log, LOG_ERROR, L"SMIPCZUB::Read: NULL Item Property.");
  const size_t delivered = high.Count() + low.Count();

  // The garbage has stopped: the next cycle empties each region, and the
  // module's records arrive intact again (a probe written onto leftover
  // garbage goes down with it, the one after it may not).
  const int detection_probes = ProbeUntilDelivered(high, id, L"MalwareName", [&](int attempt) {
    std::wstring marker = L"Recovered" + std::to_wstring(attempt);
    faultenv::Detect(h, marker, L"C:\\hostile\\marker");
    return marker;
  });
  EXPECT_GE(detection_probes, 1) << "no detection arrived after the hostile writer stopped";
  EXPECT_LE(detection_probes, 2);
  const int progress_probes = ProbeUntilDelivered(low, id, L"ItemPath", [&](int attempt) {
    std::wstring path = L"C:\\hostile\\after" + std::to_wstring(attempt);
    faultenv::ScanItem(h, path, 1);
    return path;
  });
  EXPECT_GE(progress_probes, 1) << "no progress packet arrived after the hostile writer stopped";
  EXPECT_LE(progress_probes, 2);

  ScanCountMetrics m = faultenv::Metrics(sender.calls());
  EXPECT_EQ(0, d.close(h, 3, &m));
  bool concluded = false;
  ULONGLONG deadline = ::GetTickCount64() + 10000;
  while (!concluded && ::GetTickCount64() < deadline) {
    for (const ParsedPacket& p : PacketsOf(high, id))
      concluded |= p.valid && p.subtype == L"ConcludeScanPacket";
    if (!concluded) ::Sleep(10);
  }
  EXPECT_TRUE(concluded);
  EXPECT_EQ(1, d.stop());

  testing_support::ReportFaultFigures(
      "hostile process corrupting both queue regions (with and without the mutex)", kOps,
      "corruptions",
      "server (checked build) never crashed, trapped or hung; " + std::to_string(dropped) +
          " corrupt batches dropped, " + std::to_string(delivered) + " records delivered (" +
          forged +
          " forged well-formed); after it stopped a detection arrived intact at probe " +
          std::to_string(detection_probes) + " and a progress packet at probe " +
          std::to_string(progress_probes) + "; module calls " + std::to_string(sender.calls()) +
          ", none failed");
}

namespace {

// args: name of an event to set once both squatted regions exist, name of
// an event that ends the squat. Holds both queue names with 4 KiB regions;
// exit code 97 when anything was written into them.
QV_CHILD_MAIN(queue_squatter) {
  if (args.size() < 2) return 90;
  HANDLE regions[2] = {};
  const wchar_t* queues[2] = {kHighQueueName, kLowQueueName};
  for (int i = 0; i < 2; ++i) {
    regions[i] = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                      QueueObjectName(queues[i]).c_str());
    if (!regions[i] || ::GetLastError() == ERROR_ALREADY_EXISTS) return 91;
  }
  HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, args[0].c_str());
  HANDLE done = ::OpenEventW(SYNCHRONIZE, FALSE, args[1].c_str());
  if (!ready || !done) return 92;
  ::SetEvent(ready);
  ::WaitForSingleObject(done, 60000);
  for (HANDLE region : regions) {
    const uint8_t* view = static_cast<const uint8_t*>(::MapViewOfFile(region, FILE_MAP_READ, 0, 0, 4096));
    if (!view) return 98;
    for (int i = 0; i < 4096; ++i)
      if (view[i] != 0) return 97;
    ::UnmapViewOfFile(view);
  }
  return 0;
}

}  // namespace

TEST(HostileWriter, SquatterWithTooSmallRegionsThenTheRealServer) {
  const testing_support::QuorvaneDll& d = TheDll();
  ASSERT_NE(d.module, nullptr);
  const std::wstring ready_name = UniqueName(L"QvSquatReady"), done_name = UniqueName(L"QvSquatDone");
  HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
  HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, done_name.c_str());
  ASSERT_TRUE(ready && done);
  ChildProcess squatter;
  ASSERT_TRUE(squatter.Start(L"queue_squatter", {ready_name, done_name}));
  HANDLE waits[2] = {ready, squatter.process()};
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(2, waits, FALSE, 30000));

  // Regions smaller than the queue size: no view, no write, no crash.
  LogTail log;
  ASSERT_EQ(1, d.start());
  const std::wstring id = UniqueName(L"squat");
  void* h = d.create(id.c_str(), 2, nullptr, nullptr, 0, nullptr, nullptr);
  ASSERT_NE(h, nullptr);
  const int kSquattedCalls = 200;
  for (int i = 0; i < kSquattedCalls; ++i) {
    EXPECT_TRUE(faultenv::ScanItem(h, L"C:\\squat\\item" + std::to_wstring(i), i));
    if (i % 50 == 0) {
      EXPECT_TRUE(faultenv::Detect(h, L"Squatted", L"C:\\squat\\d"));
    }
    ::Sleep(2);
  }
  // Only a figure: the shared log may rotate meanwhile.
  const size_t refused = testing_support::CountLogLines(log, LOG_ERROR,
                                                        L"Could not map view of file , Queue name : ");

  ::SetEvent(done);
  EXPECT_EQ(0, squatter.Wait(30000)) << "97: the module wrote into a region smaller than its queue";
  ::CloseHandle(ready);
  ::CloseHandle(done);
  RecordingServer high, low;
  ASSERT_TRUE(high.Create(kChannelServer, kHighQueueName, kHighQueueSize));
  ASSERT_TRUE(low.Create(kChannelServer, kLowQueueName, kLowQueueSize));
  const int detection_probes = ProbeUntilDelivered(high, id, L"MalwareName", [&](int attempt) {
    std::wstring marker = L"AfterSquat" + std::to_wstring(attempt);
    faultenv::Detect(h, marker, L"C:\\squat\\marker");
    return marker;
  });
  EXPECT_EQ(1, detection_probes) << "the real server got no detection";
  const int progress_probes = ProbeUntilDelivered(low, id, L"ItemPath", [&](int attempt) {
    std::wstring path = L"C:\\squat\\after" + std::to_wstring(attempt);
    faultenv::ScanItem(h, path, 1);
    return path;
  });
  EXPECT_EQ(1, progress_probes) << "the reporter never reached the real server";
  ScanCountMetrics m = faultenv::Metrics(kSquattedCalls);
  EXPECT_EQ(0, d.close(h, 3, &m));
  EXPECT_EQ(1, d.stop());
  testing_support::ReportFaultFigures(
      "another process squatting both queue names with 4 KiB regions", kSquattedCalls,
      "item calls",
      "none failed or crashed, nothing written into the small regions (" +
          std::to_string(refused) + " views refused in the log); once it left, the real server got the next detection and progress "
          "packet");
}
