/* KTLock.cpp - the lock layer over KTCriticalSection and pthread_rwlock.
 *
 * KTCriticalSection's Enter and Leave already disable and restore the
 * caller's cancellation. The reader-writer lock does the same here: a
 * per-thread count of held reader-writer locks, with the cancel state found
 * by the first, restored when the count drops to zero.
 */
#include "KTLock.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

thread_local int tHeldRWLocks = 0;
thread_local int tSavedCancelState = PTHREAD_CANCEL_ENABLE;

/* The reader-writer locks this thread holds shared, for AssertSharedHeld
 * (debugging build). More than kMaxTracked nested read locks are counted
 * but not tracked, so the assertion then accepts any lock. */
#ifndef NDEBUG
constexpr int kMaxTracked = 8;
thread_local const KTSharedMutex* tReadHeld[kMaxTracked] = {};
thread_local int tReadCount = 0;
#endif

void DisableCancel() {
  int previous = PTHREAD_CANCEL_ENABLE;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
  if (tHeldRWLocks++ == 0) tSavedCancelState = previous;
}

void RestoreCancel() {
  if (tHeldRWLocks > 0 && --tHeldRWLocks == 0) pthread_setcancelstate(tSavedCancelState, nullptr);
}

#ifndef NDEBUG
[[noreturn]] void LockAssertionFailed(const char* what) {
  fprintf(stderr, "%s: the calling thread does not hold the lock\n", what);
  fflush(stderr);
  abort();
}
#endif

}  // namespace

KTStatus KTLockFinish(KTStatus status, KTStatus leaveStatus, KTLog* pLog, const char* leaveFailure) {
  if (leaveStatus != STATUS_OK && leaveFailure != nullptr) KTLogWrite(pLog, "%s", leaveFailure);
  return status != STATUS_OK ? status : leaveStatus;
}

/* KTMutex ------------------------------------------------------------------------ */

KTStatus KTMutex::Create() {
  if (mpCS != nullptr) return ERROR_INVALID_PARAMETER;
  return KTCriticalSectionThreadNew(&mpCS);
}

KTStatus KTMutex::Destroy() {
  if (mpCS == nullptr) return STATUS_OK;
  return mpCS->Free(&mpCS);
}

KTStatus KTMutex::Lock() KT_NO_THREAD_SAFETY_ANALYSIS {
  if (mpCS == nullptr) return ERROR_INVALID_PARAMETER;
  KTStatus status = mpCS->Enter(mpCS);
  if (status != STATUS_OK) return status;
  __atomic_store_n(&mOwner, pthread_self(), __ATOMIC_RELAXED);
  __atomic_store_n(&mHeld, 1, __ATOMIC_RELEASE);
  return STATUS_OK;
}

KTStatus KTMutex::Unlock() KT_NO_THREAD_SAFETY_ANALYSIS {
  if (mpCS == nullptr) return ERROR_INVALID_PARAMETER;
  __atomic_store_n(&mHeld, 0, __ATOMIC_RELEASE);
  KTStatus status = mpCS->Leave(mpCS);
  if (status != STATUS_OK) __atomic_store_n(&mHeld, 1, __ATOMIC_RELEASE);
  return status;
}

void KTMutex::AssertHeld() const KT_NO_THREAD_SAFETY_ANALYSIS {
#ifndef NDEBUG
  if (!__atomic_load_n(&mHeld, __ATOMIC_ACQUIRE) ||
      !pthread_equal(__atomic_load_n(&mOwner, __ATOMIC_RELAXED), pthread_self()))
    LockAssertionFailed("KTMutex::AssertHeld()");
#endif
}

/* KTSharedMutex ------------------------------------------------------------------ */

KTStatus KTSharedMutex::Create() {
  if (mCreated) return ERROR_INVALID_PARAMETER;
  pthread_rwlockattr_t attributes;
  if (pthread_rwlockattr_init(&attributes) != 0) return ERROR_UNKNOWN;
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  int error = pthread_rwlock_init(&mLock, &attributes);
  pthread_rwlockattr_destroy(&attributes);
  if (error != 0) return ERROR_UNKNOWN;
  mCreated = 1;
  return STATUS_OK;
}

KTStatus KTSharedMutex::Destroy() {
  if (!mCreated) return STATUS_OK;
  if (pthread_rwlock_destroy(&mLock) != 0) return ERROR_UNKNOWN;
  mCreated = 0;
  return STATUS_OK;
}

KTStatus KTSharedMutex::Lock() KT_NO_THREAD_SAFETY_ANALYSIS {
  if (!mCreated) return ERROR_INVALID_PARAMETER;
  DisableCancel();
  if (pthread_rwlock_wrlock(&mLock) != 0) {
    RestoreCancel();
    return ERROR_UNKNOWN;
  }
  __atomic_store_n(&mWriter, pthread_self(), __ATOMIC_RELAXED);
  __atomic_store_n(&mWriting, 1, __ATOMIC_RELEASE);
  return STATUS_OK;
}

KTStatus KTSharedMutex::LockShared() KT_NO_THREAD_SAFETY_ANALYSIS {
  if (!mCreated) return ERROR_INVALID_PARAMETER;
  DisableCancel();
  if (pthread_rwlock_rdlock(&mLock) != 0) {
    RestoreCancel();
    return ERROR_UNKNOWN;
  }
#ifndef NDEBUG
  if (tReadCount < kMaxTracked) tReadHeld[tReadCount] = this;
  ++tReadCount;
#endif
  return STATUS_OK;
}

KTStatus KTSharedMutex::Unlock() KT_NO_THREAD_SAFETY_ANALYSIS {
  if (!mCreated) return ERROR_INVALID_PARAMETER;
  __atomic_store_n(&mWriting, 0, __ATOMIC_RELEASE);
  if (pthread_rwlock_unlock(&mLock) != 0) {
    __atomic_store_n(&mWriting, 1, __ATOMIC_RELEASE);
    return ERROR_UNKNOWN;
  }
  RestoreCancel();
  return STATUS_OK;
}

KTStatus KTSharedMutex::UnlockShared() KT_NO_THREAD_SAFETY_ANALYSIS {
  if (!mCreated) return ERROR_INVALID_PARAMETER;
  if (pthread_rwlock_unlock(&mLock) != 0) return ERROR_UNKNOWN;
#ifndef NDEBUG
  /* Forget the most recent entry for this lock. */
  int tracked = tReadCount < kMaxTracked ? tReadCount : kMaxTracked;
  for (int i = tracked - 1; i >= 0; --i) {
    if (tReadHeld[i] == this) {
      for (int j = i; j + 1 < tracked; ++j) tReadHeld[j] = tReadHeld[j + 1];
      break;
    }
  }
  if (tReadCount > 0) --tReadCount;
#endif
  RestoreCancel();
  return STATUS_OK;
}

void KTSharedMutex::AssertHeld() const KT_NO_THREAD_SAFETY_ANALYSIS {
#ifndef NDEBUG
  if (!__atomic_load_n(&mWriting, __ATOMIC_ACQUIRE) ||
      !pthread_equal(__atomic_load_n(&mWriter, __ATOMIC_RELAXED), pthread_self()))
    LockAssertionFailed("KTSharedMutex::AssertHeld()");
#endif
}

void KTSharedMutex::AssertSharedHeld() const KT_NO_THREAD_SAFETY_ANALYSIS {
#ifndef NDEBUG
  if (__atomic_load_n(&mWriting, __ATOMIC_ACQUIRE) &&
      pthread_equal(__atomic_load_n(&mWriter, __ATOMIC_RELAXED), pthread_self()))
    return;
  if (tReadCount > kMaxTracked) return;
  for (int i = 0; i < tReadCount; ++i)
    if (tReadHeld[i] == this) return;
  LockAssertionFailed("KTSharedMutex::AssertSharedHeld()");
#endif
}
