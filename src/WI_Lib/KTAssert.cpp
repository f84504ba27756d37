/* KTAssert.cpp - the failed consistency check that ends the process.
 *
 * KTAssertFailed writes the "assertation" line and exits with status 1. In
 * the debugging build the line goes to the trace (whatever its mask); when
 * the trace has no stream, or writes somewhere other than standard error,
 * the line goes to standard error as well, so a process never dies without
 * saying why. The release build has no trace and writes to standard error.
 */
#include <stdio.h>
#include <stdlib.h>

#include "KTDebug.h"

/* Does not return. */
void KTAssertFailed(const char* condition, const char* source, int line) {
  if (condition == nullptr) condition = "";
  if (source == nullptr) source = "";
#ifdef KT_DEBUG_TRACE
  KTDEBUG_MSG(KTDEBUG_ANYLEVEL, "assertation \"%s\" failed in file %s on line %d", condition,
              source, line);
  if (pKTDebug->pOutfile == stderr) exit(1);
#endif
  fprintf(stderr, "assertation \"%s\" failed in file %s on line %d\n", condition, source, line);
  fflush(stderr);
  exit(1);
}
