// Seeds and figures of a fault run. A figure is one tab-separated line per
// kind of fault, read back into the reliability table: what was tried, how
// often, what held.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

namespace testing_support {

// QV_FAULT_SEED replays a run; otherwise every run draws a new seed.
inline uint64_t FaultSeed() {
  wchar_t text[32];
  DWORD length = ::GetEnvironmentVariableW(L"QV_FAULT_SEED", text, 32);
  if (length > 0 && length < 32) return std::wcstoull(text, nullptr, 10);
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(::GetCurrentProcessId()) << 40);
}

inline std::string SeedNote(uint64_t seed) {
  return "replay with QV_FAULT_SEED=" + std::to_string(seed);
}

inline void ReportFaultFigures(const std::string& tried, uint64_t times, const std::string& unit,
                               const std::string& held) {
  std::printf("FAULTS\t%s\t%llu\t%s\t%s\n", tried.c_str(), static_cast<unsigned long long>(times),
              unit.c_str(), held.c_str());
  std::fflush(stdout);
}

}  // namespace testing_support
