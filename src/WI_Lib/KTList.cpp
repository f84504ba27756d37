/* KTList.cpp - growable array of element references, kept in a memory manager.
 *
 * The record and its slot array live in the caller's KTMemoryManager; slots
 * hold element offsets (GetOffset) and the record holds the slot array's
 * offset, so nothing here depends on the address at which the memory is
 * mapped. Capacity grows by 32 slots when full and shrinks by 32 after a
 * removal that leaves more than 64 slots free. Trace only, no log.
 */
#include "KTList.h"

#include <stddef.h>
#include <string.h>

#include "KTDebug.h"

namespace {

const int kGrowStep = 32;      /* slots added when the list is full */
const int kShrinkStep = 32;    /* slots given back by one shrink */
const int kShrinkFree = 64;    /* free slots that trigger a shrink */
const int kShrinkFloor = 32;   /* shrinking never reaches this capacity */

/* The slot array, or null when the list has none. */
uint64_t* slotsOf(KTList* pList, KTMemoryManager* pMgr) {
  KT_ASSERT(NULL != pList, "KTList");
  KT_ASSERT(NULL != pMgr, "KTList");
  if (pList->dataOffset == 0) return NULL;
  return static_cast<uint64_t*>(pMgr->GetPtr(pMgr, (KTOffset)pList->dataOffset));
}

void* elementOf(KTMemoryManager* pMgr, uint64_t offset) {
  return pMgr->GetPtr(pMgr, (KTOffset)offset);
}

uint64_t offsetOf(KTMemoryManager* pMgr, void* pElement) {
  return (uint64_t)pMgr->GetOffset(pMgr, pElement);
}

/* A callback result as a status; a non-zero value that would vanish in the
 * narrowing to KTStatus becomes ERROR_UNKNOWN rather than success. */
KTStatus toStatus(long result) {
  if (result == 0) return STATUS_OK;
  if (result != (long)(KTStatus)result || (KTStatus)result == 0) return ERROR_UNKNOWN;
  return (KTStatus)result;
}

bool listFull(KTList* pList) {
  KT_ASSERT(NULL != pList, "KTList");
  return pList->numberOfElements == pList->sizeOfData;
}

/* Resizes the slot array to newSize slots, zeroing slots beyond the old
 * capacity; 2 when the manager has no memory (the list stays as it was). */
KTStatus allocateDataMemory(KTList* pList, KTMemoryManager* pMgr, int newSize) {
  KT_ASSERT(NULL != pList, "KTList");
  KT_ASSERT(NULL != pMgr, "KTList");
  KT_ASSERT(newSize > 0, "KTList");
  uint64_t* pOld = slotsOf(pList, pMgr);
  uint64_t* pNew = static_cast<uint64_t*>(
      pMgr->Realloc(pMgr, pOld, (size_t)newSize * sizeof(uint64_t)));
  if (pNew == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "allocateDataMemory(): failed to reallocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  if (newSize > pList->sizeOfData) {
    memset(pNew + pList->sizeOfData, 0, (size_t)(newSize - pList->sizeOfData) * sizeof(uint64_t));
  }
  pList->dataOffset = (uint64_t)pMgr->GetOffset(pMgr, pNew);
  pList->sizeOfData = newSize;
  return STATUS_OK;
}

/* Grows the slot array by one step; 2 when out of memory. */
KTStatus reallocateMemory(KTList* pList, KTMemoryManager* pMgr) {
  KT_ASSERT(NULL != pList, "KTList");
  return allocateDataMemory(pList, pMgr, pList->sizeOfData + kGrowStep);
}

/* Releases the slot array and empties the list. */
void clearList(KTList* pList, KTMemoryManager* pMgr) {
  uint64_t* pSlots = slotsOf(pList, pMgr);
  if (pSlots != NULL) pMgr->Unalloc(pMgr, pSlots);
  pList->numberOfElements = 0;
  pList->sizeOfData = 0;
  pList->dataOffset = 0;
}

/* Position of the first slot referring to the element, or -1. */
int findElement(KTList* pList, KTMemoryManager* pMgr, void* pElement) {
  uint64_t* pSlots = slotsOf(pList, pMgr);
  uint64_t wanted = offsetOf(pMgr, pElement);
  for (int i = 0; i < pList->numberOfElements; ++i) {
    if (pSlots[i] == wanted) return i;
  }
  return -1;
}

/* Removes the slot at a valid position and applies the shrink rule. */
void removeAt(KTList* pList, KTMemoryManager* pMgr, int position) {
  uint64_t* pSlots = slotsOf(pList, pMgr);
  int after = pList->numberOfElements - position - 1;
  if (after > 0) memmove(pSlots + position, pSlots + position + 1, (size_t)after * sizeof(uint64_t));
  pList->numberOfElements--;
  pSlots[pList->numberOfElements] = 0;

  if (pList->sizeOfData - pList->numberOfElements > kShrinkFree) {
    int newSize = pList->sizeOfData - kShrinkStep;
    if (newSize > kShrinkFloor && newSize > pList->numberOfElements) {
      KTStatus status = allocateDataMemory(pList, pMgr, newSize);
      if (status != STATUS_OK) {
        KTDEBUG_MSG(KTDEBUG_LIST, "KTListRemoveAt(): failed to reallocate memory (%d)", status);
      }
    }
  }
}

/* Shared search of first-that and next-that; *pIndex is already -1. */
void searchFrom(KTList* pList, KTMemoryManager* pMgr, int start, KTListSearch search,
                int* pIndex, va_list args) {
  for (int i = start; i < pList->numberOfElements; ++i) {
    uint64_t* pSlots = slotsOf(pList, pMgr);
    va_list callArgs;
    va_copy(callArgs, args);
    long match = search(elementOf(pMgr, pSlots[i]), callArgs);
    va_end(callArgs);
    if (match != 0) {
      *pIndex = i;
      return;
    }
  }
}

}  // namespace

KTStatus KTListNew(KTList** ppList, KTMemoryManager* pMgr) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListNew( 0x%x, 0x%x )", KT_PTR32(ppList), KT_PTR32(pMgr));
  if (ppList == NULL || *ppList != NULL || pMgr == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListNew(): invalid parameter (0x%x, 0x%x)", KT_PTR32(ppList),
                KT_PTR32(pMgr));
    return ERROR_INVALID_PARAMETER;
  }
  KTList* pList = static_cast<KTList*>(pMgr->Calloc(pMgr, 1, sizeof(KTList)));
  if (pList == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListNew(): error allocating memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  pList->key = -1;
  pList->numberOfElements = 0;
  pList->sizeOfData = 0;
  pList->dataOffset = 0;
  *ppList = pList;
  return STATUS_OK;
}

KTStatus KTListNamedNew(KTList** ppList, KTMemoryManager* pMgr, int key, int* pInstanceCounter) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListNamedNew( 0x%x, 0x%x, %d, 0x%x )", KT_PTR32(ppList),
              KT_PTR32(pMgr), key, KT_PTR32(pInstanceCounter));
  if (ppList == NULL || *ppList != NULL || pMgr == NULL || pInstanceCounter == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListNamedNew(): invalid parameter (0x%x, 0x%x, %d, 0x%x)",
                KT_PTR32(ppList), KT_PTR32(pMgr), key, KT_PTR32(pInstanceCounter));
    return ERROR_INVALID_PARAMETER;
  }
  int counter = 0;
  KTList* pList =
      static_cast<KTList*>(pMgr->NamedCalloc(pMgr, key, 1, sizeof(KTList), &counter));
  if (pList == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListNamedNew(): error allocating memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  KT_ASSERT(1 == counter || key == pList->key, "KTList");
  if (counter == 1) {
    pList->key = key;
    pList->numberOfElements = 0;
    pList->sizeOfData = 0;
    pList->dataOffset = 0;
  }
  *pInstanceCounter = counter;
  *ppList = pList;
  return STATUS_OK;
}

KTStatus KTListFree(KTList** ppList, KTMemoryManager* pMgr) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListFree( 0x%x, 0x%x )", KT_PTR32(ppList), KT_PTR32(pMgr));
  if (ppList == NULL || *ppList == NULL || pMgr == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListFree(): invalid parameter (0x%x, 0x%x)", KT_PTR32(ppList),
                KT_PTR32(pMgr));
    return ERROR_INVALID_PARAMETER;
  }
  KTList* pList = *ppList;
  if (pList->key != -1) {
    /* A named list may still be used by other processes: only the last
     * user clears and releases it. */
    int usersLeft = 0;
    pMgr->ReleaseName(pMgr, pList->key, &usersLeft);
    if (usersLeft > 0) {
      *ppList = NULL;
      return STATUS_OK;
    }
  }
  clearList(pList, pMgr);
  pMgr->Unalloc(pMgr, pList);
  *ppList = NULL;
  return STATUS_OK;
}

KTStatus KTListClear(KTList* pList, KTMemoryManager* pMgr) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListClear( 0x%x, 0x%x )", KT_PTR32(pList), KT_PTR32(pMgr));
  if (pList == NULL || pMgr == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListClear(): invalid parameter (0x%x, 0x%x)", KT_PTR32(pList),
                KT_PTR32(pMgr));
    return ERROR_INVALID_PARAMETER;
  }
  clearList(pList, pMgr);
  return STATUS_OK;
}

KTStatus KTListClearAndFreeElements(KTList* pList, KTMemoryManager* pMgr,
                                    KTListDestructor destructor, ...) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListClearAndFreeElements( 0x%x, 0x%x, 0x%x )", KT_PTR32(pList),
              KT_PTR32(pMgr), KT_PTR32((void*)destructor));
  if (pList == NULL || pMgr == NULL || destructor == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST,
                "KTListClearAndFreeElements(): wrong arguments passed to procedure (0x%x, 0x%x, 0x%x)",
                KT_PTR32(pList), KT_PTR32(pMgr), KT_PTR32((void*)destructor));
    return ERROR_INVALID_PARAMETER;
  }
  va_list args;
  va_start(args, destructor);
  KTStatus status = STATUS_OK;
  for (int i = pList->numberOfElements - 1; i >= 0; --i) {
    uint64_t* pSlots = slotsOf(pList, pMgr);
    void* pElement = elementOf(pMgr, pSlots[i]);
    va_list callArgs;
    va_copy(callArgs, args);
    status = toStatus(destructor(&pElement, callArgs));
    va_end(callArgs);
    if (status != STATUS_OK) {
      KTDEBUG_MSG(KTDEBUG_LIST, "KTListClearAndFreeElements(): failed to destroy element %d (%d)",
                  i, status);
      /* Drop the references to the elements destroyed so far. */
      pSlots = slotsOf(pList, pMgr);
      for (int j = i + 1; j < pList->numberOfElements; ++j) pSlots[j] = 0;
      pList->numberOfElements = i + 1;
      break;
    }
  }
  va_end(args);
  if (status == STATUS_OK) clearList(pList, pMgr);
  return status;
}

KTStatus KTListVForEach(KTList* pList, KTMemoryManager* pMgr, KTListIterator iterator,
                        va_list args) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListForEach( 0x%x, 0x%x, 0x%x )", KT_PTR32(pList),
              KT_PTR32(pMgr), KT_PTR32((void*)iterator));
  if (pList == NULL || pMgr == NULL || iterator == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListForEach(): wrong arguments passed to procedure (0x%x, 0x%x, 0x%x)",
                KT_PTR32(pList), KT_PTR32(pMgr), KT_PTR32((void*)iterator));
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = STATUS_OK;
  for (int i = 0; i < pList->numberOfElements && status == STATUS_OK; ++i) {
    uint64_t* pSlots = slotsOf(pList, pMgr);
    va_list callArgs;
    va_copy(callArgs, args);
    status = toStatus(iterator(elementOf(pMgr, pSlots[i]), callArgs));
    va_end(callArgs);
    if (status != STATUS_OK) {
      KTDEBUG_MSG(KTDEBUG_LIST, "KTListForEach(): iterator failed on element %d (%d)", i, status);
    }
  }
  return status;
}

KTStatus KTListForEach(KTList* pList, KTMemoryManager* pMgr, KTListIterator iterator, ...) {
  va_list args;
  va_start(args, iterator);
  KTStatus status = KTListVForEach(pList, pMgr, iterator, args);
  va_end(args);
  return status;
}

KTStatus KTListVNextThat(KTList* pList, KTMemoryManager* pMgr, int start, KTListSearch search,
                         int* pIndex, va_list args) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListNextThat( 0x%x, 0x%x, %d, 0x%x, 0x%x )", KT_PTR32(pList),
              KT_PTR32(pMgr), start, KT_PTR32((void*)search), KT_PTR32(pIndex));
  if (pList == NULL || pMgr == NULL || search == NULL || pIndex == NULL || start < 0) {
    KTDEBUG_MSG(KTDEBUG_LIST,
                "KTListNextThat(): wrong arguments passed to procedure (0x%x, 0x%x, %d, 0x%x, 0x%x)",
                KT_PTR32(pList), KT_PTR32(pMgr), start, KT_PTR32((void*)search), KT_PTR32(pIndex));
    return ERROR_INVALID_PARAMETER;
  }
  *pIndex = -1;
  searchFrom(pList, pMgr, start, search, pIndex, args);
  return STATUS_OK;
}

KTStatus KTListNextThat(KTList* pList, KTMemoryManager* pMgr, int start, KTListSearch search,
                        int* pIndex, ...) {
  va_list args;
  va_start(args, pIndex);
  KTStatus status = KTListVNextThat(pList, pMgr, start, search, pIndex, args);
  va_end(args);
  return status;
}

KTStatus KTListVFirstThat(KTList* pList, KTMemoryManager* pMgr, KTListSearch search, int* pIndex,
                          va_list args) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListFirstThat( 0x%x, 0x%x, 0x%x, 0x%x )", KT_PTR32(pList),
              KT_PTR32(pMgr), KT_PTR32((void*)search), KT_PTR32(pIndex));
  if (pList == NULL || pMgr == NULL || search == NULL || pIndex == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST,
                "KTListFirstThat(): wrong arguments passed to procedure (0x%x, 0x%x, 0x%x, 0x%x)",
                KT_PTR32(pList), KT_PTR32(pMgr), KT_PTR32((void*)search), KT_PTR32(pIndex));
    return ERROR_INVALID_PARAMETER;
  }
  *pIndex = -1;
  searchFrom(pList, pMgr, 0, search, pIndex, args);
  return STATUS_OK;
}

KTStatus KTListFirstThat(KTList* pList, KTMemoryManager* pMgr, KTListSearch search, int* pIndex,
                         ...) {
  va_list args;
  va_start(args, pIndex);
  KTStatus status = KTListVFirstThat(pList, pMgr, search, pIndex, args);
  va_end(args);
  return status;
}

KTStatus KTListSize(KTList* pList, KTMemoryManager* pMgr, int* pSize) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListSize( 0x%x, 0x%x, 0x%x )", KT_PTR32(pList), KT_PTR32(pMgr),
              KT_PTR32(pSize));
  if (pList == NULL || pMgr == NULL || pSize == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListSize(): invalid parameter (0x%x, 0x%x, 0x%x)", KT_PTR32(pList),
                KT_PTR32(pMgr), KT_PTR32(pSize));
    return ERROR_INVALID_PARAMETER;
  }
  *pSize = pList->numberOfElements;
  return STATUS_OK;
}

KTStatus KTListAdd(KTList* pList, KTMemoryManager* pMgr, void* pElement) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListAdd( 0x%x, 0x%x, 0x%x )", KT_PTR32(pList), KT_PTR32(pMgr),
              KT_PTR32(pElement));
  if (pList == NULL || pMgr == NULL || pElement == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListAdd(): invalid parameter (0x%x, 0x%x, 0x%x)", KT_PTR32(pList),
                KT_PTR32(pMgr), KT_PTR32(pElement));
    return ERROR_INVALID_PARAMETER;
  }
  if (listFull(pList)) {
    KTStatus status = reallocateMemory(pList, pMgr);
    if (status != STATUS_OK) {
      KTDEBUG_MSG(KTDEBUG_LIST, "KTListAdd(): error reallocating memory (%d)", status);
      return status;
    }
  }
  uint64_t* pSlots = slotsOf(pList, pMgr);
  pSlots[pList->numberOfElements] = offsetOf(pMgr, pElement);
  pList->numberOfElements++;
  return STATUS_OK;
}

KTStatus KTListInsertAt(KTList* pList, KTMemoryManager* pMgr, void* pElement, int position) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListInsertAt( 0x%x, 0x%x, 0x%x, %d )", KT_PTR32(pList),
              KT_PTR32(pMgr), KT_PTR32(pElement), position);
  if (pList == NULL || pMgr == NULL || pElement == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListInsertAt(): invalid parameter (0x%x, 0x%x, 0x%x, %d)",
                KT_PTR32(pList), KT_PTR32(pMgr), KT_PTR32(pElement), position);
    return ERROR_INVALID_PARAMETER;
  }
  if (position < 0 || position >= pList->numberOfElements) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListInsertAt(): index out of range (%d -- valid range is 0 .. %d)",
                position, pList->numberOfElements - 1);
    return ERROR_INDEX_OUT_OF_RANGE;
  }
  if (listFull(pList)) {
    KTStatus status = reallocateMemory(pList, pMgr);
    if (status != STATUS_OK) {
      KTDEBUG_MSG(KTDEBUG_LIST, "KTListInsertAt(): failed to reallocate data memory (%d)", status);
      return status;
    }
  }
  uint64_t* pSlots = slotsOf(pList, pMgr);
  memmove(pSlots + position + 1, pSlots + position,
          (size_t)(pList->numberOfElements - position) * sizeof(uint64_t));
  pSlots[position] = offsetOf(pMgr, pElement);
  pList->numberOfElements++;
  return STATUS_OK;
}

KTStatus KTListRemove(KTList* pList, KTMemoryManager* pMgr, void* pElement) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListRemove( 0x%x, 0x%x, 0x%x )", KT_PTR32(pList), KT_PTR32(pMgr),
              KT_PTR32(pElement));
  if (pList == NULL || pMgr == NULL || pElement == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListRemove(): invalid parameter (0x%x, 0x%x, 0x%x)",
                KT_PTR32(pList), KT_PTR32(pMgr), KT_PTR32(pElement));
    return ERROR_INVALID_PARAMETER;
  }
  int position = findElement(pList, pMgr, pElement);
  if (position < 0) return ERROR_NO_SUCH_ELEMENT;
  removeAt(pList, pMgr, position);
  return STATUS_OK;
}

KTStatus KTListFind(KTList* pList, KTMemoryManager* pMgr, void* pElement, int* pPosition) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListFind( 0x%x, 0x%x, 0x%x, 0x%x )", KT_PTR32(pList),
              KT_PTR32(pMgr), KT_PTR32(pElement), KT_PTR32(pPosition));
  if (pList == NULL || pMgr == NULL || pElement == NULL || pPosition == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListFind(): invalid parameter (0x%x, 0x%x, 0x%x, 0x%x)",
                KT_PTR32(pList), KT_PTR32(pMgr), KT_PTR32(pElement), KT_PTR32(pPosition));
    return ERROR_INVALID_PARAMETER;
  }
  int position = findElement(pList, pMgr, pElement);
  if (position < 0) return ERROR_NO_SUCH_ELEMENT;
  *pPosition = position;
  return STATUS_OK;
}

void* KTListElementAt(KTList* pList, KTMemoryManager* pMgr, KTStatus* pStatus, int position) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListElementAt( 0x%x, 0x%x, 0x%x, %d )", KT_PTR32(pList),
              KT_PTR32(pMgr), KT_PTR32(pStatus), position);
  if (pList == NULL || pMgr == NULL || pStatus == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListElementAt(): invalid parameter (0x%x, 0x%x, 0x%x, %d)",
                KT_PTR32(pList), KT_PTR32(pMgr), KT_PTR32(pStatus), position);
    if (pStatus != NULL) *pStatus = ERROR_INVALID_PARAMETER;
    return NULL;
  }
  if (position < 0 || position >= pList->numberOfElements) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListElementAt(): index out of range (%d -- valid range is 0 .. %d)",
                position, pList->numberOfElements - 1);
    *pStatus = ERROR_INDEX_OUT_OF_RANGE;
    return NULL;
  }
  *pStatus = STATUS_OK;
  return elementOf(pMgr, slotsOf(pList, pMgr)[position]);
}

KTStatus KTListRemoveAt(KTList* pList, KTMemoryManager* pMgr, int position) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTListRemoveAt( 0x%x, 0x%x, %d )", KT_PTR32(pList), KT_PTR32(pMgr),
              position);
  if (pList == NULL || pMgr == NULL) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListRemoveAt(): invalid parameter (0x%x, 0x%x, %d)",
                KT_PTR32(pList), KT_PTR32(pMgr), position);
    return ERROR_INVALID_PARAMETER;
  }
  if (position < 0 || position >= pList->numberOfElements) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTListRemoveAt(): index out of range (%d -- valid range is 0 .. %d)",
                position, pList->numberOfElements - 1);
    return ERROR_INDEX_OUT_OF_RANGE;
  }
  removeAt(pList, pMgr, position);
  return STATUS_OK;
}
