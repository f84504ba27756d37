/* VXASPoolList.cpp - the router's list of pools and its reader-writer lock.
 *
 * The get-server and monitor threads read the list (and use the pools they
 * find) under the read lock; the writer thread, the only one that changes
 * the list, takes the write lock for every change, so a pool is never
 * removed or freed while another thread uses it. The lock (KTSharedMutex)
 * prefers waiting writers, so a steady stream of get-server requests cannot
 * starve the message-center thread.
 */
#include "VXASPoolList.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "KTDebug.h"
#include "KTMemoryManager.h"
#include "KTSocket.h"
#include "internal/VXASPoolListInternal.h"

namespace {

/* The leave-failure line of the changing operations, as ASPoolListUnlock
 * writes it for the layer's only leave failure (status 1). */
const char kUnlockFailure[] = "ASPoolListUnlock(): failed to release the lock (1)";

/* Logs a lock that could not be taken, in the words of ASPoolListLockRead
 * and ASPoolListLockWrite (`who`, `kind`). Returns ERROR_UNKNOWN. */
KTStatus lockFailed(const char* who, const char* kind, KTStatus status, KTLog* pLog) {
  KTLogWrite(pLog, "%s(): failed to take the %s lock (%d)", who, kind, status);
  return ERROR_UNKNOWN;
}

/* The lock-free lookups' rule: the debugging build ends the process unless
 * the calling thread is the writer or holds the lock. */
void assertMayRead(ASPoolList* pPoolList) KT_ASSERT_SHARED_CAPABILITY(pPoolList->lock) {
#ifndef NDEBUG
  if (!pthread_equal(pPoolList->writer.load(std::memory_order_relaxed), pthread_self())) {
    pPoolList->lock.AssertSharedHeld();
  }
#else
  (void)pPoolList;
#endif
}

/* The pool at `index`, or null with *pStatus set. */
ASPool* poolAt(ASPoolList* pPoolList, int index, KTStatus* pStatus)
    KT_REQUIRES_SHARED(pPoolList->lock) {
  ASPool* pPool = static_cast<ASPool*>(
      KTListElementAt(pPoolList->pPools, pPoolList->pMemMgrSys, pStatus, index));
  if (pPool == nullptr && *pStatus == STATUS_OK) *pStatus = ERROR_INTERNAL_INCONSISTENCE;
  return pPool;
}

/* Releases the parts of a list record that exist, and the record. No other
 * thread sees the record any more. */
void releaseRecord(ASPoolList* pPoolList) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pPoolList->pPools != nullptr) KTListFree(&pPoolList->pPools, pPoolList->pMemMgrSys);
  if (pPoolList->pMemMgrSys != nullptr) pPoolList->pMemMgrSys->Free(&pPoolList->pMemMgrSys);
  pPoolList->lock.Destroy();
  delete pPoolList;
}

/* Removes the pool from the list and frees it when it has neither servers
 * nor peers. Returns the failing step's status. */
KTStatus _RemoveIfEmpty(ASPoolList* pPoolList, ASPool** ppPool, KTLog* pLog)
    KT_REQUIRES(pPoolList->lock) {
  int isEmpty = 0;
  KTStatus status = ASPoolIsEmpty(*ppPool, &isEmpty, pLog);
  if (status != STATUS_OK || !isEmpty) return status;
  status = KTListRemove(pPoolList->pPools, pPoolList->pMemMgrSys, *ppPool);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolListRemoveEmptyPool(): error removing pool '%s' from the list (%d)",
               ASPoolName(*ppPool), status);
    return status;
  }
  KTDEBUG_MSG(KTDEBUG_RROUTER, "ASPoolListRemoveEmptyPool(): pool '%s' removed",
              ASPoolName(*ppPool));
  return ASPoolFree(ppPool, pLog);
}

}  // namespace

/* Construction: no other thread sees the record yet. */
KTStatus ASPoolListNew(ASPoolList** ppPoolList, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (ppPoolList == nullptr || *ppPoolList != nullptr) {
    KTLogWrite(pLog, "ASPoolListNew(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  ASPoolList* pPoolList = new (std::nothrow) ASPoolList();
  if (pPoolList == nullptr) {
    KTLogWrite(pLog, "ASPoolListNew(): could not allocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  pPoolList->writer.store(pthread_self(), std::memory_order_relaxed);
  KTStatus status = KTMemoryManagerSysNew(&pPoolList->pMemMgrSys);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolListNew(): error creating local system memory manager");
  } else if ((status = KTListNew(&pPoolList->pPools, pPoolList->pMemMgrSys)) != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolListNew(): error creating list object to store the pools");
  } else if ((status = pPoolList->lock.Create()) != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolListNew(): error creating the list lock (%d)", status);
    status = ERROR_UNKNOWN;
  }
  if (status != STATUS_OK) {
    releaseRecord(pPoolList);
    return status;
  }
  *ppPoolList = pPoolList;
  return STATUS_OK;
}

/* Destruction: no other thread uses the record any more. */
KTStatus ASPoolListFree(ASPoolList** ppPoolList, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (ppPoolList == nullptr || *ppPoolList == nullptr) {
    KTLogWrite(pLog, "ASPoolListFree(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  ASPoolList* pPoolList = *ppPoolList;
  KTStatus result = STATUS_OK;
  int count = 0;
  KTListSize(pPoolList->pPools, pPoolList->pMemMgrSys, &count);
  // The list owns its pools: freeing it frees those still listed, last first.
  for (int index = count - 1; index >= 0; --index) {
    KTStatus status = STATUS_OK;
    ASPool* pPool = poolAt(pPoolList, index, &status);
    if (pPool != nullptr) status = ASPoolFree(&pPool, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "ASPoolListFree(): error freeing pool #%d (%d)", index, status);
      result = status;
    }
  }
  releaseRecord(pPoolList);
  *ppPoolList = nullptr;
  return result;
}

/* Locking ------------------------------------------------------------------------ */

KTSharedMutex& ASPoolListMutex(ASPoolList* pPoolList) { return pPoolList->lock; }

/* The C-style lock steps below leave the mode bookkeeping to writeHeld,
 * which the analysis cannot follow. */
KTStatus ASPoolListLockRead(ASPoolList* pPoolList, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pPoolList == nullptr) {
    KTLogWrite(pLog, "ASPoolListLockRead(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = pPoolList->lock.LockShared();
  if (status != STATUS_OK) return lockFailed("ASPoolListLockRead", "read", status, pLog);
  return STATUS_OK;
}

KTStatus ASPoolListLockWrite(ASPoolList* pPoolList, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pPoolList == nullptr) {
    KTLogWrite(pLog, "ASPoolListLockWrite(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = pPoolList->lock.Lock();
  if (status != STATUS_OK) return lockFailed("ASPoolListLockWrite", "write", status, pLog);
  pPoolList->writeHolder = pthread_self();
  pPoolList->writeHeld = 1;
  return STATUS_OK;
}

KTStatus ASPoolListUnlock(ASPoolList* pPoolList, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pPoolList == nullptr) {
    KTLogWrite(pLog, "ASPoolListUnlock(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  // Only the holder of the write lock can see writeHeld set by itself: while
  // this thread reads, nobody else holds the lock exclusively.
  const bool exclusive =
      pPoolList->writeHeld != 0 && pthread_equal(pPoolList->writeHolder, pthread_self()) != 0;
  if (exclusive) pPoolList->writeHeld = 0;
  KTStatus status = exclusive ? pPoolList->lock.Unlock() : pPoolList->lock.UnlockShared();
  if (status != STATUS_OK) {
    if (exclusive) pPoolList->writeHeld = 1;
    KTLogWrite(pLog, "ASPoolListUnlock(): failed to release the lock (%d)", status);
    return ERROR_UNKNOWN;
  }
  return STATUS_OK;
}

KTStatus ASPoolListSetWriter(ASPoolList* pPoolList, KTLog* pLog) {
  if (pPoolList == nullptr) {
    KTLogWrite(pLog, "ASPoolListSetWriter(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  pPoolList->writer.store(pthread_self(), std::memory_order_relaxed);
  return STATUS_OK;
}

/* Changes ------------------------------------------------------------------------- */

KTStatus ASPoolListAdd(ASPoolList* pPoolList, ASPool* pPool, KTLog* pLog) {
  if (pPoolList == nullptr || pPool == nullptr) {
    KTLogWrite(pLog, "ASPoolListAdd(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTWriterGuard guard(pPoolList->lock);
  if (!guard.locked()) return lockFailed("ASPoolListLockWrite", "write", guard.status(), pLog);
  KTStatus status = KTListAdd(pPoolList->pPools, pPoolList->pMemMgrSys, pPool);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolListAdd(): error adding pool '%s' (%d)", ASPoolName(pPool), status);
  }
  return guard.finish(status, pLog, kUnlockFailure);
}

KTStatus ASPoolListRemove(ASPoolList* pPoolList, ASPool* pPool, KTLog* pLog) {
  if (pPoolList == nullptr || pPool == nullptr) {
    KTLogWrite(pLog, "ASPoolListRemove(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTWriterGuard guard(pPoolList->lock);
  if (!guard.locked()) return lockFailed("ASPoolListLockWrite", "write", guard.status(), pLog);
  KTStatus status = KTListRemove(pPoolList->pPools, pPoolList->pMemMgrSys, pPool);
  return guard.finish(status, pLog, kUnlockFailure);
}

KTStatus ASPoolListRemoveEmptyPool(ASPoolList* pPoolList, ASPool** ppPool, KTLog* pLog) {
  if (pPoolList == nullptr || ppPool == nullptr || *ppPool == nullptr) {
    KTLogWrite(pLog, "ASPoolListRemoveEmptyPool(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTWriterGuard guard(pPoolList->lock);
  if (!guard.locked()) return lockFailed("ASPoolListLockWrite", "write", guard.status(), pLog);
  KTStatus status = _RemoveIfEmpty(pPoolList, ppPool, pLog);
  return guard.finish(status, pLog, kUnlockFailure);
}

KTStatus ASPoolListRemoveMC(ASPoolList* pPoolList, KTMCServer* pMC, KTLog* pLog) {
  if (pPoolList == nullptr || pMC == nullptr) {
    KTLogWrite(pLog, "ASPoolListRemoveMC(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTWriterGuard guard(pPoolList->lock);
  if (!guard.locked()) return lockFailed("ASPoolListLockWrite", "write", guard.status(), pLog);
  int count = 0;
  KTStatus result = KTListSize(pPoolList->pPools, pPoolList->pMemMgrSys, &count);
  // Last to first: removing a pool does not move the ones still to visit.
  for (int index = count - 1; index >= 0; --index) {
    KTStatus status = STATUS_OK;
    ASPool* pPool = poolAt(pPoolList, index, &status);
    if (pPool != nullptr) status = ASPoolRemoveMC(pPool, pMC, pLog);
    if (status == STATUS_OK) status = _RemoveIfEmpty(pPoolList, &pPool, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "ASPoolListRemoveMC(): error removing MC [%s]:%hu from pool #%d (%d)",
                 KTMCServerHost(pMC), KTMCServerPort(pMC), index, status);
      result = status;
    }
  }
  return guard.finish(result, pLog, kUnlockFailure);
}

/* Lookups and walks ------------------------------------------------------------------ */

KTStatus ASPoolListGetMatching(ASPoolList* pPoolList, const char* PoolName, ASPool** ppPool,
                               KTLog* pLog) {
  if (pPoolList == nullptr || PoolName == nullptr || ppPool == nullptr || *ppPool != nullptr) {
    KTLogWrite(pLog, "ASPoolListGetMatching(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  assertMayRead(pPoolList);
  int count = 0;
  KTStatus status = KTListSize(pPoolList->pPools, pPoolList->pMemMgrSys, &count);
  for (int index = 0; status == STATUS_OK && index < count; ++index) {
    ASPool* pPool = poolAt(pPoolList, index, &status);
    if (pPool != nullptr && strcmp(ASPoolName(pPool), PoolName) == 0) {
      *ppPool = pPool;
      break;
    }
  }
  if (status != STATUS_OK) KTLogWrite(pLog, "ASPoolListGetMatching(): error walking the pools (%d)", status);
  return status;
}

KTStatus ASPoolListGetMatchingServer(ASPoolList* pPoolList, const char* IP, unsigned short port,
                                     ASPool** ppPool, KTASServer** ppServer, KTLog* pLog) {
  if (pPoolList == nullptr || IP == nullptr || ppPool == nullptr || *ppPool != nullptr ||
      ppServer == nullptr || *ppServer != nullptr) {
    KTLogWrite(pLog, "ASPoolListGetMatchingServer(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  assertMayRead(pPoolList);
  int count = 0;
  KTStatus status = KTListSize(pPoolList->pPools, pPoolList->pMemMgrSys, &count);
  for (int index = 0; status == STATUS_OK && index < count; ++index) {
    ASPool* pPool = poolAt(pPoolList, index, &status);
    if (pPool == nullptr) break;
    status = ASPoolGetMatchingServer(pPool, IP, port, ppServer, pLog);
    if (status == STATUS_OK && *ppServer != nullptr) {
      *ppPool = pPool;
      break;
    }
  }
  return status;
}

KTStatus ASPoolListGetMatchingForSocket(ASPoolList* pPoolList, KTSocket* pSocket, ASPool** ppPool,
                                        KTASServer** ppServer, KTLog* pLog) {
  if (pPoolList == nullptr || pSocket == nullptr || ppPool == nullptr || *ppPool != nullptr ||
      ppServer == nullptr || *ppServer != nullptr) {
    KTLogWrite(pLog, "ASPoolListGetMatchingForSocket(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  assertMayRead(pPoolList);
  int count = 0;
  KTStatus status = KTListSize(pPoolList->pPools, pPoolList->pMemMgrSys, &count);
  for (int index = 0; status == STATUS_OK && index < count; ++index) {
    ASPool* pPool = poolAt(pPoolList, index, &status);
    if (pPool == nullptr) break;
    status = ASPoolGetMatchingForSocket(pPool, pSocket, ppServer, pLog);
    if (status == STATUS_OK && *ppServer != nullptr) {
      *ppPool = pPool;
      break;
    }
  }
  return status;
}

KTStatus ASPoolListForEach(ASPoolList* pPoolList, KTListIterator pIterator, KTLog* pLog, ...) {
  if (pPoolList == nullptr || pIterator == nullptr) {
    KTLogWrite(pLog, "ASPoolListForEach(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  assertMayRead(pPoolList);
  va_list args;
  va_start(args, pLog);
  KTStatus status = KTListVForEach(pPoolList->pPools, pPoolList->pMemMgrSys, pIterator, args);
  va_end(args);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTListVForEach(): error at KTListVForEach pools (%d)", status);
  }
  return status;
}

KTStatus ASPoolListSize(ASPoolList* pPoolList, int* pCount, KTLog* pLog) {
  if (pPoolList == nullptr || pCount == nullptr) {
    KTLogWrite(pLog, "ASPoolListSize(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTReaderGuard guard(pPoolList->lock);
  if (!guard.locked()) return lockFailed("ASPoolListLockRead", "read", guard.status(), pLog);
  return guard.finish(KTListSize(pPoolList->pPools, pPoolList->pMemMgrSys, pCount), pLog,
                      kUnlockFailure);
}
