/* KTLog.cpp - the operational log: one time-stamped line per message.
 *
 * A line is "<date time> (<host>) [<pid>] <message>\n", built in a fixed
 * 8192-byte stack buffer and cut at 8191 bytes. It goes to the output stream
 * when one is set, else to the named file, which is opened, appended to with
 * one write and closed for every line (so the file may be moved or removed
 * at any time), else to the fallback stream. A file that cannot be opened
 * diverts the line to the fallback, preceded by an "error opening file"
 * line. KTLogWriteLimited suppresses runs of messages with the same key and
 * reports the length of a run when the key changes.
 */
#include "KTLog.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "KTCriticalSection.h"
#include "KTDebug.h"
#include "KTFile.h"

namespace {

constexpr size_t kLineSize = 8192;   /* line buffer, the NUL included */
constexpr size_t kMaxLine = 8191;    /* longest line written, the line feed included */
constexpr size_t kRefSize = 256;     /* refKey / refMessage arrays */

/* Fills `text` with the local time; the empty text when it cannot be formatted. */
void FormatNow(char* text, size_t size) {
  text[0] = '\0';
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr || strftime(text, size, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    text[0] = '\0';
  }
}

/* Length of a snprintf result stored in a buffer of `room` bytes. */
size_t StoredLength(int result, size_t room) {
  if (result < 0 || room == 0) return 0;
  return static_cast<size_t>(result) < room ? static_cast<size_t>(result) : room - 1;
}

/* Copies at most 255 characters of `text` into a 256-byte array. */
void CopyRef(char* target, const char* text) {
  snprintf(target, kRefSize, "%s", text);
}

/* Writes "<time> (<host>) KTLogWrite(): error opening file <name> (<reason>)\n". */
void WriteOpenError(KTLog* pLog, KTFile* pTarget, const char* timeText, int err) {
  char line[kLineSize];
  int result = snprintf(line, sizeof(line), "%s (%s) KTLogWrite(): error opening file %s (%s)\n",
                        timeText, pLog->host ? pLog->host : "", pLog->filename, strerror(err));
  size_t length = StoredLength(result, sizeof(line));
  if (result >= 0 && static_cast<size_t>(result) >= sizeof(line)) line[length - 1] = '\n';
  KTFileWrite(pTarget, line, &length);
}

}  // namespace

/* Returns -1 for bad arguments, no memory or no critical section (nothing is left allocated). */
int KTLogNew(KTLog** ppLog) {
  if (ppLog == nullptr || *ppLog != nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogNew(): wrong arguments passed to procedure");
    return -1;
  }
  KTLog* pLog = static_cast<KTLog*>(calloc(1, sizeof(KTLog)));
  if (pLog == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogNew(): allocating memory failed");
    return -1;
  }
  char host[kLineSize];
  if (gethostname(host, sizeof(host) - 1) != 0) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogNew(): error detecting hostname (%s)", strerror(errno));
    host[0] = '\0';
  }
  host[sizeof(host) - 1] = '\0';
  pLog->host = strdup(host);
  if (pLog->host == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogNew(): allocating memory failed");
    free(pLog);
    return -1;
  }
  if (KTCriticalSectionThreadNew(&pLog->pCriticalSection) != STATUS_OK) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogNew(): error creating critical section");
    free(pLog->host);
    free(pLog);
    return -1;
  }
  *ppLog = pLog;
  return 0;
}

/* Returns -1 for a null log. */
int KTLogFree(KTLog** ppLog) {
  if (ppLog == nullptr || *ppLog == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogFree(): wrong arguments passed to procedure");
    return -1;
  }
  KTLog* pLog = *ppLog;
  free(pLog->host);
  free(pLog->filename);
  if (pLog->pCriticalSection != nullptr) pLog->pCriticalSection->Free(&pLog->pCriticalSection);
  free(pLog);
  *ppLog = nullptr;
  return 0;
}

/* Returns -1 for bad arguments or no memory; the previous target stays then. */
int KTLogSetOutputFile(KTLog* pLog, const char* filename) {
  if (pLog == nullptr || filename == nullptr) {
    KTLogWrite(pLog, "KTLogSetOutputFile(): wrong arguments passed to procedure");
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogSetOutputFile(): wrong arguments passed to procedure");
    return -1;
  }
  char* copy = strdup(filename);
  if (copy == nullptr) {
    KTLogWrite(pLog, "KTLogSetOutputFile(): couldn't allocate memory");
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogSetOutputFile(): couldn't allocate memory");
    return -1;
  }
  free(pLog->filename);
  pLog->filename = copy;
  pLog->pOutfile = nullptr; /* borrowed: forgotten, not closed */
  return 0;
}

/* Returns -1 for a null log or stream. */
int KTLogSetOutputFilehandle(KTLog* pLog, KTFile* pFile) {
  if (pLog == nullptr || pFile == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogSetOutputFilehandle(): wrong arguments passed to procedure");
    return -1;
  }
  free(pLog->filename);
  pLog->filename = nullptr;
  pLog->pOutfile = pFile;
  return 0;
}

/* Returns -1 for a null log or stream. */
int KTLogSetFallbackFilehandle(KTLog* pLog, KTFile* pFile) {
  if (pLog == nullptr || pFile == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogSetFallbackFilehandle(): wrong arguments passed to procedure");
    return -1;
  }
  pLog->pFallbackfile = pFile;
  return 0;
}

/* Returns -1 for a null format; a failed write is not reported (0). */
int KTLogWrite(KTLog* pLog, const char* format, ...) {
  if (pLog == nullptr) return 0;
  if (format == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogWrite(): wrong arguments passed to procedure");
    KTLogWrite(pLog, "KTLogWrite(): wrong arguments passed to procedure");
    return -1;
  }
  va_list args;
  va_start(args, format);
  int result = KTLogVWrite(pLog, format, args);
  va_end(args);
  return result;
}

/* Returns -1 for a null format; a failed write is not reported (0). */
int KTLogVWrite(KTLog* pLog, const char* format, va_list args) {
  if (pLog == nullptr) return 0;
  if (format == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogVWrite(): wrong arguments passed to procedure");
    KTLogWrite(pLog, "KTLogVWrite(): wrong arguments passed to procedure");
    return -1;
  }
  char timeText[64];
  FormatNow(timeText, sizeof(timeText));

  /* Choose the target. */
  KTFile* pTarget = nullptr;
  KTFile* pOpened = nullptr;
  if (pLog->pOutfile != nullptr) {
    pTarget = pLog->pOutfile;
  } else if (pLog->filename != nullptr) {
    if (KTFileOpen(&pOpened, pLog->filename, "a") == STATUS_OK) {
      int fd = -1;
      KTFileFileno(pOpened, &fd);
      fchmod(fd, 0660);
      pTarget = pOpened;
    } else {
      int err = errno;
      pTarget = pLog->pFallbackfile;
      if (pTarget != nullptr) WriteOpenError(pLog, pTarget, timeText, err);
    }
  } else {
    pTarget = pLog->pFallbackfile;
  }
  if (pTarget == nullptr) return 0;

  /* Build the line: prefix, message, line feed, cut at kMaxLine bytes. */
  char line[kLineSize];
  int prefix = snprintf(line, sizeof(line), "%s (%s) [%d] ", timeText,
                        pLog->host ? pLog->host : "", (int)getpid());
  size_t used = StoredLength(prefix, sizeof(line));
  int message = vsnprintf(line + used, sizeof(line) - used, format, args);
  size_t total = used + (message > 0 ? static_cast<size_t>(message) : 0);
  if (prefix > 0 && static_cast<size_t>(prefix) > used) total = kLineSize; /* prefix was cut */
  size_t length;
  if (total > kMaxLine - 1) {
    line[kMaxLine - 1] = '\n';
    length = kMaxLine;
  } else {
    line[total] = '\n';
    length = total + 1;
  }
  size_t written = length;
  KTFileWrite(pTarget, line, &written);

  /* Echo into the trace without the line feed, which the trace adds itself. */
  line[length - 1] = '\0';
  KTDEBUG_MSG(KTDEBUG_ADD_LOGMSGS, "LOG MESSAGE: %s", line);

  if (pOpened != nullptr) KTFileClose(&pOpened);
  return 0;
}

/* Returns -1 for a null format or when the critical section cannot be entered. */
int KTLogWriteLimited(KTLog* pLog, const char* refKey, const char* refMessage, const char* format,
                      ...) {
  if (pLog == nullptr) return 0;
  KTCriticalSection* pCS = pLog->pCriticalSection;
  if (pCS == nullptr || pCS->Enter(pCS) != STATUS_OK) {
    KTLogWrite(pLog, "KTLogWriteLimited(): cannot enter critical section");
    return -1;
  }
  if (format == nullptr) {
    KTLogWrite(pLog, "KTLogWriteLimited(): wrong arguments passed to procedure");
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogWriteLimited(): wrong arguments passed to procedure");
    if (pCS->Leave(pCS) != STATUS_OK) {
      KTLogWrite(pLog, "KTLogWriteLimited(): cannot leave critical section");
    }
    return -1;
  }
  if (refKey == nullptr) refKey = "";
  if (refMessage == nullptr) refMessage = "";

  int result = 0;
  pLog->repetionCounter++;
  /* Stored keys are cut to 255 characters, so only that much is compared;
   * otherwise a long key would never be recognised as a repeat. */
  if (!pLog->hasRefKey || strncmp(pLog->refKey, refKey, kRefSize - 1) != 0) {
    if (pLog->repetionCounter > 1) {
      KTLogWrite(pLog, "%s - repeated %d times", pLog->refMessage, pLog->repetionCounter);
    }
    pLog->repetionCounter = 0;
    va_list args;
    va_start(args, format);
    result = KTLogVWrite(pLog, format, args);
    va_end(args);
    CopyRef(pLog->refKey, refKey);
    CopyRef(pLog->refMessage, refMessage);
    pLog->hasRefKey = 1;
  }
  if (pCS->Leave(pCS) != STATUS_OK) {
    KTLogWrite(pLog, "KTLogWriteLimited(): cannot leave critical section");
  }
  return result;
}
