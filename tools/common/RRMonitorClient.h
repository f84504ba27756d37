/* RRMonitorClient.h - client side of the router's monitor protocol.
 *
 * A monitor request is one line beginning with its decimal code; the router
 * answers "0 <length>\n" followed by exactly <length> bytes of text lines,
 * or closes the connection when it refuses the request. One connection may
 * carry any number of requests. CMonitorClient frames requests and answers;
 * the meaning of the lines is RRMonitorLines.h.
 *
 * Thread safety: one client belongs to one thread at a time.
 */
#ifndef RRMONITORCLIENT_H
#define RRMONITORCLIENT_H

#include <cstddef>
#include <string>

#include "RRProtocol.h"
#include "RRToolAddress.h"
#include "RRToolSocket.h"

/* The largest answer body accepted; a bigger announced length is treated as
 * a broken answer rather than an allocation request. */
constexpr std::size_t RR_MONITOR_MAX_BODY = 64u * 1024u * 1024u;

/* Parses an answer header line (without its "\n"): "0", one blank and a
 * decimal length. Returns the length; throws CToolException TOOL_PROTOCOL
 * naming the line for any other text, a status other than 0, or a length
 * above RR_MONITOR_MAX_BODY. */
std::size_t RRMonitorParseHeader(const std::string& line);

class CMonitorClient {
 public:
  /* Connects to the monitor port; throws what CToolSocket::connectTcp throws. */
  CMonitorClient(const RRToolAddress& address, int timeoutMs);

  /* Sends the request line (a "\n" is appended) and returns the answer body.
   * Throws TOOL_CLOSED with a text saying the router refused the request
   * when the connection ends before an answer, TOOL_TIMEOUT, or
   * TOOL_PROTOCOL for a malformed header. After a failure the client is
   * closed and further requests throw TOOL_IO. */
  std::string request(const std::string& line);

  /* The text of request: the code alone, or for a pool reset "14 0 " + pool. */
  static std::string requestLine(MonitorRequestCode code, const std::string& poolName = "");

  const std::string& peerName() const { return mSocket.peerName(); }

 private:
  CToolSocket mSocket;
  int mTimeoutMs;
};

#endif /* RRMONITORCLIENT_H */
