/* UDPServer.h - single-threaded datagram server: receive a request, compute
 * the reply, send it back to the sender; and the thread that runs it.
 *
 * run() binds (to mBindAddr, or to any address when it is empty) and then
 * loops until the stop flag is set or processRequest() sets its abort flag:
 * wait up to mTimeoutms for a datagram, hand a non-empty one to
 * processRequest() and send the reply, even an empty one, to the sender.
 * A failure while handling one datagram (including an oversized datagram,
 * which is dropped) is logged and the next datagram is awaited. The stop
 * flag is therefore noticed after at most one receive wait.
 *
 * Derived servers supply processRequest(); bind(), receive() and send() may
 * be overridden.
 *
 * Thread safety: a server is run by one thread (CUDPServerThread); only the
 * stop flag and boundPort() are meant to be touched from other threads.
 */
#ifndef UDPSERVER_H
#define UDPSERVER_H

#include <atomic>
#include <string>

#include "CKTThread.h"
#include "UDPSocket.h"

class CUDPServer {
 public:
  /* bindAddr: host to bind to, empty for every local address; port 0 lets
   * the system choose; timeoutMs: longest wait for one datagram (-1: no limit). */
  CUDPServer(const std::string& bindAddr, unsigned short port, int timeoutMs);
  virtual ~CUDPServer();
  CUDPServer(const CUDPServer&) = delete;
  CUDPServer& operator=(const CUDPServer&) = delete;

  /* Computes the reply to one request; setting abort ends run() after the
   * reply has been sent. */
  virtual std::string processRequest(const std::string& request, bool& abort) = 0;
  /* Binds the socket; throws CSocketException on failure. */
  virtual void bind();
  /* Waits for one datagram; the empty text on time-out. */
  virtual std::string receive();
  /* Sends the reply to the sender of the last datagram. */
  virtual void send(const std::string& reply);

  /* Binds, then serves until *pStopFlag (read with KTThreadStopRequested)
   * becomes non-zero or a request aborts. Throws CWIException for a null
   * flag and CSocketException when binding fails. */
  void run(int* pStopFlag);

  /* The configured port. */
  unsigned short port() const { return mPort; }
  /* The port actually bound (the system's choice for port 0); 0 until bound. */
  unsigned short boundPort() const { return mBoundPort.load(std::memory_order_acquire); }

 protected:
  /* The loop of run(). */
  void requestLoop(int* pStopFlag);
  /* Receives one datagram and answers it; sets abort as processRequest() did. */
  void _processRequest(bool& abort);

  int mTimeoutms;            /* wait for one datagram, milliseconds */
  unsigned short mPort;      /* port to bind */
  std::string mBindAddr;     /* host to bind; empty = any address */
  CUDPServerSocket mSocket;  /* the bound socket */

 private:
  std::atomic<unsigned short> mBoundPort;
};

/* Thread running CUDPServer::run under CatchWIException ("CUDPServer::main");
 * an exception ends the thread with its error flag set. The server must
 * outlive the thread object. */
class CUDPServerThread : public CKTThread {
 public:
  /* Starts the thread; throws CWIException when it cannot be started. */
  explicit CUDPServerThread(CUDPServer* pServer);

 private:
  static void main(int* pStopFlag, int* pError, void* pParameter);
};

#endif /* UDPSERVER_H */
