// The scan exports: argument and handle checks, then the session.
//
// A handle is accepted only while it is in the table of live sessions and
// its first word is the session marker; an unknown pointer is refused
// without being read. Each forwarded call counts itself in the session, and
// Close takes the session out of the table first and then waits for those
// calls, so a session is never freed under a running callback.
#include <windows.h>

#include <atomic>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "common/log.h"
#include "quorvane.h"
#include "scan/od_scanner.h"

std::atomic<int32_t> ActiveScannerCount{0};

namespace {

constexpr DWORD kCallDrainBoundMs = 60000;

SRWLOCK g_sessions_lock = SRWLOCK_INIT;

std::set<const void*>& Sessions() {  // guarded by g_sessions_lock
  static std::set<const void*>* sessions = new std::set<const void*>();
  return *sessions;
}

// A live session for the length of one export call, or null.
class SessionCall {
 public:
  explicit SessionCall(void* handle) {
    ::AcquireSRWLockShared(&g_sessions_lock);
    if (Sessions().count(handle) != 0) {
      auto* session = static_cast<ODScanner*>(handle);
      if (session->marker() == ODScanner::kSessionMarker) {
        session->calls_in_flight().fetch_add(1, std::memory_order_acq_rel);
        session_ = session;
      }
    }
    ::ReleaseSRWLockShared(&g_sessions_lock);
  }
  ~SessionCall() {
    if (session_) session_->calls_in_flight().fetch_sub(1, std::memory_order_acq_rel);
  }
  SessionCall(const SessionCall&) = delete;
  SessionCall& operator=(const SessionCall&) = delete;

  ODScanner* get() const { return session_; }

 private:
  ODScanner* session_ = nullptr;
};

bool Register(ODScanner* session) {
  ::AcquireSRWLockExclusive(&g_sessions_lock);
  bool added = false;
  try {
    added = Sessions().insert(session).second;
  } catch (...) {
  }
  ::ReleaseSRWLockExclusive(&g_sessions_lock);
  return added;
}

// Takes the session out of the table; false when it was not in it.
bool Unregister(void* handle) {
  ::AcquireSRWLockExclusive(&g_sessions_lock);
  bool removed = false;
  auto* session = static_cast<ODScanner*>(handle);
  if (Sessions().count(handle) != 0 && session->marker() == ODScanner::kSessionMarker) {
    Sessions().erase(handle);
    removed = true;
  }
  ::ReleaseSRWLockExclusive(&g_sessions_lock);
  return removed;
}

// Bounded: a callback that never returns keeps its session (it is then
// leaked rather than freed under that callback).
bool WaitForCalls(ODScanner* session) {
  for (DWORD waited = 0; session->calls_in_flight().load(std::memory_order_acquire) != 0;
       ++waited) {
    if (waited >= kCallDrainBoundMs) return false;
    ::Sleep(1);
  }
  return true;
}

}  // namespace

extern "C" void* Create(const wchar_t* pszScanID, int ScanMode, void* pvPrivateData,
                        const wchar_t** ppszScanPaths, uint32_t dwScanPathCount,
                        void* pvEngineData1, void* pvEngineData2) {
  ODScanner* session = nullptr;
  try {
    if (!pszScanID) {
      Log(LOG_ERROR, L"QUORVANE Create:: Invalid Input - pszScanID is NULL");
      return nullptr;
    }
    if (ScanMode >= 11) {
      Log(LOG_ERROR, L"QUORVANE Create:: Invalid Input - ScanMode = %d,", ScanMode);
      return nullptr;
    }
    if (!pvPrivateData) Log(LOG_WARN, L"QUORVANE Create:: Dangerous Input - pvPrivateData is NULL");

    session = new (std::nothrow) ODScanner();
    if (!session) {
      Log(LOG_ERROR, L"QUORVANE Create:: Failed to allocate ODScanner object");
      return nullptr;
    }

    std::vector<std::wstring> paths;
    if (!ppszScanPaths && dwScanPathCount != 0) {
      Log(LOG_ERROR, L"QUORVANE Create:: Dangerous Input - ppszScanPaths is NULL, dwScanPathCount = %d",
          static_cast<int>(dwScanPathCount));
    } else {
      uint32_t null_paths = 0;
      for (uint32_t i = 0; i < dwScanPathCount; ++i) {
        if (ppszScanPaths[i])
          paths.emplace_back(ppszScanPaths[i]);
        else
          ++null_paths;
      }
      if (null_paths != 0)
        Log(LOG_WARN, L"QUORVANE Create:: Dangerous Input - %d NULL entries of ppszScanPaths skipped",
            static_cast<int>(null_paths));
    }

    int32_t result = session->Init(std::wstring(pszScanID), static_cast<uint32_t>(ScanMode),
                                   static_cast<const GenericPacketW*>(pvPrivateData), paths,
                                   pvEngineData1, pvEngineData2);
    if (result != 0) {
      Log(LOG_ERROR, L"QUORVANE Create:: Failed to init the ODScanner , iRes = %d", result);
      delete session;
      return nullptr;
    }
    if (!Register(session)) {
      Log(LOG_ERROR, L"QUORVANE Create:: Failed to allocate ODScanner object");
      session->DeInit();
      delete session;
      return nullptr;
    }
    int32_t count = ActiveScannerCount.fetch_add(1) + 1;
    Log(LOG_ALW, L"QUORVANE Create:: Completed successfully , Activate scanners = %ld.", count);
    return session;
  } catch (...) {
    Log(LOG_FATAL, L"QUORVANE Create:: unexpected exception.");
    if (session) {
      try {
        session->DeInit();
      } catch (...) {
      }
      delete session;
    }
    return nullptr;
  }
}

extern "C" int OnItemPreScan(void* hScanContext, uint32_t dwCallbackType, void* pvData) {
  try {
    if (!hScanContext) {
      Log(LOG_ERROR, L"QUORVANE OnItemPreScan:: Invalid hScanContext");
      return 0;
    }
    if (!pvData) {
      Log(LOG_ERROR, L"QUORVANE OnItemPreScan:: Invalid pvData");
      return 0;
    }
    SessionCall call(hScanContext);
    if (!call.get()) {
      Log(LOG_FATAL, L"QUORVANE OnItemPreScan:: Curropted object");
      return 0;
    }
    call.get()->OnItemPreScanCallback(dwCallbackType, pvData);
    return 1;
  } catch (...) {
    Log(LOG_FATAL, L"QUORVANE OnItemPreScan:: unexpected exception.");
    return 0;
  }
}

extern "C" int OnItemScan(void* hScanContext, const wchar_t* pszItemPath, uint32_t dwItemType,
                          const ScanCountMetrics* pScanCountMetrics) {
  try {
    if (!hScanContext) {
      Log(LOG_ERROR, L"QUORVANE OnItemScan:: Invalid hScanContext");
      return 0;
    }
    if (!pszItemPath) {
      Log(LOG_ERROR, L"QUORVANE OnItemScan:: Invalid pszItemPath");
      return 0;
    }
    if (!pScanCountMetrics) {
      Log(LOG_ERROR, L"QUORVANE OnItemScan:: Invalid pScanCountMetrics");
      return 0;
    }
    SessionCall call(hScanContext);
    if (!call.get()) {
      Log(LOG_FATAL, L"QUORVANE OnItemScan:: Curropted object");
      return 0;
    }
    call.get()->OnItemScan(pszItemPath, dwItemType, *pScanCountMetrics);
    return 1;
  } catch (...) {
    Log(LOG_FATAL, L"QUORVANE OnItemScan:: unexpected exception.");
    return 0;
  }
}

extern "C" int OnMalwareDetection(void* hScanContext, const MalwareInfo* pMalwareInfo,
                                  void* /*pvReserved*/,
                                  const ScanCountMetrics* pScanCountMetrics) {
  try {
    if (!hScanContext) {
      Log(LOG_ERROR, L"OnMalwareDetection:: Invalid hScanContext");
      return 0;
    }
    if (!pMalwareInfo) {
      Log(LOG_ERROR, L"QUORVANE OnMalwareDetection:: Invalid pMalwareInfo");
      return 0;
    }
    if (!pScanCountMetrics) {
      Log(LOG_ERROR, L"QUORVANE OnMalwareDetection:: Invalid pScanCountMetrics");
      return 0;
    }
    SessionCall call(hScanContext);
    if (!call.get()) {
      Log(LOG_FATAL, L"QUORVANE OnMalwareDetection:: Curropted object");
      return 0;
    }
    call.get()->OnMalwareDetection(*pMalwareInfo);
    return 1;
  } catch (...) {
    Log(LOG_FATAL, L"QUORVANE OnMalwareDetection:: unexpected exception.");
    return 0;
  }
}

extern "C" uint32_t IncreaseScanPercentage(void* hScanContext) {
  try {
    if (!hScanContext) {
      Log(LOG_ERROR, L"QUORVANE IncreaseScanPercentage:: Invalid hScanContext");
      return 0;
    }
    SessionCall call(hScanContext);
    if (!call.get()) {
      Log(LOG_FATAL, L"QUORVANE IncreaseScanPercentage:: Curropted object");
      return 0;
    }
    return call.get()->Progress();
  } catch (...) {
    Log(LOG_FATAL, L"QUORVANE IncreaseScanPercentage:: unexpected exception.");
    return 0;
  }
}

extern "C" bool FileEnumerationCompleted(void* hScanContext) {
  try {
    if (!hScanContext) {
      Log(LOG_ERROR, L"QUORVANE FileEnumerationCompleted:: Invalid hScanContext");
      return false;
    }
    SessionCall call(hScanContext);
    if (!call.get()) {
      Log(LOG_FATAL, L"QUORVANE FileEnumerationCompleted:: Curropted object");
      return false;
    }
    return call.get()->FileEnumerationCompleted();
  } catch (...) {
    Log(LOG_FATAL, L"QUORVANE FileEnumerationCompleted:: unexpected exception.");
    return false;
  }
}

extern "C" int Close(void* hScanContext, uint32_t dwScanStatus,
                     const ScanCountMetrics* pScanCountMetrics) {
  try {
    if (!hScanContext) {
      Log(LOG_ERROR, L"QUORVANE Close:: Invalid hScanContext");
      return 0;
    }
    if (!pScanCountMetrics) {
      Log(LOG_ERROR, L"QUORVANE Close:: Invalid pScanCountMetrics");
      return 0;
    }
    if (!Unregister(hScanContext)) {
      Log(LOG_FATAL, L"QUORVANE Close:: Curropted object");
      return 0;
    }
  } catch (...) {
    Log(LOG_FATAL, L"QUORVANE Close:: unexpected exception.");
    return 0;
  }

  auto* session = static_cast<ODScanner*>(hScanContext);
  bool drained = WaitForCalls(session);
  try {
    session->ConcludeScan(dwScanStatus, *pScanCountMetrics);
  } catch (...) {
    Log(LOG_FATAL, L"QUORVANE Close:: unexpected exception in ConcludeScan.");
  }
  if (drained) {
    try {
      session->DeInit();
    } catch (...) {
      Log(LOG_FATAL, L"QUORVANE Close:: unexpected exception in DeInit.");
    }
    delete session;
  } else {
    Log(LOG_ERROR, L"QUORVANE Close:: callbacks still running, session kept in memory");
  }

  int32_t count = ActiveScannerCount.fetch_sub(1) - 1;
  Log(LOG_ALW, L"QUORVANE Close:: Completed successfully , Activate scanners = %ld.", count);
  if (count >= 5) Log(LOG_FATAL, L"QUORVANE Close:: too many scanners = %ld , memory leak ?", count);
  return 0;
}
