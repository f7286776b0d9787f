#include "packets/scan_packets.h"

#include "common/ex_common.h"
#include "common/log.h"
#include "ipc/queue_names.h"
#include "packets/write_once.h"

// Header and preset values are assigned as wide text directly: the same
// result as SetHeader/SetResult, without a code-page conversion per packet.

AVMalwareDetectPacket::AVMalwareDetectPacket() {
  type = L"ODAVScanner";
  subtype = L"MalwareDetectPacket";
  SetCreationTime();
  SetPriorityHigh();
}

AVScannedItemPacket::AVScannedItemPacket() {
  type = L"ODAVScanner";
  subtype = L"ScannedItemPacket";
  SetKeyValue(L"Result", L"Pending");
  SetKeyValue(L"Status", L"Running");
  SetKeyValue(L"Priority", L"low");
}

AVConcludeScanPacket::AVConcludeScanPacket() {
  type = L"ODAVScanner";
  subtype = L"ConcludeScanPacket";
  SetKeyValue(L"Result", L"Succeeded");
  SetKeyValue(L"Status", L"Completed");
  SetCreationTime();
  SetPriorityHigh();
}

bool SetDetectionParamsEx(GenericPacketW& packet, std::wstring channelid, std::string type,
                          int32_t invokerPID, const MalwareInfo* info,
                          const KeyValuePairs* extras) {
  if (!info) return false;
  packet.channelid = std::move(channelid);
  packet.type = ExCommon::AnsiToWide(type);

  packet.SetKeyValue(L"AccessingAccount", info->m_sAccessingAccount);
  packet.SetKeyValue(L"AccessingAssest", info->m_sAccessingAssest);
  const std::wstring& additional = info->m_sDetectionsAdditionalInfo;
  if (additional.size() > kMaxAdditionalInfo) {
    Log(LOG_WARN, L"SetDetectionParamsEx - m_sDetectionsAdditionalInfo is too long: %d charcaters.",
        static_cast<int>(additional.size() > INT32_MAX ? INT32_MAX : additional.size()));
    packet.SetKeyValue(L"AdditionalInfo",
                       additional.substr(0, kMaxAdditionalInfo - 3) + L"...");
  } else if (!additional.empty()) {
    packet.SetKeyValue(L"AdditionalInfo", additional);
  }
  packet.SetKeyValueInt(L"DetectionAction", static_cast<int32_t>(info->m_dwDetectionAction));
  packet.SetKeyValue(L"DetectionID", info->m_sDetectionID);
  packet.SetKeyValueBool(L"FileValidationFailed", EngineFlag(info->m_bFileValidationFailed));
  if (EngineFlag(info->m_bHiddenFile)) packet.SetKeyValueBool(L"HiddenFile", true);
  if (EngineFlag(info->m_bHiddenProcess)) packet.SetKeyValueBool(L"HiddenProcess", true);
  packet.SetKeyValueInt(L"InfectionDataType", static_cast<int32_t>(info->m_dwInfectionDataType));
  packet.SetKeyValue(L"InnerObjectPath", info->m_sInnerObjectPath);
  packet.SetInvokerPID(invokerPID);
  packet.SetKeyValue(L"ItemPath", info->m_sItemPath);
  packet.SetKeyValueInt(L"ItemType", static_cast<int32_t>(info->m_dwItemType));
  packet.SetKeyValue(L"LoggedAccounts", info->m_sLoggedAccounts);
  packet.SetKeyValueBool(L"MailDataFile", EngineFlag(info->m_bMailDataFile));
  packet.SetKeyValue(L"MalwareCategory", info->m_sMalwareCategory);
  packet.SetKeyValueInt(L"MalwareCategoryId", static_cast<int32_t>(info->m_dwMalwareCategoryId));
  packet.SetKeyValue(L"MalwareName", info->m_sMalwareName);
  packet.SetKeyValueInt(L"MalwareStatus", static_cast<int32_t>(info->m_dwMalwareStatus));
  packet.SetKeyValueInt(L"MalwareThreatLevel", static_cast<int32_t>(info->m_dwThreatLevel));
  packet.SetKeyValue(L"MalwareURL", info->m_sMalwareURL);
  packet.SetKeyValueInt(L"MalwaresDetected", static_cast<int32_t>(info->m_dwMalwaresDetected));
  packet.SetKeyValueBool(L"ManualCleanupRequired", EngineFlag(info->m_bManualCleanupRequired));
  packet.SetKeyValue(L"ObjectFinalPath", info->m_sObjectFinalPath);
  packet.SetKeyValueInt(L"OrigMalwareStatus",
                        EngineFlag(info->m_bQuarantined) ? 4 : static_cast<int32_t>(info->m_dwMalwareStatus));
  packet.SetKeyValueBool(L"Quarantined", EngineFlag(info->m_bQuarantined));
  packet.SetKeyValue(L"QurantineID", info->m_sQurantineID);
  packet.SetKeyValueBool(L"RebootRequired", EngineFlag(info->m_bRebootRequired));
  packet.SetKeyValueInt(L"ScanMode", static_cast<int32_t>(info->m_dwScanMode));
  packet.SetKeyValueInt(L"Score", static_cast<int32_t>(info->m_dwScore));
  packet.SetKeyValueUInt(L"SigVerDetection", info->m_dwSigVerDetection);
  packet.SetKeyValueBool(L"WinAppFile", EngineFlag(info->m_bWinAppFile));
  if (extras) {
    for (const auto& pair : *extras) packet.SetKeyValue(pair.first, pair.second);
  }
  return true;
}

bool SendRealTimeDetection(int32_t invokerPID, const MalwareInfo* info,
                           const KeyValuePairs* extras) {
  if (!info) return false;
  AVMalwareDetectPacket packet;
  std::wstring channel = ExCommon::CreateGuidString();
  SetDetectionParamsEx(packet, channel, kRealTimeScannerType, invokerPID, info, extras);
  return WriteOnce(packet, kHighQueueName, kHighQueueSize, channel);
}

void BuildProgressPacket(AVScannedItemPacket& packet, const std::wstring& scan_id,
                         const ProgressItem& item, const ScanCountMetrics& metrics) {
  packet.channelid = scan_id;
  packet.SetKeyValueUInt(L"ScanMode", item.scan_mode);
  if (metrics.m_dwInfectedCnt != 0)
    packet.SetKeyValueUInt(L"MalwaresDetected", metrics.m_dwInfectedCnt);
  packet.SetKeyValueUInt(L"ItemType", item.item_type);
  packet.SetKeyValueUInt(L"ScannedCnt", metrics.m_dwScannedCnt);
  if (item.item_path) packet.SetKeyValue(L"ItemPath", item.item_path);
  packet.SetKeyValueUInt(L"ScanTimeElapsed", item.elapsed_seconds);
  packet.SetKeyValueUInt(L"Progress", item.progress);
  packet.SetKeyValueInt(L"ScanCPULoad", metrics.m_CPULoad);
}

ConcludeOutcome ConcludeOutcomeFor(uint32_t scan_status) {
  switch (scan_status) {
    case 1:
      return {LOG_WARN, L"ODScanner::ConcludeScan - AMSERR_SCANABORTED", false, L"ErrorMsg",
              L"JID_ScanAborted", L""};
    case 3:
      return {LOG_ALW, L"ODScanner::ConcludeScan - AMSERR_SUCCESS", true, L"DisplayMsg",
              L"JID_ScanCompleteSuccess", L""};
    case 4:
    case 6:
      return {LOG_ERROR, L"ODScanner::ConcludeScan - AMSSCAN_INTERNALLOGICERROR", false,
              L"ErrorMsg", L"JID_InternalLogicError", L""};
    case 5:
      return {LOG_WARN, L"ODScanner::ConcludeScan - AMSERR_UNKNOWN", false, L"ErrorMsg",
              L"JID_UnknownScannerError", L""};
    default: {
      std::wstring status = std::to_wstring(static_cast<int32_t>(scan_status));
      return {LOG_ERROR, L"ODScanner::ConcludeScan - scanStatusError, scan result " + status,
              false, L"ErrorMsg", L"JID_ScannerError", L" [" + status + L"]"};
    }
  }
}

void BuildSummaryPacket(AVConcludeScanPacket& packet, const std::wstring& scan_id,
                        uint32_t scan_mode, int64_t start_time, int64_t end_time,
                        uint32_t scan_status, const ConcludeOutcome& outcome,
                        const std::wstring& message_text) {
  packet.channelid = scan_id;
  packet.SetKeyValueInt(L"ScanMode", static_cast<int32_t>(scan_mode));
  packet.SetKeyValueInt(L"ScanStartTime", static_cast<int32_t>(static_cast<uint32_t>(start_time)));
  packet.SetKeyValueInt(L"ScanEndTime", static_cast<int32_t>(static_cast<uint32_t>(end_time)));
  packet.SetKeyValueInt(L"ScanStatus", static_cast<int32_t>(scan_status));
  packet.SetKeyValue(L"Result", outcome.succeeded ? L"Succeeded" : L"Failed");
  packet.SetKeyValue(outcome.message_key, message_text + outcome.message_suffix);
}

void SetSummaryCounters(AVConcludeScanPacket& packet, const ScanCountMetrics& m,
                        uint32_t manual_cleanup_count, uint32_t report_only_count,
                        const GenericPacketW* request) {
  packet.SetKeyValueUInt(L"BadsCount", m.m_dwBadsCnt);
  packet.SetKeyValueUInt(L"BootSectorsCnt", m.m_dwBootSectorsCnt);
  packet.SetKeyValueUInt(L"CleanedCnt", m.m_dwCleanedCnt);
  packet.SetKeyValueUInt(L"CookieCnt", m.m_dwCookieCnt);
  packet.SetKeyValueUInt(L"DeletedCnt", m.m_dwDeletedCnt);
  packet.SetKeyValueInt(L"DetectionActionReportOnlyCount",
                        static_cast<int32_t>(report_only_count));
  packet.SetKeyValueUInt(L"FilesCnt", m.m_dwFilesCnt);
  packet.SetKeyValueUInt(L"MalwaresDetected", m.m_dwInfectedCnt);
  packet.SetKeyValueUInt(L"MemoryProcessCnt", m.m_dwMemoryProcessCnt);
  packet.SetKeyValueUInt(L"MimeCnt", m.m_dwMimeCnt);
  packet.SetKeyValueUInt(L"Progress", 100);
  packet.SetKeyValueUInt(L"QuarantinedCnt", m.m_dwQuarantinedCnt);
  packet.SetKeyValueBool(L"RebootRequired", EngineFlag(m.m_bRebootRequired));
  packet.SetKeyValueUInt(L"RegKeyCnt", m.m_dwRegKeyCnt);
  packet.SetKeyValueUInt(L"ScannedCnt", m.m_dwScannedCnt);
  packet.SetKeyValueUInt(L"StreamCnt", m.m_dwStreamCnt);
  packet.SetKeyValueUInt(L"SuspciousCnt", m.m_dwSuspciousCnt);
  if (request) {
    packet.SetKeyValueBool(L"HiddenScan", request->IsHiddenScan());
    packet.SetKeyValueInt(L"InvokerPID", request->GetInvokerPID());
    packet.SetKeyValueInt(L"ManualCleanupRequiredCount",
                          static_cast<int32_t>(manual_cleanup_count));
    packet.SetKeyValueBool(L"RequestVeryLowScanCPULoad",
                           request->GetKeyValueBool(L"RequestVeryLowScanCPULoad", false));
  }
}
