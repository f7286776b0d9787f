#include "ipc/file_info_worker.h"

#include <algorithm>
#include <limits>

#include "common/ex_common.h"
#include "common/handle.h"
#include "common/impersonate.h"
#include "common/log.h"
#include "common/product.h"
#include "common/reg.h"

struct FileInfoWorker::State {
  bool completed = false;                   // guarded by mutex
  std::atomic<bool> stop_requested{false};  // set under mutex; the walk reads it directly
  uint32_t scan_mode = 0;
  uint64_t estimate = 0;                    // guarded by mutex
  std::vector<std::wstring> paths;          // guarded by mutex
  std::mutex mutex;
  ScanExclusions exclusions;                // read-only once the thread runs
  bool priority = false;                    // guarded by mutex
  WalkCounters counters;
};

namespace {

constexpr wchar_t kLastQuickScanSize[] = L"LastQuickScanSizeBytes";
// The session has already waited for the thread; this only covers a walk
// blocked inside one file-system call, which then ends on its own.
constexpr DWORD kDestroyWaitMs = 1000;

std::wstring TrimTrailingSlashes(const std::wstring& path) {
  size_t end = path.find_last_not_of(L"\\/");
  return end == std::wstring::npos ? std::wstring() : path.substr(0, end + 1);
}

// Paths past MAX_PATH need the \\?\ form, which takes backslashes only.
std::wstring ForSystem(const std::wstring& path) {
  if (path.size() < MAX_PATH - 12) return path;
  std::wstring p = path;
  std::replace(p.begin(), p.end(), L'/', L'\\');
  if (p.size() >= 3 && p[1] == L':' && p[2] == L'\\') return L"\\\\?\\" + p;
  if (p.compare(0, 2, L"\\\\") == 0 && p.compare(0, 4, L"\\\\?\\") != 0 &&
      p.compare(0, 4, L"\\\\.\\") != 0)
    return L"\\\\?\\UNC\\" + p.substr(2);
  return p;
}

uint64_t UsedSpace(const std::wstring& root) {
  ULARGE_INTEGER available{}, total{}, free{};
  if (!::GetDiskFreeSpaceExW(root.c_str(), &available, &total, &free)) return 0;
  return total.QuadPart >= free.QuadPart ? total.QuadPart - free.QuadPart : 0;
}

uint64_t SizeOf(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

bool Stopped(const std::atomic<bool>& stop) { return stop.load(std::memory_order_relaxed); }

// Depth-first over an explicit list of pending folders, so a deep tree costs
// heap, not stack. Reparse points are never entered.
uint64_t GetFolderSize(const std::wstring& folder, const std::atomic<bool>& stop,
                       const ScanExclusions* exclusions, FileInfoWorker::WalkCounters* counters) {
  if (exclusions && exclusions->empty()) exclusions = nullptr;
  uint64_t total = 0;
  std::vector<std::wstring> pending{folder};
  std::wstring full;
  WIN32_FIND_DATAW data;
  while (!pending.empty() && !Stopped(stop)) {
    const std::wstring dir = std::move(pending.back());
    pending.pop_back();
    UniqueFind find(::FindFirstFileExW(ForSystem(dir + L"\\*").c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH));
    if (!find) continue;
    if (counters) counters->folders.fetch_add(1, std::memory_order_relaxed);
    const std::wstring base = ExCommon::AddTrailingBackslash(dir, false);
    do {
      if (Stopped(stop)) return total;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
      const wchar_t* name = data.cFileName;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
        full.assign(base).append(name);
        if (exclusions && exclusions->FolderExluded(full)) continue;
        pending.push_back(full);
      } else {
        if (counters) counters->files.fetch_add(1, std::memory_order_relaxed);
        if (exclusions && exclusions->FileExcluded(full.assign(base).append(name))) continue;
        total += SizeOf(data.nFileSizeHigh, data.nFileSizeLow);
      }
    } while (::FindNextFileW(find.get(), &data));
  }
  return total;
}

uint64_t GetPathSize(const std::wstring& path, const std::atomic<bool>& stop,
                     const ScanExclusions* exclusions, FileInfoWorker::WalkCounters* counters) {
  const std::wstring trimmed = TrimTrailingSlashes(path);
  if (trimmed.empty()) return 0;
  // Not FindFirstFileW: a scan path is a name, never a wildcard pattern.
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (!::GetFileAttributesExW(ForSystem(trimmed).c_str(), GetFileExInfoStandard, &info)) return 0;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return 0;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (exclusions && exclusions->FolderExluded(trimmed)) return 0;
    if (Stopped(stop)) return 0;
    return GetFolderSize(trimmed, stop, exclusions, counters);
  }
  if (counters) counters->files.fetch_add(1, std::memory_order_relaxed);
  if (exclusions && exclusions->FileExcluded(trimmed)) return 0;
  return SizeOf(info.nFileSizeHigh, info.nFileSizeLow);
}

uint64_t MeasurePath(const std::wstring& path, const std::atomic<bool>& stop,
                     const ScanExclusions* exclusions, FileInfoWorker::WalkCounters* counters) {
  std::wstring root;
  if (FileInfoWorker::IsDriveRoot(path, &root)) {
    if (exclusions && exclusions->FolderExluded(root)) return 0;
    return UsedSpace(root);
  }
  return GetPathSize(path, stop, exclusions, counters);
}

void Run(FileInfoWorker::State& s) {
  bool priority = false;
  std::vector<std::wstring> paths;
  uint32_t mode = 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    priority = s.priority;
    paths = s.paths;
    mode = s.scan_mode;
  }
  // The walk itself is raised (no second thread toggling priorities).
  HANDLE self = ::GetCurrentThread();
  const int old_priority = priority ? ::GetThreadPriority(self) : THREAD_PRIORITY_ERROR_RETURN;
  if (old_priority != THREAD_PRIORITY_ERROR_RETURN)
    ::SetThreadPriority(self, THREAD_PRIORITY_ABOVE_NORMAL);

  if (mode == FileInfoWorker::kQuickScan) {
    uint64_t last = 0;
    uint32_t stored = 0;
    Reg reg;
    // Only a value of exactly 8 bytes is a size; anything else is ignored.
    if (reg.Open(HKEY_LOCAL_MACHINE, product::kAntiVirusKey, KEY_READ) &&
        reg.QueryValueSize(kLastQuickScanSize, stored) && stored == sizeof last &&
        reg.QueryBinary(kLastQuickScanSize, &last, sizeof last) && last != 0) {
      {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.estimate = FileInfoWorker::Scale(last, 1.2);
      }
      if (LogEnabled(LOG_ALW))
        LogStream(LOG_ALW) << L"FileInfoWorker::run - Reading quick scan size:" << last;
    }
  }
  Log(LOG_ALW, L"FileInfoWorker::run - Start calculating total bytes to scan....");

  const bool impersonate =
      (mode == FileInfoWorker::kCustomScan || mode == FileInfoWorker::kShellScan) &&
      ExCommon::IsNetworkScanEnabled();
  uint64_t total = 0;
  const int n = static_cast<int>(paths.size());
  for (int i = 0; i < n; ++i) {
    const std::wstring& path = paths[static_cast<size_t>(i)];
    Log(LOG_DEBUG, L"FileInfoWorker::run[%d out of %d] - Scanning: %s", i, n, path.c_str());
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.stop_requested.load()) break;
    }
    const std::vector<std::wstring> one{path};
    total += impersonate
                 ? FileInfoWorker::CalculateFilesSizeEx(one, s.stop_requested, &s.exclusions,
                                                        &s.counters)
                 : FileInfoWorker::CalculateFilesSize(one, s.stop_requested, &s.exclusions,
                                                      &s.counters);
    Log(LOG_DEBUG, L"FileInfoWorker::run[%d out of %d] - Total Size SO FAR with '%s' is : %s bytes.",
        i, n, path.c_str(), std::to_wstring(total).c_str());
  }
  Log(LOG_ALW, L"FileInfoWorker::run - Completed calculating, total bytes to scan : %s bytes.",
      std::to_wstring(total).c_str());

  const uint64_t estimate = FileInfoWorker::Scale(total, FileInfoWorker::ModeFactor(mode));
  if (mode == FileInfoWorker::kQuickScan && estimate > 0) {
    Reg reg;
    if (reg.Open(HKEY_LOCAL_MACHINE, product::kAntiVirusKey, KEY_ALL_ACCESS) &&
        reg.SetBinary(kLastQuickScanSize, &estimate, sizeof estimate)) {
      if (LogEnabled(LOG_ALW))
        LogStream(LOG_ALW) << L"FileInfoWorker::run - Writing quick scan size:" << estimate;
    }
  }
  {
    // One lock, so a reader never sees the flag without the final value.
    std::lock_guard<std::mutex> lock(s.mutex);
    s.estimate = estimate;
    s.completed = true;
  }
  Log(LOG_ALW, L"FileInfoWorker::run - Waiting for priority thread to join...");
  if (old_priority != THREAD_PRIORITY_ERROR_RETURN) ::SetThreadPriority(self, old_priority);
  Log(LOG_ALW, L"FileInfoWorker::run - Prioirty thread joined.");
}

void MarkCompleted(FileInfoWorker::State& s) {
  std::lock_guard<std::mutex> lock(s.mutex);
  s.completed = true;
}

}  // namespace

FileInfoWorker::FileInfoWorker(uint32_t scan_mode) : state_(std::make_shared<State>()) {
  state_->scan_mode = scan_mode;
}

FileInfoWorker::~FileInfoWorker() {
  if (!thread_) return;
  state_->stop_requested.store(true);
  ::WaitForSingleObject(thread_, kDestroyWaitMs);
  ::CloseHandle(thread_);
}

std::mutex& FileInfoWorker::mutex() { return state_->mutex; }

void FileInfoWorker::Configure(const std::wstring& owner, const ScanExclusions::KeyMap& extensions,
                               const ScanExclusions::KeyMap& directories,
                               const ScanExclusions::KeyMap& files,
                               const ScanExclusions::KeyMap& private_extensions,
                               const std::vector<std::wstring>& paths) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->exclusions.Init(owner, extensions, directories, files, private_extensions);
  state_->paths = paths;
}

void FileInfoWorker::SetPriorityOption(bool on) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->priority = on;
}

bool FileInfoWorker::StartThread() {
  if (thread_) return true;
  std::shared_ptr<State>* ref = nullptr;
  try {
    ref = new std::shared_ptr<State>(state_);
  } catch (...) {
    return false;
  }
  thread_ = ::CreateThread(nullptr, 0, &FileInfoWorker::ThreadEntry, ref, 0, nullptr);
  if (!thread_) {
    delete ref;
    return false;
  }
  return true;
}

DWORD WINAPI FileInfoWorker::ThreadEntry(void* state) {
  if (!state) return 0;
  // The thread's own reference keeps the state alive until it ends.
  std::unique_ptr<std::shared_ptr<State>> ref(static_cast<std::shared_ptr<State>*>(state));
  try {
    Run(**ref);
  } catch (...) {
    MarkCompleted(**ref);
  }
  return 0;
}

void FileInfoWorker::run() {
  try {
    Run(*state_);
  } catch (...) {
    MarkCompleted(*state_);
  }
}

HANDLE FileInfoWorker::stop(DWORD timeout_ms) {
  Log(LOG_ALW, L"FileInfoWorker::stop - request to stop, wait:%d", timeout_ms);
  if (!thread_) return nullptr;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop_requested.store(true);
  }
  ::WaitForSingleObject(thread_, timeout_ms);
  Log(LOG_ALW, L"FileInfoWorker::stop - wait %d completed.", timeout_ms);
  return thread_;
}

bool FileInfoWorker::IsCompleted() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->completed;
}

uint64_t FileInfoWorker::Estimate() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->estimate;
}

void FileInfoWorker::Read(bool* completed, uint64_t* estimate) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (completed) *completed = state_->completed;
  if (estimate) *estimate = state_->estimate;
}

const FileInfoWorker::WalkCounters& FileInfoWorker::counters() const { return state_->counters; }

uint64_t FileInfoWorker::CalculateFilesSize(const std::vector<std::wstring>& paths,
                                            const std::atomic<bool>& stop,
                                            const ScanExclusions* exclusions,
                                            WalkCounters* counters) {
  uint64_t total = 0;
  try {
    for (const std::wstring& path : paths) {
      if (Stopped(stop)) break;
      total += MeasurePath(path, stop, exclusions, counters);
    }
  } catch (...) {
  }
  return total;
}

uint64_t FileInfoWorker::CalculateFilesSizeEx(const std::vector<std::wstring>& paths,
                                              const std::atomic<bool>& stop,
                                              const ScanExclusions* exclusions,
                                              WalkCounters* counters) {
  uint64_t total = 0;
  bool impersonated = false;
  try {
    for (const std::wstring& path : paths) {
      ImpersonateUserEx user(L"CalculateFilesSizeEx");
      if (!ExCommon::FolderExists(path)) {
        Log(LOG_ALW,
            L"CalculateFilesSizeEx: Checking if given path is a folder or a file - Folder %s "
            L"doesn't exist, will impersonate.",
            path.c_str());
        if (user.LogonUser() == 0) impersonated = true;
      }
      total += MeasurePath(path, stop, exclusions, counters);
    }
  } catch (...) {
  }
  if (impersonated)
    Log(LOG_ALW, L"CalculateFilesSizeEx: Impersonated Total Size = %lld",
        static_cast<long long>(total));
  return total;
}

bool FileInfoWorker::IsDriveRoot(const std::wstring& path, std::wstring* root) {
  const std::wstring trimmed = TrimTrailingSlashes(path);
  if (trimmed.size() == 1) {
    if (root) *root = trimmed + L":\\";
    return true;
  }
  if (!trimmed.empty() && trimmed.back() == L':') {
    if (root) *root = trimmed + L"\\";
    return true;
  }
  return false;
}

bool FileInfoWorker::HasWorker(uint32_t scan_mode) {
  switch (scan_mode) {
    case kFullScan:
    case kCustomScan:
    case kShellScan:
    case kScheduledScan:
    case kQuickScan: return true;
    default: return false;
  }
}

double FileInfoWorker::ModeFactor(uint32_t scan_mode) {
  switch (scan_mode) {
    case kFullScan: return 1.2;
    case kScheduledScan: return 1.3;
    default: return 1.0;
  }
}

uint64_t FileInfoWorker::Scale(uint64_t total, double factor) {
  const double product = static_cast<double>(total) * factor;
  if (!(product > 0)) return 0;
  if (product >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(product);
}
