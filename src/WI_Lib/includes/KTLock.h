/* KTLock.h - the lock layer: a mutex over KTCriticalSection, a reader-writer lock, and their scoped guards.
 *
 * Locks
 * -----
 * Lock order: the server list, then a server record, then the cache queue.
 * A thread that holds one of them takes only locks later in that order.
 * The pool list's reader-writer lock comes before all three.
 *
 * Use:
 *  - A record embeds a KTMutex (or KTSharedMutex) next to the fields it
 *    guards, marks those fields KT_GUARDED_BY(lock), calls Create() in its
 *    New and Destroy() in its Free. The record may be calloc'ed: a zeroed
 *    lock is a valid "not created" lock.
 *  - An operation takes the lock with a guard, checks locked() (logging its
 *    own "error entering" line and returning status() when it failed), and
 *    ends with `return guard.finish(status, pLog, "X(): error leaving ...")`:
 *    finish() leaves the lock and returns the first error, else the leave's
 *    status, writing the given line when the leave fails. A guard that goes
 *    out of scope without finish() leaves the lock and drops the status,
 *    which is right on a path that already returns an error.
 *  - A helper that expects the lock held is marked KT_REQUIRES(lock) and may
 *    call lock.AssertHeld(), which ends the process in the debugging build
 *    when the calling thread does not hold the lock.
 *  - Entering any of these locks disables the calling thread's cancellation
 *    until the matching leave; nested locks left in reverse order restore the
 *    state found by the outermost.
 *
 * Compiled with clang and -DKTRR_THREAD_SAFETY=ON, the annotations make
 * every unguarded access and every unbalanced lock a compile error.
 */
#ifndef KTLOCK_H
#define KTLOCK_H

#include <pthread.h>

#include "KTCriticalSection.h"
#include "KTLog.h"
#include "KTStatus.h"
#include "KTThreadSafety.h"

/* An exclusive lock that owns one thread-only KTCriticalSection. Not copyable. */
class KT_CAPABILITY("mutex") KTMutex {
 public:
  KTMutex() = default;
  KTMutex(const KTMutex&) = delete;
  KTMutex& operator=(const KTMutex&) = delete;

  /* Creates the section; 0, or KTCriticalSectionThreadNew's status
   * (ERROR_UNKNOWN, ERROR_MEMORY_ALLOCATION); 5 when already created. */
  KTStatus Create();
  /* Frees the section; 0, also when none was created. Must not be held. */
  KTStatus Destroy();
  bool Created() const { return mpCS != nullptr; }

  /* Enter / leave; the section's statuses (5 when not created). A failed
   * Lock holds nothing. */
  KTStatus Lock() KT_ACQUIRE();
  KTStatus Unlock() KT_RELEASE();
  /* Debugging build: ends the process with a message on standard error when
   * the calling thread does not hold the lock. Release build: nothing. */
  void AssertHeld() const KT_ASSERT_CAPABILITY(this);

 private:
  KTCriticalSection* mpCS = nullptr;
  pthread_t mOwner{};  /* valid while mHeld; both read with __atomic */
  int mHeld = 0;
};

/* A reader-writer lock over pthread_rwlock that prefers waiting writers, so
 * a stream of readers cannot starve a writer. Not recursive: a thread that
 * holds it must not take it again. Not copyable. */
class KT_CAPABILITY("mutex") KTSharedMutex {
 public:
  KTSharedMutex() = default;
  KTSharedMutex(const KTSharedMutex&) = delete;
  KTSharedMutex& operator=(const KTSharedMutex&) = delete;

  /* Initialises the lock; 0, ERROR_UNKNOWN (1) when pthread fails, 5 when
   * already created. */
  KTStatus Create();
  /* Destroys it; 0, also when not created; ERROR_UNKNOWN when pthread
   * refuses (the lock then stays created). Must not be held. */
  KTStatus Destroy();
  bool Created() const { return mCreated != 0; }

  /* 0; ERROR_UNKNOWN (1) when the lock cannot be taken or released (nothing
   * is then held), 5 when not created. */
  KTStatus Lock() KT_ACQUIRE();
  KTStatus LockShared() KT_ACQUIRE_SHARED();
  KTStatus Unlock() KT_RELEASE();
  KTStatus UnlockShared() KT_RELEASE_SHARED();
  /* Debugging build: end the process unless this thread holds the lock
   * exclusively (AssertHeld) or in either mode (AssertSharedHeld). */
  void AssertHeld() const KT_ASSERT_CAPABILITY(this);
  void AssertSharedHeld() const KT_ASSERT_SHARED_CAPABILITY(this);

 private:
  pthread_rwlock_t mLock{};
  int mCreated = 0;
  pthread_t mWriter{};  /* valid while mWriting; both read with __atomic */
  int mWriting = 0;
};

/* Implementation of the guards' finish(): the first error, else the leave's status. */
KTStatus KTLockFinish(KTStatus status, KTStatus leaveStatus, KTLog* pLog, const char* leaveFailure);

/* Takes a KTMutex, or a KTSharedMutex as the writer, exclusively for its
 * scope (KTLockGuard, KTWriterGuard). Never throws. */
template <class Mutex>
class KT_SCOPED_CAPABILITY KTExclusiveGuard {
 public:
  explicit KTExclusiveGuard(Mutex& mutex) KT_ACQUIRE(mutex)
      : mMutex(mutex), mStatus(mutex.Lock()), mLocked(mStatus == STATUS_OK) {}
  ~KTExclusiveGuard() KT_RELEASE() { unlock(); }
  KTExclusiveGuard(const KTExclusiveGuard&) = delete;
  KTExclusiveGuard& operator=(const KTExclusiveGuard&) = delete;

  bool locked() const { return mLocked; }
  /* Status of the Lock made by the constructor. */
  KTStatus status() const { return mStatus; }
  /* Leaves now; the leave's status, 0 when nothing was held. */
  KTStatus unlock() KT_RELEASE() KT_NO_THREAD_SAFETY_ANALYSIS {
    if (!mLocked) return STATUS_OK;
    mLocked = false;
    return mMutex.Unlock();
  }
  /* Leaves now and returns `status` when it is an error, else the leave's
   * status; writes `leaveFailure` to pLog when the leave fails. */
  KTStatus finish(KTStatus status, KTLog* pLog = nullptr, const char* leaveFailure = nullptr)
      KT_RELEASE() {
    return KTLockFinish(status, unlock(), pLog, leaveFailure);
  }

 private:
  Mutex& mMutex;
  KTStatus mStatus;
  bool mLocked;
};

typedef KTExclusiveGuard<KTMutex> KTLockGuard;
typedef KTExclusiveGuard<KTSharedMutex> KTWriterGuard;

/* Takes a KTSharedMutex shared (as a reader) for its scope; the members are
 * those of KTExclusiveGuard. */
class KT_SCOPED_CAPABILITY KTReaderGuard {
 public:
  explicit KTReaderGuard(KTSharedMutex& mutex) KT_ACQUIRE_SHARED(mutex)
      : mMutex(mutex), mStatus(mutex.LockShared()), mLocked(mStatus == STATUS_OK) {}
  ~KTReaderGuard() KT_RELEASE() { unlock(); }
  KTReaderGuard(const KTReaderGuard&) = delete;
  KTReaderGuard& operator=(const KTReaderGuard&) = delete;

  bool locked() const { return mLocked; }
  KTStatus status() const { return mStatus; }
  KTStatus unlock() KT_RELEASE() KT_NO_THREAD_SAFETY_ANALYSIS {
    if (!mLocked) return STATUS_OK;
    mLocked = false;
    return mMutex.UnlockShared();
  }
  KTStatus finish(KTStatus status, KTLog* pLog = nullptr, const char* leaveFailure = nullptr)
      KT_RELEASE() {
    return KTLockFinish(status, unlock(), pLog, leaveFailure);
  }

 private:
  KTSharedMutex& mMutex;
  KTStatus mStatus;
  bool mLocked;
};

#endif /* KTLOCK_H */
