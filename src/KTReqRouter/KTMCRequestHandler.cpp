/* KTMCRequestHandler.cpp - the message-center protocol: reading, dispatching and answering requests.
 *
 * One call of MCRequestHandler serves one request of a kept-open connection:
 * header line, announced data, handler, reply. A non-zero result makes the
 * listener run MCClientCloseHandler and close the connection, so a failed
 * request also removes the application server bound to that connection.
 * Header fields are scanned one character wider than allowed, so a field
 * that is too long fails the request instead of being cut into a different
 * host or pool name; data lengths are bounded before anything is allocated.
 *
 * Only the message-center thread runs these handlers for a pool list, and it
 * is the only thread that adds, removes or frees pools (the pool list takes
 * its write lock inside those operations), so the handlers use lookups
 * without the read lock.
 */
#include "KTMCRequestHandler.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTMCServer.h"
#include "KTMCServerList.h"
#include "KTSocket.h"
#include "Log.h"
#include "VXASPool.h"
#include "VXASPoolList.h"

namespace {

/* Scan buffers are one character wider than the longest allowed field, so
 * the scan formats below use these widths plus one ("%300s", "%100s"). */
const size_t kAddressBuffer = MC_MAX_ADDRESS_LENGTH + 2;
const size_t kPoolBuffer = MC_MAX_POOLNAME_LENGTH + 2;
static_assert(MC_MAX_ADDRESS_LENGTH + 1 == 300, "address scan width must be 300");
static_assert(MC_MAX_POOLNAME_LENGTH + 1 == 100, "pool name scan width must be 100");
static_assert(MC_MAX_POOLNAME_LENGTH < ASPOOL_NAME_SIZE, "pool names must fit the pool record");

/* True when the scanned fields have their allowed lengths (pool may be null). */
bool fieldsFit(const char* address, const char* pool) {
  if (strlen(address) > MC_MAX_ADDRESS_LENGTH) return false;
  return pool == nullptr || strlen(pool) <= MC_MAX_POOLNAME_LENGTH;
}

/* True for the five bytes "All" 0x01 0x01 that reset every cache. */
bool isGlobalReset(const char* data) {
  return data != nullptr && strcmp(data, RR_CACHE_RESET_DATA) == 0;
}

/* Scans the address of codes 3, 4, 6 and 7 and splits it; false when the
 * header does not hold a valid one. */
bool scanServerAddress(const char* header, char* address, unsigned short* pPort) {
  int fields = sscanf(header, "%*d %*d %300s %*d\n", address);
  return ParseSocket(address, pPort, fields >= 1 && fieldsFit(address, nullptr)) == 0;
}

/* Finds the pool named `pool` or creates it (with maxCacheItems) and lists
 * it; *pCreated tells which. `who` names the handler in the log lines.
 * Returns the failing step's status; a new pool that cannot be listed is freed. */
KTStatus findOrCreatePool(ASPoolList* pPoolList, const char* pool, int maxCacheItems,
                          const char* who, ASPool** ppPool, bool* pCreated, KTLog* pLog) {
  *pCreated = false;
  KTStatus status = ASPoolListGetMatching(pPoolList, pool, ppPool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "%s(): error get pool for name '%s'(%d).", who, pool, status);
    return status;
  }
  if (*ppPool != nullptr) return STATUS_OK;
  status = ASPoolNew(ppPool, pool, maxCacheItems, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "%s(): error create pool for name '%s'(%d).", who, pool, status);
    return status;
  }
  status = ASPoolListAdd(pPoolList, *ppPool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "%s(): error add pool '%s' to pool list (%d).", who, pool, status);
    ASPoolFree(ppPool, pLog);
    return status;
  }
  KTDEBUG_MSG(KTDEBUG_RROUTER, "%s(): created pool '%s'", who, pool);
  *pCreated = true;
  return STATUS_OK;
}

/* Takes a pool created by a request that then failed out of the list again,
 * so no pool without servers and peers is left behind. Never fails. */
void dropIfCreatedEmpty(ASPoolList* pPoolList, ASPool* pPool, bool created, KTLog* pLog) {
  if (created && pPool != nullptr) ASPoolListRemoveEmptyPool(pPoolList, &pPool, pLog);
}

/* Finds the peer host:port in the global list or creates it (its send thread
 * starts) and lists it. `who` names the handler in the log lines. Returns
 * the failing step's status; a new record that cannot be listed is freed. */
KTStatus findOrCreateMC(KTMCServerList* pMCs, const char* host, unsigned short port,
                        const char* MyIP, unsigned short MyPort, const char* who,
                        KTMCServer** ppMC, KTLog* pLog) {
  KTStatus status = KTMCServerListGetMatching(pMCs, host, port, ppMC, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "%s(): error find MC (%d).", who, status);
    return status;
  }
  if (*ppMC != nullptr) return STATUS_OK;
  status = KTMCServerNew(ppMC, host, port, MyIP, MyPort, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "%s(): error create MC for [%s]:%hu (status %d).", who, host, port, status);
    return status;
  }
  status = KTMCServerListAdd(pMCs, *ppMC, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "%s(): error add MC to global list [%s]:%hu (status %d).", who, host, port,
               status);
    KTMCServerFree(ppMC, pLog);
    return status;
  }
  return STATUS_OK;
}

/* Queues data of the pool "DefaultPool" for the servers of every other pool
 * as well (never forwarded to peers from there). The result is not checked:
 * the data already reached its own pool. */
void spreadDefaultPoolData(ASPool* pPool, const char* name, const char* data,
                           ASPoolList* pPoolList, KTLog* pLog) {
  if (data == nullptr || strcmp(name, RR_DEFAULT_POOL) != 0) return;
  ASPoolListForEach(pPoolList, ASPoolAddScriptDataIterator, pLog, pPool, data, pLog);
}

/* Moves the idle server pAS from pOldPool to pPool. Returns the failing
 * step's status; a record that then belongs to no pool is freed. */
KTStatus moveServer(KTASServer* pAS, ASPool* pOldPool, ASPool* pPool, const char* pool,
                    ASPoolList* pPoolList, KTMCServerList* pMCs, KTLog* pLog) {
  KTStatus status = ASPoolRemoveServer(pOldPool, pAS, pMCs, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error remove server from old pool. (%d)",
               status);
    return status;
  }
  KTStatus emptyStatus = ASPoolListRemoveEmptyPool(pPoolList, &pOldPool, pLog);
  if (emptyStatus != STATUS_OK) {
    /* The server has left the old pool already; it still has to arrive. */
    KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error ask if pool empty (%d).", emptyStatus);
  }
  status = KTASServerSetPoolName(pAS, pool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error set pool name for server (%d)", status);
    KTASServerFree(&pAS, pLog);
    return status;
  }
  status = ASPoolAddServer(pPool, pAS, pMCs, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error add server to new pool. (%d)", status);
    KTASServerFree(&pAS, pLog);
    return status;
  }
  return STATUS_OK;
}

/* Finds the server named by the header's address, for codes 3, 4, 6 and 7.
 * `who` names the handler in the log lines; `searchFailure` is the text of a
 * failed lookup, followed by its status when withStatus is set. Returns 1
 * for an unparsable header or an unknown server, else the lookup's status. */
KTStatus findServer(const char* header, ASPoolList* pPoolList, const char* who,
                    const char* searchFailure, bool withStatus, ASPool** ppPool,
                    KTASServer** ppAS, KTLog* pLog) {
  char address[kAddressBuffer] = "";
  unsigned short port = 0;
  if (!scanServerAddress(header, address, &port)) {
    KTLogWrite(pLog, "%s(): error parsing request '%s'", who, header);
    return ERROR_UNKNOWN;
  }
  KTStatus status = ASPoolListGetMatchingServer(pPoolList, address, port, ppPool, ppAS, pLog);
  if (status != STATUS_OK) {
    if (withStatus) {
      KTLogWrite(pLog, "%s(): %s (%d)", who, searchFailure, status);
    } else {
      KTLogWrite(pLog, "%s(): %s", who, searchFailure);
    }
    return status;
  }
  if (*ppAS == nullptr) {
    KTLogWrite(pLog, "%s(): there exists no host [%s]:%hu in our server lists", who, address, port);
    return ERROR_UNKNOWN;
  }
  return STATUS_OK;
}

/* Shared part of codes 3 and 4: finds the server of the header and binds it
 * to the connection; log lines carry the failing status when withStatus is
 * set. Returns 1 for an unparsable header or an unknown server, else the
 * failing step's status. */
KTStatus findAndBindServer(const char* header, ASPoolList* pPoolList, KTSocket* pSocket,
                           const char* who, bool withStatus, ASPool** ppPool, KTASServer** ppAS,
                           KTLog* pLog) {
  KTStatus status =
      findServer(header, pPoolList, who, "error search server.", withStatus, ppPool, ppAS, pLog);
  if (status != STATUS_OK) return status;
  status = KTASServerSetSocket(*ppAS, pSocket, pLog);
  if (status != STATUS_OK) {
    if (withStatus) {
      KTLogWrite(pLog, "%s(): error set socket on server. (%d)", who, status);
    } else {
      KTLogWrite(pLog, "%s(): error set socket on server.", who);
    }
  }
  return status;
}

/* Releases what MCRequestHandler allocated and passes the status through. */
KTStatus finishRequest(KTBuffer** ppResponse, char* data, KTStatus status) {
  free(data);
  if (*ppResponse != nullptr) KTBufferFree(ppResponse);
  return status;
}

}  // namespace

/* ------------------------------------------------------------ ParseSocket */

/* Returns 1 on failure (ok 0, no colon, no valid port, host too long). */
int ParseSocket(char* IP, unsigned short* pPort, int ok) {
  if (!ok || IP == nullptr || pPort == nullptr) return 1;
  char* colon = strrchr(IP, ':');
  /* ":port" names no host: a server registered so would be handed out as
   * "0  port", which the web adapter cannot read. */
  if (colon == nullptr || colon == IP) return 1;
  /* The port is plain decimal: no sign, no blanks, at most 65535; text after
   * the digits is ignored as by a "%hu" scan. */
  const char* digits = colon + 1;
  if (*digits < '0' || *digits > '9') return 1;
  unsigned long value = 0;
  while (*digits >= '0' && *digits <= '9') {
    value = value * 10 + (unsigned long)(*digits - '0');
    if (value > 65535) return 1;
    ++digits;
  }
  if ((size_t)(colon - IP) > MC_MAX_HOST_LENGTH) return 1;
  *pPort = (unsigned short)value;
  *colon = '\0';
  return 0;
}

/* ------------------------------------------------------- MCRequestHandler */

/* Returns the read, scan, handler or send status; 0 keeps the connection. */
KTStatus MCRequestHandler(KTSocket* pSocket, ASPoolList* pPoolList, KTMCServerList* pMCs,
                          const char* MyIP, unsigned short MyPort, int maxCacheItems,
                          KTLog* pLog) {
  if (pSocket == nullptr || pPoolList == nullptr || pMCs == nullptr || MyIP == nullptr ||
      MyPort == 0) {
    KTLogWrite(pLog, "MCRequestHandler(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTBuffer* pResponse = nullptr;
  KTStatus status = KTBufferStrNew(&pResponse, "");
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCRequestHandler(): could not create buffer to store the response");
    return status;
  }

  char header[MC_MAX_HEADER_LINE];
  size_t size = sizeof header;
  status = KTSocketReceiveLine(pSocket, header, &size, pLog);
  if (status != STATUS_OK) return finishRequest(&pResponse, nullptr, status);
  /* The line end is not part of any field; dropping it keeps log lines whole. */
  size_t length = strlen(header);
  while (length > 0 && (header[length - 1] == '\n' || header[length - 1] == '\r')) {
    header[--length] = '\0';
  }
  KTDEBUG_MSG(KTDEBUG_REQUEST, "MCRequestHandler(): request '%s'", header);

  int code = 0;
  int dataSize = 0;
  if (sscanf(header, "%d %d", &code, &dataSize) != 2) {
    KTLogWrite(pLog,
               "MCRequestHandler(): failed to read request code and data size from the following "
               "request \"%s\"",
               header);
    return finishRequest(&pResponse, nullptr, ERROR_UNKNOWN);
  }
  if (dataSize > MC_MAX_DATA_LENGTH) {
    KTLogWrite(pLog,
               "MCRequestHandler(): request %d announces %d bytes of data, more than the limit of "
               "%d bytes",
               code, dataSize, MC_MAX_DATA_LENGTH);
    return finishRequest(&pResponse, nullptr, ERROR_INVALID_PARAMETER);
  }

  char* data = nullptr;
  if (dataSize > 0) {
    data = static_cast<char*>(calloc((size_t)dataSize + 1, 1));
    if (data == nullptr) {
      KTLogWrite(pLog,
                 "MCRequestHandler(): could not allocate memory that was needed for the cache data");
      return finishRequest(&pResponse, nullptr, ERROR_MEMORY_ALLOCATION);
    }
    size_t wanted = (size_t)dataSize;
    status = KTSocketReceive(pSocket, data, &wanted, pLog);
    if (status != STATUS_OK) return finishRequest(&pResponse, data, status);
  }

  switch (code) {
    case MC_REQUEST_INITIALFREE:
      status = MCHandleASInitialFreeRequest(header, pPoolList, pMCs, pSocket, maxCacheItems, pLog);
      break;
    case MC_REQUEST_IDLE:
      status = MCHandleASIdleRequest(header, data, pPoolList, pSocket, pResponse, pLog);
      break;
    case MC_REQUEST_WORKING:
      status = MCHandleASWorkingRequest(header, data, pPoolList, pSocket, pResponse, pLog);
      break;
    case MC_REQUEST_UPDATECACHE:
      status = MCHandleASUpdateCacheRequest(header, data, pPoolList, pLog);
      break;
    case MC_REQUEST_SETMONFLAG:
      status = MCHandleASSetMonFlagRequest(header, pPoolList, pLog);
      break;
    case MC_REQUEST_FINISH:
      status = MCHandleASFinishRequest(header, data, pPoolList, pMCs, pLog);
      break;
    case MC_REQUEST_INITIALPOOL:
      status = MCHandleMCInitialPoolRequest(header, pPoolList, pMCs, pSocket, pResponse, MyIP,
                                            MyPort, pLog);
      break;
    case MC_REQUEST_NEWPOOL:
      status = MCHandleMCNewPoolRequest(header, pPoolList, pMCs, pSocket, maxCacheItems, MyIP,
                                        MyPort, pLog);
      break;
    case MC_REQUEST_RELEASEPOOL:
      status = MCHandleMCReleasePoolRequest(header, pPoolList, pMCs, pSocket, MyIP, MyPort, pLog);
      break;
    case MC_REQUEST_POOLCHANGES:
      KTLogWrite(pLog, "MCRequestHandler(): obsolete request MC_REQUEST_POOLCHANGES");
      status = ERROR_UNKNOWN;
      break;
    case MC_REQUEST_POOLRESET:
      KTLogWrite(pLog, "MCRequestHandler(): obsolete request MC_REQUEST_POOLRESET");
      status = ERROR_UNKNOWN;
      break;
    case MC_REQUEST_SHUTDOWN:
      status = MCHandleASShutdownRequest(pLog);
      break;
    default:
      KTLogWrite(pLog, "MCRequestHandler(): unknown request %d", code);
      status = ERROR_UNKNOWN;
      break;
  }

  if (status == STATUS_OK) {
    unsigned getStatus = 0;
    const char* text = KTBufferGet(pResponse, &getStatus);
    if (text == nullptr || getStatus != 0) {
      KTLogWrite(pLog, "MCRequestHandler(): can't get string from response buffer");
      status = getStatus != 0 ? (KTStatus)getStatus : ERROR_UNKNOWN;
    } else {
      status = KTSocketFPrint(pSocket, pLog, "0 %d\n%s", (int)strlen(text), text);
    }
  } else if (status == ERROR_RESPONSE_ALREADY_SET) {
    status = STATUS_OK;
  }
  return finishRequest(&pResponse, data, status);
}

/* -------------------------------------------------- application servers */

/* Returns 1 for an unparsable header, else the failing step's status;
 * ERROR_RESPONSE_ALREADY_SET after answering "2 0\n" itself. */
KTStatus MCHandleASInitialFreeRequest(const char* header, ASPoolList* pPoolList,
                                      KTMCServerList* pMCs, KTSocket* pSocket, int maxCacheItems,
                                      KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pMCs == nullptr || pSocket == nullptr) {
    KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char address[kAddressBuffer] = "";
  char pool[kPoolBuffer] = "";
  int pid = 0;
  int priority = 0;
  unsigned short port = 0;
  int fields = sscanf(header, "%*d %*d %300s %100s %d %d\n", address, pool, &pid, &priority);
  if (ParseSocket(address, &port, fields >= 2 && fieldsFit(address, pool)) != 0) {
    KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error parsing request '%s'", header);
    return ERROR_UNKNOWN;
  }

  ASPool* pPool = nullptr;
  bool created = false;
  KTStatus status = findOrCreatePool(pPoolList, pool, maxCacheItems, "MCHandleASInitialFreeRequest",
                                     &pPool, &created, pLog);
  if (status != STATUS_OK) return status;

  ASPool* pOldPool = nullptr;
  KTASServer* pAS = nullptr;
  status = ASPoolListGetMatchingServer(pPoolList, address, port, &pOldPool, &pAS, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error search server (%d).", status);
    dropIfCreatedEmpty(pPoolList, pPool, created, pLog);
    return status;
  }

  if (pAS == nullptr) {
    status = KTASServerNew(&pAS, pool, address, port, priority, (uint32_t)pid, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error create server for [%s]:%hu (status %d).",
                 address, port, status);
      dropIfCreatedEmpty(pPoolList, pPool, created, pLog);
      return status;
    }
    status = ASPoolAddServer(pPool, pAS, pMCs, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error add server to pool %s:[%s]:%hu.", pool,
                 address, port);
      KTASServerFree(&pAS, pLog);
      dropIfCreatedEmpty(pPoolList, pPool, created, pLog);
      return status;
    }
    KTDEBUG_MSG(KTDEBUG_RROUTER, "MCHandleASInitialFreeRequest(): [%s]:%hu joined pool '%s'",
                address, port, pool);
  } else if (pOldPool != pPool) {
    KTASStatus state = KTASSTATUS_SHUTDOWN;
    status = KTASServerGetStatus(pAS, &state, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error get server state (%d).", status);
      dropIfCreatedEmpty(pPoolList, pPool, created, pLog);
      return status;
    }
    if (state != KTASSTATUS_IDLE) {
      /* A busy server cannot change pools now; it stays where it is and is
       * told to announce itself again later; the pool it asked for stays
       * listed for that next announcement. */
      status = KTSocketFPrint(pSocket, pLog, "2 0\n");
      if (status != STATUS_OK) {
        KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error write response to socket. (%d)",
                   status);
        return status;
      }
      return ERROR_RESPONSE_ALREADY_SET;
    }
    status = moveServer(pAS, pOldPool, pPool, pool, pPoolList, pMCs, pLog);
    if (status != STATUS_OK) {
      dropIfCreatedEmpty(pPoolList, pPool, created, pLog);
      return status;
    }
    KTDEBUG_MSG(KTDEBUG_RROUTER, "MCHandleASInitialFreeRequest(): [%s]:%hu moved to pool '%s'",
                address, port, pool);
  }

  status = KTASServerSetSocket(pAS, pSocket, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error set socket on server (%d).", status);
    return status;
  }
  status = KTASServerSetIdle(pAS, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error set server idle (%d).", status);
  }
  return status;
}

/* Returns 1 for an unparsable header or unknown server, else the failing step's status. */
KTStatus MCHandleASIdleRequest(const char* header, const char* data, ASPoolList* pPoolList,
                               KTSocket* pSocket, KTBuffer* pResponse, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pSocket == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "MCHandleASIdleRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  ASPool* pPool = nullptr;
  KTASServer* pAS = nullptr;
  KTStatus status =
      findAndBindServer(header, pPoolList, pSocket, "MCHandleASIdleRequest", false, &pPool, &pAS,
                        pLog);
  if (status != STATUS_OK) return status;
  status = _AddServerData(pPool, data, pPoolList, pAS, pResponse, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASIdleRequest(): error adding cache data for appserver.");
    return status;
  }
  status = KTASServerSetIdle(pAS, pLog);
  if (status != STATUS_OK) KTLogWrite(pLog, "MCHandleASIdleRequest(): error set server to idle.");
  return status;
}

/* Returns 1 for an unparsable header or unknown server, else the failing step's status. */
KTStatus MCHandleASWorkingRequest(const char* header, const char* data, ASPoolList* pPoolList,
                                  KTSocket* pSocket, KTBuffer* pResponse, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pSocket == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "MCHandleASWorkingRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  ASPool* pPool = nullptr;
  KTASServer* pAS = nullptr;
  KTStatus status =
      findAndBindServer(header, pPoolList, pSocket, "MCHandleASWorkingRequest", true, &pPool, &pAS,
                        pLog);
  if (status != STATUS_OK) return status;
  status = KTASServerSetWorking(pAS, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASWorkingRequest(): error setting working state (%d)", status);
    return status;
  }
  status = _AddServerData(pPool, data, pPoolList, pAS, pResponse, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASWorkingRequest(): error adding cache data for appserver.");
  }
  return status;
}

/* Returns 1 for an unparsable header, else the failing step's status; an
 * unknown pool or empty data is no failure. */
KTStatus MCHandleASUpdateCacheRequest(const char* header, const char* data,
                                      ASPoolList* pPoolList, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr) {
    KTLogWrite(pLog, "MCHandleASUpdateCacheRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char address[kAddressBuffer] = "";
  char pool[kPoolBuffer] = "";
  int dataSize = 0;
  int broadcast = 0;
  unsigned short port = 0;
  int fields = sscanf(header, "%*d %d %300s %100s %d\n", &dataSize, address, pool, &broadcast);
  if (ParseSocket(address, &port, fields == 4 && fieldsFit(address, pool)) != 0) {
    KTLogWrite(pLog, "MCHandleASUpdateCacheRequest(): error parsing request '%s'", header);
    return ERROR_UNKNOWN;
  }
  /* No data (also a negative length, which read none) leaves nothing to do. */
  if (dataSize <= 0 || data == nullptr) return STATUS_OK;

  ASPool* pPool = nullptr;
  KTStatus status = ASPoolListGetMatching(pPoolList, pool, &pPool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASUpdateCacheRequest(): error get pool for name '%s'(%d).", pool,
               status);
    return status;
  }
  if (pPool == nullptr) {
    KTLogWrite(pLog, "MCHandleASUpdateCacheRequest(): pool '%s' not found", pool);
    return STATUS_OK;
  }
  status = _AddScriptData(pPool, data, pPoolList, broadcast, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASUpdateCacheRequest(): error adding cache data for pool '%s'(%d).",
               pool, status);
  }
  return status;
}

/* Returns 1 for an unparsable header or unknown server, else the status of
 * the state change (ERROR_UNKNOWN unless the server was working). */
KTStatus MCHandleASSetMonFlagRequest(const char* header, ASPoolList* pPoolList, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr) {
    KTLogWrite(pLog, "MCHandleASSetMonFlagRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  ASPool* pPool = nullptr;
  KTASServer* pAS = nullptr;
  KTStatus status = findServer(header, pPoolList, "MCHandleASSetMonFlagRequest",
                               "error search server.", false, &pPool, &pAS, pLog);
  if (status != STATUS_OK) return status;
  return KTASServerStartMonitor(pAS, pLog);
}

/* Returns 1 for an unparsable header or unknown server, else the first
 * failing step's status. */
KTStatus MCHandleASFinishRequest(const char* header, const char* data, ASPoolList* pPoolList,
                                 KTMCServerList* pMCs, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pMCs == nullptr) {
    KTLogWrite(pLog, "MCHandleASFinishRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  ASPool* pPool = nullptr;
  KTASServer* pAS = nullptr;
  KTStatus status = findServer(header, pPoolList, "MCHandleASFinishRequest",
                               "error search application server", false, &pPool, &pAS, pLog);
  if (status != STATUS_OK) return status;
  // Kept for the lines written after the record is freed.
  char address[kAddressBuffer] = "";
  snprintf(address, sizeof(address), "%s", pAS->IP);
  const unsigned short port = pAS->port;
  status = _AddScriptData(pPool, data, pPoolList, 0, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASFinishRequest(): error adding cache data (%d)", status);
    return status;
  }
  status = ASPoolRemoveServer(pPool, pAS, pMCs, pLog);
  if (status != STATUS_OK) {
    /* The record may still be listed: it must not be freed under the
     * selection's feet. */
    KTLogWrite(pLog, "MCHandleASFinishRequest(): error remove server from old pool. (%d)", status);
    return status;
  }
  status = ASPoolListRemoveEmptyPool(pPoolList, &pPool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASFinishRequest(): error ask if pool empty (%d).", status);
  }
  KTStatus freeStatus = KTASServerFree(&pAS, pLog);
  if (freeStatus != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASFinishRequest(): error free server [%s]:%hu %d.", address, port,
               freeStatus);
    if (status == STATUS_OK) status = freeStatus;
  }
  KTDEBUG_MSG(KTDEBUG_RROUTER, "MCHandleASFinishRequest(): [%s]:%hu finished", address, port);
  return status;
}

/* Ends the process; returns 0 only when a SIGTERM handler let it live. */
KTStatus MCHandleASShutdownRequest(KTLog* pLog) {
  KTLogWrite(pLog, "MCHandleASShutdownRequest(): shutdown requested, terminating the router");
  if (raise(SIGTERM) != 0) exit(0);
  return STATUS_OK;
}

/* -------------------------------------------------------------- peers */

/* Returns 1 for an unparsable header, else the failing peer step's status;
 * a failure to list the pool names is only logged. */
KTStatus MCHandleMCInitialPoolRequest(const char* header, ASPoolList* pPoolList,
                                      KTMCServerList* pMCs, KTSocket* pSocket,
                                      KTBuffer* pResponse, const char* MyIP, unsigned short MyPort,
                                      KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pMCs == nullptr || pSocket == nullptr ||
      pResponse == nullptr || MyIP == nullptr) {
    KTLogWrite(pLog, "MCHandleMCInitialPoolRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char address[kAddressBuffer] = "";
  unsigned short port = 0;
  int fields = sscanf(header, "%*d %*d %300s\n", address);
  if (ParseSocket(address, &port, fields >= 1 && fieldsFit(address, nullptr)) != 0) {
    KTLogWrite(pLog, "MCHandleMCInitialPoolRequest(): error parsing request '%s'", header);
    return ERROR_UNKNOWN;
  }
  KTStatus status = ASPoolListForEach(pPoolList, ASPoolNameASUsed, pLog, pResponse, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCInitialPoolRequest(): error get pool names (%d).", status);
  }
  KTMCServer* pMC = nullptr;
  status = findOrCreateMC(pMCs, address, port, MyIP, MyPort, "MCHandleMCInitialPoolRequest", &pMC,
                          pLog);
  if (status != STATUS_OK) return status;
  status = KTMCServerSetSocket(pMC, pSocket, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCInitialPoolRequest(): error set socket on MC (%d).", status);
  }
  return status;
}

/* Returns 1 for an unparsable header, else the failing step's status. */
KTStatus MCHandleMCNewPoolRequest(const char* header, ASPoolList* pPoolList, KTMCServerList* pMCs,
                                  KTSocket* pSocket, int maxCacheItems, const char* MyIP,
                                  unsigned short MyPort, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pMCs == nullptr || pSocket == nullptr ||
      MyIP == nullptr) {
    KTLogWrite(pLog, "MCHandleMCNewPoolRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char address[kAddressBuffer] = "";
  char pool[kPoolBuffer] = "";
  unsigned short port = 0;
  int fields = sscanf(header, "%*d %*d %300s %100s\n", address, pool);
  if (ParseSocket(address, &port, fields >= 2 && fieldsFit(address, pool)) != 0) {
    KTLogWrite(pLog, "MCHandleMCNewPoolRequest(): error parsing request '%s'", header);
    return ERROR_UNKNOWN;
  }
  ASPool* pPool = nullptr;
  bool created = false;
  KTStatus status = findOrCreatePool(pPoolList, pool, maxCacheItems, "MCHandleMCNewPoolRequest",
                                     &pPool, &created, pLog);
  if (status != STATUS_OK) return status;
  KTMCServer* pMC = nullptr;
  status = findOrCreateMC(pMCs, address, port, MyIP, MyPort, "MCHandleMCNewPoolRequest", &pMC, pLog);
  if (status != STATUS_OK) {
    dropIfCreatedEmpty(pPoolList, pPool, created, pLog);
    return status;
  }
  status = ASPoolAddMC(pPool, pMC, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCNewPoolRequest(): error adding MC to pool %s:[%s]:%hu.", pool,
               address, port);
    dropIfCreatedEmpty(pPoolList, pPool, created, pLog);
    return status;
  }
  KTDEBUG_MSG(KTDEBUG_RROUTER, "MCHandleMCNewPoolRequest(): [%s]:%hu shares pool '%s'", address,
              port, pool);
  status = KTMCServerSetSocket(pMC, pSocket, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCNewPoolRequest(): error set socket on MC (%d).", status);
  }
  return status;
}

/* Returns 1 for an unparsable header, else the failing step's status; an
 * unknown pool or peer is no failure. */
KTStatus MCHandleMCReleasePoolRequest(const char* header, ASPoolList* pPoolList,
                                      KTMCServerList* pMCs, KTSocket* pSocket, const char* MyIP,
                                      unsigned short MyPort, KTLog* pLog) {
  (void)MyIP;
  (void)MyPort;
  if (header == nullptr || pPoolList == nullptr || pMCs == nullptr || pSocket == nullptr) {
    KTLogWrite(pLog, "MCHandleMCReleasePoolRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char address[kAddressBuffer] = "";
  char pool[kPoolBuffer] = "";
  unsigned short port = 0;
  int fields = sscanf(header, "%*d %*d %300s %100s\n", address, pool);
  if (ParseSocket(address, &port, fields >= 2 && fieldsFit(address, pool)) != 0) {
    KTLogWrite(pLog, "MCHandleMCReleasePoolRequest(): error parsing request '%s'", header);
    return ERROR_UNKNOWN;
  }
  ASPool* pPool = nullptr;
  KTStatus status = ASPoolListGetMatching(pPoolList, pool, &pPool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCReleasePoolRequest(): error get pool for name '%s'(%d).", pool,
               status);
    return status;
  }
  if (pPool == nullptr) {
    KTLogWrite(pLog, "MCHandleMCReleasePoolRequest(): pool not found '%s'.", pool);
    return STATUS_OK;
  }
  KTMCServer* pMC = nullptr;
  status = KTMCServerListGetMatching(pMCs, address, port, &pMC, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCReleasePoolRequest(): error find MC (%d).", status);
    return status;
  }
  if (pMC == nullptr) {
    KTLogWrite(pLog, "MCHandleMCReleasePoolRequest(): MC not found [%s]:%hu.", address, port);
    return STATUS_OK;
  }
  status = ASPoolRemoveMC(pPool, pMC, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCReleasePoolRequest(): error remove MC from pool '%s'(%d).", pool,
               status);
    return status;
  }
  status = ASPoolListRemoveEmptyPool(pPoolList, &pPool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCReleasePoolRequest(): error ask if pool empty (%d).", status);
    return status;
  }
  KTDEBUG_MSG(KTDEBUG_RROUTER, "MCHandleMCReleasePoolRequest(): [%s]:%hu released pool '%s'",
              address, port, pool);
  status = KTMCServerSetSocket(pMC, pSocket, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCReleasePoolRequest(): error set socket on MC (%d).", status);
  }
  return status;
}

/* ------------------------------------------------------- cache distribution */

/* Returns the pool's failing status; the spreading to other pools is not checked. */
KTStatus _AddScriptData(ASPool* pPool, const char* data, ASPoolList* pPoolList, int broadcast,
                        KTLog* pLog) {
  if (pPool == nullptr || pPoolList == nullptr) {
    KTLogWrite(pLog, "_AddScriptData(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char name[ASPOOL_NAME_SIZE];
  KTStatus status = ASPoolGetName(pPool, name, (int)sizeof name, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_AddScriptData(): can't get the pool name.");
    return status;
  }
  if (isGlobalReset(data)) {
    KTLogWrite(pLog, "_AddScriptData(): global cache reset.");
    ASPoolListForEach(pPoolList, ASPoolResetCacheIterator, pLog, broadcast, pLog);
    return STATUS_OK;
  }
  status = ASPoolAddScriptData(pPool, data, broadcast, pLog);
  if (status != STATUS_OK) return status;
  spreadDefaultPoolData(pPool, name, data, pPoolList, pLog);
  return STATUS_OK;
}

/* Returns the pool's failing status; the spreading to other pools is not checked. */
KTStatus _AddServerData(ASPool* pPool, const char* data, ASPoolList* pPoolList, KTASServer* pAS,
                        KTBuffer* pResponse, KTLog* pLog) {
  if (pPool == nullptr || pPoolList == nullptr || pAS == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "_AddServerData(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char name[ASPOOL_NAME_SIZE];
  KTStatus status = ASPoolGetName(pPool, name, (int)sizeof name, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_AddServerData(): can't get the pool name.");
    return status;
  }
  if (isGlobalReset(data)) {
    KTLogWrite(pLog, "_AddServerData(): global cache reset.");
    ASPoolListForEach(pPoolList, ASPoolResetCacheIterator, pLog, 0, pLog);
    return KTBufferStrSet(pResponse, "");
  }
  status = ASPoolAddServerData(pPool, pAS, data, pResponse, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_AddServerData(): error adding cache data (%d)", status);
    return status;
  }
  spreadDefaultPoolData(pPool, name, data, pPoolList, pLog);
  return STATUS_OK;
}

/* ---------------------------------------------------- MCClientCloseHandler */

/* Returns the last failing status; 0 when nothing was bound to the connection. */
namespace {

/* Shuts down the server bound to a connection that ended, resets its pool's
 * cache when it was busy, removes it from its pool (freeing a pool left
 * empty) and frees it; *pFreed tells whether the record is gone. Returns the
 * last failing step's status. */
KTStatus closeServer(ASPoolList* pPoolList, KTMCServerList* pMCs, ASPool* pPool, KTASServer* pAS,
                     bool* pFreed, KTLog* pLog) {
  *pFreed = false;
  KTASStatus before = KTASSTATUS_SHUTDOWN;
  KTStatus status = KTASServerGetStatus(pAS, &before, pLog);
  if (status == STATUS_OK) status = KTASServerSetShutdown(pAS, pLog);
  if (status == STATUS_OK && KTASStatusIsBusy(before)) {
    /* The server may have changed data that its pool's other servers
     * cached without ever reporting it: they have to drop everything. */
    status = ASPoolResetCache(pPool, 0, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "MCClientCloseHandler(): error reset cache on local pools");
    }
  }
  if (status == STATUS_OK) {
    KTDEBUG_MSG(KTDEBUG_RROUTER, "MCClientCloseHandler(): removing server [%s]:%hu", pAS->IP,
                pAS->port);
    status = ASPoolRemoveServer(pPool, pAS, pMCs, pLog);
    if (status != STATUS_OK) {
      /* Possibly still listed: keep the record rather than free it under
       * the selection's feet. */
      KTLogWrite(pLog, "MCClientCloseHandler(): error removing server");
    } else {
      KTStatus emptyStatus = ASPoolListRemoveEmptyPool(pPoolList, &pPool, pLog);
      if (emptyStatus != STATUS_OK) {
        KTLogWrite(pLog, "MCClientCloseHandler(): error ask if pool empty (%d).", emptyStatus);
        status = emptyStatus;
      }
      KTStatus freeStatus = KTASServerFree(&pAS, pLog);
      *pFreed = true;
      if (freeStatus != STATUS_OK) {
        KTLogWrite(pLog, "MCClientCloseHandler(): error free server");
        status = freeStatus;
      }
    }
  }
  return status;
}

}  // namespace

KTStatus MCClientCloseHandler(KTSocket* pSocket, ASPoolList* pPoolList, KTMCServerList* pMCs,
                              KTLog* pLog) {
  if (pSocket == nullptr || pPoolList == nullptr || pMCs == nullptr) {
    KTLogWrite(pLog, "MCClientCloseHandler(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  ASPool* pPool = nullptr;
  KTASServer* pAS = nullptr;
  KTMCServer* pMC = nullptr;
  KTStatus status = ASPoolListGetMatchingForSocket(pPoolList, pSocket, &pPool, &pAS, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCClientCloseHandler(): error search socket on server");
  } else if (pAS == nullptr) {
    status = KTMCServerListGetMatchingForSocket(pMCs, pSocket, &pMC, pLog);
    if (status != STATUS_OK) KTLogWrite(pLog, "MCClientCloseHandler(): error search socket on MCs");
  }

  if (pAS != nullptr) {
    /* A connection that announced several servers takes all of them along:
     * one left behind would stay idle and be handed out while nobody can
     * reach it. Each server goes down first, which unbinds it from the
     * connection, so the search below cannot find the same one again. */
    for (;;) {
      bool freed = false;
      KTStatus closeStatus = closeServer(pPoolList, pMCs, pPool, pAS, &freed, pLog);
      if (closeStatus != STATUS_OK) status = closeStatus;
      if (!freed) break;
      pPool = nullptr;
      pAS = nullptr;
      KTStatus searchStatus = ASPoolListGetMatchingForSocket(pPoolList, pSocket, &pPool, &pAS, pLog);
      if (searchStatus != STATUS_OK) {
        KTLogWrite(pLog, "MCClientCloseHandler(): error search socket on server");
        status = searchStatus;
        break;
      }
      if (pAS == nullptr) break;
    }
  } else if (pMC != nullptr) {
    status = KTMCServerSetShutdown(pMC, pLog);
    if (status != STATUS_OK) KTLogWrite(pLog, "MCClientCloseHandler(): error set down MC.");
  }
  return status;
}

/* ------------------------------------------------------ CMessageCenterServer */

CMessageCenterServer::CMessageCenterServer(const IPEndpoint& endpoint)
    : CTCPServer(endpoint),
      pPoolList(nullptr),
      pMCs(nullptr),
      mMaxCacheItems(0),
      mMCIP(endpoint.ip),
      mMCPort(endpoint.port) {}

CMessageCenterServer::CMessageCenterServer(const IPEndpoint& endpoint, ASPoolList* poolList,
                                           KTMCServerList* mcs, int maxCacheItems,
                                           const std::string& mcIP, unsigned short mcPort)
    : CTCPServer(endpoint),
      pPoolList(poolList),
      pMCs(mcs),
      mMaxCacheItems(maxCacheItems),
      mMCIP(mcIP),
      mMCPort(mcPort) {}

/* Returns the handler's status; non-zero closes the connection. */
KTStatus CMessageCenterServer::handleRequest(KTSocket* pSocket) {
  if (pPoolList != nullptr) ASPoolListSetWriter(pPoolList, CLog::log);
  const unsigned short ownPort = mMCPort != 0 ? mMCPort : boundPort();
  return MCRequestHandler(pSocket, pPoolList, pMCs, mMCIP.c_str(), ownPort, mMaxCacheItems,
                          CLog::log);
}

/* Returns the close handler's status. */
KTStatus CMessageCenterServer::handleClientClose(KTSocket* pSocket) {
  return MCClientCloseHandler(pSocket, pPoolList, pMCs, CLog::log);
}
