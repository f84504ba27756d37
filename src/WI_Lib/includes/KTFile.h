/* KTFile.h - thin file handle over an operating-system file descriptor.
 *
 * Files are opened with a stdio-like mode text; reads and writes are
 * complete (they retry interrupted calls until every byte is transferred),
 * and formatted output and line input are offered on top. Failures are
 * written to the debug trace only (level KTDEBUG_FILE), never to the log,
 * because the log itself writes through this module. The three handles for
 * the standard streams exist from program start (they are constant
 * initialised, so static constructors may use them) and are never closed.
 *
 * Thread safety: a handle has no state but its descriptor; several threads
 * may use different handles freely. Concurrent writes to one handle are as
 * safe as the underlying write(2) calls.
 */
#ifndef KTFILE_H
#define KTFILE_H

#include <stdarg.h>
#include <stddef.h>

#include "KTStatus.h"

typedef struct KTFile {
  int fd; /* the descriptor */
} KTFile;

/* Process-wide handles for descriptors 0, 1 and 2. */
extern KTFile* const KTFileStdin;
extern KTFile* const KTFileStdout;
extern KTFile* const KTFileStderr;

/* Converts a mode text ("r", "w", "a", "r+", "w+", "a+"; any "b" among the
 * first four characters is ignored) into open(2) flags; 5 for a null, empty,
 * too long or unknown mode. */
KTStatus KTFileModeToFlag(const char* mode, int* pFlags);

/* Opens `filename` with `mode` (new files get 0666 less the umask) into a
 * new handle; *ppFile must be null. 5 on bad arguments or mode, 2 when out
 * of memory, 50007 when open fails (then *ppFile stays null and errno holds
 * the reason of the failed open). */
KTStatus KTFileOpen(KTFile** ppFile, const char* filename, const char* mode);

/* Closes the descriptor, frees the handle and nulls *ppFile; 50007 when
 * close fails (the handle is freed all the same); 5 for a null handle or one
 * of the standard handles, which are never closed. */
KTStatus KTFileClose(KTFile** ppFile);

/* Reads exactly *pLength bytes unless end of file or an error comes first;
 * *pLength is set to the bytes read. 50008 at end of file, 50007 on a read
 * error, 5 on bad arguments. */
KTStatus KTFileRead(KTFile* pFile, void* buffer, size_t* pLength);

/* Writes all *pLength bytes; *pLength is set to the bytes written. 50007 on
 * a write error, 5 on bad arguments. */
KTStatus KTFileWrite(KTFile* pFile, const void* buffer, size_t* pLength);

/* Formats printf-style and writes the text; 5 on bad arguments, the status
 * of the formatting or of KTFileWrite otherwise. */
KTStatus KTFileVPrintf(KTFile* pFile, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));
KTStatus KTFilePrintf(KTFile* pFile, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

/* Reads one line into `buffer` (zero-filled first, always NUL-terminated):
 * stops after a line feed or when length - 1 bytes are stored; carriage
 * returns and the line feed are not stored. A last line without a line feed
 * is returned with 0; the call after it (nothing left) gives 50008. 50007 on
 * a read error, 5 on bad arguments (including length 0). */
KTStatus KTFileReadline(KTFile* pFile, char* buffer, size_t length);

/* Gives the descriptor; 5 on bad arguments. */
KTStatus KTFileFileno(KTFile* pFile, int* pFd);

#endif /* KTFILE_H */
