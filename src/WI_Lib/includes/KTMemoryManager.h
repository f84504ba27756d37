/* KTMemoryManager.h - a table of memory operations that containers use instead of the heap.
 *
 * Containers (lists, hashes, string lists, registry lists) never call the
 * heap directly: they receive a KTMemoryManager and allocate through it, and
 * they store blocks as offsets (GetOffset/GetPtr) so the same code could run
 * on a shared-memory segment. Named blocks carry a count of users so that a
 * block can be shared under a numeric name (see the memory-manager critical
 * section in KTCriticalSection.h).
 *
 * The heap variant created by KTMemoryManagerSysNew allocates from the
 * process heap, records every block it hands out (to report leaks when the
 * manager is freed), treats offsets as addresses and names as private: a
 * named allocation always yields a new block with one user.
 *
 * Thread safety: a manager has no lock of its own. It must only be used
 * under the lock of the container that owns it (or by one thread).
 *
 * Programming errors (Realloc/Unalloc of a block the manager does not own or
 * owns twice, GetOffset of null, a null manager for GetOffset/GetPtr, a null
 * counter for the named operations) write the assertion line and end the
 * process with exit status 1.
 */
#ifndef KTMEMORYMANAGER_H
#define KTMEMORYMANAGER_H

#include <stddef.h>
#include <stdint.h>

#include "KTStatus.h"

/* A block reference that stays valid across address spaces. For the heap
 * variant it is simply the address as a number; 0 stands for "no block". */
typedef uintptr_t KTOffset;

struct KTMemoryManagerData;

typedef struct KTMemoryManager KTMemoryManager;

/* The operation table. Every operation takes the manager first; call them as
 * pMgr->Malloc(pMgr, size) and so on. */
struct KTMemoryManager {
  /* Private data of the variant; never looked at by users. */
  struct KTMemoryManagerData* pData;
  /* Allocates size bytes; null on a null manager or when out of memory. */
  void* (*Malloc)(KTMemoryManager* pManager, size_t size);
  /* Allocates count * size zero-filled bytes; null on bad arguments, overflow or no memory. */
  void* (*Calloc)(KTMemoryManager* pManager, int count, size_t size);
  /* Resizes a block of this manager (null ptr: behaves as Malloc); null on
   * failure, in which case the old block stays valid and recorded. */
  void* (*Realloc)(KTMemoryManager* pManager, void* ptr, size_t size);
  /* Frees a block of this manager; a null manager or pointer is ignored. */
  void (*Unalloc)(KTMemoryManager* pManager, void* ptr);
  /* Allocates the block named `name`; *pCounter receives its number of users
   * (always 1 for the heap variant). Null when out of memory; a null
   * pCounter ends the process after the assertion line. */
  void* (*NamedMalloc)(KTMemoryManager* pManager, int name, size_t size, int* pCounter);
  /* Zero-filled form of NamedMalloc. */
  void* (*NamedCalloc)(KTMemoryManager* pManager, int name, int count, size_t size, int* pCounter);
  /* Gives up one use of the named block; *pCounter receives the users left
   * (always 0 for the heap variant, whose caller then Unallocs the block).
   * Returns 0. */
  KTStatus (*ReleaseName)(KTMemoryManager* pManager, int name, int* pCounter);
  /* Converts a block pointer to its offset. */
  KTOffset (*GetOffset)(KTMemoryManager* pManager, void* ptr);
  /* Converts an offset back to a pointer; GetPtr(GetOffset(p)) == p. */
  void* (*GetPtr)(KTMemoryManager* pManager, KTOffset offset);
  /* Releases the manager itself (not the blocks still allocated, which are
   * only reported) and nulls *ppManager; 5 for a null argument. */
  KTStatus (*Free)(KTMemoryManager** ppManager);
  /* Copies a NUL-terminated text into a new block; null on a null manager or
   * text, or when out of memory. */
  char* (*Strdup)(KTMemoryManager* pManager, const char* text);
};

/* Creates a heap memory manager into *pManager, which must be null.
 * Returns 0, ERROR_INVALID_PARAMETER (5) for a null argument or a non-null
 * *pManager (left unchanged), ERROR_MEMORY_ALLOCATION (2) when out of memory
 * (*pManager stays null). */
KTStatus KTMemoryManagerSysNew(KTMemoryManager** pManager);

/* Number of blocks a heap manager currently holds; -1 for a null manager.
 * Meant for diagnostics and tests. */
int KTMemoryManagerSysBlockCount(KTMemoryManager* pManager);

#endif /* KTMEMORYMANAGER_H */
