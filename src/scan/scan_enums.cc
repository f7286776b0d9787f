#include "scan/scan_enums.h"

#include "ipc/resource_mgr.h"

namespace {

template <size_t N>
std::wstring NameOf(const wchar_t* const (&names)[N], int32_t value, const wchar_t* invalid) {
  if (value >= 0 && static_cast<size_t>(value) < N) return names[value];
  return invalid + std::to_wstring(value);
}

}  // namespace

std::wstring GetScanModeName(int32_t value) {
  static const wchar_t* const kNames[] = {
      L"System Scan", L"Full Scan",           L"Custom Scan",   L"Shell Scan",
      L"Scheduled Scan", L"On-Access",        L"Application Control", L"Web Filtering",
      L"Download Scan", L"Quick Scan",        L"Cam Mic Detector",
  };
  return NameOf(kNames, value, L"Invalid Scan:");
}

std::wstring GetScanStatusName(int32_t value) {
  static const wchar_t* const kNames[] = {
      L"Paused",         L"Aborted",        L"Running",
      L"Completed",      L"Error",          L"Unknown",
      L"ErrorInternalLogic", L"ScannerTooBusy", L"ScannerNotRespoding",
      L"ScheduledScanIsRunning", L"Snoozed", L"EnumEnd",
  };
  return NameOf(kNames, value, L"Invalid Status:");
}

std::wstring GetMalwareStatusName(int32_t value) {
  static const wchar_t* const kNames[] = {
      L"NoAction", L"Infected", L"Cleaned", L"Deleted",
      L"Quarantined", L"Blocked", L"EndEnum", L"Unknown",
  };
  return NameOf(kNames, value, L"Invalid Status:");
}

std::wstring GetMalwareCategoryName(int32_t value) {
  if (value == static_cast<int32_t>(MalwareCategory::HelperProcess))
    return ResourceMgr::instance().GetResource(L"JID_MalwareHelperProcess");
  static const wchar_t* const kNames[] = {
      L"Trojan",  L"Adware", L"Dialer",        L"Spam",         L"Rootkit",
      L"Spyware", L"Malicious App", L"Archive Bomb", L"Cookie", L"Virus",
      nullptr,    L"Camera", L"Microphone",
  };
  return NameOf(kNames, value, L"Invalid Category id:");
}

std::wstring GetThreatLevelName(int32_t value) {
  if (value == static_cast<int32_t>(MalwareThreatLevel::Unused)) return L"Unused";
  static const wchar_t* const kNames[] = {
      L"Safe", L"VeryLow", L"Low", L"Medium", L"High", L"Critical", L"Unknown", L"EndEnum",
  };
  return NameOf(kNames, value, L"Invalid level:");
}
