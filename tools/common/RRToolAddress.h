/* RRToolAddress.h - the HOST:PORT argument of the operator tools.
 *
 * An address is written as HOST:PORT, with an IPv6 literal either in square
 * brackets ([::1]:47002) or bare, in which case the text is split at its last
 * colon as the router itself does with the addresses it receives. The port is
 * a decimal number from 1 to 65535; the host must not be empty.
 *
 * Thread safety: plain functions without shared state.
 */
#ifndef RRTOOLADDRESS_H
#define RRTOOLADDRESS_H

#include <cstdint>
#include <string>

struct RRToolAddress {
  std::string host;
  uint16_t port = 0;
};

/* Parses HOST:PORT; throws CToolException TOOL_USAGE naming the text and the
 * expected form when the host is empty or the port is missing, not decimal or
 * outside 1..65535. */
RRToolAddress RRToolParseAddress(const std::string& text);

/* Parses a decimal port number from 1 to 65535 on its own; false (and *pPort
 * untouched) when the text is anything else. */
bool RRToolParsePort(const std::string& text, uint16_t* pPort);

/* The address as HOST:PORT, with an IPv6 literal in square brackets. */
std::string RRToolFormatAddress(const RRToolAddress& address);

#endif /* RRTOOLADDRESS_H */
