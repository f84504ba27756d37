/* KTLog.h - the operational log: one line per message, appended to a file
 * that is opened and closed for every line, with a fallback stream.
 *
 * While a file name is set the log holds one reserve descriptor (on
 * /dev/null, close-on-exec): when the file cannot be opened because the
 * process or the system is out of descriptors (EMFILE, ENFILE), the reserve
 * is closed for the line and taken again right after it, so lines keep
 * reaching the file at the descriptor limit.
 *
 * Line format: "%Y-%m-%d %H:%M:%S (host) [pid] message\n", cut at 8191
 * bytes. KTLogWriteLimited suppresses runs of messages with the same key.
 * Every function returns 0 on success and -1 on failure; a null log writes
 * nothing and returns 0 for the write functions.
 *
 * Thread safety: any thread may write at any time; ordinary lines take no
 * lock (each is one append write to a freshly opened file), the repeat
 * state of KTLogWriteLimited and the reserve descriptor are guarded by the
 * log's critical section (a line written through the reserve holds it). The
 * setters are meant for start-up and must not race with writers.
 */
#ifndef KTLOG_H
#define KTLOG_H

#include <stdarg.h>

#include "KTStatus.h"

struct KTFile;
struct KTCriticalSection;

typedef struct KTLog {
  char* filename;                          /* owned; null when not set */
  struct KTFile* pOutfile;                 /* borrowed stream instead of a file name */
  struct KTFile* pFallbackfile;            /* borrowed fallback stream */
  char* host;                              /* owned host name */
  struct KTCriticalSection* pCriticalSection; /* guards the repeat state */
  char refKey[256];                        /* key of the last limited message written */
  char refMessage[256];                    /* its short text */
  int repetionCounter;                     /* limited writes since the last one written */
  int hasRefKey;                           /* 1 once a limited message was written; the
                                              first key, even an empty one, is always new */
  int reserveFd;                           /* descriptor kept for the file at the descriptor
                                              limit; -1 when there is none */
} KTLog;

/* Creates a log; -1 on a bad argument, no memory or no critical section
 * (nothing is left allocated then). */
int KTLogNew(KTLog** ppLog);
/* Releases a log with its reserve descriptor and nulls the pointer; -1 for a null log. */
int KTLogFree(KTLog** ppLog);
/* Writes lines to the named file from now on and takes the reserve
 * descriptor (a log without one still writes); -1 for bad arguments or no
 * memory, the previous target staying then. */
int KTLogSetOutputFile(KTLog* pLog, const char* filename);
/* Writes lines to the stream (not owned) from now on and releases the
 * reserve descriptor; -1 for a null stream. */
int KTLogSetOutputFilehandle(KTLog* pLog, struct KTFile* pFile);
/* Sets the stream used when the file cannot be opened; -1 for a null stream. */
int KTLogSetFallbackFilehandle(KTLog* pLog, struct KTFile* pFile);
/* Writes one line; -1 for a null format, 0 otherwise (also when the write failed). */
int KTLogWrite(KTLog* pLog, const char* format, ...) __attribute__((format(printf, 2, 3)));
/* va_list form of KTLogWrite. */
int KTLogVWrite(KTLog* pLog, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
/* Writes the line unless the previous limited write had the same key (keys
 * are compared on their first 255 characters); before the first line of a
 * new key, a run of two or more calls with the previous key is reported as
 * "<refMessage> - repeated <n> times". A null key or short text counts as
 * the empty text. Returns the status of the line written, 0 when suppressed,
 * -1 for a null format or a failing critical section. */
int KTLogWriteLimited(KTLog* pLog, const char* refKey, const char* refMessage,
                      const char* format, ...) __attribute__((format(printf, 4, 5)));

#endif /* KTLOG_H */
