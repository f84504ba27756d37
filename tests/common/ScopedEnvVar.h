// ScopedEnvVar.h - sets or removes one environment variable for a scope and
// puts the old state back afterwards (value restored, or variable removed).
#ifndef SCOPEDENVVAR_H
#define SCOPEDENVVAR_H

#include "EnvVars.h"

namespace envtest {

class ScopedEnvVar {
 public:
  // A null value removes the variable for the scope.
  ScopedEnvVar(const char* name, const char* value) : change_(name, value != nullptr ? value : "") {
    if (value == nullptr) CEnvVars::unset(name);
  }
  ScopedEnvVar(const ScopedEnvVar&) = delete;
  ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

 private:
  CScopedEnvChange change_;
};

}  // namespace envtest

#endif  // SCOPEDENVVAR_H
