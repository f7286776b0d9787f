// Queue throughput and one-shot delivery latency against a live server in
// this process, with the bare Win32 calls of one WriteOnce as the floor.
//   bench_queue [records-per-run] [latency-samples]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/handle.h"
#include "common/security.h"
#include "ipc/queue_names.h"
#include "ipc/smipczub.h"
#include "packets/write_once.h"

namespace {

double Ticks() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

class BenchServer : public SMIPCZUB {
 public:
  BenchServer() : delivered_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~BenchServer() override { Disconnect(); }
  void OnItemsReceived(std::vector<const ItemHeader*>& items) override {
    last_us_ = Ticks();
    count_ += items.size();
    ::SetEvent(delivered_.get());
  }
  uint64_t count() const { return count_; }
  double last_us() const { return last_us_; }
  HANDLE delivered() const { return delivered_.get(); }

 private:
  std::atomic<uint64_t> count_{0};
  std::atomic<double> last_us_{0};
  UniqueHandle delivered_;
};

class Client : public SMIPCZUB {
 public:
  void OnItemsReceived(std::vector<const ItemHeader*>&) override {}
};

std::wstring Name(const wchar_t* what) {
  return std::wstring(L"qvbench_") + what + L"_" + std::to_wstring(::GetCurrentProcessId());
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// Records per second from `threads` writers, each on its own channel, of
// 2 KB payloads (1023 characters and the NUL) to a live server.
double Throughput(int threads, uint64_t records, uint64_t* refusals) {
  const std::wstring queue = Name(L"tp") + L"_" + std::to_wstring(threads);
  BenchServer server;
  if (!server.Create(kChannelServer, queue, kLowQueueSize)) return 0;
  const std::wstring text(1023, L'r');
  std::atomic<uint64_t> refused{0};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&, t] {
      Client client;
      client.Create(kChannelClient, queue, kLowQueueSize);
      const uint64_t mine = records / threads + (static_cast<uint64_t>(t) < records % threads);
      ++ready;
      while (!go) ::Sleep(0);
      for (uint64_t i = 0; i < mine;) {
        bool no_room = false;
        if (client.Write(L"bench", text.c_str(), (text.size() + 1) * 2, &no_room)) {
          ++i;
        } else {
          ++refused;
          ::Sleep(0);
        }
      }
      client.Disconnect();
    });
  }
  while (ready < threads) ::Sleep(1);
  const double start = Ticks();
  go = true;
  for (auto& w : writers) w.join();
  while (server.count() < records) ::WaitForSingleObject(server.delivered(), 100);
  const double elapsed = server.last_us() - start;
  *refusals = refused;
  return static_cast<double>(records) * 1e6 / elapsed;
}

GenericPacketW DetectionPacket() {
  GenericPacketW packet;
  packet.SetHeader("ODAVScanner", "MalwareDetectPacket", "{6F1C2B7A-0D9E-4C51-9A3B-5E2F7D8C1A40}");
  packet.SetKeyValue(L"MalwareName", L"EICAR-Test-File");
  packet.SetKeyValue(L"Path", L"C:\\Users\\user\\Downloads\\eicar.com");
  packet.SetKeyValue(L"Priority", L"high");
  packet.SetKeyValueInt(L"Score", 75);
  return packet;
}

void Latency(int samples) {
  const std::wstring queue = Name(L"once");
  BenchServer server;
  if (!server.Create(kChannelServer, queue, kHighQueueSize)) return;
  const GenericPacketW packet = DetectionPacket();
  std::vector<double> to_delivery, call;
  for (int i = -20; i < samples; ++i) {
    const uint64_t before = server.count();
    ::ResetEvent(server.delivered());
    const double start = Ticks();
    if (!WriteOnce(packet, queue, kHighQueueSize, L"{6F1C2B7A-0D9E-4C51-9A3B-5E2F7D8C1A40}")) {
      std::printf("WriteOnce failed\n");
      return;
    }
    const double returned = Ticks();
    while (server.count() == before) ::WaitForSingleObject(server.delivered(), 1000);
    if (i < 0) continue;  // warm-up
    call.push_back(returned - start);
    to_delivery.push_back(server.last_us() - start);
  }
  std::printf("WriteOnce call          p50 %8.1f us   p99 %8.1f us\n", Percentile(call, 0.5),
              Percentile(call, 0.99));
  std::printf("WriteOnce to delivery   p50 %8.1f us   p99 %8.1f us\n",
              Percentile(to_delivery, 0.5), Percentile(to_delivery, 0.99));

  // The floor: the kernel calls one WriteOnce makes, on objects that no
  // server watches (the mutex wait and release listed apart).
  const std::wstring floor = Name(L"floor");
  SECURITY_ATTRIBUTES* sa = GetOpenSecurityAttributes();
  UniqueHandle mutex(::CreateMutexW(sa, FALSE, QueueMutexName(floor).c_str()));
  UniqueHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, sa, PAGE_READWRITE, 0,
                                            static_cast<DWORD>(kHighQueueSize),
                                            QueueObjectName(floor).c_str()));
  UniqueHandle event(::CreateEventW(sa, FALSE, FALSE, QueueDataSignalName(floor).c_str()));
  std::vector<double> bare, lock;
  for (int i = -20; i < samples; ++i) {
    const double start = Ticks();
    HANDLE m = ::CreateMutexW(sa, FALSE, QueueMutexName(floor).c_str());
    HANDLE f = ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE,
                                  QueueObjectName(floor).c_str());
    void* view = ::MapViewOfFile(f, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kHighQueueSize);
    ::UnmapViewOfFile(view);
    ::CloseHandle(f);
    HANDLE e = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, QueueDataSignalName(floor).c_str());
    ::SetEvent(e);
    ::CloseHandle(e);
    ::CloseHandle(m);
    const double middle = Ticks();
    ::WaitForSingleObject(mutex.get(), INFINITE);
    ::ReleaseMutex(mutex.get());
    const double end = Ticks();
    ::WaitForSingleObject(event.get(), 0);
    if (i < 0) continue;
    bare.push_back(middle - start);
    lock.push_back(end - middle);
  }
  const double floor50 = Percentile(bare, 0.5), floor99 = Percentile(bare, 0.99);
  std::printf("floor: open mutex/mapping, map, unmap, open+set event, closes\n");
  std::printf("                        p50 %8.1f us   p99 %8.1f us\n", floor50, floor99);
  std::printf("floor: mutex wait+release p50 %6.1f us   p99 %8.1f us\n", Percentile(lock, 0.5),
              Percentile(lock, 0.99));
  std::printf("ratio WriteOnce call / floor (p50)  %.2f\n", Percentile(call, 0.5) / floor50);
  std::printf("ratio to delivery / floor (p50)     %.2f\n", Percentile(to_delivery, 0.5) / floor50);
  const double call50 = Percentile(call, 0.5), deliver50 = Percentile(to_delivery, 0.5);
  const double deliver99 = Percentile(to_delivery, 0.99);
  std::printf("BENCH\tWriteOnce to delivery p50 (us)\t%.0f\tbare Win32 calls of one WriteOnce p50 (us)\t%.0f\t%.2f\n",
              deliver50, floor50, deliver50 / floor50);
  std::printf("BENCH\tWriteOnce to delivery p99 (us)\t%.0f\tbare Win32 calls of one WriteOnce p99 (us)\t%.0f\t%.2f\n",
              deliver99, floor99, deliver99 / floor99);
  std::printf("BENCH\tWriteOnce call p50 (us)\t%.0f\tbare Win32 calls of one WriteOnce p50 (us)\t%.0f\t%.2f\n",
              call50, floor50, call50 / floor50);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
  const int samples = argc > 2 ? std::atoi(argv[2]) : 500;
  std::printf("queue size %llu, payload 2048 bytes, %llu records per run\n",
              static_cast<unsigned long long>(kLowQueueSize),
              static_cast<unsigned long long>(records));
  double one = 0;
  for (int threads : {1, 4}) {
    uint64_t refusals = 0;
    const double rate = Throughput(threads, records, &refusals);
    if (threads == 1) {
      one = rate;
      std::printf("BENCH\tqueue records/s, 1 writer thread, 2 KB\t%.0f\n", rate);
    } else {
      std::printf("BENCH\tqueue records/s, %d writer threads, 2 KB\t%.0f\t1 writer thread\t%.0f\t%.2f\n",
                  threads, rate, one, rate / one);
    }
    std::printf("%d writer thread%s  %9.0f records/s  %7.1f MB/s  (%llu refusals retried)%s\n",
                threads, threads == 1 ? " " : "s", rate, rate * 2132 / 1e6,
                static_cast<unsigned long long>(refusals),
                threads == 1 ? "" : ("  x" + std::to_string(rate / one).substr(0, 4)).c_str());
  }
  Latency(samples);
  return 0;
}
