/* KTUtils.cpp - time helpers: millisecond stamps, their difference, sleeping and the test clock.
 *
 * The test clock is one atomic number of milliseconds since the epoch; a
 * negative value means "not set". HighResTime and KTTimeNow read it first
 * and fall back to the wall clock.
 */
#include "KTUtils.h"

#include <errno.h>
#include <sys/time.h>

#include <atomic>

namespace {
/* Test time in milliseconds since the epoch; -1 when no test clock is set. */
std::atomic<long long> gTestClockMs{-1};
}  // namespace

KTStatus HighResTime(hrtime* pTime) {
  if (pTime == NULL) return ERROR_INVALID_PARAMETER;
  long long testMs = gTestClockMs.load(std::memory_order_relaxed);
  if (testMs >= 0) {
    pTime->sec = (time_t)(testMs / 1000);
    pTime->msec = (unsigned short)(testMs % 1000);
    return STATUS_OK;
  }
  struct timeval now;
  gettimeofday(&now, NULL);
  pTime->sec = now.tv_sec;
  pTime->msec = (unsigned short)(now.tv_usec / 1000);
  return STATUS_OK;
}

KTStatus HRTimeDiff(const hrtime* pStart, const hrtime* pEnd, hrtime* pDiff) {
  if (pStart == NULL || pEnd == NULL || pDiff == NULL) return ERROR_INVALID_PARAMETER;
  time_t sec = pEnd->sec - pStart->sec;
  int msec = (int)pEnd->msec - (int)pStart->msec;
  if (msec < 0) {
    /* Borrow one second so that the milliseconds stay within 0..999. */
    msec += 1000;
    sec -= 1;
  }
  pDiff->sec = sec;
  pDiff->msec = (unsigned short)msec;
  return STATUS_OK;
}

long long KTMonotonicMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Sleeping is where cancelled threads usually end. The address sanitizer's
 * runtime trips over the stack guard zones of the frame that a cancellation
 * unwinds from inside nanosleep, so this small frame carries none. */
__attribute__((no_sanitize_address)) void SleepMilliseconds(int ms) {
  if (ms <= 0) return;
  struct timespec request;
  struct timespec remaining;
  request.tv_sec = ms / 1000;
  request.tv_nsec = (long)(ms % 1000) * 1000000L;
  /* A signal must not cut the pause short: callers use it to pace retries
   * and time-outs, so continue with the time that is left. */
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

/* Reads the same clock as HighResTime: time(NULL) may lag it by
 * a few milliseconds after a second begins, so a stamp taken with
 * HighResTime could otherwise lie one second ahead of "now". */
time_t KTTimeNow(void) {
  long long testMs = gTestClockMs.load(std::memory_order_relaxed);
  if (testMs >= 0) return (time_t)(testMs / 1000);
  struct timeval now;
  gettimeofday(&now, NULL);
  return now.tv_sec;
}

void KTSetTestClock(time_t sec, unsigned int msec) {
  long long value = (long long)sec * 1000 + msec;
  if (value < 0) value = 0;
  gTestClockMs.store(value, std::memory_order_relaxed);
}

void KTAdvanceTestClock(long long ms) {
  long long current = gTestClockMs.load(std::memory_order_relaxed);
  while (current >= 0) {
    long long next = current + ms;
    if (next < 0) next = 0;
    if (gTestClockMs.compare_exchange_weak(current, next, std::memory_order_relaxed)) break;
  }
}

void KTClearTestClock(void) { gTestClockMs.store(-1, std::memory_order_relaxed); }

int KTTestClockIsSet(void) { return gTestClockMs.load(std::memory_order_relaxed) >= 0 ? 1 : 0; }
