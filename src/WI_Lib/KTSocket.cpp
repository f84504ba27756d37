/* KTSocket.cpp - creating, connecting, checking, listening and accepting TCP sockets, and the system error texts.
 *
 * Client sockets connect without blocking and complete the connect with a
 * poll() bounded by the caller's time-out. Listening sockets reset their
 * connections on close (SO_LINGER 0). Failures go to the log, details to the
 * trace; the trace texts still say "select" where operators' tools look for
 * them.
 */
#include "KTSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "KTDebug.h"
#include "KTUtils.h"
#include "ResolveHostName.h"
#include "internal/KTSocketInternal.h"

using namespace ktsocket;

namespace {

/* The longest system error text handed out. */
const size_t kErrorTextMax = 255;

/* strerror_r comes in two flavours; both overloads yield the text. */
[[maybe_unused]] inline const char* _PickErrorText(int rc, const char* buffer) {
  return rc == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] inline const char* _PickErrorText(const char* text, const char*) {
  return text;
}

/* Allocates a zeroed record; null when out of memory. */
KTSocket* _NewRecord() { return (KTSocket*)calloc(1, sizeof(KTSocket)); }

}  // namespace

namespace ktsocket {

KTStatus _NoMemory(KTLog* pLog, const char* function) {
  KTLogWrite(pLog, "%s(): couldn't allocate memory", function);
  return ERROR_MEMORY_ALLOCATION;
}

}  // namespace ktsocket

char* KTFormatError(int number) {
  char buffer[kErrorTextMax + 1];
  buffer[0] = '\0';
  const char* text = _PickErrorText(strerror_r(number, buffer, sizeof buffer), buffer);
  size_t length = strnlen(text, kErrorTextMax);
  char* copy = (char*)malloc(length + 1);
  if (copy == nullptr) return nullptr;
  memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

KTStatus KTFormatSocketError(int number, char* buffer, size_t bufferSize) {
  if (buffer == nullptr || bufferSize == 0) return ERROR_INVALID_PARAMETER;
  char local[kErrorTextMax + 1];
  local[0] = '\0';
  const char* text = _PickErrorText(strerror_r(number, local, sizeof local), local);
  size_t length = strnlen(text, bufferSize - 1);
  memcpy(buffer, text, length);
  buffer[length] = '\0';
  return STATUS_OK;
}

KTStatus KTSocketNew(KTSocket** ppSocket, int family, KTLog* pLog) {
  if (ppSocket == nullptr || *ppSocket != nullptr) {
    KTLogWrite(pLog, "KTSocketNew(): wrong parameters passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTSocket* pSocket = _NewRecord();
  if (pSocket == nullptr) return _NoMemory(pLog, "KTSocketNew");

  int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) {
    ErrorText err(errno);
    free(pSocket);
    if (!err.ok()) return _NoMemory(pLog, "KTSocketNew");
    KTLogWrite(pLog, "KTSocketNew(): error creating socket (%s)", err.text());
    return ERROR_SOCKET_OPEN;
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
    ErrorText err(errno);
    close(fd);
    free(pSocket);
    if (!err.ok()) return _NoMemory(pLog, "KTSocketNew");
    KTLogWrite(pLog, "KTSocketNew(): error setting socket options (%s)", err.text());
    return ERROR_SOCKET_OPTION;
  }
  pSocket->socket = fd;
  pSocket->created = 1;
  pSocket->timeout = KTSOCKET_DEFAULT_TIMEOUT;
  *ppSocket = pSocket;
  KTDEBUG_MSG(KTDEBUG_SOCKET, "KTSocketNew(): created socket #%d", fd);
  return STATUS_OK;
}

KTStatus KTSocketFree(KTSocket** ppSocket, KTLog* pLog) {
  if (ppSocket == nullptr || *ppSocket == nullptr) {
    KTLogWrite(pLog, "KTSocketFree(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTSocket* pSocket = *ppSocket;
  if (pSocket->created) close(pSocket->socket);
  free(pSocket->ip);
  free(pSocket);
  *ppSocket = nullptr;
  return STATUS_OK;
}

KTStatus KTSocketSetTimeout(KTSocket* pSocket, int timeout, KTLog* pLog) {
  if (pSocket == nullptr) {
    KTLogWrite(pLog, "KTSocketSetTimeout(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  pSocket->timeout = timeout;
  return STATUS_OK;
}

KTStatus KTSocketSetMSS(KTSocket* pSocket, int mss, KTLog* pLog) {
  if (pSocket == nullptr) {
    KTLogWrite(pLog, "KTSocketSetMSS(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  if (!pSocket->created) {
    KTLogWrite(pLog, "KTSocketSetMSS(): mismatch of internal state");
    return ERROR_INTERNAL_INCONSISTENCE;
  }
  if (setsockopt(pSocket->socket, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss) != 0) {
    ErrorText err(errno);
    if (!err.ok()) return _NoMemory(pLog, "KTSocketSetMSS");
    KTLogWrite(pLog, "KTSocketSetMSS(): error setting socket options (%s)", err.text());
    return ERROR_SOCKET_OPTION;
  }
  return STATUS_OK;
}

namespace {

/* Completes a non-blocking connect: waits up to timeoutMs (negative: no
 * limit) and reads the pending error. Returns ERROR_SOCKET_CONNECT on failure. */
KTStatus _FinishConnect(KTSocket* pSocket, const char* host, unsigned short port,
                        long long timeoutMs, KTLog* pLog) {
  long long start = KTMonotonicMs();
  WaitResult w;
  for (;;) {
    w = _Wait(pSocket->socket, true, true, false, _Remaining(start, timeoutMs));
    if (w.rc < 0 && w.error == EINTR) {
      KTDEBUG_MSG(KTDEBUG_SOCKET, "KTSocketConnect(): select was interrupted, trying again");
      continue;
    }
    break;
  }
  if (w.rc < 0) {
    ErrorText err(w.error);
    if (!err.ok()) return _NoMemory(pLog, "KTSocketConnect");
    KTLogWrite(pLog, "KTSocketConnect(): connect to [%s]:%hu failed (%d: %s)", host, port,
               w.error, err.text());
    return ERROR_SOCKET_CONNECT;
  }
  if (w.rc == 0) {
    KTLogWrite(pLog, "KTSocketConnect(): connect to [%s]:%hu timed out", host, port);
    return ERROR_SOCKET_CONNECT;
  }
  if (!w.readable && !w.writable) {
    KTLogWrite(pLog, "KTSocketConnect(): socked fd not set by select()");
    return ERROR_SOCKET_CONNECT;
  }
  int pending = 0;
  socklen_t length = sizeof pending;
  if (getsockopt(pSocket->socket, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
    ErrorText err(errno);
    if (!err.ok()) return _NoMemory(pLog, "KTSocketConnect");
    KTLogWrite(pLog, "KTSocketConnect(): getsockopt() failed (%s)", err.text());
    return ERROR_SOCKET_CONNECT;
  }
  if (pending != 0) {
    ErrorText err(pending);
    if (!err.ok()) return _NoMemory(pLog, "KTSocketConnect");
    KTLogWrite(pLog, "KTSocketConnect(): connect to [%s]:%hu failed (%d, %s)", host, port,
               pending, err.text());
    return ERROR_SOCKET_CONNECT;
  }
  return STATUS_OK;
}

}  // namespace

KTStatus KTSocketConnect(KTSocket* pSocket, const char* host, unsigned short port, int timeout,
                         KTLog* pLog) {
  if (pSocket == nullptr || host == nullptr || timeout < 0 ||
      timeout >= KTSOCKET_MAX_CONNECT_TIMEOUT) {
    KTLogWrite(pLog, "KTSocketConnect(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  if (!pSocket->created || pSocket->connected) {
    KTLogWrite(pLog, "KTSocketConnect(): mismatch of internal state");
    return ERROR_INTERNAL_INCONSISTENCE;
  }
  KTDEBUG_MSG(KTDEBUG_SOCKET, "KTSocketConnect(): requesting connect to IP %s, port %hu ", host,
              port);

  int flags = fcntl(pSocket->socket, F_GETFL, 0);
  if (flags < 0) {
    ErrorText err(errno);
    if (!err.ok()) return _NoMemory(pLog, "KTSocketConnect");
    KTLogWrite(pLog,
               "KTSocketConnect(): error detecting file flags of socket #%d connected to "
               "[%s]:%hu (%s)",
               pSocket->socket, host, port, err.text());
    return ERROR_SOCKET_FCNTL;
  }
  if (fcntl(pSocket->socket, F_SETFL, flags | O_NONBLOCK) < 0) {
    ErrorText err(errno);
    if (!err.ok()) return _NoMemory(pLog, "KTSocketConnect");
    KTLogWrite(pLog,
               "KTSocketConnect(): error setting file flags for socket #%d connected to "
               "[%s]:%hu (%s)",
               pSocket->socket, host, port, err.text());
    return ERROR_SOCKET_FCNTL;
  }

  struct addrinfo* pList = nullptr;
  struct addrinfo* pEntry = nullptr;
  KTStatus status = ResolveHostName(host, port, &pList, &pEntry, IPPROTO_TCP, pLog);
  if (status != STATUS_OK) return status;

  if (connect(pSocket->socket, pEntry->ai_addr, pEntry->ai_addrlen) != 0) {
    int error = errno;
    if (error == EAGAIN || error == EINPROGRESS || error == EINTR) {
      status = _FinishConnect(pSocket, host, port, timeout == 0 ? -1 : (long long)timeout * 1000,
                              pLog);
    } else {
      ErrorText err(error);
      if (!err.ok()) {
        status = _NoMemory(pLog, "KTSocketConnect");
      } else {
        KTLogWrite(pLog, "KTSocketConnect(): connect to [%s]:%hu failed (%d: %s)", host, port,
                   error, err.text());
        status = ERROR_SOCKET_CONNECT;
      }
    }
  }
  freeaddrinfo(pList);
  if (status != STATUS_OK) return status;

  char* ip = strdup(host);
  if (ip == nullptr) {
    KTLogWrite(pLog, "KTSocketConnect(): unable to allocate memory needed for IP");
    return ERROR_MEMORY_ALLOCATION;
  }
  free(pSocket->ip);
  pSocket->ip = ip;
  pSocket->port = port;
  pSocket->connected = 1;
  pSocket->timeConnected = KTTimeNow();
  KTDEBUG_MSG(KTDEBUG_SOCKET, "KTSocketConnect(): socket #%d connected to [%s]:%hu",
              pSocket->socket, host, port);
  return STATUS_OK;
}

KTStatus KTSocketCheck(KTSocket* pSocket, KTLog* pLog) {
  if (pSocket == nullptr) {
    KTLogWrite(pLog, "KTSocketCheck(): wrong parameters passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  if (!pSocket->created) {
    KTLogWrite(pLog,
               "KTSocketCheck(): mismatch of internal state (trying to check non existing socket)");
    return ERROR_INTERNAL_INCONSISTENCE;
  }
  time_t age = KTTimeNow() - pSocket->timeConnected;
  if (age > KTSOCKET_MAX_AGE) {
    KTDEBUG_MSG(KTDEBUG_REQUEST, "KTSocketCheck(): socket too long connected (%d s).", (int)age);
    return ERROR_SOCKET;
  }

  /* Three zero-time polls: exception, writability, readability. */
  for (int step = 0; step < 3; ++step) {
    WaitResult w;
    do {
      w = _Wait(pSocket->socket, step == 2, step == 1, step == 0, 0);
      if (w.rc < 0 && w.error == EINTR)
        KTDEBUG_MSG(KTDEBUG_SOCKET, "KTSocketCheck(): select was interrupted, trying again");
    } while (w.rc < 0 && w.error == EINTR);
    if (w.rc < 0) {
      KTDEBUG_MSG(KTDEBUG_SOCKET,
                  "KTSocketCheck(): socket #%d connected to [%s]:%hu can not be used anymore (%s)",
                  pSocket->socket, _Host(pSocket), pSocket->port, strerror(w.error));
      return ERROR_SOCKET;
    }
    if (step == 0 && w.exception) {
      KTDEBUG_MSG(KTDEBUG_SOCKET,
                  "KTSocketCheck(): socket #%d connected to [%s]:%hu can not be used anymore "
                  "(exception)",
                  pSocket->socket, _Host(pSocket), pSocket->port);
      return ERROR_SOCKET;
    }
    if (step == 1 && !w.writable) {
      KTDEBUG_MSG(KTDEBUG_SOCKET,
                  "KTSocketCheck(): socket #%d connected to [%s]:%hu can not be used anymore "
                  "(not writable)",
                  pSocket->socket, _Host(pSocket), pSocket->port);
      return ERROR_SOCKET;
    }
    if (step == 2 && w.readable) {
      KTDEBUG_MSG(KTDEBUG_SOCKET,
                  "KTSocketCheck(): socket #%d connected to [%s]:%hu can not be used anymore "
                  "(pending data to read)",
                  pSocket->socket, _Host(pSocket), pSocket->port);
      return ERROR_SOCKET;
    }
  }
  return STATUS_OK;
}

KTStatus KTSocketGetHostPort(KTSocket* pSocket, char* hostName, size_t hostLen,
                             unsigned short* pPort, KTLog* pLog) {
  if (pSocket == nullptr || hostName == nullptr || pPort == nullptr) {
    KTLogWrite(pLog, "KTSocketGetHostPort(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *pPort = pSocket->port;
  if (pSocket->ip == nullptr) {
    KTDEBUG_MSG(KTDEBUG_SOCKET, "KTSocketGetHostPort(): socket connected but ip does not exists");
    if (hostLen > 0) hostName[0] = '\0';
    return STATUS_OK;
  }
  size_t length = strlen(pSocket->ip);
  if (hostLen == 0 || length > hostLen - 1) {
    KTDEBUG_MSG(KTDEBUG_SOCKET, "KTSocketGetHostPort(): hostName[ %d ] too short", (int)hostLen);
    if (hostLen > 0) {
      memcpy(hostName, pSocket->ip, hostLen - 1);
      hostName[hostLen - 1] = '\0';
    }
    return ERROR_INSUFFICIENT_BUFFER;
  }
  memcpy(hostName, pSocket->ip, length + 1);
  return STATUS_OK;
}

KTStatus KTSocketGetFd(KTSocket* pSocket, int* pFd, KTLog* pLog) {
  if (pSocket == nullptr || pFd == nullptr) {
    KTLogWrite(pLog, "KTSocketGetFd(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *pFd = pSocket->socket;
  return STATUS_OK;
}

namespace {

/* Sets one integer-sized socket option; on failure logs the KTServerSocketNew
 * line naming the option and returns ERROR_SOCKET_OPEN (or the no-memory status). */
KTStatus _ListenOption(int fd, int option, const void* value, socklen_t length, const char* name,
                       unsigned short port, KTLog* pLog) {
  if (setsockopt(fd, SOL_SOCKET, option, value, length) == 0) return STATUS_OK;
  int error = errno;
  ErrorText err(error);
  if (!err.ok()) return _NoMemory(pLog, "KTServerSocketNew");
  KTLogWrite(pLog, "KTServerSocketNew(): failed to set socket option: %s, port %hu, errno: %d (%s)",
             name, port, error, err.text());
  return ERROR_SOCKET_OPEN;
}

/* Binds and listens; returns ERROR_SOCKET_CONNECT or ERROR_SOCKET_LISTENING on failure. */
KTStatus _BindAndListen(int fd, const struct sockaddr* pAddr, socklen_t addrLength,
                        const char* shownHost, unsigned short port, KTLog* pLog) {
  KTDEBUG_MSG(KTDEBUG_SOCKET, "KTServerSocketNew(): bind socket to [%s]:%hu", shownHost, port);
  if (bind(fd, pAddr, addrLength) != 0) {
    ErrorText err(errno);
    if (!err.ok()) return _NoMemory(pLog, "KTServerSocketNew");
    KTLogWrite(pLog, "KTServerSocketNew(): cannot bind to [%s]:%hu (%s)", shownHost, port,
               err.text());
    return ERROR_SOCKET_CONNECT;
  }
  if (listen(fd, 128) != 0) {
    ErrorText err(errno);
    if (!err.ok()) return _NoMemory(pLog, "KTServerSocketNew");
    KTLogWrite(pLog, "KTServerSocketNew(): can't start listening on socket bound to: [%s]:%hu (%s)",
               shownHost, port, err.text());
    return ERROR_SOCKET_LISTENING;
  }
  return STATUS_OK;
}

/* The port a bound socket got from the system; `fallback` when it cannot be read. */
unsigned short _BoundPort(int fd, unsigned short fallback) {
  struct sockaddr_storage local;
  socklen_t length = sizeof local;
  if (getsockname(fd, (struct sockaddr*)&local, &length) != 0) return fallback;
  if (local.ss_family == AF_INET) return ntohs(((struct sockaddr_in*)&local)->sin_port);
  if (local.ss_family == AF_INET6) return ntohs(((struct sockaddr_in6*)&local)->sin6_port);
  return fallback;
}

}  // namespace

KTStatus KTServerSocketNew(KTSocket** ppSocket, const char* IP, unsigned short port, int family,
                           KTLog* pLog) {
  if (ppSocket == nullptr || *ppSocket != nullptr) {
    KTLogWrite(pLog, "KTServerSocketNew(): invalid parameter");
    return ERROR_INVALID_PARAMETER;
  }
  struct addrinfo* pList = nullptr;
  struct addrinfo* pEntry = nullptr;
  if (IP != nullptr) {
    KTStatus status = ResolveHostName(IP, port, &pList, &pEntry, IPPROTO_TCP, pLog);
    if (status != STATUS_OK) return status;
    family = pEntry->ai_family;
  } else if (family != AF_INET6) {
    family = AF_INET;
  }
  const char* shownHost = IP != nullptr ? IP : "*";

  KTSocket* pSocket = _NewRecord();
  char* ip = strdup(shownHost);
  if (pSocket == nullptr || ip == nullptr) {
    free(pSocket);
    free(ip);
    if (pList) freeaddrinfo(pList);
    return _NoMemory(pLog, "KTServerSocketNew");
  }

  KTStatus status = STATUS_OK;
  int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) {
    int error = errno;
    ErrorText err(error);
    if (!err.ok()) {
      status = _NoMemory(pLog, "KTServerSocketNew");
    } else {
      KTLogWrite(pLog, "KTServerSocketNew(): error creating socket; port %hu, errno: %d (%s)",
                 port, error, err.text());
      status = ERROR_SOCKET_OPEN;
    }
  }

  if (status == STATUS_OK) {
    /* Reset, not drain, connections on close, and allow a quick restart on the same port. */
    struct linger lingerOption;
    lingerOption.l_onoff = 1;
    lingerOption.l_linger = 0;
    status = _ListenOption(fd, SO_LINGER, &lingerOption, sizeof lingerOption, "SO_LINGER", port,
                           pLog);
  }
  if (status == STATUS_OK) {
    int on = 1;
    status = _ListenOption(fd, SO_REUSEADDR, &on, sizeof on, "SO_REUSEADDR", port, pLog);
  }
  if (status == STATUS_OK) {
    if (pEntry != nullptr) {
      status = _BindAndListen(fd, pEntry->ai_addr, pEntry->ai_addrlen, shownHost, port, pLog);
    } else if (family == AF_INET6) {
      struct sockaddr_in6 any6;
      memset(&any6, 0, sizeof any6);
      any6.sin6_family = AF_INET6;
      any6.sin6_addr = in6addr_any;
      any6.sin6_port = htons(port);
      status = _BindAndListen(fd, (struct sockaddr*)&any6, sizeof any6, shownHost, port, pLog);
    } else {
      struct sockaddr_in any4;
      memset(&any4, 0, sizeof any4);
      any4.sin_family = AF_INET;
      any4.sin_addr.s_addr = htonl(INADDR_ANY);
      any4.sin_port = htons(port);
      status = _BindAndListen(fd, (struct sockaddr*)&any4, sizeof any4, shownHost, port, pLog);
    }
  }
  if (pList) freeaddrinfo(pList);

  if (status != STATUS_OK) {
    if (fd >= 0) close(fd);
    free(ip);
    free(pSocket);
    return status;
  }
  pSocket->socket = fd;
  pSocket->ip = ip;
  /* With port 0 the record shows the port the system chose. */
  pSocket->port = port != 0 ? port : _BoundPort(fd, port);
  pSocket->connected = 1;
  pSocket->created = 1;
  pSocket->timeout = 0;
  *ppSocket = pSocket;
  KTDEBUG_MSG(KTDEBUG_SOCKET,
              "KTServerSocketNew(): listening socket opened and bound to [%s]:%hu (%d,%d,%d)", ip,
              pSocket->port, fd, pSocket->connected, pSocket->created);
  return STATUS_OK;
}

KTStatus KTSocketAccept(KTSocket* pServerSocket, KTSocket** ppSocket, KTLog* pLog) {
  if (pServerSocket == nullptr || ppSocket == nullptr || *ppSocket != nullptr) {
    KTLogWrite(pLog, "KTSocketAccept(): invalid parameter");
    return ERROR_INVALID_PARAMETER;
  }
  if (!pServerSocket->created || !pServerSocket->connected) {
    KTLogWrite(pLog, "KTSocketAccept(): mismatch of internal state");
    return ERROR_INTERNAL_INCONSISTENCE;
  }
  struct sockaddr_storage peer;
  socklen_t peerLength = sizeof peer;
  int fd = accept(pServerSocket->socket, (struct sockaddr*)&peer, &peerLength);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
    int error = errno;
    KTDEBUG_MSG(KTDEBUG_SOCKET, "KTSocketAccept(): no descriptor left for a client of [%s]:%hu (%s)",
                _Host(pServerSocket), pServerSocket->port, strerror(error));
    errno = error;
    return ERROR_SOCKET_DESCRIPTORS;
  }
  if (fd < 0) {
    ErrorText err(errno);
    if (!err.ok()) return _NoMemory(pLog, "KTSocketAccept");
    KTLogWrite(pLog, "KTSocketAccept(): error accepting client socket for server [%s]:%hu (%s)",
               _Host(pServerSocket), pServerSocket->port, err.text());
    return ERROR_SOCKET_ACCEPT;
  }
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  int rc = getnameinfo((struct sockaddr*)&peer, peerLength, host, sizeof host, service,
                       sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
  if (rc != 0) {
    close(fd);
    KTLogWrite(pLog, "KTSocketAccept(): getnameinfo() failed (result=%d): %s", rc,
               gai_strerror(rc));
    return ERROR_GETNAMEINFO;
  }
  KTSocket* pSocket = _NewRecord();
  char* ip = strdup(host);
  if (pSocket == nullptr || ip == nullptr) {
    close(fd);
    free(pSocket);
    free(ip);
    KTLogWrite(pLog, "KTSocketAccept(): cannot allocate IP string");
    return ERROR_MEMORY_ALLOCATION;
  }
  pSocket->socket = fd;
  pSocket->ip = ip;
  pSocket->port = (unsigned short)strtoul(service, nullptr, 10);
  pSocket->connected = 1;
  pSocket->created = 1;
  pSocket->timeout = KTSOCKET_DEFAULT_TIMEOUT;
  *ppSocket = pSocket;
  KTDEBUG_MSG(KTDEBUG_SOCKET, "KTSocketAccept():  server [%s]:%hu accepted client [%s]:%hu as socket %d",
              _Host(pServerSocket), pServerSocket->port, ip, pSocket->port, fd);
  return STATUS_OK;
}
