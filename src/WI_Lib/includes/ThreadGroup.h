/* ThreadGroup.h - a set of owned threads that are watched, stopped and joined together.
 *
 * join() polls the threads (every 100 ms by default) until all have
 * finished, the caller's stop flag is set, one thread fails, or a time-out
 * runs out. When the stop flag is set or a thread has failed, every thread
 * still running is asked to stop. A failed thread makes join() raise
 * CException "One thread has finished with an error" once the wait is over.
 * The group's destructor releases the threads (each waits its own time-out,
 * then cancels, see CKTThread.h).
 *
 * Thread safety: the group belongs to one controlling thread; the threads'
 * finished and error flags are read without a lock. The stop flag passed to
 * join() may be written by another thread (it is read atomically).
 */
#ifndef THREADGROUP_H
#define THREADGROUP_H

#include <memory>
#include <vector>

#include "CKTThread.h"

class CThreadGroup {
 public:
  /* pollIntervalMS: how long join() sleeps between two looks (at least 1). */
  explicit CThreadGroup(int pollIntervalMS = 100);
  ~CThreadGroup() = default;
  CThreadGroup(const CThreadGroup&) = delete;
  CThreadGroup& operator=(const CThreadGroup&) = delete;

  /* Takes ownership of the thread; a null thread is ignored. */
  void addThread(std::unique_ptr<CKTThread> thread);
  /* True when some thread has finished and reports an error. Raises
   * CWIException when a thread's state cannot be read. */
  bool hasError() const;
  /* True when every thread has finished (also for an empty group). */
  bool allFinished() const;
  /* Asks every thread that has not finished to stop. */
  void stopAll();
  /* Waits until all threads have finished; returns true then, false when
   * timeoutMS (negative: no limit) ran out first. A non-zero stopFlag asks
   * the threads to stop. Raises CException "One thread has finished with an
   * error" when a thread failed (after asking the others to stop). */
  bool join(const int& stopFlag, int timeoutMS);

  size_t size() const { return mThreads.size(); }
  int getPollInterval() const { return mPollIntervalMS; }

 private:
  std::vector<std::unique_ptr<CKTThread>> mThreads;
  int mPollIntervalMS;
};

#endif /* THREADGROUP_H */
