/* KTConditionPThread.cpp - remembered wake-up with time-out over a POSIX mutex and condition variable.
 *
 * The condition variable measures time-outs on the monotonic clock, so
 * changes of the wall clock neither shorten nor stretch a wait.
 */
#include "KTCondition.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "KTDebug.h"

/* Cleanup for a waiter cancelled inside the wait: the wait gives the mutex
 * back locked, and a mutex left locked would block every later wake-up. */
static void _UnlockConditionMutex(void* pMutex) { pthread_mutex_unlock((pthread_mutex_t*)pMutex); }

KTStatus KTConditionNew(KTCondition** ppCondition) {
  if (ppCondition == NULL || *ppCondition != NULL) {
    KTDEBUG_MSG(KTDEBUG_CONDITION, "KTConditionNew(): invalid parameters");
    return ERROR_INVALID_PARAMETER;
  }
  KTCondition* pCondition = (KTCondition*)calloc(1, sizeof(KTCondition));
  if (pCondition == NULL) {
    KTDEBUG_MSG(KTDEBUG_CONDITION, "KTConditionNew(): cannot allocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  int rc = pthread_mutex_init(&pCondition->mutex, NULL);
  if (rc != 0) {
    KTDEBUG_MSG(KTDEBUG_CONDITION, "KTConditionNew(): cannot init mutex (%s)", strerror(rc));
    free(pCondition);
    return ERROR_UNKNOWN;
  }
  pthread_condattr_t attr;
  rc = pthread_condattr_init(&attr);
  if (rc == 0) {
    rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0) rc = pthread_cond_init(&pCondition->cond, &attr);
    pthread_condattr_destroy(&attr);
  }
  if (rc != 0) {
    KTDEBUG_MSG(KTDEBUG_CONDITION, "KTConditionNew(): cannot init cond (%s)", strerror(rc));
    pthread_mutex_destroy(&pCondition->mutex);
    free(pCondition);
    return ERROR_UNKNOWN;
  }
  pCondition->wakeup_pending = 0;
  *ppCondition = pCondition;
  return STATUS_OK;
}

KTStatus KTConditionFree(KTCondition** ppCondition) {
  if (ppCondition == NULL || *ppCondition == NULL) {
    KTDEBUG_MSG(KTDEBUG_CONDITION, "KTConditionFree(): invalid parameters");
    return ERROR_INVALID_PARAMETER;
  }
  pthread_cond_destroy(&(*ppCondition)->cond);
  pthread_mutex_destroy(&(*ppCondition)->mutex);
  free(*ppCondition);
  *ppCondition = NULL;
  return STATUS_OK;
}

KTStatus KTConditionWait(KTCondition* pCondition, int timeout) {
  if (pCondition == NULL) {
    KTDEBUG_MSG(KTDEBUG_CONDITION, "KTConditionWait(): invalid parameters");
    return ERROR_INVALID_PARAMETER;
  }
  int rc = pthread_mutex_lock(&pCondition->mutex);
  if (rc != 0) {
    KTDEBUG_MSG(KTDEBUG_CONDITION, "KTConditionWait(): pthread_mutex_lock: %s", strerror(rc));
    return ERROR_UNKNOWN;
  }
  KTStatus status = STATUS_OK;
  if (pCondition->wakeup_pending == 0) {
    pthread_cleanup_push(_UnlockConditionMutex, &pCondition->mutex);
    if (timeout > 0) {
      struct timespec deadline;
      clock_gettime(CLOCK_MONOTONIC, &deadline);
      deadline.tv_sec += timeout / 1000;
      deadline.tv_nsec += (long)(timeout % 1000) * 1000000L;
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
      }
      do {
        rc = pthread_cond_timedwait(&pCondition->cond, &pCondition->mutex, &deadline);
      } while (rc == EINTR);
      if (rc == ETIMEDOUT) rc = 0;
    } else {
      do {
        rc = pthread_cond_wait(&pCondition->cond, &pCondition->mutex);
      } while (rc == EINTR);
    }
    pthread_cleanup_pop(0);
    if (rc != 0) {
      KTDEBUG_MSG(KTDEBUG_CONDITION, "KTConditionWait(): pthread_cond_wait: %s", strerror(rc));
      status = ERROR_UNKNOWN;
    }
  }
  pCondition->wakeup_pending = 0;
  rc = pthread_mutex_unlock(&pCondition->mutex);
  if (rc != 0) {
    KTDEBUG_MSG(KTDEBUG_CONDITION, "KTConditionWait(): pthread_mutex_unlock: %s", strerror(rc));
    status = ERROR_UNKNOWN;
  }
  return status;
}

KTStatus KTConditionWakeup(KTCondition* pCondition) {
  if (pCondition == NULL) {
    KTDEBUG_MSG(KTDEBUG_CONDITION, "KTConditionWakeup(): invalid parameters");
    return ERROR_INVALID_PARAMETER;
  }
  int rc = pthread_mutex_lock(&pCondition->mutex);
  if (rc != 0) {
    KTDEBUG_MSG(KTDEBUG_CONDITION, "KTConditionWakeup(): pthread_mutex_lock: %s", strerror(rc));
    return ERROR_UNKNOWN;
  }
  pCondition->wakeup_pending = 1;
  pthread_cond_broadcast(&pCondition->cond);
  pthread_mutex_unlock(&pCondition->mutex);
  return STATUS_OK;
}
