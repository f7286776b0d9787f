// Where a host's log file lies, what it is called, and how a full log file
// is archived. The naming and rotation decisions are pure functions; the
// folder creation, placement and archiving touch the file system.
#pragma once

#include <cstdint>
#include <string>

#include "common/log_format.h"

namespace logplace {

enum class HostKind {
  kOrdinary,      // logs folder
  kInstaller,     // stored-data logs folder, no archiving
  kBootstrapper,  // "x86" / "x64": logs folder, timestamped, no archiving
};

struct HostRule {
  HostKind kind = HostKind::kOrdinary;
  bool timestamped = false;
  bool archiving = true;
};

// Name comparisons are whole-string, A-Z case folding only.
HostRule ClassifyHost(const std::wstring& host);

// File name inside the host's folder, e.g. "setup_[16-31-38][04-12-26].log".
std::wstring LogFileName(const std::wstring& host, bool timestamped, uint32_t session_id,
                         uint32_t process_id, const logfmt::LocalTime& time);

// "C:\x\ScanEngine.log" -> "C:\x\ScanEngine[04-12-26][16-31-38].log"; empty
// when the path has no extension.
std::wstring ArchivedName(const std::wstring& path, const logfmt::LocalTime& time);

// archived + ".gz", or archived + epoch seconds + ".gz" when that file exists.
std::wstring CompressedName(const std::wstring& archived, bool gz_exists, int64_t epoch_seconds);

std::wstring CompressorCommandLine(const std::wstring& compressor, const std::wstring& archived,
                                   const std::wstring& destination);

// The size at which the file is rotated: a file may pass it by one line.
inline bool ShouldRotate(uint64_t limit_bytes, uint64_t current_bytes) {
  return limit_bytes <= current_bytes;
}

// "max_size_mb" to bytes: 0 counts as 1; values over kMaxSizeMb are capped
// there instead of wrapping a 32-bit product.
inline constexpr uint32_t kMaxSizeMb = 4095;
uint64_t SizeLimitFromMegabytes(uint32_t megabytes);

// Second character a colon, or a leading "\\".
bool IsAbsolutePath(const std::wstring& path);
// Slashes become backslashes; a trailing backslash is ensured (empty stays empty).
std::wstring NormalizeFolder(const std::wstring& path);

// Longest log file path the logger accepts (a 260-character buffer).
inline constexpr size_t kMaxLogPath = 259;

// --- file system ---

// Creates an absolute folder level by level; true when it exists afterwards.
bool CreateLogFolder(const std::wstring& path);

// Decides the log file path for `host` ("Unknown" when empty); clears
// `archiving` for the hosts that keep their files. Empty path: no usable folder.
std::wstring PlaceLogFile(const std::wstring& host, bool& archiving);

// "<common app data>\Quillfeather\Consumer\<code>\9\<compressor>", quoted.
std::wstring CompressorPath();

// Moves the full file to its archived name and starts the compressor on it
// without waiting. True when the compressor was started.
bool ArchiveLogFile(const std::wstring& path);

}  // namespace logplace
