// The reporter, as the scan path and the product's service see it:
//   - EnqueueLow of a progress packet on one and on four threads, against a
//     plain copy of the same packet (what any hand-over must pay at least);
//   - delivery throughput through the reporter thread to a live server on
//     the low queue, against direct SMIPCZUB writes of the same JSON text to
//     the same server.
// For the throughput the flush settings are raised in the registry (1 ms,
// no dropping of old packets) and put back afterwards; with the defaults the
// reporter sends at most the newest 5 packets per 250 ms by design.
// Usage: bench_reporter.exe [calls per thread and round, default 20000]
//                           [packets per delivery round, default 2000] [rounds, default 4]
// Rounds alternate between each figure and its baseline; each figure is the
// best round (delivery) or a percentile over all rounds (enqueue).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/handle.h"
#include "common/product.h"
#include "ipc/queue_names.h"
#include "ipc/reporter.h"
#include "ipc/smipczub.h"
#include "packets/json.h"
#include "packets/scan_packets.h"

namespace {

int64_t Now() {
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return t.QuadPart;
}

double TicksToNs(int64_t ticks) {
  static const double ns_per_tick = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return 1e9 / static_cast<double>(f.QuadPart);
  }();
  return static_cast<double>(ticks) * ns_per_tick;
}

class CountingServer : public SMIPCZUB {
 public:
  ~CountingServer() override { Disconnect(); }
  void OnItemsReceived(std::vector<const ItemHeader*>& items) override {
    last_ = Now();
    count_ += items.size();
  }
  uint64_t count() const { return count_; }
  int64_t last() const { return last_; }

 private:
  std::atomic<uint64_t> count_{0};
  std::atomic<int64_t> last_{0};
};

class Client : public SMIPCZUB {
 public:
  void OnItemsReceived(std::vector<const ItemHeader*>&) override {}
};

AVScannedItemPacket ProgressPacket() {
  AVScannedItemPacket packet;
  ProgressItem item;
  item.item_path = L"C:\\Users\\someone\\Documents\\Projects\\reports\\2026\\quarterly-summary.docx";
  item.item_type = 1;
  item.scan_mode = 2;
  item.elapsed_seconds = 42;
  item.progress = 37;
  ScanCountMetrics metrics{};
  metrics.m_CPULoad = 25;
  metrics.m_dwScannedCnt = 12345;
  metrics.m_dwFilesCnt = 12345;
  BuildProgressPacket(packet, L"6F1C2B7A-0D9E-4C51-9A3B-5E2F7D8C1A40", item, metrics);
  return packet;
}

// A DWORD under the Anti-Virus key, put back (or removed) when done.
class SettingOverride {
 public:
  SettingOverride(const wchar_t* name, DWORD value) : name_(name) {
    DWORD size = sizeof old_;
    had_ = ::RegGetValueW(HKEY_LOCAL_MACHINE, product::kAntiVirusKey, name, RRF_RT_REG_DWORD,
                          nullptr, &old_, &size) == ERROR_SUCCESS;
    Set(value);
  }
  ~SettingOverride() {
    if (had_) {
      Set(old_);
    } else {
      HKEY key = nullptr;
      if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kAntiVirusKey, 0, KEY_SET_VALUE, &key) ==
          ERROR_SUCCESS) {
        ::RegDeleteValueW(key, name_);
        ::RegCloseKey(key);
      }
    }
  }

 private:
  void Set(DWORD value) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, product::kAntiVirusKey, 0, nullptr, 0,
                          KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
      return;
    ::RegSetValueExW(key, name_, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    ::RegCloseKey(key);
  }
  const wchar_t* name_;
  DWORD old_ = 0;
  bool had_ = false;
};

double Percentile(std::vector<double>& v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1)))];
}

// Per-call times of `threads` threads × `calls` calls of `one`.
template <typename F>
std::vector<double> Timed(int threads, int calls, F&& one) {
  std::vector<std::vector<double>> per_thread(threads);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      per_thread[t].reserve(calls);
      for (int i = 0; i < calls; ++i) {
        int64_t a = Now();
        one();
        per_thread[t].push_back(TicksToNs(Now() - a));
      }
    });
  }
  for (auto& th : pool) th.join();
  std::vector<double> all;
  for (auto& v : per_thread) all.insert(all.end(), v.begin(), v.end());
  return all;
}

// Packets per second from the first hand-over to the server's last batch;
// 0 when not all of them arrived within a bound.
template <typename F>
double Delivery(CountingServer& server, uint64_t packets, F&& send_all, uint64_t* missing) {
  const uint64_t before = server.count();
  const int64_t start = Now();
  send_all();
  uint64_t seen = server.count() - before;
  for (int idle_ms = 0; seen < packets && idle_ms < 5000; idle_ms += 5) {
    uint64_t now_seen = server.count() - before;
    if (now_seen != seen) idle_ms = 0;
    seen = now_seen;
    ::Sleep(5);
  }
  seen = server.count() - before;
  *missing = packets - std::min(packets, seen);
  return static_cast<double>(seen) * 1e9 / TicksToNs(server.last() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 && std::atoi(argv[1]) > 0 ? std::atoi(argv[1]) : 20000;
  const uint64_t packets = argc > 2 && std::atoi(argv[2]) > 0 ? std::atoi(argv[2]) : 2000;
  const int rounds = argc > 3 && std::atoi(argv[3]) > 0 ? std::atoi(argv[3]) : 4;

  CountingServer high, low;
  if (!high.Create(kChannelServer, kHighQueueName, kHighQueueSize) ||
      !low.Create(kChannelServer, kLowQueueName, kLowQueueSize)) {
    std::fprintf(stderr, "cannot serve the queues (another server running?)\n");
    return 1;
  }
  ReporterThread& reporter = ReporterThread::Instance();
  const AVScannedItemPacket packet = ProgressPacket();
  const std::wstring json = GetJDocument(packet);
  std::printf("progress packet: %zu keys, %zu characters of JSON\n", packet.keyvallist.size(),
              json.size());

  // Hand-over cost, with the default settings and the thread flushing.
  reporter.Start();
  for (int threads : {1, 4}) {
    std::vector<double> enqueue, copy;
    for (int r = 0; r < rounds; ++r) {
      std::vector<double> a = Timed(threads, calls, [&] { reporter.EnqueueLow(packet); });
      std::vector<double> b = Timed(threads, calls, [&] {
        GenericPacketW copied(packet);
        asm volatile("" : : "r"(&copied) : "memory");
      });
      enqueue.insert(enqueue.end(), a.begin(), a.end());
      copy.insert(copy.end(), b.begin(), b.end());
    }
    const char* label = threads == 1 ? "1 thread" : "4 threads";
    for (double p : {0.5, 0.99}) {
      double e = Percentile(enqueue, p), c = Percentile(copy, p);
      const char* name = p == 0.5 ? "p50" : "p99";
      std::printf("EnqueueLow %s, %s: %.0f ns, packet copy %.0f ns\n", name, label, e, c);
      std::printf("BENCH\treporter EnqueueLow %s, %s (ns)\t%.0f\tcopy of the same packet %s\t%.0f\t%.2f\n",
                  name, label, e, name, c, e / c);
    }
  }
  reporter.Stop();

  // Delivery throughput: every packet goes out, 1 ms between flushes.
  double best_reporter = 0, best_direct = 0;
  uint64_t lost_reporter = 0, lost_direct = 0;
  {
    SettingOverride interval(L"ReportFlushIntervalMS", 1);
    SettingOverride count(L"ReportFlushCount", 1000000);
    if (!reporter.Start()) {
      std::fprintf(stderr, "reporter did not start\n");
      return 1;
    }
    std::printf("flush interval %u ms, flush count %u\n", reporter.flush_interval(),
                reporter.flush_count());
    Client direct;
    direct.Create(kChannelClient, kLowQueueName, kLowQueueSize);
    auto via_reporter = [&] {
      uint64_t missing = 0;
      double rate = Delivery(low, packets, [&] {
        for (uint64_t i = 0; i < packets; ++i) reporter.EnqueueLow(packet);
      }, &missing);
      lost_reporter += missing;
      best_reporter = std::max(best_reporter, rate);
    };
    auto direct_writes = [&] {
      uint64_t missing = 0;
      double rate = Delivery(low, packets, [&] {
        // From a thread of its own, as the reporter's writes are.
        std::thread writer([&] {
          for (uint64_t i = 0; i < packets; ++i) direct.WriteW(packet.channelid, json, 0);
        });
        writer.join();
      }, &missing);
      lost_direct += missing;
      best_direct = std::max(best_direct, rate);
    };
    // Each goes first in every other round.
    for (int r = 0; r < rounds; ++r) {
      if (r % 2 == 0) {
        via_reporter();
        direct_writes();
      } else {
        direct_writes();
        via_reporter();
      }
    }
    direct.Disconnect();
    reporter.Stop();
  }
  std::printf("delivery, best of %d rounds of %llu: reporter %.0f packets/s (%llu lost), "
              "direct WriteW %.0f records/s (%llu lost)\n",
              rounds, static_cast<unsigned long long>(packets), best_reporter,
              static_cast<unsigned long long>(lost_reporter), best_direct,
              static_cast<unsigned long long>(lost_direct));
  std::printf("BENCH\treporter delivery to a live server, packets/s\t%.0f\tdirect SMIPCZUB WriteW of the same JSON, records/s\t%.0f\t%.2f\n",
              best_reporter, best_direct, best_reporter / best_direct);
  return lost_reporter == 0 ? 0 : 3;
}
