/* KTMCCacheDistribution.cpp - cache data of the message center: queued for a pool, spread from "DefaultPool" to every pool, the global reset. */
#include <string.h>

#include "KTBuffer.h"
#include "KTMCRequestHandler.h"
#include "VXASPool.h"
#include "VXASPoolList.h"

namespace {

/* True for the five bytes "All" 0x01 0x01 that reset every cache. */
bool isGlobalReset(const char* data) {
  return data != nullptr && strcmp(data, RR_CACHE_RESET_DATA) == 0;
}

/* Queues data of the pool "DefaultPool" for the servers of every other pool
 * as well (never forwarded to peers from there). The result is not checked:
 * the data already reached its own pool. */
void spreadDefaultPoolData(ASPool* pPool, const char* name, const char* data,
                           ASPoolList* pPoolList, KTLog* pLog) {
  if (data == nullptr || strcmp(name, RR_DEFAULT_POOL) != 0) return;
  ASPoolListForEach(pPoolList, ASPoolAddScriptDataIterator, pLog, pPool, data, pLog);
}

}  // namespace

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
