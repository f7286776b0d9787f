// Lines per second through Log, one thread and four threads at once.
//
// The logger names its file after the host program, so the benchmark copies
// itself to a unique name in %TEMP%, runs the copy, and removes the copy's
// log folder and registry key afterwards.
//   logger_bench.exe [lines_per_thread]
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/product.h"

namespace {

double Seconds() {
  LARGE_INTEGER now, frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Run(int threads, int lines) {
  std::wstring filler(80, L'x');
  double start = Seconds();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < lines; ++i) Log(LOG_INFO, L"bench %d %d %s", t, i, filler.c_str());
    });
  for (auto& w : workers) w.join();
  return Seconds() - start;
}

int Measure(int lines) {
  Logger& logger = Logger::Instance();
  if (!logger.IsOpen()) {
    std::fprintf(stderr, "no log file\n");
    return 2;
  }
  Run(1, 200);  // warm-up
  double one = Run(1, lines);
  double four = Run(4, lines);
  std::printf("log file: %ls\n", logger.FilePath().c_str());
  std::printf("1 thread : %d lines in %.3f s = %.0f lines/s\n", lines, one, lines / one);
  std::printf("4 threads: %d lines in %.3f s = %.0f lines/s\n", 4 * lines, four, 4 * lines / four);
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
  if (argc >= 2 && std::wcscmp(argv[1], L"--measure") == 0)
    return Measure(argc >= 3 ? _wtoi(argv[2]) : 3000);

  int lines = argc >= 2 ? _wtoi(argv[1]) : 3000;
  if (lines <= 0) lines = 3000;
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

  std::wstring command = L"\"" + copy + L"\" --measure " + std::to_wstring(lines);
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
