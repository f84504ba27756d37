/* SocketLib.cpp - literal-address tests through the system's text-to-address
 * conversion; the text is only parsed, never resolved.
 */
#include "SocketLib.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "KTDebug.h"

bool CSocketLib::isIPv4Address(const char* addr) {
  KT_ASSERT(addr != nullptr, "SocketLib");
  struct in_addr address;
  return inet_pton(AF_INET, addr, &address) == 1;
}

bool CSocketLib::isIPv6Address(const char* addr) {
  KT_ASSERT(addr != nullptr, "SocketLib");
  struct in6_addr address;
  return inet_pton(AF_INET6, addr, &address) == 1;
}
