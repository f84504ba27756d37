/* KTMonitorRequestHandler.cpp - the monitor protocol: framing and dispatch of monitor requests.
 *
 * The lines themselves come from the server records, the pools and the peer
 * records; this module reads the request, collects the body in a buffer
 * while holding the pool list's read lock (so no pool is freed during the
 * walk), and sends "0 <n>\n<body>" after the lock is released. A failed
 * request sends nothing: the caller closes the connection.
 */
#include "KTMonitorRequestHandler.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <exception>

#include "ASRequestInfo.h"
#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTMCServer.h"
#include "KTMCServerList.h"
#include "KTSocket.h"
#include "Log.h"
#include "VXASPool.h"
#include "VXASPoolList.h"

namespace {

/* The pool name is scanned with a width of 99; a longer token is refused
 * rather than cut to 99 characters, which would name another pool. */
static_assert(ASPOOL_NAME_SIZE == 100, "the pool name scan width must be 99");

/* Walks the pool list with an iterator that appends to pResponse, under the
 * read lock. `who` names the request in the failure line. Returns the
 * lock's or the first failing iterator's status. */
KTStatus walkPools(ASPoolList* pPools, KTListIterator iterator, KTBuffer* pResponse,
                   const char* who, KTLog* pLog) {
  if (pPools == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "%s(): wrong arguments passed to the procedure", who);
    return ERROR_INVALID_PARAMETER;
  }
  KTReaderGuard guard(ASPoolListMutex(pPools));
  if (!guard.locked()) {
    KTLogWrite(pLog, "%s(): cant get response of each pool", who);
    return ERROR_UNKNOWN;
  }
  KTStatus status = ASPoolListForEach(pPools, iterator, pLog, pResponse, pLog);
  if (status != STATUS_OK) KTLogWrite(pLog, "%s(): cant get response of each pool", who);
  return status;
}

}  // namespace

/* Returns the lock's or the first failing server line's status. */
KTStatus MonitorHandleServerRequest(ASPoolList* pPools, KTBuffer* pResponse, KTLog* pLog) {
  return walkPools(pPools, ASPoolMonitorServer, pResponse, "MonitorHandleServerRequest", pLog);
}

/* Returns the lock's or the first failing server line's status. */
KTStatus MonitorHandleDebugRequest(ASPoolList* pPools, KTBuffer* pResponse, KTLog* pLog) {
  return walkPools(pPools, ASPoolMonitorDebug, pResponse, "MonitorHandleDebugRequest", pLog);
}

/* Returns the lock's or the first failing pool line's status. */
KTStatus MonitorHandlePoolRequest(ASPoolList* pPools, KTBuffer* pResponse, KTLog* pLog) {
  return walkPools(pPools, ASPoolMonitorPool, pResponse, "MonitorHandlePoolRequest", pLog);
}

/* Returns the first failing peer line's status. */
KTStatus MonitorHandleMCServerRequest(KTMCServerList* pMCs, KTBuffer* pResponse, KTLog* pLog) {
  if (pMCs == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "MonitorHandleMCServerRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTMCServerListForEach(pMCs, KTMCServerMonitorServer, pLog, pResponse, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog,
               "MonitorHandleMCServerRequest(): cant get response of each message center");
  }
  return status;
}

/* ERROR_UNKNOWN without a valid pool name, ERROR_NO_SUCH_ELEMENT for an
 * unknown pool, else the lookup's or reset's failing status. */
KTStatus MonitorHandleResetPoolRequest(const char* request, ASPoolList* pPools, KTLog* pLog) {
  if (request == nullptr || pPools == nullptr) {
    KTLogWrite(pLog, "MonitorHandleResetPoolRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char name[ASPOOL_NAME_SIZE] = "";
  int end = 0;
  if (sscanf(request, "%*d %*d %99s%n", name, &end) != 1 ||
      (request[end] != '\0' && !isspace(static_cast<unsigned char>(request[end])))) {
    KTLogWrite(pLog, "MonitorHandleResetPoolRequest(): failed to read pool name from request (%s)",
               request);
    return ERROR_UNKNOWN;
  }
  KTReaderGuard guard(ASPoolListMutex(pPools));
  if (!guard.locked()) return ERROR_UNKNOWN;
  ASPool* pPool = nullptr;
  KTStatus status = ASPoolListGetMatching(pPools, name, &pPool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MonitorHandleResetPoolRequest(): error get pool for name '%s'(%d).", name,
               status);
    return status;
  }
  if (pPool == nullptr) {
    KTLogWrite(pLog, "MonitorHandleResetPoolRequest(): pool '%s' doesn't exist.", name);
    return ERROR_NO_SUCH_ELEMENT;
  }
  status = ASPoolResetPool(pPool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog,
               "MonitorHandleResetPoolRequest(): cant get a response by trying to reset statistic "
               "for pool '%s'",
               name);
  }
  return status;
}

/* Returns the lock's or the first failing reset's status. */
KTStatus MonitorHandleResetAllPoolsRequest(ASPoolList* pPools, KTLog* pLog) {
  if (pPools == nullptr) {
    KTLogWrite(pLog, "MonitorHandleResetAllPoolsRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTReaderGuard guard(ASPoolListMutex(pPools));
  KTStatus status = guard.locked() ? ASPoolListForEach(pPools, ASPoolVResetPool, pLog, pLog)
                                   : (KTStatus)ERROR_UNKNOWN;
  if (status != STATUS_OK) {
    KTLogWrite(pLog,
               "MonitorHandleResetAllPoolsRequest(): cant get a response by trying to reset "
               "statistic for all pools");
  }
  return status;
}

/* ERROR_UNKNOWN for a malformed line; an unknown pool is an outcome. */
KTStatus MonitorHandleExplainRequest(const char* request, ASPoolList* pPools, KTBuffer* pResponse,
                                     KTLog* pLog) {
  if (request == nullptr || pPools == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "MonitorHandleExplainRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  const char* blank = strchr(request, ' ');
  CASRequestInfo info;
  bool scanned = false;
  if (blank != nullptr) {
    try {
      // A short description reads as the get-server path reads it, with
      // defaults for the rest; one that ends before the pool is unusable.
      info.scan(blank + 1, strlen(blank + 1));
      scanned = !info.poolName.empty();
    } catch (const std::exception&) {
      scanned = false;
    }
  }
  if (!scanned) {
    KTLogWrite(pLog, "MonitorHandleExplainRequest(): failed to read request description (%s)",
               request);
    return ERROR_UNKNOWN;
  }
  KTReaderGuard guard(ASPoolListMutex(pPools));
  if (!guard.locked()) return ERROR_UNKNOWN;
  ASPool* pPool = nullptr;
  KTStatus status = ASPoolListGetMatching(pPools, info.poolName.c_str(), &pPool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MonitorHandleExplainRequest(): error get pool for name '%s'(%d).",
               info.poolName.c_str(), status);
    return status;
  }
  status = KTBufferStrAppendf(pResponse, "pool %s\n", info.poolName.c_str());
  if (status != STATUS_OK) return status;
  if (pPool == nullptr) return KTBufferStrAppend(pResponse, "outcome no-pool\n");
  return ASPoolExplain(pPool, &info, pResponse, pLog);
}

KTStatus MonitorRequestHandler(KTSocket* pSocket, ASPoolList* pPools, KTMCServerList* pMCs,
                               KTLog* pLog) {
  if (pSocket == nullptr || pPools == nullptr || pMCs == nullptr) {
    KTLogWrite(pLog, "MonitorRequestHandler(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTBuffer* pResponse = nullptr;
  KTStatus status = KTBufferStrNew(&pResponse, "");
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MonitorRequestHandler(): could not create buffer to store the response");
    return status;
  }
  char request[MONITOR_MAX_REQUEST_LINE];
  size_t size = sizeof request;
  status = KTSocketReceiveLine(pSocket, request, &size, pLog);
  if (status != STATUS_OK) {
    KTBufferFree(&pResponse);
    return status;
  }
  /* The line end is not part of the request; dropping it keeps log lines whole. */
  size_t length = strlen(request);
  while (length > 0 && (request[length - 1] == '\n' || request[length - 1] == '\r')) {
    request[--length] = '\0';
  }
  KTDEBUG_MSG(KTDEBUG_REQUEST, "MonitorRequestHandler(): request '%s'", request);

  int code = 0;
  if (sscanf(request, "%d\n", &code) != 1) {
    KTLogWrite(pLog, "MonitorRequestHandler(): failed to read request code (%s)", request);
    status = ERROR_UNKNOWN;
  } else {
    switch (code) {
      case MONITOR_GET_SERVERS:
        status = MonitorHandleServerRequest(pPools, pResponse, pLog);
        break;
      case MONITOR_GET_DEBUG:
        status = MonitorHandleDebugRequest(pPools, pResponse, pLog);
        break;
      case MONITOR_GET_MCSERVERS:
        status = MonitorHandleMCServerRequest(pMCs, pResponse, pLog);
        break;
      case MONITOR_GET_POOLS:
        status = MonitorHandlePoolRequest(pPools, pResponse, pLog);
        break;
      case MONITOR_RESET_POOL:
        status = MonitorHandleResetPoolRequest(request, pPools, pLog);
        break;
      case MONITOR_RESET_ALL_POOLS:
        status = MonitorHandleResetAllPoolsRequest(pPools, pLog);
        break;
      case MONITOR_EXPLAIN:
        status = MonitorHandleExplainRequest(request, pPools, pResponse, pLog);
        break;
      case MONITOR_GET_TRANSACTIONID:
        KTLogWrite(pLog, "MonitorRequestHandler(): obsolete request MONITOR_GET_TRANSACTIONID");
        status = ERROR_UNKNOWN;
        break;
      default:
        KTLogWrite(pLog, "MonitorRequestHandler(): unknown request %d", code);
        status = ERROR_UNKNOWN;
        break;
    }
  }

  if (status == STATUS_OK) {
    unsigned getStatus = 0;
    const char* body = KTBufferGet(pResponse, &getStatus);
    if (body == nullptr || getStatus != 0) {
      KTLogWrite(pLog, "MonitorRequestHandler(): can't get string from response buffer");
      status = getStatus != 0 ? (KTStatus)getStatus : ERROR_UNKNOWN;
    } else {
      status = KTSocketFPrint(pSocket, pLog, "0 %d\n%s", (int)strlen(body), body);
    }
  }
  KTBufferFree(&pResponse);
  return status;
}

CMonitorServer::CMonitorServer(const IPEndpoint& endpoint)
    : CTCPServer(endpoint), pPoolList(nullptr), pMCs(nullptr) {}

CMonitorServer::CMonitorServer(const IPEndpoint& endpoint, ASPoolList* pools, KTMCServerList* mcs)
    : CTCPServer(endpoint), pPoolList(pools), pMCs(mcs) {}

KTStatus CMonitorServer::handleRequest(KTSocket* pSocket) {
  return MonitorRequestHandler(pSocket, pPoolList, pMCs, CLog::log);
}
