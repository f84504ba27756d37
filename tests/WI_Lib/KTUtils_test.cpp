// Tests of the time helpers: the stamp difference with its borrow, the test
// clock, and sleeping (including a sleep hit by a signal).
#include "KTUtils.h"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <string>
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

// The difference borrows one second when the end's milliseconds are the
// smaller; its milliseconds always stay below 1000.
TEST(HRTimeDiff, BorrowsOneSecondWhenNeeded) {
  struct Case {
    hrtime start;
    hrtime end;
    time_t sec;
    int msec;
    long long milliseconds;
  };
  const Case cases[] = {
      {Stamp(100, 900), Stamp(102, 100), 1, 200, 1200},
      {Stamp(100, 500), Stamp(103, 500), 3, 0, 3000},
      {Stamp(100, 500), Stamp(100, 500), 0, 0, 0},
      {Stamp(100, 999), Stamp(101, 0), 0, 1, 1},
      {Stamp(100, 1), Stamp(100, 999), 0, 998, 998},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.start.sec) + "." + std::to_string(c.start.msec) + " .. " +
                 std::to_string(c.end.sec) + "." + std::to_string(c.end.msec));
    hrtime diff;
    ASSERT_EQ(0, HRTimeDiff(&c.start, &c.end, &diff));
    EXPECT_EQ(c.sec, diff.sec);
    EXPECT_EQ(c.msec, diff.msec);
    EXPECT_EQ(c.milliseconds, HRTimeMilliseconds(&diff));
  }
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

TEST(HighResTime, SecondsNeverLieAheadOfKTTimeNow) {
  ASSERT_FALSE(KTTestClockIsSet());
  // Across one change of the second, a stamp read first is never later than
  // the seconds read right after it.
  hrtime first;
  ASSERT_EQ(0, HighResTime(&first));
  int behind = 0;
  hrtime stamp = first;
  while (stamp.sec <= first.sec + 1) {
    ASSERT_EQ(0, HighResTime(&stamp));
    if (KTTimeNow() < stamp.sec) ++behind;
    if (stamp.sec > first.sec && stamp.msec >= 20) break;
  }
  EXPECT_EQ(0, behind);
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
