/* ThreadedService.cpp - one thread per service instance, watched until a failure or a stop.
 *
 * The instances are owned by the service and outlive the thread group of a
 * run, so no thread ever sees its instance destroyed.
 */
#include "ThreadedService.h"

#include "KTDebug.h"
#include "KTThread.h"
#include "KTUtils.h"
#include "ThreadGroup.h"
#include "WIException.h"

/* Never fails (beyond std::bad_alloc). */
CThreadedServiceInstance::CThreadedServiceInstance(CThreadedService* service,
                                                   const std::string& commandLine)
    : mCmdLine(commandLine, "-"), mpService(service) {}

/* Raises CWIException when the thread cannot be started. */
std::unique_ptr<CKTThread> CThreadedServiceInstance::createThread() {
  return std::make_unique<CKTThread>(&CThreadedServiceInstance::main, this);
}

/* Never raises: a failure of the instance ends up in the error flag. */
void CThreadedServiceInstance::main(int* pStopFlag, int* pErrorFlag, void* pParameter) {
  CThreadedServiceInstance* instance = static_cast<CThreadedServiceInstance*>(pParameter);
  KTStatus status = CatchWIException("CThreadedService::main", [&]() {
    if (instance == nullptr || pStopFlag == nullptr) {
      throw CWIException(ERROR_INVALID_PARAMETER, "no service instance for the thread");
    }
    instance->run(*pStopFlag);
  });
  if (status != STATUS_OK && pErrorFlag != nullptr) KTThreadSetError(pErrorFlag, 1);
}

/* Never fails. */
CThreadedService::CThreadedService(const std::string& name, const std::string& displayName,
                                   const std::string& description, StartType startType)
    : CDaemon(name, displayName, description, startType) {}

CThreadedService::~CThreadedService() = default;

/* Never fails (beyond std::bad_alloc). */
void CThreadedService::addInstance(const std::string& commandLine) {
  mInstanceArgs.push_back(commandLine);
}

/* Raises CException when an instance failed; the exceptions of createInstance
 * and thread creation leave after the threads already running were stopped
 * by the group's destructor. */
int CThreadedService::run(const std::vector<std::string>& args) {
  (void)args;
  const int count = static_cast<int>(mInstanceArgs.size());
  KTDEBUG_MSG(KTDEBUG_CORE, "CThreadedService::run(): Starting %d service thread%s...", count,
              count == 1 ? "" : "s");
  // The group polls every 100 ms while joining, or faster when the service
  // itself was told to poll faster.
  CThreadGroup group(mPollIntervalMS < 100 ? mPollIntervalMS : 100);
  int number = 0;
  for (const std::string& commandLine : mInstanceArgs) {
    ++number;
    KTDEBUG_MSG(KTDEBUG_CORE, "CThreadedService::run(): Starting service thread %d with arguments '%s'",
                number, commandLine.c_str());
    std::unique_ptr<CThreadedServiceInstance> instance = createInstance(commandLine);
    if (!instance) {
      throw CWIException(ERROR_INTERNAL_INCONSISTENCE,
                         "CThreadedService::run(): no instance created for '%s'", commandLine.c_str());
    }
    mInstances.push_back(std::move(instance));
    group.addThread(mInstances.back()->createThread());
  }

  while (!group.hasError() && !serviceStopped()) SleepMilliseconds(mPollIntervalMS);

  const int stopFlag = 1;
  group.join(stopFlag, -1);
  KTDEBUG_MSG(KTDEBUG_CORE, "CThreadedService::run(): Service threads terminated");
  return 0;
}
