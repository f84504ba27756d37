// testdaemon.cpp - a small program built on the service framework, driven
// by the daemon controller tests.
//
// Own options (taken before the controller sees the command line):
// "-logfile <path>" sends the log there; "-killwait <ms>" sets the unit of
// the waits between kill signals. Services:
// - "testdaemon": a CDaemon that prints "running" once its handlers are
//   installed and runs until a handled signal stops it. Service options:
//   "-ignoreterm" ignores SIGTERM instead, "-fail" raises from run,
//   "-exit3" returns 3 at once.
// - "threaded": a CThreadedService with two instances that run until the
//   process is ended (SIGTERM by its default action).
// Failures are reported like the router does: "main(): exception: <text>"
// in the log and on standard error, exit status 1.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "CmdLine.h"
#include "DaemonController.h"
#include "Exception.h"
#include "KTLog.h"
#include "KTThread.h"
#include "KTUtils.h"
#include "Log.h"
#include "ServiceException.h"
#include "ThreadedService.h"

namespace {

bool Has(const std::vector<std::string>& args, const char* option) {
  return std::find(args.begin(), args.end(), option) != args.end();
}

void Announce() {
  printf("running\n");
  fflush(stdout);
}

class TestDaemon : public CDaemon {
 public:
  TestDaemon() : CDaemon("testdaemon", "Test daemon", "Waits for a signal") {}

  int run(const std::vector<std::string>& args) override {
    if (Has(args, "-fail")) throw CServiceException("testdaemon: failing on purpose", 0);
    if (Has(args, "-exit3")) return 3;
    if (Has(args, "-ignoreterm")) {
      signal(SIGTERM, SIG_IGN);
      Announce();
      for (;;) SleepMilliseconds(50);
    }
    installSignalHandlers();
    Announce();
    while (!serviceStopped()) SleepMilliseconds(10);
    KTLogWrite(CLog::log, "testdaemon: stopped");
    return 0;
  }
  std::string getUsage() const override {
    return "    -ignoreterm: ignore SIGTERM\n          -fail: raise from run";
  }
};

class WaitingInstance : public CThreadedServiceInstance {
 public:
  using CThreadedServiceInstance::CThreadedServiceInstance;
  void run(int& stopFlag) override {
    while (!KTThreadStopRequested(&stopFlag)) SleepMilliseconds(10);
  }
};

class ThreadedTestService : public CThreadedService {
 public:
  ThreadedTestService() : CThreadedService("threaded", "Threaded test", "Two waiting threads") {
    addInstance("-n 1");
    addInstance("-n 2");
    setPollInterval(20);
  }
  std::unique_ptr<CThreadedServiceInstance> createInstance(const std::string& commandLine) override {
    if (commandLine == "-n 2") Announce();
    return std::unique_ptr<CThreadedServiceInstance>(new WaitingInstance(this, commandLine));
  }
};

}  // namespace

int main(int argc, char** argv) {
  CCmdLine cmdLine(argc, argv, "-");
  std::string value;
  try {
    if (cmdLine.popOption("-logfile", value)) CLog::log.setFileName(value);
    int killWait = 100;
    if (cmdLine.popOption("-killwait", value)) killWait = atoi(value.c_str());
    TestDaemon daemon;
    ThreadedTestService threaded;
    CDaemonController controller;
    controller.setKillWaitUnit(killWait);
    controller.registerService(&daemon);
    controller.registerService(&threaded);
    return controller.run(cmdLine);
  } catch (const CException& e) {
    KTLogWrite(CLog::log, "main(): exception: %s", e.what());
    fprintf(stderr, "main(): exception: %s\n", e.what());
    return 1;
  }
}
