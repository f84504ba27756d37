/* ThreadedService.h - a service that runs one thread per instance and watches them.
 *
 * Before run, the owner adds one instance command line per instance
 * (addInstance). run() creates every instance through the subclass's
 * createInstance(), starts one thread for each and then polls, every
 * second by default, until a thread has failed or serviceStopped() is true;
 * then it stops and joins all threads. A thread whose instance raised makes
 * run() raise CException "One thread has finished with an error"; an
 * instance that simply returns does not stop the others. run() installs no
 * signal handlers, so a signal ends the process by its default action.
 *
 * An instance parses its command line with the switch character "-" and
 * runs in its thread with that thread's stop flag, which it must read with
 * KTThreadStopRequested(&stopFlag) and obey soon.
 *
 * Thread safety: addInstance, setPollInterval and run belong to the
 * controlling thread; instances run concurrently in their own threads and
 * share the service read-only.
 */
#ifndef THREADEDSERVICE_H
#define THREADEDSERVICE_H

#include <memory>
#include <string>
#include <vector>

#include "CKTThread.h"
#include "CmdLine.h"
#include "Daemon.h"

class CThreadedService;

class CThreadedServiceInstance {
 public:
  /* Parses commandLine with the switch character "-". */
  CThreadedServiceInstance(CThreadedService* service, const std::string& commandLine);
  virtual ~CThreadedServiceInstance() = default;
  CThreadedServiceInstance(const CThreadedServiceInstance&) = delete;
  CThreadedServiceInstance& operator=(const CThreadedServiceInstance&) = delete;

  /* The instance's work; returns when stopFlag becomes non-zero (or when it
   * has nothing left to do). Failures raise exceptions; they are logged and
   * mark the thread as failed. */
  virtual void run(int& stopFlag) = 0;

  /* A new thread running main() with this instance. Raises CWIException
   * "CKTThread::CKTThread(): KTThreadNew() failed" when it cannot start. */
  std::unique_ptr<CKTThread> createThread();

  /* The thread procedure: runs the instance (pParameter) with the thread's
   * stop flag through CatchWIException ("CThreadedService::main") and sets
   * the error flag when that reports a failure. */
  static void main(int* pStopFlag, int* pErrorFlag, void* pParameter);

  CCmdLine& getCmdLine() { return mCmdLine; }
  CThreadedService* getService() const { return mpService; }

 protected:
  CCmdLine mCmdLine;
  CThreadedService* mpService;
};

class CThreadedService : public CDaemon {
 public:
  CThreadedService(const std::string& name, const std::string& displayName,
                   const std::string& description, StartType startType = START_AUTOMATICALLY);
  ~CThreadedService() override;

  /* Appends one instance command line; call before run. */
  void addInstance(const std::string& commandLine);
  /* Starts one thread per instance command line and waits as described
   * above; args are not used. Returns 0; raises CException "One thread has
   * finished with an error" when an instance failed, and the exceptions of
   * createInstance and thread creation (threads already started are
   * stopped before). */
  int run(const std::vector<std::string>& args) override;
  /* A new instance for one instance command line. */
  virtual std::unique_ptr<CThreadedServiceInstance> createInstance(const std::string& commandLine) = 0;

  /* Milliseconds between two looks at the threads (default 1000, at least 1). */
  void setPollInterval(int ms) { mPollIntervalMS = ms > 0 ? ms : 1; }
  int getPollInterval() const { return mPollIntervalMS; }
  const std::vector<std::string>& getInstanceArgs() const { return mInstanceArgs; }
  size_t getNumInstances() const { return mInstances.size(); }

 protected:
  std::vector<std::string> mInstanceArgs;
  std::vector<std::unique_ptr<CThreadedServiceInstance>> mInstances;
  int mPollIntervalMS = 1000;
};

#endif /* THREADEDSERVICE_H */
