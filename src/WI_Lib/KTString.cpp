/* KTString.cpp - string helpers: formatting into a fresh allocation, in-place
 * replacement and reading unsigned numbers from a text cursor.
 *
 * Formatted strings start at 8192 bytes and double until the text fits; a
 * vsnprintf error ends the attempt with ERROR_UNKNOWN instead of doubling
 * forever. Messages go to the debug trace only.
 */
#include "KTString.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "KTDebug.h"

namespace {
const size_t kInitialFormatSize = 8192;
}

KTStatus KTVFormatString(char** ppBuffer, int* pBytesWritten, const char* format, va_list args) {
  if (ppBuffer == NULL || *ppBuffer != NULL || format == NULL) {
    KTDEBUG_MSG(KTDEBUG_UTILS, "KTFormatString(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }

  size_t size = kInitialFormatSize;
  for (;;) {
    /* Not zero-filled: vsnprintf terminates the text, and nothing reads
     * beyond it; clearing 8 KB for every socket line cost more than the
     * formatting itself. */
    char* pText = static_cast<char*>(malloc(size));
    if (pText == NULL) {
      KTDEBUG_MSG(KTDEBUG_UTILS, "KTFormatString(): unable to allocate memory");
      return ERROR_MEMORY_ALLOCATION;
    }
    va_list attempt;
    va_copy(attempt, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int written = vsnprintf(pText, size - 1, format, attempt);
#pragma GCC diagnostic pop
    va_end(attempt);

    if (written < 0) {
      /* Doubling cannot help (bad wide character, result beyond INT_MAX). */
      KTDEBUG_MSG(KTDEBUG_UTILS, "KTFormatString(): unable to format the text");
      free(pText);
      return ERROR_UNKNOWN;
    }
    if (static_cast<size_t>(written) < size - 1) {
      if (pBytesWritten != NULL) *pBytesWritten = written;
      *ppBuffer = pText;
      return STATUS_OK;
    }
    KTDEBUG_MSG(KTDEBUG_UTILS,
                "KTFormatString(): increasing current buffer size (%d) to build the header line",
                (int)size);
    free(pText);
    size *= 2;
  }
}

KTStatus KTFormatString(char** ppBuffer, int* pBytesWritten, const char* format, ...) {
  va_list args;
  va_start(args, format);
  KTStatus status = KTVFormatString(ppBuffer, pBytesWritten, format, args);
  va_end(args);
  return status;
}

KTStatus KTStringReplace(char* pBuffer, size_t* pnBufferSize, const char* pSearch,
                         const char* pReplace) {
  if (pBuffer == NULL || pnBufferSize == NULL || pSearch == NULL || pReplace == NULL) {
    return ERROR_INVALID_PARAMETER;
  }
  if (*pSearch == '\0') {
    KTDEBUG_MSG(KTDEBUG_ANYLEVEL, "ReplaceString(): search string is empty");
    return ERROR_INVALID_PARAMETER;
  }

  /* Count overlapping occurrences: look again one character after the
   * start of each hit. */
  size_t count = 0;
  for (const char* p = strstr(pBuffer, pSearch); p != NULL; p = strstr(p + 1, pSearch)) {
    ++count;
  }
  if (count == 0) return STATUS_OK;

  size_t textLength = strlen(pBuffer);
  size_t searchLength = strlen(pSearch);
  size_t replaceLength = strlen(pReplace);

  /* Computed signed: a shorter replacement may make the formula drop below
   * one byte, which must not wrap around to a huge requirement. The rebuilt
   * text is never longer than the estimate, nor (for a shorter replacement)
   * than the original text. */
  long long required = (long long)textLength +
                       ((long long)replaceLength - (long long)searchLength) * (long long)count + 1;
  if (required < 1) required = 1;
  if (*pnBufferSize < (size_t)required) {
    KTDEBUG_MSG(KTDEBUG_ANYLEVEL, "ReplaceString(): buffer is too small");
    *pnBufferSize = (size_t)required;
    return ERROR_INSUFFICIENT_BUFFER;
  }

  char* pCopy = strdup(pBuffer);
  if (pCopy == NULL) {
    KTDEBUG_MSG(KTDEBUG_ANYLEVEL, "ReplaceString(): couldn't duplicate buffer");
    return ERROR_MEMORY_ALLOCATION;
  }

  /* Rebuild left to right; non-overlapping occurrences are replaced. */
  char* pOut = pBuffer;
  const char* pIn = pCopy;
  for (const char* pHit = strstr(pIn, pSearch); pHit != NULL; pHit = strstr(pIn, pSearch)) {
    size_t before = (size_t)(pHit - pIn);
    memcpy(pOut, pIn, before);
    pOut += before;
    memcpy(pOut, pReplace, replaceLength);
    pOut += replaceLength;
    pIn = pHit + searchLength;
  }
  size_t rest = strlen(pIn);
  memcpy(pOut, pIn, rest + 1);
  free(pCopy);
  return STATUS_OK;
}

KTStatus KTGetUIntFromString(char** cursor, int* myint) {
  if (cursor == NULL || *cursor == NULL || myint == NULL) return ERROR_INVALID_PARAMETER;

  char* p = *cursor;
  while (*p != '\0' && (*p < '0' || *p > '9')) ++p;
  if (*p == '\0') {
    *cursor = p;
    return ERROR_PASSED_END_OF_BUFFER;
  }

  long long value = 0;
  bool overflow = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (!overflow) {
      value = value * 10 + (*p - '0');
      if (value > INT_MAX) overflow = true;
    }
  }
  *cursor = p;
  if (overflow) return ERROR_INDEX_OUT_OF_RANGE;
  *myint = (int)value;
  return STATUS_OK;
}

void KTStrCopyBounded(char* dst, size_t size, const char* src) {
  if (src == nullptr) src = "";
  size_t length = strnlen(src, size - 1);
  memcpy(dst, src, length);
  dst[length] = '\0';
}
