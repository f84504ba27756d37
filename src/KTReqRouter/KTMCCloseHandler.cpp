/* KTMCCloseHandler.cpp - what the end of a message-center connection takes along: the servers bound to it, or the peer's link. */
#include <string>

#include "KTASServer.h"
#include "KTDebug.h"
#include "KTMCRegistry.h"
#include "KTMCRequestHandler.h"
#include "KTMCServer.h"
#include "KTMCServerList.h"
#include "VXASPool.h"
#include "VXASPoolList.h"

namespace {

/* "[host]:port" of the server, for trace lines; "" when it cannot be read. */
std::string serverText(KTASServer* pAS, KTLog* pLog) {
  std::string host;
  unsigned short port = 0;
  if (MCRegistryGetServerHost(pAS, &host, &port, pLog) != STATUS_OK) return "";
  return "[" + host + "]:" + std::to_string(port);
}

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
    KTDEBUG_MSG(KTDEBUG_RROUTER, "MCClientCloseHandler(): removing server %s",
                serverText(pAS, pLog).c_str());
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

