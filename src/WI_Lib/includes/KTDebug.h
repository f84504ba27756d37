/* KTDebug.h - the debug trace: developer messages with a level bit.
 *
 * The trace exists only in the debugging build (KT_DEBUG_TRACE defined).
 * All code traces through the KTDEBUG_MSG / KTDEBUG_WRITE macros, which
 * compile to nothing in the release build, so the release build contains
 * neither the module nor a single trace call. The consistency check
 * KT_ASSERT exists in both builds: it writes the "assertation" line (to the
 * trace in the debugging build, to standard error in the release build) and
 * ends the process with exit status 1.
 */
#ifndef KTDEBUG_H
#define KTDEBUG_H

#include <stdio.h>
#include <stddef.h>

#include "KTStatus.h"

enum KTDebugLevel {
  KTDEBUG_NOLEVEL = 0,
  KTDEBUG_SOCKET = 2,
  KTDEBUG_REQUEST = 4,
  KTDEBUG_RESPONSE = 8,
  KTDEBUG_RROUTER = 16,
  KTDEBUG_LOG = 32,
  KTDEBUG_LIST = 64,
  KTDEBUG_HASH = 128,
  KTDEBUG_INIFILE = 256,
  KTDEBUG_UTILS = 512,
  KTDEBUG_SERVER = 1024,
  KTDEBUG_SRVMANAGER = 2048,
  KTDEBUG_WEBSERVER = 4096,
  KTDEBUG_CONFIG = 8192,
  KTDEBUG_SOCKETSEND = 16384,
  KTDEBUG_SOCKETRECV = 32768,
  KTDEBUG_PROCESSING = 65536,
  KTDEBUG_CONTROLSERVER = 131072,
  KTDEBUG_SEMAPHORE = 262144,
  KTDEBUG_CRITICALSECTION = 524288,
  KTDEBUG_CORE = 1048576,
  KTDEBUG_PAGECACHE = 2097152,
  KTDEBUG_KTSERVICE = 4194304,
  KTDEBUG_SESSION = 8388608,
  KTDEBUG_MEMORY = 16777216,
  KTDEBUG_CS_STATE = 33554432,
  KTDEBUG_ADD_LOGMSGS = 67108864,
  KTDEBUG_TRACE = 134217728,
  KTDEBUG_FILE = 268435456,
  KTDEBUG_CONDITION = 536870912,
  KTDEBUG_ANYLEVEL = 2147483647
};

/* Ends the process with exit status 1 after writing
 * "assertation \"%s\" failed in file %s on line %d". Exists in both builds. */
[[noreturn]] void KTAssertFailed(const char* condition, const char* source, int line);

/* Consistency check of the C-style library; `source` is the module name
 * printed in the assertion line (for example "KTMemoryManagerSys"). */
#define KT_ASSERT(cond, source)                         \
  do {                                                  \
    if (!(cond)) KTAssertFailed(#cond, (source), __LINE__); \
  } while (0)

#ifdef KT_DEBUG_TRACE

typedef struct KTDebug {
  FILE* pOutfile;  /* null when tracing has no output */
  int hasOpened;   /* 1 when the stream was opened here and must be closed */
  int level;       /* mask of KTDebugLevel bits */
} KTDebug;

/* The process-wide trace object used by every component. */
extern KTDebug* pKTDebug;

/* A null trace object, pointer argument or file name fails the consistency
 * check (KT_ASSERT) in every function below; the others never fail unless
 * stated. */

/* Creates a trace object (no stream, mask 0) into *ppDebug; 5 when *ppDebug
 * is already set, 2 when out of memory. */
KTStatus KTDebugNew(KTDebug** ppDebug);
/* Releases a trace object; refuses the process-wide one with 5. */
KTStatus KTDebugFree(KTDebug** ppDebug);
/* Traces to filename + "_" + pid + ".log"; a file that cannot be opened
 * silences the trace and gives ERROR_FILE_SYSTEM. */
KTStatus KTDebugSetOutputFile(KTDebug* pDebug, const char* filename);
/* Traces to the given stream without owning it; a null stream silences the trace. */
KTStatus KTDebugSetOutputFilehandle(KTDebug* pDebug, FILE* stream);
/* Sets the mask. */
KTStatus KTDebugSetLevel(KTDebug* pDebug, int mask);
/* Returns the mask. */
int KTDebugGetLevel(KTDebug* pDebug);
/* Writes one trace line when level & mask is non-zero or level is
 * KTDEBUG_ANYLEVEL; a line filtered out or without a stream is not written. */
KTStatus KTDebugMsg(KTDebug* pDebug, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
/* Writes size * count raw bytes under the same condition and flushes. */
KTStatus KTDebugWrite(KTDebug* pDebug, int level, const void* data, size_t size, size_t count);

#define KTDEBUG_MSG(level, ...) KTDebugMsg(pKTDebug, (level), __VA_ARGS__)
#define KTDEBUG_WRITE(level, data, size, count) \
  KTDebugWrite(pKTDebug, (level), (data), (size), (count))

#else /* !KT_DEBUG_TRACE */

/* Never called: lets the compiler check the format and see the arguments
 * as used, while the release build emits no trace code at all. */
static inline void KTDebugFormatCheck(const char* format, ...)
    __attribute__((format(printf, 1, 2)));
static inline void KTDebugFormatCheck(const char* format, ...) { (void)format; }

#define KTDEBUG_MSG(level, ...)                                   \
  do {                                                            \
    if (0) { (void)(level); KTDebugFormatCheck(__VA_ARGS__); }    \
  } while (0)
#define KTDEBUG_WRITE(level, data, size, count)                   \
  do {                                                            \
    if (0) { (void)(level); (void)(data); (void)(size); (void)(count); } \
  } while (0)

#endif /* KT_DEBUG_TRACE */

#endif /* KTDEBUG_H */
