/* KTMemoryManagerSys.cpp - heap variant of the memory manager.
 *
 * Allocates from the process heap and keeps a list of every live block with
 * its size, so that freeing the manager can report leaks. Offsets are the
 * addresses themselves; names are private (each named allocation is a new
 * block with one user). Blocks the manager did not hand out are programming
 * errors that end the process through the assertion check.
 */
#include "KTMemoryManager.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "KTDebug.h"

#define KTMM_SOURCE "KTMemoryManagerSys"

/* One live block. */
struct debugAllocation {
  void* ptr;
  size_t size;
};

struct KTMemoryManagerData {
  int blocksAllocated;                  /* number of live blocks */
  struct debugAllocation* pAllocations; /* one entry per live block */
};

/* Appends a block to the list; returns 0 or 2 when the list cannot grow. */
static KTStatus _KTMemoryManagerSysRecord(KTMemoryManagerData* pData, void* ptr, size_t size) {
  size_t newCount = (size_t)pData->blocksAllocated + 1;
  struct debugAllocation* pNew = (struct debugAllocation*)realloc(
      pData->pAllocations, newCount * sizeof(struct debugAllocation));
  if (pNew == NULL) return ERROR_MEMORY_ALLOCATION;
  pData->pAllocations = pNew;
  pData->pAllocations[pData->blocksAllocated].ptr = ptr;
  pData->pAllocations[pData->blocksAllocated].size = size;
  pData->blocksAllocated++;
  return STATUS_OK;
}

/* Index of the block in the list; ends the process when the block is not in
 * the list or is in it twice. */
static int _KTMemoryManagerSysFind(KTMemoryManagerData* pData, const void* ptr) {
  int blockFound = 0;
  int index = -1;
  int i;
  for (i = 0; i < pData->blocksAllocated; i++) {
    if (blockFound) {
      KT_ASSERT(pData->pAllocations[ i ].ptr != ptr, KTMM_SOURCE);
    } else if (pData->pAllocations[i].ptr == ptr) {
      blockFound = 1;
      index = i;
    }
  }
  KT_ASSERT(0 != blockFound, KTMM_SOURCE);
  return index;
}

/* Allocates a block and records it; returns null on failure, recording nothing. */
static void* _KTMemoryManagerSysAlloc(KTMemoryManagerData* pData, size_t size, int zero) {
  /* A zero-sized request still gets a distinct block, so that it can be
   * recorded and given back like any other. */
  size_t realSize = size ? size : 1;
  void* ptr = zero ? calloc(1, realSize) : malloc(realSize);
  if (ptr == NULL) return NULL;
  if (_KTMemoryManagerSysRecord(pData, ptr, size) != STATUS_OK) {
    free(ptr);
    return NULL;
  }
  return ptr;
}

static void* KTMemoryManagerSysMalloc(KTMemoryManager* pManager, size_t size) {
  if (pManager == NULL || pManager->pData == NULL) {
    KTDEBUG_MSG(KTDEBUG_MEMORY, "KTMemoryManagerSysMalloc(): invalid parameter");
    return NULL;
  }
  return _KTMemoryManagerSysAlloc(pManager->pData, size, 0);
}

static void* KTMemoryManagerSysCalloc(KTMemoryManager* pManager, int count, size_t size) {
  if (pManager == NULL || pManager->pData == NULL || count < 0) {
    KTDEBUG_MSG(KTDEBUG_MEMORY, "KTMemoryManagerSysCalloc(): invalid parameter");
    return NULL;
  }
  if (size != 0 && (size_t)count > SIZE_MAX / size) return NULL;
  return _KTMemoryManagerSysAlloc(pManager->pData, (size_t)count * size, 1);
}

static void* KTMemoryManagerSysRealloc(KTMemoryManager* pManager, void* ptr, size_t size) {
  if (pManager == NULL || pManager->pData == NULL) {
    KTDEBUG_MSG(KTDEBUG_MEMORY, "KTMemoryManagerSysRealloc(): invalid parameter");
    return NULL;
  }
  KTMemoryManagerData* pData = pManager->pData;
  if (ptr == NULL) return _KTMemoryManagerSysAlloc(pData, size, 0);
  int index = _KTMemoryManagerSysFind(pData, ptr);
  /* realloc(p, 0) would free the block behind the list's back. */
  void* pNew = realloc(ptr, size ? size : 1);
  if (pNew == NULL) return NULL;
  pData->pAllocations[index].ptr = pNew;
  pData->pAllocations[index].size = size;
  return pNew;
}

/* Ignores a null manager or pointer (after a debug message). */
static void KTMemoryManagerSysUnalloc(KTMemoryManager* pManager, void* ptr) {
  if (pManager == NULL || pManager->pData == NULL || ptr == NULL) {
    KTDEBUG_MSG(KTDEBUG_MEMORY, "KTMemoryManagerSysUnalloc(): invalid parameter");
    return;
  }
  KTMemoryManagerData* pData = pManager->pData;
  int index = _KTMemoryManagerSysFind(pData, ptr);
  pData->blocksAllocated--;
  pData->pAllocations[index] = pData->pAllocations[pData->blocksAllocated];
  if (pData->blocksAllocated == 0) {
    free(pData->pAllocations);
    pData->pAllocations = NULL;
  } else {
    /* Shrinking cannot really fail; if it does the larger list stays in use. */
    struct debugAllocation* pSmaller = (struct debugAllocation*)realloc(
        pData->pAllocations, (size_t)pData->blocksAllocated * sizeof(struct debugAllocation));
    if (pSmaller != NULL) pData->pAllocations = pSmaller;
  }
  free(ptr);
}

static void* KTMemoryManagerSysNamedMalloc(KTMemoryManager* pManager, int name, size_t size,
                                           int* pCounter) {
  (void)name;
  KTDEBUG_MSG(KTDEBUG_ANYLEVEL, "Warning: redundant function KTMemoryManagerSysNamedMalloc() was called");
  KT_ASSERT(NULL != pCounter, KTMM_SOURCE);
  *pCounter = 1;
  return KTMemoryManagerSysMalloc(pManager, size);
}

static void* KTMemoryManagerSysNamedCalloc(KTMemoryManager* pManager, int name, int count,
                                           size_t size, int* pCounter) {
  (void)name;
  KTDEBUG_MSG(KTDEBUG_ANYLEVEL, "Warning: redundant function KTMemoryManagerSysNamedCalloc() called");
  KT_ASSERT(NULL != pCounter, KTMM_SOURCE);
  *pCounter = 1;
  return KTMemoryManagerSysCalloc(pManager, count, size);
}

/* Always returns 0; a null counter ends the process. */
static KTStatus KTMemoryManagerSysReleaseName(KTMemoryManager* pManager, int name, int* pCounter) {
  (void)pManager;
  (void)name;
  KTDEBUG_MSG(KTDEBUG_ANYLEVEL, "Warning: redundant function KTMemoryManagerSysReleaseName() called");
  KT_ASSERT(NULL != pCounter, KTMM_SOURCE);
  *pCounter = 0;
  return STATUS_OK;
}

/* A null manager or pointer ends the process. */
static KTOffset KTMemoryManagerSysGetOffset(KTMemoryManager* pManager, void* ptr) {
  KT_ASSERT(NULL != pManager, KTMM_SOURCE);
  KT_ASSERT(NULL != ptr, KTMM_SOURCE);
  return (KTOffset)ptr;
}

/* A null manager ends the process. */
static void* KTMemoryManagerSysGetPtr(KTMemoryManager* pManager, KTOffset offset) {
  KT_ASSERT(NULL != pManager, KTMM_SOURCE);
  return (void*)offset;
}

static char* KTMemoryManagerSysStrdup(KTMemoryManager* pManager, const char* text) {
  if (pManager == NULL || pManager->pData == NULL || text == NULL) {
    KTDEBUG_MSG(KTDEBUG_MEMORY, "KTMemoryManagerSysStrdup(): invalid parameter");
    return NULL;
  }
  size_t size = strlen(text) + 1;
  char* copy = (char*)_KTMemoryManagerSysAlloc(pManager->pData, size, 0);
  if (copy != NULL) memcpy(copy, text, size);
  return copy;
}

static KTStatus KTMemoryManagerSysFree(KTMemoryManager** ppManager) {
  if (ppManager == NULL || *ppManager == NULL) {
    KTDEBUG_MSG(KTDEBUG_MEMORY, "KTMemoryManagerSysFree(): invalid parameter");
    return ERROR_INVALID_PARAMETER;
  }
  KTMemoryManager* pManager = *ppManager;
  if (pManager->pData != NULL) {
    KTDEBUG_MSG(KTDEBUG_MEMORY, "KTMemoryManagerSysFree(): %d blocks still allocated",
                pManager->pData->blocksAllocated);
    free(pManager->pData->pAllocations);
    free(pManager->pData);
  }
  free(pManager);
  *ppManager = NULL;
  return STATUS_OK;
}

KTStatus KTMemoryManagerSysNew(KTMemoryManager** pManager) {
  if (pManager == NULL || *pManager != NULL) {
    KTDEBUG_MSG(KTDEBUG_MEMORY, "KTMemoryManagerSysNew(): invalid parameter");
    return ERROR_INVALID_PARAMETER;
  }
  KTMemoryManager* pNew = (KTMemoryManager*)calloc(1, sizeof(KTMemoryManager));
  KTMemoryManagerData* pData = (KTMemoryManagerData*)calloc(1, sizeof(KTMemoryManagerData));
  if (pNew == NULL || pData == NULL) {
    KTDEBUG_MSG(KTDEBUG_MEMORY, "KTMemoryManagerSysNew(): calloc() failed");
    free(pNew);
    free(pData);
    return ERROR_MEMORY_ALLOCATION;
  }
  pNew->pData = pData;
  pNew->Malloc = KTMemoryManagerSysMalloc;
  pNew->Calloc = KTMemoryManagerSysCalloc;
  pNew->Realloc = KTMemoryManagerSysRealloc;
  pNew->Unalloc = KTMemoryManagerSysUnalloc;
  pNew->NamedMalloc = KTMemoryManagerSysNamedMalloc;
  pNew->NamedCalloc = KTMemoryManagerSysNamedCalloc;
  pNew->ReleaseName = KTMemoryManagerSysReleaseName;
  pNew->GetOffset = KTMemoryManagerSysGetOffset;
  pNew->GetPtr = KTMemoryManagerSysGetPtr;
  pNew->Free = KTMemoryManagerSysFree;
  pNew->Strdup = KTMemoryManagerSysStrdup;
  *pManager = pNew;
  return STATUS_OK;
}

int KTMemoryManagerSysBlockCount(KTMemoryManager* pManager) {
  if (pManager == NULL || pManager->pData == NULL) return -1;
  return pManager->pData->blocksAllocated;
}
