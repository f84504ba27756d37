// Tests of the lock layer: the guards' release and first-error rule, readers
// against a writer, cancel-state restoration and the held-lock assertions.
#include "KTLock.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

namespace {

int CurrentCancelState() {
  int state = -1;
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
  pthread_setcancelstate(state, nullptr);
  return state;
}

/* True when another thread can take `mutex` exclusively right now (it takes
 * and leaves it). Waits at most a second for the answer. */
bool OtherThreadCanLock(KTMutex& mutex) {
  auto taken = std::async(std::launch::async, [&] {
    KTLockGuard guard(mutex);
    return guard.finish(STATUS_OK) == STATUS_OK;
  });
  return taken.wait_for(std::chrono::seconds(1)) == std::future_status::ready && taken.get();
}

struct Fixture : ::testing::Test {
  void SetUp() override {
    ASSERT_EQ(mutex.Create(), STATUS_OK);
    ASSERT_EQ(shared.Create(), STATUS_OK);
  }
  void TearDown() override {
    EXPECT_EQ(mutex.Destroy(), STATUS_OK);
    EXPECT_EQ(shared.Destroy(), STATUS_OK);
  }
  KTMutex mutex;
  KTSharedMutex shared;
};

using KTLockTest = Fixture;

TEST_F(KTLockTest, GuardHoldsForItsScopeOnlyAndFinishReleasesOnce) {
  {
    KTLockGuard guard(mutex);
    ASSERT_TRUE(guard.locked());
    std::atomic<bool> got{false};
    std::thread other([&] {
      KTLockGuard second(mutex);
      got = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(got.load());
    EXPECT_EQ(guard.finish(STATUS_OK), STATUS_OK);
    EXPECT_FALSE(guard.locked());
    other.join();
    EXPECT_TRUE(got.load());
  }  // the destructor must not leave the section a second time
  EXPECT_TRUE(OtherThreadCanLock(mutex));
  {
    KTLockGuard guard(mutex);
    ASSERT_TRUE(guard.locked());
  }
  EXPECT_TRUE(OtherThreadCanLock(mutex));
}

TEST_F(KTLockTest, FinishReturnsTheFirstErrorElseTheLeaveStatus) {
  {
    KTLockGuard guard(mutex);
    EXPECT_EQ(guard.finish(ERROR_MEMORY_ALLOCATION), ERROR_MEMORY_ALLOCATION);
  }
  EXPECT_TRUE(OtherThreadCanLock(mutex));
  EXPECT_EQ(KTLockFinish(STATUS_OK, STATUS_OK, nullptr, "unused"), STATUS_OK);
  EXPECT_EQ(KTLockFinish(STATUS_OK, ERROR_UNKNOWN, nullptr, nullptr), ERROR_UNKNOWN);
  EXPECT_EQ(KTLockFinish(ERROR_INVALID_PARAMETER, ERROR_UNKNOWN, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST(KTLockEdges, LocksNotCreatedFailWithoutHoldingAnything) {
  KTMutex mutex;
  KTLockGuard guard(mutex);
  EXPECT_FALSE(guard.locked());
  EXPECT_EQ(guard.status(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(guard.finish(STATUS_OK), STATUS_OK);  // nothing held, nothing left
  KTSharedMutex shared;
  KTReaderGuard reader(shared);
  EXPECT_FALSE(reader.locked());
  EXPECT_EQ(reader.status(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CurrentCancelState(), PTHREAD_CANCEL_ENABLE);
  KTMutex twice;
  ASSERT_EQ(twice.Create(), STATUS_OK);
  EXPECT_EQ(twice.Create(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(twice.Destroy(), STATUS_OK);
  EXPECT_EQ(twice.Destroy(), STATUS_OK);
}

TEST_F(KTLockTest, SeveralReadersTogetherAndAWriterWaitsForThem) {
  KTReaderGuard first(shared);
  ASSERT_TRUE(first.locked());
  auto second = std::async(std::launch::async, [&] {
    KTReaderGuard reader(shared);
    return reader.finish(reader.status());
  });
  ASSERT_EQ(second.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_EQ(second.get(), STATUS_OK);

  std::atomic<bool> wrote{false};
  std::thread writer([&] {
    KTWriterGuard guard(shared);
    wrote = guard.locked();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(wrote.load());
  EXPECT_EQ(first.finish(STATUS_OK), STATUS_OK);
  writer.join();
  EXPECT_TRUE(wrote.load());
}

TEST_F(KTLockTest, CancelStateIsDisabledWhileHeldAndRestoredAfterNesting) {
  ASSERT_EQ(CurrentCancelState(), PTHREAD_CANCEL_ENABLE);
  {
    KTReaderGuard outer(shared);
    EXPECT_EQ(CurrentCancelState(), PTHREAD_CANCEL_DISABLE);
    {
      KTLockGuard inner(mutex);
      EXPECT_EQ(CurrentCancelState(), PTHREAD_CANCEL_DISABLE);
    }
    EXPECT_EQ(CurrentCancelState(), PTHREAD_CANCEL_DISABLE);
  }
  EXPECT_EQ(CurrentCancelState(), PTHREAD_CANCEL_ENABLE);
  {
    KTWriterGuard writer(shared);
    EXPECT_EQ(CurrentCancelState(), PTHREAD_CANCEL_DISABLE);
  }
  EXPECT_EQ(CurrentCancelState(), PTHREAD_CANCEL_ENABLE);

  // A thread that had cancellation disabled keeps it disabled.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  {
    KTReaderGuard reader(shared);
  }
  EXPECT_EQ(CurrentCancelState(), PTHREAD_CANCEL_DISABLE);
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
}

#ifndef NDEBUG
using KTLockDeathTest = Fixture;

TEST_F(KTLockDeathTest, AssertHeldEndsTheProcessWhenTheThreadDoesNotHoldTheLock) {
  {
    KTLockGuard guard(mutex);
    mutex.AssertHeld();  // held: returns
  }
  EXPECT_DEATH(mutex.AssertHeld(), "KTMutex::AssertHeld\\(\\)");
  EXPECT_DEATH(
      {
        KTLockGuard guard(mutex);
        std::thread([&] { mutex.AssertHeld(); }).join();  // held, but by another thread
      },
      "does not hold the lock");
  {
    KTReaderGuard reader(shared);
    shared.AssertSharedHeld();
  }
  {
    KTWriterGuard writer(shared);
    shared.AssertHeld();
    shared.AssertSharedHeld();
  }
  EXPECT_DEATH(shared.AssertSharedHeld(), "KTSharedMutex::AssertSharedHeld\\(\\)");
  EXPECT_DEATH(
      {
        KTReaderGuard reader(shared);
        shared.AssertHeld();  // shared is not exclusive
      },
      "KTSharedMutex::AssertHeld\\(\\)");
}
#endif

}  // namespace
