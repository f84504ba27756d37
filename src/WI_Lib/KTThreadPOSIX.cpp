/* KTThreadPOSIX.cpp - threads with a cooperative stop flag over POSIX threads.
 *
 * The record is owned jointly by the controller and the thread: KTThreadFree
 * gives up the controller's share, the thread gives up its share when the
 * procedure returns, and whoever is last frees the record.
 *
 * A thread that has to be cancelled may run on for a while (cancellation
 * waits until it leaves its critical sections) and may still poll its stop
 * flag, so its record must outlive KTThreadFree. Freeing it from the unwinding
 * thread itself is not reliable either (no dependable ordering with the
 * controller's last accesses), so the record of a cancelled thread is kept
 * for the rest of the process on a list of abandoned records. Cancellation
 * is rare (a thread that ignored its stop flag), so this costs a few dozen
 * bytes per cancelled thread.
 */
#include "KTThread.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include <exception>

#include "KTDebug.h"

namespace {

/* The public record followed by the ownership count. */
struct KTThreadRecord {
  KTThread thread;                /* must stay first: callers hold a KTThread* to it */
  int owners;                     /* 2 while both the controller and the thread hold it */
  KTThreadRecord* pNextAbandoned; /* link in the list of abandoned records */
};

/* Records of cancelled threads; only ever pushed to, never freed. */
KTThreadRecord* gAbandoned = nullptr;

/* Keeps the record of a cancelled thread alive (and reachable) for good. */
void _ThreadAbandon(KTThreadRecord* pRecord) {
  KTThreadRecord* pHead = __atomic_load_n(&gAbandoned, __ATOMIC_RELAXED);
  do {
    pRecord->pNextAbandoned = pHead;
  } while (!__atomic_compare_exchange_n(&gAbandoned, &pHead, pRecord, true, __ATOMIC_RELEASE,
                                        __ATOMIC_RELAXED));
}

KTThreadRecord* _Record(KTThread* pThread) { return reinterpret_cast<KTThreadRecord*>(pThread); }

/* Gives up one share of the record; the last one frees it. */
void _ThreadRelease(KTThreadRecord* pRecord) {
  if (__atomic_sub_fetch(&pRecord->owners, 1, __ATOMIC_ACQ_REL) == 0) free(pRecord);
}

/* Marks the thread stopped and gives up its share, on return and on
 * cancellation alike (a cancelled thread's record is abandoned by the
 * controller, so the count never reaches 0 then). */
struct ThreadEndMarker {
  KTThreadRecord* pRecord;
  ~ThreadEndMarker() {
    __atomic_store_n(&pRecord->thread.stopped, 1, __ATOMIC_RELEASE);
    _ThreadRelease(pRecord);
  }
};

}  // namespace

/* Runs the procedure in the new thread; never fails. */
static void* ThreadStartWrapper(void* pArg) {
  KTThreadRecord* pRecord = static_cast<KTThreadRecord*>(pArg);
  ThreadEndMarker marker{pRecord};
  KTThread* pThread = &pRecord->thread;
  /* Only real exceptions are caught: the unwinding that cancellation starts
   * matches no typed handler and so runs on to the end of the thread. */
  try {
    pThread->pThreadProcedure(&pThread->stopFlag, &pThread->error, pThread->pParameter);
  } catch (const std::exception&) {
    /* An escaped exception would end the whole process; end only this thread. */
    KTDEBUG_MSG(KTDEBUG_ANYLEVEL, "ThreadStartWrapper(): the thread procedure raised an exception");
    KTThreadSetError(&pThread->error, 1);
  }
  return NULL;
}

KTStatus KTThreadNew(KTThread** ppKTThread, KTThreadProcedure pThreadProcedure, void* pParameter) {
  if (ppKTThread == NULL || *ppKTThread != NULL || pThreadProcedure == NULL) return ERROR_INVALID_PARAMETER;
  KTThreadRecord* pRecord = static_cast<KTThreadRecord*>(calloc(1, sizeof(KTThreadRecord)));
  if (pRecord == NULL) {
    KTDEBUG_MSG(KTDEBUG_ANYLEVEL, "KTThreadNew(): could not allocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  pRecord->thread.pThreadProcedure = pThreadProcedure;
  pRecord->thread.pParameter = pParameter;
  pRecord->owners = 2;
  if (pthread_create(&pRecord->thread.ID, NULL, ThreadStartWrapper, pRecord) != 0) {
    KTDEBUG_MSG(KTDEBUG_ANYLEVEL, "KTThreadNew(): error starting thread");
    free(pRecord);
    *ppKTThread = NULL;
    return ERROR_THREAD_CREATION;
  }
  *ppKTThread = &pRecord->thread;
  return STATUS_OK;
}

KTStatus KTThreadStop(KTThread* pKTThread) {
  if (pKTThread == NULL) return ERROR_INVALID_PARAMETER;
  __atomic_store_n(&pKTThread->stopFlag, 1, __ATOMIC_RELEASE);
  return STATUS_OK;
}

KTStatus KTThreadIsFinished(KTThread* pKTThread, int* pIsFinished) {
  if (pKTThread == NULL || pIsFinished == NULL) return ERROR_INVALID_PARAMETER;
  *pIsFinished = __atomic_load_n(&pKTThread->stopped, __ATOMIC_ACQUIRE);
  return STATUS_OK;
}

KTStatus KTThreadHasError(KTThread* pKTThread, int* pHasError) {
  if (pKTThread == NULL || pHasError == NULL) return ERROR_INVALID_PARAMETER;
  *pHasError = __atomic_load_n(&pKTThread->error, __ATOMIC_ACQUIRE);
  return STATUS_OK;
}

/* The wait is a join bounded by the time-out rather than polling. */
KTStatus KTThreadFree(KTThread** ppKTThread, int timeOut) {
  if (ppKTThread == NULL || *ppKTThread == NULL) return ERROR_INVALID_PARAMETER;
  KTThread* pThread = *ppKTThread;
  KTThreadStop(pThread);
  bool joined;
  if (timeOut < 0) {
    joined = pthread_join(pThread->ID, NULL) == 0;
  } else {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeOut / 1000;
    deadline.tv_nsec += (long)(timeOut % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    int rc;
    do {
      rc = pthread_timedjoin_np(pThread->ID, NULL, &deadline);
    } while (rc == EINTR);
    joined = rc == 0;
  }
  if (!joined) {
    KTDEBUG_MSG(KTDEBUG_ANYLEVEL, "KTThreadFree(): thread did not stop within %d ms, cancelling it", timeOut);
    pthread_cancel(pThread->ID);
    pthread_detach(pThread->ID);
    _ThreadAbandon(_Record(pThread));
  } else {
    _ThreadRelease(_Record(pThread));
  }
  *ppKTThread = NULL;
  return STATUS_OK;
}
