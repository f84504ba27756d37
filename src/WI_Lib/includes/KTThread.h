/* KTThread.h - a POSIX thread that runs a procedure with a cooperative stop flag and an error flag.
 *
 * KTThreadNew starts pThreadProcedure(pStopFlag, pError, pParameter) in a new
 * thread. The procedure polls the stop flag and returns soon after it becomes
 * 1; it may set the error flag. KTThreadFree asks the thread to stop, waits up
 * to a time-out, cancels it if it is still running (cancellation takes effect
 * only outside critical sections, see KTCriticalSection.h), detaches it and
 * releases the record.
 *
 * The flags are shared between two threads without a lock. The procedure
 * MUST read the stop flag with KTThreadStopRequested(pStopFlag) and set the
 * error flag with KTThreadSetError(pError, value); plain accesses to them are
 * data races.
 *
 * Thread safety: KTThreadStop, KTThreadIsFinished and KTThreadHasError may be
 * called from any thread while the record lives; KTThreadFree by one thread,
 * once. A std::exception that escapes the procedure ends the thread with the
 * error flag set instead of ending the process. Procedures that catch
 * everything (catch (...)) must rethrow: cancellation unwinds the thread's
 * stack like an exception and ends the process if it is swallowed.
 */
#ifndef KTTHREAD_H
#define KTTHREAD_H

#include <pthread.h>

#include "KTStatus.h"

/* The thread body. */
typedef void (*KTThreadProcedure)(int* pStopFlag, int* pError, void* pParameter);

typedef struct KTThread {
  pthread_t ID;
  void* pParameter;
  KTThreadProcedure pThreadProcedure;
  int stopFlag;  /* 1 once the thread is asked to stop (written by the controller) */
  int stopped;   /* 1 once the procedure has returned (written by the thread) */
  int error;     /* set by the procedure through pError */
} KTThread;

/* For thread procedures: non-zero once the thread has been asked to stop. */
static inline int KTThreadStopRequested(const int* pStopFlag) {
  return __atomic_load_n(pStopFlag, __ATOMIC_ACQUIRE);
}

/* For thread procedures: sets the error flag the controller reads. */
static inline void KTThreadSetError(int* pError, int value) {
  __atomic_store_n(pError, value, __ATOMIC_RELEASE);
}

/* For thread procedures: reads the error flag back. */
static inline int KTThreadGetError(const int* pError) {
  return __atomic_load_n(pError, __ATOMIC_ACQUIRE);
}

/* Starts a thread into *ppKTThread, which must be null. Returns 0;
 * ERROR_INVALID_PARAMETER (5) when an argument is null or *ppKTThread is set;
 * ERROR_MEMORY_ALLOCATION (2); ERROR_THREAD_CREATION (15000) when the thread
 * cannot be started (*ppKTThread stays null). */
KTStatus KTThreadNew(KTThread** ppKTThread, KTThreadProcedure pThreadProcedure, void* pParameter);

/* Asks the thread to stop and returns at once; 5 for a null thread. */
KTStatus KTThreadStop(KTThread* pKTThread);

/* *pIsFinished becomes 1 when the procedure has returned, else 0; 5 for a null argument. */
KTStatus KTThreadIsFinished(KTThread* pKTThread, int* pIsFinished);

/* *pHasError becomes the procedure's error flag; 5 for a null argument. */
KTStatus KTThreadHasError(KTThread* pKTThread, int* pHasError);

/* Stops the thread: sets the stop flag, waits until the procedure returns
 * or timeOut milliseconds have passed (a negative timeOut waits for ever, 0
 * does not wait; a thread that ends early is freed at once), cancels the thread if it is still
 * running, detaches it, releases the record and nulls *ppKTThread. A
 * cancelled thread that is still inside a critical section keeps running
 * until it leaves it; its record is then released by the thread itself.
 * Returns 0, or 5 for a null argument. */
KTStatus KTThreadFree(KTThread** ppKTThread, int timeOut);

#endif /* KTTHREAD_H */
