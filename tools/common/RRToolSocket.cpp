/* RRToolSocket.cpp - TCP and UDP client sockets with bounded waits.
 *
 * Connecting is non-blocking with poll, so an unreachable host costs at most
 * the time-out; reading keeps a small look-ahead buffer so that a header line
 * and the body after it may arrive in one segment.
 */
#include "RRToolSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <utility>

#include "RRToolException.h"

namespace {

std::string systemError(int error) {
  char text[256];
  return std::string(strerror_r(error, text, sizeof text));
}

/* Resolves host and port; the caller frees the list. Throws TOOL_RESOLVE. */
struct addrinfo* resolve(const RRToolAddress& address, int socketType) {
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = socketType;
  struct addrinfo* list = nullptr;
  const std::string port = std::to_string(address.port);
  const int rc = getaddrinfo(address.host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0 || list == nullptr) {
    throw CToolException(CToolException::TOOL_RESOLVE,
                         "cannot resolve host '" + address.host + "': " +
                             (rc == EAI_SYSTEM ? systemError(errno) : std::string(gai_strerror(rc))));
  }
  return list;
}

/* Milliseconds left until deadline, at least 0. */
int remainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

CToolSocket::~CToolSocket() { close(); }

CToolSocket::CToolSocket(CToolSocket&& other) noexcept
    : mFd(std::exchange(other.mFd, -1)),
      mPeer(std::move(other.mPeer)),
      mPending(std::move(other.mPending)) {}

CToolSocket& CToolSocket::operator=(CToolSocket&& other) noexcept {
  if (this != &other) {
    close();
    mFd = std::exchange(other.mFd, -1);
    mPeer = std::move(other.mPeer);
    mPending = std::move(other.mPending);
  }
  return *this;
}

void CToolSocket::close() {
  if (mFd >= 0) ::close(mFd);
  mFd = -1;
  mPending.clear();
}

int CToolSocket::release() {
  mPending.clear();
  return std::exchange(mFd, -1);
}

CToolSocket CToolSocket::connectTcp(const RRToolAddress& address, int timeoutMs) {
  const std::string peer = RRToolFormatAddress(address);
  struct addrinfo* list = resolve(address, SOCK_STREAM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int lastError = ECONNREFUSED;
  bool timedOut = false;
  for (struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    int rc = connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      struct pollfd p = {fd, POLLOUT, 0};
      int ready;
      do {
        ready = poll(&p, 1, remainingMs(deadline));
      } while (ready < 0 && errno == EINTR);
      if (ready == 0) {
        timedOut = true;
        ::close(fd);
        break;
      }
      int error = 0;
      socklen_t length = sizeof error;
      if (ready < 0) {
        error = errno;
      } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
      }
      rc = error == 0 ? 0 : -1;
      errno = error;
    }
    if (rc == 0) {
      // Back to blocking mode: every later wait goes through poll anyway.
      const int flags = fcntl(fd, F_GETFL);
      if (flags >= 0) (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      freeaddrinfo(list);
      return CToolSocket(fd, peer);
    }
    lastError = errno;
    ::close(fd);
  }
  freeaddrinfo(list);
  if (timedOut) {
    throw CToolException(CToolException::TOOL_TIMEOUT, "cannot connect to " + peer + " within " +
                                                            std::to_string(timeoutMs) + " ms");
  }
  throw CToolException(CToolException::TOOL_CONNECT,
                       "cannot connect to " + peer + ": " + systemError(lastError));
}

CToolSocket CToolSocket::connectUdp(const RRToolAddress& address) {
  const std::string peer = RRToolFormatAddress(address);
  struct addrinfo* list = resolve(address, SOCK_DGRAM);
  int lastError = EINVAL;
  for (struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
      freeaddrinfo(list);
      return CToolSocket(fd, peer);
    }
    lastError = errno;
    ::close(fd);
  }
  freeaddrinfo(list);
  throw CToolException(CToolException::TOOL_IO,
                       "cannot create a datagram socket for " + peer + ": " + systemError(lastError));
}

void CToolSocket::sendAll(const std::string& data) {
  if (mFd < 0) throw CToolException(CToolException::TOOL_IO, "send on a closed socket");
  std::size_t done = 0;
  do {
    const ssize_t n = send(mFd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      if (error == EPIPE || error == ECONNRESET) {
        throw CToolException(CToolException::TOOL_CLOSED, mPeer + " closed the connection");
      }
      if (error == ECONNREFUSED) {
        throw CToolException(CToolException::TOOL_CONNECT,
                             mPeer + " refused the datagram (nothing listens on that port)");
      }
      throw CToolException(CToolException::TOOL_IO, "cannot send to " + mPeer + ": " + systemError(error));
    }
    done += static_cast<std::size_t>(n);
  } while (done < data.size());
}

bool CToolSocket::waitReadable(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    struct pollfd p = {mFd, POLLIN, 0};
    const int ready = poll(&p, 1, remainingMs(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) {
      throw CToolException(CToolException::TOOL_IO, "cannot wait for " + mPeer + ": " + systemError(errno));
    }
  }
}

void CToolSocket::fill(int timeoutMs) {
  if (mFd < 0) throw CToolException(CToolException::TOOL_IO, "receive on a closed socket");
  if (!waitReadable(timeoutMs)) {
    throw CToolException(CToolException::TOOL_TIMEOUT,
                         "no answer from " + mPeer + " within " + std::to_string(timeoutMs) + " ms");
  }
  char buffer[16384];
  ssize_t n;
  do {
    n = recv(mFd, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  if (n == 0 || (n < 0 && errno == ECONNRESET)) {
    throw CToolException(CToolException::TOOL_CLOSED, mPeer + " closed the connection");
  }
  if (n < 0) {
    throw CToolException(CToolException::TOOL_IO, "cannot receive from " + mPeer + ": " + systemError(errno));
  }
  mPending.append(buffer, static_cast<std::size_t>(n));
}

std::string CToolSocket::receiveLine(std::size_t maxLength, int timeoutMs) {
  for (;;) {
    const std::string::size_type end = mPending.find('\n');
    if (end != std::string::npos && end < maxLength) {
      std::string line = mPending.substr(0, end);
      mPending.erase(0, end + 1);
      return line;
    }
    if (mPending.size() >= maxLength) {
      throw CToolException(CToolException::TOOL_PROTOCOL,
                           mPeer + " sent a line longer than " + std::to_string(maxLength) + " bytes");
    }
    fill(timeoutMs);
  }
}

std::string CToolSocket::receiveExact(std::size_t count, int timeoutMs) {
  while (mPending.size() < count) fill(timeoutMs);
  std::string data = mPending.substr(0, count);
  mPending.erase(0, count);
  return data;
}

std::string CToolSocket::receiveDatagram(int timeoutMs) {
  if (mFd < 0) throw CToolException(CToolException::TOOL_IO, "receive on a closed socket");
  if (!waitReadable(timeoutMs)) {
    throw CToolException(CToolException::TOOL_TIMEOUT,
                         "no answer from " + mPeer + " within " + std::to_string(timeoutMs) + " ms");
  }
  std::string buffer(65535, '\0');
  ssize_t n;
  do {
    n = recv(mFd, &buffer[0], buffer.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == ECONNREFUSED) {
      throw CToolException(CToolException::TOOL_CONNECT,
                           mPeer + " refused the datagram (nothing listens on that port)");
    }
    throw CToolException(CToolException::TOOL_IO, "cannot receive from " + mPeer + ": " + systemError(errno));
  }
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}
