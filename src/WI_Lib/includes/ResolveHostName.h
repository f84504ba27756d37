/* ResolveHostName.h - the resolver used by every socket operation.
 *
 * A host text is resolved for exactly one address family: IPv6 when
 * IsIPv6Enabled() (KTHostText.h), else IPv4. From the resolver's list one
 * entry is chosen: with IPv6 enabled the first IPv6 entry, otherwise the
 * first IPv4 entry. Failures are logged once here and passed up as status
 * codes; CResolveHostName turns them into CSocketException.
 * Thread safe (getaddrinfo is re-entrant; the environment is only read).
 */
#ifndef RESOLVEHOSTNAME_H
#define RESOLVEHOSTNAME_H

#include <netdb.h>

#include <string>

#include "KTLog.h"
#include "KTStatus.h"
#include "KTHostText.h"

/* Protocol number that selects UDP; any other value selects TCP. */
#define KT_PROTOCOL_UDP 17

/* Resolves hostName (null: any local address, passive and numeric) and
 * hostPort (0: no service) for UDP when ai_protocol is 17, else TCP.
 * On success *hostAddr receives the whole list, which the caller releases
 * with freeaddrinfo(), and *hostPtr the entry of it to use. Returns
 * ERROR_INVALID_PARAMETER for null output pointers, ERROR_GETADDRINFO when
 * the resolver fails and ERROR_NO_INETADDR when no entry of the wanted
 * family came back (then nothing is left to release and both outputs are
 * null). */
KTStatus ResolveHostName(const char* hostName, unsigned short hostPort, struct addrinfo** hostAddr,
                         struct addrinfo** hostPtr, int ai_protocol, KTLog* pLog);

/* Writes the numeric text of an address entry into buffer (size bytes);
 * returns ERROR_INVALID_PARAMETER for null arguments and ERROR_GETNAMEINFO
 * when the conversion fails (the resolver's code goes to *pResult when
 * given). */
KTStatus AddrInfoToNumericHost(const struct addrinfo* entry, char* buffer, size_t size,
                               int* pResult);

/* One resolved host, owning the resolver's list for its lifetime. */
class CResolveHostName {
 public:
  /* Resolves at construction (host may be null for any local address);
   * throws CSocketException whose message starts with the host text. */
  CResolveHostName(const char* host, unsigned short port, int protocol);
  CResolveHostName(const std::string& host, unsigned short port, int protocol);
  ~CResolveHostName();

  CResolveHostName(const CResolveHostName&) = delete;
  CResolveHostName& operator=(const CResolveHostName&) = delete;

  /* The chosen entry; valid while the object lives. */
  const struct addrinfo* addrInfo() const { return _hostPtr; }

  /* The address family to use for host: the preferred one (AF_INET6 when
   * IPv6 is enabled, else AF_INET) for the empty text, AF_INET6 for a text
   * with ':', AF_INET for digits and dots, else the family of the resolved
   * entry (throws CSocketException when resolution fails). */
  static int getAddressFamily(const std::string& host, int protocol);

 private:
  void resolve(const char* host, unsigned short port, int protocol);

  struct addrinfo* _hostAddr = nullptr;
  struct addrinfo* _hostPtr = nullptr;
};

#endif /* RESOLVEHOSTNAME_H */
