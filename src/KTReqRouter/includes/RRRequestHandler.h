/* RRRequestHandler.h - the get-server protocol: which application server takes the next web request.
 *
 * The web adapter sends one datagram per attempt: the request code 1 and the
 * text form of a CASRequestInfo (client, tries, maxTries, host, URI prefix,
 * extension, pool, store, site, four limits, URI). The router answers with
 * one datagram without a line end:
 *   "0 <host> <port>"  a server of the pool was assigned (RR_RESPONSE_OK);
 *   "1"                no server now, try again (RR_RESPONSE_TRYLATER);
 *   "2"                a limit of the request is exhausted (RR_RESPONSE_ABORT);
 *   "3 <status>"       an error occurred (RR_RESPONSE_ERROR);
 *   "4"                no server and this was the last attempt (RR_RESPONSE_TIMEOUT).
 * Without a server the answer is "1" while tries + 1 < maxTries, else "4";
 * only the "4" of a pool that exists counts as a time-out of the pool.
 *
 * Thread safety: one get-server thread per router instance calls these; the
 * pool list is read under its read lock for the whole lookup and selection,
 * so the message-center thread cannot free the pool meanwhile.
 */
#ifndef RRREQUESTHANDLER_H
#define RRREQUESTHANDLER_H

#include <cstddef>
#include <iosfwd>
#include <string>

#include "RRProtocol.h"
#include "IPEndpoint.h"
#include "UDPServer.h"

struct ASPoolList;

/* Reads a request description from `is`, asks its pool for an idle server
 * and writes the reply ("0 host port", "1", "2" or "4") to `os`. Throws
 * CWIException: ERROR_INVALID_PARAMETER for a null pool list, the lookup's
 * status when it fails, and the selection's status (message
 * "_GetIdleServer()") for an internal failure. */
void RRHandleGetServerRequest(std::istream& is, std::ostream& os, struct ASPoolList* pPoolList);

/* The same for a description held in text[0, size) (no NUL needed): the
 * reply replaces the contents of `reply`. Throws like
 * RRHandleGetServerRequest and leaves `reply` unchanged then. This is the
 * listener's path; it needs no stream. */
void RRHandleGetServerText(const char* text, std::size_t size, std::string& reply,
                           struct ASPoolList* pPoolList);

/* The get-server UDP listener of a router instance. mpPoolList is borrowed
 * from the instance and set before the listener's thread starts. */
class CRequestRouterServer : public CUDPServer {
 public:
  /* Binds to the endpoint's host when its bind flag is set, else to every
   * address; port from the endpoint; timeoutms bounds each receive wait. */
  CRequestRouterServer(const IPEndpoint& bindEndpoint, int timeoutms);

  /* Answers one datagram; never sets abort. Every failure becomes the reply
   * "3 <status>" and a log line. */
  std::string processRequest(const std::string& request, bool& abort) override;

  struct ASPoolList* mpPoolList; /* borrowed */
};

#endif /* RRREQUESTHANDLER_H */
