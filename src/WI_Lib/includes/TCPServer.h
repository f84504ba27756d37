/* TCPServer.h - single-threaded TCP server that keeps its connections open,
 * and the thread that runs it.
 *
 * CTCPServer listens on its endpoint and serves every connection from one
 * wait loop in the calling thread (CSocketSet::select, which visits only
 * the ready descriptors): a readable listening socket is accepted (the
 * connection gets a 2000 ms transfer time-out), a readable connection is
 * handed to handleRequest(). When accept() finds no descriptor left
 * (EMFILE, ENFILE) the listening socket is not watched for
 * kAcceptPauseMs, so the loop neither spins nor stops serving the open
 * connections; one repeat-suppressed log line names the descriptor limit,
 * and accepting resumes by itself. A connection stays open across
 * requests until handleRequest() returns non-zero (end of stream included);
 * then handleClientClose() runs and the connection is closed and dropped.
 * Handlers therefore must not block long: calls of 1000 ms or more are
 * logged. The stop flag is polled at least once a second.
 *
 * With an allow list (setAllowList()) a connection whose source lies
 * outside it is closed right after accept(), before anything is read; one
 * repeat-suppressed log line per source names the listener and the source.
 *
 * Derived servers supply handleRequest(); handleClientClose() does nothing
 * by default. Handlers of one server are never called concurrently.
 *
 * Thread safety: a server is run by one thread (CTCPServerThread); only the
 * stop flag and boundPort() are meant to be touched from other threads.
 */
#ifndef TCPSERVER_H
#define TCPSERVER_H

#include <atomic>
#include <string>

#include "CKTThread.h"
#include "IPEndpoint.h"
#include "KTAddressList.h"
#include "KTSocket.h"
#include "KTStatus.h"
#include "SocketSet.h"

class CTCPServer : public CSocketSet {
 public:
  /* Transfer time-out given to every accepted connection, milliseconds. */
  static const int kConnectionTimeoutMs = 2000;
  /* Longest wait of one select() round, milliseconds: bounds how late a stop is noticed. */
  static const int kSelectTimeoutMs = 1000;
  /* How long accepting pauses when no descriptor is left, milliseconds. */
  static const int kAcceptPauseMs = 100;
  /* Accepts and requests that take at least this long are logged, milliseconds. */
  static const long long kSlowCallMs = 1000;

  explicit CTCPServer(const IPEndpoint& endpoint);
  /* Closes every connection and the listening socket. */
  ~CTCPServer() override;

  /* Serves one readable connection; non-zero closes it. */
  virtual KTStatus handleRequest(KTSocket* pSocket) = 0;
  /* Called before a failed connection is closed; returns 0 by default. */
  virtual KTStatus handleClientClose(KTSocket* pSocket);
  /* Called once on the serving thread, after binding and before the first
   * wait; does nothing by default. */
  virtual void onServingThreadStart() {}

  /* Binds, then serves until *pStopFlag (read with KTThreadStopRequested)
   * becomes non-zero. Throws CWIException when binding fails, the server is
   * already bound, or select() fails; CSocketException when the endpoint's
   * host cannot be resolved. */
  void run(int* pStopFlag);

  /* From now on only sources in allowed are served; owner and listName name
   * the refusals in the log ("<owner>: refused connection from <source>
   * (not in <listName>)"). Call before the serving thread starts. */
  void setAllowList(const CAddressList& allowed, const std::string& owner,
                    const std::string& listName);

  /* The endpoint's port. */
  unsigned short port() const { return mIPEndpoint.port; }
  /* The port actually listened on (the system's choice for port 0); 0 until bound. */
  unsigned short boundPort() const { return mBoundPort.load(std::memory_order_acquire); }

 protected:
  /* Creates the listening socket and adds it to the set; throws CWIException
   * (ERROR_UNKNOWN "CTCPServer::bind(): called multiple times") when called again. */
  void bind();
  /* The wait loop; returns when the stop flag is set. */
  void requestLoop(int* pStopFlag);
  /* Accepts one connection of the listening socket and adds it to the set. */
  void serveConnected(KTSocket* pServerSocket);
  /* Serves one request; returns the handler's status (non-zero: close the connection). */
  KTStatus serveRequest(KTSocket* pSocket);

  IPEndpoint mIPEndpoint;   /* where to listen */
  KTSocket* mpServerSocket; /* the listening socket, owned by the set; null until bound */

 private:
  /* Stops watching the listening socket for kAcceptPauseMs and logs why. */
  void pauseAccepting(int error);
  /* Watches the listening socket again once the pause is over; returns
   * the longest wait (milliseconds) the next round may take. */
  int resumeAcceptingWhenDue();

  /* True when the accepted connection may be served; logs a refusal. */
  bool admitted(const KTSocket* pClient) const;

  std::atomic<unsigned short> mBoundPort;
  long long mAcceptResumeMs; /* monotonic time accepting resumes; 0 when not paused */
  bool mFiltered = false;    /* true once an allow list is set */
  CAddressList mAllowed;     /* the sources served when mFiltered */
  std::string mAllowOwner;   /* the listener's name in refusal lines */
  std::string mAllowName;    /* the list's name in refusal lines */
};

/* Thread running CTCPServer::run under CatchWIException ("CTCPServer::main");
 * an exception ends the thread with its error flag set. The server must
 * outlive the thread object. */
class CTCPServerThread : public CKTThread {
 public:
  /* Starts the thread; throws CWIException when it cannot be started. */
  explicit CTCPServerThread(CTCPServer* pServer);

 private:
  static void main(int* pStopFlag, int* pError, void* pParameter);
};

#endif /* TCPSERVER_H */
