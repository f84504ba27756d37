/* ThreadGroup.cpp - joins a group of threads with a stop flag, an error rule and a time-out.
 *
 * join() looks at the threads in rounds: remember a failure once one is
 * seen, ask the running threads to stop when the caller's flag is set or a
 * thread failed, leave when all have finished, otherwise sleep one poll
 * interval (less when the remaining time-out is shorter).
 */
#include "ThreadGroup.h"

#include "Exception.h"
#include "KTDebug.h"
#include "KTThread.h"
#include "KTUtils.h"

/* Never fails. */
CThreadGroup::CThreadGroup(int pollIntervalMS)
    : mPollIntervalMS(pollIntervalMS > 0 ? pollIntervalMS : 1) {}

/* Never fails (beyond std::bad_alloc). */
void CThreadGroup::addThread(std::unique_ptr<CKTThread> thread) {
  if (thread) mThreads.push_back(std::move(thread));
}

/* Raises CWIException when a thread's flags cannot be read. */
bool CThreadGroup::hasError() const {
  for (const auto& thread : mThreads) {
    if (thread->isFinished() && thread->hasError()) return true;
  }
  return false;
}

/* Raises CWIException when a thread's flags cannot be read. */
bool CThreadGroup::allFinished() const {
  for (const auto& thread : mThreads) {
    if (!thread->isFinished()) return false;
  }
  return true;
}

/* Raises CWIException when a thread's flags cannot be read. */
void CThreadGroup::stopAll() {
  for (const auto& thread : mThreads) {
    if (!thread->isFinished()) thread->stop();
  }
}

/* Raises CException when a thread failed, CWIException when a thread's
 * flags cannot be read. */
bool CThreadGroup::join(const int& stopFlag, int timeoutMS) {
  bool errorSeen = false;
  bool finished = false;
  for (;;) {
    if (!errorSeen) errorSeen = hasError();
    if (KTThreadStopRequested(&stopFlag) || errorSeen) stopAll();
    finished = allFinished();
    if (finished) break;
    int sleepMS = mPollIntervalMS;
    if (timeoutMS >= 0 && timeoutMS < sleepMS) sleepMS = timeoutMS;
    SleepMilliseconds(sleepMS);
    if (timeoutMS > 0) timeoutMS -= sleepMS;
    if (timeoutMS == 0) break;
  }
  // A thread that failed after the last look at the error flags (while the
  // others were finishing or the time ran out) must not go unreported.
  if (!errorSeen && hasError()) {
    errorSeen = true;
    stopAll();
  }
  if (errorSeen) {
    KTDEBUG_MSG(KTDEBUG_CORE, "CThreadGroup::join(): a thread has finished with an error");
    throw CException("One thread has finished with an error");
  }
  return finished;
}
