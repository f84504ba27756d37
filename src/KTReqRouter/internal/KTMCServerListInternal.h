/* KTMCServerListInternal.h - the layout of a peer list, private to KTMCServerList.cpp. */
#ifndef KTMCSERVERLISTINTERNAL_H
#define KTMCSERVERLISTINTERNAL_H

#include "KTList.h"
#include "KTLock.h"
#include "KTMCServerList.h"
#include "KTThreadSafety.h"

struct KTMemoryManager;

struct KTMCServerList {
  KTMutex lock; /* guards the element list; first in the lock order */
  KTMemoryManager* pMemMgrSys KT_LOCK_FREE("set in New, released in Free"); /* owned */
  KTList* pServers KT_GUARDED_BY(lock); /* KTMCServer records in the order added */
};

KTMutex* KTMCServerListMutex(KTMCServerList* pList) KT_RETURN_CAPABILITY(pList->lock);

#endif /* KTMCSERVERLISTINTERNAL_H */
