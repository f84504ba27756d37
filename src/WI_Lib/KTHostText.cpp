/* KTHostText.cpp - host-text helpers: literal classification, the IPv6 switch and host comparison.
 *
 * Comparison resolves only what is not already a literal, and compares the
 * numeric texts of the resolved entries, so a name and its addresses count
 * as the same host. Every resolved list is released before returning.
 */
#include "KTHostText.h"

#include <netdb.h>
#include <netinet/in.h>
#include <string.h>

#include <string>

#include "EnvVars.h"
#include "KTDebug.h"
#include "ResolveHostName.h"

int IsIP(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  if (strchr(text, ':') != nullptr) return 6;
  for (const char* p = text; *p != '\0'; ++p) {
    if ((*p < '0' || *p > '9') && *p != '.') return 0;
  }
  return 4;
}

bool IsIPv6Enabled() {
  try {
    const std::string value = CEnvVars::get(VEXORA_ENABLE_IPV6_VAR);
    return !value.empty() && value != "0";
  } catch (...) {
    return false;
  }
}

namespace {

/* Owns one resolver list for the duration of a comparison. */
struct ResolvedList {
  struct addrinfo* list = nullptr;
  ~ResolvedList() {
    if (list != nullptr) freeaddrinfo(list);
  }
};

/* Resolves host for TCP; false on failure (already logged by the resolver). */
bool resolveForCompare(const char* host, ResolvedList& out, KTLog* pLog) {
  struct addrinfo* chosen = nullptr;
  return ResolveHostName(host, 0, &out.list, &chosen, 0, pLog) == STATUS_OK;
}

/* True when one entry of the list has exactly the numeric text `literal`. */
bool listContains(const struct addrinfo* list, const char* literal) {
  char numeric[NI_MAXHOST];
  for (const struct addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (AddrInfoToNumericHost(entry, numeric, sizeof(numeric), nullptr) != STATUS_OK) continue;
    if (strcmp(numeric, literal) == 0) return true;
  }
  return false;
}

}  // namespace

KTStatus CompareHostAddr(const char* hostName1, const char* hostName2, KTLog* pLog) {
  if (hostName1 == nullptr) {
    KTLogWrite(pLog, "CompareHostAddr(): parameter hostName1 mustn't be NULL");
    return ERROR_INVALID_PARAMETER;
  }
  if (hostName2 == nullptr) {
    KTLogWrite(pLog, "CompareHostAddr(): parameter hostName2 mustn't be NULL");
    return ERROR_INVALID_PARAMETER;
  }
  KTDEBUG_MSG(KTDEBUG_TRACE, "CompareHostAddr( %s, %s )", hostName1, hostName2);
  if (*hostName1 == '\0' || *hostName2 == '\0') return -1;

  const bool literal1 = IsIP(hostName1) != 0;
  const bool literal2 = IsIP(hostName2) != 0;
  if (literal1 && literal2) return strcmp(hostName1, hostName2) == 0 ? 0 : -1;

  if (literal1 || literal2) {
    const char* literal = literal1 ? hostName1 : hostName2;
    const char* name = literal1 ? hostName2 : hostName1;
    ResolvedList resolved;
    if (!resolveForCompare(name, resolved, pLog)) return -1;
    return listContains(resolved.list, literal) ? 0 : -1;
  }

  ResolvedList resolved1;
  ResolvedList resolved2;
  if (!resolveForCompare(hostName1, resolved1, pLog)) return -1;
  if (!resolveForCompare(hostName2, resolved2, pLog)) return -1;
  char numeric[NI_MAXHOST];
  for (const struct addrinfo* entry = resolved1.list; entry != nullptr; entry = entry->ai_next) {
    if (AddrInfoToNumericHost(entry, numeric, sizeof(numeric), nullptr) != STATUS_OK) continue;
    if (listContains(resolved2.list, numeric)) return 0;
  }
  return -1;
}
