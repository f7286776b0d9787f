#include "common/log.h"
#include "ipc/product_paths.h"
#include "ipc/reporter.h"
#include "ipc/resource_mgr.h"
#include "quorvane.h"

// Both always return 1: the engine never sees a failure from them, problems
// show in the log only.

extern "C" int Start() {
  try {
    FillProductPathCache();
    ResourceMgr::instance().AddAntiVirusResource();
    ReporterThread::Instance().Start();
  } catch (...) {
    Log(LOG_FATAL, L"QUORVANE Start:: unexpected exception.");
  }
  return 1;
}

extern "C" int Stop() {
  try {
    ReporterThread::Instance().Stop();
    ResourceMgr::instance().DeInit();
  } catch (...) {
    Log(LOG_FATAL, L"QUORVANE Stop:: unexpected exception.");
  }
  return 1;
}
