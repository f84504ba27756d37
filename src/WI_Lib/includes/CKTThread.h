/* CKTThread.h - owning class of a KTThread.
 *
 * The constructor starts the thread (throwing CWIException when it cannot);
 * the destructor stops it through KTThreadFree, waiting up to getTimeOut()
 * milliseconds (10000 by default) before cancelling it. The procedure follows
 * the rules of KTThread.h (KTThreadStopRequested / KTThreadSetError).
 * Not copyable. isFinished, hasError and stop may be called from any thread.
 */
#ifndef CKTTHREAD_H
#define CKTTHREAD_H

#include "KTThread.h"

class CKTThread {
 public:
  /* Throws CWIException with the status of KTThreadNew. */
  CKTThread(KTThreadProcedure pThreadProcedure, void* pParameter);
  ~CKTThread();
  CKTThread(const CKTThread&) = delete;
  CKTThread& operator=(const CKTThread&) = delete;

  /* True once the procedure has returned; throws CWIException on failure. */
  bool isFinished() const;
  /* True when the procedure set its error flag; throws CWIException on failure. */
  bool hasError() const;
  /* Asks the thread to stop and returns at once. */
  void stop();

  void setTimeOut(int timeOut) { mTimeOut = timeOut; }
  int getTimeOut() const { return mTimeOut; }
  KTThread* getThread() const { return mThread; }

 private:
  KTThread* mThread = nullptr;
  int mTimeOut = 10000;
};

#endif /* CKTTHREAD_H */
