/* KTServer.cpp - pool of outgoing TCP connections to one host and port.
 *
 * Parked connections live in a KTList guarded by the pool's critical
 * section. A take picks a parked connection at random, leaves the lock,
 * checks the connection and either returns it or closes it and tries again;
 * with nothing parked it opens a new connection outside the lock. A take
 * gives up after more than 100 unusable connections, so a burst of dead
 * connections cannot keep a caller looping for ever.
 */
#include "KTServer.h"

#include <netdb.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "KTDebug.h"
#include "ResolveHostName.h"

namespace {

/* Destructor for the parked list: closes and frees one socket. The log is
 * the first extra argument. */
long _FreeParkedSocket(void** ppElement, va_list args) {
  KTLog* pLog = va_arg(args, KTLog*);
  KTSocket* pSocket = (KTSocket*)*ppElement;
  if (pSocket == nullptr) return STATUS_OK;
  KTStatus status = KTSocketFree(&pSocket, pLog);
  if (status == STATUS_OK) *ppElement = nullptr;
  return status;
}

/* Releases whatever parts of a pool exist, in the order of KTServerFree,
 * nulling each released part; stops at the first failure and returns it.
 * Runs only while no other thread can reach the pool, so without its lock. */
KTStatus _ReleaseParts(KTServer* pServer, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  KTMemoryManager* pMgr = pServer->pMemMgrSys;
  KTStatus status = STATUS_OK;
  /* Runs one release step when its part exists and nothing failed before. */
  auto step = [&](bool exists, const char* failure, auto release) {
    if (!exists || status != STATUS_OK) return;
    status = release();
    if (status != STATUS_OK) KTLogWrite(pLog, "KTServerFree(): %s", failure);
  };
  step(pServer->pParkedSockets != nullptr, "error clearing list of parked sockets",
       [&]() KT_NO_THREAD_SAFETY_ANALYSIS {
    return KTListClearAndFreeElements(pServer->pParkedSockets, pMgr, _FreeParkedSocket, pLog);
  });
  step(pServer->pStringProperties != nullptr, "error clearing hash of string properties",
       [&] { return KTHashClear(pServer->pStringProperties, pMgr); });
  step(pServer->pIntProperties != nullptr, "error clearing hash of integer properties",
       [&] { return KTHashClear(pServer->pIntProperties, pMgr); });
  step(pServer->pParkedSockets != nullptr, "unable to delete the list of parked sockets",
       [&]() KT_NO_THREAD_SAFETY_ANALYSIS { return KTListFree(&pServer->pParkedSockets, pMgr); });
  step(pServer->pStringProperties != nullptr, "error destroying hash of string properties",
       [&] { return KTHashFree(&pServer->pStringProperties, pMgr); });
  step(pServer->pIntProperties != nullptr, "error destroying hash of integer properties",
       [&] { return KTHashFree(&pServer->pIntProperties, pMgr); });
  step(pServer->pMemMgrSys != nullptr, "unable to destroy the local system-memory-manager",
       [&] { return pServer->pMemMgrSys->Free(&pServer->pMemMgrSys); });
  step(pServer->lock.Created(), "unable to destroy the critical section",
       [&] { return pServer->lock.Destroy(); });
  return status;
}

/* Takes one parked connection at random into *ppSocket (null when none is
 * parked). Returns the failing status of the lock or the list. */
KTStatus _TakeParked(KTServer* pServer, KTSocket** ppSocket, KTLog* pLog)
    KT_EXCLUDES(pServer->lock) {
  KTLockGuard guard(pServer->lock);
  if (!guard.locked()) {
    KTLogWrite(pLog, "KTServerGetSocket(): error entering the critical section");
    return guard.status();
  }
  KTMemoryManager* pMgr = pServer->pMemMgrSys;
  int count = 0;
  KTStatus status = KTListSize(pServer->pParkedSockets, pMgr, &count);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTServerGetSocket(): unable to detect number of parked sockets");
    return status;
  }
  KTDEBUG_MSG(KTDEBUG_SERVER, "KTServerGetSocket(): server 0x%X detected %d parked sockets",
              KT_PTR32(pServer), count);
  if (count > 0) {
    int index = rand() % count;
    KTSocket* pSocket =
        (KTSocket*)KTListElementAt(pServer->pParkedSockets, pMgr, &status, index);
    if (status != STATUS_OK || pSocket == nullptr) {
      KTLogWrite(pLog, "KTServerGetSocket(): unable to get socket from set of parked sockets");
      return status != STATUS_OK ? status : (KTStatus)ERROR_INTERNAL_INCONSISTENCE;
    }
    status = KTListRemoveAt(pServer->pParkedSockets, pMgr, index);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTServerGetSocket(): unable to remove socket from set of parked sockets");
      return status;
    }
    KTDEBUG_MSG(KTDEBUG_SERVER,
                "KTServerGetSocket(): server 0x%X removed socket 0x%X from the list of parked "
                "sockets",
                KT_PTR32(pServer), KT_PTR32(pSocket));
    *ppSocket = pSocket;
  }
  status = guard.finish(STATUS_OK, pLog, "KTServerGetSocket(): error leaving the critical section");
  if (status != STATUS_OK && *ppSocket != nullptr) KTSocketFree(ppSocket, pLog);
  return status;
}

/* Opens a new connection to the pool's host; returns the first failing status
 * (the new socket is then freed). */
KTStatus _OpenNew(KTServer* pServer, KTSocket** ppSocket, int timeout, KTLog* pLog) {
  struct addrinfo* pList = nullptr;
  struct addrinfo* pEntry = nullptr;
  KTStatus status = ResolveHostName(pServer->addr, pServer->port, &pList, &pEntry, IPPROTO_TCP, pLog);
  if (status != STATUS_OK) return status;
  int family = pEntry->ai_family;
  freeaddrinfo(pList);

  KTSocket* pSocket = nullptr;
  status = KTSocketNew(&pSocket, family, pLog);
  if (status != STATUS_OK) return status;
  int mss = __atomic_load_n(&pServer->mss, __ATOMIC_RELAXED);
  if (mss != 0) status = KTSocketSetMSS(pSocket, mss, pLog);
  if (status == STATUS_OK) status = KTSocketConnect(pSocket, pServer->addr, pServer->port, timeout, pLog);
  if (status != STATUS_OK) {
    KTSocketFree(&pSocket, pLog);
    return status;
  }
  KTDEBUG_MSG(KTDEBUG_SERVER, "KTServerGetSocket(): server 0x%X created new socket 0x%X",
              KT_PTR32(pServer), KT_PTR32(pSocket));
  *ppSocket = pSocket;
  return STATUS_OK;
}

}  // namespace

/* The new record is filled in before any other thread can see it, so
 * without its lock. */
KTStatus KTServerNew(KTServer** ppServer, const char* host, unsigned short port, KTLog* pLog)
    KT_NO_THREAD_SAFETY_ANALYSIS {
  if (ppServer == nullptr || *ppServer != nullptr || host == nullptr ||
      strlen(host) >= sizeof(((KTServer*)nullptr)->addr)) {
    KTLogWrite(pLog, "KTServerNew(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  /* Resolve once only to refuse hosts that do not exist. */
  struct addrinfo* pList = nullptr;
  struct addrinfo* pEntry = nullptr;
  KTStatus status = ResolveHostName(host, port, &pList, &pEntry, IPPROTO_TCP, pLog);
  if (status != STATUS_OK) return status;
  freeaddrinfo(pList);

  KTServer* pServer = new (std::nothrow) KTServer();
  if (pServer == nullptr) {
    KTLogWrite(pLog, "KTServerNew(): allocating memory failed");
    return ERROR_MEMORY_ALLOCATION;
  }
  strcpy(pServer->addr, host);
  pServer->port = port;

  status = KTMemoryManagerSysNew(&pServer->pMemMgrSys);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTServerNew(): error creating local system-memory-manager");
  }
  if (status == STATUS_OK) {
    status = KTListNew(&pServer->pParkedSockets, pServer->pMemMgrSys);
    if (status != STATUS_OK) KTLogWrite(pLog, "KTServerNew(): error creating list of parked sockets");
  }
  if (status == STATUS_OK) {
    status = KTHashNew(&pServer->pStringProperties, pServer->pMemMgrSys);
    if (status != STATUS_OK) KTLogWrite(pLog, "KTServerNew(): error creating hash of string properties");
  }
  if (status == STATUS_OK) {
    status = KTHashNew(&pServer->pIntProperties, pServer->pMemMgrSys);
    if (status != STATUS_OK) KTLogWrite(pLog, "KTServerNew(): error creating hash of integer properties");
  }
  if (status == STATUS_OK) {
    status = pServer->lock.Create();
    if (status != STATUS_OK) KTLogWrite(pLog, "KTServerNew(): error creating critical section");
  }
  if (status != STATUS_OK) {
    _ReleaseParts(pServer, pLog);
    delete pServer;
    return status;
  }
  KTDEBUG_MSG(KTDEBUG_SERVER, "KTServerNew(): server 0x%X created for [%s]:%hu", KT_PTR32(pServer),
              pServer->addr, port);
  *ppServer = pServer;
  return STATUS_OK;
}

KTStatus KTServerFree(KTServer** ppServer, KTLog* pLog) {
  if (ppServer == nullptr || *ppServer == nullptr) {
    KTLogWrite(pLog, "KTServerFree(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = _ReleaseParts(*ppServer, pLog);
  if (status != STATUS_OK) return status;
  delete *ppServer;
  *ppServer = nullptr;
  return STATUS_OK;
}

KTStatus KTServerGetSocket(KTServer* pServer, KTSocket** ppSocket, int timeout, KTLog* pLog) {
  if (pServer == nullptr || ppSocket == nullptr || *ppSocket != nullptr || timeout < 0 ||
      timeout >= KTSOCKET_MAX_CONNECT_TIMEOUT) {
    KTLogWrite(pLog, "KTServerGetSocket(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int discarded = 0;
  for (;;) {
    KTSocket* pSocket = nullptr;
    KTStatus status = _TakeParked(pServer, &pSocket, pLog);
    if (status != STATUS_OK) return status;
    if (pSocket == nullptr) return _OpenNew(pServer, ppSocket, timeout, pLog);

    status = KTSocketCheck(pSocket, pLog);
    if (status == STATUS_OK) {
      KTDEBUG_MSG(KTDEBUG_SERVER, "KTServerGetSocket(): server 0x%X returning parked socket 0x%X",
                  KT_PTR32(pServer), KT_PTR32(pSocket));
      *ppSocket = pSocket;
      return STATUS_OK;
    }
    KTDEBUG_MSG(KTDEBUG_SERVER, "KTServerGetSocket(): server 0x%X found unusable parked socket 0x%X",
                KT_PTR32(pServer), KT_PTR32(pSocket));
    KTSocketFree(&pSocket, pLog);
    if (++discarded > KTSERVER_MAX_DISCARDED) {
      KTLogWrite(pLog, "KTServerGetSocket(): no usable socket found after %d tries", discarded);
      return status;
    }
  }
}

KTStatus KTServerParkSocket(KTServer* pServer, KTSocket** ppSocket, KTLog* pLog) {
  if (pServer == nullptr || ppSocket == nullptr || *ppSocket == nullptr) {
    KTLogWrite(pLog, "KTServerParkSocket(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pServer->lock);
  if (!guard.locked()) {
    KTLogWrite(pLog, "KTServerParkSocket(): error entering the critical section");
    KTSocketFree(ppSocket, pLog);
    return guard.status();
  }
  KTMemoryManager* pMgr = pServer->pMemMgrSys;
  int count = 0;
  KTStatus status = KTListSize(pServer->pParkedSockets, pMgr, &count);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTServerParkSocket(): unable to detect number of parked sockets");
    KTSocketFree(ppSocket, pLog);
    return status;
  }
  KTDEBUG_MSG(KTDEBUG_SERVER, "KTServerParkSocket(): server 0x%X detected %d parked sockets",
              KT_PTR32(pServer), count);
  if (pServer->maxParked != 0 && (uint32_t)count >= pServer->maxParked) {
    KTSocketFree(ppSocket, pLog);
    KTDEBUG_MSG(KTDEBUG_SERVER,
                "KTServerParkSocket(): server 0x%X socket was destroyed due to a limited number of "
                "parked sockets",
                KT_PTR32(pServer));
  } else {
    status = KTListAdd(pServer->pParkedSockets, pMgr, *ppSocket);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTServerParkSocket(): error adding socket to the set of parked sockets");
      KTSocketFree(ppSocket, pLog);
      return status;
    }
    KTDEBUG_MSG(KTDEBUG_SERVER, "KTServerParkSocket(): server 0x%X socket 0x%X was parked",
                KT_PTR32(pServer), KT_PTR32(*ppSocket));
    *ppSocket = nullptr;
  }
  return guard.finish(STATUS_OK, pLog, "KTServerParkSocket(): error leaving the critical section");
}

KTStatus KTServerSetMaxParked(KTServer* pServer, uint32_t maxParked, KTLog* pLog) {
  if (pServer == nullptr) {
    KTLogWrite(pLog, "KTServerSetMaxParked(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pServer->lock);
  if (!guard.locked()) {
    KTLogWrite(pLog, "KTServerSetMaxParked(): error entering the critical section");
    return guard.status();
  }
  pServer->maxParked = maxParked;
  KTDEBUG_MSG(KTDEBUG_SERVER,
              "KTServerSetMaxParked(): server 0x%X set maximum number of parked sockets to %u",
              KT_PTR32(pServer), (unsigned int)maxParked);
  if (maxParked != 0) {
    KTMemoryManager* pMgr = pServer->pMemMgrSys;
    for (;;) {
      int count = 0;
      KTStatus status = KTListSize(pServer->pParkedSockets, pMgr, &count);
      if (status != STATUS_OK) {
        KTLogWrite(pLog, "KTServerSetMaxParked(): unable to detect the number of parked sockets");
        return status;
      }
      if ((uint32_t)count <= maxParked) break;
      int last = count - 1;
      KTSocket* pSocket = (KTSocket*)KTListElementAt(pServer->pParkedSockets, pMgr, &status, last);
      if (status != STATUS_OK || pSocket == nullptr) {
        KTLogWrite(pLog, "KTServerSetMaxParked(): unable to get socket from the set of parked sockets");
        return status != STATUS_OK ? status : (KTStatus)ERROR_INTERNAL_INCONSISTENCE;
      }
      status = KTListRemoveAt(pServer->pParkedSockets, pMgr, last);
      if (status != STATUS_OK) {
        KTLogWrite(pLog,
                   "KTServerSetMaxParked(): unable to remove socket from the set of parked sockets");
        return status;
      }
      KTSocketFree(&pSocket, pLog);
      KTDEBUG_MSG(KTDEBUG_SERVER,
                  "KTServerSetMaxParked(): server 0x%X destroyed socket #%d from the list of parked "
                  "sockets",
                  KT_PTR32(pServer), last);
    }
  }
  return guard.finish(STATUS_OK, pLog, "KTServerSetMaxParked(): error leaving the critical section");
}

KTStatus KTServerSetMSS(KTServer* pServer, int mss, KTLog* pLog) {
  if (pServer == nullptr) {
    KTLogWrite(pLog, "KTServerSetMSS(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  /* Read without the lock by takes that open new connections. */
  __atomic_store_n(&pServer->mss, mss, __ATOMIC_RELAXED);
  return STATUS_OK;
}
