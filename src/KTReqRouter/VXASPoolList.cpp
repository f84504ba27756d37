/* VXASPoolList.cpp - the router's list of pools and its reader-writer lock.
 *
 * The get-server and monitor threads read the list (and use the pools they
 * find) under the read lock; the message-center thread, the only one that
 * changes the list, takes the write lock for every change, so a pool is
 * never removed or freed while another thread uses it. The lock prefers
 * waiting writers, so a steady stream of get-server requests cannot starve
 * the message-center thread. While a thread holds the lock its cancellation
 * is disabled, as inside a critical section.
 */
#include "VXASPoolList.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "KTDebug.h"
#include "KTMemoryManager.h"
#include "KTSocket.h"

namespace {

/* Pool-list locks this thread holds, and the cancel state found by the first. */
thread_local int tHeldLocks = 0;
thread_local int tSavedCancelState = PTHREAD_CANCEL_ENABLE;

void enterHeld() {
  int previous = PTHREAD_CANCEL_ENABLE;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
  if (tHeldLocks++ == 0) tSavedCancelState = previous;
}

void leaveHeld() {
  if (tHeldLocks > 0 && --tHeldLocks == 0) {
    int ignored = 0;
    pthread_setcancelstate(tSavedCancelState, &ignored);
  }
}

/* The pool at `index`, or null with *pStatus set. */
ASPool* poolAt(ASPoolList* pPoolList, int index, KTStatus* pStatus) {
  ASPool* pPool = static_cast<ASPool*>(
      KTListElementAt(pPoolList->pPools, pPoolList->pMemMgrSys, pStatus, index));
  if (pPool == nullptr && *pStatus == STATUS_OK) *pStatus = ERROR_INTERNAL_INCONSISTENCE;
  return pPool;
}

/* Releases the storage parts of a list record that exist. */
void releaseParts(ASPoolList* pPoolList) {
  if (pPoolList->pPools != nullptr) KTListFree(&pPoolList->pPools, pPoolList->pMemMgrSys);
  if (pPoolList->pMemMgrSys != nullptr) pPoolList->pMemMgrSys->Free(&pPoolList->pMemMgrSys);
}

/* Removes the pool from the list and frees it when it has neither servers
 * nor peers; write lock held. Returns the failing step's status. */
KTStatus _RemoveIfEmpty(ASPoolList* pPoolList, ASPool** ppPool, KTLog* pLog) {
  int isEmpty = 0;
  KTStatus status = ASPoolIsEmpty(*ppPool, &isEmpty, pLog);
  if (status != STATUS_OK || !isEmpty) return status;
  status = KTListRemove(pPoolList->pPools, pPoolList->pMemMgrSys, *ppPool);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolListRemoveEmptyPool(): error removing pool '%s' from the list (%d)",
               (*ppPool)->name, status);
    return status;
  }
  KTDEBUG_MSG(KTDEBUG_RROUTER, "ASPoolListRemoveEmptyPool(): pool '%s' removed", (*ppPool)->name);
  return ASPoolFree(ppPool, pLog);
}

}  // namespace

/* Returns ERROR_INVALID_PARAMETER, ERROR_MEMORY_ALLOCATION or the failing step's status. */
KTStatus ASPoolListNew(ASPoolList** ppPoolList, KTLog* pLog) {
  if (ppPoolList == nullptr || *ppPoolList != nullptr) {
    KTLogWrite(pLog, "ASPoolListNew(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  ASPoolList* pPoolList = static_cast<ASPoolList*>(calloc(1, sizeof(ASPoolList)));
  if (pPoolList == nullptr) {
    KTLogWrite(pLog, "ASPoolListNew(): could not allocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  KTStatus status = KTMemoryManagerSysNew(&pPoolList->pMemMgrSys);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolListNew(): error creating local system memory manager");
  } else if ((status = KTListNew(&pPoolList->pPools, pPoolList->pMemMgrSys)) != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolListNew(): error creating list object to store the pools");
  } else {
    pthread_rwlockattr_t attributes;
    int error = pthread_rwlockattr_init(&attributes);
    if (error == 0) {
      pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
      error = pthread_rwlock_init(&pPoolList->rwLock, &attributes);
      pthread_rwlockattr_destroy(&attributes);
    }
    if (error != 0) {
      KTLogWrite(pLog, "ASPoolListNew(): error creating the list lock (%d)", error);
      status = ERROR_UNKNOWN;
    }
  }
  if (status != STATUS_OK) {
    releaseParts(pPoolList);
    free(pPoolList);
    return status;
  }
  *ppPoolList = pPoolList;
  return STATUS_OK;
}

/* Returns ERROR_INVALID_PARAMETER for a null argument, else the last failing step's status. */
KTStatus ASPoolListFree(ASPoolList** ppPoolList, KTLog* pLog) {
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
  pthread_rwlock_destroy(&pPoolList->rwLock);
  releaseParts(pPoolList);
  free(pPoolList);
  *ppPoolList = nullptr;
  return result;
}

/* Locking ------------------------------------------------------------------------ */

/* Takes the list's lock through `lock` (shared or exclusive); `who` and
 * `kind` name the caller and the lock in its log lines. Returns
 * ERROR_UNKNOWN when the lock cannot be taken. */
static KTStatus takeLock(ASPoolList* pPoolList, int (*lock)(pthread_rwlock_t*), const char* who,
                         const char* kind, KTLog* pLog) {
  if (pPoolList == nullptr) {
    KTLogWrite(pLog, "%s(): wrong arguments passed to procedure", who);
    return ERROR_INVALID_PARAMETER;
  }
  enterHeld();
  int error = lock(&pPoolList->rwLock);
  if (error != 0) {
    leaveHeld();
    KTLogWrite(pLog, "%s(): failed to take the %s lock (%d)", who, kind, error);
    return ERROR_UNKNOWN;
  }
  return STATUS_OK;
}

/* Returns ERROR_UNKNOWN when the lock cannot be taken. */
KTStatus ASPoolListLockRead(ASPoolList* pPoolList, KTLog* pLog) {
  return takeLock(pPoolList, pthread_rwlock_rdlock, "ASPoolListLockRead", "read", pLog);
}

/* Returns ERROR_UNKNOWN when the lock cannot be taken. */
KTStatus ASPoolListLockWrite(ASPoolList* pPoolList, KTLog* pLog) {
  return takeLock(pPoolList, pthread_rwlock_wrlock, "ASPoolListLockWrite", "write", pLog);
}

/* Returns ERROR_UNKNOWN when the lock cannot be released. */
KTStatus ASPoolListUnlock(ASPoolList* pPoolList, KTLog* pLog) {
  if (pPoolList == nullptr) {
    KTLogWrite(pLog, "ASPoolListUnlock(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int error = pthread_rwlock_unlock(&pPoolList->rwLock);
  if (error != 0) {
    KTLogWrite(pLog, "ASPoolListUnlock(): failed to release the lock (%d)", error);
    return ERROR_UNKNOWN;
  }
  leaveHeld();
  return STATUS_OK;
}

/* Changes ------------------------------------------------------------------------- */

/* Returns the list's or the lock's failing status. */
KTStatus ASPoolListAdd(ASPoolList* pPoolList, ASPool* pPool, KTLog* pLog) {
  if (pPoolList == nullptr || pPool == nullptr) {
    KTLogWrite(pLog, "ASPoolListAdd(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = ASPoolListLockWrite(pPoolList, pLog);
  if (status != STATUS_OK) return status;
  status = KTListAdd(pPoolList->pPools, pPoolList->pMemMgrSys, pPool);
  if (status != STATUS_OK) KTLogWrite(pLog, "ASPoolListAdd(): error adding pool '%s' (%d)", pPool->name, status);
  KTStatus unlockStatus = ASPoolListUnlock(pPoolList, pLog);
  return status != STATUS_OK ? status : unlockStatus;
}

/* Returns ERROR_NO_SUCH_ELEMENT when the pool is not listed, else the lock's failing status. */
KTStatus ASPoolListRemove(ASPoolList* pPoolList, ASPool* pPool, KTLog* pLog) {
  if (pPoolList == nullptr || pPool == nullptr) {
    KTLogWrite(pLog, "ASPoolListRemove(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = ASPoolListLockWrite(pPoolList, pLog);
  if (status != STATUS_OK) return status;
  status = KTListRemove(pPoolList->pPools, pPoolList->pMemMgrSys, pPool);
  KTStatus unlockStatus = ASPoolListUnlock(pPoolList, pLog);
  return status != STATUS_OK ? status : unlockStatus;
}

/* Returns the failing step's status; *ppPool is null when the pool was freed. */
KTStatus ASPoolListRemoveEmptyPool(ASPoolList* pPoolList, ASPool** ppPool, KTLog* pLog) {
  if (pPoolList == nullptr || ppPool == nullptr || *ppPool == nullptr) {
    KTLogWrite(pLog, "ASPoolListRemoveEmptyPool(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = ASPoolListLockWrite(pPoolList, pLog);
  if (status != STATUS_OK) return status;
  status = _RemoveIfEmpty(pPoolList, ppPool, pLog);
  KTStatus unlockStatus = ASPoolListUnlock(pPoolList, pLog);
  return status != STATUS_OK ? status : unlockStatus;
}

/* Returns the last failing status; the walk continues past failures. */
KTStatus ASPoolListRemoveMC(ASPoolList* pPoolList, KTMCServer* pMC, KTLog* pLog) {
  if (pPoolList == nullptr || pMC == nullptr) {
    KTLogWrite(pLog, "ASPoolListRemoveMC(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus result = ASPoolListLockWrite(pPoolList, pLog);
  if (result != STATUS_OK) return result;
  int count = 0;
  result = KTListSize(pPoolList->pPools, pPoolList->pMemMgrSys, &count);
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
  KTStatus unlockStatus = ASPoolListUnlock(pPoolList, pLog);
  return result != STATUS_OK ? result : unlockStatus;
}

/* Lookups and walks ------------------------------------------------------------------ */

/* Returns 0 whether found or not; the list's failing status otherwise. */
KTStatus ASPoolListGetMatching(ASPoolList* pPoolList, const char* PoolName, ASPool** ppPool,
                               KTLog* pLog) {
  if (pPoolList == nullptr || PoolName == nullptr || ppPool == nullptr || *ppPool != nullptr) {
    KTLogWrite(pLog, "ASPoolListGetMatching(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int count = 0;
  KTStatus status = KTListSize(pPoolList->pPools, pPoolList->pMemMgrSys, &count);
  for (int index = 0; status == STATUS_OK && index < count; ++index) {
    ASPool* pPool = poolAt(pPoolList, index, &status);
    if (pPool != nullptr && strcmp(pPool->name, PoolName) == 0) {
      *ppPool = pPool;
      break;
    }
  }
  if (status != STATUS_OK) KTLogWrite(pLog, "ASPoolListGetMatching(): error walking the pools (%d)", status);
  return status;
}

/* Returns 0 whether found or not; the first failing lookup's status otherwise. */
KTStatus ASPoolListGetMatchingServer(ASPoolList* pPoolList, const char* IP, unsigned short port,
                                     ASPool** ppPool, KTASServer** ppServer, KTLog* pLog) {
  if (pPoolList == nullptr || IP == nullptr || ppPool == nullptr || *ppPool != nullptr ||
      ppServer == nullptr || *ppServer != nullptr) {
    KTLogWrite(pLog, "ASPoolListGetMatchingServer(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
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

/* Returns 0 whether found or not; the first failing lookup's status otherwise. */
KTStatus ASPoolListGetMatchingForSocket(ASPoolList* pPoolList, KTSocket* pSocket, ASPool** ppPool,
                                        KTASServer** ppServer, KTLog* pLog) {
  if (pPoolList == nullptr || pSocket == nullptr || ppPool == nullptr || *ppPool != nullptr ||
      ppServer == nullptr || *ppServer != nullptr) {
    KTLogWrite(pLog, "ASPoolListGetMatchingForSocket(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
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

/* Returns the first non-zero iterator result (logged). */
KTStatus ASPoolListForEach(ASPoolList* pPoolList, KTListIterator pIterator, KTLog* pLog, ...) {
  if (pPoolList == nullptr || pIterator == nullptr) {
    KTLogWrite(pLog, "ASPoolListForEach(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  va_list args;
  va_start(args, pLog);
  KTStatus status = KTListVForEach(pPoolList->pPools, pPoolList->pMemMgrSys, pIterator, args);
  va_end(args);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTListVForEach(): error at KTListVForEach pools (%d)", status);
  }
  return status;
}

/* Returns the list's failing status. */
KTStatus ASPoolListSize(ASPoolList* pPoolList, int* pCount, KTLog* pLog) {
  if (pPoolList == nullptr || pCount == nullptr) {
    KTLogWrite(pLog, "ASPoolListSize(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return KTListSize(pPoolList->pPools, pPoolList->pMemMgrSys, pCount);
}
