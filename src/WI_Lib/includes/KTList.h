/* KTList.h - growable array of element references, kept in a memory manager.
 *
 * The list never owns its elements; it stores references to them. The
 * record and its slot array come from the KTMemoryManager passed to every
 * operation, and both the slot array and the element references are kept as
 * offsets in that manager's address space (GetOffset on the way in, GetPtr
 * on the way out), so a list in shared memory works in every process that
 * maps it. Elements keep the order in which they were added or inserted.
 *
 * Capacity: grows by 32 slots (0, 32, 64, ...) before an add or insert into a
 * full list; after each remove-at, a list with more than 64 free slots
 * shrinks by 32 as long as the new capacity stays above 32 and above the
 * element count. Slots beyond the element count are zero after growth.
 *
 * Every operation returns a KTStatus (except KTListElementAt, which returns
 * the element), takes the list (or the address of the list pointer) first
 * and the memory manager second, and returns ERROR_INVALID_PARAMETER (5) with
 * a trace line for a null list, manager, element, callback or output
 * pointer. The module writes only to the debug trace, never to a log.
 *
 * Thread safety: none. The owner of a list guards every call with its own
 * critical section; the same goes for the memory manager.
 */
#ifndef KTLIST_H
#define KTLIST_H

#include <stdarg.h>
#include <stdint.h>

#include "KTMemoryManager.h"
#include "KTStatus.h"

typedef struct KTList {
  int key;              /* name key of a named list; -1 for an unnamed list */
  int numberOfElements; /* number of elements */
  int sizeOfData;       /* capacity of the slot array, in slots */
  uint64_t dataOffset;  /* offset of the slot array in the manager; 0 when none */
} KTList;

/* Callbacks. Each receives the extra arguments of the list operation as a
 * va_list; every single call gets its own fresh copy, so a callback may
 * consume the arguments with va_arg freely (and must not va_end them).
 * A for-each re-reads the count before each call, so an iterator that
 * adds or removes elements never reads past the end; it may however skip
 * or revisit elements, so changing the list from a callback is best avoided.
 * The slot array may move when the list grows: never keep slot addresses. */

/* Iterator of KTListForEach: 0 continues; any other value stops the walk and
 * is returned by the for-each (a value that does not fit into a KTStatus is
 * returned as ERROR_UNKNOWN, never as success). */
typedef long (*KTListIterator)(void* element, va_list args);

/* Predicate of the first-that / next-that searches: non-zero when the
 * element matches. */
typedef long (*KTListSearch)(void* element, va_list args);

/* Destructor of KTListClearAndFreeElements: receives the address of the
 * element pointer (so it can null it); 0 means destroyed, any other value
 * stops the clearing and is returned. */
typedef long (*KTListDestructor)(void** ppElement, va_list args);

/* Creates an empty unnamed list (key -1, capacity 0) with the manager's
 * Calloc; *ppList must be null. 5 on bad arguments, 2 when out of memory. */
KTStatus KTListNew(KTList** ppList, KTMemoryManager* pMgr);

/* Gets the list stored under `key` through the manager's NamedCalloc;
 * *pInstanceCounter receives the number of users of the named block. The
 * first user initialises an empty list with that key; a later user gets the
 * existing list, which must carry the same key (else the process ends after
 * an assertion line). 5 on bad arguments, 2 when out of memory. */
KTStatus KTListNamedNew(KTList** ppList, KTMemoryManager* pMgr, int key, int* pInstanceCounter);

/* Clears the list, releases its slot array and record and sets *ppList to
 * null; the elements are not released. A named list gives up its use of the
 * named block first (ReleaseName) and is cleared and released only when no
 * user is left, which with the heap manager is always the case.
 * 5 on bad arguments. */
KTStatus KTListFree(KTList** ppList, KTMemoryManager* pMgr);

/* Removes every element reference and releases the slot array (count and
 * capacity 0). 5 on bad arguments. */
KTStatus KTListClear(KTList* pList, KTMemoryManager* pMgr);

/* Calls the destructor on every element from the last to the first, then
 * clears the list. At the first failing destructor the walk stops and its
 * status is returned with the list not cleared: it keeps the failed element
 * and those before it, while the references to the elements already
 * destroyed are dropped (so a retry never destroys one twice).
 * 5 on bad arguments. */
KTStatus KTListClearAndFreeElements(KTList* pList, KTMemoryManager* pMgr,
                                    KTListDestructor destructor, ...);

/* Calls the iterator on positions 0, 1, ... while the position is below the
 * current count (re-read before each call) and the last result was 0.
 * Returns 0, the first non-zero iterator result, or 5 on bad arguments. */
KTStatus KTListForEach(KTList* pList, KTMemoryManager* pMgr, KTListIterator iterator, ...);
KTStatus KTListVForEach(KTList* pList, KTMemoryManager* pMgr, KTListIterator iterator,
                        va_list args);

/* Sets *pIndex to the first position whose element the search accepts, or
 * -1 when none does. Returns 0 whether or not something was found, 5 on bad
 * arguments. */
KTStatus KTListFirstThat(KTList* pList, KTMemoryManager* pMgr, KTListSearch search,
                         int* pIndex, ...);
KTStatus KTListVFirstThat(KTList* pList, KTMemoryManager* pMgr, KTListSearch search,
                          int* pIndex, va_list args);

/* As first-that, starting at position `start` (0 or more; a start at or
 * beyond the end finds nothing). A negative start gives 5. */
KTStatus KTListNextThat(KTList* pList, KTMemoryManager* pMgr, int start, KTListSearch search,
                        int* pIndex, ...);
KTStatus KTListVNextThat(KTList* pList, KTMemoryManager* pMgr, int start, KTListSearch search,
                         int* pIndex, va_list args);

/* Stores the number of elements in *pSize. 5 on bad arguments. */
KTStatus KTListSize(KTList* pList, KTMemoryManager* pMgr, int* pSize);

/* Appends the element (growing first when full). 5 on bad arguments,
 * 2 when the slot array cannot grow (list unchanged). */
KTStatus KTListAdd(KTList* pList, KTMemoryManager* pMgr, void* pElement);

/* Inserts the element at `position`, which must lie in 0 .. count - 1
 * (appending is done with KTListAdd); the elements from there on move up one
 * place. 3 (ERROR_INDEX_OUT_OF_RANGE) for any other position, 5 on bad
 * arguments, 2 when the slot array cannot grow (list unchanged). */
KTStatus KTListInsertAt(KTList* pList, KTMemoryManager* pMgr, void* pElement, int position);

/* Removes the first slot referring to the element (identity comparison).
 * 9 (ERROR_NO_SUCH_ELEMENT) when absent, 5 on bad arguments. */
KTStatus KTListRemove(KTList* pList, KTMemoryManager* pMgr, void* pElement);

/* Stores the position of the first slot referring to the element in
 * *pPosition. 9 when absent (*pPosition untouched), 5 on bad arguments. */
KTStatus KTListFind(KTList* pList, KTMemoryManager* pMgr, void* pElement, int* pPosition);

/* Returns the element at `position` and sets *pStatus to 0; out of range
 * gives null and status 3; bad arguments give null and status 5 (when
 * pStatus itself is null, just null). */
void* KTListElementAt(KTList* pList, KTMemoryManager* pMgr, KTStatus* pStatus, int position);

/* Removes the element at `position` (0 .. count - 1, else 3); the later
 * elements move down one place; then the shrink rule applies. A failed
 * shrink is traced and the removal still succeeds. 5 on bad arguments. */
KTStatus KTListRemoveAt(KTList* pList, KTMemoryManager* pMgr, int position);

#endif /* KTLIST_H */
