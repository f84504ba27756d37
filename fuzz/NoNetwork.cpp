// NoNetwork.cpp - keeps the network fuzz targets on this machine.
//
// Random message-center requests name random hosts, and the router connects
// to peers and resolves and compares host names on its own. Linked into a
// fuzz target, these definitions take the place of the C library's:
//  - connect() is refused (ECONNREFUSED) unless the target itself opens a
//    connection inside a fuzz::OwnConnect scope, or hands the router a
//    stand-in inside a fuzz::StandIn scope, so a peer the input names is
//    simply down;
//  - getaddrinfo() resolves numeric addresses only and getnameinfo() answers
//    numerically, so no name ever reaches a resolver.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "NoNetwork.h"

namespace fuzz {
thread_local bool tOwnConnect = false;
thread_local StandInProvider tStandIn = nullptr;
thread_local void* tStandInContext = nullptr;
}  // namespace fuzz

extern "C" int connect(int fd, const struct sockaddr* addr, socklen_t length) {
  if (fuzz::tStandIn != nullptr) {
    const int standIn = fuzz::tStandIn(fuzz::tStandInContext);
    if (standIn < 0) {
      errno = ECONNREFUSED;
      return -1;
    }
    // The stand-in keeps the file flags the router set (non-blocking).
    const int flags = fcntl(fd, F_GETFL, 0);
    const bool moved = flags >= 0 && fcntl(standIn, F_SETFL, flags) == 0 && dup2(standIn, fd) == fd;
    close(standIn);
    if (!moved) {
      errno = ECONNREFUSED;
      return -1;
    }
    return 0;
  }
  if (!fuzz::tOwnConnect) {
    errno = ECONNREFUSED;
    return -1;
  }
  return (int)syscall(SYS_connect, fd, addr, length);
}

extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** result) {
  typedef int (*Function)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
  static Function real = (Function)dlsym(RTLD_NEXT, "getaddrinfo");
  struct addrinfo numeric;
  memset(&numeric, 0, sizeof numeric);
  if (hints != nullptr) numeric = *hints;
  numeric.ai_flags |= AI_NUMERICHOST | AI_NUMERICSERV;
  return real(node, service, &numeric, result);
}

extern "C" int getnameinfo(const struct sockaddr* addr, socklen_t length, char* host,
                           socklen_t hostLength, char* service, socklen_t serviceLength,
                           int flags) {
  typedef int (*Function)(const struct sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t,
                          int);
  static Function real = (Function)dlsym(RTLD_NEXT, "getnameinfo");
  return real(addr, length, host, hostLength, service, serviceLength,
              (flags | NI_NUMERICHOST | NI_NUMERICSERV) & ~NI_NAMEREQD);
}
