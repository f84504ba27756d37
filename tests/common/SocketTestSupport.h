// SocketTestSupport.h - helpers for tests that talk over real sockets on
// 127.0.0.1: raw listeners and clients, sending, receiving and waiting for
// readiness.
#ifndef SOCKETTESTSUPPORT_H
#define SOCKETTESTSUPPORT_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "TestSupport.h"

namespace sockettest {

// A listening TCP socket on 127.0.0.1 with a port chosen by the system; -1 on failure.
inline int ListenLoopback(uint16_t* pPort, int backlog = 16) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t length = sizeof addr;
  if (bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, (struct sockaddr*)&addr, &length) != 0) {
    close(fd);
    return -1;
  }
  *pPort = ntohs(addr.sin_port);
  return fd;
}

// A port on 127.0.0.1 that nobody listens on (bound once, then released).
inline uint16_t ClosedPort() {
  uint16_t port = 0;
  int fd = ListenLoopback(&port);
  if (fd >= 0) close(fd);
  return port;
}

// Waits until fd is readable (POLLIN) for at most timeoutMs; true when it is.
inline bool WaitReadable(int fd, int timeoutMs) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

// Accepts one connection within timeoutMs; -1 when none came.
inline int AcceptWithin(int listenFd, int timeoutMs) {
  if (!WaitReadable(listenFd, timeoutMs)) return -1;
  return accept(listenFd, nullptr, nullptr);
}

// A blocking TCP client connected to 127.0.0.1:port; -1 on failure.
inline int ConnectLoopback(uint16_t port, int type = SOCK_STREAM) {
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Writes all bytes; false on failure.
inline bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += (size_t)n;
  }
  return true;
}

// Reads until `count` bytes, end of stream or timeoutMs without data.
inline std::string ReceiveUpTo(int fd, size_t count, int timeoutMs) {
  std::string data;
  char buffer[4096];
  while (data.size() < count && WaitReadable(fd, timeoutMs)) {
    size_t want = count - data.size() < sizeof buffer ? count - data.size() : sizeof buffer;
    ssize_t n = recv(fd, buffer, want, 0);
    if (n <= 0) break;
    data.append(buffer, (size_t)n);
  }
  return data;
}

// True when the peer has closed fd's connection (end of stream or reset) within timeoutMs.
inline bool PeerClosed(int fd, int timeoutMs) {
  if (!WaitReadable(fd, timeoutMs)) return false;
  char c;
  return recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// The shared scaffolding, under the names the socket tests have always used.
using testsupport::FileLog;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WaitFor;

}  // namespace sockettest

#endif  // SOCKETTESTSUPPORT_H
