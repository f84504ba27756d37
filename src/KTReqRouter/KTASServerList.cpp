/* KTASServerList.cpp - the locked list of one pool's application servers and the idle-server selection.
 *
 * The selection runs entirely under the list lock and walks the pool once
 * for every request, so that walk is kept cheap: it reads each server's
 * state and the 64-bit keys of its last client, site and extension as
 * atomics, without the server's lock and without comparing texts. From it
 * come the candidates (the idle servers of the highest priority) and, per
 * limit that applies, how many servers in use have the request's key. Texts
 * are compared, under each server's own lock, only where a key matches and
 * the answer depends on it: a limit whose key count reaches the maximum is
 * counted exactly, and an affinity match is confirmed. The limits are tested
 * in the order extension, client, site; then the choice goes by client
 * affinity, site affinity or least recent use. The chosen server is
 * assigned before the lock is released; a server that left the idle state
 * since the walk is refused by the assignment and the selection runs again.
 */
#include "KTASServerList.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTSocket.h"
#include "KTString.h"
#include "KTUtils.h"
#include "VXASRequestInfo.h"
#include "internal/KTASServerListInternal.h"

/* How often the selection is repeated when the chosen server left the idle
 * state before it could be assigned. */
constexpr int KTASSERVERLIST_SELECT_ATTEMPTS = 3;

/* How many records ahead the selection's walk asks for the next record's
 * state line. */
constexpr int kPrefetchAhead = 8;

namespace {

/* The texts of a request bounded exactly as a server record stores them, so
 * that a stored value and the request it came from always compare equal,
 * with their keys (KTASServerTextKey). */
struct RequestKeys {
  char clientIP[KTASSERVER_CLIENTIP_SIZE];
  char siteGUID[KTASSERVER_SITEGUID_SIZE];
  char extension[KTASSERVER_EXTENSION_SIZE];
  uint64_t clientKey;
  uint64_t siteKey;
  uint64_t extensionKey;
};

/* Logs a failed enter of the list's lock as KTASServerListLock does; returns its status. */
KTStatus enterFailed(const KTLockGuard& guard, KTLog* pLog) {
  KTLogWrite(pLog, "KTASServerListLock(): failed to enter critical section (%d)", guard.status());
  return guard.status();
}

/* Ends an operation that holds the list's lock through `guard`: leaves it
 * and returns the first error, else the leave's status (the guards' rule),
 * logging a failed leave as KTASServerListUnlock does. */
KTStatus leave(KTLockGuard& guard, KTStatus status, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  const KTStatus leaveStatus = guard.unlock();
  if (leaveStatus != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerListUnlock(): failed to leave critical section (%d)", leaveStatus);
  }
  return KTLockFinish(status, leaveStatus, nullptr, nullptr);
}

/* The status of an iterator's result, as the list for-each of KTList gives it. */
KTStatus iteratorStatus(long result) {
  if (result == 0) return STATUS_OK;
  if (result != (long)(KTStatus)result) return ERROR_UNKNOWN;
  return (KTStatus)result;
}

/* One of the three last-request texts: the view's key and the record's
 * text, and the request's text and key. */
struct TextField {
  KTASServerText storedText;
  const char* requestText;
  uint64_t requestKey;
};

TextField clientField(const RequestKeys& keys) {
  return {KTASSERVER_TEXT_CLIENTIP, keys.clientIP, keys.clientKey};
}
TextField siteField(const RequestKeys& keys) {
  return {KTASSERVER_TEXT_SITEGUID, keys.siteGUID, keys.siteKey};
}
TextField extensionField(const RequestKeys& keys) {
  return {KTASSERVER_TEXT_EXTENSION, keys.extension, keys.extensionKey};
}

/* True when the view's key of the field equals the request's: the texts
 * may be equal. Reads no text, takes no lock. */
bool keyMatches(const KTASServerView* pView, const TextField& field) {
  uint64_t key = 0;
  switch (field.storedText) {
    case KTASSERVER_TEXT_CLIENTIP: key = KTASServerViewClientKey(pView); break;
    case KTASSERVER_TEXT_SITEGUID: key = KTASServerViewSiteKey(pView); break;
    default: key = KTASServerViewExtensionKey(pView); break;
  }
  return key == field.requestKey;
}

/* Compares the record's text of the field with the request's under the
 * record's lock; *pInUse (when given) receives whether the server is in use
 * at that moment. Returns the lock's failing status. */
KTStatus textMatches(KTASServer* pAS, const TextField& field, bool* pMatches, bool* pInUse,
                     KTLog* pLog) {
  int matches = 0;
  int busy = 0;
  KTStatus status = KTASServerTextEquals(pAS, field.storedText, field.requestText, &matches,
                                         pInUse != nullptr ? &busy : nullptr, pLog);
  *pMatches = matches != 0;
  if (pInUse != nullptr) *pInUse = busy != 0;
  return status;
}

/* The candidates of one selection: the idle servers of the highest idle
 * priority, in list order, in the walking thread's storage. */
struct Candidates {
  KTASServer** servers;
  int count;
  KTASServer* const* begin() const { return servers; }
  KTASServer* const* end() const { return servers + count; }
};

/* What one walk over the list found: the candidates and, for each limit
 * that applies, the number of servers in use whose key equals the
 * request's. A key count is an upper bound of the true count (distinct
 * texts may share a key). */
struct Walk {
  Candidates candidates;
  int extensionKeys;
  int clientKeys;
  int siteKeys;
  /* Found in the same pass, so that a pool of thousands of servers is read
   * once per request: the first candidate whose client key (site key)
   * equals the request's, and the least recently used candidate (ties and
   * "all used this second" go to the earlier one; lastUse changes only in
   * an assignment, which runs under the list lock that the walk holds). */
  KTASServer* pFirstClientKey;
  KTASServer* pFirstSiteKey;
  KTASServer* pLeastRecent;
};

/* Which limits the request carries, with their maxima. */
struct Limits {
  int extensionMax;  /* < 0: no limit */
  bool hasClient;
  int clientMax;
  bool hasSite;
  int siteMax;
  int siteIsSpecial;
};

/* Walks the list once (list lock held): candidates and key counts. Reads the
 * state and keys without the records' locks; a server that changes state
 * meanwhile is caught by the assignment, which checks the state again.
 * Returns ERROR_MEMORY_ALLOCATION when the candidate array cannot grow. */
KTStatus _IdleServers(KTASServerList* pSrvList, const RequestKeys& keys, const Limits& limits,
                      Walk* pWalk, KTLog* pLog) KT_REQUIRES(pSrvList->lock) {
  pSrvList->lock.AssertHeld();
  // Kept per thread and only grown, so that a request allocates nothing
  // once the storage has reached the pool's size.
  thread_local std::vector<KTASServer*> storage;
  const int count = pSrvList->orderCount;
  try {
    if (storage.size() < (size_t)count) storage.resize((size_t)count);
  } catch (const std::exception&) {
    KTLogWrite(pLog, "_IdleServers(): cannot allocate the candidate array (count=%d)", count);
    return ERROR_MEMORY_ALLOCATION;
  }
  KTASServer** const out = storage.data();
  const KTASServerView* const* const views = pSrvList->ppOrder;
  const bool countExtension = limits.extensionMax >= 0;
  const bool countAny = countExtension || limits.hasClient || limits.hasSite;
  int found = 0;
  int maxPriority = 0;
  const time_t now = KTTimeNow();
  time_t oldest = now;
  KTASServer* pFirstClient = nullptr;
  KTASServer* pFirstSite = nullptr;
  KTASServer* pLeastRecent = nullptr;
  for (int index = 0; index < count; ++index) {
    const KTASServerView* pView = views[index];
    // The views are often cold when a request comes in after a pause, and
    // lie in order only as long as servers came and went in order: ask for
    // the ones a few steps ahead early.
    if (index + kPrefetchAhead < count) __builtin_prefetch(views[index + kPrefetchAhead], 0, 1);
    const KTASStatus state = KTASServerViewState(pView);
    if (state == KTASSTATUS_IDLE) {
      const int priority = KTASServerViewPriority(pView);
      KTASServer* const pAS = KTASServerViewServer(pView);
      if (found == 0 || priority > maxPriority) {
        // A higher priority discards the candidates collected so far.
        maxPriority = priority;
        found = 0;
        pFirstClient = nullptr;
        pFirstSite = nullptr;
        pLeastRecent = pAS;
        oldest = now;
      } else if (priority != maxPriority) {
        continue;
      }
      out[found++] = pAS;
      const time_t lastUse = KTASServerViewLastUse(pView);
      if (lastUse < oldest) {
        oldest = lastUse;
        pLeastRecent = pAS;
      }
      if (pFirstClient == nullptr && KTASServerViewClientKey(pView) == keys.clientKey) {
        pFirstClient = pAS;
      }
      if (pFirstSite == nullptr && KTASServerViewSiteKey(pView) == keys.siteKey) {
        pFirstSite = pAS;
      }
    } else if (countAny && KTASStatusIsBusy(state)) {
      if (countExtension && KTASServerViewExtensionKey(pView) == keys.extensionKey) {
        ++pWalk->extensionKeys;
      }
      if (limits.hasClient && KTASServerViewClientKey(pView) == keys.clientKey) {
        ++pWalk->clientKeys;
      }
      if (limits.hasSite && KTASServerViewSiteKey(pView) == keys.siteKey) {
        ++pWalk->siteKeys;
      }
    }
  }
  pWalk->candidates.servers = out;
  pWalk->candidates.count = found;
  pWalk->pFirstClientKey = pFirstClient;
  pWalk->pFirstSiteKey = pFirstSite;
  pWalk->pLeastRecent = pLeastRecent;
  return STATUS_OK;
}

/* The exact number of servers in use whose text of the field equals the
 * request's, each read under its own lock. Returns the lock's failing status. */
KTStatus countInUse(KTASServerList* pSrvList, const TextField& field, int* pCount, KTLog* pLog)
    KT_REQUIRES(pSrvList->lock) {
  *pCount = 0;
  for (int index = 0; index < pSrvList->orderCount; ++index) {
    const KTASServerView* pView = pSrvList->ppOrder[index];
    if (!keyMatches(pView, field)) continue;
    KTASServer* pAS = KTASServerViewServer(pView);
    bool matches = false;
    bool inUse = false;
    KTStatus status = textMatches(pAS, field, &matches, &inUse, pLog);
    if (status != STATUS_OK) return status;
    if (matches && inUse) ++*pCount;
  }
  return STATUS_OK;
}

/* Tests one limit: *pExceeded becomes true when `max` servers or more are in
 * use whose last request matched the field; then the refusal is traced and
 * logged (repeats of the same key suppressed). The key count of the walk
 * settles most requests; only when it reaches the maximum are the texts
 * compared. `function` and `what` name the limit in the texts. Returns the
 * failing status of a record's lock. */
KTStatus limitReached(KTASServerList* pSrvList, const TextField& field, int keyCount, int max,
                      const char* function, const char* what, const char* requestOwnText,
                      const CASRequestInfo* pInfo, bool* pExceeded, KTLog* pLog)
    KT_REQUIRES(pSrvList->lock) {
  *pExceeded = false;
  if (keyCount < max) return STATUS_OK;
  // No key matched: no text can match either (only a maximum of 0 gets here).
  int count = 0;
  KTStatus status = keyCount > 0 ? countInUse(pSrvList, field, &count, pLog) : STATUS_OK;
  if (status != STATUS_OK || count < max) return status;
  *pExceeded = true;
  KTDEBUG_MSG(KTDEBUG_RROUTER, "%s(): limit exceeded for %s: %s - %d of %d servers are in use",
              function, what, requestOwnText, count, max);
  char shortText[64];
  snprintf(shortText, sizeof shortText, "%s(): limit exceeded for %s", function, what);
  // The request's own text, not the copy cut to the record's size: the line
  // names what was asked for, and repeats are those of that same text.
  KTLogWriteLimited(pLog, requestOwnText, shortText,
                    "%s(): limit exceeded for %s: %s - %d of %d servers are in use; request from %s for %s%s",
                    function, what, requestOwnText, count, max, ASRequestInfoGetClientIP(pInfo),
                    ASRequestInfoGetHost(pInfo), ASRequestInfoGetURI(pInfo));
  return STATUS_OK;
}

/* The first candidate whose last request matched the field, or null;
 * pFirstKey is the first candidate whose key matched (null: none did).
 * Returns the failing status of a record's lock. */
KTStatus firstMatching(const Candidates& candidates, KTASServer* pFirstKey,
                       const TextField& field, KTASServer** ppChosen, KTLog* pLog) {
  *ppChosen = nullptr;
  if (pFirstKey == nullptr) return STATUS_OK;
  // Nearly always the first key's text matches; only when two texts share
  // a key do the other candidates need a look.
  bool matches = false;
  KTStatus status = textMatches(pFirstKey, field, &matches, nullptr, pLog);
  if (status != STATUS_OK) return status;
  if (matches) {
    *ppChosen = pFirstKey;
    return STATUS_OK;
  }
  for (KTASServer* pAS : candidates) {
    if (pAS == pFirstKey || !keyMatches(KTASServerViewOf(pAS), field)) continue;
    status = textMatches(pAS, field, &matches, nullptr, pLog);
    if (status != STATUS_OK) return status;
    if (matches) {
      *ppChosen = pAS;
      return STATUS_OK;
    }
  }
  return STATUS_OK;
}

/* The selection proper, list lock held: *ppAS becomes the chosen server or
 * stays null (no idle server), and *ppChosenBy the strategy counter that
 * the choice counts for once its assignment succeeds. Returns
 * ERROR_REQUESTROUTER_LIMIT_EXCEEDED when a limit refuses, else the failing
 * status. With pExplain set (an explain request) the same walk appends its
 * lines there instead of counting a refusal or logging it; the get-server
 * path passes null and builds no text. */
KTStatus _KTASServerListGetIdle(KTASServerList* pSrvList, const CASRequestInfo* pInfo,
                                VXStrategyInfo* pStrategy, KTASServer** ppAS,
                                std::atomic<int>** ppChosenBy, KTBuffer* pExplain, KTLog* pLog)
    KT_REQUIRES(pSrvList->lock) {
  *ppAS = nullptr;
  *ppChosenBy = nullptr;

  RequestKeys keys;
  KTStrCopyBounded(keys.clientIP, sizeof(keys.clientIP), ASRequestInfoGetClientIP(pInfo));
  KTStrCopyBounded(keys.siteGUID, sizeof(keys.siteGUID), ASRequestInfoGetSiteGUID(pInfo));
  KTStrCopyBounded(keys.extension, sizeof(keys.extension), ASRequestInfoGetExtension(pInfo));
  keys.clientKey = KTASServerTextKey(keys.clientIP, sizeof(keys.clientIP));
  keys.siteKey = KTASServerTextKey(keys.siteGUID, sizeof(keys.siteGUID));
  keys.extensionKey = KTASServerTextKey(keys.extension, sizeof(keys.extension));

  Limits limits;
  limits.extensionMax = ASRequestInfoGetExtMaxServers(pInfo);
  limits.clientMax = 0;
  limits.hasClient = ASRequestInfoGetMaxServerPerClient(pInfo, &limits.clientMax) == STATUS_OK;
  limits.siteMax = 0;
  limits.siteIsSpecial = 0;
  limits.hasSite =
      ASRequestInfoGetMaxServerPerSite(pInfo, &limits.siteMax, &limits.siteIsSpecial) == STATUS_OK;

  Walk walk = {{nullptr, 0}, 0, 0, 0, nullptr, nullptr, nullptr};
  KTStatus status = _IdleServers(pSrvList, keys, limits, &walk, pLog);
  if (status != STATUS_OK) return status;
  const Candidates& candidates = walk.candidates;
  if (pExplain != nullptr) {
    KTBufferStrAppendf(pExplain, "candidates %d\n", candidates.count);
    for (KTASServer* pAS : candidates) {
      KTBufferStrAppendf(pExplain, "candidate %s %hu %d\n", KTASServerGetIP(pAS),
                         KTASServerGetPort(pAS), KTASServerViewPriority(KTASServerViewOf(pAS)));
    }
    if (candidates.count == 0) KTBufferStrAppendf(pExplain, "outcome no-idle\n");
  }
  if (candidates.count == 0) return STATUS_OK;

  // The limits in the order they are tested; the first one exceeded decides
  // the counter.
  struct LimitTest {
    bool applies;
    TextField field;
    int keyCount;
    int max;
    const char* function;
    const char* what;
    const char* requestOwnText;
    std::atomic<int>* pCounter;
    const char* explainName;
  };
  const LimitTest tests[] = {
      {limits.extensionMax >= 0, extensionField(keys), walk.extensionKeys, limits.extensionMax,
       "_TestLimitByExtension", "extension", ASRequestInfoGetExtension(pInfo),
       &pStrategy->limitByExtension, "extension"},
      {limits.hasClient, clientField(keys), walk.clientKeys, limits.clientMax,
       "_TestLimitByClient", "client ip", ASRequestInfoGetClientIP(pInfo), &pStrategy->limitByClient,
       "client"},
      {limits.hasSite, siteField(keys), walk.siteKeys, limits.siteMax, "_TestLimitBySite", "site",
       ASRequestInfoGetSiteGUID(pInfo),
       limits.siteIsSpecial ? &pStrategy->limitBySpecialSite : &pStrategy->limitBySite,
       limits.siteIsSpecial ? "special-site" : "site"},
  };
  for (const LimitTest& test : tests) {
    if (!test.applies) continue;
    bool exceeded = false;
    if (pExplain == nullptr) {
      status = limitReached(pSrvList, test.field, test.keyCount, test.max, test.function,
                            test.what, test.requestOwnText, pInfo, &exceeded, pLog);
    } else {
      // The exact count, also below the maximum, and no refusal line in the log.
      int count = 0;
      status = test.keyCount > 0 ? countInUse(pSrvList, test.field, &count, pLog) : STATUS_OK;
      exceeded = status == STATUS_OK && count >= test.max;
      KTBufferStrAppendf(pExplain, "limit %s max %d count %d%s\n", test.explainName, test.max,
                         count, exceeded ? " refuses" : "");
      if (exceeded) KTBufferStrAppendf(pExplain, "outcome refused %s\n", test.explainName);
    }
    if (status != STATUS_OK) return status;
    if (exceeded) {
      if (pExplain == nullptr) test.pCounter->fetch_add(1, std::memory_order_relaxed);
      return ERROR_REQUESTROUTER_LIMIT_EXCEEDED;
    }
  }

  KTASServer* pChosen = nullptr;
  // REST calls of one client are independent of each other; spreading them
  // is better than keeping them on the server of the client's last request.
  if (strcmp(ASRequestInfoGetExtension(pInfo), "rest") != 0 && keys.clientIP[0] != '\0') {
    status = firstMatching(candidates, walk.pFirstClientKey, clientField(keys), &pChosen, pLog);
    if (status != STATUS_OK) return status;
    if (pChosen != nullptr) *ppChosenBy = &pStrategy->byClientIP;
  }
  if (pChosen == nullptr && keys.siteGUID[0] != '\0') {
    status = firstMatching(candidates, walk.pFirstSiteKey, siteField(keys), &pChosen, pLog);
    if (status != STATUS_OK) return status;
    if (pChosen != nullptr) *ppChosenBy = &pStrategy->bySiteGuid;
  }
  if (pChosen == nullptr) {
    pChosen = walk.pLeastRecent;
    *ppChosenBy = &pStrategy->byLastUse;
  }
  if (pExplain != nullptr) {
    const char* rule = *ppChosenBy == &pStrategy->byClientIP   ? "client"
                       : *ppChosenBy == &pStrategy->bySiteGuid ? "site"
                                                                : "lru";
    KTBufferStrAppendf(pExplain, "outcome chosen %s %hu rule %s\n", KTASServerGetIP(pChosen),
                       KTASServerGetPort(pChosen), rule);
  }
  *ppAS = pChosen;
  return STATUS_OK;
}

/* Lookup by host and port without taking the lock; the caller holds it. */
KTStatus _KTASServerListGetMatching(KTASServerList* pSrvList, const char* hostName,
                                    unsigned short port, KTASServer** ppASServer, KTLog* pLog)
    KT_REQUIRES(pSrvList->lock) {
  for (int index = 0; index < pSrvList->orderCount; ++index) {
    // The port never changes after creation: a cheap first test before the host text.
    const KTASServerView* pView = pSrvList->ppOrder[index];
    if (KTASServerViewPort(pView) != port) continue;
    KTASServer* pAS = KTASServerViewServer(pView);
    int matches = 0;
    KTStatus status = KTASServerMatches(pAS, hostName, port, &matches, pLog);
    if (status != STATUS_OK) return status;
    if (matches) {
      *ppASServer = pAS;
      return STATUS_OK;
    }
  }
  return STATUS_OK;
}

/* Makes room for `count` records in the order array. Returns
 * ERROR_MEMORY_ALLOCATION, array unchanged, when it cannot grow. */
KTStatus reserveOrder(KTASServerList* pSrvList, int count) KT_REQUIRES(pSrvList->lock) {
  pSrvList->lock.AssertHeld();
  if (count <= pSrvList->orderCapacity) return STATUS_OK;
  int capacity = pSrvList->orderCapacity > 0 ? pSrvList->orderCapacity : 16;
  while (capacity < count) capacity *= 2;
  void* pGrown = realloc(pSrvList->ppOrder, (size_t)capacity * sizeof(KTASServerView*));
  if (pGrown == nullptr) return ERROR_MEMORY_ALLOCATION;
  pSrvList->ppOrder = static_cast<const KTASServerView**>(pGrown);
  pSrvList->orderCapacity = capacity;
  return STATUS_OK;
}

/* Releases the parts of a list record that exist. Runs only where no other
 * thread can reach the list. */
void releaseParts(KTASServerList* pSrvList) KT_NO_THREAD_SAFETY_ANALYSIS {
  free(pSrvList->ppOrder);
  pSrvList->ppOrder = nullptr;
  pSrvList->orderCount = 0;
  pSrvList->orderCapacity = 0;
  pSrvList->lock.Destroy();
}

}  // namespace

KTMutex& KTASServerListMutex(KTASServerList* pSrvList) { return pSrvList->lock; }

KTStatus KTASServerListNew(KTASServerList** ppSrvList, KTLog* pLog) {
  if (ppSrvList == nullptr || *ppSrvList != nullptr) {
    KTLogWrite(pLog, "KTASServerListNew(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTASServerList* pSrvList = new (std::nothrow) KTASServerList();
  if (pSrvList == nullptr) {
    KTLogWrite(pLog, "KTASServerListNew(): could not allocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  KTStatus status = pSrvList->lock.Create();
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerListNew(): error creating critical section");
    releaseParts(pSrvList);
    delete pSrvList;
    return status;
  }
  *ppSrvList = pSrvList;
  return STATUS_OK;
}

KTStatus KTASServerListFree(KTASServerList** ppSrvList, KTLog* pLog) {
  if (ppSrvList == nullptr || *ppSrvList == nullptr) {
    KTLogWrite(pLog, "KTASServerListFree(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  releaseParts(*ppSrvList);
  delete *ppSrvList;
  *ppSrvList = nullptr;
  return STATUS_OK;
}

KTStatus KTASServerListCleanup(KTASServerList* pSrvList, KTLog* pLog) {
  if (pSrvList == nullptr) {
    KTLogWrite(pLog, "KTASServerListCleanup(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pSrvList->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  KTStatus status = STATUS_OK;
  while (pSrvList->orderCount > 0) {
    // KTASServerFree releases the record also when a step fails: it leaves
    // the list either way.
    KTASServer* pAS = KTASServerViewServer(pSrvList->ppOrder[pSrvList->orderCount - 1]);
    status = KTASServerFree(&pAS, pLog);
    --pSrvList->orderCount;
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTASServerListCleanup(): error freeing the application servers (%d)", status);
      break;
    }
  }
  return leave(guard, status, pLog);
}

KTStatus KTASServerListAdd(KTASServerList* pSrvList, KTASServer* pAS, KTLog* pLog) {
  if (pSrvList == nullptr || pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerListAdd(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pSrvList->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  KTASServer* pExisting = nullptr;
  KTStatus status = _KTASServerListGetMatching(pSrvList, KTASServerGetIP(pAS),
                                               KTASServerGetPort(pAS), &pExisting, pLog);
  if (status == STATUS_OK && pExisting != nullptr) {
    KTLogWrite(pLog, "KTASServerListAdd(): the given application server already exists in the current list");
    status = ERROR_UNKNOWN;
  } else if (status == STATUS_OK) {
    status = reserveOrder(pSrvList, pSrvList->orderCount + 1);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTASServerListAdd(): error adding the newly created AS server to the list");
    } else {
      pSrvList->ppOrder[pSrvList->orderCount++] = KTASServerViewOf(pAS);
    }
  }
  return leave(guard, status, pLog);
}

KTStatus KTASServerListRemove(KTASServerList* pSrvList, KTASServer* pAS, KTLog* pLog) {
  if (pSrvList == nullptr || pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerListRemove(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pSrvList->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  for (int index = 0; index < pSrvList->orderCount; ++index) {
    if (KTASServerViewServer(pSrvList->ppOrder[index]) != pAS) continue;
    memmove(&pSrvList->ppOrder[index], &pSrvList->ppOrder[index + 1],
            (size_t)(pSrvList->orderCount - index - 1) * sizeof(KTASServerView*));
    --pSrvList->orderCount;
    return leave(guard, STATUS_OK, pLog);
  }
  KTLogWrite(pLog, "KTASServerListRemove(): cannot remove from list");
  return leave(guard, ERROR_NO_SUCH_ELEMENT, pLog);
}

KTStatus KTASServerListGetMatching(KTASServerList* pSrvList, const char* hostName,
                                   unsigned short port, KTASServer** ppASServer, KTLog* pLog) {
  if (pSrvList == nullptr || hostName == nullptr || ppASServer == nullptr ||
      *ppASServer != nullptr) {
    KTLogWrite(pLog, "KTASServerListGetMatching(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pSrvList->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  KTStatus status = _KTASServerListGetMatching(pSrvList, hostName, port, ppASServer, pLog);
  return leave(guard, status, pLog);
}

KTStatus KTASServerListGetMatchingForSocket(KTASServerList* pSrvList, KTSocket* pSocket,
                                            KTASServer** ppServer, KTLog* pLog) {
  if (pSrvList == nullptr || pSocket == nullptr || ppServer == nullptr || *ppServer != nullptr) {
    KTLogWrite(pLog, "KTASServerListGetMatchingForSocket(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pSrvList->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  KTStatus status = STATUS_OK;
  for (int index = 0; index < pSrvList->orderCount; ++index) {
    KTASServer* pAS = KTASServerViewServer(pSrvList->ppOrder[index]);
    int matches = 0;
    status = KTASServerSocketMatches(pAS, pSocket, &matches, pLog);
    if (status != STATUS_OK) break;
    if (matches) {
      *ppServer = pAS;
      break;
    }
  }
  return leave(guard, status, pLog);
}

KTStatus KTASServerListForEach(KTASServerList* pSrvList, KTListIterator pIterator, KTLog* pLog,
                               ...) {
  if (pSrvList == nullptr || pIterator == nullptr) {
    KTLogWrite(pLog, "KTASServerListForEach(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pSrvList->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  va_list args;
  va_start(args, pLog);
  KTStatus status = STATUS_OK;
  for (int index = 0; index < pSrvList->orderCount && status == STATUS_OK; ++index) {
    va_list callArgs;
    va_copy(callArgs, args);
    status = iteratorStatus(pIterator(KTASServerViewServer(pSrvList->ppOrder[index]), callArgs));
    va_end(callArgs);
  }
  va_end(args);
  return leave(guard, status, pLog);
}

KTStatus KTASServerListSize(KTASServerList* pSrvList, int* pCount, KTLog* pLog) {
  if (pSrvList == nullptr || pCount == nullptr) {
    KTLogWrite(pLog, "KTASServerListSize(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pSrvList->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  *pCount = pSrvList->orderCount;
  return leave(guard, STATUS_OK, pLog);
}

/* Not analysed: the lock is held on return only when the status is 0. */
KTStatus KTASServerListLock(KTASServerList* pSrvList, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pSrvList == nullptr || !pSrvList->lock.Created()) {
    KTLogWrite(pLog, "KTASServerListLock(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = pSrvList->lock.Lock();
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerListLock(): failed to enter critical section (%d)", status);
  }
  return status;
}

/* Not analysed: a null list holds nothing to leave. */
KTStatus KTASServerListUnlock(KTASServerList* pSrvList, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pSrvList == nullptr || !pSrvList->lock.Created()) {
    KTLogWrite(pLog, "KTASServerListUnlock(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = pSrvList->lock.Unlock();
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerListUnlock(): failed to leave critical section (%d)", status);
  }
  return status;
}

KTStatus KTASServerListGetIdle(KTASServerList* pSrvList, const CASRequestInfo* pASRequestInfo,
                               VXStrategyInfo* pStrategyInfo, KTBuffer* pIP,
                               unsigned short* pPort, KTLog* pLog) {
  if (pSrvList == nullptr || pASRequestInfo == nullptr || pStrategyInfo == nullptr ||
      pIP == nullptr || pPort == nullptr) {
    KTLogWrite(pLog, "KTASServerListGetIdle(): wrong arguments (%x %x %x %x %x)", KT_PTR32(pSrvList),
               KT_PTR32(pASRequestInfo), KT_PTR32(pStrategyInfo), KT_PTR32(pIP), KT_PTR32(pPort));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pSrvList->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  // A server's own report (working, monitor) may change its state between the
  // selection's snapshot and the assignment, since reports take only the
  // record's lock. Such a server is no longer idle: select again rather than
  // answering the web adapter with an error.
  KTStatus status = STATUS_OK;
  for (int attempt = 0; attempt < KTASSERVERLIST_SELECT_ATTEMPTS; ++attempt) {
    KTASServer* pAS = nullptr;
    std::atomic<int>* pChosenBy = nullptr;
    status = _KTASServerListGetIdle(pSrvList, pASRequestInfo, pStrategyInfo, &pAS, &pChosenBy,
                                    nullptr, pLog);
    if (status == STATUS_OK && pAS == nullptr) {
      status = ERROR_NO_SUCH_ELEMENT;
    } else if (status == STATUS_OK) {
      status = KTASServerGetHost(pAS, pIP, pPort, pLog);
      // Assigned inside the list lock: the next selection counts it as in use.
      if (status == STATUS_OK) status = KTASServerSetAssigned(pAS, pASRequestInfo, pLog);
      // Only the attempt that assigned counts, so the columns never exceed the hits.
      if (status == STATUS_OK) pChosenBy->fetch_add(1, std::memory_order_relaxed);
      KTDEBUG_MSG(KTDEBUG_RROUTER, "KTASServerListGetIdle(): %s:%hu for %s%s (%d)",
                  KTASServerGetIP(pAS), KTASServerGetPort(pAS),
                  ASRequestInfoGetHost(pASRequestInfo), ASRequestInfoGetURI(pASRequestInfo),
                  status);
      if (status == ERROR_UNKNOWN) {
        KTASStatus current = KTASSTATUS_IDLE;
        if (KTASServerGetStatus(pAS, &current, pLog) == STATUS_OK && current != KTASSTATUS_IDLE) {
          continue;
        }
      }
    }
    break;
  }
  // A failed leave is logged; the selection's result stands.
  leave(guard, STATUS_OK, pLog);
  return status;
}

KTStatus KTASServerListExplain(KTASServerList* pSrvList, const CASRequestInfo* pASRequestInfo,
                               KTBuffer* pText, KTLog* pLog) {
  if (pSrvList == nullptr || pASRequestInfo == nullptr || pText == nullptr) {
    KTLogWrite(pLog, "KTASServerListExplain(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pSrvList->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  // Counters the walk may point at but never touches with a sink set.
  VXStrategyInfo unused{};
  KTASServer* pAS = nullptr;
  std::atomic<int>* pChosenBy = nullptr;
  KTStatus status =
      _KTASServerListGetIdle(pSrvList, pASRequestInfo, &unused, &pAS, &pChosenBy, pText, pLog);
  if (status == ERROR_REQUESTROUTER_LIMIT_EXCEEDED) status = STATUS_OK;
  return leave(guard, status, pLog);
}

long KTASServerDestructor(void** ppElement, va_list args) {
  KTLog* pLog = va_arg(args, KTLog*);
  return KTASServerFree(reinterpret_cast<KTASServer**>(ppElement), pLog);
}
