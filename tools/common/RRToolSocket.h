/* RRToolSocket.h - blocking client sockets with time-outs for the operator tools.
 *
 * CToolSocket owns one descriptor: a TCP connection or a connected UDP
 * socket. Every wait is bounded by a time-out in milliseconds, so a tool
 * never hangs on a router that stopped answering. Failures raise
 * CToolException with a kind (see RRToolException.h) and a text that names
 * the peer as HOST:PORT. Sends never raise SIGPIPE.
 *
 * Thread safety: one object belongs to one thread at a time; different
 * objects are independent.
 */
#ifndef RRTOOLSOCKET_H
#define RRTOOLSOCKET_H

#include <cstddef>
#include <string>
#include <utility>

#include "RRToolAddress.h"

class CToolSocket {
 public:
  CToolSocket() = default;
  ~CToolSocket();
  CToolSocket(CToolSocket&& other) noexcept;
  CToolSocket& operator=(CToolSocket&& other) noexcept;
  CToolSocket(const CToolSocket&) = delete;
  CToolSocket& operator=(const CToolSocket&) = delete;

  /* Connects over TCP within timeoutMs, trying every address the host
   * resolves to; throws TOOL_RESOLVE, TOOL_CONNECT or TOOL_TIMEOUT. */
  static CToolSocket connectTcp(const RRToolAddress& address, int timeoutMs);
  /* Creates a UDP socket connected to the address, so that only its answers
   * arrive and a closed port is reported; throws TOOL_RESOLVE or TOOL_IO. */
  static CToolSocket connectUdp(const RRToolAddress& address);

  /* Sends every byte (TCP) or the text as one datagram (UDP); throws
   * TOOL_CLOSED when the peer is gone, TOOL_CONNECT when a datagram was
   * refused, TOOL_IO otherwise. */
  void sendAll(const std::string& data);
  /* Reads up to and excluding the next "\n" (a "\r" before it is kept);
   * throws TOOL_TIMEOUT, TOOL_CLOSED at the end of the stream, and
   * TOOL_PROTOCOL when no line end comes within maxLength bytes. */
  std::string receiveLine(std::size_t maxLength, int timeoutMs);
  /* Reads exactly count bytes; throws TOOL_TIMEOUT when no data comes for
   * timeoutMs, TOOL_CLOSED when the stream ends first. */
  std::string receiveExact(std::size_t count, int timeoutMs);
  /* Receives one datagram of at most 65535 bytes; throws TOOL_TIMEOUT, or
   * TOOL_CONNECT when the port is closed (the system reported the refusal). */
  std::string receiveDatagram(int timeoutMs);

  /* True while the socket holds a descriptor. */
  bool isOpen() const { return mFd >= 0; }
  /* The descriptor, -1 when closed. */
  int fd() const { return mFd; }
  /* The peer as HOST:PORT, used in error texts. */
  const std::string& peerName() const { return mPeer; }
  /* Closes the descriptor; harmless when already closed. */
  void close();
  /* Hands the descriptor to the caller, who closes it; the socket is closed
   * afterwards. Bytes already read ahead are dropped, so call it only
   * between complete exchanges. */
  int release();

 private:
  CToolSocket(int fd, std::string peer) : mFd(fd), mPeer(std::move(peer)) {}
  /* Waits until readable; false on time-out. Throws TOOL_IO when poll fails. */
  bool waitReadable(int timeoutMs);
  /* Reads what is available into mPending; throws on time-out or end of stream. */
  void fill(int timeoutMs);

  int mFd = -1;
  std::string mPeer;
  std::string mPending; /* bytes received but not yet handed out (TCP only) */
};

#endif /* RRTOOLSOCKET_H */
