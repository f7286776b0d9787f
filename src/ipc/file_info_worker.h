// Background estimate of the bytes a scan will read: walks the scan paths
// through the exclusion filter on its own thread and publishes the total
// scaled by a per-mode factor. Quick scans start from the size remembered
// from the previous quick scan.
//
// Threads: the session configures the worker, starts its thread, reads the
// estimate and the completed flag, and stops it. The thread's state is shared
// with the thread itself, so destroying the worker never frees what a thread
// that has not ended yet still uses. stop() and destruction are bounded.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scan/scan_enums.h"
#include "scan/scan_exclusions.h"

class FileInfoWorker {
 public:
  // The scan modes that have a worker.
  static constexpr uint32_t kFullScan = static_cast<uint32_t>(ScanMode::FullScan);
  static constexpr uint32_t kCustomScan = static_cast<uint32_t>(ScanMode::CustomScan);
  static constexpr uint32_t kShellScan = static_cast<uint32_t>(ScanMode::ShellScan);
  static constexpr uint32_t kScheduledScan = static_cast<uint32_t>(ScanMode::ScheduledScan);
  static constexpr uint32_t kQuickScan = static_cast<uint32_t>(ScanMode::QuickScan);
  // True for the modes above.
  static bool HasWorker(uint32_t scan_mode);

  // Optional tallies of a walk, for progress observers and benchmarks.
  struct WalkCounters {
    std::atomic<uint64_t> files{0};
    std::atomic<uint64_t> folders{0};
  };

  explicit FileInfoWorker(uint32_t scan_mode);
  // Requests the stop, waits a short bound for the thread, closes its handle.
  ~FileInfoWorker();
  FileInfoWorker(const FileInfoWorker&) = delete;
  FileInfoWorker& operator=(const FileInfoWorker&) = delete;

  // The worker's mutex (non-recursive). Held by Configure and the readers
  // below; a caller may take it inside its own lock, never the reverse.
  std::mutex& mutex();
  // Before StartThread: sets up the exclusion filter and the scan paths under
  // the worker's mutex.
  void Configure(const std::wstring& owner, const ScanExclusions::KeyMap& extensions,
                 const ScanExclusions::KeyMap& directories, const ScanExclusions::KeyMap& files,
                 const ScanExclusions::KeyMap& private_extensions,
                 const std::vector<std::wstring>& paths);
  // Quick scans: the walk runs at above-normal priority.
  void SetPriorityOption(bool on);

  // Starts run() on a thread of its own once; true when the thread runs.
  bool StartThread();
  // The thread's handle (owned by the worker), or null before StartThread.
  HANDLE thread() const { return thread_; }

  // The calculation; runs on the worker's thread (tests call it directly).
  void run();
  // Requests the stop and waits up to `timeout_ms` for the thread. Returns
  // the thread handle (valid until the worker is destroyed), or null.
  HANDLE stop(DWORD timeout_ms);

  bool IsCompleted();
  uint64_t Estimate();
  // Both under one lock.
  void Read(bool* completed, uint64_t* estimate);
  // Entries seen by the current walk so far.
  const WalkCounters& counters() const;

  static DWORD WINAPI ThreadEntry(void* state);

  // Measure a list of paths. `stop` is read between entries; `exclusions`
  // may be null. The Ex form impersonates the logged-on user for paths that
  // are not folders for this account.
  static uint64_t CalculateFilesSize(const std::vector<std::wstring>& paths,
                                     const std::atomic<bool>& stop,
                                     const ScanExclusions* exclusions,
                                     WalkCounters* counters = nullptr);
  static uint64_t CalculateFilesSizeEx(const std::vector<std::wstring>& paths,
                                       const std::atomic<bool>& stop,
                                       const ScanExclusions* exclusions,
                                       WalkCounters* counters = nullptr);

  // Drive root test: without trailing slashes and backslashes, one
  // character or ending in a colon. `root` gets the root's "X:\" form.
  static bool IsDriveRoot(const std::wstring& path, std::wstring* root = nullptr);
  // Factor applied to the measured total (1.0 for modes without one).
  static double ModeFactor(uint32_t scan_mode);
  // total * factor, truncated; saturates instead of overflowing.
  static uint64_t Scale(uint64_t total, double factor);

  struct State;

 private:
  std::shared_ptr<State> state_;
  HANDLE thread_ = nullptr;
};
