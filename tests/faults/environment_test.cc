// The module in a hostile environment: a log folder that cannot be used, a
// full log that cannot be archived, registry values of the wrong type or
// size, a resource file of any content. The logger and the reporter read
// their settings once per process, so each configuration runs in a child
// copy of this program (under its own host name, with the DLL beside it)
// that starts the module, runs two short scans and stops it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/ex_common.h"
#include "common/log_placement.h"
#include "common/product.h"
#include "env_faults.h"
#include "fault_figures.h"
#include "ipc/product_paths.h"
#include "ipc/queue_names.h"
#include "ipc/resource_mgr.h"
#include "support/compressor_away.h"
#include "support/queue_server.h"
#include "support/quorvane_dll.h"
#include "support/test_support.h"

namespace {

using testing_support::ChildProcess;
using testing_support::DeleteTree;
using testing_support::ParsePacket;
using testing_support::ReadWholeFile;
using testing_support::ReceivedRecord;
using testing_support::RecordingServer;
using testing_support::RegValueOverride;
using testing_support::TempDir;
using testing_support::TheDll;
using testing_support::UniqueName;
using faultenv::WriteBytes;

std::string Utf16Bytes(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

enum EnvScanResult {
  kScanOk = 0,
  kNoDll = 10,
  kNoServer = 11,
  kStartFailed = 12,
  kCreateFailed = 13,
  kCallRefused = 14,
  kCloseFailed = 15,
  kNoConclusion = 16,
  kStopFailed = 17,
};

bool WaitForConclusion(RecordingServer& high, const std::wstring& id, std::wstring& message) {
  ULONGLONG deadline = ::GetTickCount64() + 20000;
  for (;;) {
    for (const ReceivedRecord& r : high.Records()) {
      if (r.name != id) continue;
      testing_support::ParsedPacket p = ParsePacket(r.text);
      if (p.valid && p.subtype == L"ConcludeScanPacket") {
        message = p.Get(L"DisplayMsg");
        return true;
      }
    }
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(10);
  }
}

// args: a folder to scan, a file for the conclusion's message text. A custom
// scan and a quick scan, each with items, a detection and its conclusion,
// which must arrive as a valid packet.
QV_CHILD_MAIN(env_scan) {
  if (args.size() < 2) return 90;
  const testing_support::QuorvaneDll& d = TheDll();
  if (!d.module) return kNoDll;
  RecordingServer high, low;
  if (!high.Create(kChannelServer, kHighQueueName, kHighQueueSize) ||
      !low.Create(kChannelServer, kLowQueueName, kLowQueueSize))
    return kNoServer;
  if (d.start() != 1) return kStartFailed;
  const wchar_t* paths[1] = {args[0].c_str()};
  for (int mode : {2, 9}) {
    std::wstring id = UniqueName(L"env");
    GenericPacketW request;
    void* h = d.create(id.c_str(), mode, &request, paths, 1, nullptr, nullptr);
    if (!h) return kCreateFailed;
    for (uint32_t i = 0; i < 30; ++i)
      if (!faultenv::ScanItem(h, args[0] + L"\\item" + std::to_wstring(i), i)) return kCallRefused;
    if (!faultenv::Detect(h, L"EnvMalware", args[0] + L"\\item3")) return kCallRefused;
    d.percentage(h);
    d.enumeration_completed(h);
    ScanCountMetrics m = faultenv::Metrics(30);
    if (d.close(h, 3, &m) != 0) return kCloseFailed;
    std::wstring message;
    if (!WaitForConclusion(high, id, message)) return kNoConclusion;
    if (mode == 2) faultenv::WriteBytes(args[1], Utf16Bytes(message));
  }
  if (d.stop() != 1) return kStopFailed;
  return kScanOk;
}

// args: a folder (unused), a file for the heap growth in bytes. One scan's
// progress packets pile up in the low queue while the reporter sleeps.
QV_CHILD_MAIN(low_queue_growth) {
  if (args.size() < 2) return 90;
  const testing_support::QuorvaneDll& d = TheDll();
  if (!d.module) return kNoDll;
  if (d.start() != 1) return kStartFailed;
  std::wstring id = UniqueName(L"growth");
  void* h = d.create(id.c_str(), 2, nullptr, nullptr, 0, nullptr, nullptr);
  if (!h) return kCreateFailed;
  const std::wstring path = L"C:\\growth\\" + std::wstring(100, L'p');
  for (uint32_t i = 0; i < 1000; ++i)
    if (!faultenv::ScanItem(h, path, i)) return kCallRefused;
  const uint64_t before = testing_support::HeapBusyBytes();
  for (uint32_t i = 0; i < 40000; ++i)
    if (!faultenv::ScanItem(h, path, i)) return kCallRefused;
  const uint64_t after = testing_support::HeapBusyBytes();
  ScanCountMetrics m = faultenv::Metrics(41000);
  if (d.close(h, 3, &m) != 0) return kCloseFailed;
  if (d.stop() != 1) return kStopFailed;
  faultenv::WriteBytes(args[1], std::to_string(after > before ? after - before : 0));
  return kScanOk;
}

// A copy of this program and the DLL under a host name of its own; its log
// folder and logger key are removed afterwards, and the size its quick
// scans store is put back as it was.
class EnvHost {
 public:
  EnvHost() : name_(UniqueName(L"QvEnvHost")) {
    exe_ = dir_.Sub(name_ + L".exe");
    copied_ = ::CopyFileW(testing_support::ThisExecutable().c_str(), exe_.c_str(), FALSE) &&
              ::CopyFileW((testing_support::ExecutableDir() + L"\\Quorvane.dll").c_str(),
                          dir_.Sub(L"Quorvane.dll").c_str(), FALSE);
    dir_.WriteFile(L"scan\\a.bin", std::string(4096, 'a'));
    dir_.WriteFile(L"scan\\sub\\b.bin", std::string(1000, 'b'));
  }
  ~EnvHost() {
    CleanLogFolder();
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, LoggerKey().c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, LoggerKey().c_str());
  }
  bool copied() const { return copied_; }
  // Exit code of the child, or -1 when it did not end within the bound.
  int Run(const std::wstring& main = L"env_scan") {
    ChildProcess child;
    ::DeleteFileW(Report().c_str());
    if (!child.Start(main, {dir_.Sub(L"scan"), Report()}, exe_)) return -2;
    return child.Wait(90000);
  }
  std::wstring Report() const { return dir_.Sub(L"message.txt"); }
  // The custom scan's conclusion text (the resource "JID_ScanCompleteSuccess").
  std::wstring Message() const {
    std::string bytes;
    ReadWholeFile(Report(), bytes);
    std::wstring text(bytes.size() / 2, L'\0');
    if (!text.empty()) std::memcpy(&text[0], bytes.data(), text.size() * 2);
    return text;
  }
  std::wstring LogFolder() const { return GetLogsPath() + L"\\" + name_; }
  std::wstring LogFile() const { return LogFolder() + L"\\" + name_ + L".log"; }
  std::wstring LoggerKey() const { return product::kLoggerKeyPrefix + name_; }
  const std::wstring& name() const { return name_; }
  void CleanLogFolder() const {
    const std::wstring folder = LogFolder();
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      DeleteTree(folder);
    } else {
      ::DeleteFileW(folder.c_str());
    }
  }
  std::vector<std::wstring> FilesInLogFolder() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW((LogFolder() + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      std::wstring n = fd.cFileName;
      if (n != L"." && n != L"..") names.push_back(n);
    } while (::FindNextFileW(find, &fd));
    ::FindClose(find);
    return names;
  }

 private:
  TempDir dir_;
  std::wstring name_;
  std::wstring exe_;
  bool copied_ = false;
  RegValueOverride quick_size_{product::kAntiVirusKey, L"LastQuickScanSizeBytes"};
};

uint64_t SizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool IsFolder(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A log file already at the 1 MiB limit: UTF-16 lines after a byte-order mark.
std::string FullLog() {
  std::string bytes = "\xFF\xFE";
  const std::string line("o\0l\0d\0\r\0\n\0", 10);
  while (bytes.size() < 1048576 + 64) bytes += line;
  return bytes;
}

class Holder {
 public:
  Holder(const std::wstring& path, DWORD share)
      : handle_(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~Holder() {
    if (ok()) ::CloseHandle(handle_);
  }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

using testing_support::CompressorAway;

bool NoServerListens() {
  for (const wchar_t* queue : {kHighQueueName, kLowQueueName}) {
    HANDLE marker = ::OpenEventW(SYNCHRONIZE, FALSE, QueueServerMarkerName(queue).c_str());
    if (marker) {
      ::CloseHandle(marker);
      return false;
    }
  }
  return true;
}

}  // namespace

TEST(Environment, UnusableLogFileAndFailingArchive) {
  ASSERT_TRUE(NoServerListens()) << "a queue server of another test is still up";
  EnvHost host;
  ASSERT_TRUE(host.copied());
  const std::wstring folder = host.LogFolder(), file = host.LogFile();
  struct Case {
    const char* name;
    std::function<bool(std::unique_ptr<Holder>&)> prepare;  // false: set-up failed
    std::function<void()> check;
  } cases[] = {
      {"log folder path is a file",
       [&](std::unique_ptr<Holder>&) { return WriteBytes(folder, "not a folder"); },
       [&] { EXPECT_FALSE(IsFolder(folder)) << "a folder was made over the file"; }},
      {"log file path is a folder",
       [&](std::unique_ptr<Holder>&) {
         return ::CreateDirectoryW(folder.c_str(), nullptr) &&
                ::CreateDirectoryW(file.c_str(), nullptr);
       },
       [&] { EXPECT_TRUE(IsFolder(file)); }},
      {"log file held open by another process without sharing",
       [&](std::unique_ptr<Holder>& holder) {
         if (!::CreateDirectoryW(folder.c_str(), nullptr) || !WriteBytes(file, "")) return false;
         holder = std::make_unique<Holder>(file, 0);
         return holder->ok();
       },
       [&] { EXPECT_EQ(0u, SizeOf(file)) << "written through a lock"; }},
      {"log full (1 MiB) and held open without share-delete, so archiving cannot move it",
       [&](std::unique_ptr<Holder>& holder) {
         if (!::CreateDirectoryW(folder.c_str(), nullptr) || !WriteBytes(file, FullLog()))
           return false;
         holder = std::make_unique<Holder>(file, FILE_SHARE_READ | FILE_SHARE_WRITE);
         return holder->ok();
       },
       [&] {
         // Not moved: every line found it full, failed to archive it and went on appending.
         EXPECT_GT(SizeOf(file), FullLog().size()) << "the module stopped logging";
         EXPECT_EQ(1u, host.FilesInLogFolder().size());
       }},
  };
  RegValueOverride level(host.LoggerKey(), L"level");
  RegValueOverride size(host.LoggerKey(), L"max_size_mb");
  int runs = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host.CleanLogFolder();
    level.SetDword(1);  // every debug line too: as much writing as can be had
    size.SetDword(0);   // 1 MiB
    std::unique_ptr<Holder> holder;
    ASSERT_TRUE(c.prepare(holder)) << "set-up failed: " << c.name;
    EXPECT_EQ(kScanOk, host.Run()) << c.name;
    ++runs;
    holder.reset();
    c.check();
  }
  // The compressor missing: the full file is moved aside and stays uncompressed.
  {
    SCOPED_TRACE("log full and the compressor missing");
    host.CleanLogFolder();
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(file, FullLog()));
    CompressorAway away;
    ASSERT_TRUE(away.moved());
    EXPECT_EQ(kScanOk, host.Run());
    ++runs;
    std::vector<std::wstring> files = host.FilesInLogFolder();
    size_t archived = 0;
    for (const std::wstring& f : files)
      archived += f.compare(0, host.name().size() + 1, host.name() + L"[") == 0 ? 1 : 0;
    EXPECT_EQ(1u, archived);
    std::string fresh;
    ASSERT_TRUE(ReadWholeFile(file, fresh));
    EXPECT_EQ(0, fresh.compare(0, 2, "\xFF\xFE")) << "the new log has no byte-order mark";
    EXPECT_LT(fresh.size(), FullLog().size());
  }
  testing_support::ReportFaultFigures(
      "log file unusable (folder path a file, file path a folder, file locked) or full with "
      "archiving failing (move refused, compressor missing)",
      static_cast<uint64_t>(runs), "child scans",
      "every child started, scanned, delivered its conclusions and stopped; no crash, no hang");
}

TEST(Environment, RegistryValuesOfTheWrongTypeOrSize) {
  ASSERT_TRUE(NoServerListens()) << "a queue server of another test is still up";
  EnvHost host;
  ASSERT_TRUE(host.copied());
  const std::wstring av = product::kAntiVirusKey, scanner = product::kScannerKey,
                     root = product::kRootKey, logger = host.LoggerKey();
  struct Value {
    std::wstring key, name;
    DWORD type;
    std::string data;
  };
  const std::string ones8(8, '\xFF');
  const std::string no_nul("C:\\", 3);
  const std::string multi = Utf16Bytes(std::wstring(L"en\0de\0\0", 7));
  struct Case {
    const char* name;
    std::vector<Value> values;
  } cases[] = {
      {"logger level and size as text",
       {{logger, L"level", REG_SZ, Utf16Bytes(std::wstring(L"1\0", 2))},
        {logger, L"max_size_mb", REG_SZ, Utf16Bytes(std::wstring(L"0\0", 2))}}},
      {"logger level of 1 byte, size of 8 bytes",
       {{logger, L"level", REG_BINARY, std::string(1, '\x01')},
        {logger, L"max_size_mb", REG_BINARY, ones8}}},
      {"logger level -1 and size 4 GiB",
       {{logger, L"level", REG_DWORD, std::string(4, '\xFF')},
        {logger, L"max_size_mb", REG_DWORD, std::string(4, '\xFF')}}},
      {"4-byte quick-scan size, flush interval and count at 2^32-1, network flag as text",
       {{av, L"LastQuickScanSizeBytes", REG_BINARY, std::string("\x10\x27\x00\x00", 4)},
        {av, L"ReportFlushIntervalMS", REG_DWORD, std::string(4, '\xFF')},
        {av, L"ReportFlushCount", REG_DWORD, std::string(4, '\xFF')},
        {scanner, L"ODScanNetworkItems", REG_SZ, Utf16Bytes(std::wstring(L"1\0", 2))}}},
      {"quick-scan size 2^64-1, flush interval as text, count of 2 bytes, network flag on",
       {{av, L"LastQuickScanSizeBytes", REG_BINARY, ones8},
        {av, L"ReportFlushIntervalMS", REG_SZ, Utf16Bytes(std::wstring(L"100\0", 4))},
        {av, L"ReportFlushCount", REG_BINARY, std::string("\x03\x00", 2)},
        {scanner, L"ODScanNetworkItems", REG_DWORD, std::string("\x01\x00\x00\x00", 4)}}},
      {"quick-scan size as 64 KiB of text, flush interval as a QWORD, count 0",
       {{av, L"LastQuickScanSizeBytes", REG_SZ, Utf16Bytes(std::wstring(32767, L'9') + L'\0')},
        {av, L"ReportFlushIntervalMS", REG_QWORD, ones8},
        {av, L"ReportFlushCount", REG_DWORD, std::string(4, '\0')}}},
      {"install path as a DWORD, language as a multi-string",
       {{av, L"InstallPath", REG_DWORD, std::string("\x07\x00\x00\x00", 4)},
        {root, L"Lang", REG_MULTI_SZ, multi}}},
      {"install path of 20000 characters, language climbing out of the folder",
       {{av, L"InstallPath", REG_SZ, Utf16Bytes(L"C:\\" + std::wstring(20000, L'p') + L'\0')},
        {root, L"Lang", REG_SZ, Utf16Bytes(std::wstring(L"..\\..\\..\\..\\windows") + L'\0')}}},
      {"install path of an odd byte count without NUL, language as binary",
       {{av, L"InstallPath", REG_SZ, no_nul},
        {root, L"Lang", REG_BINARY, std::string("\xFF\xFE\x00", 3)}}},
  };
  // Setting a value creates its key; a key that was not there goes again.
  struct KeyScope {
    std::wstring path;
    bool existed = false;
    explicit KeyScope(const std::wstring& p) : path(p) {
      HKEY key = nullptr;
      existed = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, p.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
      if (key) ::RegCloseKey(key);
    }
    ~KeyScope() {
      if (!existed) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    }
  } scanner_key(scanner);
  int runs = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<RegValueOverride>> overrides;
    for (const Value& v : c.values) {
      overrides.push_back(std::make_unique<RegValueOverride>(v.key, v.name));
      overrides.back()->SetRaw(v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    }
    EXPECT_EQ(kScanOk, host.Run()) << c.name;
    ++runs;
  }
  testing_support::ReportFaultFigures(
      "registry values of the wrong type or size (logger, reporter, quick-scan size, network "
      "flag, install path, language)",
      static_cast<uint64_t>(runs), "child scans",
      "defaults or silence every time: each child started, scanned, delivered its conclusions "
      "and stopped; no crash, no hang");
}

// The reporter caps its interval at 60 s; a count without a cap would let
// the low queue hold every packet of that minute.
TEST(Environment, HugeReportFlushCountKeepsTheLowQueueBounded) {
  EnvHost host;
  ASSERT_TRUE(host.copied());
  RegValueOverride interval(product::kAntiVirusKey, L"ReportFlushIntervalMS");
  RegValueOverride count(product::kAntiVirusKey, L"ReportFlushCount");
  interval.SetDword(0xFFFFFFFF);
  count.SetDword(0xFFFFFFFF);
  ASSERT_EQ(kScanOk, host.Run(L"low_queue_growth"));
  std::string growth;
  ASSERT_TRUE(ReadWholeFile(host.Report(), growth));
  const uint64_t bytes = std::stoull(growth);
  EXPECT_LT(bytes, 16u * 1024 * 1024) << "40000 progress packets kept in memory";
  testing_support::ReportFaultFigures(
      "ReportFlushCount and ReportFlushIntervalMS at 2^32-1 during a scan", 40000,
      "progress packets",
      "low queue stayed bounded (4096 packets): heap grew by " + std::to_string(bytes / 1024) +
          " KiB over the 40000 packets");
}

TEST(Environment, ResourceFileOfAnyContent) {
  ASSERT_TRUE(NoServerListens()) << "a queue server of another test is still up";
  EnvHost host;
  ASSERT_TRUE(host.copied());
  const std::wstring installed = ResourceMgr::ResourceFilePath();
  std::string original;
  ASSERT_TRUE(ReadWholeFile(installed, original)) << "no installed resource file";
  struct Restore {
    const std::wstring& path;
    const std::string& bytes;
    ~Restore() { WriteBytes(path, bytes); }
  } restore{installed, original};

  std::string many = "{\"JID_ScanCompleteSuccess\": \"Scan completed\"";
  for (int i = 0; many.size() < 50u * 1024 * 1024; ++i)
    many += ",\"k" + std::to_string(i) + "\":\"" + std::string(40, 'v') + "\"";
  many += "}";
  std::string one_string = "{\"JID_Filler\": \"" + std::string(50u * 1024 * 1024, 'w') + "\"}";
  std::string deep = "{\"JID_Deep\": " + std::string(4 * 1024 * 1024, '[');
  struct Case {
    const char* name;
    const std::string* bytes;
    const wchar_t* message;  // expected conclusion text; null: any
  };
  const std::string corrupt = "{\"JID_ScanCompleteSuccess\": \"Scan comp";
  const std::string empty;
  const std::string not_object = "[\"JID_ScanCompleteSuccess\", 1, null]";
  const std::string bad_utf8 =
      "{\"JID_ScanCompleteSuccess\": \"Scan \xE9 \xFF\xFE done \xC0\x80 \xED\xA0\x80 \xF4\x90\x80\x80\","
      "\"JID_MalwareHelperProcess\": \"\x80\x80\x80\"}";
  const std::string utf16 = "\xFF\xFE" + Utf16Bytes(L"{\"JID_ScanCompleteSuccess\": \"x\"}");
  const Case cases[] = {
      {"corrupt (cut off)", &corrupt, L""},
      {"empty", &empty, L""},
      {"an array instead of an object", &not_object, L""},
      {"not UTF-8 (Latin-1, overlong, surrogate and out-of-range sequences)", &bad_utf8, nullptr},
      {"UTF-16 with a byte-order mark", &utf16, L""},
      {"50 MB of members", &many, L"Scan completed"},
      {"50 MB in one string", &one_string, L""},
      {"4 MB of nesting, never closed", &deep, L""},
  };
  int runs = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteBytes(installed, *c.bytes)) << c.name;
    EXPECT_EQ(kScanOk, host.Run()) << c.name;
    const std::wstring message = host.Message();
    if (c.message) {
      EXPECT_EQ(c.message, message) << c.name;
    } else {
      // Loaded, each bad sequence replaced: no stray surrogate reaches a packet.
      EXPECT_EQ(0u, message.find(L"Scan ")) << c.name;
      EXPECT_NE(std::wstring::npos, message.find(L'\xFFFD')) << c.name;
      for (wchar_t ch : message) EXPECT_FALSE(ch >= 0xD800 && ch <= 0xDFFF) << c.name;
    }
    ++runs;
  }
  // The file is fine but TEMP names a file: the copy to parse fails twice.
  {
    SCOPED_TRACE("TEMP is a file");
    ASSERT_TRUE(WriteBytes(installed, original));
    const std::wstring not_a_folder = host.Report() + L".temp";
    ASSERT_TRUE(WriteBytes(not_a_folder, "not a folder"));
    std::vector<wchar_t> temp(32768, L'\0');
    DWORD length = ::GetEnvironmentVariableW(L"TEMP", temp.data(), 32768);
    ::SetEnvironmentVariableW(L"TEMP", not_a_folder.c_str());
    const int code = host.Run();
    ::SetEnvironmentVariableW(L"TEMP", length ? temp.data() : nullptr);
    ::DeleteFileW(not_a_folder.c_str());
    EXPECT_EQ(kScanOk, code);
    EXPECT_EQ(L"", host.Message()) << "texts although the copy could not be made";
    ++runs;
  }
  WriteBytes(installed, original);
  std::string back;
  ASSERT_TRUE(ReadWholeFile(installed, back));
  EXPECT_TRUE(back == original) << "the installed resource file was not restored";
  testing_support::ReportFaultFigures(
      "resource file corrupt, empty, not an object, not UTF-8, UTF-16, 50 MB, deeply nested; "
      "TEMP a file so that it cannot be copied",
      static_cast<uint64_t>(runs), "child scans",
      "Start returned 1, both scans concluded with valid packets and Stop returned every time; "
      "no crash, no hang; texts only from the well-formed files, bad UTF-8 sequences replaced "
      "by U+FFFD; installed file restored");
}
