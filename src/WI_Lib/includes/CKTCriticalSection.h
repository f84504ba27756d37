/* CKTCriticalSection.h - owning class of a thread-only critical section.
 *
 * The constructor creates the section and throws CWIException when it
 * cannot; the destructor frees it. Class code locks it with a scope guard:
 *   KTCriticalSectionGuard guard(mCS);   // converts to KTCriticalSection*
 * Not copyable. Thread safety as for KTCriticalSection.
 */
#ifndef CKTCRITICALSECTION_H
#define CKTCRITICALSECTION_H

#include "KTCriticalSection.h"

class CKTCriticalSection {
 public:
  /* Throws CWIException with the status of KTCriticalSectionThreadNew. */
  CKTCriticalSection();
  ~CKTCriticalSection();
  CKTCriticalSection(const CKTCriticalSection&) = delete;
  CKTCriticalSection& operator=(const CKTCriticalSection&) = delete;

  /* Locks; throws CWIException with the status of Enter on failure. */
  void enter();
  /* Unlocks; returns the status of Leave (never throws, so it is safe in
   * destructors and cleanup paths). */
  KTStatus leave();

  KTCriticalSection* getData() const { return mData; }
  operator KTCriticalSection*() const { return mData; }

 private:
  KTCriticalSection* mData = nullptr;
};

#endif /* CKTCRITICALSECTION_H */
