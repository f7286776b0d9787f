// Figures of a fault run, one tab-separated line per kind of fault, read
// back into the reliability table: what was tried, how often, what held.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace testing_support {

inline void ReportFaultFigures(const std::string& tried, uint64_t times, const std::string& unit,
                               const std::string& held) {
  std::printf("FAULTS\t%s\t%llu\t%s\t%s\n", tried.c_str(), static_cast<unsigned long long>(times),
              unit.c_str(), held.c_str());
  std::fflush(stdout);
}

}  // namespace testing_support
