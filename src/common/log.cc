#include "common/log.h"

#include <windows.h>

#include <climits>
#include <cstdarg>
#include <cwchar>
#include <new>
#include <vector>

#include "common/ex_common.h"
#include "common/handle.h"
#include "common/log_format.h"
#include "common/log_placement.h"
#include "common/product.h"

namespace logfmt {

LocalTime LocalNow() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  LocalTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.milliseconds = st.wMilliseconds;
  return t;
}

const wchar_t* LevelTag(int level) {
  // "[" name "]", with a blank inside the brackets for ERROR and FATAL.
  static const wchar_t* const kTags[] = {L"[NONE ]", L"[DEBUG]",   L"[INFO ]", L"[WARN]",
                                         L"[ ERROR  ]", L"[ FATAL ]", L"[ALW  ]"};
  if (level < LOG_NONE || level > LOG_ALW) return nullptr;
  return kTags[level];
}

int FormatLine(wchar_t* buffer, size_t capacity, const LocalTime& t, uint32_t process_id,
               uint32_t thread_id, int level, const wchar_t* text) {
  const wchar_t* tag = LevelTag(level);
  if (!buffer || capacity == 0 || !tag || !text) return -1;
  wchar_t date[16], time[16];
  if (_snwprintf_s(date, 16, _TRUNCATE, L"%02u/%02u/%02u", t.day % 100u, t.month % 100u,
                   t.year % 100u) < 0 ||
      _snwprintf_s(time, 16, _TRUNCATE, L"%02u:%02u:%02u", t.hour % 100u, t.minute % 100u,
                   t.second % 100u) < 0)
    return -1;
  return _snwprintf_s(buffer, capacity, _TRUNCATE, L"%s %s:%03d [P:%5d][T:%5d] %s - %s%s", date,
                      time, static_cast<int>(t.milliseconds % 1000u),
                      static_cast<int>(process_id), static_cast<int>(thread_id), tag, text,
                      L"\r\n");
}

}  // namespace logfmt

namespace {

constexpr uint64_t kDefaultSizeLimit = 10485760;  // 10 MiB
constexpr DWORD kMutexWaitMs = 1000;
constexpr wchar_t kMutexPrefix[] = L"LOGGER_147958DA_9436_4e47_94D4_F5F6A49F0CDE";

void ModuleAnchor() {}

std::wstring FileNameOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring StripExtension(const std::wstring& name) {
  size_t dot = name.find_last_of(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

std::wstring ExtensionOf(const std::wstring& name) {
  size_t dot = name.find_last_of(L'.');
  return dot == std::wstring::npos ? std::wstring() : name.substr(dot);
}

bool IsDllExtension(const std::wstring& extension) {
  if (extension.size() != 4) return false;
  const wchar_t* dll = L".dll";
  for (size_t i = 0; i < 4; ++i) {
    wchar_t c = extension[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != dll[i]) return false;
  }
  return true;
}

HANDLE OpenLogFile(const std::wstring& path) {
  // Append-only access: every write goes to the end of the file at once, so
  // another process of the same host appending meanwhile cannot be overwritten
  // (a seek followed by a write could). Non-inheritable: no attributes given.
  return ::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

uint64_t FileSize(HANDLE file) {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file, &size) || size.QuadPart < 0) return 0;
  return static_cast<uint64_t>(size.QuadPart);
}

// Only a 4-byte number counts; any other type or size is unreadable.
bool ReadFourBytes(const std::wstring& key_path, const wchar_t* name, uint32_t& value) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof data;
  LONG result =
      ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  ::RegCloseKey(key);
  if (result != ERROR_SUCCESS || size != sizeof data) return false;
  if (type != REG_DWORD && type != REG_BINARY) return false;
  value = data;
  return true;
}

void WriteDword(const std::wstring& key_path, const wchar_t* name, uint32_t value) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  DWORD data = value;
  ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
  ::RegCloseKey(key);
}

}  // namespace

struct Logger::State {
  CRITICAL_SECTION open_lock;  // makes other threads wait while the file is resolved
  std::atomic<int> stage{0};   // 0 not opened, 1 opening, 2 opened, 3 shut down
  HANDLE mutex = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;  // guarded by mutex
  bool archiving = true;
  bool is_library = false;
  std::wstring library_name;
  std::wstring host_name;
  std::wstring host_path;
  uint64_t size_limit = kDefaultSizeLimit;
};

Logger& Logger::Instance() {
  static Logger logger;
  logger.EnsureOpen();
  return logger;
}

Logger::Logger() {
  // Never freed: threads still logging while the process exits may touch it.
  state_ = new (std::nothrow) State;
  if (!state_) return;
  ::InitializeCriticalSection(&state_->open_lock);
  try {
    HMODULE self = nullptr;
    if (::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ModuleAnchor)), &self)) {
      std::wstring module_name = FileNameOf(ExCommon::GetModulePath(self));
      state_->library_name = StripExtension(module_name);
      state_->is_library = IsDllExtension(ExtensionOf(module_name));
    }
    state_->host_path = ExCommon::GetModulePath(nullptr);
    state_->host_name = StripExtension(FileNameOf(state_->host_path));

    std::wstring name = std::wstring(kMutexPrefix) + L"__" + state_->host_name + L"__" +
                        std::to_wstring(::GetCurrentProcessId());
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, /*bInheritHandle=*/FALSE};
    if (::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
        ::SetSecurityDescriptorDacl(&sd, /*present=*/TRUE, nullptr, /*defaulted=*/FALSE))
      sa.lpSecurityDescriptor = &sd;
    state_->mutex = ::CreateMutexW(&sa, /*initial_owner=*/FALSE, name.c_str());
  } catch (...) {
  }
}

Logger::~Logger() {
  State* s = state_;
  if (!s) return;
  s->stage.store(3);
  HANDLE mutex = s->mutex;
  DWORD wait = mutex ? ::WaitForSingleObject(mutex, kMutexWaitMs) : WAIT_FAILED;
  bool owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  open_.store(false);
  threshold_.store(INT_MAX);
  if (owned && s->file != INVALID_HANDLE_VALUE) {
    ::CloseHandle(s->file);
    s->file = INVALID_HANDLE_VALUE;
  }
  s->mutex = nullptr;
  if (owned) ::ReleaseMutex(mutex);
  if (mutex) ::CloseHandle(mutex);
}

void Logger::EnsureOpen() {
  State* s = state_;
  if (!s || s->stage.load(std::memory_order_acquire) >= 2) return;
  // A critical section is recursive: the banner, logged while opening, gets through.
  ::EnterCriticalSection(&s->open_lock);
  if (s->stage.load() == 0) {
    s->stage.store(1);
    try {
      OpenFile();
    } catch (...) {
    }
    s->stage.store(2, std::memory_order_release);
  }
  ::LeaveCriticalSection(&s->open_lock);
}

void Logger::OpenFile() {
  State* s = state_;
  bool archiving = true;
  path_ = logplace::PlaceLogFile(s->host_name, archiving);
  s->archiving = archiving;
  threshold_.store(LOG_INFO);
  s->size_limit = kDefaultSizeLimit;
  ApplyRegistrySettings();

  if (threshold_.load() != 0 && !path_.empty()) {
    s->file = OpenLogFile(path_);
    open_.store(s->file != INVALID_HANDLE_VALUE);
  }
  MutexGuard guard(s->mutex, kMutexWaitMs);
  // Without the mutex every banner line would wait out its own bound only to
  // be dropped: the caller would be held for seconds.
  if (!guard.acquired()) return;
  if (open_.load() && logplace::ShouldRotate(s->size_limit, FileSize(s->file))) RotateLocked();
  WriteBanner();
}

void Logger::ApplyRegistrySettings() {
  State* s = state_;
  if (s->host_name.empty()) return;
  std::wstring key = std::wstring(product::kLoggerKeyPrefix) + s->host_name;
  uint32_t value = 0;
  if (ReadFourBytes(key, L"level", value)) {
    threshold_.store(static_cast<int32_t>(value));
  } else {
    WriteDword(key, L"level", static_cast<uint32_t>(threshold_.load()));
  }
  if (ReadFourBytes(key, L"max_size_mb", value)) {
    s->size_limit = logplace::SizeLimitFromMegabytes(value);
  } else {
    WriteDword(key, L"max_size_mb", static_cast<uint32_t>(s->size_limit / 1048576u));
  }
}

void Logger::WriteBanner() {
  State* s = state_;
  if (!open_.load()) return;
  if (s->is_library) {
    Log(LOG_DEBUG, L"Logger Started in dll: Module Name[%s]", s->library_name.c_str());
    Log(LOG_DEBUG, L"%s", std::wstring(60, L'-').c_str());
    return;
  }
  std::vector<wchar_t> user(32767, L'\0'), computer(32767, L'\0');
  DWORD user_size = static_cast<DWORD>(user.size());
  DWORD computer_size = static_cast<DWORD>(computer.size());
  if (!::GetUserNameW(user.data(), &user_size)) user[0] = 0;
  if (!::GetComputerNameW(computer.data(), &computer_size)) computer[0] = 0;
  std::wstring rule(98, L'_');
  Log(LOG_ALW, L"%s", rule.c_str());
  Log(LOG_ALW, L"Logger Started: Machine Name[%s], User Name[%s], Module Name[%s], Version[%s]",
      computer.data(), user.data(), s->host_name.c_str(), ExCommon::GetFileVersionString(s->host_path).c_str());
  Log(LOG_ALW, L"%s", rule.c_str());
}

void Logger::RotateLocked() {
  State* s = state_;
  if (!open_.load() || s->file == INVALID_HANDLE_VALUE) return;
  ::CloseHandle(s->file);
  s->file = INVALID_HANDLE_VALUE;
  if (s->archiving) {
    try {
      logplace::ArchiveLogFile(path_);
    } catch (...) {
    }
  }
  s->file = OpenLogFile(path_);
  if (s->file == INVALID_HANDLE_VALUE) open_.store(false);
}

void Logger::WriteLine(int level, const wchar_t* text) {
  State* s = state_;
  if (!s || !text || !open_.load(std::memory_order_relaxed)) return;
  // Slot 0 is kept for the byte-order mark so that it goes out in the same write.
  wchar_t line[1 + logfmt::kLineCapacity];
  int length = logfmt::FormatLine(line + 1, logfmt::kLineCapacity, logfmt::LocalNow(),
                                  ::GetCurrentProcessId(), ::GetCurrentThreadId(), level, text);
  if (length < 0) return;

  MutexGuard guard(s->mutex, kMutexWaitMs);
  // No file while a rotation of this thread is under way (an archiving failure logs).
  if (!guard.acquired() || s->file == INVALID_HANDLE_VALUE) return;
  uint64_t size = FileSize(s->file);
  if (logplace::ShouldRotate(s->size_limit, size)) {
    RotateLocked();
    if (s->file == INVALID_HANDLE_VALUE) return;
    size = FileSize(s->file);
  }
  const wchar_t* out = line + 1;
  DWORD chars = static_cast<DWORD>(length);
  if (size == 0) {
    line[0] = 0xFEFF;
    out = line;
    ++chars;
  }
  DWORD written = 0;
  ::WriteFile(s->file, out, chars * sizeof(wchar_t), &written, nullptr);
}

uint64_t Logger::SizeLimit() const { return state_ ? state_->size_limit : 0; }
bool Logger::ArchivingEnabled() const { return state_ && state_->archiving; }

void Log(int level, const wchar_t* format, ...) {
  Logger& logger = Logger::Instance();
  if (!format || !logger.IsOpen() || level == LOG_NONE || level < logger.Threshold()) return;
  wchar_t message[logfmt::kMessageCapacity];
  va_list args;
  va_start(args, format);
  int length = _vsnwprintf_s(message, logfmt::kMessageCapacity, _TRUNCATE, format, args);
  va_end(args);
  if (length < 0) return;  // too long: dropped, never cut
  logger.WriteLine(level, message);
}

LogStream::~LogStream() {
  try {
    Logger& logger = Logger::Instance();
    if (logger.IsOpen()) logger.WriteLine(level_, stream_.str().c_str());
  } catch (...) {
  }
}

LogStreamA::~LogStreamA() {
  try {
    Logger& logger = Logger::Instance();
    if (!logger.IsOpen()) return;
    std::string text = stream_.str();
    if (text.size() >= static_cast<size_t>(INT_MAX)) return;
    int count = text.empty() ? 0
                             : ::MultiByteToWideChar(CP_ACP, 0, text.data(),
                                                     static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(count > 0 ? count : 0), L'\0');
    if (count > 0)
      ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                            count);
    logger.WriteLine(level_, wide.c_str());
  } catch (...) {
  }
}
