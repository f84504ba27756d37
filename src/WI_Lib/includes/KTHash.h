/* KTHash.h - map from text keys to element pointers, with open addressing
 * and downward linear probing, kept in a memory manager.
 *
 * The table takes every block from the KTMemoryManager passed to each call
 * and stores offsets, not addresses, so it could live in shared memory. It
 * copies keys (the manager's Strdup) but never owns the elements. The slot
 * array has capacity + 1 slots, each 0 (empty) or the offset of a
 * KeyValuePair. Before an insertion the load is kept at or below
 * 90 %: the capacity grows to 256, then doubles, and from 65536 on grows by
 * 65536 slots at a time. Removal repairs the probe chains instead of
 * leaving deleted markers, so lookups do not slow down after removals.
 * Keys are visited in slot order, which depends on the hash and the
 * capacity, not on insertion order. A null element may be stored; it reads
 * back as null (use KTHashExists to tell it from a missing key).
 *
 * Every operation takes the table (or the address of the table pointer)
 * first and the manager second and returns ERROR_INVALID_PARAMETER (5) with
 * a trace line for a null table, manager or key.
 *
 * Thread safety: none; the owner guards the table and its manager.
 */
#ifndef KTHASH_H
#define KTHASH_H

#include <stdarg.h>
#include <stdint.h>

#include "KTMemoryManager.h"
#include "KTStatus.h"
#include "KTStringList.h"

typedef struct KeyValuePair {
  void* value;          /* element address, recomputed from valueOffset when used */
  KTOffset valueOffset; /* offset of the element; 0 for a null element */
  char* key;            /* address of the key copy, recomputed when used */
  KTOffset keyOffset;   /* offset of the key copy */
} KeyValuePair;

typedef struct KTHash {
  int key;              /* name key of a named table; -1 for an unnamed one */
  int capacity;         /* number of slots; 0 until the first insertion */
  int used;             /* number of stored pairs */
  KTOffset* pair;       /* slot array in this process, recomputed from pairOffset */
  KTOffset pairOffset;  /* offset of the slot array; 0 when there is none */
} KTHash;

/* Iterator of KTHashForEach: receives the key, the element and a fresh copy
 * of the call's extra arguments; 0 continues, anything else stops the walk
 * and is returned. It must not change the table. */
typedef long (*KTHashIterator)(const char* key, void* element, va_list args);

/* Destructor of KTHashClearAndFreeElements: receives the address of the
 * element pointer and a fresh copy of the extra arguments; its result is
 * ignored. */
typedef long (*KTHashDestructor)(void** ppElement, va_list args);

/* Creates an empty table (key -1, capacity 0) into *ppHash, which must be
 * null. 5 for bad arguments, 2 when out of memory. */
KTStatus KTHashNew(KTHash** ppHash, KTMemoryManager* pMgr);

/* Gets the table stored under `key` through the manager's NamedCalloc;
 * *pInstanceCounter receives the number of users. The first user
 * initialises an empty table with the key; a later user must find the same
 * key (else the process ends after an assertion line). 5 for bad
 * arguments, 2 when out of memory. */
KTStatus KTHashNamedNew(KTHash** ppHash, KTMemoryManager* pMgr, int key, int* pInstanceCounter);

/* Releases all pairs and key copies (not the elements), the slot array and
 * the record, and nulls *ppHash. 5 for bad arguments. */
KTStatus KTHashFree(KTHash** ppHash, KTMemoryManager* pMgr);

/* Releases every pair and key copy (not the elements); used becomes 0, the
 * capacity stays. 5 for bad arguments. */
KTStatus KTHashClear(KTHash* pHash, KTMemoryManager* pMgr);

/* For every occupied slot in slot order releases the key copy, calls the
 * destructor with the address of the element pointer (result ignored) and
 * releases the pair; then used is 0. 5 for bad arguments. */
KTStatus KTHashClearAndFreeElements(KTHash* pHash, KTMemoryManager* pMgr,
                                    KTHashDestructor destructor, ...);

/* Stores element under key, or replaces the element of an existing key
 * (the old element is not released; used stays). 5 for bad arguments, 2
 * when the table cannot grow or the pair cannot be allocated (the table is
 * unchanged then). */
KTStatus KTHashSet(KTHash* pHash, KTMemoryManager* pMgr, const char* key, void* element);

/* Removes the key; a missing key or a table without slots is not an error.
 * 5 for bad arguments. */
KTStatus KTHashRemove(KTHash* pHash, KTMemoryManager* pMgr, const char* key);

/* Returns the element of key, or null when absent, with *pStatus 0 in both
 * cases; null with *pStatus 5 for bad arguments (pStatus may be null). */
void* KTHashGet(KTHash* pHash, KTMemoryManager* pMgr, const char* key, KTStatus* pStatus);

/* Returns 1 when the key is present, else 0 (also for bad arguments). */
int KTHashExists(KTHash* pHash, KTMemoryManager* pMgr, const char* key);

/* Appends every key to pKeys in slot order; stops at the first failing
 * append and returns it. 5 for bad arguments. */
KTStatus KTHashKeys(KTHash* pHash, KTMemoryManager* pMgr, KTStringList* pKeys);

/* Calls the iterator with (key, element, extra arguments) for every
 * occupied slot in slot order; stops at the first non-zero result and
 * returns it. 5 for bad arguments. */
KTStatus KTHashForEach(KTHash* pHash, KTMemoryManager* pMgr, KTHashIterator iterator, ...);

/* The 64-bit form of the lookup2 hash over `length` bytes of key, starting
 * from initval. Exposed for tests and diagnostics. */
uint64_t KTHashFunction(const unsigned char* key, uint64_t length, uint64_t initval);

#endif /* KTHASH_H */
