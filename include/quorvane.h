// Engine-facing declarations of Quorvane.dll.
//
// The engine builds the request packet and the DLL reads that object in
// place, so both sides must agree on its exact memory layout. An engine that
// shares these types with the DLL must:
//   - include this same header, unchanged;
//   - be built with the same compiler and the same C++ standard library
//     (x86_64-w64-mingw32 g++, libstdc++, 64-bit, wchar_t of 16 bits), so
//     that std::wstring and std::map have the representation the DLL uses;
//   - keep a request packet alive and unchanged from Create to Close: the
//     DLL reads it in place and never changes or destroys it.
// This header includes only standard headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// ---------------------------------------------------------------------------
// Scan counters, passed by the engine to OnItemScan, OnMalwareDetection and
// Close. Read only; the layout is fixed.
struct ScanCountMetrics {
  int32_t m_scanPriority;
  int32_t m_CPULoad;
  bool m_bRebootRequired;
  uint32_t m_dwScannedCnt;
  uint32_t m_dwInfectedCnt;
  uint32_t m_dwQuarantinedCnt;
  uint32_t m_dwCleanedCnt;
  uint32_t m_dwDeletedCnt;
  uint32_t m_dwSuspciousCnt;
  uint32_t m_dwBadsCnt;
  uint32_t m_dwFilesCnt;
  uint32_t m_dwRegKeyCnt;
  uint32_t m_dwBootSectorsCnt;
  uint32_t m_dwMemoryProcessCnt;
  uint32_t m_dwCookieCnt;
  uint32_t m_dwStreamCnt;
  uint32_t m_dwMimeCnt;
};
static_assert(sizeof(ScanCountMetrics) == 68, "ScanCountMetrics is a binary contract");
static_assert(offsetof(ScanCountMetrics, m_CPULoad) == 4, "");
static_assert(offsetof(ScanCountMetrics, m_bRebootRequired) == 8, "");
static_assert(offsetof(ScanCountMetrics, m_dwScannedCnt) == 12, "");
static_assert(offsetof(ScanCountMetrics, m_dwBadsCnt) == 36, "");
static_assert(offsetof(ScanCountMetrics, m_dwFilesCnt) == 40, "");
static_assert(offsetof(ScanCountMetrics, m_dwMimeCnt) == 64, "");

// One detection, passed by the engine to OnMalwareDetection. Read only.
// Its text fields are std::wstring, so the layout is that of this toolchain
// (see the note at the top); the asserts pin it for this build.
struct MalwareInfo {
  bool m_bReserved;
  bool m_bRebootRequired;
  bool m_bQuarantined;
  bool m_bMailDataFile;
  bool m_bManualCleanupRequired;
  bool m_bWinAppFile;
  uint32_t m_dwScanMode;
  uint32_t m_dwItemType;
  std::wstring m_sReserved1;
  std::wstring m_sItemPath;
  std::wstring m_sInnerObjectPath;
  uint32_t m_dwInfectionDataType;
  std::wstring m_sMalwareName;
  uint32_t m_dwMalwareStatus;
  uint32_t m_dwThreatLevel;
  std::wstring m_sMalwareCategory;
  uint32_t m_dwMalwareCategoryId;
  std::wstring m_sMalwareURL;
  uint32_t m_dwMalwaresDetected;
  std::wstring m_sAccessingAccount;
  std::wstring m_sLoggedAccounts;
  std::wstring m_sAccessingAssest;
  std::wstring m_sDetectionsAdditionalInfo;
  std::wstring m_sReserved2;
  uint32_t m_dwSigVerDetection;
  std::wstring m_sDetectionID;
  uint32_t m_dwDetectionAction;
  uint32_t m_dwScore;
  bool m_bFileValidationFailed;
  std::wstring m_sObjectFinalPath;
  std::wstring m_sQurantineID;
  bool m_bHiddenFile;
  bool m_bHiddenProcess;
};
static_assert(sizeof(std::wstring) == 32, "MalwareInfo needs the libstdc++ string layout");
static_assert(offsetof(MalwareInfo, m_bWinAppFile) == 5, "");
static_assert(offsetof(MalwareInfo, m_dwScanMode) == 8, "");
static_assert(offsetof(MalwareInfo, m_sReserved1) == 16, "");
static_assert(offsetof(MalwareInfo, m_sItemPath) == 48, "");
static_assert(offsetof(MalwareInfo, m_dwInfectionDataType) == 112, "");
static_assert(offsetof(MalwareInfo, m_sMalwareName) == 120, "");
static_assert(offsetof(MalwareInfo, m_sDetectionsAdditionalInfo) == 336, "");
static_assert(offsetof(MalwareInfo, m_dwSigVerDetection) == 400, "");
static_assert(offsetof(MalwareInfo, m_bFileValidationFailed) == 448, "");
static_assert(offsetof(MalwareInfo, m_bHiddenProcess) == 521, "");
static_assert(sizeof(MalwareInfo) == 528, "MalwareInfo is a binary contract");

// ---------------------------------------------------------------------------
// Packets

// A message: a type, a subtype, a channel identifier and keyed text values.
// Keys are ordered by their UTF-16 code units compared as unsigned numbers,
// which is the default ordering of std::wstring here. Not internally locked.
// Narrow arguments are text in the system ANSI code page.
class GenericPacketW {
 public:
  GenericPacketW() = default;
  GenericPacketW(const GenericPacketW&) = default;
  GenericPacketW& operator=(const GenericPacketW&) = default;
  virtual ~GenericPacketW();

  void SetHeader(const std::string& type, const std::string& subtype,
                 const std::string& channelid);

  // False only when the entry could not be stored for lack of memory.
  bool SetKeyValue(std::wstring key, std::wstring value);
  bool SetKeyValueInt(const std::wstring& key, int32_t value);
  bool SetKeyValueUInt(const std::wstring& key, uint32_t value);
  bool SetKeyValueBool(const std::wstring& key, bool value);
  bool SetKeyValueBool(const std::string& key, bool value);

  // Empty text, `fallback`, or -1 when the key is absent.
  std::wstring GetKeyValue(const std::wstring& key) const;
  bool GetKeyValueBool(const std::wstring& key, bool fallback) const;
  bool GetKeyValueBool(const std::string& key, bool fallback) const;
  int32_t GetKeyValueInt(const std::wstring& key, int32_t fallback) const;

  void SetResult(const std::string& text);
  void SetStatus(const std::string& text);
  void SetPriorityHigh();
  void SetCreationTime();
  std::wstring GetScanRequestedBy() const;
  int32_t GetInvokerPID() const;
  void SetInvokerPID(int32_t pid);
  bool IsHiddenScan() const;

  // Sets the existing event named by "NamedEvent"; never creates it.
  bool SignalNamedEvent() const;

  std::wstring type;
  std::wstring subtype;
  std::wstring channelid;
  std::map<std::wstring, std::wstring> keyvallist;
};

// The scan packets differ from GenericPacketW only in how they are filled.
class AVMalwareDetectPacket : public GenericPacketW {
 public:
  // "ODAVScanner" / "MalwareDetectPacket", "CreationTime" now, "Priority" "high".
  AVMalwareDetectPacket();
  ~AVMalwareDetectPacket() override;
};

class AVScannedItemPacket : public GenericPacketW {
 public:
  // "ODAVScanner" / "ScannedItemPacket", "Result" "Pending", "Status"
  // "Running", "Priority" "low"; no creation time.
  AVScannedItemPacket();
  ~AVScannedItemPacket() override;
};

class AVConcludeScanPacket : public GenericPacketW {
 public:
  // "ODAVScanner" / "ConcludeScanPacket", "Result" "Succeeded", "Status"
  // "Completed", "CreationTime" now, "Priority" "high".
  AVConcludeScanPacket();
  ~AVConcludeScanPacket() override;
};

// ---------------------------------------------------------------------------
// Exports of Quorvane.dll, by name (C linkage, no decoration).
//
// A scan handle is the value Create returned; it stays valid until Close
// begins. Every function but Create refuses a null or unknown handle with a
// log line and a neutral result. No exception leaves these functions.
extern "C" {
// pvPrivateData: the scan's request packet (a GenericPacketW built by the
// engine) or null; read in place until Close. Null on failure.
void* Create(const wchar_t* pszScanID, int ScanMode, void* pvPrivateData,
             const wchar_t** ppszScanPaths, uint32_t dwScanPathCount, void* pvEngineData1,
             void* pvEngineData2);
// dwCallbackType 0: pvData points to the item's size in bytes (uint64_t).
// 1 when forwarded, 0 when refused.
int OnItemPreScan(void* hScanContext, uint32_t dwCallbackType, void* pvData);
int OnItemScan(void* hScanContext, const wchar_t* pszItemPath, uint32_t dwItemType,
               const ScanCountMetrics* pScanCountMetrics);
int OnMalwareDetection(void* hScanContext, const MalwareInfo* pMalwareInfo, void* pvReserved,
                       const ScanCountMetrics* pScanCountMetrics);
// The current progress, 0 to 99; changes nothing despite its name.
uint32_t IncreaseScanPercentage(void* hScanContext);
bool FileEnumerationCompleted(void* hScanContext);
// Concludes and frees the session. Always 0.
int Close(void* hScanContext, uint32_t dwScanStatus, const ScanCountMetrics* pScanCountMetrics);
// Module start and stop; always 1.
int Start();
int Stop();
}
