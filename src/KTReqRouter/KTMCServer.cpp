/* KTMCServer.cpp - the link to one peer router: the four sends, the peer's state and the send thread.
 *
 * Every send follows one pattern: take a connection from the peer's
 * connection pool, send the message, read one reply line, then, under the
 * record's lock, mark the peer up or down. Errors of taking the connection
 * and of the exchange itself go to the router log only while the peer is
 * new or up, so a peer that stays down fills no log; a state change is
 * logged once. A failed connection is closed, a good one parked for reuse.
 *
 * The send thread takes the pending cache data of every shared pool under
 * the record's lock (moving the read positions) and sends it after
 * releasing the lock, so no lock is ever held during network I/O. Everything
 * the thread allocates is owned by scope objects, so a cancellation that
 * unwinds the thread releases it.
 */
#include "KTMCServer.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "KTBuffer.h"
#include "KTCondition.h"
#include "KTCriticalSection.h"
#include "KTDebug.h"
#include "KTHash.h"
#include "KTMemoryManager.h"
#include "KTServer.h"
#include "KTSocket.h"
#include "KTThread.h"
#include "KTUtils.h"
#include "KTUtils2.h"
#include "VXASPool.h"
#include "VXCacheInfo.h"

const char* const MCStatusNames[3] = {"new", "down", "up"};

namespace {

std::atomic<int> gSendCycleMs{KTMCSERVER_SEND_CYCLE_MS};
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

/* Owns a KTBuffer. */
class BufferHolder {
 public:
  BufferHolder() = default;
  ~BufferHolder() {
    if (mpBuffer != nullptr) KTBufferFree(&mpBuffer);
  }
  BufferHolder(const BufferHolder&) = delete;
  BufferHolder& operator=(const BufferHolder&) = delete;
  KTStatus init(const char* text) { return KTBufferStrNew(&mpBuffer, text); }
  KTBuffer* get() const { return mpBuffer; }

 private:
  KTBuffer* mpBuffer = nullptr;
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
  if (sscanf(reply, "%d %d", &code, &length) < 2) {
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

/* One exchange with the peer and the state change that follows it. Returns
 * 0 also when the peer failed; a lock or park failure, or (start-up
 * question) a reply that could not be read, is returned. */
KTStatus _KTMCServerSend(KTMCServer* pMC, const SendKind& kind, KTBuffer* pMessage,
                         KTBuffer* pPoolNames, KTLog* pLog) {
  int locked = 0;
  KTStatus status = KTMCServerLock(pMC, &locked, pLog);
  if (!locked) return status;
  const KTMCStatus before = pMC->MCStatus;
  status = KTMCServerUnlock(pMC, pLog);
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

  status = KTMCServerLock(pMC, &locked, pLog);
  if (!locked) return result != STATUS_OK ? result : status;
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
  status = KTMCServerUnlock(pMC, pLog);
  return result != STATUS_OK ? result : status;
}

/* Sends code 21 or 22 for the pool; the iterator body. */
long sendPoolMessage(void* pElement, va_list args, const SendKind& kind) {
  KTMCServer* pMC = static_cast<KTMCServer*>(pElement);
  ASPool* pPool = va_arg(args, ASPool*);
  KTLog* pLog = va_arg(args, KTLog*);
  if (pMC == nullptr || pPool == nullptr) {
    KTLogWrite(pLog, "%s(): wrong arguments passed to procedure (pMC: %x, pPool: %x)",
               kind.replyFunction, KT_PTR32(pMC), KT_PTR32(pPool));
    return ERROR_INVALID_PARAMETER;
  }
  const char* poolName = ASPoolName(pPool);
  BufferHolder message;
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

/* Pending cache data of one shared pool, taken for sending. */
struct PendingData {
  std::string poolName;
  std::string data;
};

/* Hash iterator: takes the peer's pending data of one pool (moving its read
 * position to the end). Variable arguments: the vector of PendingData, the
 * KTLog*. Returns the failing step's status, which stops the walk. */
long SendCacheIterator(const char* key, void* element, va_list args) {
  std::vector<PendingData>* pPending = va_arg(args, std::vector<PendingData>*);
  KTLog* pLog = va_arg(args, KTLog*);
  BufferHolder data;
  KTStatus status = data.init("");
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "SendCacheIterator(): error init send buffer");
    return status;
  }
  status = CacheInfoUpdateData(static_cast<CacheInfo*>(element), data.get(), pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "SendCacheIterator(): error get cache data");
    return status;
  }
  try {
    pPending->push_back(PendingData{key, std::string(data.get()->pData, data.get()->dataLength)});
  } catch (const std::bad_alloc&) {
    KTLogWrite(pLog, "SendCacheIterator(): error get cache data");
    return ERROR_MEMORY_ALLOCATION;
  }
  return STATUS_OK;
}

/* Hash destructor: unregisters the reader from its queue and frees it.
 * Variable argument: the KTLog*. */
long freeCacheInfo(void** ppElement, va_list args) {
  KTLog* pLog = va_arg(args, KTLog*);
  CacheInfo* pCacheInfo = static_cast<CacheInfo*>(*ppElement);
  if (pCacheInfo == nullptr) return STATUS_OK;
  CacheQueue* pQueue = nullptr;
  if (CacheInfoGetQueue(pCacheInfo, &pQueue, pLog) == STATUS_OK && pQueue != nullptr) {
    CacheQueueRemoveServer(pQueue, pCacheInfo, pLog);
  }
  CacheInfoFree(&pCacheInfo, pLog);
  *ppElement = nullptr;
  return STATUS_OK;
}

/* What the send thread needs; owned by the thread once it runs. */
struct SendThreadParam {
  KTMCServer* pMC;
  KTLog* pLog;
};

/* The send thread: every send cycle, or when woken, sends the pending cache
 * data of every shared pool. A failing wait or stand-up ends it with the
 * error flag set. */
void SendThreadMain(int* pStopFlag, int* pError, void* pParameter) {
  std::unique_ptr<SendThreadParam> param(static_cast<SendThreadParam*>(pParameter));
  KTMCServer* pMC = param->pMC;
  KTLog* pLog = param->pLog;
  bool failed = false;
  while (!KTThreadStopRequested(pStopFlag)) {
    KTDEBUG_MSG(KTDEBUG_RROUTER, "SendThreadMain(): before ConditionWait()");
    if (KTMCServerWaitForChange(pMC, KTMCServerGetSendCycle(), pLog) != STATUS_OK) {
      failed = true;
      break;
    }
    if (KTThreadStopRequested(pStopFlag)) break;
    if (KTMCServerCacheStandup(pMC, pLog) != STATUS_OK) {
      KTLogWrite(pLog, "SendThreadMain(): error MC send.");
      failed = true;
      break;
    }
  }
  if (failed) {
    KTLogWrite(pLog, "SendThreadMain(): terminate ReqRouter due to unrecoverable error in thread");
    KTThreadSetError(pError, 1);
  }
}

/* Starts the record's send thread. Returns ERROR_MEMORY_ALLOCATION or the
 * thread library's failing status; no thread runs then. */
KTStatus KTMCServerSendThreadStart(KTMCServer* pMC, KTLog* pLog) {
  SendThreadParam* pParam = new (std::nothrow) SendThreadParam{pMC, pLog};
  if (pParam == nullptr) {
    KTLogWrite(pLog, "KTMCServerSendThreadStart(): error allocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  KTStatus status = KTThreadNew(&pMC->pThread, SendThreadMain, pParam);
  if (status != STATUS_OK) {
    delete pParam;
    KTLogWrite(pLog, "KTMCServerSendThreadStart(): error create thread(%d)", status);
  }
  return status;
}

/* Stops the send thread: asks it to stop, wakes it and frees it (cancelled
 * when it has not ended within 100 ms). Returns the last failing step's status. */
KTStatus SendThreadStop(KTMCServer* pMC, KTLog* pLog) {
  KTStatus result = STATUS_OK;
  KTStatus status = KTThreadStop(pMC->pThread);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "SendThreadStop(): error stop thread(%d)", status);
    result = status;
  }
  status = KTMCServerCacheWackup(pMC, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "SendThreadStop(): error wake up thread(%d)", status);
    result = status;
  }
  status = KTThreadFree(&pMC->pThread, 100);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "SendThreadStop(): error free thread(%d)", status);
    result = status;
  }
  return result;
}

/* Releases whatever parts of the record exist, in reverse order of creation.
 * Returns the last failing step's status. */
KTStatus releaseParts(KTMCServer* pMC, KTLog* pLog) {
  KTStatus result = STATUS_OK;
  KTStatus status;
  if (pMC->pThread != nullptr && (status = SendThreadStop(pMC, pLog)) != STATUS_OK) result = status;
  if (pMC->pServer != nullptr && (status = KTServerFree(&pMC->pServer, pLog)) != STATUS_OK) {
    result = status;
  }
  if (pMC->pCacheInfoHash != nullptr) {
    KTHashClearAndFreeElements(pMC->pCacheInfoHash, pMC->pMemoryManager, freeCacheInfo, pLog);
    if ((status = KTHashFree(&pMC->pCacheInfoHash, pMC->pMemoryManager)) != STATUS_OK) {
      result = status;
    }
  }
  if (pMC->pMemoryManager != nullptr &&
      (status = pMC->pMemoryManager->Free(&pMC->pMemoryManager)) != STATUS_OK) {
    result = status;
  }
  if (pMC->pCondition != nullptr && (status = KTConditionFree(&pMC->pCondition)) != STATUS_OK) {
    result = status;
  }
  if (pMC->pCriticalSection != nullptr &&
      (status = pMC->pCriticalSection->Free(&pMC->pCriticalSection)) != STATUS_OK) {
    result = status;
  }
  return result;
}

}  // namespace

/* Timing ------------------------------------------------------------------- */

void KTMCServerSetSendCycle(int ms) {
  gSendCycleMs.store(ms > 0 ? ms : KTMCSERVER_SEND_CYCLE_MS, std::memory_order_relaxed);
}

int KTMCServerGetSendCycle(void) { return gSendCycleMs.load(std::memory_order_relaxed); }

void KTMCServerSetReplyTimeout(int ms) {
  gReplyTimeoutMs.store(ms > 0 ? ms : KTMCSERVER_REPLY_TIMEOUT_MS, std::memory_order_relaxed);
}

/* Creation and release ------------------------------------------------------ */

/* Returns ERROR_INVALID_PARAMETER, ERROR_MEMORY_ALLOCATION, the resolver's
 * status or the failing step's status; nothing is left allocated then. */
KTStatus KTMCServerNew(KTMCServer** ppMC, const char* IP, unsigned short port, const char* myMCIP,
                       unsigned short myMCPort, KTLog* pLog) {
  if (ppMC == nullptr || *ppMC != nullptr || IP == nullptr || myMCIP == nullptr) {
    KTLogWrite(pLog, "KTMCServerNew(): wrong arguments passed to procedure (ppMC: %x, IP: %s, myMCIP: %s)",
               KT_PTR32(ppMC), IP != nullptr ? IP : "(null)", myMCIP != nullptr ? myMCIP : "(null)");
    return ERROR_INVALID_PARAMETER;
  }
  if (strlen(IP) >= KTMCSERVER_HOST_SIZE || strlen(myMCIP) >= KTMCSERVER_HOST_SIZE) {
    KTLogWrite(pLog, "KTMCServerNew(): host name too long (peer: %d, own: %d characters, at most %d)",
               (int)strlen(IP), (int)strlen(myMCIP), KTMCSERVER_HOST_SIZE - 1);
    return ERROR_INVALID_PARAMETER;
  }
  KTMCServer* pMC = static_cast<KTMCServer*>(calloc(1, sizeof(KTMCServer)));
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerNew(): error alloc memory for server.");
    return ERROR_MEMORY_ALLOCATION;
  }
  KTStatus status = KTCriticalSectionThreadNew(&pMC->pCriticalSection);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerNew(): error creating critical section (%d) ", status);
  } else if ((status = KTConditionNew(&pMC->pCondition)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerNew(): error creating condition (%d) ", status);
  } else if ((status = KTMemoryManagerSysNew(&pMC->pMemoryManager)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerNew(): error creating local system memory manager");
  } else if ((status = KTHashNew(&pMC->pCacheInfoHash, pMC->pMemoryManager)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerNew(): error creating cache info hash (%d)", status);
  } else if ((status = KTServerNew(&pMC->pServer, IP, port, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerNew(): error new server (%d).", status);
  }
  if (status == STATUS_OK) {
    pMC->MCStatus = KTMCSTATUS_STARTED;
    pMC->SocketFd = -1;
    strcpy(pMC->IP, IP);  // lengths checked above
    pMC->port = port;
    strcpy(pMC->myMCIP, myMCIP);
    pMC->myMCPort = myMCPort;
    pMC->lastContact = 0;
    status = KTMCServerSendThreadStart(pMC, pLog);
    if (status != STATUS_OK) KTLogWrite(pLog, "KTMCServerNew(): error start thread (%d).", status);
  }
  if (status != STATUS_OK) {
    releaseParts(pMC, pLog);
    free(pMC);
    return status;
  }
  *ppMC = pMC;
  return STATUS_OK;
}

/* Returns ERROR_INVALID_PARAMETER for a null argument, else the last failing step's status. */
KTStatus KTMCServerFree(KTMCServer** ppMC, KTLog* pLog) {
  if (ppMC == nullptr || *ppMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerFree(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = releaseParts(*ppMC, pLog);
  free(*ppMC);
  *ppMC = nullptr;
  return status;
}

/* Sends --------------------------------------------------------------------- */

/* Returns 1 for an unreadable reply header, ERROR_MEMORY_ALLOCATION, a failed
 * data read, or a lock or park failure; 0 when the peer cannot be reached. */
KTStatus KTMCServerSendInitial(KTMCServer* pMC, KTBuffer* pPoolNames, KTLog* pLog) {
  if (pMC == nullptr || pPoolNames == nullptr) {
    KTLogWrite(pLog, "KTMCServerSendInitial(): wrong arguments passed to procedure (pMC: %x, pPoolNames: %x)",
               KT_PTR32(pMC), KT_PTR32(pPoolNames));
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTBufferStrSet(pPoolNames, "");
  BufferHolder message;
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

/* Returns a lock or park failure; 0 also when the peer fails. */
KTStatus KTMCServerSendCache(KTMCServer* pMC, const char* poolName, const char* data, KTLog* pLog) {
  if (pMC == nullptr || poolName == nullptr || data == nullptr) {
    KTLogWrite(pLog, "KTMCServerSendCache(): wrong arguments passed to procedure (pMC: %x, poolName: %x, data: %x)",
               KT_PTR32(pMC), KT_PTR32(poolName), KT_PTR32(data));
    return ERROR_INVALID_PARAMETER;
  }
  const size_t length = strlen(data);
  BufferHolder message;
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

/* Returns a lock or park failure; 0 also when the peer fails. */
long KTMCServerSendNewPool(void* pElement, va_list args) {
  return sendPoolMessage(pElement, args, kNewPool);
}

/* Returns a lock or park failure; 0 also when the peer fails. */
long KTMCServerSendReleasePool(void* pElement, va_list args) {
  return sendPoolMessage(pElement, args, kReleasePool);
}

/* Send thread ---------------------------------------------------------------- */

/* Returns the condition's failing status. */
KTStatus KTMCServerCacheWackup(KTMCServer* pMC, KTLog* pLog) {
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerCacheWackup(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTConditionWakeup(pMC->pCondition);
  if (status != STATUS_OK) KTLogWrite(pLog, "KTMCServerCacheWackup(): error wack up MC.");
  return status;
}

/* Returns 0 for a valid record; failures are logged. */
KTStatus KTMCServerCacheStandup(KTMCServer* pMC, KTLog* pLog) {
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerCacheStandup(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<PendingData> pending;
  int locked = 0;
  KTMCServerLock(pMC, &locked, pLog);
  if (!locked) return STATUS_OK;
  KTStatus status = KTHashForEach(pMC->pCacheInfoHash, pMC->pMemoryManager, SendCacheIterator,
                                  &pending, pLog);
  KTMCServerUnlock(pMC, pLog);
  if (status != STATUS_OK) KTLogWrite(pLog, "KTMCServerCacheStandup(): error send caches");
  // Sent without the lock: state changes after each send take it again.
  for (const PendingData& entry : pending) {
    if (KTMCServerSendCache(pMC, entry.poolName.c_str(), entry.data.c_str(), pLog) != STATUS_OK) {
      KTLogWrite(pLog, "SendCacheIterator(): error send caches");
    }
  }
  return STATUS_OK;
}

/* Returns the condition's failing status; a time-out is no failure. */
KTStatus KTMCServerWaitForChange(KTMCServer* pMC, int timeoutMs, KTLog* pLog) {
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerWaitForChange(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTConditionWait(pMC->pCondition, timeoutMs);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerWaitForChange(): KTConditionWait() failed (%d)", status);
  }
  return status;
}

/* State and connection ---------------------------------------------------------- */

/* Returns the lock's failing status. */
KTStatus KTMCServerSetShutdown(KTMCServer* pMC, KTLog* pLog) {
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerSetShutdown(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int locked = 0;
  KTStatus status = KTMCServerLock(pMC, &locked, pLog);
  if (!locked) {
    KTLogWrite(pLog, "KTMCServerSetShutdown(): error lock MC.");
    return status;
  }
  if (pMC->MCStatus != KTMCSTATUS_SHUTDOWN) {
    KTLogWrite(pLog, "MC [%s]:%hu shut down", pMC->IP, pMC->port);
  }
  pMC->MCStatus = KTMCSTATUS_SHUTDOWN;
  pMC->SocketFd = -1;
  return KTMCServerUnlock(pMC, pLog);
}

/* Returns the socket's or lock's failing status; nothing is recorded then. */
KTStatus KTMCServerSetSocket(KTMCServer* pMC, KTSocket* pSocket, KTLog* pLog) {
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerSetSocket(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int fd = -1;
  if (pSocket != nullptr) {
    KTStatus status = KTSocketGetFd(pSocket, &fd, pLog);
    if (status != STATUS_OK) return status;
  }
  int locked = 0;
  KTStatus status = KTMCServerLock(pMC, &locked, pLog);
  if (!locked) return status;
  pMC->SocketFd = fd;
  return KTMCServerUnlock(pMC, pLog);
}

/* Returns the socket's or lock's failing status. */
KTStatus KTMCServerSocketMatches(KTMCServer* pMC, KTSocket* pSocket, int* pResult, KTLog* pLog) {
  if (pMC == nullptr || pSocket == nullptr || pResult == nullptr) {
    KTLogWrite(pLog, "KTMCServerSocketMatches(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *pResult = 0;
  int fd = -1;
  KTStatus status = KTSocketGetFd(pSocket, &fd, pLog);
  if (status != STATUS_OK) return status;
  int locked = 0;
  status = KTMCServerLock(pMC, &locked, pLog);
  if (!locked) return status;
  *pResult = (fd != -1 && fd == pMC->SocketFd) ? 1 : 0;
  return KTMCServerUnlock(pMC, pLog);
}

/* Returns the lock's failing status. */
KTStatus KTMCServerMatches(KTMCServer* pMC, const char* host, unsigned short port, int* pMatches,
                           KTLog* pLog) {
  if (pMC == nullptr || host == nullptr || pMatches == nullptr) {
    KTLogWrite(pLog, "KTMCServerMatches(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *pMatches = 0;
  // The port first: it spares a name lookup for every other peer.
  if (port != pMC->port || CompareHostAddr(host, pMC->IP, pLog) != 0) return STATUS_OK;
  *pMatches = 1;
  int locked = 0;
  KTStatus status = KTMCServerLock(pMC, &locked, pLog);
  if (!locked) return status;
  pMC->lastContact = KTTimeNow();
  return KTMCServerUnlock(pMC, pLog);
}

/* Returns the buffer's failing status. */
KTStatus KTMCServerGetHost(KTMCServer* pMC, KTBuffer* pIP, unsigned short* pPort, KTLog* pLog) {
  if (pMC == nullptr || pIP == nullptr || pPort == nullptr) {
    KTLogWrite(pLog, "KTMCServerGetHost(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTBufferStrSet(pIP, pMC->IP);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerGetHost(): error setting IP buffer (%d)", status);
    return status;
  }
  *pPort = pMC->port;
  return STATUS_OK;
}

/* Returns the lock's failing status. */
KTStatus KTMCServerGetStatus(KTMCServer* pMC, KTMCStatus* pStatus, KTLog* pLog) {
  if (pMC == nullptr || pStatus == nullptr) {
    KTLogWrite(pLog, "KTMCServerGetStatus(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int locked = 0;
  KTStatus status = KTMCServerLock(pMC, &locked, pLog);
  if (!locked) return status;
  *pStatus = pMC->MCStatus;
  return KTMCServerUnlock(pMC, pLog);
}

/* Returns the lock's or the buffer's failing status. */
long KTMCServerMonitorServer(void* pElement, va_list args) {
  KTMCServer* pMC = static_cast<KTMCServer*>(pElement);
  KTBuffer* pResponse = va_arg(args, KTBuffer*);
  KTLog* pLog = va_arg(args, KTLog*);
  if (pMC == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "KTMCServerMonitorServer(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int locked = 0;
  KTStatus status = KTMCServerLock(pMC, &locked, pLog);
  if (!locked) return status;
  const KTMCStatus state = pMC->MCStatus;
  const time_t lastContact = pMC->lastContact;
  status = KTMCServerUnlock(pMC, pLog);
  if (status != STATUS_OK) return status;
  const int seconds = lastContact == 0 ? -1 : (int)(KTTimeNow() - lastContact);
  const int index = (int)state + 1;
  const char* name = index >= 0 && index < 3 ? MCStatusNames[index] : "unknown";
  status = KTBufferStrAppendf(pResponse, "%s %s:%hu %s %d\r\n", "M", pMC->IP, pMC->port, name,
                              seconds);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerMonitorServer(): error append to buffer (%d)", status);
  }
  return status;
}

/* Shared pools ------------------------------------------------------------------- */

/* Returns the failing step's status; nothing is registered then. */
KTStatus KTMCServerAddPoolCacheInfo(KTMCServer* pMC, const char* poolName, CacheQueue* pQueue,
                                    KTLog* pLog) {
  if (pMC == nullptr || poolName == nullptr || pQueue == nullptr) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int locked = 0;
  KTStatus status = KTMCServerLock(pMC, &locked, pLog);
  if (!locked) return status;
  CacheInfo* pCacheInfo = static_cast<CacheInfo*>(
      KTHashGet(pMC->pCacheInfoHash, pMC->pMemoryManager, poolName, &status));
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): error get cache info from hash.");
  } else if (pCacheInfo != nullptr) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): cache already info exists.");
  } else if ((status = CacheInfoNew(&pCacheInfo, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): error create cache info.");
  } else if ((status = KTHashSet(pMC->pCacheInfoHash, pMC->pMemoryManager, poolName,
                                 pCacheInfo)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): error adding cache infoto hash.");
    CacheInfoFree(&pCacheInfo, pLog);
  } else if ((status = CacheQueueAddServer(pQueue, pCacheInfo, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): error adding cache info to cache queue.");
    KTHashRemove(pMC->pCacheInfoHash, pMC->pMemoryManager, poolName);
    CacheInfoFree(&pCacheInfo, pLog);
  }
  KTStatus unlockStatus = KTMCServerUnlock(pMC, pLog);
  return status != STATUS_OK ? status : unlockStatus;
}

/* Returns the failing step's status. */
KTStatus KTMCServerRemovePoolCacheInfo(KTMCServer* pMC, const char* poolName, CacheQueue* pQueue,
                                       KTLog* pLog) {
  if (pMC == nullptr || poolName == nullptr || pQueue == nullptr) {
    KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int locked = 0;
  KTStatus status = KTMCServerLock(pMC, &locked, pLog);
  if (!locked) return status;
  CacheInfo* pCacheInfo = static_cast<CacheInfo*>(
      KTHashGet(pMC->pCacheInfoHash, pMC->pMemoryManager, poolName, &status));
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): error get cache info from hash.");
  } else if (pCacheInfo == nullptr) {
    KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): cache info not exists.");
  } else if ((status = KTHashRemove(pMC->pCacheInfoHash, pMC->pMemoryManager, poolName)) !=
             STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): error remove cache info.");
  } else {
    // Out of the hash: the reader is gone whatever the queue says.
    KTStatus queueStatus = CacheQueueRemoveServer(pQueue, pCacheInfo, pLog);
    if (queueStatus != STATUS_OK) {
      KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): can't remove cache info from queue.");
      status = queueStatus;
    }
    KTStatus freeStatus = CacheInfoFree(&pCacheInfo, pLog);
    if (freeStatus != STATUS_OK) {
      KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): error free cache info.");
      status = freeStatus;
    }
  }
  KTStatus unlockStatus = KTMCServerUnlock(pMC, pLog);
  return status != STATUS_OK ? status : unlockStatus;
}

/* Locking --------------------------------------------------------------------------- */

/* Returns the critical section's failing status. */
KTStatus KTMCServerLock(KTMCServer* pMC, int* pLocked, KTLog* pLog) {
  if (pLocked != nullptr) *pLocked = 0;
  if (pMC == nullptr || pLocked == nullptr || pMC->pCriticalSection == nullptr) {
    KTLogWrite(pLog, "KTMCServerLock(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = pMC->pCriticalSection->Enter(pMC->pCriticalSection);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerLock(): failed to enter critical section(%d)", status);
    return status;
  }
  *pLocked = 1;
  return STATUS_OK;
}

/* Returns the critical section's failing status. */
KTStatus KTMCServerUnlock(KTMCServer* pMC, KTLog* pLog) {
  if (pMC == nullptr || pMC->pCriticalSection == nullptr) {
    KTLogWrite(pLog, "KTMCServerUnlock(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = pMC->pCriticalSection->Leave(pMC->pCriticalSection);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerUnlock(): failed to leave critical section(%d)", status);
  }
  return status;
}
