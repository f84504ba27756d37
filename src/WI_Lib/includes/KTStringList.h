/* KTStringList.h - ordered list of owned text copies, and its owning class.
 *
 * KTStringList keeps a heap copy (strdup) of every text added to it in an
 * array list (KTList.h) that lives in the string list's own heap memory
 * manager. The list owns the copies: removing or clearing releases them.
 * ElementAt hands out the stored text itself, valid until that element is
 * removed. The C operations return a KTStatus and give
 * ERROR_INVALID_PARAMETER with a trace line for a null list or output.
 *
 * CKTStringList owns one KTStringList and reports failures as CWIException;
 * its static helpers convert between string vectors and string lists and
 * split a text at delimiter characters.
 *
 * Thread safety: none; the owner guards the list.
 */
#ifndef KTSTRINGLIST_H
#define KTSTRINGLIST_H

#include <stdarg.h>

#include <string>
#include <vector>

#include "KTList.h"
#include "KTMemoryManager.h"
#include "KTStatus.h"

typedef struct KTStringList {
  KTList* pList;                /* the string pointers, owned */
  KTMemoryManager* pMemMgrSys;  /* heap manager holding the list, owned */
} KTStringList;

/* Creates an empty list into *pList, which must be null. 5 for bad
 * arguments, 2 when out of memory; on failure *pList stays null and
 * nothing is left allocated. */
KTStatus KTStringListNew(KTStringList** pList);

/* Releases every text, the list, its manager and the record, and nulls
 * *pList. On a failing step the remaining parts (and the record) are kept
 * and the step's status is returned. 5 for bad arguments. */
KTStatus KTStringListFree(KTStringList** pList);

/* Removes and releases the texts from the last to the first; stops at the
 * first failure and returns it. 5 for bad arguments. */
KTStatus KTStringListClear(KTStringList* pList);

/* Appends a copy of elem. 5 for a null list or text, 2 when the copy or
 * the list growth fails (nothing is added then). */
KTStatus KTStringListAdd(KTStringList* pList, const char* elem);

/* Inserts a copy of elem at position (0 .. count - 1; appending is done
 * with KTStringListAdd). 3 for any other position, 5 for a null list or
 * text, 2 when out of memory (nothing is inserted then). */
KTStatus KTStringListInsertAt(KTStringList* pList, const char* elem, int position);

/* Stores the number of texts in *pSize. 5 for bad arguments. */
KTStatus KTStringListSize(KTStringList* pList, int* pSize);

/* Returns the stored text at position (not a copy) and sets *status to 0;
 * null with status 3 out of range, null with status 5 for a null list. */
const char* KTStringListElementAt(KTStringList* pList, int position, KTStatus* status);

/* Releases the text at position and removes it. 3 out of range, 5 for a
 * null list. */
KTStatus KTStringListRemoveAt(KTStringList* pList, int position);

/* Calls the iterator with every text (as the element) and the extra
 * arguments; stops at the first non-zero result and returns it. 5 for bad
 * arguments. */
KTStatus KTStringListForEach(KTStringList* pList, KTListIterator iterator, ...);
KTStatus KTStringListVForEach(KTStringList* pList, KTListIterator iterator, va_list args);

/* Sets *pIndex to the position of the first text the search accepts, or
 * -1; returns 0 either way, 5 for bad arguments. */
KTStatus KTStringListFirstThat(KTStringList* pList, KTListSearch search, int* pIndex, ...);
KTStatus KTStringListVFirstThat(KTStringList* pList, KTListSearch search, int* pIndex,
                                va_list args);

/* As first-that, from position start (which must be 0 or more, else 5). */
KTStatus KTStringListNextThat(KTStringList* pList, int start, KTListSearch search, int* pIndex,
                              ...);
KTStatus KTStringListVNextThat(KTStringList* pList, int start, KTListSearch search, int* pIndex,
                               va_list args);

/* Owning wrapper; not copyable. Methods that fail throw CWIException with
 * the failing status. */
class CKTStringList {
 public:
  typedef std::vector<std::string> StringVector;

  /* Creates an empty list; throws when that fails. */
  CKTStringList();
  ~CKTStringList();
  CKTStringList(const CKTStringList&) = delete;
  CKTStringList& operator=(const CKTStringList&) = delete;

  /* The underlying list, still owned by this object. */
  KTStringList* getList() const { return mStringList; }
  /* Number of texts. */
  int size() const;
  /* The text at position (a pointer into the list); throws out of range. */
  const char* elementAt(int position) const;
  /* Copies of the texts in list order. */
  StringVector toStringVector() const;

  /* Appends every string of source to target in order, after clearing
   * target when clearTarget is true. At the first failure it throws; the
   * strings added so far stay. */
  static void makeStringList(const StringVector& source, KTStringList* target, bool clearTarget);
  /* Splits source at every character of delimiters; runs of delimiters
   * separate like one and delimiters at either end produce nothing, so no
   * token is empty. Empty delimiters give the whole (non-empty) text. */
  static StringVector parseStringList(const std::string& source, const std::string& delimiters);

 private:
  KTStringList* mStringList = nullptr;
};

#endif /* KTSTRINGLIST_H */
