/* KTMCRequestHandler.cpp - the message-center framing: reading a request's header line and data, choosing its handler by code, writing the reply; and the listener that serves it.
 *
 * One call of MCRequestHandler serves one request of a kept-open connection:
 * header line, announced data, handler, reply. A non-zero result makes the
 * listener run MCClientCloseHandler and close the connection, so a failed
 * request also removes the application server bound to that connection.
 * Data lengths are bounded before anything is allocated.
 */
#include "KTMCRequestHandler.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTMCRequestHeader.h"
#include "KTSocket.h"
#include "Log.h"
#include "VXASPoolList.h"

namespace {

/* Releases what MCRequestHandler allocated and passes the status through. */
KTStatus finishRequest(KTBuffer** ppResponse, char* data, KTStatus status) {
  free(data);
  if (*ppResponse != nullptr) KTBufferFree(ppResponse);
  return status;
}

}  // namespace

/* ------------------------------------------------------- MCRequestHandler */

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
  if (MCScanCodeAndLength(header, &code, &dataSize) != 2) {
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

void CMessageCenterServer::onServingThreadStart() {
  if (pPoolList != nullptr) ASPoolListSetWriter(pPoolList, CLog::log);
}

KTStatus CMessageCenterServer::handleRequest(KTSocket* pSocket) {
  const unsigned short ownPort = mMCPort != 0 ? mMCPort : boundPort();
  return MCRequestHandler(pSocket, pPoolList, pMCs, mMCIP.c_str(), ownPort, mMaxCacheItems,
                          CLog::log);
}

KTStatus CMessageCenterServer::handleClientClose(KTSocket* pSocket) {
  return MCClientCloseHandler(pSocket, pPoolList, pMCs, CLog::log);
}
