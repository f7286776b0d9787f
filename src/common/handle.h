// Owners for Win32 handles. Move-only; reset() keeps GetLastError() intact.
#pragma once

#include <windows.h>

#include <utility>

struct KernelHandleTraits {  // mutex, event, mapping, thread, process, token
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};

struct FileHandleTraits {  // CreateFile, CreateToolhelp32Snapshot
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};

struct FindHandleTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::FindClose(h); }
};

template <typename Traits>
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE h) : handle_(h) {}
  ~ScopedHandle() { reset(); }
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != Traits::Invalid() && handle_ != nullptr; }
  explicit operator bool() const { return valid(); }
  HANDLE release() { return std::exchange(handle_, Traits::Invalid()); }
  void reset(HANDLE h = Traits::Invalid()) {
    if (h == handle_) return;
    HANDLE old = std::exchange(handle_, h);
    if (old != Traits::Invalid() && old != nullptr) {
      DWORD error = ::GetLastError();
      Traits::Close(old);
      ::SetLastError(error);
    }
  }

 private:
  HANDLE handle_ = Traits::Invalid();
};

using UniqueHandle = ScopedHandle<KernelHandleTraits>;
using UniqueFile = ScopedHandle<FileHandleTraits>;
using UniqueFind = ScopedHandle<FindHandleTraits>;

// A mapped view of a file mapping.
class UniqueView {
 public:
  UniqueView() = default;
  explicit UniqueView(void* view) : view_(view) {}
  ~UniqueView() { reset(); }
  UniqueView(UniqueView&& other) noexcept : view_(std::exchange(other.view_, nullptr)) {}
  UniqueView& operator=(UniqueView&& other) noexcept {
    if (this != &other) reset(std::exchange(other.view_, nullptr));
    return *this;
  }
  UniqueView(const UniqueView&) = delete;
  UniqueView& operator=(const UniqueView&) = delete;

  void* get() const { return view_; }
  explicit operator bool() const { return view_ != nullptr; }
  void reset(void* view = nullptr) {
    if (view == view_) return;
    void* old = std::exchange(view_, view);
    if (old) {
      DWORD error = ::GetLastError();
      ::UnmapViewOfFile(old);
      ::SetLastError(error);
    }
  }

 private:
  void* view_ = nullptr;
};

// Holds a critical section for the scope.
class CsLock {
 public:
  explicit CsLock(CRITICAL_SECTION& cs) : cs_(cs) { ::EnterCriticalSection(&cs_); }
  ~CsLock() { ::LeaveCriticalSection(&cs_); }
  CsLock(const CsLock&) = delete;
  CsLock& operator=(const CsLock&) = delete;

 private:
  CRITICAL_SECTION& cs_;
};

// Holds an SRW lock shared, or exclusive, for the scope.
class SrwSharedLock {
 public:
  explicit SrwSharedLock(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockShared(&lock_); }
  ~SrwSharedLock() { ::ReleaseSRWLockShared(&lock_); }
  SrwSharedLock(const SrwSharedLock&) = delete;
  SrwSharedLock& operator=(const SrwSharedLock&) = delete;

 private:
  SRWLOCK& lock_;
};

class SrwExclusiveLock {
 public:
  explicit SrwExclusiveLock(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
  ~SrwExclusiveLock() { ::ReleaseSRWLockExclusive(&lock_); }
  SrwExclusiveLock(const SrwExclusiveLock&) = delete;
  SrwExclusiveLock& operator=(const SrwExclusiveLock&) = delete;

 private:
  SRWLOCK& lock_;
};

// Waits for a named mutex with a bound; an abandoned mutex counts as acquired
// (abandoned() tells the owner to repair what it guards).
class MutexGuard {
 public:
  MutexGuard(HANDLE mutex, DWORD timeout_ms) {
    if (!mutex) return;
    DWORD r = ::WaitForSingleObject(mutex, timeout_ms);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
      mutex_ = mutex;
      abandoned_ = (r == WAIT_ABANDONED);
    }
  }
  ~MutexGuard() {
    if (mutex_) ::ReleaseMutex(mutex_);
  }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

  bool acquired() const { return mutex_ != nullptr; }
  bool abandoned() const { return abandoned_; }

 private:
  HANDLE mutex_ = nullptr;  // weak
  bool abandoned_ = false;
};
