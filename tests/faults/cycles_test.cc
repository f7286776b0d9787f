// An engine process lives through many module Start/Stop cycles, each with
// a scan: nothing may be left behind per cycle.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "faults/env_faults.h"
#include "faults/fault_figures.h"
#include "ipc/queue_names.h"
#include "ipc/smipczub.h"
#include "quorvane.h"
#include "support/quorvane_dll.h"
#include "support/test_support.h"

using testing_support::QuorvaneDll;
using testing_support::TempDir;
using testing_support::TheDll;

namespace {

// Drains and forgets, so the process's own footprint stays flat.
class CountingServer : public SMIPCZUB {
 public:
  void OnItemsReceived(std::vector<const ItemHeader*>& items) override { count += items.size(); }
  std::atomic<size_t> count{0};
};

struct Footprint {
  DWORD handles, threads;
  uint64_t committed, heap;
};

Footprint Measure() {
  return {testing_support::HandleCount(), testing_support::ThreadCount(),
          testing_support::CommittedPrivateBytes(), testing_support::HeapBusyBytes()};
}

}  // namespace

TEST(ModuleCycles, StartScanStopCyclesLeaveHandlesThreadsAndMemoryFlat) {
  const QuorvaneDll& d = TheDll();
  ASSERT_NE(d.module, nullptr);
  CountingServer high, low;
  ASSERT_TRUE(high.Create(kChannelServer, kHighQueueName, kHighQueueSize));
  ASSERT_TRUE(low.Create(kChannelServer, kLowQueueName, kLowQueueSize));
  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"f.bin", std::string(500, 'f')));
  auto cycles = [&](int n) {
    for (int i = 0; i < n; ++i) {
      if (d.start() != 1 || !faultenv::ShortScan(L"cycle", dir.path()) || d.stop() != 1) return false;
    }
    return true;
  };
  ASSERT_TRUE(cycles(20));  // the log file, caches, the heap's first growth
  const Footprint before = Measure();
  constexpr int kCycles = 300;
  ASSERT_TRUE(cycles(kCycles));
  const Footprint after = Measure();
  std::printf("%d Start/scan/Stop cycles: handles %lu -> %lu, threads %lu -> %lu, committed private "
              "bytes %llu -> %llu, heap bytes in use %llu -> %llu, %zu records received\n",
              kCycles, static_cast<unsigned long>(before.handles),
              static_cast<unsigned long>(after.handles), static_cast<unsigned long>(before.threads),
              static_cast<unsigned long>(after.threads),
              static_cast<unsigned long long>(before.committed),
              static_cast<unsigned long long>(after.committed),
              static_cast<unsigned long long>(before.heap),
              static_cast<unsigned long long>(after.heap), high.count.load() + low.count.load());
  ASSERT_GT(before.handles, 0u);
  ASSERT_GT(before.threads, 0u);
  EXPECT_LE(after.handles, before.handles + 2);
  EXPECT_LE(after.threads, before.threads);
  // One leaked allocation per cycle would show as 300 times its size.
  EXPECT_LT(after.heap, before.heap + 64 * 1024);
  EXPECT_LT(after.committed, before.committed + 2 * 1024 * 1024);
  EXPECT_GE(high.count.load(), static_cast<size_t>(2 * kCycles)) << "detections and conclusions";
  testing_support::ReportFaultFigures(
      "module Start, scan with a detection, Stop, over and over", kCycles, "cycles",
      "handles " + std::to_string(before.handles) + " -> " + std::to_string(after.handles) +
          ", threads " + std::to_string(before.threads) + " -> " + std::to_string(after.threads) +
          ", heap in use " + std::to_string(before.heap / 1024) + " -> " +
          std::to_string(after.heap / 1024) + " KiB");
}
