// TestSockets.h - the socket helpers of the tests, the system tests and the
// fuzz targets: IPv4 addresses, listeners and free ports, clients,
// sending everything, receiving with a time-out, lines and datagrams.
//
// Only the C library and the standard library are used, so that programs
// which drive the router from outside (the system tests) need none of its
// libraries. Every helper works on a plain descriptor; none closes one it
// did not open.
//
// Time-outs: a timeoutMs of 0 or more bounds each wait for data by poll(); a
// negative one leaves the waiting to the socket itself, which blocks until
// its receive time-out (SetReceiveTimeout) expires, or for ever without one.
#ifndef TESTSOCKETS_H
#define TESTSOCKETS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace testsockets {

// Fills *addr with host (a dotted IPv4 address) and port; false when host is no such address.
inline bool FillAddress(const std::string& host, uint16_t port, struct sockaddr_in* addr) {
  memset(addr, 0, sizeof *addr);
  addr->sin_family = AF_INET;
  addr->sin_port = htons(port);
  return inet_pton(AF_INET, host.c_str(), &addr->sin_addr) == 1;
}

// Bounds every blocking receive on fd; 0 is no bound.
inline void SetReceiveTimeout(int fd, int timeoutMs) {
  struct timeval tv;
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// Bounds blocking sends, and on Linux a blocking connect; 0 is no bound.
inline void SetSendTimeout(int fd, int timeoutMs) {
  struct timeval tv;
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A socket of the given type bound to host:port (port 0: the system picks
// one), with SO_REUSEADDR when reuseAddress; the descriptor or -1.
inline int BindSocket(const std::string& host, uint16_t port, int type, bool reuseAddress = false) {
  struct sockaddr_in addr;
  if (!FillAddress(host, port, &addr)) return -1;
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  int one = 1;
  if ((reuseAddress && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) ||
      bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The local port fd is bound to; 0 when it has none.
inline uint16_t BoundPort(int fd) {
  struct sockaddr_in addr;
  socklen_t length = sizeof addr;
  if (getsockname(fd, (struct sockaddr*)&addr, &length) != 0) return 0;
  return ntohs(addr.sin_port);
}

// A TCP listener on host:port (port 0: the system picks one) whose bound
// port goes to *pPort; -1, and *pPort untouched, on failure.
inline int ListenOn(const std::string& host, uint16_t port, int backlog, uint16_t* pPort,
                    bool reuseAddress = false) {
  int fd = BindSocket(host, port, SOCK_STREAM, reuseAddress);
  if (fd < 0) return -1;
  const uint16_t bound = listen(fd, backlog) == 0 ? BoundPort(fd) : 0;
  if (bound == 0) {
    close(fd);
    return -1;
  }
  *pPort = bound;
  return fd;
}

// A TCP listener on 127.0.0.1 with a port chosen by the system.
inline int ListenLoopback(uint16_t* pPort, int backlog = 16) {
  return ListenOn("127.0.0.1", 0, backlog, pPort);
}

// A port on host that is free for both TCP and UDP right now, so nobody
// listens on it: the system picks a TCP port, which is accepted when the
// same UDP port binds too. Ports handed out before are never handed out
// again by this process, so one configuration never gets a port twice. 0
// when none was found.
inline uint16_t FreePort(const std::string& host = "127.0.0.1") {
  static std::vector<uint16_t> handedOut;
  for (int attempt = 0; attempt < 50; ++attempt) {
    int tcp = BindSocket(host, 0, SOCK_STREAM);
    if (tcp < 0) return 0;
    const uint16_t port = BoundPort(tcp);
    int udp = port != 0 ? BindSocket(host, port, SOCK_DGRAM) : -1;
    close(tcp);
    if (udp >= 0) close(udp);
    bool used = false;
    for (uint16_t p : handedOut) used = used || p == port;
    if (udp >= 0 && !used) {
      handedOut.push_back(port);
      return port;
    }
  }
  return 0;
}

// A blocking socket of the given type connected to host:port; -1 on
// failure. connectTimeoutMs, when not 0, bounds a TCP connect (a SYN dropped
// by a full accept queue would otherwise cost the kernel's one-second
// retransmission); sends are unbounded again afterwards.
inline int ConnectTo(const std::string& host, uint16_t port, int type = SOCK_STREAM,
                     int connectTimeoutMs = 0) {
  struct sockaddr_in addr;
  if (!FillAddress(host, port, &addr)) return -1;
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  if (connectTimeoutMs != 0) SetSendTimeout(fd, connectTimeoutMs);
  if (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  if (connectTimeoutMs != 0) SetSendTimeout(fd, 0);
  return fd;
}

// A blocking TCP socket bound to source (port 0) and connected to
// host:port; -1 on failure. Any 127.x.y.z source works on a loopback host.
inline int ConnectFrom(const std::string& source, const std::string& host, uint16_t port) {
  struct sockaddr_in from;
  struct sockaddr_in to;
  if (!FillAddress(source, 0, &from) || !FillAddress(host, port, &to)) return -1;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (bind(fd, (struct sockaddr*)&from, sizeof from) != 0 ||
      connect(fd, (struct sockaddr*)&to, sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A blocking socket connected to 127.0.0.1:port; -1 on failure.
inline int ConnectLoopback(uint16_t port, int type = SOCK_STREAM) {
  return ConnectTo("127.0.0.1", port, type);
}

// True when a TCP connection to host:port is accepted.
inline bool TcpPortAnswers(const std::string& host, uint16_t port) {
  const int fd = ConnectTo(host, port);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// Waits until fd is readable (POLLIN, or an end or error to read) for at most timeoutMs.
inline bool WaitReadable(int fd, int timeoutMs) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

// Accepts one connection within timeoutMs; -1 when none came.
inline int AcceptWithin(int listenFd, int timeoutMs) {
  if (!WaitReadable(listenFd, timeoutMs)) return -1;
  return accept(listenFd, nullptr, nullptr);
}

// Writes all bytes (never raising SIGPIPE); false on failure.
inline bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += (size_t)n;
  }
  return true;
}

// Reads until count bytes, the end of the stream, an error, or a wait for
// data longer than timeoutMs; what came.
inline std::string ReceiveUpTo(int fd, size_t count, int timeoutMs) {
  std::string data;
  char buffer[4096];
  while (data.size() < count) {
    if (timeoutMs >= 0 && !WaitReadable(fd, timeoutMs)) break;
    const size_t want = count - data.size() < sizeof buffer ? count - data.size() : sizeof buffer;
    ssize_t n = recv(fd, buffer, want, 0);
    if (n <= 0) break;
    data.append(buffer, (size_t)n);
  }
  return data;
}

// Reads one line into *pLine, its "\n" included, never reading past it;
// true when the line is whole, false (with the bytes that came in *pLine)
// on time-out, end of stream or error.
inline bool ReceiveLine(int fd, int timeoutMs, std::string* pLine) {
  pLine->clear();
  for (;;) {
    const std::string c = ReceiveUpTo(fd, 1, timeoutMs);
    if (c.empty()) return false;
    *pLine += c;
    if (c[0] == '\n') return true;
  }
}

// True when the peer has closed fd's connection (end of stream or reset) within timeoutMs.
inline bool PeerClosed(int fd, int timeoutMs) {
  if (!WaitReadable(fd, timeoutMs)) return false;
  char c;
  return recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// Sends text as one datagram from fd to host:port and returns the first
// datagram that comes back (at most 2048 bytes); "" when the send failed or
// nothing came in time.
inline std::string ExchangeDatagram(int fd, const std::string& host, uint16_t port,
                                    const std::string& text, int timeoutMs) {
  struct sockaddr_in addr;
  if (fd < 0 || !FillAddress(host, port, &addr)) return "";
  if (sendto(fd, text.data(), text.size(), 0, (struct sockaddr*)&addr, sizeof addr) !=
      (ssize_t)text.size()) {
    return "";
  }
  if (timeoutMs >= 0 && !WaitReadable(fd, timeoutMs)) return "";
  char buffer[2048];
  ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, (size_t)n) : std::string();
}

}  // namespace testsockets

#endif  // TESTSOCKETS_H
