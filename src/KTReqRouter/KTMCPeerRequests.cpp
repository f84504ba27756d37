/* KTMCPeerRequests.cpp - the message-center requests of peer routers: start-up (20), a pool gained (21) or lost (22) its servers there. */
#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTMCRegistry.h"
#include "KTMCRequestHandler.h"
#include "KTMCRequestHeader.h"
#include "KTMCServer.h"
#include "KTMCServerList.h"
#include "VXASPool.h"
#include "VXASPoolList.h"

KTStatus MCHandleMCInitialPoolRequest(const char* header, ASPoolList* pPoolList,
                                      KTMCServerList* pMCs, KTSocket* pSocket,
                                      KTBuffer* pResponse, const char* MyIP, unsigned short MyPort,
                                      KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pMCs == nullptr || pSocket == nullptr ||
      pResponse == nullptr || MyIP == nullptr) {
    KTLogWrite(pLog, "MCHandleMCInitialPoolRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  MCRequestHeader fields;
  KTStatus status = MCScanRequestHeader(header, MC_REQUEST_INITIALPOOL,
                                        "MCHandleMCInitialPoolRequest", &fields, pLog);
  if (status != STATUS_OK) return status;
  const char* address = fields.address;
  const unsigned short port = fields.port;
  status = ASPoolListForEach(pPoolList, ASPoolNameASUsed, pLog, pResponse, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCInitialPoolRequest(): error get pool names (%d).", status);
  }
  KTMCServer* pMC = nullptr;
  MCRegistryStep failed = MC_REGISTRY_OK;
  status = MCRegistryFindOrCreatePeer(pMCs, address, port, MyIP, MyPort,
                                      "MCHandleMCInitialPoolRequest", &pMC, &failed, pLog);
  if (status != STATUS_OK) return status;
  status = KTMCServerSetSocket(pMC, pSocket, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCInitialPoolRequest(): error set socket on MC (%d).", status);
  }
  return status;
}

KTStatus MCHandleMCNewPoolRequest(const char* header, ASPoolList* pPoolList, KTMCServerList* pMCs,
                                  KTSocket* pSocket, int maxCacheItems, const char* MyIP,
                                  unsigned short MyPort, KTLog* pLog) {
  if (header == nullptr || pPoolList == nullptr || pMCs == nullptr || pSocket == nullptr ||
      MyIP == nullptr) {
    KTLogWrite(pLog, "MCHandleMCNewPoolRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  MCRequestHeader fields;
  KTStatus status = MCScanRequestHeader(header, MC_REQUEST_NEWPOOL, "MCHandleMCNewPoolRequest", &fields, pLog);
  if (status != STATUS_OK) return status;
  const char* address = fields.address;
  const char* pool = fields.pool;
  const unsigned short port = fields.port;
  ASPool* pPool = nullptr;
  bool created = false;
  MCRegistryStep failed = MC_REGISTRY_OK;
  status = MCRegistryFindOrCreatePool(pPoolList, pool, maxCacheItems, "MCHandleMCNewPoolRequest",
                                      &pPool, &created, &failed, pLog);
  if (status != STATUS_OK) return status;
  if (created) KTDEBUG_MSG(KTDEBUG_RROUTER, "MCHandleMCNewPoolRequest(): created pool '%s'", pool);
  KTMCServer* pMC = nullptr;
  status = MCRegistryFindOrCreatePeer(pMCs, address, port, MyIP, MyPort, "MCHandleMCNewPoolRequest",
                                      &pMC, &failed, pLog);
  if (status != STATUS_OK) {
    MCRegistryDropCreatedPool(pPoolList, pPool, created, pLog);
    return status;
  }
  status = MCRegistryAddPeerToPool(pPoolList, pPool, created, pMC, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "MCHandleMCNewPoolRequest(): error adding MC to pool %s:[%s]:%hu.", pool,
               address, port);
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

KTStatus MCHandleMCReleasePoolRequest(const char* header, ASPoolList* pPoolList,
                                      KTMCServerList* pMCs, KTSocket* pSocket, const char* MyIP,
                                      unsigned short MyPort, KTLog* pLog) {
  (void)MyIP;
  (void)MyPort;
  if (header == nullptr || pPoolList == nullptr || pMCs == nullptr || pSocket == nullptr) {
    KTLogWrite(pLog, "MCHandleMCReleasePoolRequest(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  MCRequestHeader fields;
  KTStatus status = MCScanRequestHeader(header, MC_REQUEST_RELEASEPOOL, "MCHandleMCReleasePoolRequest", &fields, pLog);
  if (status != STATUS_OK) return status;
  const char* address = fields.address;
  const char* pool = fields.pool;
  const unsigned short port = fields.port;
  ASPool* pPool = nullptr;
  status = ASPoolListGetMatching(pPoolList, pool, &pPool, pLog);
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
