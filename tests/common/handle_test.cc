#include "common/handle.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/test_support.h"

namespace {

TEST(ScopedHandle, ClosesOnResetAndKeepsLastError) {
  DWORD before = testing_support::HandleCount();
  {
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.valid());
    UniqueHandle moved(std::move(event));
    EXPECT_FALSE(event.valid());
    ::SetLastError(1234);
    moved.reset();
    EXPECT_EQ(1234u, ::GetLastError());
  }
  EXPECT_EQ(before, testing_support::HandleCount());
}

TEST(MutexGuard, AbandonedMutexCountsAsAcquired) {
  std::wstring name = testing_support::UniqueName(L"Local\\qvtest_mutex");
  UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, name.c_str()));
  ASSERT_TRUE(mutex.valid());
  std::thread([&] { ::WaitForSingleObject(mutex.get(), INFINITE); }).join();
  {
    MutexGuard guard(mutex.get(), 1000);
    EXPECT_TRUE(guard.acquired());
    EXPECT_TRUE(guard.abandoned());
  }
  MutexGuard again(mutex.get(), 1000);
  EXPECT_TRUE(again.acquired());
  EXPECT_FALSE(again.abandoned());
}

TEST(MutexGuard, TimesOutWhileAnotherThreadHoldsIt) {
  UniqueHandle mutex(::CreateMutexW(nullptr, TRUE, nullptr));
  std::thread([&] {
    MutexGuard guard(mutex.get(), 50);
    EXPECT_FALSE(guard.acquired());
  }).join();
  ::ReleaseMutex(mutex.get());
}

}  // namespace
