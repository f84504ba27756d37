/* KTMCServerList.cpp - a locked list of peer routers.
 *
 * Searches and the duplicate test of KTMCServerListAdd walk the list
 * through one inner search that requires the list's lock, so Add holds the
 * lock once for search and append.
 */
#include "KTMCServerList.h"

#include <stdarg.h>

#include <new>
#include <vector>

#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTMemoryManager.h"
#include "KTSocket.h"
#include "internal/KTMCServerListInternal.h"

namespace {

/* A held lock's leave fails only with ERROR_UNKNOWN, hence the fixed status. */
const char* const kLeaveFailure = "KTMCServerList: failed to leave critical section (1)";

/* Whether the guard took the list lock; logs the failure when not. */
bool entered(const KTLockGuard& guard, KTLog* pLog) {
  if (!guard.locked()) {
    KTLogWrite(pLog, "KTMCServerList: failed to enter critical section (%d)", guard.status());
  }
  return guard.locked();
}

/* The record at `index`, or null with *pStatus set. */
KTMCServer* elementAt(KTMCServerList* pList, int index, KTStatus* pStatus)
    KT_REQUIRES(pList->lock) {
  KTMCServer* pMC =
      static_cast<KTMCServer*>(KTListElementAt(pList->pServers, pList->pMemMgrSys, pStatus, index));
  if (pMC == nullptr && *pStatus == STATUS_OK) *pStatus = ERROR_INTERNAL_INCONSISTENCE;
  return pMC;
}

/* The search of KTMCServerListGetMatching. */
KTStatus _KTMCServerListGetMatching(KTMCServerList* pList, const char* host, unsigned short port,
                                    KTMCServer** ppMC, KTLog* pLog) KT_REQUIRES(pList->lock) {
  int count = 0;
  KTStatus status = KTListSize(pList->pServers, pList->pMemMgrSys, &count);
  for (int index = 0; status == STATUS_OK && index < count; ++index) {
    KTMCServer* pMC = elementAt(pList, index, &status);
    if (pMC == nullptr) break;
    int matches = 0;
    status = KTMCServerMatches(pMC, host, port, &matches, pLog);
    if (status == STATUS_OK && matches) {
      *ppMC = pMC;
      break;
    }
  }
  return status;
}

/* Copies the records under the list lock. Returns ERROR_MEMORY_ALLOCATION or
 * the list's failing status. */
KTStatus snapshot(KTMCServerList* pList, std::vector<KTMCServer*>& records, KTLog* pLog)
    KT_EXCLUDES(pList->lock) {
  KTLockGuard guard(pList->lock);
  if (!entered(guard, pLog)) return guard.status();
  int count = 0;
  KTStatus status = KTListSize(pList->pServers, pList->pMemMgrSys, &count);
  if (status == STATUS_OK) {
    try {
      records.reserve((size_t)count);
    } catch (const std::bad_alloc&) {
      KTLogWrite(pLog, "KTMCServerList: cannot copy the list of %d peers", count);
      status = ERROR_MEMORY_ALLOCATION;
    }
  }
  for (int index = 0; status == STATUS_OK && index < count; ++index) {
    KTMCServer* pMC = elementAt(pList, index, &status);
    if (pMC != nullptr) records.push_back(pMC);  // capacity reserved: cannot throw
  }
  return guard.finish(status, pLog, kLeaveFailure);
}

/* Creates the element list of a list not yet published to other threads. */
KTStatus createElementList(KTMCServerList* pList) KT_NO_THREAD_SAFETY_ANALYSIS {
  return KTListNew(&pList->pServers, pList->pMemMgrSys);
}

/* Releases the parts of a list record that exist and the record; no other
 * thread uses the list any more. */
void releaseList(KTMCServerList* pList) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pList->pServers != nullptr) KTListFree(&pList->pServers, pList->pMemMgrSys);
  if (pList->pMemMgrSys != nullptr) pList->pMemMgrSys->Free(&pList->pMemMgrSys);
  pList->lock.Destroy();
  delete pList;
}

/* Frees the listed records at release; no other thread uses the list any more. */
KTStatus freeRecords(KTMCServerList* pList, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  return KTListClearAndFreeElements(pList->pServers, pList->pMemMgrSys, KTMCServerDestructor, pLog);
}

}  // namespace

KTMutex* KTMCServerListMutex(KTMCServerList* pList) { return &pList->lock; }

KTStatus KTMCServerListNew(KTMCServerList** ppList, KTLog* pLog) {
  if (ppList == nullptr || *ppList != nullptr) {
    KTLogWrite(pLog, "KTMCServerListNew(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTMCServerList* pList = new (std::nothrow) KTMCServerList();
  if (pList == nullptr) {
    KTLogWrite(pLog, "KTMCServerListNew(): could not allocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  KTStatus status = pList->lock.Create();
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerListNew(): error creating critical section");
  } else if ((status = KTMemoryManagerSysNew(&pList->pMemMgrSys)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerListNew(): error creating local system memory manager");
  } else if ((status = createElementList(pList)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerListNew(): error creating list object to store the servers");
  }
  if (status != STATUS_OK) {
    releaseList(pList);
    return status;
  }
  *ppList = pList;
  return STATUS_OK;
}

/* A failing free keeps the list, with the records not yet freed. */
KTStatus KTMCServerListFree(KTMCServerList** ppList, KTLog* pLog) {
  if (ppList == nullptr || *ppList == nullptr) {
    KTLogWrite(pLog, "KTMCServerListFree(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTMCServerList* pList = *ppList;
  KTStatus status = freeRecords(pList, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerListFree(): error freeing the peer records (%d)", status);
    return status;
  }
  releaseList(pList);
  *ppList = nullptr;
  return STATUS_OK;
}

KTStatus KTMCServerListClear(KTMCServerList* pList, KTLog* pLog) {
  if (pList == nullptr) {
    KTLogWrite(pLog, "KTMCServerListClear(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pList->lock);
  if (!entered(guard, pLog)) return guard.status();
  return guard.finish(KTListClear(pList->pServers, pList->pMemMgrSys), pLog, kLeaveFailure);
}

KTStatus KTMCServerListAdd(KTMCServerList* pList, KTMCServer* pMC, KTLog* pLog) {
  if (pList == nullptr || pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerListAdd(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTBuffer* pHost = nullptr;
  KTStatus status = KTBufferStrNew(&pHost, "");
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerListAdd(): cant init buffer for ip (%d)", status);
    return status;
  }
  unsigned short port = 0;
  unsigned bufferStatus = 0;
  const char* host = nullptr;
  status = KTMCServerGetHost(pMC, pHost, &port, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerListAdd(): cant get host and ip from MC (%d)", status);
  } else if ((host = KTBufferGet(pHost, &bufferStatus)) == nullptr) {
    status = (KTStatus)bufferStatus;
    KTLogWrite(pLog, "KTMCServerListAdd(): cant get host from buffer (%d)", status);
  } else {
    KTLockGuard guard(pList->lock);
    if (!entered(guard, pLog)) {
      KTBufferFree(&pHost);
      return guard.status();
    }
    KTMCServer* pExisting = nullptr;
    status = _KTMCServerListGetMatching(pList, host, port, &pExisting, pLog);
    if (status == STATUS_OK && pExisting != nullptr) {
      KTLogWrite(pLog, "KTMCServerListAdd(): the given IP:port combination [%s]:%hu already exists in the current list",
                 host, port);
      status = ERROR_UNKNOWN;
    } else if (status == STATUS_OK) {
      status = KTListAdd(pList->pServers, pList->pMemMgrSys, pMC);
      if (status != STATUS_OK) {
        KTLogWrite(pLog, "KTMCServerListAdd(): error adding the newly created MC server to the list");
      }
    }
    status = guard.finish(status, pLog, kLeaveFailure);
  }
  KTBufferFree(&pHost);
  return status;
}

KTStatus KTMCServerListRemove(KTMCServerList* pList, KTMCServer* pMC, KTLog* pLog) {
  if (pList == nullptr || pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerListRemove(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pList->lock);
  if (!entered(guard, pLog)) return guard.status();
  return guard.finish(KTListRemove(pList->pServers, pList->pMemMgrSys, pMC), pLog, kLeaveFailure);
}

KTStatus KTMCServerListGetMatching(KTMCServerList* pList, const char* host, unsigned short port,
                                   KTMCServer** ppMC, KTLog* pLog) {
  if (pList == nullptr || host == nullptr || ppMC == nullptr || *ppMC != nullptr) {
    KTLogWrite(pLog, "KTMCServerListGetMatching(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pList->lock);
  if (!entered(guard, pLog)) return guard.status();
  return guard.finish(_KTMCServerListGetMatching(pList, host, port, ppMC, pLog), pLog,
                      kLeaveFailure);
}

KTStatus KTMCServerListGetMatchingForSocket(KTMCServerList* pList, KTSocket* pSocket,
                                            KTMCServer** ppMC, KTLog* pLog) {
  if (pList == nullptr || pSocket == nullptr || ppMC == nullptr || *ppMC != nullptr) {
    KTLogWrite(pLog, "KTMCServerListGetMatchingForSocket(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pList->lock);
  if (!entered(guard, pLog)) return guard.status();
  int count = 0;
  KTStatus status = KTListSize(pList->pServers, pList->pMemMgrSys, &count);
  for (int index = 0; status == STATUS_OK && index < count; ++index) {
    KTMCServer* pMC = elementAt(pList, index, &status);
    if (pMC == nullptr) break;
    int matches = 0;
    status = KTMCServerSocketMatches(pMC, pSocket, &matches, pLog);
    if (status == STATUS_OK && matches) {
      *ppMC = pMC;
      break;
    }
  }
  return guard.finish(status, pLog, kLeaveFailure);
}

KTStatus KTMCServerListForEach(KTMCServerList* pList, KTListIterator iterator, KTLog* pLog, ...) {
  if (pList == nullptr || iterator == nullptr) {
    KTLogWrite(pLog, "KTMCServerListForEach(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<KTMCServer*> records;
  KTStatus status = snapshot(pList, records, pLog);
  if (status != STATUS_OK) return status;
  for (KTMCServer* pMC : records) {
    va_list args;
    va_start(args, pLog);
    long result = iterator(pMC, args);
    va_end(args);
    if (result != 0) return (result == (KTStatus)result) ? (KTStatus)result : ERROR_UNKNOWN;
  }
  return STATUS_OK;
}

KTStatus KTMCServerListSize(KTMCServerList* pList, int* pCount, KTLog* pLog) {
  if (pList == nullptr || pCount == nullptr) {
    KTLogWrite(pLog, "KTMCServerListSize(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pList->lock);
  if (!entered(guard, pLog)) return guard.status();
  return guard.finish(KTListSize(pList->pServers, pList->pMemMgrSys, pCount), pLog, kLeaveFailure);
}

KTStatus KTMCServerListWackup(KTMCServerList* pList, KTLog* pLog) {
  if (pList == nullptr) {
    KTLogWrite(pLog, "KTMCServerListWackup(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<KTMCServer*> records;
  KTStatus result = snapshot(pList, records, pLog);
  for (KTMCServer* pMC : records) {
    KTStatus status = KTMCServerCacheWackup(pMC, pLog);
    if (status != STATUS_OK && result == STATUS_OK) result = status;
  }
  return result;
}

long KTMCServerDestructor(void** ppElement, va_list args) {
  KTLog* pLog = va_arg(args, KTLog*);
  return KTMCServerFree(reinterpret_cast<KTMCServer**>(ppElement), pLog);
}
