/* CKTThread.cpp - owning class of a KTThread.
 *
 * Failures of the C-style thread functions become CWIException with their
 * status; the destructor stops the thread with the configured time-out.
 */
#include "CKTThread.h"

#include "WIException.h"

/* Throws CWIException when the thread cannot be started. */
CKTThread::CKTThread(KTThreadProcedure pThreadProcedure, void* pParameter) {
  KTStatus status = KTThreadNew(&mThread, pThreadProcedure, pParameter);
  if (status != STATUS_OK) throw CWIException(status, "CKTThread::CKTThread(): KTThreadNew() failed");
}

CKTThread::~CKTThread() {
  if (mThread != nullptr) KTThreadFree(&mThread, mTimeOut);
}

/* Throws CWIException when the state cannot be read. */
bool CKTThread::isFinished() const {
  int finished = 0;
  KTStatus status = KTThreadIsFinished(mThread, &finished);
  if (status != STATUS_OK) throw CWIException(status, "CKTThread::isFinished(): KTThreadIsFinished() failed");
  return finished != 0;
}

/* Throws CWIException when the state cannot be read. */
bool CKTThread::hasError() const {
  int error = 0;
  KTStatus status = KTThreadHasError(mThread, &error);
  if (status != STATUS_OK) throw CWIException(status, "CKTThread::hasError(): KTThreadHasError() failed");
  return error != 0;
}

/* Never fails. */
void CKTThread::stop() {
  if (mThread != nullptr) KTThreadStop(mThread);
}
