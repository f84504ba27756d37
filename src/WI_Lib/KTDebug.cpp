/* KTDebug.cpp - the debug trace: time-stamped developer lines filtered by a level mask.
 *
 * Compiled only into the debugging build. A trace object writes to one C
 * stream, either opened here (and then closed here) or handed in. A line is
 * written when the message's level bit is in the mask, or when the level is
 * KTDEBUG_ANYLEVEL. Null objects or texts are programming errors and end the
 * process through KT_ASSERT. Lines are written without a lock; lines of
 * different threads may interleave.
 */
#include "KTDebug.h"

#include <stdarg.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace {

/* The process-wide trace: a plain static record, so it is usable before any
 * constructor runs (static objects of other sources trace while starting). */
KTDebug sKTDebug = {nullptr, 0, KTDEBUG_NOLEVEL};

/* Closes the stream when this trace opened it and forgets it. */
void CloseOwnStream(KTDebug* pDebug) {
  if (pDebug->pOutfile != nullptr && pDebug->hasOpened) fclose(pDebug->pOutfile);
  pDebug->pOutfile = nullptr;
  pDebug->hasOpened = 0;
}

bool ShouldWrite(const KTDebug* pDebug, int level) {
  if (pDebug->pOutfile == nullptr) return false;
  return level == KTDEBUG_ANYLEVEL || (level & pDebug->level) != 0;
}

}  // namespace

KTDebug* pKTDebug = &sKTDebug;

KTStatus KTDebugNew(KTDebug** ppDebug) {
  KT_ASSERT(ppDebug != nullptr, "KTDebug");
  if (*ppDebug != nullptr) return ERROR_INVALID_PARAMETER;
  KTDebug* pDebug = static_cast<KTDebug*>(calloc(1, sizeof(KTDebug)));
  if (pDebug == nullptr) return ERROR_MEMORY_ALLOCATION;
  pDebug->level = KTDEBUG_NOLEVEL;
  *ppDebug = pDebug;
  return STATUS_OK;
}

KTStatus KTDebugFree(KTDebug** ppDebug) {
  KT_ASSERT(ppDebug != nullptr, "KTDebug");
  KT_ASSERT(*ppDebug != nullptr, "KTDebug");
  if (*ppDebug == pKTDebug) return ERROR_INVALID_PARAMETER;
  CloseOwnStream(*ppDebug);
  free(*ppDebug);
  *ppDebug = nullptr;
  return STATUS_OK;
}

KTStatus KTDebugSetOutputFile(KTDebug* pDebug, const char* filename) {
  KT_ASSERT(pDebug != nullptr, "KTDebug");
  KT_ASSERT(filename != nullptr, "KTDebug");
  CloseOwnStream(pDebug);
  char name[8192];
  snprintf(name, sizeof(name), "%s_%d.log", filename, (int)getpid());
  FILE* stream = fopen(name, "ae");
  if (stream == nullptr) return ERROR_FILE_SYSTEM;
  pDebug->pOutfile = stream;
  pDebug->hasOpened = 1;
  return STATUS_OK;
}

KTStatus KTDebugSetOutputFilehandle(KTDebug* pDebug, FILE* stream) {
  KT_ASSERT(pDebug != nullptr, "KTDebug");
  CloseOwnStream(pDebug);
  pDebug->pOutfile = stream;
  pDebug->hasOpened = 0;
  return STATUS_OK;
}

KTStatus KTDebugSetLevel(KTDebug* pDebug, int mask) {
  KT_ASSERT(pDebug != nullptr, "KTDebug");
  pDebug->level = mask;
  return STATUS_OK;
}

int KTDebugGetLevel(KTDebug* pDebug) {
  KT_ASSERT(pDebug != nullptr, "KTDebug");
  return pDebug->level;
}

KTStatus KTDebugMsg(KTDebug* pDebug, int level, const char* format, ...) {
  KT_ASSERT(pDebug != nullptr, "KTDebug");
  KT_ASSERT(format != nullptr, "KTDebug");
  if (!ShouldWrite(pDebug, level)) return STATUS_OK;
  FILE* out = pDebug->pOutfile;

  char timeText[64] = "";
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr ||
      strftime(timeText, sizeof(timeText), "%Y-%m-%d %H:%M:%S", &local) == 0) {
    timeText[0] = '\0';
  }
  fprintf(out, "%s ", timeText);
  fprintf(out, "[%d] ", (int)getpid());
  va_list args;
  va_start(args, format);
  vfprintf(out, format, args);
  va_end(args);
  fputs("\n", out);
  fflush(out);
  return STATUS_OK;
}

KTStatus KTDebugWrite(KTDebug* pDebug, int level, const void* data, size_t size, size_t count) {
  KT_ASSERT(pDebug != nullptr, "KTDebug");
  KT_ASSERT(data != nullptr || size * count == 0, "KTDebug");
  if (!ShouldWrite(pDebug, level)) return STATUS_OK;
  if (size * count > 0) fwrite(data, size, count, pDebug->pOutfile);
  fflush(pDebug->pOutfile);
  return STATUS_OK;
}
