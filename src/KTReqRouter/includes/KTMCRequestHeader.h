/* KTMCRequestHeader.h - the header shapes of the message-center requests and the one scanner that reads them.
 *
 * Every request header starts with the code and the data length; the fields
 * after them depend on the code:
 *   2            address, pool, pid, priority    (address and pool needed)
 *   3, 4, 6, 7   address, one ignored integer    (address needed)
 *   5            address, pool, broadcast flag   (all needed; the data
 *                                                 length is read as well)
 *   20           address                         (address needed)
 *   21, 22       address, pool                   (both needed)
 * Fields are separated by white space and read as a scanf-family scan
 * would: integers as "%d", the address and the pool name as "%s", each
 * with a width one character above its limit (MC_MAX_ADDRESS_LENGTH,
 * MC_MAX_POOLNAME_LENGTH), so that a field too long fails the request
 * instead of being cut into another name. The scan stops at the first
 * field that does not read; fields not read keep their defaults ("" and 0).
 */
#ifndef KTMCREQUESTHEADER_H
#define KTMCREQUESTHEADER_H

#include "KTLog.h"
#include "KTMCRequestHandler.h"
#include "KTStatus.h"

/* The fields of a scanned header. address holds only the host once the
 * header was accepted. */
struct MCRequestHeader {
  char address[MC_MAX_ADDRESS_LENGTH + 2];
  char pool[MC_MAX_POOLNAME_LENGTH + 2];
  unsigned short port;
  int dataSize;   /* code 5 only */
  int pid;        /* code 2 only */
  int priority;   /* code 2 only */
  int broadcast;  /* code 5 only */
};

/* Reads the code and the data length that begin every header (and the
 * start-up reply of a peer) as sscanf(line, "%d %d", pCode, pLength) would,
 * and returns how many of the two it read. Unlike sscanf, an integer beyond
 * int's range does not read: "3 4294967297" would otherwise pass as a
 * length of 1 byte and "4294967298 0" as code 2. */
int MCScanCodeAndLength(const char* line, int* pCode, int* pLength);

/* Scans the header line of a request with code `code` (one of 2-7, 20-22)
 * into *pFields, checks the field lengths and splits the address with
 * ParseSocket. Returns 0 when the header holds the fields the code needs;
 * otherwise logs "<who>(): error parsing request '<header>'" and returns
 * ERROR_UNKNOWN. ERROR_INVALID_PARAMETER for null arguments or a code
 * without a header shape. */
KTStatus MCScanRequestHeader(const char* header, int code, const char* who,
                             MCRequestHeader* pFields, KTLog* pLog);

#endif /* KTMCREQUESTHEADER_H */
