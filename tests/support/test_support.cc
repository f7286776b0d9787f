#include "test_support.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <map>

#include "common/handle.h"

namespace testing_support {
namespace {

std::map<std::wstring, ChildMain>& Children() {
  static std::map<std::wstring, ChildMain> children;
  return children;
}

std::wstring Quote(const std::wstring& arg) {
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    if (c == L'"') out.append(slashes * 2 + 1, L'\\');
    else out.append(slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}

}  // namespace

ChildRegistrar::ChildRegistrar(const wchar_t* name, ChildMain main) {
  Children()[name] = std::move(main);
}

// Called from main before gtest sees the arguments: -1 means "not a child".
int RunChildIfRequested() {
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return -1;
  int result = -1;
  if (argc >= 3 && std::wstring(argv[1]) == L"--child") {
    auto it = Children().find(argv[2]);
    if (it == Children().end()) {
      std::fprintf(stderr, "unknown child main %ls\n", argv[2]);
      result = 99;
    } else {
      std::vector<std::wstring> args(argv + 3, argv + argc);
      result = it->second(args);
    }
  }
  ::LocalFree(argv);
  return result;
}

ChildProcess::~ChildProcess() {
  if (process_) {
    if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) Kill();
    ::CloseHandle(process_);
  }
}

bool ChildProcess::Start(const std::wstring& name, const std::vector<std::wstring>& args,
                         const std::wstring& exe) {
  std::wstring program = exe.empty() ? ThisExecutable() : exe;
  std::wstring cmd = Quote(program) + L" --child " + Quote(name);
  for (const auto& a : args) cmd += L" " + Quote(a);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::vector<wchar_t> buffer(cmd.begin(), cmd.end());
  buffer.push_back(0);
  if (!::CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
    return false;
  ::CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  pid_ = pi.dwProcessId;
  return true;
}

int ChildProcess::Wait(DWORD timeout_ms) {
  if (!process_) return -1;
  if (::WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) {
    Kill();
    return -1;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process_, &code);
  return static_cast<int>(code);
}

void ChildProcess::Kill() {
  if (process_) {
    ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, 5000);
  }
}

int RunCommand(const std::wstring& command_line, std::string* output, DWORD timeout_ms) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (output) {
    if (!::CreatePipe(&read_end, &write_end, &sa, 0)) return -1;
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  if (output) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write_end;
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  }
  PROCESS_INFORMATION pi{};
  std::vector<wchar_t> buffer(command_line.begin(), command_line.end());
  buffer.push_back(0);
  BOOL ok = ::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, output ? TRUE : FALSE, 0,
                             nullptr, nullptr, &si, &pi);
  if (write_end) ::CloseHandle(write_end);
  if (!ok) {
    if (read_end) ::CloseHandle(read_end);
    return -1;
  }
  ::CloseHandle(pi.hThread);
  if (output) {
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got) output->append(chunk, got);
    ::CloseHandle(read_end);
  }
  int result = -1;
  if (::WaitForSingleObject(pi.hProcess, timeout_ms) == WAIT_OBJECT_0) {
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    result = static_cast<int>(code);
  } else {
    ::TerminateProcess(pi.hProcess, 1);
  }
  ::CloseHandle(pi.hProcess);
  return result;
}

std::wstring ThisExecutable() {
  std::vector<wchar_t> buffer(32768);
  DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return std::wstring(buffer.data(), n);
}

std::wstring ExecutableDir() {
  std::wstring exe = ThisExecutable();
  return exe.substr(0, exe.find_last_of(L'\\'));
}

std::wstring UniqueName(const std::wstring& prefix) {
  static std::atomic<unsigned> counter{0};
  return prefix + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
         std::to_wstring(++counter);
}

TempDir::TempDir() {
  wchar_t temp[MAX_PATH + 1];
  DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
  std::wstring base(temp, n);
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  path_ = base + L"\\" + UniqueName(L"qvtest");
  ::CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() { DeleteTree(path_); }

bool TempDir::WriteFile(const std::wstring& relative, const std::string& bytes) const {
  std::wstring full = Sub(relative);
  for (size_t i = path_.size() + 1; i < full.size(); ++i)
    if (full[i] == L'\\') ::CreateDirectoryW(full.substr(0, i).c_str(), nullptr);
  HANDLE h = ::CreateFileW(full.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() ||
            ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(h);
  return ok && written == bytes.size();
}

TempRegKey::TempRegKey() : path_(L"SOFTWARE\\QuorvaneTests\\" + UniqueName(L"key")) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) == ERROR_SUCCESS)
    ::RegCloseKey(key);
}

TempRegKey::~TempRegKey() {
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str());
  // Leave the shared parent only when no other test still has a key there.
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QuorvaneTests");
}

RegValueOverride::RegValueOverride(const std::wstring& key, const std::wstring& name)
    : key_(key), name_(name) {
  DWORD size = 0;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name_.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                     &type_, nullptr, &size) == ERROR_SUCCESS) {
    old_.resize(size);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name_.c_str(),
                       RRF_RT_ANY | RRF_NOEXPAND, &type_, old_.data(), &size) == ERROR_SUCCESS) {
      old_.resize(size);
      had_ = true;
    }
  }
}

RegValueOverride::~RegValueOverride() {
  if (had_) {
    SetRaw(type_, old_.data(), static_cast<DWORD>(old_.size()));
  } else {
    Remove();
  }
}

void RegValueOverride::SetDword(DWORD value) { SetRaw(REG_DWORD, &value, sizeof value); }

void RegValueOverride::SetString(const std::wstring& value) {
  SetRaw(REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void RegValueOverride::SetRaw(DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
    return;
  ::RegSetValueExW(key, name_.c_str(), 0, type, static_cast<const BYTE*>(data), size);
  ::RegCloseKey(key);
}

void RegValueOverride::Remove() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
    return;
  ::RegDeleteValueW(key, name_.c_str());
  ::RegCloseKey(key);
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  bytes.clear();
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  char chunk[65536];
  DWORD got = 0;
  while (::ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got) bytes.append(chunk, got);
  ::CloseHandle(h);
  return true;
}

bool DeleteTree(const std::wstring& path) {
  if (path.empty()) return false;
  WIN32_FIND_DATAW fd;
  HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &fd);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = path + L"\\" + name;
      if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        DeleteTree(full);
      } else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        ::RemoveDirectoryW(full.c_str());
      } else {
        ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(full.c_str());
      }
    } while (::FindNextFileW(find, &fd));
    ::FindClose(find);
  }
  return ::RemoveDirectoryW(path.c_str()) != 0;
}

DWORD HandleCount() {
  DWORD count = 0;
  if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count != 0) return count;
  // Wine reports 0. Its handle values are handed out lowest-free-first, so the
  // open ones are dense at the bottom: probe upwards until a long run of misses.
  DWORD flags = 0, misses = 0;
  for (ULONG_PTR value = 4; misses < 1024; value += 4) {
    if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++count;
      misses = 0;
    } else {
      ++misses;
    }
  }
  return count;
}

DWORD ThreadCount() {
  UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD count = 0;
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
       more = ::Thread32Next(snapshot.get(), &entry))
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
  return count;
}

uint64_t CommittedPrivateBytes() {
  uint64_t total = 0;
  MEMORY_BASIC_INFORMATION info;
  const char* at = nullptr;
  while (::VirtualQuery(at, &info, sizeof info) == sizeof info) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return total;
}

uint64_t HeapBusyBytes() {
  HANDLE heaps[256];
  DWORD count = ::GetProcessHeaps(256, heaps);
  uint64_t total = 0;
  for (DWORD i = 0; i < count && i < 256; ++i) {
    PROCESS_HEAP_ENTRY entry{};
    if (!::HeapLock(heaps[i])) continue;
    while (::HeapWalk(heaps[i], &entry))
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
    ::HeapUnlock(heaps[i]);
  }
  return total;
}

}  // namespace testing_support
