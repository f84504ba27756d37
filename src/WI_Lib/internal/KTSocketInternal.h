/* KTSocketInternal.h - steps shared by the socket's source files (creation and connect, transfers, waits). */
#ifndef KTSOCKET_INTERNAL_H
#define KTSOCKET_INTERNAL_H

#include <stdlib.h>

#include "KTLog.h"
#include "KTSocket.h"
#include "KTStatus.h"

namespace ktsocket {

/* Owns the allocated system text of one error number. */
class ErrorText {
 public:
  explicit ErrorText(int number) : mText(KTFormatError(number)) {}
  ~ErrorText() { free(mText); }
  ErrorText(const ErrorText&) = delete;
  ErrorText& operator=(const ErrorText&) = delete;
  bool ok() const { return mText != nullptr; }
  const char* text() const { return mText; }

 private:
  char* mText;
};

/* Logs that the error text could not be allocated; returns ERROR_MEMORY_ALLOCATION. */
KTStatus _NoMemory(KTLog* pLog, const char* function);

/* Result of one readiness wait. */
struct WaitResult {
  int rc;         /* -1 failure, 0 time-out, >0 ready */
  int error;      /* errno of a failure */
  bool readable;
  bool writable;
  bool exception;
};

/* Waits for the requested conditions of fd, at most timeoutMs (negative: no
 * limit). An error or hang-up counts as readable and writable, as select()
 * reports them, so the following receive or send sees the cause; the
 * exceptional condition is pending out-of-band data. An interrupted wait is
 * reported as rc -1 with EINTR so callers can trace it; they call again
 * with the time still left. */
WaitResult _Wait(int fd, bool read, bool write, bool except, long long timeoutMs);

/* Time left of a wait that started at startMs and may take timeoutMs
 * (negative: no limit); never below 0. */
long long _Remaining(long long startMs, long long timeoutMs);

/* Host text of a socket for messages. */
inline const char* _Host(const KTSocket* pSocket) { return pSocket->ip ? pSocket->ip : ""; }

}  // namespace ktsocket

#endif /* KTSOCKET_INTERNAL_H */
