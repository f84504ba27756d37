// Tests of the time helpers: the stamp difference with its borrow, the test
// clock, and sleeping (including a sleep hit by a signal).
#include "KTUtils.h"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

hrtime Stamp(time_t sec, unsigned short msec) {
  hrtime t;
  t.sec = sec;
  t.msec = msec;
  return t;
}

class TestClockTest : public ::testing::Test {
 protected:
  void TearDown() override { KTClearTestClock(); }
};

void OnSignal(int) {}

}  // namespace

TEST(HRTimeDiff, BorrowsOneSecondWhenNeeded) {
  hrtime start = Stamp(100, 900);
  hrtime end = Stamp(102, 100);
  hrtime diff;
  ASSERT_EQ(0, HRTimeDiff(&start, &end, &diff));
  EXPECT_EQ(1, diff.sec);
  EXPECT_EQ(200, diff.msec);
  EXPECT_EQ(1200, HRTimeMilliseconds(&diff));

  // Equal milliseconds: whole seconds, and the milliseconds stay below 1000.
  start = Stamp(100, 500);
  end = Stamp(103, 500);
  ASSERT_EQ(0, HRTimeDiff(&start, &end, &diff));
  EXPECT_EQ(3, diff.sec);
  EXPECT_EQ(0, diff.msec);

  end = start;
  ASSERT_EQ(0, HRTimeDiff(&start, &end, &diff));
  EXPECT_EQ(0, HRTimeMilliseconds(&diff));

  start = Stamp(100, 999);
  end = Stamp(101, 0);
  ASSERT_EQ(0, HRTimeDiff(&start, &end, &diff));
  EXPECT_EQ(0, diff.sec);
  EXPECT_EQ(1, diff.msec);

  start = Stamp(100, 1);
  end = Stamp(100, 999);
  ASSERT_EQ(0, HRTimeDiff(&start, &end, &diff));
  EXPECT_EQ(998, HRTimeMilliseconds(&diff));
}

TEST(HRTimeDiff, NullArguments) {
  hrtime t = Stamp(1, 1);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, HRTimeDiff(nullptr, &t, &t));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, HRTimeDiff(&t, nullptr, &t));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, HRTimeDiff(&t, &t, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, HighResTime(nullptr));
}

TEST(HighResTime, FollowsTheWallClock) {
  ASSERT_FALSE(KTTestClockIsSet());
  struct timeval before;
  gettimeofday(&before, nullptr);
  hrtime now;
  ASSERT_EQ(0, HighResTime(&now));
  EXPECT_LT(now.msec, 1000);
  long long nowMs = HRTimeMilliseconds(&now);
  long long beforeMs = (long long)before.tv_sec * 1000 + before.tv_usec / 1000;
  EXPECT_GE(nowMs, beforeMs);
  EXPECT_LT(nowMs - beforeMs, 1000);
  EXPECT_LE(KTTimeNow() - now.sec, 1);
}

TEST_F(TestClockTest, SetAdvanceAndClear) {
  KTSetTestClock(1000000, 250);
  EXPECT_TRUE(KTTestClockIsSet());
  hrtime t;
  HighResTime(&t);
  EXPECT_EQ(1000000, t.sec);
  EXPECT_EQ(250, t.msec);
  EXPECT_EQ(1000000, KTTimeNow());

  // Milliseconds beyond a second carry over.
  KTAdvanceTestClock(1800);
  HighResTime(&t);
  EXPECT_EQ(1000002, t.sec);
  EXPECT_EQ(50, t.msec);
  EXPECT_EQ(1000002, KTTimeNow());

  KTAdvanceTestClock(-51);
  HighResTime(&t);
  EXPECT_EQ(1000001, t.sec);
  EXPECT_EQ(999, t.msec);

  KTSetTestClock(5, 1500);
  EXPECT_EQ(6, KTTimeNow());

  KTClearTestClock();
  EXPECT_FALSE(KTTestClockIsSet());
  EXPECT_GT(KTTimeNow(), 1000000000);
  // Moving a clock that is not set does nothing.
  KTAdvanceTestClock(5000);
  EXPECT_FALSE(KTTestClockIsSet());
}

TEST_F(TestClockTest, ElapsedTimeWithoutSleeping) {
  KTSetTestClock(2000, 700);
  hrtime start;
  HighResTime(&start);
  KTAdvanceTestClock(10001);
  hrtime end;
  HighResTime(&end);
  hrtime diff;
  HRTimeDiff(&start, &end, &diff);
  EXPECT_EQ(10001, HRTimeMilliseconds(&diff));
}

TEST(SleepMilliseconds, SleepsAtLeastTheTimeGiven) {
  Clock::time_point start = Clock::now();
  SleepMilliseconds(0);
  SleepMilliseconds(-5);
  EXPECT_LT(MsSince(start), 5);
  start = Clock::now();
  SleepMilliseconds(30);
  EXPECT_GE(MsSince(start), 30);
  // The test clock does not shorten real sleeps.
  KTSetTestClock(1, 0);
  start = Clock::now();
  SleepMilliseconds(20);
  EXPECT_GE(MsSince(start), 20);
  KTClearTestClock();
}

TEST(SleepMilliseconds, SignalDoesNotCutTheSleepShort) {
  struct sigaction action = {};
  struct sigaction old = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no automatic restart
  ASSERT_EQ(0, sigaction(SIGUSR1, &action, &old));
  pthread_t sleeper = pthread_self();
  std::thread signaller([sleeper] {
    SleepMilliseconds(30);
    pthread_kill(sleeper, SIGUSR1);
  });
  Clock::time_point start = Clock::now();
  SleepMilliseconds(120);
  long long elapsed = MsSince(start);
  signaller.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_GE(elapsed, 120);
}
