/* KTCriticalSection.h - mutual-exclusion lock over POSIX mutexes, reached through an operation table.
 *
 * One record type covers three variants:
 *  - thread-only (KTCriticalSectionThreadNew): a process-private mutex; this
 *    is the lock every registry record, list, queue, log and connection pool
 *    owns;
 *  - memory-manager (KTCriticalSectionThreadAndIPCNew): the shared part is
 *    the named block `identifier` of a KTMemoryManager, with a process-shared
 *    mutex; the first user initialises it, later users wait for that;
 *  - raw (KTCriticalSectionThreadAndIPCRawNew): the shared part lives at the
 *    start of a block supplied by the caller (for example System V shared
 *    memory); whoever finds it uninitialised initialises it.
 *
 * Use: pCS->Enter(pCS), pCS->Leave(pCS), pCS->Free(&pCS). The mutex is the
 * ordinary non-recursive kind: entering a section twice in one thread
 * deadlocks. Enter disables cancellation of the calling thread until the
 * matching Leave restores the previous state, so a thread cancelled by
 * KTThreadFree is never cancelled while it holds a section. Nested sections
 * left in reverse order restore the cancel states correctly.
 *
 * Thread safety: Enter and Leave may be called from any thread. Free must
 * only be called when no thread holds or waits for the section.
 *
 * Enter, Leave and the memory-manager Free check the record's integrity; a
 * corrupted or uninitialised section writes the assertion line and ends the
 * process with exit status 1.
 */
#ifndef KTCRITICALSECTION_H
#define KTCRITICALSECTION_H

#include <pthread.h>
#include <stddef.h>

#include "KTStatus.h"

struct KTMemoryManager;
struct KTLog;

/* The part of a section that several processes may share. Its size is what
 * KTCriticalSectionPThreadSharedSize() returns. */
typedef struct KTCriticalSectionSharedData {
  pthread_mutex_t mutex;
  pthread_mutexattr_t mutexAttr;  /* kept alive with the mutex */
  int initialized;                /* 0 not yet, -1 being initialised (raw), 1 ready */
} KTCriticalSectionSharedData;

/* Private part of a section, always on the heap of the process. Users never
 * look inside; it is declared here so its layout is checkable. */
typedef struct KTCriticalSectionData {
  KTCriticalSectionSharedData* pShared;
  struct KTMemoryManager* pMemMgr;  /* supplier of pShared; null for the other variants */
  int identifier;                   /* 0 thread-only, > 0 memory-manager, -1 raw */
  int cancelstate;                  /* cancel state found by the last Enter */
} KTCriticalSectionData;

typedef struct KTCriticalSection {
  KTCriticalSectionData* pData;
  /* Locks; 0, 5 for a null section, ERROR_UNKNOWN (1) when cancellation
   * cannot be disabled or the mutex cannot be locked (nothing is then held). */
  KTStatus (*Enter)(struct KTCriticalSection* pCriticalSection);
  /* Unlocks and restores the cancel state found by Enter; 0, 5 for a null
   * section, ERROR_UNKNOWN (1) when the mutex cannot be unlocked. */
  KTStatus (*Leave)(struct KTCriticalSection* pCriticalSection);
  /* Releases the section and nulls the caller's pointer; 0, or 5 for a null argument. */
  KTStatus (*Free)(struct KTCriticalSection** ppCriticalSection);
} KTCriticalSection;

/* Creates a thread-only section into *ppCriticalSection, which must be null.
 * Returns 0; 5 for a bad argument (pointer unchanged); 2 when out of memory
 * or ERROR_UNKNOWN (1) when a mutex call fails (pointer null, nothing left
 * allocated). */
KTStatus KTCriticalSectionThreadNew(KTCriticalSection** ppCriticalSection);

/* Creates a section whose shared part is the named block `identifier` (> 0)
 * of pMemMgrMem. The first user initialises a process-shared mutex; a later
 * user waits up to about 1.1 s for the first to finish and fails if it does
 * not. Messages go to pLog (may be null). Returns 0; 5 for bad arguments; 2
 * when memory cannot be had; ERROR_UNKNOWN (1) for a mutex failure or the
 * time-out (the name is given back and *ppCriticalSection is null). */
KTStatus KTCriticalSectionThreadAndIPCNew(KTCriticalSection** ppCriticalSection,
                                          struct KTMemoryManager* pMemMgrMem, int identifier,
                                          struct KTLog* pLog);

/* Creates a section in the caller's block pMemShared of *pMemSharedSize
 * bytes (at least KTCriticalSectionPThreadSharedSize()); on success
 * *pMemSharedSize is set to the bytes used. A zero-filled block is
 * initialised by the first caller (an atomic 0 -> -1 step decides who);
 * other callers wait, without time-out, until it is ready. The block and its
 * mutex stay the caller's: Free releases only the heap parts. Returns 0;
 * 5 for bad arguments; 2 when out of heap or the block is too small;
 * ERROR_UNKNOWN (1) for a mutex failure or a block in a state no section
 * has. Messages go to pLog (may be null). */
KTStatus KTCriticalSectionThreadAndIPCRawNew(KTCriticalSection** ppCriticalSection,
                                             void* pMemShared, size_t* pMemSharedSize,
                                             struct KTLog* pLog);

/* Bytes of shared data a section needs (48 on x86-64 Linux). */
size_t KTCriticalSectionPThreadSharedSize(void);

#ifdef __cplusplus

/* Scope guard: enters the section on construction and leaves it on
 * destruction. Never throws; check locked() (or status()) before relying on
 * the lock. A null section is never locked (status 5). Not copyable. */
class KTCriticalSectionGuard {
 public:
  explicit KTCriticalSectionGuard(KTCriticalSection* pCriticalSection)
      : mpCS(pCriticalSection),
        mStatus(pCriticalSection ? pCriticalSection->Enter(pCriticalSection)
                                 : (KTStatus)ERROR_INVALID_PARAMETER),
        mLocked(mStatus == 0) {}
  ~KTCriticalSectionGuard() { leave(); }
  KTCriticalSectionGuard(const KTCriticalSectionGuard&) = delete;
  KTCriticalSectionGuard& operator=(const KTCriticalSectionGuard&) = delete;

  /* True while the guard holds the section. */
  bool locked() const { return mLocked; }
  /* Status of the Enter made by the constructor. */
  KTStatus status() const { return mStatus; }
  /* Leaves early; returns the status of Leave, 0 when nothing was held. */
  KTStatus leave() {
    if (!mLocked) return 0;
    mLocked = false;
    return mpCS->Leave(mpCS);
  }

 private:
  KTCriticalSection* mpCS;
  KTStatus mStatus;
  bool mLocked;
};

#endif /* __cplusplus */

#endif /* KTCRITICALSECTION_H */
