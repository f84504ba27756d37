/* ResolveHostName.cpp - host text to socket address, for one address family.
 *
 * Only the family selected by the process-wide IPv6 switch is asked for.
 * Names are resolved with their canonical name; a null host means "any
 * local address" and is resolved passively and numerically. The chosen
 * entry is converted back to numeric text only for the trace.
 */
#include "ResolveHostName.h"

#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <string>

#include "KTDebug.h"
#include "Log.h"
#include "SocketException.h"

KTStatus AddrInfoToNumericHost(const struct addrinfo* entry, char* buffer, size_t size,
                               int* pResult) {
  if (entry == nullptr || buffer == nullptr || size == 0 || entry->ai_addr == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  buffer[0] = '\0';
  const int result = getnameinfo(entry->ai_addr, entry->ai_addrlen, buffer, (socklen_t)size,
                                 nullptr, 0, NI_NUMERICHOST);
  if (pResult != nullptr) *pResult = result;
  return result == 0 ? STATUS_OK : ERROR_GETNAMEINFO;
}

KTStatus ResolveHostName(const char* hostName, unsigned short hostPort, struct addrinfo** hostAddr,
                         struct addrinfo** hostPtr, int ai_protocol, KTLog* pLog) {
  if (hostAddr == nullptr || hostPtr == nullptr) {
    KTLogWrite(pLog, "ResolveHostName(): wrong arguments passed to procedure (hostAddr: %x, hostPtr: %x)",
               KT_PTR32(hostAddr), KT_PTR32(hostPtr));
    return ERROR_INVALID_PARAMETER;
  }
  *hostAddr = nullptr;
  *hostPtr = nullptr;

  const bool ipv6 = IsIPv6Enabled();
  const char* shownHost = hostName != nullptr ? hostName : "NULL";
  KTDEBUG_MSG(KTDEBUG_UTILS, "ResolveHostName(%s, %d, %d, %s)", shownHost, (int)hostPort,
              ai_protocol, ipv6 ? "IPv6" : "IP4");

  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
  if (ai_protocol == KT_PROTOCOL_UDP) {
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
  } else {
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
  }
  hints.ai_flags = hostName != nullptr ? AI_CANONNAME : (AI_PASSIVE | AI_NUMERICHOST);

  char service[16];
  const char* pService = nullptr;
  if (hostPort != 0) {
    snprintf(service, sizeof(service), "%hu", hostPort);
    pService = service;
  }

  struct addrinfo* list = nullptr;
  const int result = getaddrinfo(hostName, pService, &hints, &list);
  if (result != 0) {
    KTLogWrite(pLog, "ResolveHostName(%s): getaddrinfo() failed (result=%d): %s", shownHost, result,
               gai_strerror(result));
    return ERROR_GETADDRINFO;
  }

  struct addrinfo* chosen = nullptr;
  for (struct addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (ipv6 && entry->ai_family == AF_INET6) {
      chosen = entry;
      break;
    }
    if (entry->ai_family == AF_INET) {
      if (chosen == nullptr) chosen = entry;
      if (!ipv6) break;
    }
  }
  if (chosen == nullptr) {
    KTLogWrite(pLog, "ResolveHostName(%s): invalid protocol version: %d", shownHost, 0);
    freeaddrinfo(list);
    return ERROR_NO_INETADDR;
  }

  char numeric[NI_MAXHOST];
  if (AddrInfoToNumericHost(chosen, numeric, sizeof(numeric), nullptr) == STATUS_OK) {
    KTDEBUG_MSG(KTDEBUG_UTILS, "ResolveHostName(): getnameinfo(): : host = %s", numeric);
  } else {
    KTLogWrite(pLog, "ResolveHostName(): getnameinfo(): could not find IP");
  }

  *hostAddr = list;
  *hostPtr = chosen;
  return STATUS_OK;
}

/* Throws CSocketException starting with the host text on failure. */
CResolveHostName::CResolveHostName(const char* host, unsigned short port, int protocol) {
  resolve(host, port, protocol);
}

/* Throws CSocketException starting with the host text on failure. */
CResolveHostName::CResolveHostName(const std::string& host, unsigned short port, int protocol) {
  resolve(host.c_str(), port, protocol);
}

/* Never fails; releases the whole resolved list. */
CResolveHostName::~CResolveHostName() {
  if (_hostAddr != nullptr) freeaddrinfo(_hostAddr);
}

/* Throws CSocketException starting with the host text on failure. */
void CResolveHostName::resolve(const char* host, unsigned short port, int protocol) {
  const KTStatus status = ResolveHostName(host, port, &_hostAddr, &_hostPtr, protocol, CLog::log);
  if (status != STATUS_OK) {
    std::string prefix = host != nullptr ? host : "NULL";
    prefix += ": cannot resolve host name (status=" + std::to_string(status) + ")";
    /* The resolver's own error text is in the log; errno says nothing here. */
    throw CSocketException(prefix, 0);
  }
}

/* Throws CSocketException when a name has to be resolved and cannot be. */
int CResolveHostName::getAddressFamily(const std::string& host, int protocol) {
  if (host.empty()) return IsIPv6Enabled() ? AF_INET6 : AF_INET;
  if (host.find(':') != std::string::npos) return AF_INET6;
  if (IsIP(host.c_str()) == 4) return AF_INET;
  CResolveHostName resolved(host, 0, protocol);
  return resolved.addrInfo()->ai_family;
}
