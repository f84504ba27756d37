/* KTBuffer.h - growable NUL-terminated text or binary buffer with formatted append.
 *
 * A KTBuffer holds text (always NUL-terminated) or binary data (any bytes,
 * also followed by a NUL). Invariants: dataLength < bufferLength, and every
 * byte of the storage from dataLength to its end is 0, so the content can
 * always be read as text. The storage never shrinks; a new buffer has at
 * least 1024 bytes. Plain appends grow to the exact size needed; formatted
 * appends keep at least 512 bytes of headroom and grow in 1024-byte steps.
 *
 * Every function returns ERROR_INVALID_PARAMETER (5) when the buffer or the
 * value is null (the ...New functions also when *ppBuffer is not null) and
 * ERROR_MEMORY_ALLOCATION (2) when storage cannot be obtained; a failing
 * function leaves the buffer's content and storage as they were. The
 * functions write no messages.
 *
 * Thread safety: a buffer has no lock; it belongs to one thread at a time
 * (its owner guards it).
 *
 * CKTBuffer owns one KTBuffer: class code has failures turned into
 * CWIException, C-style code gets the status.
 */
#ifndef KTBUFFER_H
#define KTBUFFER_H

#include <stddef.h>

#ifdef __cplusplus
#include <new>
#include <string>
#endif

#include "KTStatus.h"

typedef struct KTBuffer {
  char* pData;          /* the storage, owned */
  size_t dataLength;    /* bytes of data (for text: its length without the NUL) */
  size_t bufferLength;  /* size of the storage */
} KTBuffer;

/* Creates a text buffer holding a copy of initialValue; storage is
 * max(1024, strlen + 1) bytes, zero-filled. 5 on bad arguments, 2 when out of memory. */
KTStatus KTBufferStrNew(KTBuffer** ppBuffer, const char* initialValue);

/* Creates a buffer holding `length` bytes copied from initialValue (NULs
 * allowed); storage is max(1024, length + 1) bytes. 5 on bad arguments, 2 when out of memory. */
KTStatus KTBufferBinNew(KTBuffer** ppBuffer, const char* initialValue, size_t length);

/* Frees the storage and the record and sets *ppBuffer to null; 5 when
 * ppBuffer or *ppBuffer is null. */
KTStatus KTBufferFree(KTBuffer** ppBuffer);

/* Returns the content (never null for a valid buffer) and sets *pStatus to 0;
 * a null buffer gives null and status 5. A null pStatus gives null. */
char* KTBufferGet(KTBuffer* pBuffer, unsigned* pStatus);

/* Stores the number of data bytes in *pLength; 5 on null arguments. */
KTStatus KTBufferSize(KTBuffer* pBuffer, size_t* pLength);

/* Replaces the content by the text; nothing of the old content stays
 * behind the new NUL. 5 on null arguments, 2 when out of memory. */
KTStatus KTBufferStrSet(KTBuffer* pBuffer, const char* value);

/* Replaces the content by `length` bytes. 5 on null arguments, 2 when out of memory. */
KTStatus KTBufferBinSet(KTBuffer* pBuffer, const char* value, size_t length);

/* Appends the text. 5 on null arguments, 2 when out of memory. */
KTStatus KTBufferStrAppend(KTBuffer* pBuffer, const char* value);

/* Appends `length` bytes (NULs allowed). 5 on null arguments, 2 when out of memory. */
KTStatus KTBufferBinAppend(KTBuffer* pBuffer, const char* value, size_t length);

/* Appends printf-style formatted text of any length. 5 on null arguments,
 * 2 when out of memory, ERROR_UNKNOWN (1) when the text cannot be formatted
 * (vsnprintf reports an error, e.g. an unconvertible wide character or a
 * result beyond INT_MAX); the content is unchanged on every failure.
 * The arguments must not point into this buffer's own storage. */
KTStatus KTBufferStrAppendf(KTBuffer* pBuffer, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus

/* Owner of one KTBuffer, freed on destruction. Two ways to build it: the
 * throwing constructor for class code, or CKTBuffer(std::nothrow) followed by
 * init() for C-style code that passes the status on. Not copyable; not
 * thread-safe. */
class CKTBuffer {
 public:
  /* Creates the buffer with the text; throws CWIException with the status
   * and "CKTBuffer(): KTBufferStrNew() failed" on failure (also for null). */
  explicit CKTBuffer(const char* initial = "");
  /* Holds no buffer until init() succeeds. */
  explicit CKTBuffer(const std::nothrow_t&) noexcept {}
  ~CKTBuffer();

  CKTBuffer(const CKTBuffer&) = delete;
  CKTBuffer& operator=(const CKTBuffer&) = delete;

  /* Creates the buffer with the text when none is held; the status of
   * KTBufferStrNew (ERROR_INVALID_PARAMETER for a null text or when a
   * buffer is already held, which is then kept). */
  KTStatus init(const char* initial) noexcept;

  /* The owned buffer (null while none is held), for the C-style functions. */
  KTBuffer* get() const { return mpBuffer; }
  operator KTBuffer*() const { return mpBuffer; }

  /* The content; throws CWIException with the status and
   * "CKTBuffer operator const char*: KTBufferGet() failed" on failure
   * (also while no buffer is held). */
  operator const char*() const;

  /* All data bytes (NULs included); throws as operator const char*. */
  std::string str() const;

 private:
  KTBuffer* mpBuffer = nullptr;
};

#endif /* __cplusplus */

#endif /* KTBUFFER_H */
