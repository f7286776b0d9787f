// The five enumerations that the engine and the session exchange as 32-bit
// numbers, and their fixed English names for log lines. Any thread.
#pragma once

#include <cstdint>
#include <string>

enum class ScanMode : int32_t {
  SystemScan = 0,
  FullScan = 1,
  CustomScan = 2,
  ShellScan = 3,
  ScheduledScan = 4,
  OnAccess = 5,
  ApplicationControl = 6,
  WebFiltering = 7,
  DownloadScan = 8,
  QuickScan = 9,
  CamMicDetector = 10,
};

enum class ScanStatus : int32_t {
  Paused = 0,
  Aborted = 1,
  Running = 2,
  Completed = 3,
  Error = 4,
  Unknown = 5,
  ErrorInternalLogic = 6,
  ScannerTooBusy = 7,
  ScannerNotRespoding = 8,
  ScheduledScanIsRunning = 9,
  Snoozed = 10,
  EnumEnd = 11,
};

enum class MalwareStatus : int32_t {
  NoAction = 0,
  Infected = 1,
  Cleaned = 2,
  Deleted = 3,
  Quarantined = 4,
  Blocked = 5,
  EndEnum = 6,
  Unknown = 7,
};

enum class MalwareCategory : int32_t {
  Trojan = 0,
  Adware = 1,
  Dialer = 2,
  Spam = 3,
  Rootkit = 4,
  Spyware = 5,
  MaliciousApp = 6,
  ArchiveBomb = 7,
  Cookie = 8,
  Virus = 9,
  HelperProcess = 10,  // named by the resource "JID_MalwareHelperProcess"
  Camera = 11,
  Microphone = 12,
};

enum class MalwareThreatLevel : int32_t {
  Safe = 0,
  VeryLow = 1,
  Low = 2,
  Medium = 3,
  High = 4,
  Critical = 5,
  Unknown = 6,
  EndEnum = 7,
  Unused = 0x7FFFFFFF,
};

// A value outside the enumeration gives a prefix and the value as a signed
// decimal, e.g. "Invalid Scan:-1".
std::wstring GetScanModeName(int32_t value);
std::wstring GetScanStatusName(int32_t value);
std::wstring GetMalwareStatusName(int32_t value);
std::wstring GetMalwareCategoryName(int32_t value);  // 10: from the resource manager
std::wstring GetThreatLevelName(int32_t value);
