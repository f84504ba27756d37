/* KTMCServerInternal.h - a peer record's layout and shared steps, private to KTMCServer*.cpp.
 *
 * The record's lock guards the state, the recorded connection, the last
 * contact, the cache-info hash and the queued pool announcements. Everything else is written once by
 * KTMCServerNew before the record is published (or belongs to parts that
 * lock themselves) and is read without the lock.
 */
#ifndef KTMCSERVERINTERNAL_H
#define KTMCSERVERINTERNAL_H

#include <time.h>

#include <string>
#include <vector>

#include "KTBuffer.h"
#include "KTLock.h"
#include "KTLog.h"
#include "KTMCServer.h"
#include "KTStatus.h"
#include "KTThreadSafety.h"

struct KTCondition;
struct KTHash;
struct KTMemoryManager;
struct KTServer;
struct KTThread;

/* A pool announcement (code 21 or 22) waiting for the send thread. */
struct KTMCAnnouncement {
  int code;
  std::string poolName;
};

struct KTMCServer {
  KTMutex lock; /* after the peer list, before the cache queues in the lock order */
  /* Owned; wakes the send thread. */
  KTCondition* pCondition KT_LOCK_FREE("written once; the condition has its own mutex");
  int SocketFd KT_GUARDED_BY(lock); /* incoming connection of the last 20/21/22; -1 */
  char IP[KTMCSERVER_HOST_SIZE] KT_LOCK_FREE("written once"); /* peer's message-center host */
  unsigned short port KT_LOCK_FREE("written once");             /* peer's message-center port */
  /* Owned; connection pool towards the peer. */
  KTServer* pServer KT_LOCK_FREE("written once; the connection pool has its own lock");
  KTMCStatus MCStatus KT_GUARDED_BY(lock); /* new, down or up */
  time_t lastContact KT_GUARDED_BY(lock);  /* last successful send or match; 0 = never */
  char myMCIP[KTMCSERVER_HOST_SIZE] KT_LOCK_FREE("written once"); /* this router's host */
  unsigned short myMCPort KT_LOCK_FREE("written once");            /* this router's port */
  /* Owned; storage of the hash. */
  KTMemoryManager* pMemoryManager KT_LOCK_FREE("written once");
  KTHash* pCacheInfoHash KT_GUARDED_BY(lock); /* pool name -> CacheInfo in that pool's peer queue */
  /* Oldest first, at most one per pool (a newer one replaces it). */
  std::vector<KTMCAnnouncement> announcements KT_GUARDED_BY(lock);
  /* Owned; the send thread. */
  KTThread* pThread KT_LOCK_FREE("written by New and Free only, before and after the thread runs");
};

KTMutex* KTMCServerMutex(KTMCServer* pMC) KT_RETURN_CAPABILITY(pMC->lock);

/* Whether the guard took the record's lock; logs the failure when not. */
bool KTMCServerEntered(const KTLockGuard& guard, KTLog* pLog);
/* The line a failing leave of the record's lock writes (guard.finish). */
extern const char* const kKTMCServerLeaveFailure;

/* Starts the record's send thread (KTMCServerThread.cpp), unless send
 * threads are turned off (KTMCServerSetSendThreads). Returns
 * ERROR_MEMORY_ALLOCATION or the thread library's failing status; no thread
 * runs then. */
KTStatus KTMCServerSendThreadStart(KTMCServer* pMC, KTLog* pLog);
/* Stops the send thread: asks it to stop, wakes it and frees it (cancelled
 * when it has not ended within 100 ms). Returns the last failing step's status. */
KTStatus KTMCServerSendThreadStop(KTMCServer* pMC, KTLog* pLog);

/* Sends code 21 or 22 for the named pool to the peer and records the
 * outcome like every send (KTMCServerSend.cpp). Returns 0 also when the peer
 * fails (it is marked down); a failure to build the message, of the lock or
 * of parking is returned. */
KTStatus KTMCServerSendPoolMessage(KTMCServer* pMC, int code, const char* poolName, KTLog* pLog)
    KT_EXCLUDES(pMC->lock);

#endif /* KTMCSERVERINTERNAL_H */
