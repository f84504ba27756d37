/* KTCondition.h - a wake-up signal that is remembered when nobody waits, with an optional time-out.
 *
 * KTConditionWakeup wakes every waiter and leaves a pending wake-up behind;
 * the next KTConditionWait then returns at once and consumes it. Several
 * wake-ups before a wait count as one. A wait returns 0 on a wake-up, a
 * time-out or a spurious wake-up alike: callers re-check their own state.
 * Time-outs are measured on a monotonic clock, so setting the system clock
 * (or the test clock of KTUtils.h) does not shorten or stretch them.
 *
 * Thread safety: Wait and Wakeup may be called from any thread; Free only
 * when no thread waits any more. All messages go to the debug trace.
 */
#ifndef KTCONDITION_H
#define KTCONDITION_H

#include <pthread.h>

#include "KTStatus.h"

typedef struct KTCondition {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  int wakeup_pending;  /* guarded by mutex */
} KTCondition;

/* Creates a condition into *ppCondition, which must be null. Returns 0;
 * 5 for a bad argument; 2 when out of memory; ERROR_UNKNOWN (1) when the
 * mutex or condition variable cannot be initialised (*ppCondition stays
 * null). */
KTStatus KTConditionNew(KTCondition** ppCondition);

/* Destroys the condition and nulls *ppCondition; 5 for a null argument. */
KTStatus KTConditionFree(KTCondition** ppCondition);

/* Waits for a wake-up; timeout in milliseconds, 0 or less waits without
 * limit. Returns at once when a wake-up is pending. Clears the pending
 * wake-up in every case. Returns 0 (woken, timed out or spurious), 5 for a
 * null condition, ERROR_UNKNOWN (1) when a thread-library call fails. */
KTStatus KTConditionWait(KTCondition* pCondition, int timeout);

/* Wakes every waiter and remembers the wake-up; 0, 5 for a null condition,
 * ERROR_UNKNOWN (1) when the mutex cannot be locked. */
KTStatus KTConditionWakeup(KTCondition* pCondition);

#endif /* KTCONDITION_H */
