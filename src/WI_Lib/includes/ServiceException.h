/* ServiceException.h - failures of the service controllers. */
#ifndef SERVICEEXCEPTION_H
#define SERVICEEXCEPTION_H

#include <string>

#include "Exception.h"

class CServiceException : public CException {
 public:
  CServiceException(const char* message, int errorCode) : CException(message), mErrorCode(errorCode) {}
  CServiceException(const std::string& message, int errorCode)
      : CException(message), mErrorCode(errorCode) {}
  ~CServiceException() override = default;
  int errorCode() const { return mErrorCode; }

 private:
  int mErrorCode;
};

#endif /* SERVICEEXCEPTION_H */
