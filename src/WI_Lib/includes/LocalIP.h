/* LocalIP.h - the local host's own addresses and names.
 *
 * The list holds, in this order: the numeric text of every address the
 * host name resolves to (for the family selected by the IPv6 switch), the
 * host name, the part of it before the first dot when it has one,
 * "127.0.0.1", "localhost", and with IPv6 enabled "::1" and
 * "ipv6-localhost". Start-up uses it to recognise which configured routers
 * belong to this process. Thread safe (each call builds its own list).
 */
#ifndef LOCALIP_H
#define LOCALIP_H

#include <string>
#include <vector>

#include "KTLog.h"
#include "KTStatus.h"
#include "KTStringList.h"

/* Appends the local addresses and names to pList. Returns
 * ERROR_INVALID_PARAMETER for a null list, ERROR_HOSTNAME when the host
 * name cannot be read, the resolver's status when it cannot be resolved,
 * else the status of the last addition. */
KTStatus GetLocalIPs(KTStringList* pList, KTLog* pLog);

/* The same for the given host name instead of this host's name (the part
 * of GetLocalIPs after reading the name). ERROR_INVALID_PARAMETER for a
 * null name or list. */
KTStatus GetLocalIPsOfHost(const char* hostName, KTStringList* pList, KTLog* pLog);

/* The same list as texts; throws CWIException with the status and
 * "GetLocalIPList(): GetLocalIPs() failed" on failure. */
std::vector<std::string> GetLocalIPList();

#endif /* LOCALIP_H */
