/* VexoraEnv.h - where the installation lives, read from the environment.
 *
 * The one place that reads the installation's environment variables:
 * VEXORA (base), VEXORA_LOG, VEXORA_CONFIG, VEXORA_WEBROOT, VEXORA_PERL,
 * VEXORA_CARTRIDGES (directories), VEXORA_IPLIST (this host's addresses)
 * and VEXORA_IPBINDING. Static operations only, no state; every call reads
 * the environment anew. An unset variable raises CWIException (ERROR_UNKNOWN,
 * "Environment variable '<name>' not found") from every operation except
 * ipBinding(). Thread safe as long as nobody changes the environment
 * meanwhile.
 */
#ifndef VEXORAENV_H
#define VEXORAENV_H

#include <string>
#include <vector>

class CVexoraEnv {
 public:
  typedef std::vector<std::string> StringVector;

  CVexoraEnv() = delete;

  /* Installation root (VEXORA). */
  static std::string baseDir();
  /* Log directory (VEXORA_LOG). */
  static std::string logDir();
  /* Configuration directory (VEXORA_CONFIG). */
  static std::string configDir();
  /* Web root (VEXORA_WEBROOT). */
  static std::string webRootDir();
  /* Directory of the script interpreter (VEXORA_PERL). */
  static std::string perlDir();
  /* Directory of the application modules (VEXORA_CARTRIDGES). */
  static std::string cartridgesDir();

  /* VEXORA_IPLIST split at blanks, tabs and commas; no empty entries, and
   * the entries are not checked as addresses. */
  static StringVector ipList();
  /* True when VEXORA_IPBINDING is "1" or "true" in any case; false for any
   * other value and when it is not set. Never throws. */
  static bool ipBinding();

  /* The directory in the variable `name`: a value of 3 or more characters
   * loses one trailing '/' or '\\'; shorter values (such as "/") and all
   * other values are returned unchanged. */
  static std::string getEnvDir(const char* name);
};

#endif /* VEXORAENV_H */
