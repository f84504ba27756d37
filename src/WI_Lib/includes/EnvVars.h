/* EnvVars.h - reading and writing environment variables, with exceptions.
 *
 * CEnvVars::get reports an unset variable as CWIException (ERROR_UNKNOWN,
 * "Environment variable '<name>' not found"); a variable set to the empty
 * text is returned as the empty text. CScopedEnvChange changes one variable
 * for the lifetime of an object and restores (or removes) it at the end.
 *
 * Thread safety: the process environment is not guarded; change it only
 * while no other thread reads or writes it (start-up, tests).
 */
#ifndef ENVVARS_H
#define ENVVARS_H

#include <string>

class CEnvVars {
 public:
  CEnvVars() = delete;

  /* Raises CWIException: ERROR_INVALID_PARAMETER for a null name,
   * ERROR_UNKNOWN when the variable is not set. */
  static std::string get(const char* varName);
  static std::string get(const std::string& varName);
  /* Sets or replaces the variable; raises CWIException with
   * ERROR_INVALID_PARAMETER for an empty (or null) name or one the system
   * refuses (such as a name containing '='). A null value sets the empty text. */
  static void set(const std::string& varName, const std::string& value);
  static void set(const char* varName, const char* value);
  /* Removes the variable; never fails, also when it was not set. */
  static void unset(const std::string& varName);
  static void unset(const char* varName);
};

class CScopedEnvChange {
 public:
  /* Sets name to value, or to its old value followed by value when
   * appendToValue is true; raises like CEnvVars::set. */
  CScopedEnvChange(const std::string& name, const std::string& value, bool appendToValue = false);
  /* Restores the old value, or removes a variable that did not exist. */
  ~CScopedEnvChange();

  CScopedEnvChange(const CScopedEnvChange&) = delete;
  CScopedEnvChange& operator=(const CScopedEnvChange&) = delete;

 private:
  std::string mVarName;
  std::string mOriginalValue;
  bool mVarExists;
};

#endif /* ENVVARS_H */
