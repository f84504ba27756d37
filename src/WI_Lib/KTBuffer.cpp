/* KTBuffer.cpp - growable NUL-terminated text or binary buffer with formatted append.
 *
 * The storage is taken with malloc/realloc and kept zero-filled behind the
 * data, so the content is always NUL-terminated. Growth is exact for plain
 * sets and appends, and in 1024-byte steps for formatted appends. Failing
 * operations leave content and storage untouched.
 */
#include "KTBuffer.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "WIException.h"

namespace {

const size_t kMinimumStorage = 1024;   /* smallest storage of a new buffer */
const size_t kAppendfHeadroom = 512;   /* free bytes wanted before formatting */
const size_t kAppendfStep = 1024;      /* growth step of formatted appends */

/* Resizes the storage to exactly newSize bytes and zeroes the new bytes;
 * 2 when realloc fails (the old storage is kept untouched). */
KTStatus increaseBuffer(KTBuffer* pBuffer, size_t newSize) {
  char* pNew = static_cast<char*>(realloc(pBuffer->pData, newSize));
  if (pNew == NULL) return ERROR_MEMORY_ALLOCATION;
  if (newSize > pBuffer->bufferLength) {
    memset(pNew + pBuffer->bufferLength, 0, newSize - pBuffer->bufferLength);
  }
  pBuffer->pData = pNew;
  pBuffer->bufferLength = newSize;
  return STATUS_OK;
}

/* Builds a buffer with `length` bytes of initialValue; 2 when out of memory. */
KTStatus newBuffer(KTBuffer** ppBuffer, const char* initialValue, size_t length) {
  if (length == SIZE_MAX) return ERROR_MEMORY_ALLOCATION;
  size_t size = length + 1 > kMinimumStorage ? length + 1 : kMinimumStorage;
  KTBuffer* pBuffer = static_cast<KTBuffer*>(calloc(1, sizeof(KTBuffer)));
  if (pBuffer == NULL) return ERROR_MEMORY_ALLOCATION;
  pBuffer->pData = static_cast<char*>(calloc(size, 1));
  if (pBuffer->pData == NULL) {
    free(pBuffer);
    return ERROR_MEMORY_ALLOCATION;
  }
  memcpy(pBuffer->pData, initialValue, length);
  pBuffer->dataLength = length;
  pBuffer->bufferLength = size;
  *ppBuffer = pBuffer;
  return STATUS_OK;
}

/* Replaces the content by `length` bytes; 2 when out of memory. */
KTStatus setData(KTBuffer* pBuffer, const char* value, size_t length) {
  if (length == SIZE_MAX) return ERROR_MEMORY_ALLOCATION;
  if (pBuffer->bufferLength < length + 1) {
    /* The value may live inside our own storage: growing could move it. */
    if (value >= pBuffer->pData && value < pBuffer->pData + pBuffer->bufferLength) {
      return ERROR_INVALID_PARAMETER;
    }
    KTStatus status = increaseBuffer(pBuffer, length + 1);
    if (status != STATUS_OK) return status;
    memmove(pBuffer->pData, value, length);
    memset(pBuffer->pData + length, 0, pBuffer->bufferLength - length);
  } else {
    /* memmove first: the value may be a part of the current content. */
    memmove(pBuffer->pData, value, length);
    memset(pBuffer->pData + length, 0, pBuffer->bufferLength - length);
  }
  pBuffer->dataLength = length;
  return STATUS_OK;
}

/* Appends `length` bytes; 2 when out of memory. */
KTStatus appendData(KTBuffer* pBuffer, const char* value, size_t length) {
  if (length >= SIZE_MAX - pBuffer->dataLength) return ERROR_MEMORY_ALLOCATION;
  size_t needed = pBuffer->dataLength + length + 1;
  if (pBuffer->bufferLength < needed) {
    /* Appending a part of the buffer to itself: remember where it sits,
     * since growing may move the storage. */
    const char* pOld = pBuffer->pData;
    bool inside = value >= pOld && value < pOld + pBuffer->bufferLength;
    size_t offset = inside ? static_cast<size_t>(value - pOld) : 0;
    KTStatus status = increaseBuffer(pBuffer, needed);
    if (status != STATUS_OK) return status;
    if (inside) value = pBuffer->pData + offset;
  }
  memmove(pBuffer->pData + pBuffer->dataLength, value, length);
  pBuffer->dataLength += length;
  return STATUS_OK;
}

}  // namespace

KTStatus KTBufferStrNew(KTBuffer** ppBuffer, const char* initialValue) {
  if (ppBuffer == NULL || *ppBuffer != NULL || initialValue == NULL) return ERROR_INVALID_PARAMETER;
  return newBuffer(ppBuffer, initialValue, strlen(initialValue));
}

KTStatus KTBufferBinNew(KTBuffer** ppBuffer, const char* initialValue, size_t length) {
  if (ppBuffer == NULL || *ppBuffer != NULL || initialValue == NULL) return ERROR_INVALID_PARAMETER;
  return newBuffer(ppBuffer, initialValue, length);
}

KTStatus KTBufferFree(KTBuffer** ppBuffer) {
  if (ppBuffer == NULL || *ppBuffer == NULL) return ERROR_INVALID_PARAMETER;
  free((*ppBuffer)->pData);
  free(*ppBuffer);
  *ppBuffer = NULL;
  return STATUS_OK;
}

char* KTBufferGet(KTBuffer* pBuffer, unsigned* pStatus) {
  if (pStatus == NULL) return NULL;
  if (pBuffer == NULL) {
    *pStatus = ERROR_INVALID_PARAMETER;
    return NULL;
  }
  *pStatus = STATUS_OK;
  return pBuffer->pData;
}

KTStatus KTBufferSize(KTBuffer* pBuffer, size_t* pLength) {
  if (pBuffer == NULL || pLength == NULL) return ERROR_INVALID_PARAMETER;
  *pLength = pBuffer->dataLength;
  return STATUS_OK;
}

KTStatus KTBufferStrSet(KTBuffer* pBuffer, const char* value) {
  if (pBuffer == NULL || value == NULL) return ERROR_INVALID_PARAMETER;
  return setData(pBuffer, value, strlen(value));
}

KTStatus KTBufferBinSet(KTBuffer* pBuffer, const char* value, size_t length) {
  if (pBuffer == NULL || value == NULL) return ERROR_INVALID_PARAMETER;
  return setData(pBuffer, value, length);
}

KTStatus KTBufferStrAppend(KTBuffer* pBuffer, const char* value) {
  if (pBuffer == NULL || value == NULL) return ERROR_INVALID_PARAMETER;
  return appendData(pBuffer, value, strlen(value));
}

KTStatus KTBufferBinAppend(KTBuffer* pBuffer, const char* value, size_t length) {
  if (pBuffer == NULL || value == NULL) return ERROR_INVALID_PARAMETER;
  return appendData(pBuffer, value, length);
}

KTStatus KTBufferStrAppendf(KTBuffer* pBuffer, const char* format, ...) {
  if (pBuffer == NULL || format == NULL) return ERROR_INVALID_PARAMETER;

  KTStatus status = STATUS_OK;
  if (pBuffer->bufferLength - pBuffer->dataLength < kAppendfHeadroom) {
    status = increaseBuffer(pBuffer, pBuffer->dataLength + kAppendfStep);
    if (status != STATUS_OK) return status;
  }

  va_list args;
  va_start(args, format);
  for (;;) {
    size_t freeBytes = pBuffer->bufferLength - pBuffer->dataLength;
    va_list attempt;
    va_copy(attempt, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int written = vsnprintf(pBuffer->pData + pBuffer->dataLength, freeBytes, format, attempt);
#pragma GCC diagnostic pop
    va_end(attempt);
    if (written < 0) {
      /* Unformattable text: nothing is appended. */
      status = ERROR_UNKNOWN;
      break;
    }
    if (static_cast<size_t>(written) + 1 < freeBytes) {
      pBuffer->dataLength += static_cast<size_t>(written);
      break;
    }
    status = increaseBuffer(pBuffer, pBuffer->bufferLength + kAppendfStep);
    if (status != STATUS_OK) break;
  }
  va_end(args);

  if (status != STATUS_OK) {
    /* A failed or truncated attempt may have written behind the data:
     * restore the zeroed tail. */
    memset(pBuffer->pData + pBuffer->dataLength, 0, pBuffer->bufferLength - pBuffer->dataLength);
  }
  return status;
}

CKTBuffer::CKTBuffer(const char* initial) {
  KTStatus status = KTBufferStrNew(&mpBuffer, initial);
  if (status != STATUS_OK) {
    throw CWIException(status, "CKTBuffer(): KTBufferStrNew() failed");
  }
}

CKTBuffer::~CKTBuffer() {
  if (mpBuffer != nullptr) KTBufferFree(&mpBuffer);
}

KTStatus CKTBuffer::init(const char* initial) noexcept {
  return KTBufferStrNew(&mpBuffer, initial);
}

CKTBuffer::operator const char*() const {
  unsigned status = STATUS_OK;
  const char* pData = KTBufferGet(mpBuffer, &status);
  if (status != STATUS_OK) {
    throw CWIException(static_cast<KTStatus>(status),
                       "CKTBuffer operator const char*: KTBufferGet() failed");
  }
  return pData;
}

std::string CKTBuffer::str() const {
  const char* pData = *this;
  return std::string(pData, mpBuffer->dataLength);
}
