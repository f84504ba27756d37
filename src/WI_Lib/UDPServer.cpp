/* UDPServer.cpp - single-threaded datagram server and its thread.
 *
 * Each round waits for one datagram, lets the derived server compute the
 * reply and sends it back to the sender. Exceptions of one round are logged
 * and the loop goes on, so a malformed or oversized datagram never stops the
 * listener; only a failing bind ends run().
 */
#include "UDPServer.h"

#include <exception>

#include "KTLog.h"
#include "KTStatus.h"
#include "KTThread.h"
#include "Log.h"
#include "WIException.h"

CUDPServer::CUDPServer(const std::string& bindAddr, unsigned short port, int timeoutMs)
    : mTimeoutms(timeoutMs), mPort(port), mBindAddr(bindAddr), mBoundPort(0) {}

CUDPServer::~CUDPServer() = default;

/* Throws CSocketException when the socket cannot be bound. */
void CUDPServer::bind() {
  unsigned short bound = mBindAddr.empty() ? mSocket.bind(mPort) : mSocket.bind(mBindAddr, mPort);
  mBoundPort.store(bound, std::memory_order_release);
}

std::string CUDPServer::receive() { return mSocket.receive(mTimeoutms); }

void CUDPServer::send(const std::string& reply) { mSocket.send(reply); }

/* Throws CWIException for a null flag, or what bind() throws. */
void CUDPServer::run(int* pStopFlag) {
  if (pStopFlag == nullptr)
    throw CWIException(ERROR_INVALID_PARAMETER,
                       "CUDPServer::run(): wrong arguments passed to the procedure");
  bind();
  requestLoop(pStopFlag);
}

void CUDPServer::requestLoop(int* pStopFlag) {
  while (!KTThreadStopRequested(pStopFlag)) {
    bool abort = false;
    try {
      _processRequest(abort);
    } catch (const std::exception& e) {
      KTLogWrite(CLog::log, "CUDPServer::requestLoop(): std::exception caught: %s", e.what());
    }
    if (abort) break;
  }
}

void CUDPServer::_processRequest(bool& abort) {
  std::string request = receive();
  if (request.empty()) return;
  std::string reply = processRequest(request, abort);
  send(reply);
}

CUDPServerThread::CUDPServerThread(CUDPServer* pServer) : CKTThread(&CUDPServerThread::main, pServer) {}

void CUDPServerThread::main(int* pStopFlag, int* pError, void* pParameter) {
  if (pStopFlag == nullptr || pError == nullptr || pParameter == nullptr) {
    KTLogWrite(CLog::log, "CUDPServer::main(): wrong arguments passed to the procedure");
    if (pError != nullptr) KTThreadSetError(pError, 1);
    return;
  }
  CUDPServer* pServer = static_cast<CUDPServer*>(pParameter);
  KTStatus status = CatchWIException("CUDPServer::main", [&]() { pServer->run(pStopFlag); });
  if (status != STATUS_OK) KTThreadSetError(pError, 1);
}
