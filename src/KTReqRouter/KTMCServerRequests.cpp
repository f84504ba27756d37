/* KTMCServerRequests.cpp - the message-center requests of application servers: announce (2), idle (3), working (4), cache data (5), monitor (6), finish (7) and shutdown (99). */
#include <signal.h>
#include <stdlib.h>

#include "KTASServer.h"
#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTMCRegistry.h"
#include "KTMCRequestHandler.h"
#include "KTMCRequestHeader.h"
#include "KTSocket.h"
#include "VXASPool.h"
#include "VXASPoolList.h"

namespace {

/* Finds the server named by the header's address, for codes 3, 4, 6 and 7.
 * `who` names the handler in the log lines; `searchFailure` is the text of a
 * failed lookup, followed by its status when withStatus is set. Returns
 * ERROR_UNKNOWN for an unparsable header or an unknown server, else the
 * lookup's status; *pFields holds the scanned header. */
KTStatus findServer(const char* header, int code, ASPoolList* pPoolList, const char* who,
                    const char* searchFailure, bool withStatus, MCRequestHeader* pFields,
                    ASPool** ppPool, KTASServer** ppAS, KTLog* pLog) {
  KTStatus status = MCScanRequestHeader(header, code, who, pFields, pLog);
  if (status != STATUS_OK) return status;
  const char* address = pFields->address;
  const unsigned short port = pFields->port;
  status = ASPoolListGetMatchingServer(pPoolList, address, port, ppPool, ppAS, pLog);
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
 * set. Returns ERROR_UNKNOWN for an unparsable header or an unknown server,
 * else the failing step's status. */
KTStatus findAndBindServer(const char* header, int code, ASPoolList* pPoolList,
                           KTSocket* pSocket, const char* who, bool withStatus, ASPool** ppPool,
                           KTASServer** ppAS, KTLog* pLog) {
  MCRequestHeader fields;
  KTStatus status = findServer(header, code, pPoolList, who, "error search server.", withStatus,
                               &fields, ppPool, ppAS, pLog);
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

}  // namespace

KTStatus MCHandleASInitialFreeRequest(const char* header, ASPoolList* pPoolList,
                                      KTMCServerList* pMCs, KTSocket* pSocket, int maxCacheItems,
                                      KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pMCs == nullptr || pSocket == nullptr) {
    KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  MCRequestHeader fields;
  KTStatus status = MCScanRequestHeader(header, MC_REQUEST_INITIALFREE,
                                        "MCHandleASInitialFreeRequest", &fields, pLog);
  if (status != STATUS_OK) return status;
  const char* address = fields.address;
  const char* pool = fields.pool;
  const unsigned short port = fields.port;

  ASPool* pPool = nullptr;
  bool created = false;
  MCRegistryStep failed = MC_REGISTRY_OK;
  status = MCRegistryFindOrCreatePool(pPoolList, pool, maxCacheItems,
                                      "MCHandleASInitialFreeRequest", &pPool, &created, &failed,
                                      pLog);
  if (status != STATUS_OK) return status;
  if (created) {
    KTDEBUG_MSG(KTDEBUG_RROUTER, "MCHandleASInitialFreeRequest(): created pool '%s'", pool);
  }

  ASPool* pOldPool = nullptr;
  KTASServer* pAS = nullptr;
  status = ASPoolListGetMatchingServer(pPoolList, address, port, &pOldPool, &pAS, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error search server (%d).", status);
    MCRegistryDropCreatedPool(pPoolList, pPool, created, pLog);
    return status;
  }

  if (pAS == nullptr) {
    status = KTASServerNew(&pAS, pool, address, port, fields.priority, (uint32_t)fields.pid,
                           pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error create server for [%s]:%hu (status %d).",
                 address, port, status);
      MCRegistryDropCreatedPool(pPoolList, pPool, created, pLog);
      return status;
    }
    status = ASPoolAddServer(pPool, pAS, pMCs, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error add server to pool %s:[%s]:%hu.", pool,
                 address, port);
      KTASServerFree(&pAS, pLog);
      MCRegistryDropCreatedPool(pPoolList, pPool, created, pLog);
      return status;
    }
    KTDEBUG_MSG(KTDEBUG_RROUTER, "MCHandleASInitialFreeRequest(): [%s]:%hu joined pool '%s'",
                address, port, pool);
  } else if (pOldPool != pPool) {
    KTASStatus state = KTASSTATUS_SHUTDOWN;
    status = KTASServerGetStatus(pAS, &state, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "MCHandleASInitialFreeRequest(): error get server state (%d).", status);
      MCRegistryDropCreatedPool(pPoolList, pPool, created, pLog);
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
    MCMoveOutcome outcome = MC_MOVE_STAYED;
    status = MCRegistryMoveServer(pPoolList, pMCs, pAS, pOldPool, pPool, pool,
                                  "MCHandleASInitialFreeRequest", &outcome, pLog);
    if (status != STATUS_OK) {
      /* The request fails and its connection closes; a server that did
       * arrive in the new pool is taken along by the close like any other
       * server bound to that connection. */
      if (outcome != MC_MOVE_ARRIVED) MCRegistryDropCreatedPool(pPoolList, pPool, created, pLog);
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

KTStatus MCHandleASIdleRequest(const char* header, const char* data, ASPoolList* pPoolList,
                               KTSocket* pSocket, KTBuffer* pResponse, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pSocket == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "MCHandleASIdleRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  ASPool* pPool = nullptr;
  KTASServer* pAS = nullptr;
  KTStatus status =
      findAndBindServer(header, MC_REQUEST_IDLE, pPoolList, pSocket, "MCHandleASIdleRequest", false, &pPool, &pAS,
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

KTStatus MCHandleASWorkingRequest(const char* header, const char* data, ASPoolList* pPoolList,
                                  KTSocket* pSocket, KTBuffer* pResponse, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pSocket == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "MCHandleASWorkingRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  ASPool* pPool = nullptr;
  KTASServer* pAS = nullptr;
  KTStatus status =
      findAndBindServer(header, MC_REQUEST_WORKING, pPoolList, pSocket, "MCHandleASWorkingRequest", true, &pPool, &pAS,
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

KTStatus MCHandleASUpdateCacheRequest(const char* header, const char* data,
                                      ASPoolList* pPoolList, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr) {
    KTLogWrite(pLog, "MCHandleASUpdateCacheRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  MCRequestHeader fields;
  KTStatus status = MCScanRequestHeader(header, MC_REQUEST_UPDATECACHE,
                                        "MCHandleASUpdateCacheRequest", &fields, pLog);
  if (status != STATUS_OK) return status;
  const char* pool = fields.pool;
  /* No data (also a negative length, which read none) leaves nothing to do. */
  if (fields.dataSize <= 0 || data == nullptr) return STATUS_OK;

  ASPool* pPool = nullptr;
  status = ASPoolListGetMatching(pPoolList, pool, &pPool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASUpdateCacheRequest(): error get pool for name '%s'(%d).", pool,
               status);
    return status;
  }
  if (pPool == nullptr) {
    KTLogWrite(pLog, "MCHandleASUpdateCacheRequest(): pool '%s' not found", pool);
    return STATUS_OK;
  }
  status = _AddScriptData(pPool, data, pPoolList, fields.broadcast, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleASUpdateCacheRequest(): error adding cache data for pool '%s'(%d).",
               pool, status);
  }
  return status;
}

KTStatus MCHandleASSetMonFlagRequest(const char* header, ASPoolList* pPoolList, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr) {
    KTLogWrite(pLog, "MCHandleASSetMonFlagRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  MCRequestHeader fields;
  ASPool* pPool = nullptr;
  KTASServer* pAS = nullptr;
  KTStatus status = findServer(header, MC_REQUEST_SETMONFLAG, pPoolList, "MCHandleASSetMonFlagRequest",
                               "error search server.", false, &fields, &pPool, &pAS, pLog);
  if (status != STATUS_OK) return status;
  return KTASServerStartMonitor(pAS, pLog);
}

KTStatus MCHandleASFinishRequest(const char* header, const char* data, ASPoolList* pPoolList,
                                 KTMCServerList* pMCs, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pMCs == nullptr) {
    KTLogWrite(pLog, "MCHandleASFinishRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  MCRequestHeader fields;
  ASPool* pPool = nullptr;
  KTASServer* pAS = nullptr;
  KTStatus status = findServer(header, MC_REQUEST_FINISH, pPoolList, "MCHandleASFinishRequest",
                               "error search application server", false, &fields, &pPool, &pAS,
                               pLog);
  if (status != STATUS_OK) return status;
  // The server matched the header's host and port exactly; the lines written
  // after the record is freed name it by them.
  const char* address = fields.address;
  const unsigned short port = fields.port;
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

KTStatus MCHandleASShutdownRequest(KTLog* pLog) {
  KTLogWrite(pLog, "MCHandleASShutdownRequest(): shutdown requested, terminating the router");
  if (raise(SIGTERM) != 0) exit(0);
  return STATUS_OK;
}
