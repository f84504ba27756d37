/* SocketException.cpp - the socket exception and its message text.
 *
 * The error number is captured before anything else runs in the
 * constructor, so that building the message cannot change it.
 */
#include "SocketException.h"

#include <errno.h>
#include <string.h>

namespace {

/* Picks the right result of strerror_r whichever variant the C library
 * offers: the GNU one returns the text, the POSIX one fills the buffer. */
[[maybe_unused]] inline const char* errorText(const char* result, const char*) { return result; }
[[maybe_unused]] inline const char* errorText(int result, const char* buffer) {
  return result == 0 ? buffer : "unknown error";
}

}  // namespace

/* Never fails. */
int GetLastSocketError() { return errno; }

/* Never fails; the message holds the current system error text. */
CSocketException::CSocketException() : _lastError(GetLastSocketError()) { buildMessage(nullptr); }

/* Never fails. */
CSocketException::CSocketException(int lastError) : _lastError(lastError) { buildMessage(nullptr); }

/* Never fails; a null prefix counts as no prefix. */
CSocketException::CSocketException(const char* prefix) : _lastError(GetLastSocketError()) {
  buildMessage(prefix);
}

/* Never fails. */
CSocketException::CSocketException(const std::string& prefix) : _lastError(GetLastSocketError()) {
  buildMessage(prefix.c_str());
}

/* Never fails; a null prefix counts as no prefix. */
CSocketException::CSocketException(const char* prefix, int lastError) : _lastError(lastError) {
  buildMessage(prefix);
}

/* Never fails. */
CSocketException::CSocketException(const std::string& prefix, int lastError)
    : _lastError(lastError) {
  buildMessage(prefix.c_str());
}

/* Composes "prefix: system text"; without an error number only the prefix. */
void CSocketException::buildMessage(const char* prefix) {
  const bool hasPrefix = prefix != nullptr && *prefix != '\0';
  if (_lastError == 0) {
    _message = hasPrefix ? prefix : "unknown error";
    return;
  }
  char buffer[256] = {0};
  const char* text = errorText(strerror_r(_lastError, buffer, sizeof(buffer)), buffer);
  if (hasPrefix) {
    _message = prefix;
    _message += ": ";
    _message += text;
  } else {
    _message = text;
  }
}
