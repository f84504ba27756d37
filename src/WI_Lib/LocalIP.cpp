/* LocalIP.cpp - the local host's addresses and names, built from the host
 * name and its resolution plus the fixed loopback names.
 */
#include "LocalIP.h"

#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "KTDebug.h"
#include "Log.h"
#include "ResolveHostName.h"
#include "WIException.h"

KTStatus GetLocalIPs(KTStringList* pList, KTLog* pLog) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "GetLocalIPs( 0x%x, 0x%x )", KT_PTR32(pList), KT_PTR32(pLog));
  if (pList == nullptr) {
    KTLogWrite(pLog, "GetLocalIPs(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }

  char hostName[256];
  memset(hostName, 0, sizeof(hostName));
  const int result = gethostname(hostName, sizeof(hostName) - 1);
  if (result != 0) {
    KTLogWrite(pLog, "GetLocalIPs(): gethostname() failed (result=%d)", result);
    return ERROR_HOSTNAME;
  }
  return GetLocalIPsOfHost(hostName, pList, pLog);
}

KTStatus GetLocalIPsOfHost(const char* hostName, KTStringList* pList, KTLog* pLog) {
  if (hostName == nullptr || pList == nullptr) {
    KTLogWrite(pLog, "GetLocalIPs(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  struct addrinfo* pAddrList = nullptr;
  struct addrinfo* pChosen = nullptr;
  KTStatus status = ResolveHostName(hostName, 0, &pAddrList, &pChosen, 0, pLog);
  if (status != STATUS_OK) return status;

  char numeric[NI_MAXHOST];
  for (const struct addrinfo* entry = pAddrList; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    int niResult = 0;
    if (AddrInfoToNumericHost(entry, numeric, sizeof(numeric), &niResult) != STATUS_OK) {
      KTLogWrite(pLog, "GetLocalIPs(): getnameinfo(%s) failed (result=%d): %s", hostName, niResult,
                 gai_strerror(niResult));
      break;
    }
    status = KTStringListAdd(pList, numeric);
    if (status != STATUS_OK) break;
  }
  freeaddrinfo(pAddrList);
  if (status != STATUS_OK) return status;

  status = KTStringListAdd(pList, hostName);
  const char* dot = strchr(hostName, '.');
  if (status == STATUS_OK && dot != nullptr) {
    const std::string shortName(hostName, (size_t)(dot - hostName));
    status = KTStringListAdd(pList, shortName.c_str());
  }
  if (status == STATUS_OK) status = KTStringListAdd(pList, "127.0.0.1");
  if (status == STATUS_OK) status = KTStringListAdd(pList, "localhost");
  if (status == STATUS_OK && IsIPv6Enabled()) {
    status = KTStringListAdd(pList, "::1");
    if (status == STATUS_OK) status = KTStringListAdd(pList, "ipv6-localhost");
  }
  return status;
}

/* Throws CWIException when the list cannot be built. */
std::vector<std::string> GetLocalIPList() {
  CKTStringList list;
  const KTStatus status = GetLocalIPs(list.getList(), CLog::log);
  if (status != STATUS_OK) {
    throw CWIException(status, "GetLocalIPList(): GetLocalIPs() failed");
  }
  return list.toStringVector();
}
