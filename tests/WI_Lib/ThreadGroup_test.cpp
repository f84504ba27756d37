// Tests of the thread group: joining with a stop flag, with a time-out and
// with a thread that fails.
#include "ThreadGroup.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Exception.h"
#include "KTThread.h"
#include "KTUtils.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// What one thread does and what it saw.
struct Worker {
  std::atomic<bool> obeysStop{true};    // returns when asked to stop
  std::atomic<bool> release{false};     // returns when the test lets it
  std::atomic<bool> failOnExit{false};  // sets its error flag when it returns
  std::atomic<bool> sawStop{false};
  std::atomic<bool> finished{false};
};

void WorkerProc(int* pStopFlag, int* pError, void* pParameter) {
  Worker* worker = static_cast<Worker*>(pParameter);
  for (;;) {
    if (KTThreadStopRequested(pStopFlag)) {
      worker->sawStop = true;
      if (worker->obeysStop) break;
    }
    if (worker->release) break;
    SleepMilliseconds(2);
  }
  if (worker->failOnExit) KTThreadSetError(pError, 1);
  worker->finished = true;
}

std::unique_ptr<CKTThread> Start(Worker& worker) {
  std::unique_ptr<CKTThread> thread(new CKTThread(WorkerProc, &worker));
  thread->setTimeOut(2000);
  return thread;
}

TEST(ThreadGroupJoin, EmptyGroupIsFinishedAtOnce) {
  CThreadGroup group;
  const int stop = 0;
  Clock::time_point start = Clock::now();
  EXPECT_TRUE(group.join(stop, -1));
  EXPECT_LT(MsSince(start), 50);
  EXPECT_FALSE(group.hasError());
}

TEST(ThreadGroupJoin, StopFlagStopsEveryThreadAndJoinsThem) {
  Worker a, b;
  CThreadGroup group(10);
  group.addThread(Start(a));
  group.addThread(Start(b));
  group.addThread(nullptr);  // ignored
  EXPECT_EQ(2u, group.size());
  const int stop = 1;
  EXPECT_TRUE(group.join(stop, -1));
  EXPECT_TRUE(a.sawStop);
  EXPECT_TRUE(b.sawStop);
  EXPECT_TRUE(a.finished && b.finished);
}

TEST(ThreadGroupJoin, TimeOutReturnsFalseWithoutStoppingTheThreads) {
  Worker a;
  CThreadGroup group;  // default 100 ms polls: 100 + 100 + 50
  group.addThread(Start(a));
  const int stop = 0;
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(group.join(stop, 250));
  const long long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 240);
  EXPECT_LT(elapsed, 800);
  EXPECT_FALSE(a.sawStop);
  EXPECT_FALSE(a.finished);
  a.release = true;
  EXPECT_TRUE(group.join(stop, 2000));
}

TEST(ThreadGroupJoin, ZeroTimeOutLooksOnce) {
  Worker a;
  CThreadGroup group;
  group.addThread(Start(a));
  const int stop = 0;
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(group.join(stop, 0));
  EXPECT_LT(MsSince(start), 50);
  a.release = true;
}

TEST(ThreadGroupJoin, StopFlagSetByAnotherThreadEndsAnUnlimitedJoin) {
  Worker a;
  CThreadGroup group(5);
  group.addThread(Start(a));
  int stop = 0;
  std::thread setter([&stop]() {
    SleepMilliseconds(50);
    __atomic_store_n(&stop, 1, __ATOMIC_RELEASE);
  });
  EXPECT_TRUE(group.join(stop, -1));
  setter.join();
  EXPECT_TRUE(a.sawStop);
}

TEST(ThreadGroupErrors, FailedThreadStopsTheOthersAndRaises) {
  Worker failing, other;
  failing.failOnExit = true;
  CThreadGroup group(10);
  group.addThread(Start(failing));
  group.addThread(Start(other));
  failing.release = true;
  const int stop = 0;
  try {
    group.join(stop, -1);
    FAIL() << "join did not raise";
  } catch (const CException& e) {
    EXPECT_STREQ("One thread has finished with an error", e.what());
  }
  EXPECT_TRUE(other.sawStop);
  EXPECT_TRUE(other.finished);
  EXPECT_TRUE(group.hasError());
}

TEST(ThreadGroupErrors, ThreadFailingWhileStoppingIsReported) {
  Worker a;
  a.failOnExit = true;
  CThreadGroup group(10);
  group.addThread(Start(a));
  const int stop = 1;
  EXPECT_THROW(group.join(stop, -1), CException);
}

TEST(ThreadGroupErrors, ThreadEndingWithoutErrorLeavesTheOthersRunning) {
  Worker done, running;
  CThreadGroup group(10);
  group.addThread(Start(done));
  group.addThread(Start(running));
  done.release = true;
  const int stop = 0;
  EXPECT_FALSE(group.join(stop, 100));
  EXPECT_TRUE(done.finished);
  EXPECT_FALSE(running.sawStop);
  EXPECT_FALSE(running.finished);
  running.release = true;
  EXPECT_TRUE(group.join(stop, 2000));
}

}  // namespace
