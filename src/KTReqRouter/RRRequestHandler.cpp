/* RRRequestHandler.cpp - the get-server protocol: one datagram in, one datagram out.
 *
 * processRequest checks the request code and turns every failure into the
 * reply "3 <status>" with a log line, so a malformed datagram is always
 * answered. RRHandleGetServerRequest holds the pool list's read lock from
 * the pool lookup until the pool's counters are updated, so the
 * message-center thread cannot free the pool in between; the reply is only
 * built in memory under it. The listener reads the datagram in place and
 * builds the reply in a string: no stream is set up per request.
 */
#include "RRRequestHandler.h"

#include <charconv>
#include <exception>
#include <istream>
#include <ostream>

#include "ASRequestInfo.h"
#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTLog.h"
#include "Log.h"
#include "VXASPool.h"
#include "VXASPoolList.h"
#include "UDPSocket.h"
#include "WIException.h"

static_assert(RR_MAX_DATAGRAM == CUDPSocket::kMaxDatagram,
              "the get-server limit is the size of the listener's receive buffer");

namespace {

/* True while the adapter still has attempts left after this one. */
bool moreTriesLeft(const CASRequestInfo& info) {
  return (long long)info.tries + 1 < (long long)info.maxTries;
}

/* Replaces reply with the one-digit answer code. */
void setCode(std::string& reply, RRResponseCode code) {
  reply.assign(1, static_cast<char>('0' + code));
}

void throwNoPoolList() {
  throw CWIException(ERROR_INVALID_PARAMETER,
                     "RRHandleGetServerRequest(): wrong arguments passed to the procedure");
}

/* Answers the request `info`: looks its pool up and asks it for an idle
 * server. Throws CWIException for a failing lookup or an internal selection
 * failure; reply is unchanged then. */
void answer(const CASRequestInfo& info, std::string& reply, ASPoolList* pPoolList) {
  KTDEBUG_MSG(KTDEBUG_REQUEST, "RRHandleGetServerRequest(): pool '%s', client %s, try %d of %d",
              info.poolName.c_str(), info.clientIP.c_str(), info.tries, info.maxTries);

  CKTBuffer host("");
  unsigned short port = 0;
  KTReaderGuard guard(ASPoolListMutex(pPoolList));
  if (!guard.locked()) {
    throw CWIException(ERROR_UNKNOWN, "RRHandleGetServerRequest(): can't lock the pool list.");
  }
  ASPool* pPool = nullptr;
  KTStatus status = ASPoolListGetMatching(pPoolList, info.poolName.c_str(), &pPool, CLog::log);
  if (status != STATUS_OK) {
    throw CWIException(status, "RRHandleGetServerRequest(): can't get pool for name (%s).",
                       info.poolName.c_str());
  }
  if (pPool == nullptr) {
    KTLogWriteLimited(CLog::log, info.poolName.c_str(),
                      "RRHandleGetServerRequest(): no application servers for pool",
                      "RRHandleGetServerRequest(): no application servers for pool '%s'",
                      info.poolName.c_str());
    setCode(reply, moreTriesLeft(info) ? RR_RESPONSE_TRYLATER : RR_RESPONSE_TIMEOUT);
    return;
  }

  status = ASPoolGetIdleServer(pPool, &info, host, &port, CLog::log);
  switch (status) {
    case STATUS_OK: {
      const char* hostText = static_cast<const char*>(host);
      char portText[8];
      char* portEnd = std::to_chars(portText, portText + sizeof portText, port).ptr;
      const std::size_t hostLength = std::char_traits<char>::length(hostText);
      reply.clear();
      reply.reserve(2 + hostLength + 1 + static_cast<std::size_t>(portEnd - portText));
      reply += static_cast<char>('0' + RR_RESPONSE_OK);
      reply += ' ';
      reply.append(hostText, hostLength);
      reply += ' ';
      reply.append(portText, portEnd);
      break;
    }
    case ERROR_NO_SUCH_ELEMENT:
      if (moreTriesLeft(info)) {
        setCode(reply, RR_RESPONSE_TRYLATER);
      } else {
        ASPoolAddTimeout(pPool, CLog::log);
        setCode(reply, RR_RESPONSE_TIMEOUT);
      }
      break;
    case ERROR_REQUESTROUTER_LIMIT_EXCEEDED:
      setCode(reply, RR_RESPONSE_ABORT);
      break;
    default:
      throw CWIException(status, "_GetIdleServer()");
  }
}

}  // namespace

void RRHandleGetServerRequest(std::istream& is, std::ostream& os, ASPoolList* pPoolList) {
  if (pPoolList == nullptr) throwNoPoolList();
  CASRequestInfo info;
  is >> info;
  std::string reply;
  answer(info, reply, pPoolList);
  os << reply;
}

void RRHandleGetServerText(const char* text, std::size_t size, std::string& reply,
                           ASPoolList* pPoolList) {
  if (pPoolList == nullptr) throwNoPoolList();
  CASRequestInfo info;
  info.scan(text, size);
  answer(info, reply, pPoolList);
}

CRequestRouterServer::CRequestRouterServer(const IPEndpoint& bindEndpoint, int timeoutms)
    : CUDPServer(bindEndpoint.getBindAddr(), bindEndpoint.port, timeoutms), mpPoolList(nullptr) {}

/* Never throws: every failure is logged and answered "3 <status>". */
std::string CRequestRouterServer::processRequest(const std::string& request, bool& abort) {
  (void)abort;
  try {
    std::size_t pos = 0;
    int code = 0;
    if (CASRequestInfo::scanNumber(request.data(), request.size(), &pos, &code) !=
        CASRequestInfo::SCAN_NUMBER) {
      code = 0;
    }
    if (code != RR_REQUEST_GETSERVER) {
      throw CWIException(ERROR_UNKNOWN, "Invalid request code: %d", code);
    }
    std::string reply;
    RRHandleGetServerText(request.data() + pos, request.size() - pos, reply, mpPoolList);
    return reply;
  } catch (const CWIException& e) {
    KTLogWrite(CLog::log, "%s", e.what());
    return std::to_string(RR_RESPONSE_ERROR) + " " + std::to_string(e.getStatus());
  } catch (const std::exception& e) {
    KTLogWrite(CLog::log, "%s", e.what());
  } catch (...) {
    KTLogWrite(CLog::log, "CRequestRouterServer::processRequest(): unknown exception caught");
  }
  return std::to_string(RR_RESPONSE_ERROR) + " " + std::to_string(ERROR_UNKNOWN);
}
