// Tests of the threads: cooperative stop, error flag, escaped exceptions,
// cancellation after the time-out, cancellation deferred while a critical
// section is held, and the owning class.
#include "KTThread.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CKTThread.h"
#include "KTCriticalSection.h"
#include "KTUtils.h"
#include "TestSupport.h"
#include "WIException.h"

namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool WaitFor(const std::function<bool()>& condition, int ms = 3000) {
  Clock::time_point start = Clock::now();
  while (!condition()) {
    if (MsSince(start) > ms) return false;
    SleepMilliseconds(2);
  }
  return true;
}

// What a thread procedure did, observed from the test.
struct Probe {
  std::atomic<bool> started{false};
  std::atomic<bool> returned{false};   // the procedure returned normally
  std::atomic<bool> unwound{false};    // the procedure was cancelled
  std::atomic<bool> inside{false};     // holds the section
  std::atomic<bool> release{false};    // may leave the section
  std::atomic<bool> leftSection{false};
  std::atomic<int> stopSeenAfterLeave{-1};
  int lingerMs = 0;                    // pause between stop request and return
  KTCriticalSection* pCS = nullptr;
};

// Marks the probe when the procedure's stack is unwound by cancellation.
struct CancelMarker {
  Probe* probe;
  bool normalEnd = false;
  ~CancelMarker() {
    if (normalEnd) {
      probe->returned = true;
    } else {
      probe->unwound = true;
    }
  }
};

void Cooperative(int* pStopFlag, int*, void* pParameter) {
  Probe* probe = static_cast<Probe*>(pParameter);
  CancelMarker marker{probe};
  probe->started = true;
  while (!KTThreadStopRequested(pStopFlag)) SleepMilliseconds(2);
  SleepMilliseconds(probe->lingerMs);
  marker.normalEnd = true;
}

void IgnoresStop(int*, int*, void* pParameter) {
  Probe* probe = static_cast<Probe*>(pParameter);
  CancelMarker marker{probe};
  probe->started = true;
  for (;;) SleepMilliseconds(5);
}

void FailsAtOnce(int*, int* pError, void* pParameter) {
  Probe* probe = static_cast<Probe*>(pParameter);
  CancelMarker marker{probe};
  KTThreadSetError(pError, 1);
  marker.normalEnd = true;
}

void Throws(int*, int*, void*) { throw std::runtime_error("boom"); }

void HoldsSection(int* pStopFlag, int*, void* pParameter) {
  Probe* probe = static_cast<Probe*>(pParameter);
  CancelMarker marker{probe};
  probe->pCS->Enter(probe->pCS);
  probe->inside = true;
  // Sleeping is a cancellation point, but not while the section is held.
  while (!probe->release) SleepMilliseconds(2);
  probe->pCS->Leave(probe->pCS);
  // The thread runs on after its controller released it; its flags must
  // still be readable.
  probe->stopSeenAfterLeave = KTThreadStopRequested(pStopFlag);
  probe->leftSection = true;
  for (;;) SleepMilliseconds(5);
}

}  // namespace

TEST(ThreadNew, RejectsBadArguments) {
  Probe probe;
  KTThread* pThread = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTThreadNew(nullptr, Cooperative, &probe));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTThreadNew(&pThread, nullptr, &probe));
  KTThread* used = reinterpret_cast<KTThread*>(0x30);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTThreadNew(&used, Cooperative, &probe));
  EXPECT_EQ(reinterpret_cast<KTThread*>(0x30), used);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTThreadFree(nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTThreadFree(&pThread, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTThreadStop(nullptr));
  int flag = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTThreadIsFinished(nullptr, &flag));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTThreadHasError(nullptr, &flag));
  EXPECT_FALSE(probe.started);
}

TEST(ThreadLifecycle, CooperativeThreadStopsWithoutCancellation) {
  Probe probe;
  KTThread* pThread = nullptr;
  ASSERT_EQ(0, KTThreadNew(&pThread, Cooperative, &probe));
  ASSERT_TRUE(WaitFor([&] { return probe.started.load(); }));
  int finished = -1;
  EXPECT_EQ(0, KTThreadIsFinished(pThread, &finished));
  EXPECT_EQ(0, finished);

  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, KTThreadFree(&pThread, 10000));
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(nullptr, pThread);
  ASSERT_TRUE(WaitFor([&] { return probe.returned || probe.unwound; }));
  EXPECT_TRUE(probe.returned);
}

TEST(ThreadLifecycle, StopOnlyAsksAndFinishedIsReported) {
  Probe probe;
  KTThread* pThread = nullptr;
  ASSERT_EQ(0, KTThreadNew(&pThread, Cooperative, &probe));
  EXPECT_EQ(0, KTThreadStop(pThread));
  ASSERT_TRUE(WaitFor([&] {
    int finished = 0;
    KTThreadIsFinished(pThread, &finished);
    return finished == 1;
  }));
  EXPECT_TRUE(probe.returned);
  int error = -1;
  EXPECT_EQ(0, KTThreadHasError(pThread, &error));
  EXPECT_EQ(0, error);
  EXPECT_EQ(0, KTThreadFree(&pThread, 0));
}

TEST(ThreadLifecycle, NegativeTimeOutWaitsForTheProcedure) {
  Probe probe;
  probe.lingerMs = 150;
  KTThread* pThread = nullptr;
  ASSERT_EQ(0, KTThreadNew(&pThread, Cooperative, &probe));
  ASSERT_TRUE(WaitFor([&] { return probe.started.load(); }));
  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, KTThreadFree(&pThread, -1));
  EXPECT_GE(MsSince(start), 140);
  ASSERT_TRUE(WaitFor([&] { return probe.returned || probe.unwound; }));
  EXPECT_TRUE(probe.returned);
  EXPECT_FALSE(probe.unwound);
}

TEST(ThreadErrors, ErrorFlagAndEscapedException) {
  Probe probe;
  KTThread* pThread = nullptr;
  ASSERT_EQ(0, KTThreadNew(&pThread, FailsAtOnce, &probe));
  ASSERT_TRUE(WaitFor([&] {
    int finished = 0;
    KTThreadIsFinished(pThread, &finished);
    return finished == 1;
  }));
  int error = 0;
  EXPECT_EQ(0, KTThreadHasError(pThread, &error));
  EXPECT_EQ(1, error);
  // Already finished: a zero time-out must not cancel anything.
  EXPECT_EQ(0, KTThreadFree(&pThread, 0));
  EXPECT_TRUE(probe.returned);
  EXPECT_FALSE(probe.unwound);

  // An exception ends only the thread, with its error flag set.
  ASSERT_EQ(0, KTThreadNew(&pThread, Throws, nullptr));
  ASSERT_TRUE(WaitFor([&] {
    int finished = 0;
    KTThreadIsFinished(pThread, &finished);
    return finished == 1;
  }));
  EXPECT_EQ(0, KTThreadHasError(pThread, &error));
  EXPECT_EQ(1, error);
  EXPECT_EQ(0, KTThreadFree(&pThread, 0));
}

TEST(ThreadCancel, ThreadIgnoringStopIsCancelledAfterTheTimeOut) {
  Probe* probe = new Probe;
  KTThread* pThread = nullptr;
  ASSERT_EQ(0, KTThreadNew(&pThread, IgnoresStop, probe));
  ASSERT_TRUE(WaitFor([&] { return probe->started.load(); }));
  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, KTThreadFree(&pThread, 100));
  long long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 95);
  EXPECT_LT(elapsed, 600);
  EXPECT_EQ(nullptr, pThread);
  ASSERT_TRUE(WaitFor([&] { return probe->unwound.load(); }));
  EXPECT_FALSE(probe->returned);
  delete probe;
}

TEST(ThreadCancel, ZeroTimeOutCancelsAtOnce) {
  Probe* probe = new Probe;
  KTThread* pThread = nullptr;
  ASSERT_EQ(0, KTThreadNew(&pThread, IgnoresStop, probe));
  ASSERT_TRUE(WaitFor([&] { return probe->started.load(); }));
  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, KTThreadFree(&pThread, 0));
  EXPECT_LT(MsSince(start), 50);
  ASSERT_TRUE(WaitFor([&] { return probe->unwound.load(); }));
  delete probe;
}

TEST(ThreadCancel, CancellationWaitsUntilTheSectionIsLeft) {
  Probe* probe = new Probe;
  ASSERT_EQ(0, KTCriticalSectionThreadNew(&probe->pCS));
  KTThread* pThread = nullptr;
  ASSERT_EQ(0, KTThreadNew(&pThread, HoldsSection, probe));
  ASSERT_TRUE(WaitFor([&] { return probe->inside.load(); }));

  EXPECT_EQ(0, KTThreadFree(&pThread, 100));
  SleepMilliseconds(100);
  // Cancelled, but still running inside the section.
  EXPECT_FALSE(probe->unwound);
  EXPECT_FALSE(probe->leftSection);

  probe->release = true;
  ASSERT_TRUE(WaitFor([&] { return probe->unwound.load(); }));
  EXPECT_TRUE(probe->leftSection);
  EXPECT_EQ(1, probe->stopSeenAfterLeave);
  EXPECT_FALSE(probe->returned);
  // The section was left properly and is free for others.
  ASSERT_EQ(0, probe->pCS->Enter(probe->pCS));
  ASSERT_EQ(0, probe->pCS->Leave(probe->pCS));
  probe->pCS->Free(&probe->pCS);
  delete probe;
}

TEST(ThreadClass, RunsStopsAndReports) {
  Probe probe;
  {
    CKTThread thread(Cooperative, &probe);
    EXPECT_EQ(10000, thread.getTimeOut());
    ASSERT_NE(nullptr, thread.getThread());
    ASSERT_TRUE(WaitFor([&] { return probe.started.load(); }));
    EXPECT_FALSE(thread.isFinished());
    thread.stop();
    ASSERT_TRUE(WaitFor([&] { return thread.isFinished(); }));
    EXPECT_FALSE(thread.hasError());
  }
  EXPECT_TRUE(probe.returned);
}

TEST(ThreadClass, DestructorCancelsAfterItsTimeOut) {
  Probe* probe = new Probe;
  Clock::time_point start;
  {
    CKTThread thread(IgnoresStop, probe);
    thread.setTimeOut(100);
    EXPECT_EQ(100, thread.getTimeOut());
    ASSERT_TRUE(WaitFor([&] { return probe->started.load(); }));
    start = Clock::now();
  }
  EXPECT_LT(MsSince(start), 600);
  ASSERT_TRUE(WaitFor([&] { return probe->unwound.load(); }));
  delete probe;
}

TEST(ThreadClass, FailedStartThrowsWithStatus) {
  EXPECT_THAT(testsupport::ErrorOf<CWIException>([] { CKTThread thread(nullptr, nullptr); }),
              AllOf(HasSubstr("CKTThread::CKTThread(): KTThreadNew() failed"), EndsWith("(status=5)")));
}
