#include "support/quorvane_dll.h"

#include "support/test_support.h"

namespace testing_support {
namespace {

template <typename T>
void Resolve(HMODULE module, const char* name, T& out) {
  out = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

const QuorvaneDll& TheDll() {
  static QuorvaneDll dll = [] {
    QuorvaneDll d;
    d.module = ::LoadLibraryW((ExecutableDir() + L"\\Quorvane.dll").c_str());
    if (!d.module) return d;
    Resolve(d.module, "Create", d.create);
    Resolve(d.module, "OnItemPreScan", d.pre_scan);
    Resolve(d.module, "OnItemScan", d.item_scan);
    Resolve(d.module, "OnMalwareDetection", d.detection);
    Resolve(d.module, "IncreaseScanPercentage", d.percentage);
    Resolve(d.module, "FileEnumerationCompleted", d.enumeration_completed);
    Resolve(d.module, "Close", d.close);
    Resolve(d.module, "Start", d.start);
    Resolve(d.module, "Stop", d.stop);
    return d;
  }();
  return dll;
}

}  // namespace testing_support
