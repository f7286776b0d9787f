// The logger is per process: each case runs a child copy of this program,
// renamed to the host name under test, and reads the log file it leaves.
#include "common/log.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "gunzip.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/log_format.h"
#include "common/log_placement.h"
#include "support/compressor_away.h"
#include "support/test_support.h"

namespace {

using testing_support::ChildProcess;
using testing_support::DeleteTree;
using testing_support::ReadWholeFile;
using testing_support::TempDir;

constexpr wchar_t kLoggerKey[] = L"SOFTWARE\\Quillfeather\\Logger\\";
constexpr wchar_t kMutexPrefix[] = L"LOGGER_147958DA_9436_4e47_94D4_F5F6A49F0CDE__";

std::wstring DataRoot() {
  wchar_t folder[MAX_PATH] = {};
  ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
  return std::wstring(folder) + L"\\QuillfeatherZub";
}
std::wstring LogsFolder() { return DataRoot() + L"\\Logs"; }
std::wstring StoredLogsFolder() { return DataRoot() + L"\\StoredData\\Logs"; }

bool PathExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

uint64_t FileSizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring Utf16(const std::string& bytes) {
  std::wstring text(bytes.size() / 2, L'\0');
  if (!text.empty()) memcpy(&text[0], bytes.data(), text.size() * 2);
  return text;
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

bool WriteUtf16File(const std::wstring& path, const std::wstring& text) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = ::WriteFile(h, text.data(), static_cast<DWORD>(text.size() * 2), &written, nullptr);
  ::CloseHandle(h);
  return ok != 0;
}

// A log file as read back: the byte-order mark split off, lines without CR LF.
struct LogFile {
  bool exists = false;
  bool bom = false;
  std::string bytes;
  std::vector<std::wstring> lines;
  size_t Count(const std::wstring& needle) const {
    size_t n = 0;
    for (const auto& line : lines) n += line.find(needle) != std::wstring::npos;
    return n;
  }
  size_t CountEnding(const std::wstring& tail) const {
    size_t n = 0;
    for (const auto& line : lines)
      n += line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    return n;
  }
};

LogFile ReadLog(const std::wstring& path) {
  LogFile log;
  log.exists = ReadWholeFile(path, log.bytes);
  if (!log.exists) return log;
  std::wstring text = Utf16(log.bytes);
  log.bom = !text.empty() && text[0] == 0xFEFF;
  log.lines = SplitLines(log.bom ? text.substr(1) : text);
  return log;
}

// "dd/MM/yy HH:mm:ss:mmm [P:%5d][T:%5d] TAG - TEXT": returns false on any
// deviation; hands back the parts.
bool ParseLine(const std::wstring& line, DWORD* pid, DWORD* tid, std::wstring* tag,
               std::wstring* text) {
  const wchar_t* shape = L"##/##/## ##:##:##:### [P:";
  size_t n = wcslen(shape);
  if (line.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (shape[i] == L'#' ? !iswdigit(line[i]) : line[i] != shape[i]) return false;
  }
  auto number = [&](size_t& pos, wchar_t end, DWORD* out) {
    size_t close = line.find(end, pos);
    if (close == std::wstring::npos || close - pos < 5) return false;
    std::wstring field = line.substr(pos, close - pos);
    size_t first = field.find_first_not_of(L' ');
    if (first == std::wstring::npos) return false;
    if (field.size() > 5 && first != 0) return false;
    for (size_t i = first; i < field.size(); ++i)
      if (!iswdigit(field[i])) return false;
    *out = static_cast<DWORD>(std::stoul(field.substr(first)));
    pos = close + 1;
    return true;
  };
  size_t pos = n;
  if (!number(pos, L']', pid)) return false;
  if (line.compare(pos, 3, L"[T:") != 0) return false;
  pos += 3;
  if (!number(pos, L']', tid)) return false;
  if (line.compare(pos, 1, L" ") != 0) return false;
  ++pos;
  for (int level = 0; level <= 6; ++level) {
    std::wstring t = logfmt::LevelTag(level);
    if (line.compare(pos, t.size(), t) == 0 && line.compare(pos + t.size(), 3, L" - ") == 0) {
      *tag = t;
      *text = line.substr(pos + t.size() + 3);
      return true;
    }
  }
  return false;
}

// Values under HKLM\SOFTWARE\Quillfeather\Logger\<host> for the scope of a
// test: the key is removed when it was not there, values restored otherwise.
class LoggerKeyScope {
 public:
  explicit LoggerKeyScope(const std::wstring& host) : path_(kLoggerKey + host) {
    HKEY key = nullptr;
    existed_ = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_READ, &key) ==
               ERROR_SUCCESS;
    if (key) ::RegCloseKey(key);
    level_ = std::make_unique<testing_support::RegValueOverride>(path_, L"level");
    size_ = std::make_unique<testing_support::RegValueOverride>(path_, L"max_size_mb");
    level_->Remove();
    size_->Remove();
  }
  ~LoggerKeyScope() {
    level_.reset();
    size_.reset();
    if (!existed_) ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
    if (!existed_) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str());
  }
  testing_support::RegValueOverride& level() { return *level_; }
  testing_support::RegValueOverride& size() { return *size_; }

  // Type and data of a value, or false when missing.
  bool Read(const wchar_t* name, DWORD& type, std::vector<BYTE>& data) const {
    DWORD size = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, path_.c_str(), name, RRF_RT_ANY, &type, nullptr,
                       &size) != ERROR_SUCCESS)
      return false;
    data.resize(size);
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, path_.c_str(), name, RRF_RT_ANY, &type,
                          data.data(), &size) == ERROR_SUCCESS;
  }
  bool ReadDword(const wchar_t* name, DWORD& value) const {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!Read(name, type, data) || type != REG_DWORD || data.size() != 4) return false;
    memcpy(&value, data.data(), 4);
    return true;
  }

 private:
  std::wstring path_;
  bool existed_ = false;
  std::unique_ptr<testing_support::RegValueOverride> level_, size_;
};

// A copy of this program named `name`.exe, with its registry key and log
// folder cleaned up afterwards.
class Host {
 public:
  Host(const std::wstring& name, const std::wstring& log_base)
      : name_(name), key_(name), folder_(log_base + L"\\" + name) {
    exe_ = dir_.Sub(name + L".exe");
    copied_ = ::CopyFileW(testing_support::ThisExecutable().c_str(), exe_.c_str(), FALSE) != 0;
    folder_existed_ = PathExists(folder_);
  }
  ~Host() {
    for (const auto& file : files_) ::DeleteFileW(file.c_str());
    if (!folder_existed_) DeleteTree(folder_);
  }

  // Runs the child main "logger_host" with `scenario`; fills report().
  int Run(const std::wstring& scenario, const std::vector<std::wstring>& extra = {}) {
    if (!copied_) return -100;
    ChildProcess child;
    if (!Start(child, scenario, extra)) return -101;
    int code = child.Wait();
    ReadReport();
    return code;
  }
  bool Start(ChildProcess& child, const std::wstring& scenario,
             const std::vector<std::wstring>& extra = {},
             const std::wstring& report = L"report.txt") {
    std::vector<std::wstring> args = {dir_.Sub(report), scenario};
    args.insert(args.end(), extra.begin(), extra.end());
    return child.Start(L"logger_host", args, exe_);
  }
  void ReadReport() {
    report_.clear();
    std::string bytes;
    if (!ReadWholeFile(ReportPath(), bytes)) return;
    for (const auto& line : SplitLines(Utf16(bytes))) {
      size_t eq = line.find(L'=');
      if (eq != std::wstring::npos) report_[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (!report_[L"path"].empty()) files_.insert(report_[L"path"]);
  }

  std::wstring ReportPath() const { return dir_.Sub(L"report.txt"); }
  const std::wstring& name() const { return name_; }
  const std::wstring& folder() const { return folder_; }
  const TempDir& dir() const { return dir_; }
  LoggerKeyScope& key() { return key_; }
  std::wstring Report(const wchar_t* field) { return report_[field]; }
  std::wstring LogPath() { return report_[L"path"]; }
  void Track(const std::wstring& file) { files_.insert(file); }

 private:
  TempDir dir_;
  std::wstring name_;
  LoggerKeyScope key_;
  std::wstring folder_;
  std::wstring exe_;
  bool copied_ = false;
  bool folder_existed_ = false;
  std::set<std::wstring> files_;
  std::map<std::wstring, std::wstring> report_;
};

std::wstring UniqueHost() {
  std::wstring name = testing_support::UniqueName(L"QvLogHost");
  return name;
}

// --- the child ---

std::wstring MutexName() {
  std::wstring exe = testing_support::ThisExecutable();
  std::wstring name = exe.substr(exe.find_last_of(L'\\') + 1);
  name = name.substr(0, name.find_last_of(L'.'));
  return kMutexPrefix + name + L"__" + std::to_wstring(::GetCurrentProcessId());
}

void FillUntilFull(const std::wstring& path, uint64_t limit, int& count) {
  std::wstring filler(150, L'r');
  while (FileSizeOf(path) < limit && count < 1000000)
    Log(LOG_INFO, L"fill %d %s", count++, filler.c_str());
}

QV_CHILD_MAIN(logger_host) {
  if (args.size() < 2) return 90;
  const std::wstring& scenario = args[1];
  if (scenario == L"blocked-open") {
    // Another thread holds the logger's mutex while the logger opens its file.
    HANDLE taken = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::wstring name = MutexName();
    std::thread holder([&] {
      HANDLE mutex = ::CreateMutexW(nullptr, /*initial_owner=*/TRUE, name.c_str());
      ::SetEvent(taken);
      ::WaitForSingleObject(release, 60000);
      ::ReleaseMutex(mutex);
      ::CloseHandle(mutex);
    });
    ::WaitForSingleObject(taken, 10000);
    Log(LOG_INFO, L"while-blocked");
    ::SetEvent(release);
    holder.join();
    Log(LOG_INFO, L"after-release");
    ::CloseHandle(taken);
    ::CloseHandle(release);
  }
  Logger& logger = Logger::Instance();
  std::wstring report;
  auto add = [&report](const wchar_t* key, const std::wstring& value) {
    report += std::wstring(key) + L"=" + value + L"\r\n";
  };

  if (scenario == L"levels") {
    for (int level = LOG_NONE; level <= LOG_ALW; ++level)
      Log(level, L"log-%d %s", level, L"wide");
    for (int level = LOG_DEBUG; level <= LOG_ALW; ++level)
      if (LogEnabled(level)) LogStream(level) << L"stream-" << level;
    if (LogEnabled(LOG_ERROR)) LogStreamA(LOG_ERROR) << "narrow-" << 7 << " \xE9";
    LogStream(LOG_DEBUG) << L"unguarded-debug";

    wchar_t probe[logfmt::kLineCapacity];
    int fixed = logfmt::FormatLine(probe, logfmt::kLineCapacity, logfmt::LocalTime{},
                                   ::GetCurrentProcessId(), ::GetCurrentThreadId(), LOG_INFO, L"");
    std::wstring fits(logfmt::kLineCapacity - 1 - static_cast<size_t>(fixed), L'F');
    Log(LOG_INFO, L"%s", fits.c_str());
    std::wstring over(fits.size() + 1, L'O');
    Log(LOG_INFO, L"%s", over.c_str());
    LogStream(LOG_INFO) << std::wstring(fits.size() + 1, L'S');
    Log(LOG_INFO, L"%s", std::wstring(5119, L'H').c_str());
    Log(LOG_INFO, L"%s", std::wstring(6000, L'X').c_str());
    Log(LOG_INFO, L"end-marker");
    add(L"fits", std::to_wstring(fits.size()));
  } else if (scenario == L"blocked") {
    HANDLE taken = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::wstring name = MutexName();
    std::thread holder([&] {
      HANDLE mutex = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
      if (mutex && ::WaitForSingleObject(mutex, 5000) == WAIT_OBJECT_0) {
        ::SetEvent(taken);
        ::WaitForSingleObject(release, 60000);
        ::ReleaseMutex(mutex);
      }
      ::SetEvent(taken);
      if (mutex) ::CloseHandle(mutex);
    });
    ::WaitForSingleObject(taken, 10000);
    Log(LOG_INFO, L"while-blocked");
    if (LogEnabled(LOG_WARN)) LogStream(LOG_WARN) << L"stream-while-blocked";
    ::SetEvent(release);
    holder.join();
    Log(LOG_INFO, L"after-release");
    // A holder that ends without releasing leaves the mutex abandoned: still usable.
    std::thread([&] {
      HANDLE mutex = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
      if (mutex) {
        ::WaitForSingleObject(mutex, 5000);
        ::CloseHandle(mutex);
      }
    }).join();
    Log(LOG_INFO, L"after-abandon");
    ::CloseHandle(taken);
    ::CloseHandle(release);
  } else if (scenario == L"rotate" || scenario == L"grow") {
    int count = 0;
    FillUntilFull(logger.FilePath(), logger.SizeLimit(), count);
    if (scenario == L"rotate") {
      // The next line finds the file full: keep the bytes it is archived with.
      if (args.size() < 3 || !::CopyFileW(logger.FilePath().c_str(), args[2].c_str(), FALSE))
        return 91;
      Log(LOG_INFO, L"after-rotation");
    } else {
      // Every line over the limit closes and reopens the file: no handle may pile up.
      Log(LOG_INFO, L"over %d", 0);
      DWORD handles = testing_support::HandleCount();
      for (int i = 1; i < 20; ++i) Log(LOG_INFO, L"over %d", i);
      add(L"handle_growth", std::to_wstring(testing_support::HandleCount() - handles));
    }
    add(L"count", std::to_wstring(count));
  } else if (scenario == L"burst") {
    if (args.size() < 4) return 92;
    int threads = std::stoi(args[3]);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([t, &args] {
        for (int i = 0; i < 200; ++i)
          Log(LOG_INFO, L"%s-%d-%d", args[2].c_str(), t, i);
      });
    }
    for (auto& w : workers) w.join();
  } else if (scenario == L"dll") {
    if (args.size() < 3) return 95;
    HMODULE dll = ::LoadLibraryW(args[2].c_str());
    if (!dll) return 96;
    auto dll_log = reinterpret_cast<void (*)(int, const wchar_t*)>(
        reinterpret_cast<void*>(::GetProcAddress(dll, "QvDllLog")));
    if (!dll_log) return 97;
    dll_log(LOG_INFO, L"from-dll");
    Log(LOG_INFO, L"from-exe");
    dll_log(LOG_WARN, L"from-dll-again");
    // The library's logger closes its handles at unload; the host's goes on.
    ::FreeLibrary(dll);
    Log(LOG_INFO, L"after-unload");
  } else if (scenario != L"report" && scenario != L"blocked-open") {
    return 93;
  }
  Log(LOG_INFO, L"report-line");
  add(L"path", logger.FilePath());
  add(L"open", logger.IsOpen() ? L"1" : L"0");
  add(L"threshold", std::to_wstring(logger.Threshold()));
  add(L"limit", std::to_wstring(logger.SizeLimit()));
  add(L"archiving", logger.ArchivingEnabled() ? L"1" : L"0");
  add(L"pid", std::to_wstring(::GetCurrentProcessId()));
  add(L"tid", std::to_wstring(::GetCurrentThreadId()));
  return WriteUtf16File(args[0], report) ? 0 : 94;
}

// --- the tests ---

TEST(Logger, HostLinesReachTheHostLogInTheExactLayout) {
  Host host(UniqueHost(), LogsFolder());
  ASSERT_EQ(0, host.Run(L"levels"));
  EXPECT_EQ(LogsFolder() + L"\\" + host.name() + L"\\" + host.name() + L".log", host.LogPath());
  EXPECT_EQ(L"2", host.Report(L"threshold"));
  EXPECT_EQ(L"10485760", host.Report(L"limit"));
  EXPECT_EQ(L"1", host.Report(L"archiving"));
  DWORD level = 0, size_mb = 0;
  EXPECT_TRUE(host.key().ReadDword(L"level", level));
  EXPECT_EQ(2u, level);
  EXPECT_TRUE(host.key().ReadDword(L"max_size_mb", size_mb));
  EXPECT_EQ(10u, size_mb);

  LogFile log = ReadLog(host.LogPath());
  ASSERT_TRUE(log.exists);
  ASSERT_GE(log.bytes.size(), 2u);
  EXPECT_EQ('\xFF', log.bytes[0]);
  EXPECT_EQ('\xFE', log.bytes[1]);
  DWORD pid = std::stoul(host.Report(L"pid")), tid = std::stoul(host.Report(L"tid"));
  std::vector<std::pair<std::wstring, std::wstring>> seen;  // tag, text
  for (const auto& line : log.lines) {
    DWORD p = 0, t = 0;
    std::wstring tag, text;
    ASSERT_TRUE(ParseLine(line, &p, &t, &tag, &text)) << line;
    EXPECT_EQ(pid, p) << line;
    EXPECT_EQ(tid, t) << line;
    EXPECT_EQ(std::wstring::npos, line.find(L'\xFEFF')) << "second byte-order mark: " << line;
    seen.emplace_back(tag, text);
  }
  wchar_t computer[256] = {}, user[256] = {};
  DWORD computer_size = 256, user_size = 256;
  ::GetComputerNameW(computer, &computer_size);
  ::GetUserNameW(user, &user_size);
  std::wstring rule(98, L'_');
  std::vector<std::pair<std::wstring, std::wstring>> expected = {
      {L"[ALW  ]", rule},
      {L"[ALW  ]", std::wstring(L"Logger Started: Machine Name[") + computer + L"], User Name[" +
                       user + L"], Module Name[" + host.name() + L"], Version[]"},
      {L"[ALW  ]", rule},
      {L"[INFO ]", L"log-2 wide"},
      {L"[WARN]", L"log-3 wide"},
      {L"[ ERROR  ]", L"log-4 wide"},
      {L"[ FATAL ]", L"log-5 wide"},
      {L"[ALW  ]", L"log-6 wide"},
      {L"[INFO ]", L"stream-2"},
      {L"[WARN]", L"stream-3"},
      {L"[ ERROR  ]", L"stream-4"},
      {L"[ FATAL ]", L"stream-5"},
      {L"[ALW  ]", L"stream-6"},
      {L"[ ERROR  ]", L"narrow-7 \u00e9"},
      {L"[DEBUG]", L"unguarded-debug"},
      {L"[INFO ]", std::wstring(std::stoul(host.Report(L"fits")), L'F')},
      {L"[INFO ]", L"end-marker"},
      {L"[INFO ]", L"report-line"},
  };
  ASSERT_EQ(expected.size(), seen.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].first, seen[i].first) << i << ": " << expected[i].second.substr(0, 60);
    EXPECT_EQ(expected[i].second, seen[i].second) << i;
  }
  // The longest line that fits: 3199 characters with its CR LF.
  for (const auto& line : log.lines)
    if (line.find(L"FFFF") != std::wstring::npos) {
      EXPECT_EQ(3197u, line.size());
    }
}

TEST(Logger, LevelFromRegistryFilters) {
  struct Case {
    DWORD level;
    std::vector<int> written;  // levels of "log-N" lines that must be there
  } cases[] = {{1, {1, 2, 3, 4, 5, 6}}, {4, {4, 5, 6}}, {6, {6}}, {0xFFFFFFFFu, {1, 2, 3, 4, 5, 6}}};
  for (const auto& c : cases) {
    Host host(UniqueHost(), LogsFolder());
    host.key().level().SetDword(c.level);
    ASSERT_EQ(0, host.Run(L"levels")) << c.level;
    EXPECT_EQ(std::to_wstring(static_cast<int>(c.level)), host.Report(L"threshold"));
    LogFile log = ReadLog(host.LogPath());
    ASSERT_TRUE(log.exists) << c.level;
    for (int level = 0; level <= 6; ++level) {
      bool want = false;
      for (int w : c.written) want |= (w == level);
      std::wstring text = L"log-" + std::to_wstring(level) + L" wide";
      EXPECT_EQ(want ? 1u : 0u, log.Count(L"] - " + text)) << "level " << c.level << ": " << text;
      std::wstring stream = L"] - stream-" + std::to_wstring(level);
      if (level > 0) {
        EXPECT_EQ(want ? 1u : 0u, log.Count(stream)) << c.level << stream;
      }
    }
  }
}

TEST(Logger, LibraryCopyOfTheLoggerSharesTheHostFile) {
  Host host(UniqueHost(), LogsFolder());
  host.key().level().SetDword(1);
  std::wstring dll = testing_support::ExecutableDir() + L"\\qv_logging_dll.dll";
  ASSERT_EQ(0, host.Run(L"dll", {dll}));
  LogFile log = ReadLog(host.LogPath());
  ASSERT_TRUE(log.exists);
  std::vector<std::wstring> texts;
  for (const auto& line : log.lines) {
    DWORD p = 0, t = 0;
    std::wstring tag, text;
    ASSERT_TRUE(ParseLine(line, &p, &t, &tag, &text)) << line;
    texts.push_back(tag + L" - " + text);
  }
  std::vector<std::wstring> tail(texts.begin() + 3, texts.end());  // after the host banner
  std::vector<std::wstring> expected = {
      L"[DEBUG] - Logger Started in dll: Module Name[qv_logging_dll]",
      L"[DEBUG] - " + std::wstring(60, L'-'),
      L"[INFO ] - from-dll",
      L"[INFO ] - from-exe",
      L"[WARN] - from-dll-again",
      L"[INFO ] - after-unload",
      L"[INFO ] - report-line",
  };
  EXPECT_EQ(expected, tail);
}

TEST(Logger, LevelZeroWritesNoFile) {
  Host host(UniqueHost(), LogsFolder());
  host.key().level().SetDword(0);
  ASSERT_EQ(0, host.Run(L"levels"));
  EXPECT_EQ(L"0", host.Report(L"open"));
  EXPECT_EQ(L"0", host.Report(L"threshold"));
  ASSERT_FALSE(host.LogPath().empty());
  EXPECT_FALSE(PathExists(host.LogPath()));
}

// Registry content of any type or size: nothing crashes; what is not a
// 4-byte number is replaced by the default.
TEST(Logger, RegistryValuesOfAnyShape) {
  struct Raw {
    DWORD type;
    std::vector<BYTE> data;
  };
  auto dword = [](DWORD v) {
    return Raw{REG_DWORD, {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)}};
  };
  Raw text{REG_SZ, {'5', 0, 0, 0}};
  Raw short_binary{REG_BINARY, {1, 0}};
  Raw binary4{REG_BINARY, {3, 0, 0, 0}};
  Raw qword{REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}};
  Raw multi{REG_MULTI_SZ, {'1', 0, 0, 0, 0, 0}};
  Raw empty{REG_DWORD, {}};
  struct Case {
    const char* name;
    const wchar_t* value;  // "level" or "max_size_mb"
    Raw raw;
    const wchar_t* threshold;
    const wchar_t* limit;
    bool rewritten;  // replaced by the REG_DWORD default
  } cases[] = {
      {"level 7", L"level", dword(7), L"7", L"10485760", false},
      {"level text", L"level", text, L"2", L"10485760", true},
      {"level 2 bytes", L"level", short_binary, L"2", L"10485760", true},
      {"level binary 4", L"level", binary4, L"3", L"10485760", false},
      {"level qword", L"level", qword, L"2", L"10485760", true},
      {"level multi", L"level", multi, L"2", L"10485760", true},
      {"level empty", L"level", empty, L"2", L"10485760", true},
      {"size 0", L"max_size_mb", dword(0), L"2", L"1048576", false},
      {"size 4095", L"max_size_mb", dword(4095), L"2", L"4293918720", false},
      {"size 4096", L"max_size_mb", dword(4096), L"2", L"4293918720", false},
      {"size max", L"max_size_mb", dword(0xFFFFFFFFu), L"2", L"4293918720", false},
      {"size text", L"max_size_mb", text, L"2", L"10485760", true},
      {"size qword", L"max_size_mb", qword, L"2", L"10485760", true},
  };
  Host host(UniqueHost(), LogsFolder());
  for (const auto& c : cases) {
    host.key().level().Remove();
    host.key().size().Remove();
    auto& value = std::wstring(c.value) == L"level" ? host.key().level() : host.key().size();
    value.SetRaw(c.raw.type, c.raw.data.data(), static_cast<DWORD>(c.raw.data.size()));
    ASSERT_EQ(0, host.Run(L"report")) << c.name;
    EXPECT_EQ(c.threshold, host.Report(L"threshold")) << c.name;
    EXPECT_EQ(c.limit, host.Report(L"limit")) << c.name;
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(host.key().Read(c.value, type, data)) << c.name;
    if (c.rewritten) {
      DWORD expected = std::wstring(c.value) == L"level" ? 2 : 10;
      EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type) << c.name;
      ASSERT_EQ(4u, data.size()) << c.name;
      DWORD got = 0;
      memcpy(&got, data.data(), 4);
      EXPECT_EQ(expected, got) << c.name;
    } else {
      EXPECT_EQ(c.raw.type, type) << c.name;
      EXPECT_EQ(c.raw.data, data) << c.name;
    }
  }
}

TEST(Logger, MutexHeldWhileOpeningSkipsTheBannerOnly) {
  Host host(UniqueHost(), LogsFolder());
  ASSERT_EQ(0, host.Run(L"blocked-open"));
  EXPECT_EQ(L"1", host.Report(L"open"));
  LogFile log = ReadLog(host.LogPath());
  ASSERT_TRUE(log.exists);
  EXPECT_EQ(0u, log.Count(L"Logger Started"));
  EXPECT_EQ(0u, log.Count(L"while-blocked"));
  EXPECT_EQ(1u, log.Count(L"] - after-release"));
  EXPECT_EQ(1u, log.Count(L"] - report-line"));
}

TEST(Logger, HeldMutexDropsTheLineAndAbandonedMutexIsTakenOver) {
  Host host(UniqueHost(), LogsFolder());
  ASSERT_EQ(0, host.Run(L"blocked"));
  LogFile log = ReadLog(host.LogPath());
  ASSERT_TRUE(log.exists);
  EXPECT_EQ(0u, log.Count(L"while-blocked"));
  EXPECT_EQ(1u, log.Count(L"] - after-release"));
  EXPECT_EQ(1u, log.Count(L"] - after-abandon"));
  EXPECT_EQ(1u, log.Count(L"] - report-line"));
}

// Threads of one process share the file, and so do processes of one host:
// every line arrives once and whole; the byte-order mark only at the start.
// (The processes run one after the other: Wine does not make appends of two
// processes atomic, which the append-only handle gives on Windows.)
TEST(Logger, ConcurrentWritersLoseNoLine) {
  Host host(UniqueHost(), LogsFolder());
  ASSERT_EQ(0, host.Run(L"burst", {L"A", L"4"}));
  ASSERT_EQ(0, host.Run(L"burst", {L"B", L"4"}));
  LogFile log = ReadLog(host.LogPath());
  ASSERT_TRUE(log.exists);
  EXPECT_TRUE(log.bom);
  std::set<std::wstring> texts;
  for (const auto& line : log.lines) {
    DWORD p = 0, t = 0;
    std::wstring tag, text;
    ASSERT_TRUE(ParseLine(line, &p, &t, &tag, &text)) << line;
    EXPECT_EQ(std::wstring::npos, line.find(L'\xFEFF')) << line;
    texts.insert(text);
  }
  for (const wchar_t* process : {L"A", L"B"})
    for (int t = 0; t < 4; ++t)
      for (int i = 0; i < 200; ++i) {
        std::wstring text =
            std::wstring(process) + L"-" + std::to_wstring(t) + L"-" + std::to_wstring(i);
        EXPECT_EQ(1u, texts.count(text)) << "missing " << text;
      }
  EXPECT_EQ(2u * (3 + 4 * 200 + 1), log.lines.size());
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(fd.cFileName);
  } while (::FindNextFileW(find, &fd));
  ::FindClose(find);
  return names;
}

// '#' in the pattern stands for one digit.
bool MatchesDigits(const std::wstring& text, const std::wstring& pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (pattern[i] == L'#' ? !iswdigit(text[i]) : text[i] != pattern[i]) return false;
  return true;
}

// Waits for the compressor, which runs on its own: it is done when only the
// current log and the archive are left. Returns the archive's file name.
std::wstring AwaitArchive(Host& host) {
  std::wstring gz;
  for (int i = 0; i < 600; ++i) {
    gz.clear();
    bool archived_left = false;
    for (const auto& f : FilesIn(host.folder())) {
      if (f.size() > 3 && f.compare(f.size() - 3, 3, L".gz") == 0) {
        gz = f;
      } else if (f != host.name() + L".log") {
        archived_left = true;
      }
    }
    if (!gz.empty() && !archived_left) break;
    ::Sleep(50);
  }
  if (!gz.empty()) host.Track(L"\\\\?\\" + host.folder() + L"\\" + gz);
  return gz;
}

void ExpectArchiveHolds(Host& host, const std::wstring& gz, const std::string& full) {
  EXPECT_TRUE(MatchesDigits(gz, host.name() + L"[##-##-##][##-##-##].log.gz")) << gz;
  EXPECT_EQ(2u, FilesIn(host.folder()).size());
  std::string packed;
  // Past MAX_PATH at the longest log path: read through the extended form.
  ASSERT_TRUE(ReadWholeFile(L"\\\\?\\" + host.folder() + L"\\" + gz, packed));
  std::string unpacked;
  EXPECT_TRUE(Gunzip(packed, unpacked));
  EXPECT_TRUE(unpacked == full) << "archive differs from the full file";
}

TEST(Logger, RotationArchivesTheFullFileAndCompressesIt) {
  // The longest accepted log path (259 characters): the archive names pass MAX_PATH.
  std::wstring longest = UniqueHost();
  size_t fixed = LogsFolder().size() + 1 + 1 + 4;  // "\" host "\" host ".log"
  longest.append((259 - fixed) / 2 - longest.size(), L'L');
  for (const std::wstring& name : {UniqueHost(), longest}) {
    Host host(name, LogsFolder());
    host.key().size().SetDword(0);  // 1 MiB
    std::wstring snapshot = host.dir().Sub(L"full.log");
    ASSERT_EQ(0, host.Run(L"rotate", {snapshot})) << name;
    EXPECT_EQ(L"1048576", host.Report(L"limit"));
    if (name == longest) {
      EXPECT_EQ(259u, host.LogPath().size());
    }

    std::wstring gz = AwaitArchive(host);
    ASSERT_FALSE(gz.empty()) << "no compressed archive for " << name;
    std::string full;
    ASSERT_TRUE(ReadWholeFile(snapshot, full));
    ExpectArchiveHolds(host, gz, full);

    std::wstring text = Utf16(full);
    EXPECT_EQ(0xFEFF, text[0]);
    EXPECT_GE(full.size(), 1048576u);
    EXPECT_LT(full.size(), 1048576u + 1000u) << "over the limit by more than one line";
    EXPECT_NE(std::wstring::npos, text.find(L"] - fill 0 "));

    LogFile fresh = ReadLog(host.LogPath());
    EXPECT_TRUE(fresh.bom);
    EXPECT_EQ(0u, fresh.Count(L"] - fill "));
    EXPECT_EQ(1u, fresh.Count(L"] - after-rotation"));
  }
}

using testing_support::CompressorAway;

TEST(Logger, WithoutCompressorTheArchiveStaysUncompressed) {
  Host host(UniqueHost(), LogsFolder());
  host.key().size().SetDword(0);
  std::wstring snapshot = host.dir().Sub(L"full.log");
  {
    CompressorAway away;
    ASSERT_TRUE(away.moved());
    ASSERT_EQ(0, host.Run(L"rotate", {snapshot}));
  }
  std::wstring archived;
  for (const auto& f : FilesIn(host.folder()))
    if (f != host.name() + L".log") archived = f;
  EXPECT_EQ(2u, FilesIn(host.folder()).size());
  ASSERT_TRUE(MatchesDigits(archived, host.name() + L"[##-##-##][##-##-##].log")) << archived;
  std::string full, kept;
  ASSERT_TRUE(ReadWholeFile(snapshot, full));
  ASSERT_TRUE(ReadWholeFile(host.folder() + L"\\" + archived, kept));
  EXPECT_TRUE(kept == full);
  // The failure is logged while the file is closed: it does not reach it.
  LogFile fresh = ReadLog(host.LogPath());
  EXPECT_TRUE(fresh.bom);
  EXPECT_EQ(1u, fresh.Count(L"] - after-rotation"));
  EXPECT_EQ(0u, fresh.Count(L"ExCreateProces"));
}

TEST(Logger, FullFileFoundAtStartIsArchivedBeforeTheBanner) {
  Host host(UniqueHost(), LogsFolder());
  host.key().size().SetDword(0);
  std::wstring path = LogsFolder() + L"\\" + host.name() + L"\\" + host.name() + L".log";
  std::string full = "\xFF\xFE";
  for (int i = 0; full.size() < 1048576; ++i) full += std::string("o\0l\0d\0\r\0\n\0", 10);
  ASSERT_TRUE(CreateDirectoryW(host.folder().c_str(), nullptr));
  {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD written = 0;
    ::WriteFile(h, full.data(), static_cast<DWORD>(full.size()), &written, nullptr);
    ::CloseHandle(h);
  }
  ASSERT_EQ(0, host.Run(L"report"));
  std::wstring gz = AwaitArchive(host);
  ASSERT_FALSE(gz.empty());
  ExpectArchiveHolds(host, gz, full);
  LogFile fresh = ReadLog(path);
  EXPECT_TRUE(fresh.bom);
  ASSERT_EQ(4u, fresh.lines.size());
  EXPECT_NE(std::wstring::npos, fresh.lines[1].find(L"] - Logger Started: "));
}

TEST(Logger, WithoutArchivingTheFullFileKeepsGrowing) {
  // An installer-type host: archiving off.
  Host host(L"QfRepairTool", StoredLogsFolder());
  host.key().size().SetDword(0);
  ASSERT_EQ(0, host.Run(L"grow"));
  EXPECT_EQ(L"0", host.Report(L"archiving"));
  EXPECT_EQ(L"0", host.Report(L"handle_growth"));
  EXPECT_EQ(StoredLogsFolder() + L"\\QfRepairTool\\QfRepairTool.log", host.LogPath());
  LogFile log = ReadLog(host.LogPath());
  ASSERT_TRUE(log.exists);
  EXPECT_TRUE(log.bom);
  EXPECT_GT(log.bytes.size(), 1048576u);
  int count = std::stoi(host.Report(L"count"));
  EXPECT_EQ(static_cast<size_t>(count), log.Count(L"] - fill "));
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(1u, log.CountEnding(L"] - over " + std::to_wstring(i))) << i;
  std::wstring text = Utf16(log.bytes);
  EXPECT_EQ(std::wstring::npos, text.find(L'\xFEFF', 1));
  for (const auto& f : FilesIn(host.folder()))
    EXPECT_NE(0u, f.find(L"QfRepairTool[")) << "archived although archiving is off: " << f;
}

TEST(Logger, PlacementOfSpecialHosts) {
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  std::wstring s = std::to_wstring(session);
  const std::wstring logs = LogsFolder(), stored = StoredLogsFolder();
  const std::wstring stamp = L"_[##-##-##][##-##-##].log";
  struct Case {
    std::wstring host;
    std::wstring base;
    std::wstring name;  // '#' for a digit; "<pid>" for the child's process id
    bool archiving;
  } cases[] = {
      {L"QfAntiVirusInstall", stored, L"QfAntiVirusInstall.log", false},
      {L"QfSetupApp.exe", stored, L"QfSetupApp.exe.log", false},
      {L"setup", stored, L"setup" + stamp, false},
      {L"SETUP", stored, L"SETUP" + stamp, false},
      {L"uninstall", stored, L"uninstall" + stamp, false},
      {L"updater", logs, L"updater" + stamp, true},
      {L"x86", logs, L"x86" + stamp, false},
      {L"x64", logs, L"x64" + stamp, false},
      {L"mysetup", logs, L"mysetup.log", true},
      {L"QfControlCentre", logs, L"QfControlCentre_CPlus.log", true},
      {L"QfManagementConsole", logs, L"QfManagementConsole_CPlus.log", true},
      {L"QfEventViewer", logs, L"QfEventViewer" + s + L"_CPlus.log", true},
      {L"QfDiagnostics", logs, L"QfDiagnostics<pid>.log", true},
  };
  for (const auto& c : cases) {
    Host host(c.host, c.base);
    ASSERT_EQ(0, host.Run(L"report")) << c.host;
    std::wstring path = host.LogPath();
    std::wstring folder = c.base + L"\\" + c.host + L"\\";
    ASSERT_EQ(folder, path.substr(0, folder.size())) << c.host;
    std::wstring name = c.name;
    size_t pid = name.find(L"<pid>");
    if (pid != std::wstring::npos) name.replace(pid, 5, host.Report(L"pid"));
    EXPECT_TRUE(MatchesDigits(path.substr(folder.size()), name)) << path;
    EXPECT_EQ(c.archiving ? L"1" : L"0", host.Report(L"archiving")) << c.host;
    LogFile log = ReadLog(path);
    EXPECT_TRUE(log.exists) << path;
    EXPECT_EQ(1u, log.Count(L"] - report-line")) << path;
  }
}

TEST(LogArchive, ArchiveMovesAndCompressesAFile) {
  TempDir dir;
  std::string content = "\xFF\xFEl\0i\0n\0e\0\r\0\n\0";
  content.append(200000, '\x5A');
  ASSERT_TRUE(dir.WriteFile(L"a.log", content));
  ASSERT_TRUE(logplace::ArchiveLogFile(dir.Sub(L"a.log")));
  EXPECT_FALSE(PathExists(dir.Sub(L"a.log")));
  // Done when only the compressed file is left.
  std::wstring gz;
  for (int i = 0; i < 600 && gz.empty(); ++i) {
    std::vector<std::wstring> files = FilesIn(dir.path());
    if (files.size() == 1 && files[0].size() > 3 &&
        files[0].compare(files[0].size() - 3, 3, L".gz") == 0)
      gz = files[0];
    else
      ::Sleep(50);
  }
  ASSERT_FALSE(gz.empty());
  EXPECT_TRUE(MatchesDigits(gz, L"a[##-##-##][##-##-##].log.gz")) << gz;
  std::string packed;
  ASSERT_TRUE(ReadWholeFile(dir.Sub(gz), packed));
  std::string unpacked;
  EXPECT_TRUE(Gunzip(packed, unpacked));
  EXPECT_TRUE(unpacked == content);

  ASSERT_TRUE(dir.WriteFile(L"noextension", "x"));
  EXPECT_FALSE(logplace::ArchiveLogFile(dir.Sub(L"noextension")));
  EXPECT_TRUE(PathExists(dir.Sub(L"noextension")));
  EXPECT_FALSE(logplace::ArchiveLogFile(dir.Sub(L"missing.log")));
}

}  // namespace
