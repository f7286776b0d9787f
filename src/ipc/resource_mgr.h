// The process-wide table of display texts keyed by resource identifier
// ("JID_ScanCompleteSuccess" ...), loaded from the product's language
// resource file. Any thread; Load, GetResource and DeInit are serialised by
// one lock. Resource files are copied, under the machine-wide mutex
// "Global\QuillfeatherResourceMgr.mtx", to a temporary file that is parsed
// and deleted, so that a file being replaced is never parsed half-written.
#pragma once

#include <windows.h>

#include <map>
#include <string>

class ResourceMgr {
 public:
  // Created on first call; destroyed at module unload.
  static ResourceMgr& instance();

  // Loads <InstallPath>\[<Lang>\]resource.json.
  bool AddAntiVirusResource();
  // True when the file is loaded now or was loaded before (paths compare
  // without regard to A-Z case).
  bool Load(const std::wstring& path);
  // The text, or an empty text for an unknown identifier.
  std::wstring GetResource(const std::wstring& identifier);
  // Forgets every text and loaded file; a later Load works again.
  bool DeInit();

  // <InstallPath>\[<Lang>\]resource.json, as AddAntiVirusResource builds it.
  static std::wstring ResourceFilePath();
  // %TEMP%\ResourceMgr.<seconds since 1970><0..32767>.tmp
  static std::wstring TemporaryCopyName();

  ResourceMgr(const ResourceMgr&) = delete;
  ResourceMgr& operator=(const ResourceMgr&) = delete;

 private:
  ResourceMgr();
  ~ResourceMgr();

  // Copies under the file mutex; the copy is made even when the wait fails.
  bool CopyUnderMutex(const std::wstring& source, const std::wstring& target, DWORD& wait_result,
                      DWORD& copy_error);

  std::map<std::wstring, bool> loaded_files_;        // guarded by lock_
  std::map<std::wstring, std::wstring> resources_;   // guarded by lock_
  bool case_sensitive_keys_ = false;
  HANDLE file_mutex_ = nullptr;
  CRITICAL_SECTION lock_;
};
