/* WIException.cpp - exceptions carrying a KTStatus, and the thread-body wrapper.
 *
 * The message of CWIException is the printf-style formatting of its format
 * (at most 8191 characters) followed by " (status=<status>)". CatchWIException
 * turns whatever a thread body raises into one log line and a status, so a
 * thread ends with its error reported instead of taking the process down.
 */
#include "WIException.h"

#include <cxxabi.h>
#include <stdarg.h>
#include <stdio.h>

#include "KTLog.h"
#include "Log.h"

namespace {

/* The message of a CWIException: formatted text, then the status suffix. */
std::string FormatMessage(KTStatus status, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));
std::string FormatMessage(KTStatus status, const char* format, va_list args) {
  char text[8192];
  if (vsnprintf(text, sizeof(text), format, args) < 0) text[0] = '\0';
  char suffix[32];
  snprintf(suffix, sizeof(suffix), " (status=%d)", status);
  std::string message(text);
  message += suffix;
  return message;
}

}  // namespace

CWIException::CWIException(KTStatus status, const char* format, ...) : _status(status) {
  if (format == nullptr) {
    _message = "NULL pointer passed to CWIException()";
    return;
  }
  va_list args;
  va_start(args, format);
  _message = FormatMessage(status, format, args);
  va_end(args);
}

CWIExceptionLimited::CWIExceptionLimited(KTStatus status, const char* refKey,
                                         const char* refMessage, const char* format, ...)
    : CWIException(status),
      _refKey(refKey ? refKey : ""),
      _refMessage(refMessage ? refMessage : "") {
  if (format == nullptr || refKey == nullptr) {
    _message = "NULL pointer passed to CWIExceptionLimited()";
    return;
  }
  va_list args;
  va_start(args, format);
  _message = FormatMessage(status, format, args);
  va_end(args);
}

/* Thread cancellation unwinds with an exception that has no object; binding
 * it to the reference below is how the runtime wants it caught, so the null
 * reference check of the sanitizer is switched off for this function. */
__attribute__((no_sanitize("null")))
KTStatus CatchWIException(const char* caller, const std::function<void()>& f) {
  if (caller == nullptr) caller = "CatchWIExcpetion";
  try {
    f();
    return 0;
  } catch (abi::__forced_unwind&) {
    /* Thread cancellation unwinds the stack with this; it must go on. */
    throw;
  } catch (const CWIExceptionLimited& e) {
    KTLogWriteLimited(CLog::log, e.refKey().c_str(), e.refMessage().c_str(), "%s(): %s", caller,
                      e.what());
    return e.getStatus() != 0 ? e.getStatus() : ERROR_UNKNOWN;
  } catch (const CWIException& e) {
    KTLogWrite(CLog::log, "%s(): %s", caller, e.what());
    return e.getStatus() != 0 ? e.getStatus() : ERROR_UNKNOWN;
  } catch (const std::exception& e) {
    KTLogWrite(CLog::log, "%s(): %s", caller, e.what());
    return ERROR_UNKNOWN;
  } catch (...) {
    KTLogWrite(CLog::log, "%s(): generic exception caught", caller);
    return ERROR_UNKNOWN;
  }
}
