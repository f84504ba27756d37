/* VXASRequestInfo.h - C-callable read access to a request description.
 *
 * The application-server records and the idle-server selection read a
 * CASRequestInfo through these functions without depending on the class.
 * Text accessors return a pointer into the description (valid while it lives
 * and is not changed); a null description yields "" for texts, -1 for the
 * extension limit and 0 for the attempt counts. The two limit accessors
 * return ERROR_NO_SUCH_ELEMENT when no limit is set.
 *
 * Thread safety: read-only; safe as long as nobody changes the description.
 */
#ifndef VXASREQUESTINFO_H
#define VXASREQUESTINFO_H

#include "KTStatus.h"

class CASRequestInfo;

extern "C" {

/* The client's IP address; "" for a null description. */
const char* ASRequestInfoGetClientIP(const CASRequestInfo* pInfo);
/* The site GUID; "" for a null description. */
const char* ASRequestInfoGetSiteGUID(const CASRequestInfo* pInfo);
/* The store name; "" for a null description. */
const char* ASRequestInfoGetStoreName(const CASRequestInfo* pInfo);
/* The pool name; "" for a null description. */
const char* ASRequestInfoGetPoolName(const CASRequestInfo* pInfo);
/* The request URI; "" for a null description. */
const char* ASRequestInfoGetURI(const CASRequestInfo* pInfo);
/* The HTTP host; "" for a null description. */
const char* ASRequestInfoGetHost(const CASRequestInfo* pInfo);
/* The URI's extension; "" for a null description. */
const char* ASRequestInfoGetExtension(const CASRequestInfo* pInfo);
/* The most servers the extension may occupy (negative: no limit); -1 for a null description. */
int ASRequestInfoGetExtMaxServers(const CASRequestInfo* pInfo);

/* The site limit: the site's own maximum (*pSpecial 1) when it is 0 or more,
 * else the pool's maximum per site (*pSpecial 0) when that is 0 or more.
 * Returns ERROR_NO_SUCH_ELEMENT with the outputs unchanged when neither is
 * set, ERROR_INVALID_PARAMETER for a null argument. */
KTStatus ASRequestInfoGetMaxServerPerSite(const CASRequestInfo* pInfo, int* pMaxServers,
                                          int* pSpecial);
/* The pool's maximum per client when 0 or more; ERROR_NO_SUCH_ELEMENT (output
 * unchanged) when not set, ERROR_INVALID_PARAMETER for a null argument. */
KTStatus ASRequestInfoGetMaxServerPerClient(const CASRequestInfo* pInfo, int* pMaxServers);

/* How many attempts came before this one; 0 for a null description. */
int ASRequestInfoGetTries(const CASRequestInfo* pInfo);
/* How many attempts the adapter makes at most; 0 for a null description. */
int ASRequestInfoGetMaxTries(const CASRequestInfo* pInfo);

}  // extern "C"

#endif /* VXASREQUESTINFO_H */
