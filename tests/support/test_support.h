// Shared test helpers: child processes of the test binary, temporary
// folders and registry keys, unique object names, log file reading.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// A function that a child copy of the test executable runs instead of the
// tests: `test.exe --child NAME ARGS...`. Returns the child's exit code.
using ChildMain = std::function<int(const std::vector<std::wstring>& args)>;
struct ChildRegistrar {
  ChildRegistrar(const wchar_t* name, ChildMain main);
};
#define QV_CHILD_MAIN(name)                                                      \
  static int name##_child_main(const std::vector<std::wstring>& args);           \
  static ::testing_support::ChildRegistrar name##_child_registrar(L## #name,     \
                                                                  name##_child_main); \
  static int name##_child_main([[maybe_unused]] const std::vector<std::wstring>& args)

// Runs the child main NAME in a new process of this executable (or of `exe`).
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Start(const std::wstring& name, const std::vector<std::wstring>& args = {},
             const std::wstring& exe = L"");
  // Exit code, or -1 when it did not end within the bound (it is then killed).
  int Wait(DWORD timeout_ms = 60000);
  void Kill();
  HANDLE process() const { return process_; }
  DWORD pid() const { return pid_; }

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

// Runs a whole command line; captures standard output when `output` is given.
int RunCommand(const std::wstring& command_line, std::string* output = nullptr,
               DWORD timeout_ms = 60000);

std::wstring ThisExecutable();
std::wstring ExecutableDir();

// A name no other test, process or run shares: prefix + pid + counter.
std::wstring UniqueName(const std::wstring& prefix);

// A folder under %TEMP% removed with all it holds at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::wstring& path() const { return path_; }
  std::wstring Sub(const std::wstring& relative) const { return path_ + L"\\" + relative; }
  bool WriteFile(const std::wstring& relative, const std::string& bytes) const;

 private:
  std::wstring path_;
};

// A key under HKLM\SOFTWARE\QuorvaneTests, deleted with its tree at destruction.
class TempRegKey {
 public:
  TempRegKey();
  ~TempRegKey();
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// Sets or removes HKLM values for the scope of a test, restoring the previous
// state (value, or its absence) at destruction.
class RegValueOverride {
 public:
  RegValueOverride(const std::wstring& key, const std::wstring& name);
  ~RegValueOverride();
  void SetDword(DWORD value);
  void SetString(const std::wstring& value);
  void SetRaw(DWORD type, const void* data, DWORD size);
  void Remove();

 private:
  std::wstring key_, name_;
  bool had_ = false;
  DWORD type_ = 0;
  std::vector<BYTE> old_;
};

bool ReadWholeFile(const std::wstring& path, std::string& bytes);
bool DeleteTree(const std::wstring& path);

// Number of handles this process holds (counted by probing under Wine,
// which reports none).
DWORD HandleCount();

// Threads of this process.
DWORD ThreadCount();

// Wine reports no private usage through GetProcessMemoryInfo: the committed
// private regions, and the busy blocks of every heap, summed.
uint64_t CommittedPrivateBytes();
uint64_t HeapBusyBytes();

}  // namespace testing_support
