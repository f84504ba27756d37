/* SocketException.h - the exception of the networking classes: a failure
 * with the system error number that caused it.
 *
 * The message is the prefix, ": " and the system error text, or the system
 * error text alone when there is no prefix. A constructor without an error
 * number takes the current system error number (GetLastSocketError()).
 * When the error number is 0 there is no system error to describe, and the
 * message is the prefix alone ("unknown error" without a prefix).
 * Instances are immutable values; any thread may create and read them.
 */
#ifndef SOCKETEXCEPTION_H
#define SOCKETEXCEPTION_H

#include <string>

#include "Exception.h"

/* Returns the calling thread's current system error number (errno). */
int GetLastSocketError();

class CSocketException : public CException {
 public:
  CSocketException();
  explicit CSocketException(int lastError);
  explicit CSocketException(const char* prefix);
  explicit CSocketException(const std::string& prefix);
  CSocketException(const char* prefix, int lastError);
  CSocketException(const std::string& prefix, int lastError);
  ~CSocketException() override = default;

  /* The system error number the exception was built with. */
  int lastError() const { return _lastError; }

 private:
  void buildMessage(const char* prefix);

  int _lastError;
};

#endif /* SOCKETEXCEPTION_H */
