// LoopbackSupport.h - in-process connections for the network fuzz
// targets: a connected socket pair whose one end is a KTSocket, as the
// router's TCP listeners hand accepted connections to their handlers, and
// whose other end is a plain client descriptor, with the socket helpers the
// tests use (TestSockets.h).
//
// No listener and no TCP: the handlers only read, write and compare the
// descriptor, so a stream socket pair serves them like an accepted
// connection, at a fraction of the cost. The router's side carries a fixed
// address, 127.0.0.1 and a port of its own per connection, as accept() would
// give. Needs NoNetwork.cpp in the target (the router itself may still try
// to reach peers the input names).
#ifndef LOOPBACKSUPPORT_H
#define LOOPBACKSUPPORT_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "FuzzSupport.h"
#include "KTSocket.h"
#include "Log.h"
#include "NoNetwork.h"
#include "TestSockets.h"

namespace fuzz {

// Opens a connection; *pServer receives the router's side of it (a KTSocket
// that KTSocketFree closes and frees), the client's descriptor is returned.
inline int ConnectPair(KTSocket** pServer, int timeoutMs) {
  static unsigned short nextPort = 40000;
  int fds[2] = {-1, -1};
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
  // The record as KTSocketAccept() builds it: calloc'ed, owning its address.
  KTSocket* pSocket = (KTSocket*)calloc(1, sizeof(KTSocket));
  char* ip = strdup("127.0.0.1");
  FUZZ_CHECK(pSocket != nullptr && ip != nullptr, "socket record");
  pSocket->socket = fds[0];
  pSocket->ip = ip;
  pSocket->port = nextPort;
  nextPort = nextPort == 60999 ? 40000 : (unsigned short)(nextPort + 1);
  pSocket->connected = 1;
  pSocket->created = 1;
  pSocket->timeout = timeoutMs;
  *pServer = pSocket;
  return fds[1];
}

// Appends whatever is readable now.
inline void ReadAvailable(int fd, std::string& into) { into += testsockets::ReceiveUpTo(fd, SIZE_MAX, 0); }

// Appends everything up to the end of the stream, which must come within a
// second.
inline void ReadToEnd(int fd, std::string& into) {
  into += testsockets::ReceiveUpTo(fd, SIZE_MAX, 1000);
  FUZZ_CHECK(testsockets::PeerClosed(fd, 0), "no end of stream after the router closed");
}

enum class Waiting { Nothing, Line, TooLong };

// What a line reader with a buffer of lineLimit bytes finds on the socket
// without waiting: a whole line (*pLine receives it without its "\n" and
// *pAfter the number of bytes buffered after it), more bytes than a line may
// hold (the reader fails at once), or nothing it could finish yet.
inline Waiting LineWaiting(KTSocket* pSocket, size_t lineLimit, std::string* pLine,
                           size_t* pAfter) {
  int fd = -1;
  KTSocketGetFd(pSocket, &fd, CLog::log);
  static char peek[200000];
  const ssize_t n = recv(fd, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
  if (n <= 0) return Waiting::Nothing;
  const size_t scan = std::min((size_t)n, lineLimit - 1);
  const char* end = (const char*)memchr(peek, '\n', scan);
  if (end == nullptr) return scan >= lineLimit - 1 ? Waiting::TooLong : Waiting::Nothing;
  pLine->assign(peek, (size_t)(end - peek));
  *pAfter = (size_t)n - pLine->size() - 1;
  return Waiting::Line;
}

}  // namespace fuzz

#endif  // LOOPBACKSUPPORT_H
