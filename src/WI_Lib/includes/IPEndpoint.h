/* IPEndpoint.h - a network endpoint: host text, port and bind flag.
 *
 * `ip` is a host name or an address literal, kept as written. `bind` says
 * whether a listener binds to exactly this host (true) or to every local
 * address (false). Two endpoints are equal when port and host text are
 * equal; the bind flag is not compared. A plain value type; copies are
 * independent, so it is as thread safe as any std::string.
 */
#ifndef IPENDPOINT_H
#define IPENDPOINT_H

#include <stdint.h>

#include <string>
#include <vector>

struct IPEndpoint {
  std::string ip;
  uint16_t port = 0;
  bool bind = false;

  IPEndpoint() = default;
  IPEndpoint(const std::string& ipText, uint16_t portNumber, bool bindToHost = false)
      : ip(ipText), port(portNumber), bind(bindToHost) {}

  /* The host to bind a listener to: `ip` when bind is set, else the empty
   * text (every local address). */
  std::string getBindAddr() const { return bind ? ip : std::string(); }

  bool operator==(const IPEndpoint& other) const { return port == other.port && ip == other.ip; }
  bool operator!=(const IPEndpoint& other) const { return !(*this == other); }
};

typedef std::vector<IPEndpoint> IPEndpointVector;

#endif /* IPENDPOINT_H */
