// Files per second of the scan-size worker over one folder tree, against a
// bare FindFirstFileW/FindNextFileW walk of the same tree (Wine's own floor).
//
//   worker_bench.exe worker DIR [runs]   FileInfoWorker thread, Custom Scan
//   worker_bench.exe filtered DIR [runs] same, with exclusion lists that match nothing
//   worker_bench.exe bare DIR [runs]     plain recursive enumeration
//   worker_bench.exe all DIR [rounds]    the three interleaved, so load drift
//                                        on a shared machine hits them alike
//
// Prints one line per run: mode, files, folders, bytes, seconds, files/s.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "ipc/file_info_worker.h"

namespace {

double Now() {
  LARGE_INTEGER f, c;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

struct Result {
  uint64_t files = 0, folders = 0, bytes = 0;
};

Result Bare(const std::wstring& root) {
  Result r;
  std::vector<std::wstring> pending{root};
  WIN32_FIND_DATAW data;
  while (!pending.empty()) {
    std::wstring dir = std::move(pending.back());
    pending.pop_back();
    HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) continue;
    ++r.folders;
    do {
      if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        const wchar_t* n = data.cFileName;
        if (n[0] == L'.' && (n[1] == 0 || (n[1] == L'.' && n[2] == 0))) continue;
        pending.push_back(dir + L"\\" + n);
      } else {
        ++r.files;
        r.bytes += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  return r;
}

Result Worker(const std::wstring& root, bool filtered) {
  // Custom Scan: factor 1.0, so the estimate is the measured total.
  FileInfoWorker worker(FileInfoWorker::kCustomScan);
  ScanExclusions::KeyMap extensions, directories, files;
  if (filtered) {
    extensions = {{L"qvnone", true}, {L"tmp0", true}};
    directories = {{L"z:\\qv\\none", true}, {L"z:\\qv\\other", true}};
    files = {{L"z:\\qv\\none.txt", true}};
  }
  worker.Configure(L"FileInfoWorker", extensions, directories, files, {}, {root});
  worker.StartThread();
  ::WaitForSingleObject(worker.thread(), INFINITE);
  Result r;
  r.files = worker.counters().files.load();
  r.folders = worker.counters().folders.load();
  r.bytes = worker.Estimate();
  return r;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: worker_bench worker|filtered|bare DIR [runs]\n");
    return 2;
  }
  const std::wstring mode = argv[1], root = argv[2];
  const int runs = argc > 3 ? _wtoi(argv[3]) : 3;
  const std::vector<std::wstring> modes =
      mode == L"all" ? std::vector<std::wstring>{L"bare", L"worker", L"filtered"}
                     : std::vector<std::wstring>{mode};
  for (int i = 0; i < runs; ++i) {
    for (const std::wstring& m : modes) {
      const double start = Now();
      Result r = m == L"bare" ? Bare(root) : Worker(root, m == L"filtered");
      const double seconds = Now() - start;
      std::printf("%ls %llu %llu %llu %.4f %.0f\n", m.c_str(),
                  static_cast<unsigned long long>(r.files),
                  static_cast<unsigned long long>(r.folders),
                  static_cast<unsigned long long>(r.bytes), seconds,
                  seconds > 0 ? static_cast<double>(r.files) / seconds : 0.0);
    }
  }
  return 0;
}
