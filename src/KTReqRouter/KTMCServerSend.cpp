/* KTMCServerSend.cpp - the sends to a peer router and the reading of its replies.
 *
 * Every send follows one pattern: take a connection from the peer's
 * connection pool, send the message, read one reply line, then, under the
 * record's lock, mark the peer up or down. Errors of taking the connection
 * and of the exchange itself go to the router log only while the peer is
 * new or up, so a peer that stays down fills no log; a state change is
 * logged once. A failed connection is closed, a good one parked for reuse.
 * No lock is held during network I/O.
 */
#include "KTMCServer.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTMCRequestHeader.h"
#include "KTServer.h"
#include "KTSocket.h"
#include "KTUtils.h"
#include "VXASPool.h"
#include "internal/KTMCServerInternal.h"


namespace {

std::atomic<int> gReplyTimeoutMs{KTMCSERVER_REPLY_TIMEOUT_MS};

/* How one kind of message is sent and reported. */
struct SendKind {
  int code;
  const char* requestName;    /* name in the "broadcast ... failed/succeeded" lines */
  const char* replyFunction;  /* name in the "responded" line */
  bool failLoggedUnlessDown;  /* failure logged unless down (else only when up) */
  int connectTimeout;         /* seconds */
};

const SendKind kUpdateCache = {MC_REQUEST_UPDATECACHE, "MC_REQUEST_UPDATECACHE",
                               "KTMCServerSendCache", true, KTMCSERVER_CONNECT_TIMEOUT};
const SendKind kInitialPool = {MC_REQUEST_INITIALPOOL, "MC_REQUEST_INITIALPOOL",
                               "KTMCServerSendInitial", true, KTMCSERVER_INITIAL_CONNECT_TIMEOUT};
const SendKind kNewPool = {MC_REQUEST_NEWPOOL, "MC_REQUEST_NEWPOOL", "KTMCServerSendNewPool",
                           false, KTMCSERVER_CONNECT_TIMEOUT};
const SendKind kReleasePool = {MC_REQUEST_RELEASEPOOL, "MC_REQUEST_RELEASEPOOL",
                               "KTMCServerSendReleasePool", false, KTMCSERVER_CONNECT_TIMEOUT};

/* Owns a connection taken from the pool; closes it unless released. */
class SocketHolder {
 public:
  SocketHolder(KTSocket* pSocket, KTLog* pLog) : mpSocket(pSocket), mpLog(pLog) {}
  ~SocketHolder() { close(); }
  SocketHolder(const SocketHolder&) = delete;
  SocketHolder& operator=(const SocketHolder&) = delete;
  KTSocket* get() const { return mpSocket; }
  KTSocket* release() {
    KTSocket* pSocket = mpSocket;
    mpSocket = nullptr;
    return pSocket;
  }
  void close() {
    if (mpSocket != nullptr) KTSocketFree(&mpSocket, mpLog);
  }

 private:
  KTSocket* mpSocket;
  KTLog* mpLog;
};

/* The reply line without its line end, for log lines. */
std::string withoutLineEnd(const char* reply) {
  std::string text(reply);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

/* Reads the start-up reply: header "0 <length>\n", then length bytes of pool
 * names into pPoolNames. *pOk tells whether the exchange succeeded. Returns
 * the status the send must report (0 also for a peer that failed to reply). */
KTStatus readInitialReply(KTMCServer* pMC, KTSocket* pSocket, KTBuffer* pPoolNames,
                          KTLog* pConnLog, KTLog* pLog, bool* pOk) {
  char reply[KTMCSERVER_REPLY_LINE_MAX + 1] = "";
  size_t size = sizeof reply;
  *pOk = false;
  if (KTSocketReceiveLine(pSocket, reply, &size, pConnLog) != STATUS_OK) return STATUS_OK;
  int code = 0;
  int length = 0;
  if (MCScanCodeAndLength(reply, &code, &length) < 2) {
    KTLogWrite(pLog, "KTMCServerSendInitial(): failed to read request code and data size from the following request \"%s\"",
               withoutLineEnd(reply).c_str());
    return ERROR_UNKNOWN;
  }
  /* "0 -1" is how a peer without pools answers: no data follows. */
  if (length == -1) length = 0;
  if (length < 0 || length > KTMCSERVER_MAX_POOLNAMES_LENGTH) {
    KTLogWrite(pLog, "KTMCServerSendInitial(): [%s]:%hu announced an invalid data size %d", pMC->IP,
               pMC->port, length);
    return ERROR_UNKNOWN;
  }
  if (length > 0) {
    std::unique_ptr<char[]> data(new (std::nothrow) char[(size_t)length + 1]);
    if (!data) {
      KTLogWrite(pLog, "KTMCServerSendInitial(): could not allocate memory that was needed for the cache data");
      return ERROR_MEMORY_ALLOCATION;
    }
    size_t received = (size_t)length;
    KTStatus status = KTSocketReceive(pSocket, data.get(), &received, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTMCServerSendInitial(): could not read the %d bytes of pool names from [%s]:%hu (%d)",
                 length, pMC->IP, pMC->port, status);
      return status;
    }
    status = KTBufferBinSet(pPoolNames, data.get(), (size_t)length);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTMCServerSendInitial(): could not allocate memory that was needed for the cache data");
      return status;
    }
  }
  *pOk = true;
  return STATUS_OK;
}

/* Marks the peer down after a failed exchange, or up (when the connection
 * was parked) with its last contact now after a good one, logging a change
 * of state. Returns the lock's failing status. */
KTStatus recordOutcome(KTMCServer* pMC, const SendKind& kind, bool ok, bool parked, KTLog* pLog)
    KT_EXCLUDES(pMC->lock) {
  KTLockGuard guard(pMC->lock);
  if (!KTMCServerEntered(guard, pLog)) return guard.status();
  if (!ok) {
    bool report = kind.failLoggedUnlessDown ? pMC->MCStatus != KTMCSTATUS_SHUTDOWN
                                            : pMC->MCStatus == KTMCSTATUS_CONNECTED;
    if (report) {
      KTLogWrite(pLog, "broadcast %s to MC [%s]:%hu failed", kind.requestName, pMC->IP, pMC->port);
    }
    pMC->MCStatus = KTMCSTATUS_SHUTDOWN;
  } else {
    if (parked && pMC->MCStatus != KTMCSTATUS_CONNECTED) {
      KTLogWrite(pLog, "broadcast %s to MC [%s]:%hu succeeded", kind.requestName, pMC->IP,
                 pMC->port);
      pMC->MCStatus = KTMCSTATUS_CONNECTED;
    }
    pMC->lastContact = KTTimeNow();
  }
  return guard.finish(STATUS_OK, pLog, kKTMCServerLeaveFailure);
}

/* One exchange with the peer and the state change that follows it. Returns
 * 0 also when the peer failed; a lock or park failure, or (start-up
 * question) a reply that could not be read, is returned. */
KTStatus _KTMCServerSend(KTMCServer* pMC, const SendKind& kind, KTBuffer* pMessage,
                         KTBuffer* pPoolNames, KTLog* pLog) KT_EXCLUDES(pMC->lock) {
  KTMCStatus before = KTMCSTATUS_STARTED;
  KTStatus status = KTMCServerGetStatus(pMC, &before, pLog);
  if (status != STATUS_OK) return status;

  // A peer that is down stays silent until it answers again.
  KTLog* pConnLog = before == KTMCSTATUS_SHUTDOWN ? nullptr : pLog;
  KTSocket* pTaken = nullptr;
  status = KTServerGetSocket(pMC->pServer, &pTaken, kind.connectTimeout, pConnLog);
  SocketHolder socket(pTaken, pConnLog);
  bool ok = false;
  KTStatus result = STATUS_OK;
  if (status == STATUS_OK) {
    status = KTSocketSetTimeout(socket.get(), gReplyTimeoutMs.load(std::memory_order_relaxed),
                                pConnLog);
  }
  if (status == STATUS_OK) {
    size_t length = pMessage->dataLength;
    status = KTSocketSend(socket.get(), pMessage->pData, &length, pConnLog);
  }
  if (status == STATUS_OK && kind.code == MC_REQUEST_INITIALPOOL) {
    result = readInitialReply(pMC, socket.get(), pPoolNames, pConnLog, pLog, &ok);
  } else if (status == STATUS_OK) {
    char reply[KTMCSERVER_REPLY_LINE_MAX + 1] = "";
    size_t size = sizeof reply;
    KTStatus replyStatus = KTSocketReceiveLine(socket.get(), reply, &size, pConnLog);
    ok = replyStatus == STATUS_OK && strcmp(reply, "0 0\n") == 0;
    if (!ok) {
      KTLogWrite(pLog, "%s: error: [%s]:%hu responded \"%s\"", kind.replyFunction, pMC->IP,
                 pMC->port, withoutLineEnd(reply).c_str());
    }
  }

  bool parked = false;
  if (ok) {
    KTSocket* pSocket = socket.release();
    KTStatus parkStatus = KTServerParkSocket(pMC->pServer, &pSocket, pLog);
    parked = parkStatus == STATUS_OK;
    if (result == STATUS_OK) result = parkStatus;
  } else {
    socket.close();
  }

  status = recordOutcome(pMC, kind, ok, parked, pLog);
  return result != STATUS_OK ? result : status;
}

/* Builds and sends code 21 or 22 for the pool. */
KTStatus sendPoolMessage(KTMCServer* pMC, const char* poolName, const SendKind& kind, KTLog* pLog)
    KT_EXCLUDES(pMC->lock) {
  CKTBuffer message(std::nothrow);
  KTStatus status = message.init("");
  if (status == STATUS_OK) {
    status = KTBufferStrAppendf(message.get(), "%d 0 %s:%hu %s 1\n", kind.code, pMC->myMCIP,
                                pMC->myMCPort, poolName);
  }
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "%s(): error building the message (%d)", kind.replyFunction, status);
    return status;
  }
  return _KTMCServerSend(pMC, kind, message.get(), nullptr, pLog);
}

/* The iterator body of KTMCServerSendNewPool and KTMCServerSendReleasePool. */
long sendPoolIterator(void* pElement, va_list args, const SendKind& kind) {
  KTMCServer* pMC = static_cast<KTMCServer*>(pElement);
  ASPool* pPool = va_arg(args, ASPool*);
  KTLog* pLog = va_arg(args, KTLog*);
  if (pMC == nullptr || pPool == nullptr) {
    KTLogWrite(pLog, "%s(): wrong arguments passed to procedure (pMC: %x, pPool: %x)",
               kind.replyFunction, KT_PTR32(pMC), KT_PTR32(pPool));
    return ERROR_INVALID_PARAMETER;
  }
  return sendPoolMessage(pMC, ASPoolName(pPool), kind, pLog);
}

}  // namespace

void KTMCServerSetReplyTimeout(int ms) {
  gReplyTimeoutMs.store(ms > 0 ? ms : KTMCSERVER_REPLY_TIMEOUT_MS, std::memory_order_relaxed);
}

KTStatus KTMCServerSendInitial(KTMCServer* pMC, KTBuffer* pPoolNames, KTLog* pLog) {
  if (pMC == nullptr || pPoolNames == nullptr) {
    KTLogWrite(pLog, "KTMCServerSendInitial(): wrong arguments passed to procedure (pMC: %x, pPoolNames: %x)",
               KT_PTR32(pMC), KT_PTR32(pPoolNames));
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTBufferStrSet(pPoolNames, "");
  CKTBuffer message(std::nothrow);
  if (status == STATUS_OK) status = message.init("");
  if (status == STATUS_OK) {
    status = KTBufferStrAppendf(message.get(), "%d %d %s:%hu\n", MC_REQUEST_INITIALPOOL, 0,
                                pMC->myMCIP, pMC->myMCPort);
  }
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerSendInitial(): error building the message (%d)", status);
    return status;
  }
  return _KTMCServerSend(pMC, kInitialPool, message.get(), pPoolNames, pLog);
}

KTStatus KTMCServerSendCache(KTMCServer* pMC, const char* poolName, const char* data, KTLog* pLog) {
  if (pMC == nullptr || poolName == nullptr || data == nullptr) {
    KTLogWrite(pLog, "KTMCServerSendCache(): wrong arguments passed to procedure (pMC: %x, poolName: %x, data: %x)",
               KT_PTR32(pMC), KT_PTR32(poolName), KT_PTR32(data));
    return ERROR_INVALID_PARAMETER;
  }
  const size_t length = strlen(data);
  CKTBuffer message(std::nothrow);
  KTStatus status = message.init("");
  if (status == STATUS_OK) {
    status = KTBufferStrAppendf(message.get(), "%d %d %s:%hu %s 1\n", MC_REQUEST_UPDATECACHE,
                                (int)length, pMC->myMCIP, pMC->myMCPort, poolName);
  }
  if (status == STATUS_OK) status = KTBufferBinAppend(message.get(), data, length);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerSendCache(): error building the message (%d)", status);
    return status;
  }
  return _KTMCServerSend(pMC, kUpdateCache, message.get(), nullptr, pLog);
}

long KTMCServerSendNewPool(void* pElement, va_list args) {
  return sendPoolIterator(pElement, args, kNewPool);
}

long KTMCServerSendReleasePool(void* pElement, va_list args) {
  return sendPoolIterator(pElement, args, kReleasePool);
}

KTStatus KTMCServerSendPoolMessage(KTMCServer* pMC, int code, const char* poolName, KTLog* pLog) {
  if (pMC == nullptr || poolName == nullptr ||
      (code != MC_REQUEST_NEWPOOL && code != MC_REQUEST_RELEASEPOOL)) {
    KTLogWrite(pLog, "KTMCServerSendPoolMessage(): wrong arguments passed to procedure (pMC: %x, code: %d)",
               KT_PTR32(pMC), code);
    return ERROR_INVALID_PARAMETER;
  }
  return sendPoolMessage(pMC, poolName, code == MC_REQUEST_NEWPOOL ? kNewPool : kReleasePool, pLog);
}
