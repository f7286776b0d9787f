// Product configuration: registry keys, folder names and program names.
#pragma once

namespace product {

// Registry, all under HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kRootKey[] = L"SOFTWARE\\Quillfeather";
inline constexpr wchar_t kAntiVirusKey[] = L"SOFTWARE\\Quillfeather\\Anti-Virus";
inline constexpr wchar_t kScannerKey[] = L"SOFTWARE\\Quillfeather\\Anti-Virus\\Scanner";
inline constexpr wchar_t kLoggerKeyPrefix[] = L"SOFTWARE\\Quillfeather\\Logger\\";

// Host programs that get their own log placement (names without ".exe",
// except the set-up application, whose entry keeps it).
inline constexpr const wchar_t* kInstallers[10] = {
    L"QfAntiVirusInstall", L"QfBackupInstall", L"QfCommonInstall", L"QfTuneUpInstall",
    L"QfWebFilterInstall", L"setup",           L"uninstall",       L"QfRepairTool",
    L"QfMigrationTool",    L"QfSetupApp.exe",
};
inline constexpr wchar_t kControlCentre[] = L"QfControlCentre";
inline constexpr wchar_t kManagementConsole[] = L"QfManagementConsole";
inline constexpr wchar_t kEventViewer[] = L"QfEventViewer";
inline constexpr wchar_t kPidNamedTool[] = L"QfDiagnostics";  // one log file per run

// The compressor: <common app data>\Quillfeather\Consumer\<short code>\9\<program>.
inline constexpr wchar_t kShortCodeFolder[] = L"QZB";
inline constexpr wchar_t kCompressorProgram[] = L"QfCompress.exe";

// Key of the scrambled binary registry values.
inline constexpr unsigned kScrambleKey = 0x5A3C96E1u;

}  // namespace product
