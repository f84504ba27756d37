/* KTServer.h - pool of outgoing TCP connections to one remote host and port.
 *
 * A user takes a connection (KTServerGetSocket), exchanges one complete
 * request and reply over it and parks it again (KTServerParkSocket); after
 * any error the user frees the connection instead. The next take reuses a
 * parked connection picked at random when it passes KTSocketCheck (younger
 * than 300 seconds, no pending exception, writable, nothing to read);
 * unusable ones are closed and the next is tried, and when none is parked a
 * new connection is opened. `maxParked` (0 = no limit) bounds the parked list.
 *
 * Every operation returns a KTStatus, takes the log last and rejects null
 * pointers with ERROR_INVALID_PARAMETER.
 *
 * Thread safety: GetSocket, ParkSocket, SetMaxParked and SetMSS may be called
 * from several threads at once; the pool's critical section guards the parked
 * list and the limit and is never held during a check or a connect. A taken
 * connection belongs to its caller alone. New and Free are not concurrent
 * with anything.
 */
#ifndef KTSERVER_H
#define KTSERVER_H

#include <stdint.h>

#include "KTHash.h"
#include "KTList.h"
#include "KTLock.h"
#include "KTLog.h"
#include "KTMemoryManager.h"
#include "KTSocket.h"
#include "KTStatus.h"

/* Unusable parked connections discarded in one take before it gives up. */
#define KTSERVER_MAX_DISCARDED 100

typedef struct KTServer {
  KTMutex lock;                        /* guards pParkedSockets and maxParked */
  KTList* pParkedSockets KT_GUARDED_BY(lock); /* KTSocket* waiting for reuse, owned */
  unsigned short port;                 /* remote port; set once by KTServerNew */
  int mss KT_LOCK_FREE("atomic: read by takes that open new connections");
                                       /* TCP_MAXSEG for new connections; 0 = default */
  char addr[256];                      /* remote host as passed to KTServerNew; set once */
  uint32_t maxParked KT_GUARDED_BY(lock); /* most connections kept parked; 0 = no limit */
  KTHash* pStringProperties;           /* named values attached to the server, owned */
  KTHash* pIntProperties;
  KTMemoryManager* pMemMgrSys;         /* storage of the list and hashes, owned */
} KTServer;

/* Creates a pool for host:port; the host must resolve (else the resolver's
 * status) and be at most 255 characters (else ERROR_INVALID_PARAMETER);
 * ERROR_MEMORY_ALLOCATION or the failing creation's status otherwise.
 * *ppServer must be null and stays null on failure. */
KTStatus KTServerNew(KTServer** ppServer, const char* host, unsigned short port, KTLog* pLog);

/* Closes every parked connection and releases the pool; on success nulls
 * *ppServer. Stops at the first failing step and returns its status (the
 * pool is kept then). */
KTStatus KTServerFree(KTServer** ppServer, KTLog* pLog);

/* Returns a connected socket in *ppSocket (which must be null): a usable
 * parked one, else a new one connected within `timeout` seconds (0: no
 * limit; 100 or more is ERROR_INVALID_PARAMETER). After 101 unusable parked
 * connections in one call it gives up with the check's status. On failure
 * (also the status of the lock, the list or the connect) *ppSocket stays
 * null. */
KTStatus KTServerGetSocket(KTServer* pServer, KTSocket** ppSocket, int timeout, KTLog* pLog);

/* Hands a connection back: parks it, or closes it when maxParked is reached
 * or parking fails (the failing status of the lock or the list is
 * returned). *ppSocket is null afterwards in every case. */
KTStatus KTServerParkSocket(KTServer* pServer, KTSocket** ppSocket, KTLog* pLog);

/* Sets the limit (0 = none) and closes parked connections from the end of
 * the list until at most maxParked remain; the failing status of the lock
 * or the list. */
KTStatus KTServerSetMaxParked(KTServer* pServer, uint32_t maxParked, KTLog* pLog);

/* Sets the segment size applied to connections opened from now on (0 = system default). */
KTStatus KTServerSetMSS(KTServer* pServer, int mss, KTLog* pLog);

#endif /* KTSERVER_H */
