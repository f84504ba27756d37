/* TCPServer.cpp - single-threaded TCP server over a socket set.
 *
 * One thread binds the listening socket and then loops: select() over the
 * listening socket and all open connections for at most a second, accept on
 * the listening socket, serve one request on every other readable socket.
 * Failures of one connection close only that connection; a failed accept is
 * logged and the loop goes on. Slow accepts and requests are logged with the
 * listening host and port.
 */
#include "TCPServer.h"

#include <netinet/in.h>

#include <exception>

#include "KTDebug.h"
#include "KTLog.h"
#include "KTThread.h"
#include "KTUtils.h"
#include "Log.h"
#include "ResolveHostName.h"
#include "WIException.h"

namespace {

/* Seconds elapsed since *pStart, by the (settable) clock of KTUtils. */
double _SecondsSince(const hrtime* pStart) {
  hrtime now;
  hrtime diff;
  HighResTime(&now);
  if (HRTimeDiff(pStart, &now, &diff) != STATUS_OK) return 0.0;
  return (double)HRTimeMilliseconds(&diff) / 1000.0;
}

/* Logs "<what> on host '<ip>', port <port> took <s> s, status=<status>" for
 * a call that began at *pStart and took CTCPServer::kSlowCallMs or more;
 * the host and port are those of the listening socket pListen. */
void _LogIfSlow(const hrtime* pStart, const char* what, const KTSocket* pListen, KTStatus status) {
  double seconds = _SecondsSince(pStart);
  if (seconds * 1000.0 < (double)CTCPServer::kSlowCallMs) return;
  KTLogWrite(CLog::log, "%s on host '%s', port %d took %0.3f s, status=%d", what,
             pListen && pListen->ip ? pListen->ip : "", pListen ? (int)pListen->port : 0, seconds,
             status);
}

}  // namespace

CTCPServer::CTCPServer(const IPEndpoint& endpoint)
    : mIPEndpoint(endpoint), mpServerSocket(nullptr), mBoundPort(0) {}

CTCPServer::~CTCPServer() {
  /* The listening socket is one of the set's sockets; clearing closes it too. */
  clear();
  mpServerSocket = nullptr;
}

KTStatus CTCPServer::handleClientClose(KTSocket* /*pSocket*/) { return STATUS_OK; }

/* Throws CWIException on a second call or when the socket cannot be created. */
void CTCPServer::bind() {
  if (mpServerSocket != nullptr)
    throw CWIException(ERROR_UNKNOWN, "CTCPServer::bind(): called multiple times");
  int family = CResolveHostName::getAddressFamily(mIPEndpoint.ip, IPPROTO_TCP);
  const char* host = mIPEndpoint.bind && !mIPEndpoint.ip.empty() ? mIPEndpoint.ip.c_str() : nullptr;
  KTSocket* pSocket = nullptr;
  KTStatus status = KTServerSocketNew(&pSocket, host, mIPEndpoint.port, family, CLog::log);
  if (status != STATUS_OK)
    throw CWIException(status, "CTCPServer::bind(\"%s\", %d): KTServerSocketNew failed",
                       mIPEndpoint.ip.c_str(), (int)mIPEndpoint.port);
  try {
    add(pSocket, SOCKETSET_READ);
  } catch (...) {
    KTSocketFree(&pSocket, CLog::log);
    throw;
  }
  mpServerSocket = pSocket;
  mBoundPort.store(pSocket->port, std::memory_order_release);
  KTDEBUG_MSG(KTDEBUG_SOCKET, "CTCPServer::bind(): listening on [%s]:%hu", pSocket->ip,
              pSocket->port);
}

/* Throws CWIException for a null stop flag, or what bind() and select() throw. */
void CTCPServer::run(int* pStopFlag) {
  if (pStopFlag == nullptr)
    throw CWIException(ERROR_INVALID_PARAMETER,
                       "CTCPServer::run(): wrong arguments passed to the procedure");
  bind();
  requestLoop(pStopFlag);
}

/* Throws what select() throws; everything else is contained per connection. */
void CTCPServer::requestLoop(int* pStopFlag) {
  while (!KTThreadStopRequested(pStopFlag)) {
    select(kSelectTimeoutMs);
    if (KTThreadStopRequested(pStopFlag)) break;
    /* Ascending descriptor order; step past the current entry first so that
     * serving it may remove it from the set. */
    for (auto it = mSockets.begin(); it != mSockets.end();) {
      int fd = it->first;
      KTSocket* pSocket = it->second;
      ++it;
      if (!isReadActive(fd)) continue;
      if (pSocket == mpServerSocket) {
        serveConnected(pSocket);
      } else if (serveRequest(pSocket) != STATUS_OK) {
        remove(pSocket);
      }
    }
  }
}

/* Throws CWIException for a null socket; accept failures are only logged. */
void CTCPServer::serveConnected(KTSocket* pServerSocket) {
  if (pServerSocket == nullptr)
    throw CWIException(ERROR_INVALID_PARAMETER,
                       "CTCPServer::serveConnected(): wrong arguments passed to the procedure");
  hrtime start;
  HighResTime(&start);
  KTSocket* pClient = nullptr;
  KTStatus status = KTSocketAccept(pServerSocket, &pClient, CLog::log);
  if (status != STATUS_OK) {
    KTLogWrite(CLog::log, "ServeConnected(): KTSocketAccept failed. (%d)", status);
  } else {
    status = KTSocketSetTimeout(pClient, kConnectionTimeoutMs, CLog::log);
    if (status != STATUS_OK) KTLogWrite(CLog::log, "ServeConnected(): can't set socket timeout");
    try {
      add(pClient, SOCKETSET_READ);
    } catch (const CWIException& e) {
      KTLogWrite(CLog::log, "ServeConnected(): %s", e.what());
      KTSocketFree(&pClient, CLog::log);
      status = e.getStatus();
    }
  }
  _LogIfSlow(&start, "ServeConnected(): accepting connection", pServerSocket, status);
}

/* Throws CWIException for a null socket; returns the handler's status. */
KTStatus CTCPServer::serveRequest(KTSocket* pSocket) {
  if (pSocket == nullptr)
    throw CWIException(ERROR_INVALID_PARAMETER,
                       "CTCPServer::serveRequest(): wrong arguments passed to the procedure");
  hrtime start;
  HighResTime(&start);
  KTStatus status;
  /* A handler that throws fails only its own connection, like a failing status. */
  try {
    status = handleRequest(pSocket);
  } catch (const CWIException& e) {
    KTLogWrite(CLog::log, "ServeRequest(): %s", e.what());
    status = e.getStatus() != STATUS_OK ? e.getStatus() : (KTStatus)ERROR_UNKNOWN;
  } catch (const std::exception& e) {
    KTLogWrite(CLog::log, "ServeRequest(): %s", e.what());
    status = ERROR_UNKNOWN;
  }
  if (status != STATUS_OK) {
    try {
      handleClientClose(pSocket);
    } catch (const std::exception& e) {
      KTLogWrite(CLog::log, "ServeRequest(): %s", e.what());
    }
  }
  _LogIfSlow(&start, "ServeRequest(): request", mpServerSocket, status);
  return status;
}

CTCPServerThread::CTCPServerThread(CTCPServer* pServer) : CKTThread(&CTCPServerThread::main, pServer) {}

void CTCPServerThread::main(int* pStopFlag, int* pError, void* pParameter) {
  if (pStopFlag == nullptr || pError == nullptr || pParameter == nullptr) {
    KTLogWrite(CLog::log, "CTCPServer::main(): wrong arguments passed to the procedure");
    if (pError != nullptr) KTThreadSetError(pError, 1);
    return;
  }
  CTCPServer* pServer = static_cast<CTCPServer*>(pParameter);
  KTStatus status = CatchWIException("CTCPServer::main", [&]() { pServer->run(pStopFlag); });
  if (status != STATUS_OK) KTThreadSetError(pError, 1);
}
