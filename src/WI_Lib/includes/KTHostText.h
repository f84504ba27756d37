/* KTHostText.h - host-text helpers: literal-address classification, the process-wide IPv6 switch and host comparison.
 *
 * IPv6 name resolution is switched on for the whole process by the
 * environment variable VEXORA_ENABLE_IPv6, which is read on every call, so
 * a change takes effect at the next resolution. All functions are thread
 * safe as long as no thread changes the environment at the same time.
 */
#ifndef KTHOSTTEXT_H
#define KTHOSTTEXT_H

#include "KTLog.h"
#include "KTStatus.h"

/* Name of the environment variable that switches resolution to IPv6. */
#define VEXORA_ENABLE_IPV6_VAR "VEXORA_ENABLE_IPv6"

/* Returns 6 when the text contains ':', 4 when it is made only of digits
 * and dots (a quick syntactic test: "1.2.3" counts), else 0; a null or
 * empty text gives 0. */
int IsIP(const char* text);

/* Returns true when VEXORA_ENABLE_IPv6 is set, non-empty and not exactly
 * "0"; false when it is unset, empty, "0" or cannot be read. */
bool IsIPv6Enabled();

/* Returns 0 when both texts name the same host (equal literals, or a name
 * that resolves to the literal, or two names with a common address), -1
 * otherwise (also for an empty text or a failed resolution), and
 * ERROR_INVALID_PARAMETER for a null text. Two literals are compared as
 * texts without any lookup. */
KTStatus CompareHostAddr(const char* hostName1, const char* hostName2, KTLog* pLog);

#endif /* KTHOSTTEXT_H */
