/* Exception.h - root of the exception family: a std::exception with a text.
 *
 * what() is defined here once and returns the message of every subclass.
 */
#ifndef EXCEPTION_H
#define EXCEPTION_H

#include <exception>
#include <string>

class CException : public std::exception {
 public:
  CException() = default;
  explicit CException(const char* message) : _message(message ? message : "") {}
  explicit CException(const std::string& message) : _message(message) {}
  ~CException() override = default;
  const char* what() const noexcept override { return _message.c_str(); }

 protected:
  std::string _message;
};

#endif /* EXCEPTION_H */
