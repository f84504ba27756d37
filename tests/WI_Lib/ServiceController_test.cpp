// Tests of the controller base: which switch wins, what each action calls
// with which service and arguments, the usage text, and the one-controller
// rule. A process may create only one controller, so all tests share one.
#include "ServiceController.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Exception.h"

namespace {

class UsageService : public CServiceBase {
 public:
  UsageService(const std::string& name, const std::string& usage)
      : CServiceBase(name, name + " display", name + " description"), usage_(usage) {}
  std::string getUsage() const override { return usage_; }
  bool serviceStopped() override { return false; }

 private:
  std::string usage_;
};

// Records every call the base makes into the concrete controller.
class RecordingController : public CServiceControllerBase {
 public:
  void registerService(IService* service) override {
    registerServiceName(service->getName());
    services_[service->getName()] = service;
  }
  IService* getService(const std::string& name) override {
    auto it = services_.find(name);
    if (it == services_.end()) throw CException("no such service " + name);
    return it->second;
  }
  void startService(const std::string& name, const std::vector<std::string>& args) override {
    Record("start " + name, args);
  }
  void stopService(const std::string& name) override {
    Record("stop " + name, {});
    if (failStop) throw CException("stop failed");
  }
  int startServiceConsole(const std::string& name, const std::vector<std::string>& args) override {
    Record("console " + name, args);
    return 7;
  }
  std::string getStatus() override {
    Record("status", {});
    return "status text\n";
  }
  int installServices() override {
    Record("install", {});
    return 3;
  }
  int uninstallServices() override {
    Record("uninstall", {});
    return 4;
  }
  void runService(const std::string& name) override { Record("runservice " + name, {}); }

  std::vector<std::string> calls;
  std::vector<std::vector<std::string>> callArgs;
  bool failStop = false;

 private:
  void Record(const std::string& call, std::vector<std::string> args) {
    std::sort(args.begin(), args.end());
    calls.push_back(call);
    callArgs.push_back(args);
  }
  std::map<std::string, IService*> services_;
};

UsageService alpha("alpha", "");
UsageService beta("beta", "  -x: beta option");

// The one controller of this test program, with alpha and beta registered.
RecordingController& Controller() {
  static RecordingController* controller = []() {
    static RecordingController instance;
    instance.registerService(&alpha);
    instance.registerService(&beta);
    return &instance;
  }();
  controller->calls.clear();
  controller->callArgs.clear();
  controller->failStop = false;
  return *controller;
}

CCmdLine Line(const std::string& text) { return CCmdLine(text, "-"); }

TEST(ControllerSwitches, EachSwitchGivesItsActionAndIsRemoved) {
  RecordingController& c = Controller();
  struct Case {
    const char* text;
    CServiceControllerBase::ServiceAction action;
    const char* service;
  } cases[] = {
      {"-runservice svc", CServiceControllerBase::SYSTEM_START, "svc"},
      {"-console svc", CServiceControllerBase::START_CONSOLE, "svc"},
      {"-start svc", CServiceControllerBase::START, "svc"},
      {"-stop svc", CServiceControllerBase::STOP, "svc"},
      {"-restart svc", CServiceControllerBase::RESTART, "svc"},
      {"-install", CServiceControllerBase::INSTALL, ""},
      {"-remove", CServiceControllerBase::UNINSTALL, ""},
      {"-status", CServiceControllerBase::STATUS, ""},
      {"-other svc", CServiceControllerBase::CANCEL, ""},
      {"", CServiceControllerBase::CANCEL, ""},
  };
  for (const Case& k : cases) {
    CCmdLine cmd = Line(k.text);
    std::string service;
    EXPECT_EQ(k.action, c.parseOptions(cmd, service)) << k.text;
    EXPECT_EQ(k.service, service) << k.text;
    if (k.action != CServiceControllerBase::CANCEL) {
      EXPECT_EQ(0u, cmd.getNumOptions()) << k.text;
    }
  }
}

TEST(ControllerSwitches, FirstSwitchInFixedOrderWinsAndTheOthersStay) {
  RecordingController& c = Controller();
  CCmdLine cmd = Line("-status -stop x -start y -console z");
  std::string service;
  EXPECT_EQ(CServiceControllerBase::START_CONSOLE, c.parseOptions(cmd, service));
  EXPECT_EQ("z", service);
  EXPECT_TRUE(cmd.hasOption("-start"));
  EXPECT_TRUE(cmd.hasOption("-stop"));
  EXPECT_TRUE(cmd.hasOption("-status"));
  EXPECT_FALSE(cmd.hasOption("-console"));
}

TEST(ControllerRun, StartWithoutNameStartsTheFirstRegisteredService) {
  RecordingController& c = Controller();
  CCmdLine cmd = Line("-start");
  EXPECT_EQ(0, c.run(cmd));
  ASSERT_EQ(1u, c.calls.size());
  EXPECT_EQ("start alpha", c.calls[0]);
  EXPECT_TRUE(c.callArgs[0].empty());
}

TEST(ControllerRun, RemainingSwitchesBecomeTheServiceArguments) {
  RecordingController& c = Controller();
  CCmdLine cmd = Line("-x 1 -start beta -y");
  EXPECT_EQ(0, c.run(cmd));
  ASSERT_EQ(1u, c.calls.size());
  EXPECT_EQ("start beta", c.calls[0]);
  EXPECT_EQ((std::vector<std::string>{"-x", "-y"}), c.callArgs[0]);
}

TEST(ControllerRun, RestartStopsThenStartsAndStopsOnAFailedStop) {
  RecordingController& c = Controller();
  CCmdLine cmd = Line("-restart beta -q");
  EXPECT_EQ(0, c.run(cmd));
  EXPECT_EQ((std::vector<std::string>{"stop beta", "start beta"}), c.calls);
  EXPECT_EQ((std::vector<std::string>{"-q"}), c.callArgs[1]);

  RecordingController& d = Controller();
  d.failStop = true;
  CCmdLine again = Line("-restart");
  EXPECT_THROW(d.run(again), CException);
  EXPECT_EQ((std::vector<std::string>{"stop alpha"}), d.calls);
}

TEST(ControllerRun, ResultsOfConsoleInstallAndRemoveAreTheExitStatus) {
  RecordingController& c = Controller();
  CCmdLine console = Line("-console beta");
  EXPECT_EQ(7, c.run(console));
  CCmdLine install = Line("-install");
  EXPECT_EQ(3, c.run(install));
  CCmdLine remove = Line("-remove");
  EXPECT_EQ(4, c.run(remove));
  CCmdLine stop = Line("-stop");
  EXPECT_EQ(0, c.run(stop));
  CCmdLine system = Line("-runservice beta");
  EXPECT_EQ(0, c.run(system));
  EXPECT_EQ((std::vector<std::string>{"console beta", "install", "uninstall", "stop alpha",
                                      "runservice beta"}),
            c.calls);
}

TEST(ControllerRun, StatusIsWrittenToStandardOutput) {
  RecordingController& c = Controller();
  CCmdLine cmd = Line("-status beta");  // "-status" takes no service
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, c.run(cmd));
  EXPECT_EQ("status text\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ((std::vector<std::string>{"status"}), c.calls);
}

const char kControllerUsage[] =
    "                        -install: Install registered services\n"
    "                         -remove: Uninstall registered services\n"
    "      -start <service> [options]: Run <service>. If <service> is omitted, the first registered "
    "service is started\n"
    "                 -stop <service>: Stop <service>\n"
    "    -restart <service> [options]: Restart running <service>\n"
    "    -console <service> [options]: Run <service> in foreground\n"
    "                         -status: Show service status\n";

TEST(ControllerUsage, LabelsAreRightAlignedInThirtyFourColumns) {
  const std::string usage = Controller().getControllerUsage();
  EXPECT_EQ(kControllerUsage, usage);
  size_t start = 0;
  while (start < usage.size()) {
    const size_t colon = usage.find(": ", start);
    EXPECT_EQ(32u, colon - start) << usage.substr(start, 40);
    start = usage.find('\n', start) + 1;
  }
}

TEST(ControllerUsage, LongLabelIsNotCut) {
  const std::string label(40, 'L');
  EXPECT_EQ(label + "text\n", CServiceControllerBase::usageLine(label, "text"));
  EXPECT_EQ(std::string(34, ' ') + "x\n", CServiceControllerBase::usageLine("", "x"));
}

TEST(ControllerUsage, NoSwitchPrintsTheWholeUsage) {
  RecordingController& c = Controller();
  const char* argv[] = {"/opt/bin/prog", "-verbose"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, c.run(2, const_cast<char**>(argv)));
  const std::string expected = std::string("Usage: /opt/bin/prog <switch> [service] [service specific options]\n") +
                               "\n" + kControllerUsage + "\n" +
                               "Registered services:\n"
                               "alpha\n"
                               "beta\n"
                               "  -x: beta option\n";
  EXPECT_EQ(expected, testing::internal::GetCapturedStdout());
  EXPECT_TRUE(c.calls.empty());
}

TEST(ControllerUsage, ServiceUsageOfAnUnknownServiceRaises) {
  EXPECT_EQ("  -x: beta option", Controller().getServiceUsage("beta"));
  EXPECT_THROW(Controller().getServiceUsage("gamma"), CException);
}

TEST(ControllerInstances, SecondControllerIsRefused) {
  Controller();
  try {
    RecordingController second;
    FAIL() << "second controller was created";
  } catch (const CException& e) {
    EXPECT_STREQ(
        "CServiceControllerBase::CServiceControllerBase(): Cannot instantiate ServiceController more than once",
        e.what());
  }
}

TEST(ControllerInstances, RegistrationKeepsOrderAndRejectsBadNames) {
  RecordingController& c = Controller();
  EXPECT_EQ((std::vector<std::string>{"alpha", "beta"}), c.getRegisteredServiceNames());
  EXPECT_TRUE(c.isServiceRegistered("beta"));
  EXPECT_FALSE(c.isServiceRegistered("gamma"));
  EXPECT_EXIT(c.registerServiceName(""), testing::ExitedWithCode(1), "assertation");
  EXPECT_EXIT(c.registerServiceName("alpha"), testing::ExitedWithCode(1), "assertation");
}

}  // namespace
