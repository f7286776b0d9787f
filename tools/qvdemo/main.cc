// The demo engine: plays the scanning engine against Quorvane.dll and the
// product's service against the DLL's queues, and prints what the service got.
//
//   qvdemo [FOLDER] [--console]
//
// Without FOLDER it scans a sample tree it generates under %TEMP%, in which a
// few files hold the EICAR anti-malware test string.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "common/ex_common.h"
#include "ipc/product_paths.h"
#include "ipc/queue_names.h"
#include "ipc/smipczub.h"
#include "quorvane.h"

namespace {

// The standard anti-malware test string, split so this binary is not itself a "detection".
const char kEicarHead[] = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$";
const char kEicarTail[] = "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

using CreateFn = void* (*)(const wchar_t*, int, void*, const wchar_t**, uint32_t, void*, void*);
using PreScanFn = int (*)(void*, uint32_t, void*);
using ItemScanFn = int (*)(void*, const wchar_t*, uint32_t, const ScanCountMetrics*);
using DetectionFn = int (*)(void*, const MalwareInfo*, void*, const ScanCountMetrics*);
using PercentFn = uint32_t (*)(void*);
using EnumDoneFn = bool (*)(void*);
using CloseFn = int (*)(void*, uint32_t, const ScanCountMetrics*);
using StartStopFn = int (*)();

struct Exports {
  CreateFn Create;
  PreScanFn OnItemPreScan;
  ItemScanFn OnItemScan;
  DetectionFn OnMalwareDetection;
  PercentFn IncreaseScanPercentage;
  EnumDoneFn FileEnumerationCompleted;
  CloseFn Close;
  StartStopFn Start;
  StartStopFn Stop;
};

template <typename T>
bool Resolve(HMODULE dll, const char* name, T& fn) {
  fn = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(dll, name)));
  if (!fn) std::fprintf(stderr, "qvdemo: Quorvane.dll does not export %s\n", name);
  return fn != nullptr;
}

// Console output that survives any character: UTF-8 on pipes and files.
void Print(const std::wstring& text) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode, written;
  if (::GetConsoleMode(out, &mode)) {
    ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                0, nullptr, nullptr);
  std::string bytes(n > 0 ? n : 0, '\0');
  if (n > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n,
                          nullptr, nullptr);
  ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

struct Received {
  std::wstring queue;
  std::wstring item;
  std::wstring json;
};

// The product service's end of one queue: keeps a copy of every record.
class ServiceQueue : public SMIPCZUB {
 public:
  ServiceQueue(const wchar_t* name, std::vector<Received>& sink, CRITICAL_SECTION& lock)
      : name_(name), sink_(sink), lock_(lock) {}
  ~ServiceQueue() override { Disconnect(); }
  void OnItemsReceived(std::vector<const ItemHeader*>& items) override {
    ::EnterCriticalSection(&lock_);
    for (const ItemHeader* item : items)
      sink_.push_back({name_, queue_layout::ItemName(*item), queue_layout::ItemText(item)});
    ::LeaveCriticalSection(&lock_);
  }

 private:
  std::wstring name_;
  std::vector<Received>& sink_;
  CRITICAL_SECTION& lock_;
};

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(h);
  return ok && written == bytes.size();
}

// A few hundred files in nested folders; every 97th holds the test string.
std::wstring MakeSampleTree() {
  std::wstring root = ExCommon::AddTrailingBackslash(ExCommon::GetTempFolder()) + L"qvdemo-sample";
  if (ExCommon::FolderExists(root)) return root;
  const wchar_t* folders[] = {L"Documents", L"Documents\\Reports", L"Pictures", L"Downloads",
                              L"Downloads\\Archive", L"Program Data\\Cache"};
  int n = 0;
  for (const wchar_t* folder : folders) {
    std::wstring dir = root + L"\\" + folder;
    ExCommon::CreateFolderTree(dir);
    for (int i = 0; i < 50; ++i, ++n) {
      std::string content;
      if (n % 97 == 13) {
        content = std::string(kEicarHead) + kEicarTail;
      } else {
        content.assign(512 + (n * 7919) % 65536, static_cast<char>('a' + n % 26));
      }
      WriteBytes(dir + L"\\file" + std::to_wstring(i) + (n % 3 ? L".txt" : L".bin"), content);
    }
  }
  return root;
}

void ListFiles(const std::wstring& root, std::vector<std::wstring>& files) {
  std::vector<std::wstring> pending{root};
  while (!pending.empty()) {
    std::wstring dir = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L".." || (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        continue;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) pending.push_back(dir + L"\\" + name);
      else files.push_back(dir + L"\\" + name);
    } while (::FindNextFileW(find, &fd));
    ::FindClose(find);
  }
}

bool HoldsEicar(const std::wstring& path, uint64_t& size) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER li{};
  ::GetFileSizeEx(h, &li);
  size = static_cast<uint64_t>(li.QuadPart);
  std::string head(4096, '\0');
  DWORD got = 0;
  ::ReadFile(h, &head[0], static_cast<DWORD>(head.size()), &got, nullptr);
  ::CloseHandle(h);
  head.resize(got);
  return head.find(std::string(kEicarHead) + kEicarTail) != std::string::npos;
}

std::map<std::wstring, std::wstring> Entries(const std::wstring& json, std::wstring* subtype) {
  std::map<std::wstring, std::wstring> entries;
  rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>> doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(json.c_str());
  if (doc.HasParseError() || !doc.IsObject()) return entries;
  auto st = doc.FindMember(L"subtype");
  if (subtype && st != doc.MemberEnd() && st->value.IsString()) *subtype = st->value.GetString();
  auto list = doc.FindMember(L"keyvallist");
  if (list == doc.MemberEnd() || !list->value.IsArray()) return entries;
  for (auto& e : list->value.GetArray()) {
    if (!e.IsObject()) continue;
    auto k = e.FindMember(L"key"), v = e.FindMember(L"value");
    if (k != e.MemberEnd() && v != e.MemberEnd() && k->value.IsString() && v->value.IsString())
      entries[k->value.GetString()] = v->value.GetString();
  }
  return entries;
}

uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The UTF-16 lines appended to the log file from byte offset `from` on.
std::vector<std::wstring> LogLinesSince(const std::wstring& path, uint64_t from) {
  std::vector<std::wstring> lines;
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return lines;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(from & ~uint64_t{1});
  ::SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
  std::wstring text;
  wchar_t chunk[8192];
  DWORD got = 0;
  while (::ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got >= 2)
    text.append(chunk, got / 2);
  ::CloseHandle(h);
  size_t start = (!text.empty() && text[0] == 0xFEFF) ? 1 : 0;
  while (start < text.size()) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring folder;
  bool console = false;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--console") console = true;
    else if (arg == L"--help" || arg == L"-h") {
      Print(L"usage: qvdemo [FOLDER] [--console]\n");
      return 0;
    } else folder = arg;
  }
  if (folder.empty()) folder = MakeSampleTree();
  folder = ExCommon::RemoveTrailingBackslash(folder);

  std::wstring exe = ExCommon::GetModulePath(nullptr);
  std::wstring dll_path = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"Quorvane.dll";
  HMODULE dll = ::LoadLibraryW(dll_path.c_str());
  if (!dll) {
    Print(L"qvdemo: cannot load " + dll_path + L"\n");
    return 1;
  }
  Exports x{};
  if (!Resolve(dll, "Create", x.Create) || !Resolve(dll, "OnItemPreScan", x.OnItemPreScan) ||
      !Resolve(dll, "OnItemScan", x.OnItemScan) ||
      !Resolve(dll, "OnMalwareDetection", x.OnMalwareDetection) ||
      !Resolve(dll, "IncreaseScanPercentage", x.IncreaseScanPercentage) ||
      !Resolve(dll, "FileEnumerationCompleted", x.FileEnumerationCompleted) ||
      !Resolve(dll, "Close", x.Close) || !Resolve(dll, "Start", x.Start) ||
      !Resolve(dll, "Stop", x.Stop))
    return 1;

  // The product's service: the server end of both queues.
  CRITICAL_SECTION lock;
  ::InitializeCriticalSection(&lock);
  std::vector<Received> received;
  ServiceQueue high(kHighQueueName, received, lock), low(kLowQueueName, received, lock);
  if (!high.Create(kChannelServer, kHighQueueName, kHighQueueSize) ||
      !low.Create(kChannelServer, kLowQueueName, kLowQueueSize)) {
    Print(L"qvdemo: cannot serve the product's queues (is another service running?)\n");
    return 1;
  }

  std::vector<std::wstring> files;
  ListFiles(folder, files);
  Print(L"Scanning " + folder + L" (" + std::to_wstring(files.size()) + L" files)" +
        (console ? L" as the command-line scanner" : L"") + L"\n");

  // The DLL logs for its host, this program.
  std::wstring host = exe.substr(exe.find_last_of(L'\\') + 1);
  host = host.substr(0, host.find_last_of(L'.'));
  std::wstring log_path = ExCommon::AddTrailingBackslash(GetLogsPath()) + host + L"\\" + host + L".log";
  uint64_t log_start = FileSize(log_path);

  x.Start();

  GenericPacketW request;
  request.type = L"ODAVScanner";
  request.subtype = L"ScanRequest";
  request.keyvallist[L"InvokerPID"] = std::to_wstring(::GetCurrentProcessId());
  request.keyvallist[L"ExcludedExtensions"] = L"[\"tmp\"]";
  std::wstring done_event_name;
  HANDLE done_event = nullptr;
  if (console) {
    done_event_name = L"Global\\QvDemoScanDone_" + std::to_wstring(::GetCurrentProcessId());
    done_event = ::CreateEventW(nullptr, TRUE, FALSE, done_event_name.c_str());
    request.keyvallist[L"ScanRequestedBy"] = L"RequestedByCommandLineScanner";
    request.keyvallist[L"NamedEvent"] = done_event_name;
  } else {
    request.keyvallist[L"ScanRequestedBy"] = L"RequestedByUser";
  }

  std::wstring scan_id = ExCommon::CreateGuidString();
  const wchar_t* paths[] = {folder.c_str()};
  void* scan = x.Create(scan_id.c_str(), 2 /* Custom Scan */, &request, paths, 1, nullptr, nullptr);
  if (!scan) {
    Print(L"qvdemo: Create failed\n");
    return 1;
  }

  // Two engine threads scan the files; the engine's counters are shared.
  ScanCountMetrics metrics{};
  CRITICAL_SECTION metrics_lock;
  ::InitializeCriticalSection(&metrics_lock);
  std::atomic<size_t> next{0};
  std::atomic<int> detections{0};
  auto engine_thread = [&] {
    for (size_t i = next++; i < files.size(); i = next++) {
      uint64_t size = 0;
      bool infected = HoldsEicar(files[i], size);
      x.OnItemPreScan(scan, 0, &size);
      ScanCountMetrics snapshot;
      ::EnterCriticalSection(&metrics_lock);
      ++metrics.m_dwScannedCnt;
      ++metrics.m_dwFilesCnt;
      if (infected) ++metrics.m_dwInfectedCnt, ++metrics.m_dwQuarantinedCnt;
      metrics.m_CPULoad = 35;
      snapshot = metrics;
      ::LeaveCriticalSection(&metrics_lock);
      if (infected) {
        MalwareInfo info{};
        info.m_bQuarantined = true;
        info.m_dwScanMode = 2;
        info.m_dwItemType = 1;
        info.m_sItemPath = files[i];
        info.m_sMalwareName = L"EICAR-Test-File (not a virus)";
        info.m_dwMalwareStatus = 4;
        info.m_dwThreatLevel = 3;
        info.m_sMalwareCategory = L"Virus";
        info.m_dwMalwareCategoryId = 9;
        info.m_dwMalwaresDetected = 1;
        info.m_sDetectionID = ExCommon::CreateGuidString();
        info.m_dwScore = 100;
        info.m_sObjectFinalPath = L"Quarantine\\" + info.m_sDetectionID;
        info.m_sQurantineID = info.m_sDetectionID;
        x.OnMalwareDetection(scan, &info, nullptr, &snapshot);
        ++detections;
      }
      x.OnItemScan(scan, files[i].c_str(), 1, &snapshot);
      ::Sleep(2);  // an engine takes its time over a file
    }
  };
  std::thread a(engine_thread), b(engine_thread);
  uint32_t shown = 0;
  while (next < files.size()) {
    uint32_t percent = x.IncreaseScanPercentage(scan);
    if (!console && percent != shown) {
      Print(L"  progress " + std::to_wstring(percent) + L"%" +
            (x.FileEnumerationCompleted(scan) ? L"" : L" (still estimating)") + L"\n");
      shown = percent;
    }
    ::Sleep(100);
  }
  a.join();
  b.join();
  x.Close(scan, 3 /* Completed */, &metrics);
  if (done_event) {
    bool signalled = ::WaitForSingleObject(done_event, 5000) == WAIT_OBJECT_0;
    Print(std::wstring(L"Named event ") + done_event_name +
          (signalled ? L" was signalled\n" : L" was NOT signalled\n"));
    ::CloseHandle(done_event);
  }
  x.Stop();
  ::Sleep(300);  // the last records reach the service
  high.Disconnect();
  low.Disconnect();

  // What the product's service received.
  size_t progress = 0, detected = 0, summaries = 0;
  std::wstring last_progress, summary;
  Print(L"\nThe product's service received:\n");
  for (const Received& r : received) {
    std::wstring subtype;
    auto e = Entries(r.json, &subtype);
    if (subtype == L"ScannedItemPacket") {
      ++progress;
      last_progress = e[L"Progress"];
    } else if (subtype == L"MalwareDetectPacket") {
      ++detected;
      Print(L"  detection  " + e[L"ItemPath"] + L" : " + e[L"MalwareName"] + L"\n");
    } else if (subtype == L"ConcludeScanPacket") {
      ++summaries;
      summary = L"  summary    Result=" + e[L"Result"] + L", ScannedCnt=" + e[L"ScannedCnt"] +
                L", MalwaresDetected=" + e[L"MalwaresDetected"] + L", QuarantinedCnt=" +
                e[L"QuarantinedCnt"] + L", Progress=" + e[L"Progress"] + L", DisplayMsg=\"" +
                e[L"DisplayMsg"] + L"\"\n";
    }
  }
  Print(L"  progress   " + std::to_wstring(progress) + L" packets on " + kLowQueueName +
        (progress ? L", the last at " + last_progress + L"%" : L"") + L"\n");
  Print(L"  detections " + std::to_wstring(detected) + L" packets on " + kHighQueueName + L"\n");
  Print(summary.empty() ? L"  summary    none\n" : summary);
  if (!received.empty()) {
    Print(L"\nLast record, as it travelled (" + received.back().queue + L", item " +
          received.back().item + L"):\n  " + received.back().json + L"\n");
  }
  std::vector<std::wstring> log_lines = LogLinesSince(log_path, log_start);
  Print(L"\nLog file " + log_path + L": " + std::to_wstring(log_lines.size()) +
        L" lines from this run; the first of them:\n");
  for (size_t i = 0; i < log_lines.size() && i < 8; ++i) Print(L"  " + log_lines[i] + L"\n");
  ::DeleteCriticalSection(&metrics_lock);
  ::DeleteCriticalSection(&lock);
  ::FreeLibrary(dll);
  bool ok = summaries == 1 && detected == static_cast<size_t>(detections) && (console || progress > 0);
  return ok ? 0 : 1;
}
