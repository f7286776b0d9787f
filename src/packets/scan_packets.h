// The three scan packets: progress per item, one per detection, and the
// summary at the end of a scan. The builders are pure (no kernel objects);
// SendRealTimeDetection writes to the high-priority queue. Any thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "quorvane.h"

// A bool of an engine record, read as its byte: any non-zero value is set
// (loading a byte other than 0 or 1 as bool would be undefined).
inline bool EngineFlag(const bool& field) {
  unsigned char byte;
  std::memcpy(&byte, &field, 1);
  return byte != 0;
}

using KeyValuePairs = std::vector<std::pair<std::wstring, std::wstring>>;

inline constexpr char kOdScannerType[] = "ODAVScanner";
inline constexpr char kRealTimeScannerType[] = "RealTimeAVScanner";
// Longest "AdditionalInfo" sent whole; longer texts are cut to this length.
inline constexpr size_t kMaxAdditionalInfo = 260;

// Fills a detection packet from `info`. False, changing nothing, when `info`
// is null. `extras` (may be null) replace entries of the same key.
bool SetDetectionParamsEx(GenericPacketW& packet, std::wstring channelid, std::string type,
                          int32_t invokerPID, const MalwareInfo* info,
                          const KeyValuePairs* extras);

// A detection reported as real-time: type "RealTimeAVScanner" on a fresh
// 36-character channel. True when the record was written.
bool SendRealTimeDetection(int32_t invokerPID, const MalwareInfo* info,
                           const KeyValuePairs* extras);

// Values of one progress packet besides the engine's counters.
struct ProgressItem {
  const wchar_t* item_path = nullptr;  // "ItemPath" only when given
  uint32_t item_type = 0;
  uint32_t scan_mode = 0;
  uint32_t elapsed_seconds = 0;
  uint32_t progress = 0;
};
void BuildProgressPacket(AVScannedItemPacket& packet, const std::wstring& scan_id,
                         const ProgressItem& item, const ScanCountMetrics& metrics);

// How a scan status is summarised and logged.
struct ConcludeOutcome {
  int log_level;
  std::wstring log_line;
  bool succeeded;                // "Result": "Succeeded" or "Failed"
  const wchar_t* message_key;    // "DisplayMsg" or "ErrorMsg"
  const wchar_t* resource_id;    // its text's identifier
  std::wstring message_suffix;   // " [<status>]" for unlisted statuses
};
ConcludeOutcome ConcludeOutcomeFor(uint32_t scan_status);

// The summary's header, times, status, result and message.
void BuildSummaryPacket(AVConcludeScanPacket& packet, const std::wstring& scan_id,
                        uint32_t scan_mode, int64_t start_time, int64_t end_time,
                        uint32_t scan_status, const ConcludeOutcome& outcome,
                        const std::wstring& message_text);
// The counters, the session's two detection counts and, with a request
// packet, the request entries.
void SetSummaryCounters(AVConcludeScanPacket& packet, const ScanCountMetrics& metrics,
                        uint32_t manual_cleanup_count, uint32_t report_only_count,
                        const GenericPacketW* request);
