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
 *
 * At the descriptor limit (EMFILE, ENFILE) the open is retried once after
 * closing the reserve descriptor that the log keeps while it has a file
 * name; the line is then written and the file closed before the reserve is
 * taken again, all inside the critical section, so that two writers never
 * share the one free slot. Lines written under the section already
 * (KTLogWriteLimited) use it without entering it a second time.
 */
#include "KTLog.h"

#include <errno.h>
#include <fcntl.h>
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

/* Writers change the reserve descriptor under the critical section only
 * (the setters and KTLogFree, which never race with writers, need none);
 * the unlocked check of an ordinary line whether it is missing reads it
 * atomically. */
int LoadReserve(const KTLog* pLog) { return __atomic_load_n(&pLog->reserveFd, __ATOMIC_RELAXED); }
void StoreReserve(KTLog* pLog, int fd) { __atomic_store_n(&pLog->reserveFd, fd, __ATOMIC_RELAXED); }

/* Takes a reserve descriptor when there is none; it stays missing when no
 * descriptor is free. It never takes the place of a closed standard stream,
 * where later output to that stream would silently vanish. */
void TakeReserve(KTLog* pLog) {
  if (LoadReserve(pLog) >= 0) return;
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && fd <= STDERR_FILENO) {
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    fd = moved;
  }
  StoreReserve(pLog, fd);
}

void ReleaseReserve(KTLog* pLog) {
  const int fd = LoadReserve(pLog);
  if (fd >= 0) close(fd);
  StoreReserve(pLog, -1);
}

bool EnterSection(KTLog* pLog) {
  KTCriticalSection* pCS = pLog->pCriticalSection;
  return pCS != nullptr && pCS->Enter(pCS) == STATUS_OK;
}

void LeaveSection(KTLog* pLog) {
  KTCriticalSection* pCS = pLog->pCriticalSection;
  pCS->Leave(pCS);
}

/* Opens the log file after a failure for want of descriptors, in the slot
 * of the reserve. On success the caller writes the line, closes the file
 * and calls FinishWithReserve; `*pEntered` tells whether the section was
 * entered here and must be left there. On failure the reserve is taken
 * again, the section left and errno is the reason of the open. */
KTStatus OpenWithReserve(KTLog* pLog, KTFile** ppFile, bool sectionHeld, bool* pEntered, int err) {
  *pEntered = false;
  if (!sectionHeld) {
    if (!EnterSection(pLog)) {
      errno = err;
      return ERROR_FILE_SYSTEM;
    }
    *pEntered = true;
  }
  if (LoadReserve(pLog) < 0) {
    /* Lost to another thread's descriptor earlier: try to take it back. */
    TakeReserve(pLog);
    if (*pEntered) LeaveSection(pLog);
    *pEntered = false;
    errno = err;
    return ERROR_FILE_SYSTEM;
  }
  ReleaseReserve(pLog);
  KTStatus status = KTFileOpen(ppFile, pLog->filename, "a");
  if (status != STATUS_OK) {
    err = errno;
    TakeReserve(pLog);
    if (*pEntered) LeaveSection(pLog);
    *pEntered = false;
    errno = err;
  }
  return status;
}

/* After a line written through the reserve: the file is closed; takes the
 * reserve again and leaves the section when OpenWithReserve entered it. */
void FinishWithReserve(KTLog* pLog, bool entered) {
  TakeReserve(pLog);
  if (entered) LeaveSection(pLog);
}

/* A reserve lost to another thread's descriptor is taken again by the next
 * line that finds a descriptor free; the unlocked check costs ordinary
 * lines nothing while the reserve is in place. */
void ReplenishReserve(KTLog* pLog, bool sectionHeld) {
  if (LoadReserve(pLog) >= 0) return;
  if (sectionHeld) {
    TakeReserve(pLog);
  } else if (EnterSection(pLog)) {
    TakeReserve(pLog);
    LeaveSection(pLog);
  }
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
  pLog->reserveFd = -1;
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

int KTLogFree(KTLog** ppLog) {
  if (ppLog == nullptr || *ppLog == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogFree(): wrong arguments passed to procedure");
    return -1;
  }
  KTLog* pLog = *ppLog;
  ReleaseReserve(pLog);
  free(pLog->host);
  free(pLog->filename);
  if (pLog->pCriticalSection != nullptr) pLog->pCriticalSection->Free(&pLog->pCriticalSection);
  free(pLog);
  *ppLog = nullptr;
  return 0;
}

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
  TakeReserve(pLog);
  return 0;
}

int KTLogSetOutputFilehandle(KTLog* pLog, KTFile* pFile) {
  if (pLog == nullptr || pFile == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogSetOutputFilehandle(): wrong arguments passed to procedure");
    return -1;
  }
  free(pLog->filename);
  pLog->filename = nullptr;
  pLog->pOutfile = pFile;
  ReleaseReserve(pLog);
  return 0;
}

int KTLogSetFallbackFilehandle(KTLog* pLog, KTFile* pFile) {
  if (pLog == nullptr || pFile == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogSetFallbackFilehandle(): wrong arguments passed to procedure");
    return -1;
  }
  pLog->pFallbackfile = pFile;
  return 0;
}

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

namespace {

/* One line, as KTLogVWrite describes; `sectionHeld` tells that the caller
 * holds the log's critical section, which the reserve path then uses
 * instead of entering it. */
__attribute__((format(printf, 3, 0))) int WriteLine(KTLog* pLog, bool sectionHeld,
                                                     const char* format, va_list args) {
  char timeText[64];
  FormatNow(timeText, sizeof(timeText));

  /* Choose the target. */
  KTFile* pTarget = nullptr;
  KTFile* pOpened = nullptr;
  bool throughReserve = false;
  bool entered = false;
  if (pLog->pOutfile != nullptr) {
    pTarget = pLog->pOutfile;
  } else if (pLog->filename != nullptr) {
    KTStatus opened = KTFileOpen(&pOpened, pLog->filename, "a");
    int err = errno;
    if (opened != STATUS_OK && (err == EMFILE || err == ENFILE)) {
      opened = OpenWithReserve(pLog, &pOpened, sectionHeld, &entered, err);
      err = errno;
      throughReserve = opened == STATUS_OK;
    } else if (opened == STATUS_OK) {
      ReplenishReserve(pLog, sectionHeld);
    }
    if (opened == STATUS_OK) {
      int fd = -1;
      KTFileFileno(pOpened, &fd);
      fchmod(fd, 0660);
      pTarget = pOpened;
    } else {
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
  if (throughReserve) FinishWithReserve(pLog, entered);
  return 0;
}


/* A line written while the critical section is held. */
__attribute__((format(printf, 2, 3))) void WriteHeld(KTLog* pLog, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(pLog, true, format, args);
  va_end(args);
}

}  // namespace

int KTLogVWrite(KTLog* pLog, const char* format, va_list args) {
  if (pLog == nullptr) return 0;
  if (format == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogVWrite(): wrong arguments passed to procedure");
    KTLogWrite(pLog, "KTLogVWrite(): wrong arguments passed to procedure");
    return -1;
  }
  return WriteLine(pLog, false, format, args);
}

int KTLogWriteLimited(KTLog* pLog, const char* refKey, const char* refMessage, const char* format,
                      ...) {
  if (pLog == nullptr) return 0;
  KTCriticalSection* pCS = pLog->pCriticalSection;
  if (pCS == nullptr || pCS->Enter(pCS) != STATUS_OK) {
    KTLogWrite(pLog, "KTLogWriteLimited(): cannot enter critical section");
    return -1;
  }
  if (format == nullptr) {
    WriteHeld(pLog, "KTLogWriteLimited(): wrong arguments passed to procedure");
    KTDEBUG_MSG(KTDEBUG_LOG, "KTLogWriteLimited(): wrong arguments passed to procedure");
    if (pCS->Leave(pCS) != STATUS_OK) {
      WriteHeld(pLog, "KTLogWriteLimited(): cannot leave critical section");
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
      WriteHeld(pLog, "%s - repeated %d times", pLog->refMessage, pLog->repetionCounter);
    }
    pLog->repetionCounter = 0;
    va_list args;
    va_start(args, format);
    result = WriteLine(pLog, true, format, args);
    va_end(args);
    CopyRef(pLog->refKey, refKey);
    CopyRef(pLog->refMessage, refMessage);
    pLog->hasRefKey = 1;
  }
  if (pCS->Leave(pCS) != STATUS_OK) {
    /* The section may still be held: the reserve must not try to enter it. */
    WriteHeld(pLog, "KTLogWriteLimited(): cannot leave critical section");
  }
  return result;
}
