/* KTSocketTransfer.cpp - sending, receiving and line reading on a connected socket, each chunk after a bounded wait. */
#include "KTSocket.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "KTDebug.h"
#include "KTString.h"
#include "KTUtils.h"
#include "internal/KTSocketInternal.h"

using namespace ktsocket;

namespace {

/* Writes a hex dump of the bytes to the trace when `level` is switched on. */
void _HexDump(int level, const char* data, size_t length) {
#ifdef KT_DEBUG_TRACE
  if (pKTDebug == nullptr || (pKTDebug->level & level) == 0) return;
  static const char hex[] = "0123456789abcdef";
  for (size_t offset = 0; offset < length; offset += 16) {
    char line[16 * 3 + 2 + 16 + 1];
    size_t pos = 0;
    size_t n = length - offset < 16 ? length - offset : 16;
    for (size_t i = 0; i < 16; ++i) {
      if (i < n) {
        unsigned char c = (unsigned char)data[offset + i];
        line[pos++] = hex[c >> 4];
        line[pos++] = hex[c & 15];
      } else {
        line[pos++] = ' ';
        line[pos++] = ' ';
      }
      line[pos++] = ' ';
    }
    line[pos++] = ' ';
    for (size_t i = 0; i < n; ++i) {
      unsigned char c = (unsigned char)data[offset + i];
      line[pos++] = (c >= 32 && c < 127) ? (char)c : '.';
    }
    line[pos] = '\0';
    KTDEBUG_MSG(level, "%08x  %s", (unsigned int)offset, line);
  }
#else
  (void)level;
  (void)data;
  (void)length;
#endif
}

/* What a wait before the next chunk of a transfer came to. */
enum class Ready { kYes, kRetry, kFailed };

/* Waits until the connection can send (or receive) within the socket's
 * time-out, counted from startMs. An interrupted wait asks for a retry; a
 * failed, broken or timed-out wait is logged under the name of the public
 * send (or receive) function and its status is left in *pStatus. */
Ready _WaitForTransfer(KTSocket* pSocket, bool send, long long startMs, KTStatus* pStatus,
                       KTLog* pLog) {
  const char* const function = send ? "KTSocketSend" : "KTSocketReceive";
  WaitResult w = _Wait(pSocket->socket, !send, send, true, _Remaining(startMs, pSocket->timeout));
  if (w.rc < 0 && w.error == EINTR) {
    KTDEBUG_MSG(send ? KTDEBUG_SOCKETSEND : KTDEBUG_SOCKETRECV,
                "%s(): select was interrupted, trying again", function);
    return Ready::kRetry;
  }
  if (w.rc < 0) {
    ErrorText err(w.error);
    if (!err.ok()) {
      *pStatus = _NoMemory(pLog, function);
      return Ready::kFailed;
    }
    KTLogWrite(pLog, "%s(): socket #%d connected to [%s]:%hu can not be used anymore (%s)",
               function, pSocket->socket, _Host(pSocket), pSocket->port, err.text());
    *pStatus = ERROR_SOCKET;
    return Ready::kFailed;
  }
  if (w.exception) {
    KTLogWrite(pLog, "%s(): socket #%d connected to [%s]:%hu can not be used anymore (exception)",
               function, pSocket->socket, _Host(pSocket), pSocket->port);
    *pStatus = ERROR_SOCKET;
    return Ready::kFailed;
  }
  if (!(send ? w.writable : w.readable)) {
    KTLogWrite(pLog, "%s(): socket #%d connected to [%s]:%hu exceeded general timeout of %d seconds",
               function, pSocket->socket, _Host(pSocket), pSocket->port, pSocket->timeout / 1000);
    *pStatus = ERROR_SOCKET_TIMEOUT;
    return Ready::kFailed;
  }
  return Ready::kYes;
}

/* Traces a chunk of `n` bytes received at `at` (of `requested`) with its hex dump. */
void _TraceReceived(const char* at, ssize_t n, size_t requested) {
  (void)requested;  // only the trace reads it, and the release build has none
  KTDEBUG_MSG(KTDEBUG_SOCKETRECV,
              "KTSocketReceive(): received %d of %d requested bytes into buffer at address %u",
              (int)n, (int)requested, KT_PTR32(at));
  _HexDump(KTDEBUG_SOCKETRECV, at, (size_t)n);
}

/* Logs a receive that failed with the system error `error`; returns
 * ERROR_SOCKET_RECEIVE, or ERROR_MEMORY_ALLOCATION when the error text
 * cannot be had. */
KTStatus _ReceiveFailed(KTSocket* pSocket, int error, KTLog* pLog) {
  ErrorText err(error);
  if (!err.ok()) return _NoMemory(pLog, "KTSocketReceive");
  KTLogWrite(pLog, "KTSocketReceive(): socket #%d connected to [%s]:%hu failed to receive data (%s)",
             pSocket->socket, _Host(pSocket), pSocket->port, err.text());
  return ERROR_SOCKET_RECEIVE;
}

}  // namespace

KTStatus KTSocketSend(KTSocket* pSocket, const char* buffer, size_t* pLength, KTLog* pLog) {
  if (pSocket == nullptr || buffer == nullptr || pLength == nullptr) {
    KTLogWrite(pLog, "KTSocketSend(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  if (!pSocket->created || !pSocket->connected) {
    KTLogWrite(pLog, "KTSocketSend(): mismacth of internal state");
    return ERROR_INTERNAL_INCONSISTENCE;
  }
  const size_t requested = *pLength;
  size_t sent = 0;
  KTStatus status = STATUS_OK;
  long long start = KTMonotonicMs();
  while (sent < requested) {
    Ready ready = _WaitForTransfer(pSocket, true, start, &status, pLog);
    if (ready == Ready::kRetry) continue;
    if (ready == Ready::kFailed) break;
    size_t chunk = requested - sent;
    if (chunk > KTSOCKET_CHUNK) chunk = KTSOCKET_CHUNK;
    /* MSG_NOSIGNAL: a vanished peer is an error to report, not a signal that kills the process. */
    ssize_t n = send(pSocket->socket, buffer + sent, chunk, MSG_NOSIGNAL);
    if (n < 0) {
      int error = errno;
      if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) {
        KTDEBUG_MSG(KTDEBUG_SOCKETSEND, "KTSocketSend(): recoverable error (%s), trying again",
                    strerror(error));
        continue;
      }
      ErrorText err(error);
      if (!err.ok()) {
        status = _NoMemory(pLog, "KTSocketSend");
        break;
      }
      KTLogWrite(pLog, "KTSocketSend(): socket #%d connected to [%s]:%hu error sending data (%s)",
                 pSocket->socket, _Host(pSocket), pSocket->port, err.text());
      status = ERROR_SOCKET_SEND;
      break;
    }
    KTDEBUG_MSG(KTDEBUG_SOCKETSEND,
                "KTSocketSend(): socket #%d connected to [%s]:%hu sent %d of %d requested bytes "
                "from buffer at address %u",
                pSocket->socket, _Host(pSocket), pSocket->port, (int)n, (int)chunk,
                KT_PTR32(buffer + sent));
    _HexDump(KTDEBUG_SOCKETSEND, buffer + sent, (size_t)n);
    sent += (size_t)n;
    start = KTMonotonicMs();
  }
  *pLength = sent;
  return status;
}

KTStatus KTSocketFPrint(KTSocket* pSocket, KTLog* pLog, const char* format, ...) {
  if (pSocket == nullptr || format == nullptr) {
    KTLogWrite(pLog, "KTSocketFPrint(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char* text = nullptr;
  int written = 0;
  va_list args;
  va_start(args, format);
  KTStatus status = KTVFormatString(&text, &written, format, args);
  va_end(args);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTSocketFPrint(): formatting the text failed (%d)", status);
    return status;
  }
  size_t length = written > 0 ? (size_t)written : 0;
  status = KTSocketSend(pSocket, text, &length, pLog);
  free(text);
  return status;
}

KTStatus KTSocketReceive(KTSocket* pSocket, char* buffer, size_t* pLength, KTLog* pLog) {
  if (pSocket == nullptr || buffer == nullptr || pLength == nullptr) {
    KTLogWrite(pLog, "KTSocketReceive(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  if (!pSocket->created || !pSocket->connected) {
    KTLogWrite(pLog, "KTSocketReceive(): mismatch of internal state");
    return ERROR_INTERNAL_INCONSISTENCE;
  }
  const size_t requested = *pLength;
  size_t received = 0;
  KTStatus status = STATUS_OK;
  long long start = KTMonotonicMs();
  while (received < requested) {
    Ready ready = _WaitForTransfer(pSocket, false, start, &status, pLog);
    if (ready == Ready::kRetry) continue;
    if (ready == Ready::kFailed) break;
    size_t chunk = requested - received;
    if (chunk > KTSOCKET_CHUNK) chunk = KTSOCKET_CHUNK;
    ssize_t n = recv(pSocket->socket, buffer + received, chunk, 0);
    if (n > 0) {
      _TraceReceived(buffer + received, n, chunk);
      received += (size_t)n;
      start = KTMonotonicMs();
      KTDEBUG_MSG(KTDEBUG_SOCKETRECV, "KTSocketReceive(): Received: %d/%d", (int)received,
                  (int)requested);
      continue;
    }
    if (n == 0) {
      KTDEBUG_MSG(KTDEBUG_SOCKETRECV, "KTSocketReceive(): EOF received");
      status = ERROR_SOCKET_EOF;
      break;
    }
    int error = errno;
    if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) {
      KTDEBUG_MSG(KTDEBUG_SOCKETRECV, "KTSocketReceive(): recoverable error (%s), trying again",
                  strerror(error));
      continue;
    }
    status = _ReceiveFailed(pSocket, error, pLog);
    break;
  }
  *pLength = received;
  return status;
}

/* The line is taken exactly as a byte-by-byte read would take it, but with
 * two system calls when it has arrived: the waiting bytes are looked at
 * with MSG_PEEK, and only those up to and including the "\n" are consumed,
 * so what follows the line (its data, the next request) stays queued in
 * the socket. The wait, with the socket's time-out, happens only when
 * nothing is queued. */
KTStatus KTSocketReceiveLine(KTSocket* pSocket, char* buffer, size_t* pLength, KTLog* pLog) {
  if (pSocket == nullptr || buffer == nullptr || pLength == nullptr || *pLength == 0) {
    KTLogWrite(pLog, "KTSocketReceiveLine(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  if (!pSocket->created || !pSocket->connected) {
    KTLogWrite(pLog, "KTSocketReceive(): mismatch of internal state");
    buffer[0] = '\0';
    return ERROR_INTERNAL_INCONSISTENCE;
  }
  const size_t size = *pLength;
  size_t stored = 0;
  KTStatus status = STATUS_OK;
  long long start = KTMonotonicMs();
  while (stored < size - 1 && (stored == 0 || buffer[stored - 1] != '\n')) {
    char* const next = buffer + stored;
    ssize_t n = recv(pSocket->socket, next, size - 1 - stored, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
      const char* lineEnd = static_cast<const char*>(memchr(next, '\n', (size_t)n));
      const size_t take = lineEnd != nullptr ? (size_t)(lineEnd - next) + 1 : (size_t)n;
      n = recv(pSocket->socket, next, take, MSG_DONTWAIT);
    }
    if (n > 0) {
      _TraceReceived(next, n, size - 1 - stored);
      stored += (size_t)n;
      start = KTMonotonicMs();
      continue;
    }
    if (n == 0) {
      KTDEBUG_MSG(KTDEBUG_SOCKETRECV, "KTSocketReceive(): EOF received");
      status = ERROR_SOCKET_EOF;
      break;
    }
    int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      Ready ready = _WaitForTransfer(pSocket, false, start, &status, pLog);
      if (ready == Ready::kFailed) break;
      continue;
    }
    if (error == EINTR) {
      KTDEBUG_MSG(KTDEBUG_SOCKETRECV, "KTSocketReceive(): recoverable error (%s), trying again",
                  strerror(error));
      continue;
    }
    status = _ReceiveFailed(pSocket, error, pLog);
    break;
  }
  buffer[stored] = '\0';
  if (status != STATUS_OK) return status;
  if (stored == 0 || buffer[stored - 1] != '\n') {
    KTLogWrite(pLog, "KTSocketReceiveLine(): socket #%d connected to [%s]:%hu sent a line longer than %d bytes",
               pSocket->socket, _Host(pSocket), pSocket->port, (int)(size - 1));
    return ERROR_INSUFFICIENT_BUFFER;
  }
  return STATUS_OK;
}
