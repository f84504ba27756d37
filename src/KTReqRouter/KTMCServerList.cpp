/* KTMCServerList.cpp - a locked list of peer routers.
 *
 * The list's critical section guards the element list. Searches and the
 * duplicate test of KTMCServerListAdd walk the list under it through one
 * unlocked inner search, so Add holds the lock once for search and append.
 * For-each and wake-up copy the list under the lock and call their
 * callbacks after releasing it: the callbacks send to peers, and no lock may
 * be held during network I/O.
 */
#include "KTMCServerList.h"

#include <stdarg.h>
#include <stdlib.h>

#include <new>
#include <vector>

#include "KTBuffer.h"
#include "KTCriticalSection.h"
#include "KTDebug.h"
#include "KTMemoryManager.h"
#include "KTSocket.h"

namespace {

/* Leaves the list lock; returns `status` when set, else the unlock's. */
KTStatus unlockWith(KTMCServerList* pList, KTStatus status, KTLog* pLog) {
  KTStatus unlockStatus = pList->pCriticalSection->Leave(pList->pCriticalSection);
  if (unlockStatus != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerList: failed to leave critical section (%d)", unlockStatus);
  }
  return status != STATUS_OK ? status : unlockStatus;
}

/* Enters the list lock. Returns the critical section's failing status (logged). */
KTStatus lockList(KTMCServerList* pList, KTLog* pLog) {
  KTStatus status = pList->pCriticalSection->Enter(pList->pCriticalSection);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerList: failed to enter critical section (%d)", status);
  }
  return status;
}

/* The record at `index`, or null with *pStatus set. List lock held. */
KTMCServer* elementAt(KTMCServerList* pList, int index, KTStatus* pStatus) {
  KTMCServer* pMC =
      static_cast<KTMCServer*>(KTListElementAt(pList->pServers, pList->pMemMgrSys, pStatus, index));
  if (pMC == nullptr && *pStatus == STATUS_OK) *pStatus = ERROR_INTERNAL_INCONSISTENCE;
  return pMC;
}

/* Unlocked search by host and port; the caller holds the list lock. */
KTStatus _KTMCServerListGetMatching(KTMCServerList* pList, const char* host, unsigned short port,
                                    KTMCServer** ppMC, KTLog* pLog) {
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
KTStatus snapshot(KTMCServerList* pList, std::vector<KTMCServer*>& records, KTLog* pLog) {
  KTStatus status = lockList(pList, pLog);
  if (status != STATUS_OK) return status;
  int count = 0;
  status = KTListSize(pList->pServers, pList->pMemMgrSys, &count);
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
  return unlockWith(pList, status, pLog);
}

/* Releases the parts of a list record that exist. */
void releaseParts(KTMCServerList* pList) {
  if (pList->pServers != nullptr) KTListFree(&pList->pServers, pList->pMemMgrSys);
  if (pList->pMemMgrSys != nullptr) pList->pMemMgrSys->Free(&pList->pMemMgrSys);
  if (pList->pCriticalSection != nullptr) pList->pCriticalSection->Free(&pList->pCriticalSection);
}

}  // namespace

/* Returns ERROR_INVALID_PARAMETER, ERROR_MEMORY_ALLOCATION or the failing step's status. */
KTStatus KTMCServerListNew(KTMCServerList** ppList, KTLog* pLog) {
  if (ppList == nullptr || *ppList != nullptr) {
    KTLogWrite(pLog, "KTMCServerListNew(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTMCServerList* pList = static_cast<KTMCServerList*>(calloc(1, sizeof(KTMCServerList)));
  if (pList == nullptr) {
    KTLogWrite(pLog, "KTMCServerListNew(): could not allocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  KTStatus status = KTCriticalSectionThreadNew(&pList->pCriticalSection);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerListNew(): error creating critical section");
  } else if ((status = KTMemoryManagerSysNew(&pList->pMemMgrSys)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerListNew(): error creating local system memory manager");
  } else if ((status = KTListNew(&pList->pServers, pList->pMemMgrSys)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerListNew(): error creating list object to store the servers");
  }
  if (status != STATUS_OK) {
    releaseParts(pList);
    free(pList);
    return status;
  }
  *ppList = pList;
  return STATUS_OK;
}

/* Returns ERROR_INVALID_PARAMETER for a null argument, else the first failing
 * free (the list is kept then, with the records not yet freed). */
KTStatus KTMCServerListFree(KTMCServerList** ppList, KTLog* pLog) {
  if (ppList == nullptr || *ppList == nullptr) {
    KTLogWrite(pLog, "KTMCServerListFree(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTMCServerList* pList = *ppList;
  KTStatus status = KTListClearAndFreeElements(pList->pServers, pList->pMemMgrSys,
                                               KTMCServerDestructor, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerListFree(): error freeing the peer records (%d)", status);
    return status;
  }
  releaseParts(pList);
  free(pList);
  *ppList = nullptr;
  return STATUS_OK;
}

/* Returns the lock's failing status. */
KTStatus KTMCServerListClear(KTMCServerList* pList, KTLog* pLog) {
  if (pList == nullptr) {
    KTLogWrite(pLog, "KTMCServerListClear(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = lockList(pList, pLog);
  if (status != STATUS_OK) return status;
  status = KTListClear(pList->pServers, pList->pMemMgrSys);
  return unlockWith(pList, status, pLog);
}

/* Returns ERROR_UNKNOWN for a duplicate host and port, else the failing step's status. */
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
  } else if ((status = lockList(pList, pLog)) == STATUS_OK) {
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
    status = unlockWith(pList, status, pLog);
  }
  KTBufferFree(&pHost);
  return status;
}

/* Returns ERROR_NO_SUCH_ELEMENT (not logged) when the record is not listed. */
KTStatus KTMCServerListRemove(KTMCServerList* pList, KTMCServer* pMC, KTLog* pLog) {
  if (pList == nullptr || pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerListRemove(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = lockList(pList, pLog);
  if (status != STATUS_OK) return status;
  status = KTListRemove(pList->pServers, pList->pMemMgrSys, pMC);
  return unlockWith(pList, status, pLog);
}

/* Returns 0 whether found or not; the list's or lock's failing status otherwise. */
KTStatus KTMCServerListGetMatching(KTMCServerList* pList, const char* host, unsigned short port,
                                   KTMCServer** ppMC, KTLog* pLog) {
  if (pList == nullptr || host == nullptr || ppMC == nullptr || *ppMC != nullptr) {
    KTLogWrite(pLog, "KTMCServerListGetMatching(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = lockList(pList, pLog);
  if (status != STATUS_OK) return status;
  status = _KTMCServerListGetMatching(pList, host, port, ppMC, pLog);
  return unlockWith(pList, status, pLog);
}

/* Returns 0 whether found or not; the list's, socket's or lock's failing status otherwise. */
KTStatus KTMCServerListGetMatchingForSocket(KTMCServerList* pList, KTSocket* pSocket,
                                            KTMCServer** ppMC, KTLog* pLog) {
  if (pList == nullptr || pSocket == nullptr || ppMC == nullptr || *ppMC != nullptr) {
    KTLogWrite(pLog, "KTMCServerListGetMatchingForSocket(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = lockList(pList, pLog);
  if (status != STATUS_OK) return status;
  int count = 0;
  status = KTListSize(pList->pServers, pList->pMemMgrSys, &count);
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
  return unlockWith(pList, status, pLog);
}

/* Returns the first non-zero iterator result, else the copy's failing status. */
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

/* Returns the list's or lock's failing status. */
KTStatus KTMCServerListSize(KTMCServerList* pList, int* pCount, KTLog* pLog) {
  if (pList == nullptr || pCount == nullptr) {
    KTLogWrite(pLog, "KTMCServerListSize(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = lockList(pList, pLog);
  if (status != STATUS_OK) return status;
  status = KTListSize(pList->pServers, pList->pMemMgrSys, pCount);
  return unlockWith(pList, status, pLog);
}

/* Returns the first failing wake-up's status; every record is still woken. */
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

/* Returns the status of KTMCServerFree. */
long KTMCServerDestructor(void** ppElement, va_list args) {
  KTLog* pLog = va_arg(args, KTLog*);
  return KTMCServerFree(reinterpret_cast<KTMCServer**>(ppElement), pLog);
}
