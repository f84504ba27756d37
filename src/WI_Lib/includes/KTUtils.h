/* KTUtils.h - time helpers: millisecond wall-clock stamps, their difference, sleeping, and a settable test clock.
 *
 * hrtime is a wall-clock stamp in seconds and milliseconds (msec 0..999).
 * HRTimeDiff subtracts two stamps; an elapsed time in milliseconds is always
 * read as diff.sec * 1000 + diff.msec.
 *
 * Test clock: code whose rules depend on the time of day (seconds since an
 * assignment, age of a connection, send-thread cycles) reads the time through
 * HighResTime() and KTTimeNow() instead of gettimeofday()/time(NULL). A test
 * sets a process-wide clock with KTSetTestClock(), moves it with
 * KTAdvanceTestClock() and removes it with KTClearTestClock(); while it is
 * set both functions return the test time and the real clock is not read.
 * The test clock does not touch sleeping or waiting: SleepMilliseconds and
 * condition time-outs always take real time.
 *
 * Thread safety: every function may be called from any thread; the test
 * clock is kept in atomic storage.
 */
#ifndef KTUTILS_H
#define KTUTILS_H

#include <time.h>

#include "KTStatus.h"

typedef struct hrtime {
  time_t sec;
  unsigned short msec;  /* 0..999 */
} hrtime;

/* Fills *pTime with the current time (the test clock when set); 5 for null. */
KTStatus HighResTime(hrtime* pTime);

/* *pDiff = *pEnd - *pStart, borrowing one second (1000 ms) when the start's
 * milliseconds exceed the end's; 5 for a null argument. */
KTStatus HRTimeDiff(const hrtime* pStart, const hrtime* pEnd, hrtime* pDiff);

/* Milliseconds in a difference stamp (sec * 1000 + msec). */
static inline long long HRTimeMilliseconds(const hrtime* pTime) {
  return (long long)pTime->sec * 1000 + pTime->msec;
}

/* Sleeps ms milliseconds of real time; returns at once for 0 or less. A sleep
 * interrupted by a signal is continued for the time left. */
void SleepMilliseconds(int ms);

/* Milliseconds of the monotonic clock (real time, never the test clock): for
 * deadlines and pauses of system calls. */
long long KTMonotonicMs(void);

/* Current time in seconds, as time(NULL) would give (the test clock when set). */
time_t KTTimeNow(void);

/* Sets the process-wide test clock to sec seconds and msec (0..999, larger
 * values carry into seconds) milliseconds. */
void KTSetTestClock(time_t sec, unsigned int msec);

/* Moves the test clock by ms milliseconds (may be negative); does nothing
 * when no test clock is set. */
void KTAdvanceTestClock(long long ms);

/* Removes the test clock; the real clock is used again. */
void KTClearTestClock(void);

/* Non-zero while a test clock is set. */
int KTTestClockIsSet(void);

#endif /* KTUTILS_H */
