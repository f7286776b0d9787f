#include "ipc/product_paths.h"

#include <shlobj.h>
#include <windows.h>

#include "common/ex_common.h"
#include "common/product.h"
#include "common/reg.h"

namespace {

// Getters run on the engine's threads while Start may fill the cache.
SRWLOCK g_cache_lock = SRWLOCK_INIT;
std::wstring g_install_path;
std::wstring g_logs_path;
std::wstring g_language;

std::wstring Cached(const std::wstring& slot) {
  ::AcquireSRWLockShared(&g_cache_lock);
  std::wstring value;
  try {
    value = slot;
  } catch (...) {
  }
  ::ReleaseSRWLockShared(&g_cache_lock);
  return value;
}

void Store(std::wstring& slot, const std::wstring& value) {
  ::AcquireSRWLockExclusive(&g_cache_lock);
  try {
    if (slot.empty()) slot = value;
  } catch (...) {
  }
  ::ReleaseSRWLockExclusive(&g_cache_lock);
}

std::wstring DeriveInstallPath() { return ReadRegString(product::kAntiVirusKey, L"InstallPath"); }

std::wstring DeriveLanguage() { return ReadRegString(product::kRootKey, L"Lang"); }

std::wstring DeriveLogsPath() {
  return ExCommon::AddTrailingBackslash(GetDataRootPath()) + L"Logs";
}

using SHGetFolderPathWFn = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);

std::wstring CommonAppDataFolder() {
  const wchar_t* libraries[] = {L"shell32.dll", L"SHFolder.dll"};
  for (const wchar_t* library : libraries) {
    HMODULE module = ::LoadLibraryW(library);
    if (!module) continue;
    auto get_folder = reinterpret_cast<SHGetFolderPathWFn>(
        reinterpret_cast<void*>(::GetProcAddress(module, "SHGetFolderPathW")));
    if (!get_folder) {
      ::FreeLibrary(module);
      continue;
    }
    wchar_t folder[MAX_PATH + 1] = {};
    HRESULT hr = get_folder(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    ::FreeLibrary(module);
    if (hr != S_OK) return std::wstring();
    folder[MAX_PATH] = L'\0';
    return folder;
  }
  return std::wstring();
}

}  // namespace

std::wstring GetAntiVirusInstallPath() {
  try {
    std::wstring cached = Cached(g_install_path);
    return cached.empty() ? DeriveInstallPath() : cached;
  } catch (...) {
    return std::wstring();
  }
}

std::wstring GetProductLanguage() {
  try {
    std::wstring cached = Cached(g_language);
    if (!cached.empty()) return cached;
    std::wstring derived = DeriveLanguage();
    Store(g_language, derived);
    return derived;
  } catch (...) {
    return std::wstring();
  }
}

std::wstring GetDataRootPath() {
  try {
    std::wstring folder = CommonAppDataFolder();
    if (folder.empty()) return std::wstring();
    return ExCommon::AddTrailingBackslash(folder, /*keep_colon=*/true) + L"QuillfeatherZub";
  } catch (...) {
    return std::wstring();
  }
}

std::wstring GetLogsPath() {
  try {
    std::wstring cached = Cached(g_logs_path);
    return cached.empty() ? DeriveLogsPath() : cached;
  } catch (...) {
    return std::wstring();
  }
}

std::wstring GetStoredDataPath() {
  try {
    return ExCommon::AddTrailingBackslash(GetDataRootPath()) + L"StoredData";
  } catch (...) {
    return std::wstring();
  }
}

std::wstring GetStoredDataLogsPath() {
  try {
    return ExCommon::AddTrailingBackslash(GetStoredDataPath()) + L"Logs";
  } catch (...) {
    return std::wstring();
  }
}

std::wstring GetStoredDataTempPath() {
  try {
    return ExCommon::AddTrailingBackslash(GetStoredDataPath()) + L"TEMP";
  } catch (...) {
    return std::wstring();
  }
}

void FillProductPathCache() {
  try {
    if (Cached(g_install_path).empty()) Store(g_install_path, DeriveInstallPath());
    if (Cached(g_logs_path).empty()) Store(g_logs_path, DeriveLogsPath());
    if (Cached(g_language).empty()) Store(g_language, DeriveLanguage());
  } catch (...) {
  }
}

void ClearProductPathCache() {
  ::AcquireSRWLockExclusive(&g_cache_lock);
  g_install_path.clear();
  g_logs_path.clear();
  g_language.clear();
  ::ReleaseSRWLockExclusive(&g_cache_lock);
}
