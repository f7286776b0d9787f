// Writes docs/PACKETS.md: every packet kind the DLL sends, built through the
// real builders from fixed inputs, with its JSON text and a table of its keys.
//   packetdoc.exe OUTPUT.md          write the document
//   packetdoc.exe --check DOC.md     exit 1 when DOC.md differs from what the
//                                    code builds now (creation times and the
//                                    fresh real-time channel are normalised)
// Every key a builder sets must have a row below, and every row a key; a
// value must have the type its row says. Otherwise the tool fails (exit 2).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/ex_common.h"
#include "ipc/queue_names.h"
#include "ipc/resource_mgr.h"
#include "ipc/smipczub.h"
#include "packets/json.h"
#include "packets/scan_packets.h"
#include "quorvane.h"
#include "scan/scan_enums.h"

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                          nullptr, nullptr);
  return out;
}

enum class Type { kText, kInt, kUInt, kBool };

const char* TypeName(Type type) {
  switch (type) {
    case Type::kInt: return "int32";
    case Type::kUInt: return "uint32";
    case Type::kBool: return "bool";
    default: return "text";
  }
}

bool HasType(const std::wstring& value, Type type) {
  static const std::wregex kInt(L"-?[0-9]+"), kUInt(L"[0-9]+");
  switch (type) {
    case Type::kInt: return std::regex_match(value, kInt);
    case Type::kUInt: return std::regex_match(value, kUInt);
    case Type::kBool: return value == L"true" || value == L"false";
    default: return true;
  }
}

struct KeyRow {
  const wchar_t* key;
  Type type;
  std::string source;
};

struct Kind {
  std::string title;
  std::string when;
  std::wstring queue;
  uint64_t queue_size;
  std::string record_name;
  std::string path;
  std::vector<GenericPacketW> variants;  // [0] is the example
  std::vector<KeyRow> rows;
};

// --- fixed inputs ---------------------------------------------------------

const wchar_t kScanId[] = L"3F2504E0-4F89-11D3-9A0C-0305E82C3301";
constexpr int64_t kStartTime = 1796896800;
constexpr int64_t kEndTime = kStartTime + 754;

ScanCountMetrics RunningMetrics(uint32_t infected) {
  ScanCountMetrics m{};
  m.m_CPULoad = 25;
  m.m_dwScannedCnt = 1284;
  m.m_dwFilesCnt = 1284;
  m.m_dwInfectedCnt = infected;
  return m;
}

ScanCountMetrics FinalMetrics() {
  ScanCountMetrics m{};
  m.m_scanPriority = 1;
  m.m_CPULoad = 25;
  m.m_dwScannedCnt = 48211;
  m.m_dwInfectedCnt = 2;
  m.m_dwQuarantinedCnt = 2;
  m.m_dwFilesCnt = 48211;
  m.m_dwRegKeyCnt = 312;
  m.m_dwMemoryProcessCnt = 97;
  m.m_dwCookieCnt = 14;
  return m;
}

MalwareInfo Detection(bool hidden) {
  MalwareInfo info{};
  info.m_bQuarantined = true;
  info.m_dwScanMode = 2;
  info.m_dwItemType = 1;
  info.m_sItemPath = L"C:\\Users\\amelie\\Downloads\\invoice-2026-12.zip";
  info.m_sInnerObjectPath = L"invoice-2026-12.pdf.exe";
  info.m_dwInfectionDataType = 3;
  info.m_sMalwareName = L"Trojan.GenericKD.71234567";
  info.m_dwMalwareStatus = 1;
  info.m_dwThreatLevel = 4;
  info.m_sMalwareCategory = L"Trojan";
  info.m_dwMalwareCategoryId = 0;
  info.m_sMalwareURL = L"https://downloads.example.net/invoice-2026-12.zip";
  info.m_dwMalwaresDetected = 1;
  info.m_sAccessingAccount = L"DESKTOP-7Q2M4LK\\amelie";
  info.m_sLoggedAccounts = L"DESKTOP-7Q2M4LK\\amelie";
  info.m_sAccessingAssest = L"C:\\Program Files\\7-Zip\\7zFM.exe";
  info.m_sDetectionsAdditionalInfo = L"packed section .text, entropy 7.91";
  info.m_dwSigVerDetection = 2212100915u;
  info.m_sDetectionID = L"8E1C2D6A-77B0-4B9E-9F10-2C4D5E6F7A8B";
  info.m_dwDetectionAction = 1;
  info.m_dwScore = 87;
  info.m_sObjectFinalPath = L"C:\\ProgramData\\QuillfeatherZub\\StoredData\\Quarantine\\8E1C2D6A.qvq";
  info.m_sQurantineID = L"D3C1B2A4-0F9E-4C8D-B7A6-958473625140";
  info.m_bHiddenFile = hidden;
  info.m_bHiddenProcess = hidden;
  return info;
}

GenericPacketW Request() {
  GenericPacketW request;
  request.SetKeyValue(L"InvokerPID", L"4242");
  request.SetKeyValue(L"HiddenScan", L"false");
  request.SetKeyValue(L"RequestVeryLowScanCPULoad", L"true");
  return request;
}

// --- the kinds, built as the session builds them ---------------------------

Kind Progress() {
  Kind kind;
  kind.title = "Progress (scanned item)";
  kind.when = "after each `OnItemScan` of a session that the command-line scanner did not request "
              "(that one gets console lines instead)";
  kind.queue = kLowQueueName;
  kind.queue_size = kLowQueueSize;
  kind.record_name = "the scan identifier";
  kind.path = "`ReporterThread::EnqueueLow` on the engine's thread; the reporter thread writes "
              "it at its next flush. Its queue keeps only the newest `ReportFlushCount` packets "
              "(5 by default) and drops older ones unsent.";
  for (uint32_t infected : {2u, 0u}) {
    AVScannedItemPacket packet;
    ProgressItem item;
    item.item_path = L"C:\\Users\\amelie\\Documents\\reports\\summary.docx";
    item.item_type = 1;
    item.scan_mode = 2;
    item.elapsed_seconds = 38;
    item.progress = 41;
    BuildProgressPacket(packet, kScanId, item, RunningMetrics(infected));
    kind.variants.push_back(packet);
  }
  kind.rows = {
      {L"ItemPath", Type::kText, "`OnItemScan` `pszItemPath`"},
      {L"ItemType", Type::kUInt, "`OnItemScan` `dwItemType`"},
      {L"MalwaresDetected", Type::kUInt, "`m_dwInfectedCnt` of `OnItemScan`'s counters; only when not 0"},
      {L"Priority", Type::kText, "always `low`"},
      {L"Progress", Type::kUInt,
       "the session's progress after this item: scanned bytes (sum of `OnItemPreScan` sizes) "
       "against the worker's estimate, never lower than before, 1 to 99; 0 when the estimate "
       "came out 0, and in modes without a worker"},
      {L"Result", Type::kText, "always `Pending`"},
      {L"ScanCPULoad", Type::kInt, "`m_CPULoad` of `OnItemScan`'s counters"},
      {L"ScanMode", Type::kUInt, "`Create` `ScanMode`"},
      {L"ScanTimeElapsed", Type::kUInt, "seconds since `Create`"},
      {L"ScannedCnt", Type::kUInt, "`m_dwScannedCnt` of `OnItemScan`'s counters"},
      {L"Status", Type::kText, "always `Running`"},
  };
  return kind;
}

const std::vector<KeyRow>& DetectionRows() {
  static const std::vector<KeyRow> rows = {
      {L"AccessingAccount", Type::kText, "`m_sAccessingAccount`"},
      {L"AccessingAssest", Type::kText, "`m_sAccessingAssest`"},
      {L"AdditionalInfo", Type::kText,
       "`m_sDetectionsAdditionalInfo`; only when not empty; longer than 260 characters: the "
       "first 257 and `...`"},
      {L"CreationTime", Type::kInt, "clock when the packet is built: seconds since 1970, low 32 bits"},
      {L"DetectionAction", Type::kInt, "`m_dwDetectionAction`"},
      {L"DetectionID", Type::kText, "`m_sDetectionID`"},
      {L"FileValidationFailed", Type::kBool, "`m_bFileValidationFailed`"},
      {L"HiddenFile", Type::kBool, "`m_bHiddenFile`; only when set, then `true`"},
      {L"HiddenProcess", Type::kBool, "`m_bHiddenProcess`; only when set, then `true`"},
      {L"InfectionDataType", Type::kInt, "`m_dwInfectionDataType`"},
      {L"InnerObjectPath", Type::kText, "`m_sInnerObjectPath`"},
      {L"InvokerPID", Type::kInt, "request packet's `InvokerPID`; -1 without a request packet or that key"},
      {L"ItemPath", Type::kText, "`m_sItemPath`"},
      {L"ItemType", Type::kInt, "`m_dwItemType`"},
      {L"LoggedAccounts", Type::kText, "`m_sLoggedAccounts`"},
      {L"MailDataFile", Type::kBool, "`m_bMailDataFile`"},
      {L"MalwareCategory", Type::kText, "`m_sMalwareCategory`"},
      {L"MalwareCategoryId", Type::kInt, "`m_dwMalwareCategoryId`"},
      {L"MalwareName", Type::kText, "`m_sMalwareName`"},
      {L"MalwareStatus", Type::kInt, "`m_dwMalwareStatus`"},
      {L"MalwareThreatLevel", Type::kInt, "`m_dwThreatLevel`"},
      {L"MalwareURL", Type::kText, "`m_sMalwareURL`"},
      {L"MalwaresDetected", Type::kInt, "`m_dwMalwaresDetected`"},
      {L"ManualCleanupRequired", Type::kBool, "`m_bManualCleanupRequired`"},
      {L"ObjectFinalPath", Type::kText, "`m_sObjectFinalPath`"},
      {L"OrigMalwareStatus", Type::kInt, "4 when `m_bQuarantined` is set, else `m_dwMalwareStatus`"},
      {L"Priority", Type::kText, "always `high`"},
      {L"Quarantined", Type::kBool, "`m_bQuarantined`"},
      {L"QurantineID", Type::kText, "`m_sQurantineID`"},
      {L"RebootRequired", Type::kBool, "`m_bRebootRequired`"},
      {L"ScanMode", Type::kInt, "`m_dwScanMode`"},
      {L"Score", Type::kInt, "`m_dwScore`"},
      {L"SigVerDetection", Type::kUInt, "`m_dwSigVerDetection`"},
      {L"WinAppFile", Type::kBool, "`m_bWinAppFile`"},
  };
  return rows;
}

Kind OdDetection(const GenericPacketW& request) {
  Kind kind;
  kind.title = "Detection";
  kind.when = "at each `OnMalwareDetection`, except in a hidden scan requested by the auto-start "
              "monitor (see the real-time detection below)";
  kind.queue = kHighQueueName;
  kind.queue_size = kHighQueueSize;
  kind.record_name = "the scan identifier";
  kind.path = "`WriteOnce` on the engine's thread: its own client channel, one record, no retry. "
              "A console scan also writes this text to `MalDetect_<n>.DBImport` at the end.";
  for (bool hidden : {false, true}) {
    AVMalwareDetectPacket packet;
    MalwareInfo info = Detection(hidden);
    SetDetectionParamsEx(packet, kScanId, kOdScannerType, request.GetInvokerPID(), &info, nullptr);
    kind.variants.push_back(packet);
  }
  kind.rows = DetectionRows();
  return kind;
}

Kind RealTimeDetection(const GenericPacketW& request) {
  Kind kind;
  kind.title = "Real-time detection";
  kind.when = "at each `OnMalwareDetection` of a hidden scan (`HiddenScan` true) requested by the "
              "auto-start monitor (`ScanRequestedBy` `RequestedByAutoStartMonitor`)";
  kind.queue = kHighQueueName;
  kind.queue_size = kHighQueueSize;
  kind.record_name = "the packet's channel id: a fresh GUID (36 characters, no braces) per detection";
  kind.path = "`SendRealTimeDetection` on the engine's thread, through `WriteOnce`.";
  KeyValuePairs extras{{L"ScanMode", L"5"}};
  for (bool hidden : {false, true}) {
    MalwareInfo info = Detection(hidden);
    AVMalwareDetectPacket packet;
    SetDetectionParamsEx(packet, ExCommon::CreateGuidString(), kRealTimeScannerType,
                         request.GetInvokerPID(), &info, &extras);
    kind.variants.push_back(packet);
  }
  kind.rows = DetectionRows();
  return kind;
}

Kind Conclusion(const GenericPacketW& request) {
  Kind kind;
  kind.title = "Conclusion (scan summary)";
  kind.when = "at `Close`, except in a hidden scan requested by the auto-start monitor";
  kind.queue = kHighQueueName;
  kind.queue_size = kHighQueueSize;
  kind.record_name = "the scan identifier";
  kind.path = "`WriteOnce` on the thread that calls `Close`.";
  const ScanCountMetrics metrics = FinalMetrics();
  for (uint32_t status : {3u, 1u}) {
    AVConcludeScanPacket packet;
    ConcludeOutcome outcome = ConcludeOutcomeFor(status);
    BuildSummaryPacket(packet, kScanId, 2, kStartTime, kEndTime, status, outcome,
                       ResourceMgr::instance().GetResource(outcome.resource_id));
    SetSummaryCounters(packet, metrics, 0, 1, status == 3 ? &request : nullptr);
    kind.variants.push_back(packet);
  }
  auto from = [](const char* field) { return std::string("`") + field + "` of `Close`'s counters"; };
  kind.rows = {
      {L"BadsCount", Type::kUInt, from("m_dwBadsCnt")},
      {L"BootSectorsCnt", Type::kUInt, from("m_dwBootSectorsCnt")},
      {L"CleanedCnt", Type::kUInt, from("m_dwCleanedCnt")},
      {L"CookieCnt", Type::kUInt, from("m_dwCookieCnt")},
      {L"CreationTime", Type::kInt, "clock when the packet is built: seconds since 1970, low 32 bits"},
      {L"DeletedCnt", Type::kUInt, from("m_dwDeletedCnt")},
      {L"DetectionActionReportOnlyCount", Type::kInt,
       "detections of this session with `m_dwDetectionAction` 2"},
      {L"DisplayMsg", Type::kText, "when `Result` is `Succeeded`: the text of the status's resource (table below)"},
      {L"ErrorMsg", Type::kText, "when `Result` is `Failed`: the text of the status's resource (table below)"},
      {L"FilesCnt", Type::kUInt, from("m_dwFilesCnt")},
      {L"HiddenScan", Type::kBool, "request packet's `HiddenScan`; only with a request packet"},
      {L"InvokerPID", Type::kInt, "request packet's `InvokerPID` (-1 without the key); only with a request packet"},
      {L"MalwaresDetected", Type::kUInt, from("m_dwInfectedCnt")},
      {L"ManualCleanupRequiredCount", Type::kInt,
       "detections of this session with `m_bManualCleanupRequired` set; only with a request packet"},
      {L"MemoryProcessCnt", Type::kUInt, from("m_dwMemoryProcessCnt")},
      {L"MimeCnt", Type::kUInt, from("m_dwMimeCnt")},
      {L"Priority", Type::kText, "always `high`"},
      {L"Progress", Type::kUInt, "always 100"},
      {L"QuarantinedCnt", Type::kUInt, from("m_dwQuarantinedCnt")},
      {L"RebootRequired", Type::kBool, from("m_bRebootRequired")},
      {L"RegKeyCnt", Type::kUInt, from("m_dwRegKeyCnt")},
      {L"RequestVeryLowScanCPULoad", Type::kBool,
       "request packet's `RequestVeryLowScanCPULoad` (false without the key); only with a request packet"},
      {L"Result", Type::kText, "`Succeeded` for `dwScanStatus` 3, else `Failed`"},
      {L"ScanEndTime", Type::kInt, "clock at `Close`: seconds since 1970, low 32 bits"},
      {L"ScanMode", Type::kInt, "`Create` `ScanMode`"},
      {L"ScanStartTime", Type::kInt, "clock at `Create`: seconds since 1970, low 32 bits"},
      {L"ScanStatus", Type::kInt, "`Close` `dwScanStatus`"},
      {L"ScannedCnt", Type::kUInt, from("m_dwScannedCnt")},
      {L"Status", Type::kText, "always `Completed`"},
      {L"StreamCnt", Type::kUInt, from("m_dwStreamCnt")},
      {L"SuspciousCnt", Type::kUInt, from("m_dwSuspciousCnt")},
  };
  return kind;
}

// --- the document ------------------------------------------------------------

bool Fail(const std::string& message) {
  std::fprintf(stderr, "packetdoc: %s\n", message.c_str());
  return false;
}

bool KeyTable(const Kind& kind, std::ostringstream& out) {
  std::map<std::wstring, const KeyRow*> rows;
  for (const KeyRow& row : kind.rows) rows[row.key] = &row;
  std::set<std::wstring> seen;
  for (const GenericPacketW& packet : kind.variants) {
    for (const auto& entry : packet.keyvallist) {
      auto it = rows.find(entry.first);
      if (it == rows.end())
        return Fail(kind.title + ": key " + Utf8(entry.first) + " has no row");
      if (!HasType(entry.second, it->second->type))
        return Fail(kind.title + ": " + Utf8(entry.first) + " = \"" + Utf8(entry.second) +
                    "\" is not " + TypeName(it->second->type));
      seen.insert(entry.first);
    }
  }
  out << "| key | value | source |\n|---|---|---|\n";
  for (const auto& row : rows) {
    if (!seen.count(row.first)) return Fail(kind.title + ": row " + Utf8(row.first) + " is never built");
    out << "| `" << Utf8(row.first) << "` | " << TypeName(row.second->type) << " | "
        << row.second->source << " |\n";
  }
  return true;
}

void Header(const GenericPacketW& p, std::ostringstream& out) {
  out << "`" << Utf8(p.type) << "` / `" << Utf8(p.subtype) << "`";
}

bool Document(std::string* text) {
  ResourceMgr::instance().AddAntiVirusResource();
  const GenericPacketW request = Request();
  std::vector<Kind> kinds = {Progress(), OdDetection(request), RealTimeDetection(request),
                             Conclusion(request)};

  std::ostringstream out;
  out << "# Packets\n\n"
         "<!-- Generated by tools/packetdoc (bash scripts/docs.sh); the ctest entry packets_doc fails "
         "when this file and the code differ. -->\n\n"
         "A packet is a `GenericPacketW`: a `type`, a `subtype`, a `channelid` and a list of "
         "keyed text values. It travels as one-line JSON text, built as UTF-8 and carried as "
         "UTF-16LE with its terminating NUL, in one record of a shared-memory queue; the "
         "record's name is cut to "
      << queue_layout::kMaxNameLength
      << " characters. Every value is a JSON string, whatever it holds; the keys come in "
         "the order of their UTF-16 code units, which is the order below. In the tables "
         "`int32` and `uint32` are decimal numbers, `bool` is `true` or `false`, and engine "
         "field names (`m_...`) are members of the `MalwareInfo` or `ScanCountMetrics` "
         "record that the engine passed.\n\n"
         "| packet | type / subtype | queue (bytes) | record name | sent |\n"
         "|---|---|---|---|---|\n";
  for (const Kind& kind : kinds) {
    out << "| " << kind.title << " | ";
    Header(kind.variants[0], out);
    out << " | `" << Utf8(kind.queue) << "` (" << kind.queue_size << ") | " << kind.record_name
        << " | " << kind.when << " |\n";
  }
  out << "\nThe channel id is the scan identifier (`Create` `pszScanID`) in every packet "
         "but the real-time detection.\n";

  for (const Kind& kind : kinds) {
    out << "\n## " << kind.title << "\n\n" << kind.path << "\n\n```json\n"
        << Utf8(GetJDocument(kind.variants[0])) << "\n```\n\n";
    if (kind.title == "Real-time detection") {
      // Its keys are the detection's; say only what differs.
      const GenericPacketW& od = kinds[1].variants[0];
      const GenericPacketW& rt = kind.variants[0];
      out << "The keys are those of the detection, built from the same record; what differs:";
      std::string sep = " ";
      if (od.type != rt.type) {
        out << sep << "`type` is `" << Utf8(rt.type) << "`";
        sep = ", ";
      }
      if (od.channelid != rt.channelid) {
        out << sep << "`channelid` is a fresh GUID";
        sep = ", ";
      }
      for (const auto& entry : rt.keyvallist) {
        if (entry.first == L"CreationTime") continue;
        if (od.GetKeyValue(entry.first) != entry.second) {
          out << sep << "`" << Utf8(entry.first) << "` is `" << Utf8(entry.second) << "`";
          sep = ", ";
        }
      }
      out << ".\n";
      std::ostringstream unused;
      if (!KeyTable(kind, unused)) return false;
      continue;
    }
    if (!KeyTable(kind, out)) return false;
    if (kind.title.rfind("Conclusion", 0) == 0) {
      out << "\nA scan that failed, without a request packet:\n\n```json\n"
          << Utf8(GetJDocument(kind.variants[1])) << "\n```\n\n"
          << "`Result` and its message by `dwScanStatus` (texts from the resource file "
             "`resource.json` of the product language):\n\n"
             "| `dwScanStatus` | `Result` | key | resource | text sent |\n|---|---|---|---|---|\n";
      for (uint32_t status = 0; status <= 11; ++status) {
        ConcludeOutcome o = ConcludeOutcomeFor(status);
        std::wstring text = ResourceMgr::instance().GetResource(o.resource_id) + o.message_suffix;
        out << "| " << status << " " << Utf8(GetScanStatusName(static_cast<int32_t>(status)))
            << " | " << (o.succeeded ? "Succeeded" : "Failed") << " | `" << Utf8(o.message_key)
            << "` | `" << Utf8(o.resource_id) << "` | " << Utf8(text) << " |\n";
      }
      out << "| any other | Failed | `ErrorMsg` | `JID_ScannerError` | its text and ` [<status>]` |\n";
    }
  }
  *text = out.str();
  return true;
}

// --- files -----------------------------------------------------------------

bool ReadText(const std::wstring& path, std::string* text) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  text->clear();
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text->append(buffer, got);
  ::CloseHandle(file);
  return true;
}

bool WriteText(const std::wstring& path, const std::string& text) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size();
  ::CloseHandle(file);
  return ok;
}

// What varies from run to run: creation times and the real-time channel.
std::vector<std::string> Normalised(const std::string& text) {
  static const std::regex kCreation("(\"key\":\"CreationTime\",\"value\":\")[0-9]+\"");
  static const std::regex kGuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = std::regex_replace(line, kCreation, "$1#\"");
    if (line.find("\"RealTimeAVScanner\"") != std::string::npos)
      line = std::regex_replace(line, kGuid, "#");
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool check = argc == 3 && std::wcscmp(argv[1], L"--check") == 0;
  if (!check && argc != 2) {
    std::fprintf(stderr, "usage: packetdoc.exe OUTPUT.md | packetdoc.exe --check DOC.md\n");
    return 2;
  }
  std::string text;
  if (!Document(&text)) return 2;
  const std::wstring path = argv[argc - 1];
  if (!check) {
    if (!WriteText(path, text)) {
      std::fprintf(stderr, "packetdoc: cannot write %ls\n", path.c_str());
      return 2;
    }
    return 0;
  }
  std::string committed;
  if (!ReadText(path, &committed)) {
    std::fprintf(stderr, "packetdoc: cannot read %ls\n", path.c_str());
    return 1;
  }
  std::vector<std::string> want = Normalised(text), have = Normalised(committed);
  for (size_t i = 0; i < want.size() || i < have.size(); ++i) {
    const std::string* w = i < want.size() ? &want[i] : nullptr;
    const std::string* h = i < have.size() ? &have[i] : nullptr;
    if (w && h && *w == *h) continue;
    std::printf("%ls differs from the code at line %zu\n  file: %s\n  code: %s\n"
                "Regenerate it with: bash scripts/docs.sh\n",
                path.c_str(), i + 1, h ? h->c_str() : "(end of file)",
                w ? w->c_str() : "(end of text)");
    return 1;
  }
  return 0;
}
