// A test region whose last byte touches a no-access page: any read past
// its end faults at once.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>

namespace testing_support {

class GuardedRegion {
 public:
  explicit GuardedRegion(uint64_t size) : size_(size) {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    page_ = info.dwPageSize;
    span_ = (size + page_ - 1) / page_ * page_ + page_;
    base_ = static_cast<uint8_t*>(::VirtualAlloc(nullptr, span_, MEM_COMMIT | MEM_RESERVE,
                                                 PAGE_READWRITE));
    DWORD old = 0;
    ::VirtualProtect(base_ + span_ - page_, page_, PAGE_NOACCESS, &old);
    region_ = base_ + span_ - page_ - size;
    std::memset(region_, 0x5A, size);
  }
  ~GuardedRegion() { ::VirtualFree(base_, 0, MEM_RELEASE); }
  GuardedRegion(const GuardedRegion&) = delete;
  GuardedRegion& operator=(const GuardedRegion&) = delete;
  uint8_t* data() { return region_; }
  uint64_t size() const { return size_; }

 private:
  uint64_t size_, page_ = 4096, span_ = 0;
  uint8_t* base_ = nullptr;
  uint8_t* region_ = nullptr;
};

}  // namespace testing_support
