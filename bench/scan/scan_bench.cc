// What one item (OnItemPreScan + OnItemScan of a session with a worker, not
// a console scan) costs the engine's thread, through the built DLL, on one
// thread and on four threads of one session at once; beside it the floor
// the design allows: the same progress packet built and copied into a
// bounded deque under a critical section.
// Usage: bench_scan.exe [items per thread and round, default 20000] [rounds, default 5]
// Rounds alternate between the two so that both see the same machine load.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "packets/scan_packets.h"
#include "quorvane.h"

namespace {

struct Dll {
  decltype(&::Create) create;
  decltype(&::OnItemPreScan) pre_scan;
  decltype(&::OnItemScan) item_scan;
  decltype(&::FileEnumerationCompleted) enumeration_completed;
  decltype(&::Close) close;
  decltype(&::Start) start;
  decltype(&::Stop) stop;
};

template <typename T>
bool Resolve(HMODULE module, const char* name, T& out) {
  out = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  return out != nullptr;
}

double TicksToNs(int64_t ticks) {
  static const double ns_per_tick = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return 1e9 / static_cast<double>(f.QuadPart);
  }();
  return static_cast<double>(ticks) * ns_per_tick;
}

int64_t Now() {
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return t.QuadPart;
}

ScanCountMetrics Metrics(uint32_t i) {
  ScanCountMetrics m{};
  m.m_CPULoad = 25;
  m.m_dwScannedCnt = i;
  m.m_dwFilesCnt = i;
  return m;
}

std::wstring ItemPath(int thread, int i) {
  return L"C:\\Users\\someone\\Documents\\Projects\\thread" + std::to_wstring(thread) +
         L"\\folder\\file" + std::to_wstring(i) + L".docx";
}

// The floor: the progress packet and a bounded copy under one lock.
struct Floor {
  CRITICAL_SECTION lock;
  std::deque<GenericPacketW> queue;
  Floor() { ::InitializeCriticalSection(&lock); }
  ~Floor() { ::DeleteCriticalSection(&lock); }
  void Item(const std::wstring& scan_id, const wchar_t* path, uint32_t i, int64_t start) {
    AVScannedItemPacket packet;
    ProgressItem item;
    item.item_path = path;
    item.item_type = 1;
    item.scan_mode = 2;
    item.elapsed_seconds = static_cast<uint32_t>(std::time(nullptr)) - static_cast<uint32_t>(start);
    item.progress = 50;
    ScanCountMetrics m = Metrics(i);
    BuildProgressPacket(packet, scan_id, item, m);
    ::EnterCriticalSection(&lock);
    while (!queue.empty() && queue.size() >= 5) queue.pop_front();
    queue.emplace_back(packet);
    ::LeaveCriticalSection(&lock);
  }
};

void Percentiles(std::vector<double>& samples, double* p50, double* p99) {
  std::sort(samples.begin(), samples.end());
  *p50 = samples[samples.size() / 2];
  *p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

// One round of `threads` threads × `items`: every item timed on its own.
template <typename F>
std::vector<double> Round(int threads, int items, F&& one_item) {
  std::vector<std::vector<double>> per_thread(threads);
  std::vector<std::thread> pool;
  std::vector<std::vector<std::wstring>> paths(threads);
  for (int t = 0; t < threads; ++t)
    for (int i = 0; i < items; ++i) paths[t].push_back(ItemPath(t, i));
  for (int t = 0; t < threads; ++t) {
    per_thread[t].reserve(items);
    pool.emplace_back([&, t] {
      for (int i = 0; i < items; ++i) {
        int64_t a = Now();
        one_item(t, i, paths[t][i].c_str());
        int64_t b = Now();
        per_thread[t].push_back(TicksToNs(b - a));
      }
    });
  }
  for (auto& th : pool) th.join();
  std::vector<double> all;
  for (auto& v : per_thread) all.insert(all.end(), v.begin(), v.end());
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  int items = argc > 1 ? std::atoi(argv[1]) : 20000;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (items < 100) items = 100;
  if (rounds < 1) rounds = 1;

  wchar_t exe[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 1;
  std::wstring dir(exe, n);
  dir = dir.substr(0, dir.find_last_of(L'\\'));
  HMODULE module = ::LoadLibraryW((dir + L"\\Quorvane.dll").c_str());
  Dll d{};
  if (!module || !Resolve(module, "Create", d.create) || !Resolve(module, "OnItemPreScan", d.pre_scan) ||
      !Resolve(module, "OnItemScan", d.item_scan) ||
      !Resolve(module, "FileEnumerationCompleted", d.enumeration_completed) ||
      !Resolve(module, "Close", d.close) || !Resolve(module, "Start", d.start) ||
      !Resolve(module, "Stop", d.stop)) {
    std::fprintf(stderr, "cannot load Quorvane.dll\n");
    return 1;
  }
  d.start();

  // A worker with a known estimate: this executable's folder.
  const wchar_t* paths[1] = {dir.c_str()};
  void* session = d.create(L"BENCH-SCAN-0001", 2, nullptr, paths, 1, nullptr, nullptr);
  if (!session) return 1;
  for (int i = 0; i < 3000 && !d.enumeration_completed(session); ++i) ::Sleep(10);

  const std::wstring scan_id = L"BENCH-SCAN-0001";
  const int64_t start = std::time(nullptr);
  for (int threads : {1, 4}) {
    std::vector<double> item_all, floor_all;
    for (int r = 0; r < rounds; ++r) {
      std::vector<double> a = Round(threads, items, [&](int, int i, const wchar_t* path) {
        uint64_t bytes = 4096;
        ScanCountMetrics m = Metrics(static_cast<uint32_t>(i));
        d.pre_scan(session, 0, &bytes);
        d.item_scan(session, path, 1, &m);
      });
      Floor floor;
      std::vector<double> b = Round(threads, items, [&](int, int i, const wchar_t* path) {
        floor.Item(scan_id, path, static_cast<uint32_t>(i), start);
      });
      item_all.insert(item_all.end(), a.begin(), a.end());
      floor_all.insert(floor_all.end(), b.begin(), b.end());
    }
    double i50, i99, f50, f99;
    Percentiles(item_all, &i50, &i99);
    Percentiles(floor_all, &f50, &f99);
    std::printf("%d thread%s, %zu items: item p50 %.0f ns p99 %.0f ns | floor p50 %.0f ns p99 %.0f ns | "
                "p50 ratio %.2f\n",
                threads, threads == 1 ? "" : "s", item_all.size(), i50, i99, f50, f99, i50 / f50);
    const char* label = threads == 1 ? "1 thread" : "4 threads";
    std::printf("BENCH\tscan item p50, %s (ns)\t%.0f\tpacket + bounded queue p50\t%.0f\t%.2f\n", label,
                i50, f50, i50 / f50);
    std::printf("BENCH\tscan item p99, %s (ns)\t%.0f\tpacket + bounded queue p99\t%.0f\t%.2f\n", label,
                i99, f99, i99 / f99);
  }
  ScanCountMetrics m = Metrics(0);
  d.close(session, 3, &m);
  d.stop();
  return 0;
}
