// Tests of the condition: remembered wake-up, several wake-ups counting as
// one, the timed wait, waking a blocked waiter, and a waiter cancelled while
// waiting leaving the condition usable.
#include "KTCondition.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "KTThread.h"
#include "KTUtils.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class ConditionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, KTConditionNew(&cond)); }
  void TearDown() override {
    if (cond != nullptr) {
      EXPECT_EQ(0, KTConditionFree(&cond));
    }
  }
  KTCondition* cond = nullptr;
};

struct Waiter {
  KTCondition* cond;
  std::atomic<bool> waiting{false};
  std::atomic<bool> unwound{false};
};

struct UnwindFlag {
  Waiter* w;
  ~UnwindFlag() { w->unwound = true; }
};

void WaitForever(int*, int*, void* pParameter) {
  Waiter* w = static_cast<Waiter*>(pParameter);
  UnwindFlag flag{w};
  w->waiting = true;
  for (;;) KTConditionWait(w->cond, 0);
}

}  // namespace

TEST(ConditionArguments, NullAndUsedPointers) {
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTConditionNew(nullptr));
  KTCondition* used = reinterpret_cast<KTCondition*>(0x40);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTConditionNew(&used));
  EXPECT_EQ(reinterpret_cast<KTCondition*>(0x40), used);
  KTCondition* none = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTConditionFree(&none));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTConditionFree(nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTConditionWait(nullptr, 10));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTConditionWakeup(nullptr));
}

TEST_F(ConditionTest, FreeNullsThePointer) {
  EXPECT_EQ(0, KTConditionFree(&cond));
  EXPECT_EQ(nullptr, cond);
}

TEST_F(ConditionTest, WakeupBeforeWaitIsRememberedOnce) {
  EXPECT_EQ(0, cond->wakeup_pending);
  // Several wake-ups before a wait count as one.
  EXPECT_EQ(0, KTConditionWakeup(cond));
  EXPECT_EQ(0, KTConditionWakeup(cond));
  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, KTConditionWait(cond, 5000));
  EXPECT_LT(MsSince(start), 100);
  EXPECT_EQ(0, cond->wakeup_pending);

  // The wake-up is used up: the next wait runs into its time-out.
  start = Clock::now();
  EXPECT_EQ(0, KTConditionWait(cond, 200));
  long long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 195);
  EXPECT_LT(elapsed, 1000);
}

TEST_F(ConditionTest, TimeOutAcrossASecondBoundaryAndTheTestClock) {
  // A set test clock must not influence how long a wait takes.
  KTSetTestClock(1000, 999);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, KTConditionWait(cond, 1));
  EXPECT_LT(MsSince(start), 100);
  KTClearTestClock();
}

TEST_F(ConditionTest, WakeupReleasesABlockedWaiter) {
  std::atomic<bool> done{false};
  std::atomic<long long> waited{0};
  std::thread waiter([&] {
    Clock::time_point start = Clock::now();
    EXPECT_EQ(0, KTConditionWait(cond, 0));  // no time-out
    waited = MsSince(start);
    done = true;
  });
  SleepMilliseconds(100);
  EXPECT_FALSE(done);
  EXPECT_EQ(0, KTConditionWakeup(cond));
  waiter.join();
  EXPECT_GE(waited.load(), 90);
  EXPECT_EQ(0, cond->wakeup_pending);
}

TEST_F(ConditionTest, WakeupReachesEveryWaiter) {
  std::atomic<int> woken{0};
  std::thread a([&] { KTConditionWait(cond, 3000); woken++; });
  std::thread b([&] { KTConditionWait(cond, 3000); woken++; });
  SleepMilliseconds(100);
  Clock::time_point start = Clock::now();
  KTConditionWakeup(cond);
  a.join();
  b.join();
  EXPECT_EQ(2, woken);
  EXPECT_LT(MsSince(start), 1500);
}

TEST_F(ConditionTest, CancelledWaiterLeavesTheConditionUsable) {
  Waiter* w = new Waiter{cond};
  KTThread* pThread = nullptr;
  ASSERT_EQ(0, KTThreadNew(&pThread, WaitForever, w));
  while (!w->waiting) SleepMilliseconds(2);
  SleepMilliseconds(20);
  EXPECT_EQ(0, KTThreadFree(&pThread, 0));
  Clock::time_point start = Clock::now();
  while (!w->unwound && MsSince(start) < 3000) SleepMilliseconds(2);
  ASSERT_TRUE(w->unwound);
  // Had the cancelled wait kept the mutex, these would block for ever.
  ASSERT_EQ(0, pthread_mutex_trylock(&cond->mutex));
  pthread_mutex_unlock(&cond->mutex);
  EXPECT_EQ(0, KTConditionWakeup(cond));
  EXPECT_EQ(0, KTConditionWait(cond, 1000));
  delete w;
}
