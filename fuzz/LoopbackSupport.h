// LoopbackSupport.h - real TCP connections on 127.0.0.1 for the fuzz
// targets: a listener whose accepted side is a KTSocket, as the router's
// TCP listeners hand them to their handlers, and a plain client side, with
// the socket helpers the tests use (TestSockets.h).
//
// Accepted sockets send without delay (TCP_NODELAY), so a reply is readable
// by the client as soon as its handler returns, even when the client sent
// many requests at once. Needs NoNetwork.cpp in the target.
#ifndef LOOPBACKSUPPORT_H
#define LOOPBACKSUPPORT_H

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
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

// A listening KTSocket on 127.0.0.1 with a port chosen by the system.
class Listener {
 public:
  Listener() {
    FUZZ_CHECK(KTServerSocketNew(&mSocket, "127.0.0.1", 0, AF_INET, CLog::log) == 0, "listener");
    int fd = -1;
    KTSocketGetFd(mSocket, &fd, CLog::log);
    mPort = testsockets::BoundPort(fd);
    FUZZ_CHECK(mPort != 0, "listener port");
  }
  ~Listener() { KTSocketFree(&mSocket, CLog::log); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Connects a client; *pServer receives the router's side of it.
  int connect(KTSocket** pServer, int timeoutMs) {
    int client = -1;
    {
      OwnConnect own;
      client = testsockets::ConnectLoopback(mPort);
    }
    FUZZ_CHECK(client >= 0, "connect");
    FUZZ_CHECK(KTSocketAccept(mSocket, pServer, CLog::log) == 0, "accept");
    KTSocketSetTimeout(*pServer, timeoutMs, CLog::log);
    int fd = -1, on = 1;
    KTSocketGetFd(*pServer, &fd, CLog::log);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return client;
  }

 private:
  KTSocket* mSocket = nullptr;
  uint16_t mPort = 0;
};

// Appends whatever is readable now.
inline void ReadAvailable(int fd, std::string& into) { into += testsockets::ReceiveUpTo(fd, SIZE_MAX, 0); }

// Appends everything up to the end of the stream, which must come within a
// second. Accepted sockets linger 0, so the end may arrive as a reset.
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
