/* KTASServerList.cpp - the locked list of one pool's application servers and the idle-server selection.
 *
 * The selection runs entirely under the list lock. It first takes one
 * snapshot of every server (state, priority, last use and whether its last
 * request had the asked-for extension, client and site), each read under the
 * server's own lock, so that the limits and the choice work on one
 * consistent picture even while message-center threads change states. From
 * the snapshot it takes the idle servers of the highest priority as
 * candidates, tests the limits in the order extension, client, site, and
 * picks by client affinity, site affinity or least recent use. The chosen
 * server is assigned before the lock is released.
 */
#include "KTASServerList.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "KTBuffer.h"
#include "KTCriticalSection.h"
#include "KTDebug.h"
#include "KTMemoryManager.h"
#include "KTSocket.h"
#include "KTUtils.h"
#include "VXASRequestInfo.h"

/* How often the selection is repeated when the chosen server left the idle
 * state before it could be assigned. */
constexpr int KTASSERVERLIST_SELECT_ATTEMPTS = 3;

namespace {

/* The texts of a request bounded exactly as a server record stores them, so
 * that a stored value and the request it came from always compare equal. */
struct RequestKeys {
  char clientIP[KTASSERVER_CLIENTIP_SIZE];
  char siteGUID[KTASSERVER_SITEGUID_SIZE];
  char extension[KTASSERVER_EXTENSION_SIZE];
};

void copyBounded(char* dst, size_t size, const char* src) {
  if (src == nullptr) src = "";
  size_t length = strnlen(src, size - 1);
  memcpy(dst, src, length);
  dst[length] = '\0';
}

/* What the selection needs to know about one server, read under its lock. */
struct ServerView {
  KTASServer* pAS;
  int priority;
  time_t lastUse;
  bool idle;
  bool inUse;       /* assigned, working or monitor */
  bool sameExtension;
  bool sameClient;
  bool sameSite;
};

bool isInUse(KTASStatus status) {
  return status == KTASSTATUS_ASSIGNED || status == KTASSTATUS_WORKING ||
         status == KTASSTATUS_MONITOR;
}

/* Enters (or leaves) the list's critical section, logging failures under
 * the name of the public lock (or unlock) function. Returns the failing status. */
KTStatus enterOrLeave(KTASServerList* pSrvList, bool enter, KTLog* pLog) {
  const char* const function = enter ? "KTASServerListLock" : "KTASServerListUnlock";
  if (pSrvList == nullptr || pSrvList->pCriticalSection == nullptr) {
    KTLogWrite(pLog, "%s(): wrong arguments passed to the procedure", function);
    return ERROR_INVALID_PARAMETER;
  }
  KTCriticalSection* pSection = pSrvList->pCriticalSection;
  KTStatus status = enter ? pSection->Enter(pSection) : pSection->Leave(pSection);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "%s(): failed to %s critical section (%d)", function, enter ? "enter" : "leave",
               status);
  }
  return status;
}

/* Leaves the list lock; returns `status` when set, else the unlock's. */
KTStatus unlockWith(KTASServerList* pSrvList, KTStatus status, KTLog* pLog) {
  KTStatus unlockStatus = KTASServerListUnlock(pSrvList, pLog);
  return status != STATUS_OK ? status : unlockStatus;
}

/* Runs `operation` with the list lock held; returns the lock's failing
 * status, else the first failure of the operation and the unlock. */
template <class Operation>
KTStatus underListLock(KTASServerList* pSrvList, KTLog* pLog, Operation operation) {
  KTStatus status = KTASServerListLock(pSrvList, pLog);
  if (status != STATUS_OK) return status;
  return unlockWith(pSrvList, operation(), pLog);
}

/* The server at `index` of the list (list lock held) in *ppAS; the list's
 * failing status, ERROR_INTERNAL_INCONSISTENCE for a null element. */
KTStatus serverAt(KTASServerList* pSrvList, int index, KTASServer** ppAS) {
  KTStatus status = STATUS_OK;
  *ppAS = static_cast<KTASServer*>(
      KTListElementAt(pSrvList->pServers, pSrvList->pMemMgrSys, &status, index));
  if (status == STATUS_OK && *ppAS == nullptr) status = ERROR_INTERNAL_INCONSISTENCE;
  return status;
}

/* Reads every server of the list into `views` (list order) and the
 * positions of the candidates (idle servers of the highest idle priority,
 * list order) into `candidates`. List lock held. Returns the failing status. */
KTStatus _IdleServers(KTASServerList* pSrvList, const RequestKeys& keys,
                      std::vector<ServerView>& views, std::vector<int>& candidates, KTLog* pLog) {
  int count = 0;
  KTStatus status = KTListSize(pSrvList->pServers, pSrvList->pMemMgrSys, &count);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerListGetIdle(): cannot get list size");
    return status;
  }
  try {
    views.clear();
    candidates.clear();
    views.reserve((size_t)count);
    candidates.reserve((size_t)count);
  } catch (const std::exception&) {
    KTLogWrite(pLog, "_IdleServers(): cannot allocate the candidate array (count=%d)", count);
    return ERROR_MEMORY_ALLOCATION;
  }
  int maxPriority = 0;
  for (int index = 0; index < count; ++index) {
    KTASServer* pAS = nullptr;
    status = serverAt(pSrvList, index, &pAS);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "_IdleServers(): cannot get list element (index=%d, count=%d)", index, count);
      return status;
    }
    int locked = 0;
    status = KTASServerLock(pAS, &locked, pLog);
    if (!locked) return status;
    ServerView view;
    view.pAS = pAS;
    view.priority = pAS->priority;
    view.lastUse = pAS->lastUse;
    view.idle = pAS->ASStatus == KTASSTATUS_IDLE;
    view.inUse = isInUse(pAS->ASStatus);
    view.sameExtension = strcmp(pAS->lastExtension, keys.extension) == 0;
    view.sameClient = strcmp(pAS->lastClientIP, keys.clientIP) == 0;
    view.sameSite = strcmp(pAS->lastSiteGUID, keys.siteGUID) == 0;
    status = KTASServerUnlock(pAS, pLog);
    if (status != STATUS_OK) return status;
    views.push_back(view);  // capacity reserved above: cannot throw
    if (!view.idle) continue;
    if (candidates.empty() || view.priority > maxPriority) {
      // A higher priority discards the candidates collected so far.
      candidates.clear();
      maxPriority = view.priority;
      candidates.push_back(index);
    } else if (view.priority == maxPriority) {
      candidates.push_back(index);
    }
  }
  return STATUS_OK;
}

/* True when `max` servers or more are in use whose last request matched
 * (by `field`); then the refusal is traced and logged (repeats of the same
 * `key` suppressed). `function` and `what` name the limit in the texts. */
bool limitReached(const std::vector<ServerView>& views, bool ServerView::*field, int max,
                  const char* function, const char* what, const char* key,
                  const CASRequestInfo* pInfo, KTLog* pLog) {
  int count = 0;
  for (const ServerView& view : views) {
    if (view.inUse && view.*field) ++count;
  }
  if (count < max) return false;
  KTDEBUG_MSG(KTDEBUG_RROUTER, "%s(): limit exceeded for %s: %s - %d of %d servers are in use",
              function, what, key, count, max);
  char shortText[64];
  snprintf(shortText, sizeof shortText, "%s(): limit exceeded for %s", function, what);
  KTLogWriteLimited(pLog, key, shortText,
                    "%s(): limit exceeded for %s: %s - %d of %d servers are in use; request from %s for %s%s",
                    function, what, key, count, max, ASRequestInfoGetClientIP(pInfo),
                    ASRequestInfoGetHost(pInfo), ASRequestInfoGetURI(pInfo));
  return true;
}

/* True when the request's extension may not occupy another server. */
bool _TestLimitByExtension(const std::vector<ServerView>& views, const CASRequestInfo* pInfo,
                           KTLog* pLog) {
  const int max = ASRequestInfoGetExtMaxServers(pInfo);
  return max >= 0 && limitReached(views, &ServerView::sameExtension, max, "_TestLimitByExtension",
                                  "extension", ASRequestInfoGetExtension(pInfo), pInfo, pLog);
}

/* True when the request's client may not occupy another server. */
bool _TestLimitByClient(const std::vector<ServerView>& views, const CASRequestInfo* pInfo,
                        KTLog* pLog) {
  int max = 0;
  return ASRequestInfoGetMaxServerPerClient(pInfo, &max) == STATUS_OK &&
         limitReached(views, &ServerView::sameClient, max, "_TestLimitByClient", "client ip",
                      ASRequestInfoGetClientIP(pInfo), pInfo, pLog);
}

/* True when the request's site may not occupy another server; *pSpecial
 * tells whether the site's own maximum decided. */
bool _TestLimitBySite(const std::vector<ServerView>& views, const CASRequestInfo* pInfo,
                      int* pSpecial, KTLog* pLog) {
  int max = 0;
  return ASRequestInfoGetMaxServerPerSite(pInfo, &max, pSpecial) == STATUS_OK &&
         limitReached(views, &ServerView::sameSite, max, "_TestLimitBySite", "site",
                      ASRequestInfoGetSiteGUID(pInfo), pInfo, pLog);
}

/* The first candidate whose last request matched (by `field`), or -1. */
int firstMatching(const std::vector<ServerView>& views, const std::vector<int>& candidates,
                  bool ServerView::*field) {
  for (int index : candidates) {
    if (views[(size_t)index].*field) return index;
  }
  return -1;
}

/* The least recently used candidate; ties and "all used this second" go to the earlier one. */
int _ServerByIdleTime(const std::vector<ServerView>& views, const std::vector<int>& candidates) {
  time_t oldest = KTTimeNow();
  int chosen = candidates.front();
  for (int index : candidates) {
    if (views[(size_t)index].lastUse < oldest) {
      oldest = views[(size_t)index].lastUse;
      chosen = index;
    }
  }
  return chosen;
}

/* The selection proper, list lock held: *ppAS becomes the chosen server or
 * stays null (no idle server). Returns ERROR_REQUESTROUTER_LIMIT_EXCEEDED
 * when a limit refuses, else the failing status. */
KTStatus _KTASServerListGetIdle(KTASServerList* pSrvList, const CASRequestInfo* pInfo,
                                VXStrategyInfo* pStrategy, KTASServer** ppAS, KTLog* pLog) {
  // Kept per thread so that a request allocates nothing once the arrays
  // have grown to the pool's size.
  thread_local std::vector<ServerView> views;
  thread_local std::vector<int> candidates;
  *ppAS = nullptr;

  RequestKeys keys;
  copyBounded(keys.clientIP, sizeof(keys.clientIP), ASRequestInfoGetClientIP(pInfo));
  copyBounded(keys.siteGUID, sizeof(keys.siteGUID), ASRequestInfoGetSiteGUID(pInfo));
  copyBounded(keys.extension, sizeof(keys.extension), ASRequestInfoGetExtension(pInfo));

  KTStatus status = _IdleServers(pSrvList, keys, views, candidates, pLog);
  if (status != STATUS_OK || candidates.empty()) return status;

  if (_TestLimitByExtension(views, pInfo, pLog)) {
    pStrategy->limitByExtension.fetch_add(1, std::memory_order_relaxed);
    return ERROR_REQUESTROUTER_LIMIT_EXCEEDED;
  }
  if (_TestLimitByClient(views, pInfo, pLog)) {
    pStrategy->limitByClient.fetch_add(1, std::memory_order_relaxed);
    return ERROR_REQUESTROUTER_LIMIT_EXCEEDED;
  }
  int special = 0;
  if (_TestLimitBySite(views, pInfo, &special, pLog)) {
    (special ? pStrategy->limitBySpecialSite : pStrategy->limitBySite)
        .fetch_add(1, std::memory_order_relaxed);
    return ERROR_REQUESTROUTER_LIMIT_EXCEEDED;
  }

  int chosen = -1;
  // REST calls of one client are independent of each other; spreading them
  // is better than keeping them on the server of the client's last request.
  if (strcmp(ASRequestInfoGetExtension(pInfo), "rest") != 0 && keys.clientIP[0] != '\0') {
    chosen = firstMatching(views, candidates, &ServerView::sameClient);
    if (chosen >= 0) pStrategy->byClientIP.fetch_add(1, std::memory_order_relaxed);
  }
  if (chosen < 0 && keys.siteGUID[0] != '\0') {
    chosen = firstMatching(views, candidates, &ServerView::sameSite);
    if (chosen >= 0) pStrategy->bySiteGuid.fetch_add(1, std::memory_order_relaxed);
  }
  if (chosen < 0) {
    chosen = _ServerByIdleTime(views, candidates);
    pStrategy->byLastUse.fetch_add(1, std::memory_order_relaxed);
  }
  *ppAS = views[(size_t)chosen].pAS;
  return STATUS_OK;
}

/* Lock-free lookup by host and port; the caller holds the list lock. */
KTStatus _KTASServerListGetMatching(KTASServerList* pSrvList, const char* hostName,
                                    unsigned short port, KTASServer** ppASServer, KTLog* pLog) {
  int count = 0;
  KTStatus status = KTListSize(pSrvList->pServers, pSrvList->pMemMgrSys, &count);
  if (status != STATUS_OK) return status;
  for (int index = 0; index < count; ++index) {
    KTASServer* pAS = nullptr;
    status = serverAt(pSrvList, index, &pAS);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTASServerListGetMatching(): error getting AS server at the position #%d from the list of servers",
                 index);
      return status;
    }
    int matches = 0;
    status = KTASServerMatches(pAS, hostName, port, &matches, pLog);
    if (status != STATUS_OK) return status;
    if (matches) {
      *ppASServer = pAS;
      return STATUS_OK;
    }
  }
  return STATUS_OK;
}

/* Releases the parts of a list record that exist. */
void releaseParts(KTASServerList* pSrvList) {
  if (pSrvList->pServers != nullptr) KTListFree(&pSrvList->pServers, pSrvList->pMemMgrSys);
  if (pSrvList->pMemMgrSys != nullptr) pSrvList->pMemMgrSys->Free(&pSrvList->pMemMgrSys);
  if (pSrvList->pCriticalSection != nullptr) {
    pSrvList->pCriticalSection->Free(&pSrvList->pCriticalSection);
  }
}

}  // namespace

/* Returns ERROR_INVALID_PARAMETER, ERROR_MEMORY_ALLOCATION or the failing step's status. */
KTStatus KTASServerListNew(KTASServerList** ppSrvList, KTLog* pLog) {
  if (ppSrvList == nullptr || *ppSrvList != nullptr) {
    KTLogWrite(pLog, "KTASServerListNew(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTASServerList* pSrvList = static_cast<KTASServerList*>(calloc(1, sizeof(KTASServerList)));
  if (pSrvList == nullptr) {
    KTLogWrite(pLog, "KTASServerListNew(): could not allocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  KTStatus status = KTCriticalSectionThreadNew(&pSrvList->pCriticalSection);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerListNew(): error creating critical section");
  } else if ((status = KTMemoryManagerSysNew(&pSrvList->pMemMgrSys)) != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerListNew(): error creating local system memory manager");
  } else if ((status = KTListNew(&pSrvList->pServers, pSrvList->pMemMgrSys)) != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerListNew(): error creating list object to store the servers");
  }
  if (status != STATUS_OK) {
    releaseParts(pSrvList);
    free(pSrvList);
    return status;
  }
  *ppSrvList = pSrvList;
  return STATUS_OK;
}

/* Returns ERROR_INVALID_PARAMETER for a null argument. */
KTStatus KTASServerListFree(KTASServerList** ppSrvList, KTLog* pLog) {
  if (ppSrvList == nullptr || *ppSrvList == nullptr) {
    KTLogWrite(pLog, "KTASServerListFree(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  releaseParts(*ppSrvList);
  free(*ppSrvList);
  *ppSrvList = nullptr;
  return STATUS_OK;
}

/* Returns the first failing free (the records not yet freed stay listed) or the lock's status. */
KTStatus KTASServerListCleanup(KTASServerList* pSrvList, KTLog* pLog) {
  if (pSrvList == nullptr) {
    KTLogWrite(pLog, "KTASServerListCleanup(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return underListLock(pSrvList, pLog, [&] {
    KTStatus status = KTListClearAndFreeElements(pSrvList->pServers, pSrvList->pMemMgrSys,
                                                 KTASServerDestructor, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTASServerListCleanup(): error freeing the application servers (%d)", status);
    }
    return status;
  });
}

/* Returns ERROR_UNKNOWN for a duplicate host and port, else the list's or lock's status. */
KTStatus KTASServerListAdd(KTASServerList* pSrvList, KTASServer* pAS, KTLog* pLog) {
  if (pSrvList == nullptr || pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerListAdd(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return underListLock(pSrvList, pLog, [&] {
    KTASServer* pExisting = nullptr;
    KTStatus status = _KTASServerListGetMatching(pSrvList, pAS->IP, pAS->port, &pExisting, pLog);
    if (status == STATUS_OK && pExisting != nullptr) {
      KTLogWrite(pLog, "KTASServerListAdd(): the given application server already exists in the current list");
      status = ERROR_UNKNOWN;
    } else if (status == STATUS_OK) {
      status = KTListAdd(pSrvList->pServers, pSrvList->pMemMgrSys, pAS);
      if (status != STATUS_OK) {
        KTLogWrite(pLog, "KTASServerListAdd(): error adding the newly created AS server to the list");
      }
    }
    return status;
  });
}

/* Returns ERROR_NO_SUCH_ELEMENT when the record is not listed, else the lock's status. */
KTStatus KTASServerListRemove(KTASServerList* pSrvList, KTASServer* pAS, KTLog* pLog) {
  if (pSrvList == nullptr || pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerListRemove(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return underListLock(pSrvList, pLog, [&] {
    KTStatus status = KTListRemove(pSrvList->pServers, pSrvList->pMemMgrSys, pAS);
    if (status != STATUS_OK) KTLogWrite(pLog, "KTASServerListRemove(): cannot remove from list");
    return status;
  });
}

/* Returns 0 whether found or not; the list's or lock's failing status otherwise. */
KTStatus KTASServerListGetMatching(KTASServerList* pSrvList, const char* hostName,
                                   unsigned short port, KTASServer** ppASServer, KTLog* pLog) {
  if (pSrvList == nullptr || hostName == nullptr || ppASServer == nullptr ||
      *ppASServer != nullptr) {
    KTLogWrite(pLog, "KTASServerListGetMatching(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return underListLock(pSrvList, pLog, [&] {
    return _KTASServerListGetMatching(pSrvList, hostName, port, ppASServer, pLog);
  });
}

/* Returns 0 whether found or not; the list's, socket's or lock's failing status otherwise. */
KTStatus KTASServerListGetMatchingForSocket(KTASServerList* pSrvList, KTSocket* pSocket,
                                            KTASServer** ppServer, KTLog* pLog) {
  if (pSrvList == nullptr || pSocket == nullptr || ppServer == nullptr || *ppServer != nullptr) {
    KTLogWrite(pLog, "KTASServerListGetMatchingForSocket(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return underListLock(pSrvList, pLog, [&] {
    int count = 0;
    KTStatus status = KTListSize(pSrvList->pServers, pSrvList->pMemMgrSys, &count);
    for (int index = 0; status == STATUS_OK && index < count; ++index) {
      KTASServer* pAS = nullptr;
      status = serverAt(pSrvList, index, &pAS);
      if (status != STATUS_OK) {
        KTLogWrite(pLog, "KTASServerListGetMatchingForSocket(): error getting AS server at the position #%d from the list of servers",
                   index);
        break;
      }
      int matches = 0;
      status = KTASServerSocketMatches(pAS, pSocket, &matches, pLog);
      if (status == STATUS_OK && matches) {
        *ppServer = pAS;
        break;
      }
    }
    return status;
  });
}

/* Returns the first non-zero iterator result, else the lock's status. */
KTStatus KTASServerListForEach(KTASServerList* pSrvList, KTListIterator pIterator, KTLog* pLog,
                               ...) {
  if (pSrvList == nullptr || pIterator == nullptr) {
    KTLogWrite(pLog, "KTASServerListForEach(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  va_list args;
  va_start(args, pLog);
  KTStatus status = underListLock(pSrvList, pLog, [&] {
    return KTListVForEach(pSrvList->pServers, pSrvList->pMemMgrSys, pIterator, args);
  });
  va_end(args);
  return status;
}

/* Returns the list's or lock's failing status. */
KTStatus KTASServerListSize(KTASServerList* pSrvList, int* pCount, KTLog* pLog) {
  if (pSrvList == nullptr || pCount == nullptr) {
    KTLogWrite(pLog, "KTASServerListSize(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return underListLock(pSrvList, pLog, [&] {
    KTStatus status = KTListSize(pSrvList->pServers, pSrvList->pMemMgrSys, pCount);
    if (status != STATUS_OK) KTLogWrite(pLog, "KTASServerListSize(): cannot get list size (%d)", status);
    return status;
  });
}

/* Returns the critical section's failing status. */
KTStatus KTASServerListLock(KTASServerList* pSrvList, KTLog* pLog) {
  return enterOrLeave(pSrvList, true, pLog);
}

/* Returns the critical section's failing status. */
KTStatus KTASServerListUnlock(KTASServerList* pSrvList, KTLog* pLog) {
  return enterOrLeave(pSrvList, false, pLog);
}

/* Returns ERROR_NO_SUCH_ELEMENT, ERROR_REQUESTROUTER_LIMIT_EXCEEDED, ERROR_INVALID_PARAMETER or
 * an internal failure; nothing is assigned then. */
KTStatus KTASServerListGetIdle(KTASServerList* pSrvList, const CASRequestInfo* pASRequestInfo,
                               VXStrategyInfo* pStrategyInfo, KTBuffer* pIP,
                               unsigned short* pPort, KTLog* pLog) {
  if (pSrvList == nullptr || pASRequestInfo == nullptr || pStrategyInfo == nullptr ||
      pIP == nullptr || pPort == nullptr) {
    KTLogWrite(pLog, "KTASServerListGetIdle(): wrong arguments (%x %x %x %x %x)", KT_PTR32(pSrvList),
               KT_PTR32(pASRequestInfo), KT_PTR32(pStrategyInfo), KT_PTR32(pIP), KT_PTR32(pPort));
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTASServerListLock(pSrvList, pLog);
  if (status != STATUS_OK) return status;
  // A server's own report (working, monitor) may change its state between the
  // selection's snapshot and the assignment, since reports take only the
  // record's lock. Such a server is no longer idle: select again rather than
  // answering the web adapter with an error.
  for (int attempt = 0; attempt < KTASSERVERLIST_SELECT_ATTEMPTS; ++attempt) {
    KTASServer* pAS = nullptr;
    status = _KTASServerListGetIdle(pSrvList, pASRequestInfo, pStrategyInfo, &pAS, pLog);
    if (status == STATUS_OK && pAS == nullptr) {
      status = ERROR_NO_SUCH_ELEMENT;
    } else if (status == STATUS_OK) {
      status = KTASServerGetHost(pAS, pIP, pPort, pLog);
      // Assigned inside the list lock: the next selection counts it as in use.
      if (status == STATUS_OK) status = KTASServerSetAssigned(pAS, pASRequestInfo, pLog);
      KTDEBUG_MSG(KTDEBUG_RROUTER, "KTASServerListGetIdle(): %s:%hu for %s%s (%d)", pAS->IP,
                  pAS->port, ASRequestInfoGetHost(pASRequestInfo),
                  ASRequestInfoGetURI(pASRequestInfo), status);
      if (status == ERROR_UNKNOWN) {
        KTASStatus current = KTASSTATUS_IDLE;
        if (KTASServerGetStatus(pAS, &current, pLog) == STATUS_OK && current != KTASSTATUS_IDLE) {
          continue;
        }
      }
    }
    break;
  }
  // A failed unlock is logged by the unlock itself; the selection's result stands.
  KTASServerListUnlock(pSrvList, pLog);
  return status;
}

/* Returns the status of KTASServerFree. */
long KTASServerDestructor(void** ppElement, va_list args) {
  KTLog* pLog = va_arg(args, KTLog*);
  return KTASServerFree(reinterpret_cast<KTASServer**>(ppElement), pLog);
}
