// A library with its own copy of the logger, as Quorvane.dll has.
#include "common/log.h"

extern "C" __declspec(dllexport) void QvDllLog(int level, const wchar_t* text) {
  Log(level, L"%s", text);
}
