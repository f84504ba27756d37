/* KTStringList.cpp - list of owned text copies on the array list, and the
 * owning class CKTStringList with its conversion and splitting helpers.
 *
 * Texts are copied with strdup on the way in and released with free when
 * they leave the list; the list itself and its slot array live in the
 * string list's private heap manager.
 */
#include "KTStringList.h"

#include <stdlib.h>
#include <string.h>

#include "KTDebug.h"
#include "WIException.h"

KTStatus KTStringListNew(KTStringList** pList) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTStringListNew( 0x%x )", KT_PTR32(pList));
  if (pList == nullptr || *pList != nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListNew(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStringList* pNew = (KTStringList*)calloc(1, sizeof(KTStringList));
  if (pNew == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListNew(): allocating memory failed");
    return ERROR_MEMORY_ALLOCATION;
  }
  KTStatus status = KTMemoryManagerSysNew(&pNew->pMemMgrSys);
  if (status != STATUS_OK) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListNew(): error creating local system-memory-manager");
    free(pNew);
    return status;
  }
  status = KTListNew(&pNew->pList, pNew->pMemMgrSys);
  if (status != STATUS_OK) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListNew(): error creating list of strings");
    pNew->pMemMgrSys->Free(&pNew->pMemMgrSys);
    free(pNew);
    return status;
  }
  *pList = pNew;
  return STATUS_OK;
}

KTStatus KTStringListFree(KTStringList** pList) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTStringListFree( 0x%x )", KT_PTR32(pList));
  if (pList == nullptr || *pList == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListFree(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStringList* pStrList = *pList;
  KTStatus status = KTStringListClear(pStrList);
  if (status != STATUS_OK) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListFree(): error clearing list");
    return status;
  }
  status = KTListFree(&pStrList->pList, pStrList->pMemMgrSys);
  if (status != STATUS_OK) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListFree(): error destroing list of strings");
    return status;
  }
  status = pStrList->pMemMgrSys->Free(&pStrList->pMemMgrSys);
  if (status != STATUS_OK) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListFree(): error destroying local system-memory-manager");
    return status;
  }
  free(pStrList);
  *pList = nullptr;
  return STATUS_OK;
}

KTStatus KTStringListClear(KTStringList* pList) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTStringListClear( 0x%x )", KT_PTR32(pList));
  if (pList == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListClear(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int size = 0;
  KTStatus status = KTListSize(pList->pList, pList->pMemMgrSys, &size);
  for (int i = size - 1; status == STATUS_OK && i >= 0; --i) {
    status = KTStringListRemoveAt(pList, i);
  }
  return status;
}

KTStatus KTStringListAdd(KTStringList* pList, const char* elem) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTStringListAdd( 0x%x, 0x%x )", KT_PTR32(pList), KT_PTR32(elem));
  if (pList == nullptr || elem == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListAdd(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char* copy = strdup(elem);
  if (copy == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListAdd(): strdup() failed");
    return ERROR_MEMORY_ALLOCATION;
  }
  const KTStatus status = KTListAdd(pList->pList, pList->pMemMgrSys, copy);
  if (status != STATUS_OK) free(copy);
  return status;
}

KTStatus KTStringListInsertAt(KTStringList* pList, const char* elem, int position) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTStringListInsertAt( 0x%x, 0x%x, %d )", KT_PTR32(pList),
              KT_PTR32(elem), position);
  if (pList == nullptr || elem == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListInsertAt(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char* copy = strdup(elem);
  if (copy == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListInsertAt: strdup() failed");
    return ERROR_MEMORY_ALLOCATION;
  }
  const KTStatus status = KTListInsertAt(pList->pList, pList->pMemMgrSys, copy, position);
  if (status != STATUS_OK) free(copy);
  return status;
}

KTStatus KTStringListSize(KTStringList* pList, int* pSize) {
  if (pList == nullptr || pSize == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListSize(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return KTListSize(pList->pList, pList->pMemMgrSys, pSize);
}

const char* KTStringListElementAt(KTStringList* pList, int position, KTStatus* status) {
  if (pList == nullptr || status == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListElementAt(): wrong arguments passed to procedure");
    if (status != nullptr) *status = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return (const char*)KTListElementAt(pList->pList, pList->pMemMgrSys, status, position);
}

KTStatus KTStringListRemoveAt(KTStringList* pList, int position) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTStringListRemoveAt( 0x%x, %d )", KT_PTR32(pList), position);
  if (pList == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListRemoveAt(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = STATUS_OK;
  char* text = (char*)KTListElementAt(pList->pList, pList->pMemMgrSys, &status, position);
  if (status != STATUS_OK) return status;
  status = KTListRemoveAt(pList->pList, pList->pMemMgrSys, position);
  /* Release the copy only once the list no longer refers to it. */
  if (status == STATUS_OK) free(text);
  return status;
}

KTStatus KTStringListVForEach(KTStringList* pList, KTListIterator iterator, va_list args) {
  if (pList == nullptr || iterator == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListForEach(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return KTListVForEach(pList->pList, pList->pMemMgrSys, iterator, args);
}

KTStatus KTStringListForEach(KTStringList* pList, KTListIterator iterator, ...) {
  va_list args;
  va_start(args, iterator);
  const KTStatus status = KTStringListVForEach(pList, iterator, args);
  va_end(args);
  return status;
}

KTStatus KTStringListVFirstThat(KTStringList* pList, KTListSearch search, int* pIndex,
                                va_list args) {
  if (pList == nullptr || search == nullptr || pIndex == nullptr) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListFirstThat(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return KTListVFirstThat(pList->pList, pList->pMemMgrSys, search, pIndex, args);
}

KTStatus KTStringListFirstThat(KTStringList* pList, KTListSearch search, int* pIndex, ...) {
  va_list args;
  va_start(args, pIndex);
  const KTStatus status = KTStringListVFirstThat(pList, search, pIndex, args);
  va_end(args);
  return status;
}

KTStatus KTStringListVNextThat(KTStringList* pList, int start, KTListSearch search, int* pIndex,
                               va_list args) {
  if (pList == nullptr || search == nullptr || pIndex == nullptr || start < 0) {
    KTDEBUG_MSG(KTDEBUG_LIST, "KTStringListNextThat(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return KTListVNextThat(pList->pList, pList->pMemMgrSys, start, search, pIndex, args);
}

KTStatus KTStringListNextThat(KTStringList* pList, int start, KTListSearch search, int* pIndex,
                              ...) {
  va_list args;
  va_start(args, pIndex);
  const KTStatus status = KTStringListVNextThat(pList, start, search, pIndex, args);
  va_end(args);
  return status;
}

/* Throws CWIException when the list cannot be created. */
CKTStringList::CKTStringList() {
  const KTStatus status = KTStringListNew(&mStringList);
  if (status != STATUS_OK) {
    throw CWIException(status, "CKTStringList::CStringList(): KTStringListNew() failed");
  }
}

/* Never fails; a list that cannot be released is left behind. */
CKTStringList::~CKTStringList() {
  if (mStringList != nullptr) KTStringListFree(&mStringList);
}

/* Throws CWIException when the size cannot be read. */
int CKTStringList::size() const {
  int count = 0;
  const KTStatus status = KTStringListSize(mStringList, &count);
  if (status != STATUS_OK) {
    throw CWIException(status, "CKTStringList::size(): KTStringListSize() failed");
  }
  return count;
}

/* Throws CWIException for a position out of range. */
const char* CKTStringList::elementAt(int position) const {
  KTStatus status = STATUS_OK;
  const char* text = KTStringListElementAt(mStringList, position, &status);
  if (status != STATUS_OK) {
    throw CWIException(status, "CKTStringList::elementAt(): KTStringListElementAt() failed");
  }
  return text;
}

/* Throws CWIException when the list cannot be read. */
CKTStringList::StringVector CKTStringList::toStringVector() const {
  StringVector result;
  const int count = size();
  result.reserve(count);
  for (int i = 0; i < count; ++i) result.emplace_back(elementAt(i));
  return result;
}

/* Throws CWIException at the first failing clear or add. */
void CKTStringList::makeStringList(const StringVector& source, KTStringList* target,
                                   bool clearTarget) {
  if (clearTarget) {
    const KTStatus status = KTStringListClear(target);
    if (status != STATUS_OK) {
      throw CWIException(status, "CKTStringList::makeStringList(): KTStringListClear() failed");
    }
  }
  for (const std::string& text : source) {
    const KTStatus status = KTStringListAdd(target, text.c_str());
    if (status != STATUS_OK) {
      throw CWIException(status, "CKTStringList::makeStringList(): KTStringListAdd() failed");
    }
  }
}

/* Never fails (beyond running out of memory). */
CKTStringList::StringVector CKTStringList::parseStringList(const std::string& source,
                                                           const std::string& delimiters) {
  StringVector tokens;
  std::string::size_type start = source.find_first_not_of(delimiters);
  while (start != std::string::npos) {
    const std::string::size_type end = source.find_first_of(delimiters, start);
    tokens.push_back(source.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = source.find_first_not_of(delimiters, end);
  }
  return tokens;
}
