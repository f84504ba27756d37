/* EnvVars.cpp - environment access through getenv/setenv/unsetenv.
 *
 * Every failure is a CWIException that names the function and the variable.
 */
#include "EnvVars.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "KTDebug.h"
#include "WIException.h"

/* Raises CWIException for a null name or an unset variable. */
std::string CEnvVars::get(const char* varName) {
  if (varName == nullptr) {
    throw CWIException(ERROR_INVALID_PARAMETER, "CEnvVars::get(): no varName supplied");
  }
  const char* value = getenv(varName);
  if (value == nullptr) {
    throw CWIException(ERROR_UNKNOWN, "Environment variable '%s' not found", varName);
  }
  return std::string(value);
}

/* Raises CWIException for an unset variable. */
std::string CEnvVars::get(const std::string& varName) { return get(varName.c_str()); }

/* Raises CWIException for an empty name or a name the system refuses. */
void CEnvVars::set(const std::string& varName, const std::string& value) {
  if (varName.empty()) {
    throw CWIException(ERROR_INVALID_PARAMETER, "CEnvVars::set(): no varName supplied");
  }
  if (setenv(varName.c_str(), value.c_str(), 1) != 0) {
    const int err = errno;
    throw CWIException(err == ENOMEM ? ERROR_MEMORY_ALLOCATION : ERROR_INVALID_PARAMETER,
                       "CEnvVars::set(): cannot set '%s': %s", varName.c_str(), strerror(err));
  }
  KTDEBUG_MSG(KTDEBUG_UTILS, "CEnvVars::set(): %s=%s", varName.c_str(), value.c_str());
}

/* Raises CWIException for a null or empty name or a name the system refuses. */
void CEnvVars::set(const char* varName, const char* value) {
  if (varName == nullptr) {
    throw CWIException(ERROR_INVALID_PARAMETER, "CEnvVars::set(): no varName supplied");
  }
  set(std::string(varName), std::string(value != nullptr ? value : ""));
}

/* Never fails; a name the system refuses cannot be set either, so there is nothing to remove. */
void CEnvVars::unset(const std::string& varName) {
  if (varName.empty()) return;
  (void)unsetenv(varName.c_str());
}

/* Never fails; a null name is ignored. */
void CEnvVars::unset(const char* varName) {
  if (varName == nullptr) return;
  unset(std::string(varName));
}

/* Raises like CEnvVars::set; nothing is changed then. */
CScopedEnvChange::CScopedEnvChange(const std::string& name, const std::string& value,
                                   bool appendToValue)
    : mVarName(name), mVarExists(false) {
  try {
    mOriginalValue = CEnvVars::get(mVarName);
    mVarExists = true;
  } catch (const CWIException&) {
    // Not set: remembered as absent, removed again at the end.
  }
  CEnvVars::set(mVarName, appendToValue ? mOriginalValue + value : value);
}

/* Never fails: a destructor must not raise, and restoring cannot fail for a
 * name that was set successfully in the constructor. */
CScopedEnvChange::~CScopedEnvChange() {
  if (mVarExists) {
    (void)setenv(mVarName.c_str(), mOriginalValue.c_str(), 1);
  } else {
    CEnvVars::unset(mVarName);
  }
}
