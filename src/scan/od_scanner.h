// One on-demand scan session: the object behind a scan handle.
//
// Threads: constructed and Init'ed on the engine thread that calls Create;
// the item, detection and progress calls may come from several engine
// threads at once; ConcludeScan, DeInit and destruction run on the thread
// that calls Close, after the item callbacks have ended. `lock_` guards the
// progress, the scanned bytes, the two detection counts and the detection
// list; the worker's mutex may be taken inside it, never the reverse.
//
// Console output (a scan requested by the command-line scanner) is
// serialised process-wide, so blocks from several threads or sessions never
// interleave.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ipc/file_info_worker.h"
#include "quorvane.h"

struct DetectionRecord {
  std::wstring item_path;
  std::wstring malware_name;
  std::wstring json;  // the detection packet as sent
};

class ODScanner {
 public:
  static constexpr uint32_t kSessionMarker = 0xABCDDCBA;

  // Sets the marker, initialises COM for this thread, creates the lock.
  ODScanner();
  // Uninitialises COM when this thread's initialisation succeeded here.
  ~ODScanner();
  ODScanner(const ODScanner&) = delete;
  ODScanner& operator=(const ODScanner&) = delete;

  // Always 0. `request` is the engine's packet, read in place until Close.
  int32_t Init(const std::wstring& scan_id, uint32_t scan_mode, const GenericPacketW* request,
               const std::vector<std::wstring>& scan_paths, void* engine_data1,
               void* engine_data2);
  // Stops and releases the worker.
  void DeInit();

  // `data` is never null; for type 0 it points to a uint64_t byte count.
  void OnItemPreScanCallback(uint32_t callback_type, const void* data);
  void OnItemScan(const wchar_t* item_path, uint32_t item_type, const ScanCountMetrics& metrics);
  void OnMalwareDetection(const MalwareInfo& info);
  void ConcludeScan(uint32_t scan_status, const ScanCountMetrics& metrics);

  uint32_t Progress();
  bool FileEnumerationCompleted();

  // A request packet that marks a hidden scan of the auto-start monitor.
  static bool IsHiddenAutoStart(const GenericPacketW* request);

  // Read-only views for the export layer and tests.
  uint32_t marker() const { return marker_; }
  uint32_t scan_mode() const { return scan_mode_; }
  const std::wstring& scan_id() const { return scan_id_; }
  bool console_mode() const { return console_mode_; }
  COORD console_position() const { return console_position_; }
  bool has_worker() const { return worker_ != nullptr; }
  FileInfoWorker* worker() const { return worker_.get(); }
  uint64_t ScannedBytes();
  uint32_t ManualCleanupCount();
  uint32_t ReportOnlyCount();
  std::vector<DetectionRecord> Detections();
  // Calls of the export layer that are inside this session right now.
  std::atomic<int32_t>& calls_in_flight() { return calls_in_flight_; }

 private:
  void PrintProgressBlock(const GenericPacketW& packet, const wchar_t* item_path,
                          const ScanCountMetrics& metrics);
  void WriteReportFiles(const std::vector<DetectionRecord>& detections);

  // The first word of the object: the handle check reads it.
  const uint32_t marker_ = kSessionMarker;
  HRESULT com_result_ = E_FAIL;
  std::unique_ptr<FileInfoWorker> worker_;
  uint32_t scan_mode_ = 11;
  std::wstring scan_id_;
  uint32_t progress_ = 0;             // guarded by lock_
  uint64_t scanned_bytes_ = 0;        // guarded by lock_
  uint32_t manual_cleanup_count_ = 0; // guarded by lock_
  uint32_t report_only_count_ = 0;    // guarded by lock_
  const GenericPacketW* request_ = nullptr;  // weak: the engine's
  void* engine_data2_ = nullptr;
  void* engine_data1_ = nullptr;
  int64_t start_time_ = 0;
  CRITICAL_SECTION lock_;
  bool console_mode_ = false;
  COORD console_position_{0, 0};
  std::vector<DetectionRecord> detections_;  // guarded by lock_
  DWORD com_thread_ = 0;
  std::atomic<int32_t> calls_in_flight_{0};
};

// Pure helpers of the session, table-tested.
namespace scan_text {

// The next progress value: never lower than `current`, at most 99, at least
// 1; 0 when the worker completed with an estimate of 0.
uint32_t NextProgress(uint32_t current, bool completed, uint64_t estimate, uint64_t scanned);

// 64 characters: padded with spaces, or the first 29, "..." and the last 32.
std::wstring DisplayPath(const std::wstring& path);

// The counter dump of the conclusion's log line.
std::wstring CounterDump(const ScanCountMetrics& metrics);

// 8-bit text as the classic locale converts it: each character up to
// U+00FF as one byte. A character it cannot represent (above U+00FF, a
// surrogate pair, a lone surrogate) becomes one '?' instead of ending or
// emptying the output.
std::string ToLatin1(const std::wstring& text);

}  // namespace scan_text
