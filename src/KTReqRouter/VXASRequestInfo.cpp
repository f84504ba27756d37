/* VXASRequestInfo.cpp - C-callable read access to a request description.
 *
 * Thin accessors over CASRequestInfo. A null description is a caller's
 * mistake; it is traced and answered with harmless values instead of
 * crashing the listener thread that asked.
 */
#include "VXASRequestInfo.h"

#include "ASRequestInfo.h"
#include "KTDebug.h"

namespace {

/* Returns the text, or "" after a trace line when the description is missing. */
const char* textOf(const CASRequestInfo* pInfo, const std::string CASRequestInfo::*field,
                   const char* caller) {
  if (pInfo == nullptr) {
    KTDEBUG_MSG(KTDEBUG_RROUTER, "%s(): wrong arguments passed to procedure (pInfo: %x)", caller,
                KT_PTR32(pInfo));
    return "";
  }
  return (pInfo->*field).c_str();
}

/* Returns the number, or fallback after a trace line when the description is missing. */
int numberOf(const CASRequestInfo* pInfo, int CASRequestInfo::*field, int fallback,
             const char* caller) {
  if (pInfo == nullptr) {
    KTDEBUG_MSG(KTDEBUG_RROUTER, "%s(): wrong arguments passed to procedure (pInfo: %x)", caller,
                KT_PTR32(pInfo));
    return fallback;
  }
  return pInfo->*field;
}

}  // namespace

extern "C" {

const char* ASRequestInfoGetClientIP(const CASRequestInfo* pInfo) {
  return textOf(pInfo, &CASRequestInfo::clientIP, "ASRequestInfoGetClientIP");
}

const char* ASRequestInfoGetSiteGUID(const CASRequestInfo* pInfo) {
  return textOf(pInfo, &CASRequestInfo::siteGUID, "ASRequestInfoGetSiteGUID");
}

const char* ASRequestInfoGetStoreName(const CASRequestInfo* pInfo) {
  return textOf(pInfo, &CASRequestInfo::storeName, "ASRequestInfoGetStoreName");
}

const char* ASRequestInfoGetPoolName(const CASRequestInfo* pInfo) {
  return textOf(pInfo, &CASRequestInfo::poolName, "ASRequestInfoGetPoolName");
}

const char* ASRequestInfoGetURI(const CASRequestInfo* pInfo) {
  return textOf(pInfo, &CASRequestInfo::uri, "ASRequestInfoGetURI");
}

const char* ASRequestInfoGetHost(const CASRequestInfo* pInfo) {
  return textOf(pInfo, &CASRequestInfo::httpHost, "ASRequestInfoGetHost");
}

const char* ASRequestInfoGetExtension(const CASRequestInfo* pInfo) {
  return textOf(pInfo, &CASRequestInfo::extension, "ASRequestInfoGetExtension");
}

int ASRequestInfoGetExtMaxServers(const CASRequestInfo* pInfo) {
  return numberOf(pInfo, &CASRequestInfo::extMaxServers, -1, "ASRequestInfoGetExtMaxServers");
}

KTStatus ASRequestInfoGetMaxServerPerSite(const CASRequestInfo* pInfo, int* pMaxServers,
                                          int* pSpecial) {
  if (pInfo == nullptr || pMaxServers == nullptr || pSpecial == nullptr) {
    KTDEBUG_MSG(KTDEBUG_RROUTER,
                "ASRequestInfoGetMaxServerPerSite(): wrong arguments passed to procedure "
                "(pInfo: %x, pMaxServers: %x, pSpecial: %x)",
                KT_PTR32(pInfo), KT_PTR32(pMaxServers), KT_PTR32(pSpecial));
    return ERROR_INVALID_PARAMETER;
  }
  if (pInfo->siteMaxServers >= 0) {
    *pMaxServers = pInfo->siteMaxServers;
    *pSpecial = 1;
    return STATUS_OK;
  }
  if (pInfo->poolMaxServersPerSite >= 0) {
    *pMaxServers = pInfo->poolMaxServersPerSite;
    *pSpecial = 0;
    return STATUS_OK;
  }
  return ERROR_NO_SUCH_ELEMENT;
}

KTStatus ASRequestInfoGetMaxServerPerClient(const CASRequestInfo* pInfo, int* pMaxServers) {
  if (pInfo == nullptr || pMaxServers == nullptr) {
    KTDEBUG_MSG(KTDEBUG_RROUTER,
                "ASRequestInfoGetMaxServerPerClient(): wrong arguments passed to procedure "
                "(pInfo: %x, pMaxServers: %x)",
                KT_PTR32(pInfo), KT_PTR32(pMaxServers));
    return ERROR_INVALID_PARAMETER;
  }
  if (pInfo->poolMaxServersPerClient >= 0) {
    *pMaxServers = pInfo->poolMaxServersPerClient;
    return STATUS_OK;
  }
  return ERROR_NO_SUCH_ELEMENT;
}

int ASRequestInfoGetTries(const CASRequestInfo* pInfo) {
  return numberOf(pInfo, &CASRequestInfo::tries, 0, "ASRequestInfoGetTries");
}

int ASRequestInfoGetMaxTries(const CASRequestInfo* pInfo) {
  return numberOf(pInfo, &CASRequestInfo::maxTries, 0, "ASRequestInfoGetMaxTries");
}

}  // extern "C"
