/* VexoraEnv.cpp - installation directories and host settings from the
 * environment.
 *
 * Directories lose a single trailing separator so that callers can append
 * "/file" to them; nothing else is normalised (relative paths stay
 * relative). Reads go through CEnvVars, whose exception for an unset
 * variable is passed on unchanged.
 */
#include "VexoraEnv.h"

#include <strings.h>

#include "EnvVars.h"
#include "KTStringList.h"

/* Throws CWIException when the variable is not set. */
std::string CVexoraEnv::getEnvDir(const char* name) {
  std::string dir = CEnvVars::get(name);
  if (dir.size() < 3) return dir;
  const char last = dir[dir.size() - 1];
  if (last == '/' || last == '\\') dir.erase(dir.size() - 1);
  return dir;
}

/* Each of these throws CWIException when its variable is not set. */
std::string CVexoraEnv::baseDir() { return getEnvDir("VEXORA"); }
std::string CVexoraEnv::logDir() { return getEnvDir("VEXORA_LOG"); }
std::string CVexoraEnv::configDir() { return getEnvDir("VEXORA_CONFIG"); }
std::string CVexoraEnv::webRootDir() { return getEnvDir("VEXORA_WEBROOT"); }
std::string CVexoraEnv::perlDir() { return getEnvDir("VEXORA_PERL"); }
std::string CVexoraEnv::cartridgesDir() { return getEnvDir("VEXORA_CARTRIDGES"); }

/* Throws CWIException when VEXORA_IPLIST is not set. */
CVexoraEnv::StringVector CVexoraEnv::ipList() {
  return CKTStringList::parseStringList(CEnvVars::get("VEXORA_IPLIST"), " \t,");
}

/* Never throws: an unreadable variable means no binding. */
bool CVexoraEnv::ipBinding() {
  try {
    const std::string value = CEnvVars::get("VEXORA_IPBINDING");
    return value == "1" || strcasecmp(value.c_str(), "TRUE") == 0;
  } catch (...) {
    return false;
  }
}
