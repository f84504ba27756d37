/* KTASServerInternal.h - the layout of the server record and of its view, private to the server registry.
 *
 * Included only by KTASServer.cpp, KTASServerView.cpp and KTASServerList.cpp (the list holds
 * the views of its records and walks them for the selection); every other
 * module goes through the functions of KTASServer.h. Fields marked
 * KT_LOCK_FREE are atomics, or written once in KTASServerNew before any
 * other thread sees the record; the others are guarded by the record's lock.
 */
#ifndef KTASSERVERINTERNAL_H
#define KTASSERVERINTERNAL_H

#include <stdint.h>
#include <time.h>

#include <atomic>

#include "KTASServer.h"
#include "KTLock.h"
#include "KTThreadSafety.h"
#include "KTUtils.h"
#include "VXCacheInfo.h"

/* The fields that the selection reads for every server of a pool without
 * taking the record's lock. They live apart from the record, in a view of
 * one cache line taken from a dense store shared by all records, so that a
 * walk over thousands of servers reads consecutive lines instead of one
 * scattered page per server. The record owns its view for its whole life. */
typedef struct KTASServerView {
  std::atomic<KTASStatus> ASStatus KT_LOCK_FREE("the selection's walk reads it under the list lock only");
  int priority KT_LOCK_FREE("written once in New"); /* larger is preferred */
  /* Last assignment (creation until then); written in set-assigned, which
   * the selection runs under the list lock, read by the walk. */
  std::atomic<time_t> lastUse KT_LOCK_FREE("the selection's walk reads it under the list lock only");
  /* KTASServerTextKey of lastClientIP, lastSiteGUID and lastExtension,
   * changed together with the texts: equal texts always have equal keys, so
   * the selection compares texts only where the keys are equal. */
  std::atomic<uint64_t> lastClientKey KT_LOCK_FREE("the selection's walk compares keys without the record's lock");
  std::atomic<uint64_t> lastSiteKey KT_LOCK_FREE("the selection's walk compares keys without the record's lock");
  std::atomic<uint64_t> lastExtensionKey KT_LOCK_FREE("the selection's walk compares keys without the record's lock");
  struct KTASServer* pServer KT_LOCK_FREE("written once in New"); /* the record that owns the view */
  unsigned short port KT_LOCK_FREE("written once in New");        /* the record's port */
} KTASServerView;

/* The view's fields as the selection reads them: relaxed loads, no lock. */
inline KTASStatus KTASServerViewState(const KTASServerView* pView) {
  return pView->ASStatus.load(std::memory_order_relaxed);
}
inline int KTASServerViewPriority(const KTASServerView* pView) { return pView->priority; }
inline time_t KTASServerViewLastUse(const KTASServerView* pView) {
  return pView->lastUse.load(std::memory_order_relaxed);
}
inline uint64_t KTASServerViewClientKey(const KTASServerView* pView) {
  return pView->lastClientKey.load(std::memory_order_relaxed);
}
inline uint64_t KTASServerViewSiteKey(const KTASServerView* pView) {
  return pView->lastSiteKey.load(std::memory_order_relaxed);
}
inline uint64_t KTASServerViewExtensionKey(const KTASServerView* pView) {
  return pView->lastExtensionKey.load(std::memory_order_relaxed);
}
inline struct KTASServer* KTASServerViewServer(const KTASServerView* pView) { return pView->pServer; }
inline unsigned short KTASServerViewPort(const KTASServerView* pView) { return pView->port; }

struct KTASServer {
  KTASServerView* pView KT_LOCK_FREE("written once in New"); /* owned */
  KTMutex lock;                               /* guards the record; after the list lock */
  int SocketFd KT_GUARDED_BY(lock);           /* message-center connection; -1 when none */
  char Type KT_LOCK_FREE("written once in New");             /* always 'S' */
  char IP[KTASSERVER_IP_SIZE] KT_LOCK_FREE("written once in New"); /* host as announced */
  char PoolName[KTASSERVER_POOLNAME_SIZE] KT_GUARDED_BY(lock);     /* pool of the server */
  char lastClientIP[KTASSERVER_CLIENTIP_SIZE] KT_GUARDED_BY(lock);   /* client of the last assignment */
  char lastSiteGUID[KTASSERVER_SITEGUID_SIZE] KT_GUARDED_BY(lock);   /* site of the last assignment */
  char lastStoreName[KTASSERVER_STORENAME_SIZE] KT_GUARDED_BY(lock); /* store of the last assignment */
  char lastExtension[KTASSERVER_EXTENSION_SIZE] KT_GUARDED_BY(lock); /* extension of the last assignment */
  unsigned short port KT_LOCK_FREE("written once in New");
  uint32_t pid KT_LOCK_FREE("written once in New");
  struct KTBuffer* pTask KT_PT_GUARDED_BY(lock); /* owned; URI of the last assignment or "(NULL)" */
  uint64_t hits KT_GUARDED_BY(lock);          /* assignments since creation or shutdown */
  uint64_t qualityHits KT_GUARDED_BY(lock);   /* measured requests of 1 to 5000 ms */
  uint64_t longRequests KT_GUARDED_BY(lock);  /* measured requests over 5000 ms */
  time_t lastContact KT_GUARDED_BY(lock);     /* last idle report or monitor start */
  /* Owned; read position in the pool's queue, which guards it. */
  CacheInfo* pCacheInfo KT_LOCK_FREE("written once in New");
  hrtime startingTime KT_GUARDED_BY(lock);    /* start of the current or last assignment */
  uint64_t meanProcessingTime KT_GUARDED_BY(lock); /* smoothed processing time, ms */
};

/* The record's view (never null for a record made by KTASServerNew). */
inline const KTASServerView* KTASServerViewOf(const KTASServer* pAS) { return pAS->pView; }

/* A zeroed view owned by the record, from the dense store; null when no
 * memory is left or the store's lock fails. KTASServerViewFree gives it
 * back (null: nothing; the slot stays taken if the lock fails). */
KTASServerView* KTASServerViewNew(struct KTASServer* pAS);
void KTASServerViewFree(KTASServerView* pView);

/* The public getter of the lock, made known to the lock analysis as the record's own lock. */
KTMutex& KTASServerMutex(KTASServer* pAS) KT_RETURN_CAPABILITY(pAS->lock);

#endif /* KTASSERVERINTERNAL_H */
