// Lines per second through Log, one thread and four threads at once, against
// the same line formatted the same way and written with a plain WriteFile to
// a file opened the same way, without the logger's named mutex and size check.
// Rounds alternate between the two so that both see the same machine load;
// each figure is the best round.
//
// The logger names its file after the host program, so the benchmark copies
// itself to a unique name in %TEMP%, runs the copy, and removes the copy's
// log folder and registry key afterwards.
//   bench_logger.exe [lines_per_thread] [rounds]
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/log_format.h"
#include "common/product.h"

namespace {

double Seconds() {
  LARGE_INTEGER now, frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename F>
double Run(int threads, int lines, F&& one_line) {
  const std::wstring filler(80, L'x');
  double start = Seconds();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < lines; ++i) one_line(t, i, filler.c_str());
    });
  for (auto& w : workers) w.join();
  return Seconds() - start;
}

void LogLine(int t, int i, const wchar_t* filler) {
  Log(LOG_INFO, L"bench %d %d %s", t, i, filler);
}

// The floor: what Log does without its mutex protocol and size check.
struct PlainFile {
  HANDLE file = INVALID_HANDLE_VALUE;
  explicit PlainFile(const std::wstring& path)
      : file(::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~PlainFile() {
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  }
  void Line(int t, int i, const wchar_t* filler) const {
    wchar_t message[logfmt::kMessageCapacity];
    if (_snwprintf_s(message, logfmt::kMessageCapacity, _TRUNCATE, L"bench %d %d %s", t, i,
                     filler) < 0)
      return;
    wchar_t line[logfmt::kLineCapacity];
    int length = logfmt::FormatLine(line, logfmt::kLineCapacity, logfmt::LocalNow(),
                                    ::GetCurrentProcessId(), ::GetCurrentThreadId(), LOG_INFO,
                                    message);
    if (length < 0) return;
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(length) * sizeof(wchar_t), &written, nullptr);
  }
};

int Measure(int lines, int rounds) {
  Logger& logger = Logger::Instance();
  if (!logger.IsOpen()) {
    std::fprintf(stderr, "no log file\n");
    return 2;
  }
  const std::wstring plain_path = logger.FilePath() + L".plain";
  PlainFile plain(plain_path);
  if (plain.file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %ls\n", plain_path.c_str());
    return 2;
  }
  auto plain_line = [&plain](int t, int i, const wchar_t* filler) { plain.Line(t, i, filler); };
  Run(1, 200, LogLine);  // warm-up
  Run(1, 200, plain_line);
  std::printf("log file: %ls\n", logger.FilePath().c_str());
  for (int threads : {1, 4}) {
    double best_log = 0, best_plain = 0;
    for (int r = 0; r < rounds; ++r) {
      double log_rate = threads * lines / Run(threads, lines, LogLine);
      double plain_rate = threads * lines / Run(threads, lines, plain_line);
      if (log_rate > best_log) best_log = log_rate;
      if (plain_rate > best_plain) best_plain = plain_rate;
    }
    const char* label = threads == 1 ? "1 thread" : "4 threads";
    std::printf("%-9s: Log %.0f lines/s, plain WriteFile %.0f lines/s (best of %d rounds of %d lines)\n",
                label, best_log, best_plain, rounds, threads * lines);
    std::printf("BENCH\tlog lines/s, %s\t%.0f\tplain WriteFile of the same line, lines/s\t%.0f\t%.2f\n",
                label, best_log, best_plain, best_log / best_plain);
  }
  ::CloseHandle(plain.file);
  plain.file = INVALID_HANDLE_VALUE;
  ::DeleteFileW(plain_path.c_str());
  return 0;
}

void DeleteFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW fd;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &fd);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        ::DeleteFileW((folder + L"\\" + fd.cFileName).c_str());
    } while (::FindNextFileW(find, &fd));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(folder.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 4 && std::wcscmp(argv[1], L"--measure") == 0)
    return Measure(_wtoi(argv[2]), _wtoi(argv[3]));

  int lines = argc >= 2 ? _wtoi(argv[1]) : 2000;
  if (lines <= 0) lines = 2000;
  int rounds = argc >= 3 ? _wtoi(argv[2]) : 3;
  if (rounds <= 0) rounds = 3;
  wchar_t self[MAX_PATH], temp[MAX_PATH], data[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  ::GetTempPathW(MAX_PATH, temp);
  std::wstring host = L"QvLogBench" + std::to_wstring(::GetCurrentProcessId());
  std::wstring folder = std::wstring(temp) + host;
  std::wstring copy = folder + L"\\" + host + L".exe";
  ::CreateDirectoryW(folder.c_str(), nullptr);
  if (!::CopyFileW(self, copy.c_str(), FALSE)) {
    std::fprintf(stderr, "cannot copy to %ls\n", copy.c_str());
    return 2;
  }
  // A limit far above what the run writes: no rotation inside the measurement.
  std::wstring key = std::wstring(product::kLoggerKeyPrefix) + host;
  HKEY hkey = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &hkey, nullptr) == ERROR_SUCCESS) {
    DWORD mb = 1024;
    ::RegSetValueExW(hkey, L"max_size_mb", 0, REG_DWORD, reinterpret_cast<BYTE*>(&mb), sizeof mb);
    ::RegCloseKey(hkey);
  }

  std::wstring command = L"\"" + copy + L"\" --measure " + std::to_wstring(lines) + L" " +
                        std::to_wstring(rounds);
  std::vector<wchar_t> buffer(command.begin(), command.end());
  buffer.push_back(0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  DWORD code = 1;
  std::fflush(stdout);
  if (::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                       &pi)) {
    ::WaitForSingleObject(pi.hProcess, 600000);
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
  }

  ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data);
  DeleteFolder(std::wstring(data) + L"\\QuillfeatherZub\\Logs\\" + host);
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
  ::DeleteFileW(copy.c_str());
  ::RemoveDirectoryW(folder.c_str());
  return static_cast<int>(code);
}
