/* CKTCriticalSection.cpp - owning class of a thread-only critical section.
 *
 * Failures of the C-style section become CWIException with its status.
 */
#include "CKTCriticalSection.h"

#include "WIException.h"

/* Throws CWIException when the section cannot be created. */
CKTCriticalSection::CKTCriticalSection() {
  KTStatus status = KTCriticalSectionThreadNew(&mData);
  if (status != STATUS_OK)
    throw CWIException(status, "CKTCriticalSection::CKTCriticalSection(): KTCriticalSectionThreadNew() failed");
}

CKTCriticalSection::~CKTCriticalSection() {
  if (mData != nullptr) mData->Free(&mData);
}

/* Throws CWIException when the section cannot be entered. */
void CKTCriticalSection::enter() {
  KTStatus status = mData->Enter(mData);
  if (status != STATUS_OK) throw CWIException(status, "CKTCriticalSection::enter(): Enter() failed");
}

KTStatus CKTCriticalSection::leave() { return mData->Leave(mData); }
