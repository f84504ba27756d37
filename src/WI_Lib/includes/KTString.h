/* KTString.h - string helpers: formatting into a fresh allocation, in-place
 * replacement, reading unsigned numbers from a text cursor and bounded copies.
 *
 * All functions return a KTStatus and are thread-safe (they keep no state;
 * the caller owns the buffers it passes).
 */
#ifndef KTSTRING_H
#define KTSTRING_H

#include <stdarg.h>
#include <stddef.h>

#include "KTStatus.h"

/* Formats into a newly allocated string of any length (malloc family; the
 * caller releases it with free()). ppBuffer must point to null; the
 * formatted length goes to *pBytesWritten when pBytesWritten is not null.
 * `args` is not consumed (each attempt works on its own copy).
 * Returns 5 on bad arguments, 2 when out of memory, ERROR_UNKNOWN (1) when
 * vsnprintf reports an error; on every failure *ppBuffer stays null. */
KTStatus KTVFormatString(char** ppBuffer, int* pBytesWritten, const char* format, va_list args);

/* The same with variable arguments. */
KTStatus KTFormatString(char** ppBuffer, int* pBytesWritten, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/* Replaces every occurrence of pSearch in the NUL-terminated text pBuffer by
 * pReplace, in place. *pnBufferSize is the size of pBuffer in bytes.
 * Returns 0 (also when nothing was found), 5 on null arguments or an empty
 * search text, 6 (ERROR_INSUFFICIENT_BUFFER) with the required size stored in
 * *pnBufferSize when the buffer is too small (text unchanged), 2 when out of
 * memory. The size check counts overlapping occurrences ("aa" twice in
 * "aaa") while the replacement works left to right on non-overlapping ones. */
KTStatus KTStringReplace(char* pBuffer, size_t* pnBufferSize, const char* pSearch,
                         const char* pReplace);

/* Reads the next unsigned decimal number at or after *cursor into *myint and
 * moves *cursor past its digits. Everything before the first digit, signs
 * included, is skipped, so the result is never negative.
 * Returns 5 on a null cursor, *cursor or myint; ERROR_PASSED_END_OF_BUFFER (8)
 * with *cursor at the terminating NUL when no digit follows;
 * ERROR_INDEX_OUT_OF_RANGE (3) with *cursor past the digits and *myint
 * unchanged when the number does not fit into an int. */
KTStatus KTGetUIntFromString(char** cursor, int* myint);

/* Copies at most size - 1 characters of src into dst[size] and terminates it
 * (size > 0; a null src copies as empty). Safe in a signal handler. */
void KTStrCopyBounded(char* dst, size_t size, const char* src);

#endif /* KTSTRING_H */
