/* TCPServer.cpp - single-threaded TCP server over a socket set.
 *
 * One thread binds the listening socket and then loops: wait for the
 * listening socket and all open connections for at most a second, accept on
 * the listening socket, serve one request on every other readable socket.
 * Failures of one connection close only that connection; a failed accept is
 * logged and the loop goes on. Slow accepts and requests are logged with the
 * listening host and port.
 */
#include "TCPServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
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
    : mIPEndpoint(endpoint), mpServerSocket(nullptr), mBoundPort(0), mAcceptResumeMs(0) {}

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
  onServingThreadStart();
  requestLoop(pStopFlag);
}

/* Throws what select() throws; everything else is contained per connection. */
void CTCPServer::requestLoop(int* pStopFlag) {
  while (!KTThreadStopRequested(pStopFlag)) {
    select(resumeAcceptingWhenDue());
    if (KTThreadStopRequested(pStopFlag)) break;
    /* Ready descriptors in ascending order. The list is not changed while it
     * is walked; a socket removed meanwhile is no longer active, and a
     * descriptor number reused by an accept of this round comes after the
     * listening socket's, which was already visited, or is not in the list. */
    const std::vector<int>& ready = readyDescriptors();
    for (size_t i = 0; i < ready.size(); ++i) {
      int fd = ready[i];
      if (!isReadActive(fd)) continue;
      auto it = mSockets.find(fd);
      if (it == mSockets.end()) continue;
      KTSocket* pSocket = it->second;
      if (pSocket == mpServerSocket) {
        serveConnected(pSocket);
      } else if (serveRequest(pSocket) != STATUS_OK) {
        remove(pSocket);
      }
    }
  }
}

int CTCPServer::resumeAcceptingWhenDue() {
  if (mAcceptResumeMs == 0) return kSelectTimeoutMs;
  long long left = mAcceptResumeMs - KTMonotonicMs();
  if (left > 0) return (int)std::min<long long>(left, kSelectTimeoutMs);
  mAcceptResumeMs = 0;
  try {
    watch(mpServerSocket, SOCKETSET_READ);
  } catch (const CWIException& e) {
    /* Try again after another pause rather than give up the listener. */
    KTLogWrite(CLog::log, "ServeConnected(): %s", e.what());
    mAcceptResumeMs = KTMonotonicMs() + kAcceptPauseMs;
    return kAcceptPauseMs;
  }
  return kSelectTimeoutMs;
}

void CTCPServer::pauseAccepting(int error) {
  struct rlimit limit;
  unsigned long long files = 0;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) files = (unsigned long long)limit.rlim_cur;
  char text[256];
  KTFormatSocketError(error, text, sizeof text);
  const KTSocket* pListen = mpServerSocket;
  KTLogWriteLimited(CLog::log, "ServeConnected(): descriptor limit",
                    "ServeConnected(): descriptor limit reached",
                    "ServeConnected(): cannot accept on [%s]:%hu: descriptor limit of %llu open "
                    "files reached (%s); retrying in %d ms",
                    pListen && pListen->ip ? pListen->ip : "", (unsigned short)(pListen ? pListen->port : 0),
                    files, text, kAcceptPauseMs);
  try {
    watch(mpServerSocket, 0);
  } catch (const CWIException& e) {
    KTLogWrite(CLog::log, "ServeConnected(): %s", e.what());
  }
  mAcceptResumeMs = KTMonotonicMs() + kAcceptPauseMs;
}

void CTCPServer::setAllowList(const CAddressList& allowed, const std::string& owner,
                              const std::string& listName) {
  mAllowed = allowed;
  mAllowOwner = owner;
  mAllowName = listName;
  mFiltered = true;
}

/* A source that cannot be learned is refused like one outside the list. */
bool CTCPServer::admitted(const KTSocket* pClient) const {
  if (!mFiltered) return true;
  struct sockaddr_storage peer;
  socklen_t length = sizeof peer;
  memset(&peer, 0, sizeof peer);
  const struct sockaddr* address = reinterpret_cast<const struct sockaddr*>(&peer);
  if (getpeername(pClient->socket, reinterpret_cast<struct sockaddr*>(&peer), &length) == 0 &&
      mAllowed.matches(address, length))
    return true;
  char source[INET6_ADDRSTRLEN + 1];
  KTAddressText(address, length, source, sizeof source);
  const std::string key = mAllowOwner + ": refused connection from " + source;
  KTLogWriteLimited(CLog::log, key.c_str(), key.c_str(), "%s: refused connection from %s (not in %s)",
                    mAllowOwner.c_str(), source, mAllowName.c_str());
  return false;
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
  if (status == ERROR_SOCKET_DESCRIPTORS) {
    pauseAccepting(errno);
  } else if (status != STATUS_OK) {
    KTLogWrite(CLog::log, "ServeConnected(): KTSocketAccept failed. (%d)", status);
  } else if (!admitted(pClient)) {
    KTSocketFree(&pClient, CLog::log);
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
