/* RRGetServer.h - the get-server datagram of the web adapter and its answer.
 *
 * The request is "1", a blank and the text form of a CASRequestInfo; the
 * router answers with one datagram: "0 HOST PORT" (a server was assigned),
 * "1" (try later), "2" (a limit of the request is exhausted), "3 STATUS" (an
 * error with its status code) or "4" (no server on the last attempt). The
 * router drops datagrams over 1023 bytes without an answer, so such a
 * request is refused before it is sent.
 *
 * Thread safety: plain functions without shared state.
 */
#ifndef RRGETSERVER_H
#define RRGETSERVER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "ASRequestInfo.h"
#include "RRProtocol.h"

struct RRGetServerAnswer {
  RRResponseCode code = RR_RESPONSE_ERROR;
  std::string host;    /* RR_RESPONSE_OK only */
  uint16_t port = 0;   /* RR_RESPONSE_OK only */
  long long status = 0; /* RR_RESPONSE_ERROR only */
};

/* The datagram "1 " + text form of info. Throws CToolException TOOL_USAGE
 * naming the field when a text field is empty or holds white space (the
 * text form cannot carry either), or when the datagram would exceed
 * RR_MAX_DATAGRAM bytes. */
std::string RRGetServerDatagram(const CASRequestInfo& info);

/* Parses an answer datagram; throws TOOL_PROTOCOL quoting the text for an
 * unknown code, missing or extra fields, or a port outside 1..65535. */
RRGetServerAnswer RRParseGetServerAnswer(const std::string& reply);

/* One line for the operator: "OK HOST PORT", "TRYLATER", "ABORT",
 * "ERROR STATUS" or "TIMEOUT". */
std::string RRDescribeAnswer(const RRGetServerAnswer& answer);

#endif /* RRGETSERVER_H */
