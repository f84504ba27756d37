// Tests of the router service: which routers become instances, how the
// instances run and fail, and the controller's usage text.
#include "RequestRouterService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Daemon.h"
#include "Exception.h"
#include "Log.h"
#include "RequestRouterMain.h"
#include "RouterSystemSupport.h"
#include "XMLConfig.h"

using namespace routertest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::unique_ptr<XMLConfig::CConfigFile> configOf(const std::vector<RouterDef>& routers) {
  auto config = std::make_unique<XMLConfig::CConfigFile>();
  config->parse(ConfigXml(routers));
  return config;
}

RouterDef fixedRouter(const std::string& name, const std::string& host, uint16_t base) {
  RouterDef def;
  def.name = name;
  def.host = host;
  def.port = base;
  def.mcPort = base + 1;
  return def;
}

// The process log goes to a file of the test, so that its lines can be read.
class ServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sLogDir = new Installation();
    CLog::log.setFileName(sLogDir->logDir() + "/RequestRouter.log");
  }
  static void TearDownTestSuite() {
    delete sLogDir;
    sLogDir = nullptr;
  }
  static std::string logText() { return sLogDir->logText(); }
  void TearDown() override { stopSignal.store(false); }

  static Installation* sLogDir;
};
Installation* ServiceTest::sLogDir = nullptr;

TEST_F(ServiceTest, LocalRoutersBecomeInstancesInNameOrder) {
  CRequestRouterService service(configOf({fixedRouter("Zeta", "127.0.0.1", 11000),
                                          fixedRouter("Alpha", "127.0.0.1", 11010),
                                          fixedRouter("Remote", "10.0.0.5", 11000),
                                          fixedRouter("Named", "localhost", 11000),
                                          fixedRouter("Other", "10.0.0.9", 11000)}),
                                {"10.0.0.9", "127.0.0.1"});
  EXPECT_EQ(3u, service.addLocalRouters());
  EXPECT_THAT(service.getInstanceArgs(), ElementsAre("-rr Alpha", "-rr Other", "-rr Zeta"));
  EXPECT_EQ("VEXORA_RR", service.getName());
  EXPECT_EQ("Vexora Request Router", service.getDisplayName());
  EXPECT_EQ(IService::START_AUTOMATICALLY, service.getStartType());
  EXPECT_THAT(service.getIPList().toStringVector(), ElementsAre("10.0.0.9", "127.0.0.1"));
}

TEST_F(ServiceTest, NoLocalRouterGivesNoInstance) {
  CRequestRouterService service(configOf({fixedRouter("RR1", "127.0.0.1", 11000)}), {"127.0.0.2"});
  EXPECT_EQ(0u, service.addLocalRouters());
  EXPECT_TRUE(service.getInstanceArgs().empty());
}

TEST_F(ServiceTest, InstanceWithoutRouterNameEndsWithoutError) {
  CRequestRouterService service(configOf({fixedRouter("RR1", "127.0.0.1", 11000)}), {});
  std::unique_ptr<CThreadedServiceInstance> instance = service.createInstance("-other x");
  int stopFlag = 0;
  instance->run(stopFlag);
  EXPECT_THAT(logText(),
              HasSubstr("CRequestRouterServiceInstance::run(): no request router name provided\n"));
}

TEST_F(ServiceTest, EmptyRouterNameFailsAsAnUnknownRouter) {
  CRequestRouterService service(configOf({fixedRouter("RR1", "127.0.0.1", 11000)}), {});
  std::unique_ptr<CThreadedServiceInstance> instance = service.createInstance("-rr");
  int stopFlag = 0;
  try {
    instance->run(stopFlag);
    ADD_FAILURE() << "an empty router name was accepted";
  } catch (const std::exception& e) {
    EXPECT_STREQ("RequestRouters::routerByName(): Request router '' not defined", e.what());
  }
  EXPECT_THAT(logText(), Not(HasSubstr("no request router name provided")));
}

TEST_F(ServiceTest, ServiceRunsItsRoutersUntilStopped) {
  RouterDef rr1 = MakeRouter("RR1");
  CRequestRouterService service(configOf({rr1}), {"127.0.0.1"});
  ASSERT_EQ(1u, service.addLocalRouters());
  service.setPollInterval(50);
  std::atomic<bool> done{false};
  int result = -1;
  std::string error;
  std::thread runner([&] {
    try {
      result = service.run({});
    } catch (const std::exception& e) {
      error = e.what();
    }
    done.store(true);
  });
  EXPECT_TRUE(WaitUntilListening(rr1, 5000));
  EXPECT_THAT(logText(), HasSubstr("CRequestRouterServiceInstance::run(): starting RR instance 'RR1'"));
  stopSignal.store(true);
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 5000));
  runner.join();
  EXPECT_EQ(0, result);
  EXPECT_EQ("", error);
  EXPECT_FALSE(TcpPortAnswers(rr1.host, rr1.mcPort));
}

TEST_F(ServiceTest, FailingRouterStopsTheOtherRouters) {
  RouterDef good = MakeRouter("Good");
  RouterDef bad = MakeRouter("Bad");
  bad.mcPort = 0;
  CRequestRouterService service(configOf({good, bad}), {"127.0.0.1"});
  ASSERT_EQ(2u, service.addLocalRouters());
  service.setPollInterval(50);
  try {
    service.run({});
    FAIL() << "the service ran despite a failed instance";
  } catch (const CException& e) {
    EXPECT_STREQ("One thread has finished with an error", e.what());
  }
  EXPECT_THAT(logText(), HasSubstr("CThreadedService::main(): Message center not found: Bad"));
  EXPECT_FALSE(TcpPortAnswers(good.host, good.mcPort));
}

TEST_F(ServiceTest, ControllerUsageEndsWithTheRouterOptions) {
  CRequestRouterService service(configOf({fixedRouter("RR1", "127.0.0.1", 11000)}), {});
  CRequestRouterController controller;
  controller.registerService(&service);
  const std::string general = controller.CDaemonController::getControllerUsage();
  EXPECT_EQ(general + "\n" + routerOptionsUsage(), controller.getControllerUsage());
  const std::string usage = controller.getUsage("KTReqRouter");
  EXPECT_THAT(usage, HasSubstr(std::string(34 - 11, ' ') + "-debuglog: debug log file prefix\n"));
  EXPECT_THAT(usage, HasSubstr("Registered services:\nVEXORA_RR\n"));
}

}  // namespace
