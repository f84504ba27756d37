/* KTASServerListInternal.h - the layout of one pool's server list, private to KTASServerList.cpp.
 *
 * Every other module goes through the functions of KTASServerList.h.
 */
#ifndef KTASSERVERLISTINTERNAL_H
#define KTASSERVERLISTINTERNAL_H

#include "KTASServerList.h"
#include "KTLock.h"
#include "KTThreadSafety.h"
#include "KTASServerInternal.h"

struct KTASServerList {
  KTMutex lock; /* guards the list and the selection; taken before any record's lock */
  /* The members: the views of the records in the order added, as a plain
   * array, so that the selection and the lookup by host and port walk the
   * pool without a call per element and reach a record (through the view's
   * pServer) only for the server they settle on. */
  const KTASServerView** ppOrder KT_GUARDED_BY(lock) KT_PT_GUARDED_BY(lock);
  int orderCount KT_GUARDED_BY(lock);
  int orderCapacity KT_GUARDED_BY(lock);
};

/* The public getter of the lock, made known to the lock analysis as the list's own lock. */
KTMutex& KTASServerListMutex(KTASServerList* pSrvList) KT_RETURN_CAPABILITY(pSrvList->lock);

#endif /* KTASSERVERLISTINTERNAL_H */
