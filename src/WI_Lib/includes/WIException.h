/* WIException.h - exceptions that carry a KTStatus, and the thread-body
 * wrapper that turns any exception into a logged line and a status.
 *
 * CWIException(status, format, ...) formats its message printf-style (at
 * most 8191 characters) and appends " (status=<status>)".
 */
#ifndef WIEXCEPTION_H
#define WIEXCEPTION_H

#include <functional>
#include <string>

#include "Exception.h"
#include "KTStatus.h"

class CWIException : public CException {
 public:
  CWIException(KTStatus status, const char* format, ...) __attribute__((format(printf, 3, 4)));
  explicit CWIException(KTStatus status) : _status(status) {}
  ~CWIException() override = default;
  KTStatus getStatus() const { return _status; }

 protected:
  KTStatus _status = 0;
};

class CWIExceptionLimited : public CWIException {
 public:
  CWIExceptionLimited(KTStatus status, const char* refKey, const char* refMessage,
                      const char* format, ...) __attribute__((format(printf, 5, 6)));
  ~CWIExceptionLimited() override = default;
  const std::string& refKey() const { return _refKey; }
  const std::string& refMessage() const { return _refMessage; }

 private:
  std::string _refKey;
  std::string _refMessage;
};

/* Runs f; returns 0 when it returns, else logs "%s(): %s" with the caller
 * and the exception text (a CWIExceptionLimited through KTLogWriteLimited
 * with its key) and returns the exception's status: ERROR_UNKNOWN for
 * exceptions without one, and for a CWIException that carries status 0,
 * since the body failed all the same. Thread cancellation passes through.
 * A null caller is shown as "CatchWIExcpetion". */
KTStatus CatchWIException(const char* caller, const std::function<void()>& f);

#endif /* WIEXCEPTION_H */
