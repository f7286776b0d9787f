#include "ipc/resource_mgr.h"

#include <atomic>
#include <ctime>
#include <exception>

#include "common/ex_common.h"
#include "common/handle.h"
#include "common/log.h"
#include "common/security.h"
#include "ipc/product_paths.h"
#include "packets/json_helper.h"

namespace {

constexpr wchar_t kFileMutexName[] = L"Global\\QuillfeatherResourceMgr.mtx";
constexpr DWORD kFileMutexWaitMs = 5000;
constexpr DWORD kCopyRetryDelayMs = 1000;

// 0..32767. Seeded per process: with the runtime's unseeded generator every
// process draws the same numbers, and two processes loading in the same
// second would copy to, parse and delete one and the same temporary file.
int TemporaryNumber() {
  static std::atomic<uint32_t> state{::GetCurrentProcessId() * 2654435761u ^
                                     static_cast<uint32_t>(::GetTickCount64())};
  uint32_t next = state.fetch_add(0x9E3779B9u) + 0x9E3779B9u;
  next ^= next >> 16;
  next *= 0x7FEB352Du;
  next ^= next >> 15;
  return static_cast<int>(next & 0x7FFF);
}

}  // namespace

ResourceMgr& ResourceMgr::instance() {
  static ResourceMgr manager;
  return manager;
}

ResourceMgr::ResourceMgr() {
  ::InitializeCriticalSection(&lock_);
  file_mutex_ = ::CreateMutexW(GetOpenSecurityAttributes(), /*bInitialOwner=*/FALSE, kFileMutexName);
}

ResourceMgr::~ResourceMgr() {
  if (file_mutex_) ::CloseHandle(file_mutex_);
  ::DeleteCriticalSection(&lock_);
}

std::wstring ResourceMgr::ResourceFilePath() {
  std::wstring path = ExCommon::AddTrailingBackslash(GetAntiVirusInstallPath(), /*keep_colon=*/true);
  std::wstring language = GetProductLanguage();
  if (!language.empty()) return path + language + L"\\resource.json";
  return path + L"resource.json";
}

std::wstring ResourceMgr::TemporaryCopyName() {
  std::wstring folder = ExCommon::GetTempFolder();
  if (folder.empty()) {  // else the copy would land in the root of the current drive
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
    if (n > 0 && n <= MAX_PATH) folder = ExCommon::RemoveTrailingBackslash(std::wstring(buffer, n));
  }
  return folder + L"\\ResourceMgr." + std::to_wstring(static_cast<long long>(std::time(nullptr))) +
         std::to_wstring(TemporaryNumber()) + L".tmp";
}

bool ResourceMgr::AddAntiVirusResource() {
  Log(LOG_ALW, L"ResourceMgr::AddAntiVirusResource - invoked");
  try {
    return Load(ResourceFilePath());
  } catch (const std::exception&) {
    return false;
  }
}

bool ResourceMgr::CopyUnderMutex(const std::wstring& source, const std::wstring& target,
                                 DWORD& wait_result, DWORD& copy_error) {
  wait_result = file_mutex_ ? ::WaitForSingleObject(file_mutex_, kFileMutexWaitMs) : WAIT_FAILED;
  bool copied = ExCommon::CopyFileOver(source, target);
  copy_error = copied ? ERROR_SUCCESS : ::GetLastError();
  if (wait_result == WAIT_OBJECT_0 || wait_result == WAIT_ABANDONED) ::ReleaseMutex(file_mutex_);
  return copied;
}

bool ResourceMgr::Load(const std::wstring& path) {
  bool result = false;
  std::wstring temporary;
  try {
    CsLock hold(lock_);
    const std::wstring key = ExCommon::ToLower(path);
    if (loaded_files_.count(key)) {
      Log(LOG_WARN, L"ResourceMgr::Load - File already proceedded: %s", path.c_str());
      return true;
    }
    if (!ExCommon::FileExists(path)) {
      Log(LOG_WARN, L"ResourceMgr::Load - File does not exist : %s", path.c_str());
      return false;
    }
    temporary = TemporaryCopyName();
    DWORD wait_result = 0, copy_error = 0;
    bool copied = CopyUnderMutex(path, temporary, wait_result, copy_error);
    if (!copied) {
      Log(LOG_WARN, L"ResourceMgr - Load - Failed to copy file %s into %s . Error=%ld, dwLockRes = %d",
          path.c_str(), temporary.c_str(), copy_error, static_cast<int>(wait_result));
      ::Sleep(kCopyRetryDelayMs);
      copied = CopyUnderMutex(path, temporary, wait_result, copy_error);
      if (!copied)
        Log(LOG_ERROR, L"ResourceMgr - Load Retry - Failed to copy file %s into %s . Error=%ld",
            path.c_str(), temporary.c_str(), copy_error);
    }
    if (copied) {
      if (JsonHelper::Load(temporary, resources_, !case_sensitive_keys_)) {
        loaded_files_[key] = true;
        result = true;
      } else {
        Log(LOG_ERROR, L"ResourceMgr - Failed to load %s", path.c_str());
      }
    }
  } catch (const std::exception&) {
    result = false;
  }
  if (!temporary.empty() && ::GetFileAttributesW(temporary.c_str()) != INVALID_FILE_ATTRIBUTES) {
    ::SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!::DeleteFileW(temporary.c_str()))
      Log(LOG_ERROR, L"ResourceMgr - Load - failed to delete file %s . Error=%ld", temporary.c_str(),
          ::GetLastError());
  }
  return result;
}

std::wstring ResourceMgr::GetResource(const std::wstring& identifier) {
  try {
    CsLock hold(lock_);
    auto it = resources_.find(case_sensitive_keys_ ? identifier : ExCommon::ToLower(identifier));
    return it == resources_.end() ? std::wstring() : it->second;
  } catch (const std::exception&) {
    return std::wstring();
  }
}

bool ResourceMgr::DeInit() {
  Log(LOG_ALW, L"ResourceMgr::DeInit - invoked");
  CsLock hold(lock_);
  resources_.clear();
  loaded_files_.clear();
  return true;
}
