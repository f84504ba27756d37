/* KTMCRegistry.cpp - the registry steps shared by the message-center handlers and the start-up join. */
#include "KTMCRegistry.h"

#include "KTASServer.h"
#include "KTBuffer.h"
#include "KTMCServer.h"
#include "KTMCServerList.h"
#include "VXASPool.h"
#include "VXASPoolList.h"

namespace {

/* Whether pPool still holds pAS after a removal that failed. When that
 * cannot be told, the record counts as still there: freeing a record that
 * may be listed would pull it from under the selection. */
bool stillInPool(ASPool* pPool, KTASServer* pAS, KTLog* pLog) {
  std::string host;
  unsigned short port = 0;
  KTASServer* pFound = nullptr;
  if (MCRegistryGetServerHost(pAS, &host, &port, pLog) != STATUS_OK ||
      ASPoolGetMatchingServer(pPool, host.c_str(), port, &pFound, pLog) != STATUS_OK) {
    return true;
  }
  return pFound == pAS;
}

}  // namespace

KTStatus MCRegistryGetServerHost(KTASServer* pAS, std::string* pHost, unsigned short* pPort,
                                 KTLog* pLog) {
  if (pAS == nullptr || pHost == nullptr || pPort == nullptr) {
    KTLogWrite(pLog, "MCRegistryGetServerHost(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTBuffer* pBuffer = nullptr;
  KTStatus status = KTBufferStrNew(&pBuffer, "");
  if (status == STATUS_OK) status = KTASServerGetHost(pAS, pBuffer, pPort, pLog);
  if (status == STATUS_OK) {
    unsigned getStatus = 0;
    const char* host = KTBufferGet(pBuffer, &getStatus);
    if (host == nullptr || getStatus != 0) {
      status = getStatus != 0 ? (KTStatus)getStatus : ERROR_UNKNOWN;
    } else {
      *pHost = host;
    }
  }
  if (pBuffer != nullptr) KTBufferFree(&pBuffer);
  return status;
}

KTStatus MCRegistryFindOrCreatePool(ASPoolList* pPoolList, const char* name, int maxCacheItems,
                                    const char* who, ASPool** ppPool, bool* pCreated,
                                    MCRegistryStep* pFailed, KTLog* pLog) {
  if (pPoolList == nullptr || name == nullptr || ppPool == nullptr || *ppPool != nullptr ||
      pCreated == nullptr || pFailed == nullptr) {
    KTLogWrite(pLog, "MCRegistryFindOrCreatePool(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *pCreated = false;
  *pFailed = MC_REGISTRY_FIND;
  KTStatus status = ASPoolListGetMatching(pPoolList, name, ppPool, pLog);
  if (status != STATUS_OK) {
    if (who != nullptr) KTLogWrite(pLog, "%s(): error get pool for name '%s'(%d).", who, name, status);
    return status;
  }
  if (*ppPool == nullptr) {
    *pFailed = MC_REGISTRY_CREATE;
    status = ASPoolNew(ppPool, name, maxCacheItems, pLog);
    if (status != STATUS_OK) {
      if (who != nullptr) {
        KTLogWrite(pLog, "%s(): error create pool for name '%s'(%d).", who, name, status);
      }
      return status;
    }
    *pFailed = MC_REGISTRY_LIST;
    status = ASPoolListAdd(pPoolList, *ppPool, pLog);
    if (status != STATUS_OK) {
      if (who != nullptr) {
        KTLogWrite(pLog, "%s(): error add pool '%s' to pool list (%d).", who, name, status);
      }
      ASPoolFree(ppPool, pLog);
      return status;
    }
    *pCreated = true;
  }
  *pFailed = MC_REGISTRY_OK;
  return STATUS_OK;
}

void MCRegistryDropCreatedPool(ASPoolList* pPoolList, ASPool* pPool, bool created, KTLog* pLog) {
  if (created && pPoolList != nullptr && pPool != nullptr) {
    ASPoolListRemoveEmptyPool(pPoolList, &pPool, pLog);
  }
}

KTStatus MCRegistryFindOrCreatePeer(KTMCServerList* pMCs, const char* host, unsigned short port,
                                    const char* MyIP, unsigned short MyPort, const char* who,
                                    KTMCServer** ppMC, MCRegistryStep* pFailed, KTLog* pLog) {
  if (pMCs == nullptr || host == nullptr || MyIP == nullptr || ppMC == nullptr ||
      *ppMC != nullptr || pFailed == nullptr) {
    KTLogWrite(pLog, "MCRegistryFindOrCreatePeer(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *pFailed = MC_REGISTRY_FIND;
  KTStatus status = KTMCServerListGetMatching(pMCs, host, port, ppMC, pLog);
  if (status != STATUS_OK) {
    if (who != nullptr) KTLogWrite(pLog, "%s(): error find MC (%d).", who, status);
    return status;
  }
  if (*ppMC == nullptr) {
    *pFailed = MC_REGISTRY_CREATE;
    status = KTMCServerNew(ppMC, host, port, MyIP, MyPort, pLog);
    if (status != STATUS_OK) {
      if (who != nullptr) {
        KTLogWrite(pLog, "%s(): error create MC for [%s]:%hu (status %d).", who, host, port,
                   status);
      }
      return status;
    }
    *pFailed = MC_REGISTRY_LIST;
    status = KTMCServerListAdd(pMCs, *ppMC, pLog);
    if (status != STATUS_OK) {
      if (who != nullptr) {
        KTLogWrite(pLog, "%s(): error add MC to global list [%s]:%hu (status %d).", who, host,
                   port, status);
      }
      KTMCServerFree(ppMC, pLog);
      return status;
    }
  }
  *pFailed = MC_REGISTRY_OK;
  return STATUS_OK;
}

KTStatus MCRegistryAddPeerToPool(ASPoolList* pPoolList, ASPool* pPool, bool created,
                                 KTMCServer* pMC, KTLog* pLog) {
  if (pPoolList == nullptr || pPool == nullptr || pMC == nullptr) {
    KTLogWrite(pLog, "MCRegistryAddPeerToPool(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = ASPoolAddMC(pPool, pMC, pLog);
  if (status != STATUS_OK) MCRegistryDropCreatedPool(pPoolList, pPool, created, pLog);
  return status;
}

KTStatus MCRegistryMoveServer(ASPoolList* pPoolList, KTMCServerList* pMCs, KTASServer* pAS,
                              ASPool* pOldPool, ASPool* pNewPool, const char* newName,
                              const char* who, MCMoveOutcome* pOutcome, KTLog* pLog) {
  if (pPoolList == nullptr || pMCs == nullptr || pAS == nullptr || pOldPool == nullptr ||
      pNewPool == nullptr || newName == nullptr || who == nullptr || pOutcome == nullptr) {
    KTLogWrite(pLog, "MCRegistryMoveServer(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *pOutcome = MC_MOVE_STAYED;
  KTStatus result = ASPoolRemoveServer(pOldPool, pAS, pMCs, pLog);
  if (result != STATUS_OK) {
    KTLogWrite(pLog, "%s(): error remove server from old pool. (%d)", who, result);
    /* The removal goes on past a failing step, so the server may be out
     * already; only one still listed stays where it is. */
    if (stillInPool(pOldPool, pAS, pLog)) return result;
  }
  KTStatus status = ASPoolListRemoveEmptyPool(pPoolList, &pOldPool, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "%s(): error ask if pool empty (%d).", who, status);
    if (result == STATUS_OK) result = status;
  }
  /* From here on the server is in no pool: it joins the new one or goes. */
  status = KTASServerSetPoolName(pAS, newName, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "%s(): error set pool name for server (%d)", who, status);
  } else {
    status = ASPoolAddServer(pNewPool, pAS, pMCs, pLog);
    if (status != STATUS_OK) KTLogWrite(pLog, "%s(): error add server to new pool. (%d)", who, status);
  }
  if (status != STATUS_OK) {
    KTASServerFree(&pAS, pLog);
    *pOutcome = MC_MOVE_FREED;
    return result != STATUS_OK ? result : status;
  }
  *pOutcome = MC_MOVE_ARRIVED;
  return result;
}
