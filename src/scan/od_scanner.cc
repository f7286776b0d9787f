#include "scan/od_scanner.h"

#include <objbase.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

#include "common/ex_common.h"
#include "common/handle.h"
#include "common/log.h"
#include "ipc/product_paths.h"
#include "ipc/queue_names.h"
#include "ipc/reporter.h"
#include "ipc/resource_mgr.h"
#include "packets/json.h"
#include "packets/json_helper.h"
#include "packets/scan_packets.h"
#include "packets/write_once.h"
#include "scan/scan_enums.h"

namespace {

constexpr wchar_t kCommandLineScanner[] = L"RequestedByCommandLineScanner";
constexpr wchar_t kAutoStartMonitor[] = L"RequestedByAutoStartMonitor";
constexpr double kConsoleIntervalMs = 200.0;

// Console state shared by every session of the process.
struct Console {
  std::mutex mutex;        // one block or conclusion at a time
  bool last_print_set = false;  // guarded by mutex
  int64_t last_print_ns = 0;    // guarded by mutex
};

Console& TheConsole() {
  static Console console;
  return console;
}

int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// GetStdHandle gives null without a handle and INVALID_HANDLE_VALUE on failure.
bool UsableHandle(const void* handle) {
  // cppcheck-suppress knownConditionTrueFalse ; its Win32 model makes the two values equal
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

bool StdoutIsConsole(HANDLE out) {
  DWORD mode = 0;
  return UsableHandle(out) && ::GetConsoleMode(out, &mode);
}

// One byte per character, '?' for what 8 bits cannot hold; stops at the first failed write.
void WriteLatin1(HANDLE out, const std::wstring& text) {
  std::string bytes = scan_text::ToLatin1(text);
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    DWORD chunk = left > (1u << 20) ? (1u << 20) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(out, data, chunk, &written, nullptr) || written == 0) return;
    data += written;
    left -= written;
  }
}

// A console gets the text as it is (WriteConsoleW carries full Unicode); a
// pipe or file gets one byte per character, '?' for what 8 bits cannot
// hold. Cursor moves only on a console.
void WriteStdout(const COORD* position, const std::wstring& text) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (!UsableHandle(out)) return;
  if (StdoutIsConsole(out)) {
    if (position) ::SetConsoleCursorPosition(out, *position);
    const wchar_t* data = text.data();
    size_t left = text.size();
    while (left > 0) {
      DWORD chunk = left > 8192 ? 8192 : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!::WriteConsoleW(out, data, chunk, &written, nullptr) || written == 0) break;
      data += written;
      left -= written;
    }
    return;
  }
  WriteLatin1(out, text);
}

// Created or truncated, no sharing restriction; failures are not reported.
void WriteTextFile(const std::wstring& path, const std::wstring& text) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file) WriteLatin1(file.get(), text);
}

std::wstring Decimal(int64_t value) { return std::to_wstring(value); }

}  // namespace

namespace scan_text {

uint32_t NextProgress(uint32_t current, bool completed, uint64_t estimate, uint64_t scanned) {
  if (completed && estimate == 0) return 0;
  uint32_t progress = current;
  if (estimate != 0) {
    // 128 bits: scanned * 100 must not wrap for a huge byte count.
    unsigned __int128 p = static_cast<unsigned __int128>(scanned) * 100u / estimate;
    uint32_t capped = p > 99 ? 99u : static_cast<uint32_t>(p);
    if (capped > progress) progress = capped;
  }
  return progress < 1 ? 1 : progress;
}

std::wstring DisplayPath(const std::wstring& path) {
  constexpr size_t kWidth = 64;
  if (path.size() < kWidth) return path + std::wstring(kWidth - path.size(), L' ');
  return path.substr(0, 29) + L"..." + path.substr(path.size() - 32);
}

std::wstring CounterDump(const ScanCountMetrics& m) {
  std::wstring out = L"\n";
  auto line = [&out](const wchar_t* label, const std::wstring& value) {
    out += label;
    out += value;
    out += L"\n";
  };
  line(L"m_scanPriority      =", Decimal(m.m_scanPriority));
  line(L"m_CPULoad           =", Decimal(m.m_CPULoad));
  line(L"m_bRebootRequired   =", EngineFlag(m.m_bRebootRequired) ? L"1" : L"0");
  line(L"m_dwScannedCnt      =", Decimal(m.m_dwScannedCnt));
  line(L"m_dwInfectedCnt     =", Decimal(m.m_dwInfectedCnt));
  line(L"m_dwQuarantinedCnt  =", Decimal(m.m_dwQuarantinedCnt));
  line(L"m_dwCleanedCnt\t   =", Decimal(m.m_dwCleanedCnt));
  line(L"m_dwDeletedCnt\t   =", Decimal(m.m_dwDeletedCnt));
  line(L"m_dwSuspciousCnt\t   =", Decimal(m.m_dwSuspciousCnt));
  out += L"\n";
  line(L"m_dwFilesCnt         =", Decimal(m.m_dwFilesCnt));
  line(L"m_dwRegKeyCnt\t    =", Decimal(m.m_dwRegKeyCnt));
  line(L"m_dwBootSectorsCnt   =", Decimal(m.m_dwBootSectorsCnt));
  line(L"m_dwMemoryProcessCnt =", Decimal(m.m_dwMemoryProcessCnt));
  line(L"m_dwCookieCnt\t    =", Decimal(m.m_dwCookieCnt));
  line(L"m_dwStreamCnt\t\t=", Decimal(m.m_dwStreamCnt));
  line(L"m_dwMimeCnt\t\t\t=", Decimal(m.m_dwMimeCnt));
  return out;
}

std::string ToLatin1(const std::wstring& text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (size_t i = 0; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (c <= 0xFF) {
      out += static_cast<char>(static_cast<unsigned char>(c));
    } else {
      // A surrogate pair is one character and gets one '?'.
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
          text[i + 1] <= 0xDFFF)
        ++i;
      out += '?';
    }
  }
  return out;
}

}  // namespace scan_text

ODScanner::ODScanner() : com_result_(::CoInitialize(nullptr)), com_thread_(::GetCurrentThreadId()) {
  ::InitializeCriticalSection(&lock_);
}

ODScanner::~ODScanner() {
  // COM counts per thread: uninitialising another thread's apartment would
  // undo an initialisation that is not ours.
  if (com_result_ == S_OK && ::GetCurrentThreadId() == com_thread_) ::CoUninitialize();
  ::DeleteCriticalSection(&lock_);
}

bool ODScanner::IsHiddenAutoStart(const GenericPacketW* request) {
  return request && request->IsHiddenScan() &&
         request->GetScanRequestedBy() == kAutoStartMonitor;
}

int32_t ODScanner::Init(const std::wstring& scan_id, uint32_t scan_mode,
                        const GenericPacketW* request,
                        const std::vector<std::wstring>& scan_paths, void* engine_data1,
                        void* engine_data2) {
  Log(LOG_ALW, L"ODScanner::Init - with ScanMode = %s, ScanID = %s,",
      GetScanModeName(static_cast<int32_t>(scan_mode)).c_str(), scan_id.c_str());
  start_time_ = Now();
  if (request) {
    request_ = request;
    console_mode_ = request->GetScanRequestedBy() == kCommandLineScanner;
    if (console_mode_) {
      // Not a console (a pipe or a file): the block is written as plain
      // lines and the position stays 0,0.
      CONSOLE_SCREEN_BUFFER_INFO info{};
      HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
      if (StdoutIsConsole(out) && ::GetConsoleScreenBufferInfo(out, &info)) {
        console_position_.X = 0;
        console_position_.Y =
            info.dwCursorPosition.Y > SHRT_MAX - 2 ? SHRT_MAX : info.dwCursorPosition.Y + 2;
      }
    }
  }
  scan_mode_ = scan_mode;
  scan_id_ = scan_id;
  engine_data1_ = engine_data1;
  engine_data2_ = engine_data2;

  switch (scan_mode) {
    case FileInfoWorker::kFullScan:
    case FileInfoWorker::kCustomScan:
    case FileInfoWorker::kShellScan:
    case FileInfoWorker::kScheduledScan:
    case FileInfoWorker::kQuickScan:
      break;
    default:
      return 0;
  }
  worker_ = std::make_unique<FileInfoWorker>(scan_mode);

  ScanExclusions::KeyMap maps[4];
  static const wchar_t* const kKeys[4] = {L"ExcludedExtensions", L"ExcludedPrivateExtensions",
                                          L"ExcludedDirectories", L"ExcludedFiles"};
  if (request) {
    for (int i = 0; i < 4; ++i) {
      std::wstring value = request->GetKeyValue(kKeys[i]);
      if (!value.empty()) maps[i] = JsonHelper::GetMapFromList(value);
    }
  }
  worker_->Configure(L"FileInfoWorker", maps[0], maps[2], maps[3], maps[1], scan_paths);
  if (scan_mode == FileInfoWorker::kQuickScan) worker_->SetPriorityOption(true);
  if (!worker_->thread()) worker_->StartThread();
  return 0;
}

void ODScanner::DeInit() {
  Log(LOG_ALW, L"ODScanner::DeInit - Started.");
  if (worker_) {
    HANDLE thread = worker_->stop(1);
    if (thread) ::WaitForSingleObject(thread, 20000);
    worker_->stop(250);
    // The worker's thread keeps its own share of the state it uses, so
    // releasing the worker here is safe even if the thread still runs.
    worker_.reset();
  }
  Log(LOG_ALW, L"ODScanner::DeInit - Completed.");
}

void ODScanner::OnItemPreScanCallback(uint32_t callback_type, const void* data) {
  if (callback_type == 0) {
    uint64_t bytes;
    std::memcpy(&bytes, data, sizeof bytes);  // the engine's value may be unaligned
    CsLock guard(lock_);
    scanned_bytes_ += bytes;
  } else if (callback_type == 1) {
    CsLock guard(lock_);
  } else {
    Log(LOG_ALW, L"ODScanner::OnItemPreScanCallback - Invalid call-back type = %d",
        static_cast<int>(callback_type));
  }
}

void ODScanner::OnItemScan(const wchar_t* item_path, uint32_t item_type,
                           const ScanCountMetrics& metrics) {
  uint32_t progress;
  {
    CsLock guard(lock_);
    if (worker_) {
      bool completed = false;
      uint64_t estimate = 0;
      worker_->Read(&completed, &estimate);
      progress_ = scan_text::NextProgress(progress_, completed, estimate, scanned_bytes_);
    }
    progress = progress_;
  }

  AVScannedItemPacket packet;
  ProgressItem item;
  item.item_path = item_path;
  item.item_type = item_type;
  item.scan_mode = scan_mode_;
  item.elapsed_seconds =
      static_cast<uint32_t>(Now()) - static_cast<uint32_t>(start_time_);
  item.progress = progress;
  BuildProgressPacket(packet, scan_id_, item, metrics);

  if (!console_mode_) {
    ReporterThread::Instance().EnqueueLow(packet);
    return;
  }
  PrintProgressBlock(packet, item_path, metrics);
}

void ODScanner::PrintProgressBlock(const GenericPacketW& packet, const wchar_t* item_path,
                                   const ScanCountMetrics& metrics) {
  Console& console = TheConsole();
  std::lock_guard<std::mutex> guard(console.mutex);
  int64_t now = MonotonicNs();
  if (!console.last_print_set) {
    console.last_print_set = true;
    console.last_print_ns = now;
  }
  if (static_cast<double>(now - console.last_print_ns) / 1000000 < kConsoleIntervalMs) return;

  // "%ld" of the runtime: the counters are shown as signed 32-bit numbers.
  std::wstring block = L"Progress:" + Decimal(packet.GetKeyValueInt(L"Progress", 2147483647)) +
                       L"%\r\n";
  block += L"Items   :" + Decimal(static_cast<int32_t>(metrics.m_dwFilesCnt)) + L"\r\n";
  block += L"Malwares:" + Decimal(static_cast<int32_t>(metrics.m_dwInfectedCnt)) + L"\r\n";
  block += L"Scanning:" + scan_text::DisplayPath(item_path) + L"\r\n";
  WriteStdout(&console_position_, block);
  console.last_print_ns = MonotonicNs();
}

void ODScanner::OnMalwareDetection(const MalwareInfo& info) {
  Log(LOG_WARN, L"ODScanner::OnMalwareDetection: item=%s, malware=%s, ThreatLevel=%s, Status=%s, Type=%s",
      info.m_sItemPath.c_str(), info.m_sMalwareName.c_str(),
      GetThreatLevelName(static_cast<int32_t>(info.m_dwThreatLevel)).c_str(),
      GetMalwareStatusName(static_cast<int32_t>(info.m_dwMalwareStatus)).c_str(),
      GetMalwareCategoryName(static_cast<int32_t>(info.m_dwMalwareCategoryId)).c_str());
  if (EngineFlag(info.m_bManualCleanupRequired)) {
    CsLock guard(lock_);
    ++manual_cleanup_count_;
  }
  if (info.m_dwDetectionAction == 2) {
    CsLock guard(lock_);
    ++report_only_count_;
  }

  if (IsHiddenAutoStart(request_)) {
    Log(LOG_WARN,
        L"ODScanner::OnMalwareDetection - This is hidden auto-start detection, switching to real "
        L"time detection.");
    KeyValuePairs extras{{L"ScanMode", L"5"}};
    SendRealTimeDetection(request_->GetInvokerPID(), &info, &extras);
    return;
  }

  AVMalwareDetectPacket packet;
  packet.channelid = scan_id_;
  SetDetectionParamsEx(packet, scan_id_, kOdScannerType, request_ ? request_->GetInvokerPID() : -1,
                       &info, nullptr);
  WriteOnce(packet, kHighQueueName, kHighQueueSize, scan_id_);

  if (console_mode_) {
    DetectionRecord record{info.m_sItemPath, info.m_sMalwareName, GetJDocument(packet)};
    CsLock guard(lock_);
    detections_.push_back(std::move(record));
  }
}

void ODScanner::ConcludeScan(uint32_t scan_status, const ScanCountMetrics& metrics) {
  if (LogEnabled(LOG_ALW)) {
    LogStream(LOG_ALW) << L"ODScanner::ConcludeScan - scanStatus:"
                       << GetScanStatusName(static_cast<int32_t>(scan_status)) << L", ScanMode:"
                       << GetScanModeName(static_cast<int32_t>(scan_mode_))
                       << L", Final Scan Matrix:" << scan_text::CounterDump(metrics);
  }
  if (IsHiddenAutoStart(request_)) {
    Log(LOG_ALW, L"ODScanner::ConcludeScan - Ignored, this is hidden auto-start scan.");
    return;
  }

  AVConcludeScanPacket packet;
  ConcludeOutcome outcome = ConcludeOutcomeFor(scan_status);
  Log(outcome.log_level, L"%s", outcome.log_line.c_str());
  BuildSummaryPacket(packet, scan_id_, scan_mode_, start_time_, Now(), scan_status, outcome,
                     ResourceMgr::instance().GetResource(outcome.resource_id));

  std::vector<DetectionRecord> detections;
  {
    CsLock guard(lock_);
    SetSummaryCounters(packet, metrics, manual_cleanup_count_, report_only_count_, request_);
    if (console_mode_) detections = detections_;
  }
  WriteOnce(packet, kHighQueueName, kHighQueueSize, scan_id_);

  if (!console_mode_) return;
  {
    Console& console = TheConsole();
    std::lock_guard<std::mutex> guard(console.mutex);
    std::wstring text = L"Progress:100%\r\n\r\n\r\n";
    text += detections.empty() ? L"Scan completed.\n"
                               : L"Scan completed, Malwares detected and resolved\n";
    if (EngineFlag(metrics.m_bRebootRequired))
      text += L"Reboot is required to completed the disinfection\n";
    WriteStdout(&console_position_, text);
  }
  if (!detections.empty()) WriteReportFiles(detections);
  if (request_) request_->SignalNamedEvent();
}

void ODScanner::WriteReportFiles(const std::vector<DetectionRecord>& detections) {
  std::wstring csv = L"Malware Path,Malware Name\r";
  std::wstring folder =
      ExCommon::AddTrailingBackslash(GetStoredDataTempPath(), /*keep_colon=*/true) + L"DBImport";
  if (!ExCommon::FolderExists(folder)) ::CreateDirectoryW(folder.c_str(), nullptr);
  folder += L"\\";
  int64_t t = Now();
  int64_t k = 0;
  for (const DetectionRecord& record : detections) {
    ++k;
    csv += record.item_path + L"," + record.malware_name + L"\r";
    WriteTextFile(folder + L"MalDetect_" + Decimal(t + k) + L".DBImport", record.json);
  }
  std::wstring name = L"c:\\QuillfeatherScanReport." + Decimal(Now()) + L".csv";
  WriteTextFile(name, csv);
  Console& console = TheConsole();
  std::lock_guard<std::mutex> guard(console.mutex);
  WriteStdout(nullptr, L"Malware report file was created at:" + name + L"\n");
}

uint32_t ODScanner::Progress() {
  CsLock guard(lock_);
  return progress_;
}

bool ODScanner::FileEnumerationCompleted() { return worker_ && worker_->IsCompleted(); }

uint64_t ODScanner::ScannedBytes() {
  CsLock guard(lock_);
  return scanned_bytes_;
}

uint32_t ODScanner::ManualCleanupCount() {
  CsLock guard(lock_);
  return manual_cleanup_count_;
}

uint32_t ODScanner::ReportOnlyCount() {
  CsLock guard(lock_);
  return report_only_count_;
}

std::vector<DetectionRecord> ODScanner::Detections() {
  CsLock guard(lock_);
  return detections_;
}
