// The built Quorvane.dll loaded from the test executable's folder, its
// exports resolved by name as the engine resolves them.
#pragma once

#include <windows.h>

#include "quorvane.h"

namespace testing_support {

struct QuorvaneDll {
  HMODULE module = nullptr;
  decltype(&::Create) create = nullptr;
  decltype(&::OnItemPreScan) pre_scan = nullptr;
  decltype(&::OnItemScan) item_scan = nullptr;
  decltype(&::OnMalwareDetection) detection = nullptr;
  decltype(&::IncreaseScanPercentage) percentage = nullptr;
  decltype(&::FileEnumerationCompleted) enumeration_completed = nullptr;
  decltype(&::Close) close = nullptr;
  decltype(&::Start) start = nullptr;
  decltype(&::Stop) stop = nullptr;
};

// Loaded once per process and never unloaded.
const QuorvaneDll& TheDll();

}  // namespace testing_support
