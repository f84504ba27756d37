/* UDPSocket.h - datagram sockets of the networking classes: a bound server
 * socket that answers the sender of the last datagram, and a connected
 * client socket.
 *
 * Datagrams are at most 1023 bytes: a longer one is consumed and dropped
 * with CSocketException "CUDPSocket::receiveFrom: A message sent on a
 * datagram socket was larger than the internal message buffer" (error
 * number 22). Received data becomes a text ending at its first NUL byte.
 * Every failure is a CSocketException carrying the system error number.
 * Addresses are resolved for UDP through CResolveHostName, so IPv6 is used
 * exactly when it is switched on for the process.
 *
 * Thread safety: none; a socket belongs to one thread. Not copyable.
 */
#ifndef UDPSOCKET_H
#define UDPSOCKET_H

#include <sys/socket.h>

#include <string>

class CUDPSocket {
 public:
  /* Largest datagram accepted, in bytes. */
  static const size_t kMaxDatagram = 1023;

  CUDPSocket();
  virtual ~CUDPSocket();
  CUDPSocket(const CUDPSocket&) = delete;
  CUDPSocket& operator=(const CUDPSocket&) = delete;

  /* Closes the descriptor if open. */
  void close();
  /* True while a descriptor is open. */
  bool isOpen() const { return _socket >= 0; }
  /* The descriptor; -1 when closed. */
  int fd() const { return _socket; }

  /* Waits up to timeoutMs for a datagram (-1: no limit; 0 or less: do not
   * wait) and reads it; the empty text when nothing arrived. The sender goes
   * to *pFrom / *pFromLength when given (only when a datagram was read).
   * Throws CSocketException when the wait or the read fails, the socket is
   * closed, or the datagram is longer than 1023 bytes (it is dropped). */
  std::string receiveFrom(int timeoutMs, struct sockaddr_storage* pFrom = nullptr,
                          socklen_t* pFromLength = nullptr);

 protected:
  /* Replaces any open descriptor by a new one; throws CSocketException
   * naming `who` when socket() fails. */
  void open(int family, int type, int protocol, const char* who);

  int _socket; /* the descriptor; -1 when closed */

 private:
  /* The receive time-out set on the descriptor (SO_RCVTIMEO), in the
   * receiveFrom convention (-1: none); set again only when it changes. */
  int _receiveTimeoutMs;
};

class CUDPServerSocket : public CUDPSocket {
 public:
  CUDPServerSocket();
  ~CUDPServerSocket() override;

  /* Binds to address:port (an open socket is closed first) and returns the
   * bound port, the system's choice for port 0. Throws CSocketException when
   * the address does not resolve, or socket(), bind() or reading back the
   * port fails (the socket is then closed). */
  virtual unsigned short bind(const std::string& address, unsigned short port);
  /* Binds to any address of the preferred family. */
  virtual unsigned short bind(unsigned short port);
  /* Sends text to the sender of the last datagram received. */
  virtual void send(const std::string& text);
  /* Sends the whole text as one datagram to addr; throws CSocketException
   * "CUDPServerSocket::sendTo" on failure. */
  virtual void sendTo(const std::string& text, const struct sockaddr* addr, socklen_t length);

  /* receiveFrom() that remembers the sender for send(). */
  std::string receive(int timeoutMs);

 protected:
  struct sockaddr_storage _their_addr; /* sender of the last datagram */
  socklen_t _their_addr_len;           /* its length; 0 before the first datagram */
};

class CUDPClientSocket : public CUDPSocket {
 public:
  CUDPClientSocket();
  ~CUDPClientSocket() override;

  /* Resolves host for UDP and connects (an open socket is closed first);
   * throws CSocketException, "CUDPClientSocket::connect" when connect fails. */
  virtual void connect(const std::string& host, unsigned short port);
  /* Sends the bytes as one datagram; throws CSocketException "CUDPClientSocket::send". */
  virtual void send(const char* data, size_t length);
  virtual void send(const std::string& text);

  /* Waits up to timeoutMs for the peer's datagram, as receiveFrom(). */
  std::string receive(int timeoutMs) { return receiveFrom(timeoutMs); }
};

#endif /* UDPSOCKET_H */
