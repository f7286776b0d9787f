#include "scan/scan_exclusions.h"

#include "common/ex_common.h"
#include "common/log.h"

namespace {

// The extension buffer of the path splitter holds 255 characters and the dot.
constexpr size_t kExtensionBuffer = 256;

bool Has(const ScanExclusions::KeyMap& map, const std::wstring& key) {
  return map.find(key) != map.end();
}

}  // namespace

bool ScanExclusions::Init(const std::wstring& owner, const KeyMap& extensions,
                          const KeyMap& directories, const KeyMap& files,
                          const KeyMap& private_extensions) {
  owner_ = owner;
  extensions_ = extensions;
  directories_ = directories;
  files_ = files;
  private_extensions_ = private_extensions;
  drive_index_.clear();
  for (const auto& entry : directories_) {
    if (!entry.first.empty()) drive_index_[ExCommon::ToLower(entry.first.substr(0, 1))] = true;
  }
  return true;
}

std::wstring ScanExclusions::ExtensionOf(const std::wstring& lower) {
  // Same split as _wsplitpath_s: the file name starts after the last slash,
  // backslash or drive colon; its extension at its last dot. Done by hand so
  // that an over-long extension cannot reach the CRT's invalid-parameter path.
  size_t name_start = 0;
  if (lower.size() >= 2 && lower[1] == L':') name_start = 2;
  size_t sep = lower.find_last_of(L"\\/");
  if (sep != std::wstring::npos && sep + 1 > name_start) name_start = sep + 1;
  size_t dot = lower.rfind(L'.');
  if (dot == std::wstring::npos || dot < name_start) return std::wstring();
  size_t component = lower.size() - dot;  // with the dot
  if (component <= 1 || component >= kExtensionBuffer) return std::wstring();
  return lower.substr(dot + 1);
}

bool ScanExclusions::FileExcluded(const std::wstring& path) const {
  if (path.empty()) {
    if (LogEnabled(LOG_WARN)) LogStream(LOG_WARN) << owner_ << L" FileExcluded - Empty file";
    return false;
  }
  if (empty()) return false;
  const std::wstring lower = ExCommon::ToLower(path);
  if (Has(files_, lower)) {
    if (LogEnabled(LOG_WARN))
      LogStream(LOG_WARN) << owner_ << L" FileExcluded - Will not scan excluded file:" << path;
    return true;
  }
  const std::wstring extension = ExtensionOf(lower);
  if (!extension.empty()) {
    if (Has(extensions_, extension)) {
      if (LogEnabled(LOG_DEBUG))
        LogStream(LOG_DEBUG) << owner_ << L" FileExcluded - Will not scan excluded extension ["
                             << extension << L"]:" << path;
      return true;
    }
    if (Has(private_extensions_, extension)) {
      if (LogEnabled(LOG_DEBUG))
        LogStream(LOG_DEBUG) << owner_
                             << L" FileExcluded - Will not scan Private excluded extension ["
                             << extension << L"]:" << path;
      return true;
    }
  }
  if (directories_.empty()) return false;
  if (IsUnderExcludedDirectory(lower)) {
    if (LogEnabled(LOG_WARN))
      LogStream(LOG_WARN) << owner_ << L" FileExcluded - Will not scan excluded item:" << path;
    return true;
  }
  return false;
}

bool ScanExclusions::FolderExluded(const std::wstring& path) const {
  // An empty entry would otherwise exclude the empty path.
  if (path.empty() || directories_.empty()) return false;
  const std::wstring lower = ExCommon::ToLower(path);
  if (Has(directories_, lower)) {
    if (LogEnabled(LOG_WARN))
      LogStream(LOG_WARN) << owner_ << L" FolderExluded - Will not scan excluded folder:" << path;
    return true;
  }
  if (IsUnderExcludedDirectory(lower)) {
    if (LogEnabled(LOG_WARN))
      LogStream(LOG_WARN) << owner_ << L" FolderExluded - Will not scan excluded item:" << path;
    return true;
  }
  return false;
}

bool ScanExclusions::IsUnderExcludedDirectory(const std::wstring& lower) const {
  if (lower.empty()) return false;
  if (!Has(drive_index_, lower.substr(0, 1))) return false;
  // Every leading run of components is tested, as written and with a trailing
  // backslash, so a folder entry matches itself and all below it either way.
  // A leading two-character component is a drive, whose entry is its root (c:\).
  std::wstring prefix;
  prefix.reserve(lower.size() + 1);
  size_t start = 0;
  for (bool first = true;; first = false) {
    const size_t sep = lower.find(L'\\', start);
    const size_t end = sep == std::wstring::npos ? lower.size() : sep;
    prefix.assign(lower, 0, end);
    if (!(first && end - start == 2) && !prefix.empty() && Has(directories_, prefix)) return true;
    prefix += L'\\';
    if (Has(directories_, prefix)) return true;
    if (sep == std::wstring::npos) return false;
    start = sep + 1;
  }
}
