/* UDPSocket.cpp - datagram sockets: bounded receive with time-out, a bound
 * server socket that replies to the last sender, a connected client socket.
 *
 * The wait for a datagram is the blocking recvfrom() itself, bounded by
 * the socket's receive time-out (SO_RCVTIMEO), so a request costs one system
 * call to receive and one to answer, and no descriptor limit applies.
 * recvfrom() is called with MSG_TRUNC so that an oversized datagram is
 * recognised (and dropped) instead of being cut silently.
 */
#include "UDPSocket.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include "KTDebug.h"
#include "ResolveHostName.h"
#include "SocketException.h"

namespace {

/* The text reported for a datagram longer than the receive buffer. */
const char kTooLargeMessage[] =
    "CUDPSocket::receiveFrom: A message sent on a datagram socket was larger than the internal "
    "message buffer";

/* A datagram did not fit the receive buffer; carries error number 22 (EINVAL). */
class CDatagramTooLargeException : public CSocketException {
 public:
  CDatagramTooLargeException() : CSocketException("CUDPSocket::receiveFrom", EINVAL) {
    _message = kTooLargeMessage;
  }
};

/* Port of a socket address; 0 for other families. */
unsigned short _PortOf(const struct sockaddr_storage* pAddr) {
  if (pAddr->ss_family == AF_INET) return ntohs(((const struct sockaddr_in*)pAddr)->sin_port);
  if (pAddr->ss_family == AF_INET6) return ntohs(((const struct sockaddr_in6*)pAddr)->sin6_port);
  return 0;
}

}  // namespace

CUDPSocket::CUDPSocket() : _socket(-1), _receiveTimeoutMs(-1) {}

CUDPSocket::~CUDPSocket() { close(); }

void CUDPSocket::close() {
  if (_socket >= 0) {
    ::close(_socket);
    _socket = -1;
  }
}

/* Throws CSocketException with the system error when socket() fails. */
void CUDPSocket::open(int family, int type, int protocol, const char* who) {
  close();
  int fd = ::socket(family, type, protocol);
  if (fd < 0) throw CSocketException(std::string(who) + "(): cannot create socket", errno);
  _socket = fd;
  _receiveTimeoutMs = -1;  // a new socket waits without limit
}

/* Throws CSocketException when the wait or the read fails or the datagram is too large. */
std::string CUDPSocket::receiveFrom(int timeoutMs, struct sockaddr_storage* pFrom,
                                    socklen_t* pFromLength) {
  if (_socket < 0) throw CSocketException("CUDPSocket::receiveFrom(): socket is not open", EBADF);
  int wait = timeoutMs == -1 ? -1 : (timeoutMs <= 0 ? 0 : timeoutMs);
  int flags = MSG_TRUNC;
  if (wait == 0) {
    flags |= MSG_DONTWAIT;
  } else if (wait != _receiveTimeoutMs) {
    struct timeval limit;
    limit.tv_sec = wait == -1 ? 0 : wait / 1000;  // 0 seconds and 0 microseconds: no limit
    limit.tv_usec = wait == -1 ? 0 : (wait % 1000) * 1000;
    if (::setsockopt(_socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
      throw CSocketException("CUDPSocket::receiveFrom(): waiting for data failed", errno);
    }
    _receiveTimeoutMs = wait;
  }

  char buffer[kMaxDatagram];
  struct sockaddr_storage from;
  socklen_t fromLength = sizeof from;
  memset(&from, 0, sizeof from);
  ssize_t length =
      ::recvfrom(_socket, buffer, sizeof buffer, flags, (struct sockaddr*)&from, &fromLength);
  if (length < 0) {
    int error = errno;
    /* The time-out ran out, or a signal interrupted the wait: nothing arrived. */
    if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) return std::string();
    throw CSocketException("CUDPSocket::receiveFrom", error);
  }
  if ((size_t)length > sizeof buffer) {
    KTDEBUG_MSG(KTDEBUG_SOCKETRECV,
                "CUDPSocket::receiveFrom(): dropped a datagram of %d bytes from port %hu",
                (int)length, _PortOf(&from));
    throw CDatagramTooLargeException();
  }
  if (pFrom != nullptr) *pFrom = from;
  if (pFromLength != nullptr) *pFromLength = fromLength;
  return std::string(buffer, strnlen(buffer, (size_t)length));
}

CUDPServerSocket::CUDPServerSocket() : _their_addr_len(0) { memset(&_their_addr, 0, sizeof _their_addr); }

CUDPServerSocket::~CUDPServerSocket() = default;

/* Throws CSocketException when resolving, creating, binding or reading back the port fails. */
unsigned short CUDPServerSocket::bind(const std::string& address, unsigned short port) {
  /* The empty text means any local address of the preferred family. */
  CResolveHostName resolved(address.empty() ? nullptr : address.c_str(), port, KT_PROTOCOL_UDP);
  const struct addrinfo* pEntry = resolved.addrInfo();
  open(pEntry->ai_family, pEntry->ai_socktype, pEntry->ai_protocol, "CUDPServerSocket::bind");
  if (::bind(_socket, pEntry->ai_addr, pEntry->ai_addrlen) != 0) {
    int error = errno;
    close();
    throw CSocketException("CUDPServerSocket::bind", error);
  }
  if (port != 0) return port;
  struct sockaddr_storage local;
  socklen_t length = sizeof local;
  if (::getsockname(_socket, (struct sockaddr*)&local, &length) != 0) {
    int error = errno;
    close();
    throw CSocketException("CUDPServerSocket::bind(): could not retrieve local address", error);
  }
  return _PortOf(&local);
}

unsigned short CUDPServerSocket::bind(unsigned short port) { return bind(std::string(), port); }

/* Throws CSocketException "CUDPServerSocket::sendTo" when nothing was received yet or sendto fails. */
void CUDPServerSocket::send(const std::string& text) {
  if (_their_addr_len == 0) throw CSocketException("CUDPServerSocket::sendTo", EDESTADDRREQ);
  sendTo(text, (const struct sockaddr*)&_their_addr, _their_addr_len);
}

/* Throws CSocketException "CUDPServerSocket::sendTo" on failure. */
void CUDPServerSocket::sendTo(const std::string& text, const struct sockaddr* addr, socklen_t length) {
  if (_socket < 0 || addr == nullptr)
    throw CSocketException("CUDPServerSocket::sendTo", _socket < 0 ? EBADF : EINVAL);
  if (::sendto(_socket, text.data(), text.size(), MSG_NOSIGNAL, addr, length) < 0)
    throw CSocketException("CUDPServerSocket::sendTo", errno);
}

std::string CUDPServerSocket::receive(int timeoutMs) {
  return receiveFrom(timeoutMs, &_their_addr, &_their_addr_len);
}

CUDPClientSocket::CUDPClientSocket() = default;

CUDPClientSocket::~CUDPClientSocket() = default;

/* Throws CSocketException when resolving, creating or connecting fails. */
void CUDPClientSocket::connect(const std::string& host, unsigned short port) {
  CResolveHostName resolved(host, port, KT_PROTOCOL_UDP);
  const struct addrinfo* pEntry = resolved.addrInfo();
  open(pEntry->ai_family, pEntry->ai_socktype, pEntry->ai_protocol, "CUDPClientSocket::connect");
  if (::connect(_socket, pEntry->ai_addr, pEntry->ai_addrlen) != 0) {
    int error = errno;
    close();
    throw CSocketException("CUDPClientSocket::connect", error);
  }
}

/* Throws CSocketException "CUDPClientSocket::send" on failure. */
void CUDPClientSocket::send(const char* data, size_t length) {
  if (_socket < 0 || (data == nullptr && length > 0))
    throw CSocketException("CUDPClientSocket::send", _socket < 0 ? EBADF : EINVAL);
  if (::send(_socket, data, length, MSG_NOSIGNAL) < 0)
    throw CSocketException("CUDPClientSocket::send", errno);
}

void CUDPClientSocket::send(const std::string& text) { send(text.data(), text.size()); }
