// System tests of the router process's life: start-up failures end the
// process with a message and a non-zero status, SIGTERM ends a running
// router, and the daemon controller starts, reports and stops it in the
// background, where it routes like in the foreground.
#include <sys/prctl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "RouterSystemSupport.h"

using namespace routertest;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

namespace {

class RouterLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mInstall.ok());
    mRouter = MakeRouter("RR1");
    ASSERT_NE(0, mRouter.port);
  }
  void TearDown() override {
    mProcess.kill(SIGKILL);
    if (HasFailure()) std::cerr << "router log:\n" << mInstall.logText();
  }

  // Runs the router in the foreground and waits for its end (at most 10 s).
  void runToEnd(const std::vector<std::string>& args = {"-iplist", "127.0.0.1", "-console"}) {
    ASSERT_TRUE(mProcess.start(KTREQROUTER_BIN, args, mInstall.environment(), mInstall.root()));
    ASSERT_TRUE(mProcess.waitExit(10000)) << "router did not end";
  }
  // A failed start: status 1, the message last on standard error and in the log.
  void expectFailure(const std::string& message) {
    EXPECT_TRUE(mProcess.exitedWith(1)) << mProcess.status();
    const std::string line = "main(): exception: " + message + "\n";
    const std::string err = mProcess.err();
    EXPECT_TRUE(err.size() >= line.size() && err.compare(err.size() - line.size(), line.size(), line) == 0)
        << err;
    EXPECT_THAT(mInstall.logText(), HasSubstr(line));
  }
  // Nothing of the router is left: its ports can be bound again.
  void expectPortsFree() {
    int udp = BindSocket(mRouter.host, mRouter.port, SOCK_DGRAM);
    int mc = BindSocket(mRouter.host, mRouter.mcPort, SOCK_STREAM);
    int mon = BindSocket(mRouter.host, mRouter.monitorPort, SOCK_STREAM);
    EXPECT_GE(udp, 0);
    EXPECT_GE(mc, 0);
    EXPECT_GE(mon, 0);
    for (int fd : {udp, mc, mon}) {
      if (fd >= 0) close(fd);
    }
  }

  Installation mInstall;
  RouterDef mRouter;
  RouterProcess mProcess;
};

TEST_F(RouterLifecycleTest, ConfigurationThatDoesNotLoadEndsStartUp) {
  mInstall.writeConfig("<config>\n  <pools>\n    <pool name=Shop/>\n  </pools>\n</config>\n");
  runToEnd();
  expectFailure("CConfigFile::parse(): error while parsing XML (line 3) :expected ' or \"");
  EXPECT_EQ("", mProcess.out());
  // The configuration is loaded before the switch is looked at.
  RouterProcess status;
  ASSERT_TRUE(status.start(KTREQROUTER_BIN, {"-status"}, mInstall.environment(), mInstall.root(),
                           "status"));
  ASSERT_TRUE(status.waitExit(10000));
  EXPECT_TRUE(status.exitedWith(1));
  EXPECT_EQ("", status.out());
  EXPECT_THAT(status.err(), HasSubstr("main(): exception: CConfigFile::parse()"));
}

TEST_F(RouterLifecycleTest, MissingConfigurationFileEndsStartUp) {
  runToEnd();
  expectFailure("CConfigFile::loadFile(): Could not open config file " + mInstall.configDir() +
                "/ServerConfig.xml");
}

TEST_F(RouterLifecycleTest, RouterThatCannotBeBuiltStopsTheService) {
  // A router without a message-center port cannot run as an instance.
  RouterDef noMC = mRouter;
  noMC.mcPort = 0;
  mInstall.writeConfig(ConfigXml({noMC}));
  runToEnd();
  expectFailure("One thread has finished with an error");
  EXPECT_THAT(mInstall.logText(),
              HasSubstr("CRequestRouterServiceInstance::run(): starting RR instance 'RR1'"));
  EXPECT_THAT(mInstall.logText(), HasSubstr("CThreadedService::main(): Message center not found: RR1"));
  expectPortsFree();
}

TEST_F(RouterLifecycleTest, PortBoundByAnotherProcessStopsTheService) {
  mInstall.writeConfig(ConfigXml({mRouter}));
  // The message-center port is taken by a listener of another process.
  PortHolder holder;
  ASSERT_TRUE(holder.hold(mRouter.host, mRouter.mcPort));
  runToEnd();
  expectFailure("One thread has finished with an error");
  EXPECT_THAT(mInstall.logText(),
              HasSubstr("CTCPServer::main(): CTCPServer::bind(\"127.0.0.1\", " +
                        std::to_string(mRouter.mcPort) + ")"));
  EXPECT_TRUE(TcpPortAnswers(mRouter.host, mRouter.mcPort));  // still the other process's
  int udp = BindSocket(mRouter.host, mRouter.port, SOCK_DGRAM);
  EXPECT_GE(udp, 0) << "the get-server port is still held";
  if (udp >= 0) close(udp);
}

TEST_F(RouterLifecycleTest, WithoutLocalRouterTheServiceWaitsUntilStopped) {
  mInstall.writeConfig(ConfigXml({mRouter}));
  ASSERT_TRUE(mProcess.start(KTREQROUTER_BIN, {"-iplist", "10.9.9.9", "-console"},
                             mInstall.environment(), mInstall.root()));
  EXPECT_FALSE(mProcess.waitExit(500));
  EXPECT_FALSE(TcpPortAnswers(mRouter.host, mRouter.mcPort));
  EXPECT_EQ("", mProcess.out());
  mProcess.kill(SIGTERM);
  ASSERT_TRUE(mProcess.waitExit(3000));
  EXPECT_TRUE(mProcess.killedBy(SIGTERM));
}

TEST_F(RouterLifecycleTest, SigtermEndsTheForegroundRouter) {
  mInstall.writeConfig(ConfigXml({mRouter}));
  ASSERT_TRUE(mProcess.start(KTREQROUTER_BIN, {"-iplist", "127.0.0.1", "-console"},
                             mInstall.environment(), mInstall.root()));
  ASSERT_TRUE(WaitUntilListening(mRouter, 10000)) << mProcess.err();
  FakeAppServer as("127.0.0.1:9701");
  ASSERT_TRUE(as.connectTo(mRouter.host, mRouter.mcPort));
  ASSERT_EQ(0, as.announce("Pool1"));

  mProcess.kill(SIGTERM);
  ASSERT_TRUE(mProcess.waitExit(3000));
  EXPECT_TRUE(mProcess.killedBy(SIGTERM)) << mProcess.status();
  EXPECT_TRUE(as.closedByPeer(1000));
  expectPortsFree();
}

TEST_F(RouterLifecycleTest, ShutdownRequestEndsTheRouter) {
  mInstall.writeConfig(ConfigXml({mRouter}));
  ASSERT_TRUE(mProcess.start(KTREQROUTER_BIN, {"-iplist", "127.0.0.1", "-console"},
                             mInstall.environment(), mInstall.root()));
  ASSERT_TRUE(WaitUntilListening(mRouter, 10000)) << mProcess.err();
  FakeAppServer as("127.0.0.1:9702");
  ASSERT_TRUE(as.connectTo(mRouter.host, mRouter.mcPort));
  EXPECT_EQ(-1, as.request(99, "", "", nullptr));
  ASSERT_TRUE(mProcess.waitExit(3000));
  EXPECT_TRUE(mProcess.killedBy(SIGTERM)) << mProcess.status();
}

// Reaps one orphaned daemon that was re-parented to this process.
class DaemonReaper {
 public:
  DaemonReaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~DaemonReaper() {
    stop();
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  void watch(pid_t pid) {
    mPid = pid;
    mThread = std::thread([this] {
      while (!mStop.load()) {
        int status;
        if (waitpid(mPid, &status, WNOHANG) == mPid) {
          mReaped.store(true);
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  bool reaped() const { return mReaped.load(); }
  // Kills the daemon when it still runs, then stops watching.
  void stop() {
    if (mPid > 0 && !mReaped.load()) ::kill(mPid, SIGKILL);
    if (mThread.joinable()) {
      WaitUntil([this] { return mReaped.load(); }, 2000);
      mStop.store(true);
      mThread.join();
    }
  }

 private:
  pid_t mPid = -1;
  std::thread mThread;
  std::atomic<bool> mStop{false};
  std::atomic<bool> mReaped{false};
};

// The daemon tests run a copy of the program from their installation, so
// the PID list and its segment belong to the test alone.
class RouterDaemonTest : public RouterLifecycleTest {
 protected:
  void SetUp() override {
    RouterLifecycleTest::SetUp();
    ASSERT_TRUE(mProgram.make(KTREQROUTER_BIN, mInstall.root())) << "cannot copy " << KTREQROUTER_BIN;
    mInstall.writeConfig(ConfigXml({mRouter}));
  }

  // Runs the copy with the controller switch sw to its end.
  void control(const std::string& sw, RouterProcess& p) {
    ASSERT_TRUE(p.start(mProgram.path(), {"-iplist", "127.0.0.1", sw}, mInstall.environment(),
                        mInstall.root(), sw.substr(1)));
    ASSERT_TRUE(p.waitExit(10000)) << sw;
  }
  // Starts the daemon and waits until it routes; its pid from "-status".
  void startDaemon(pid_t* pPid) {
    RouterProcess start;
    control("-start", start);
    EXPECT_TRUE(start.exitedWith(0)) << start.err();
    ASSERT_TRUE(WaitUntilListening(mRouter, 10000)) << start.err();
    RouterProcess status;
    control("-status", status);
    EXPECT_TRUE(status.exitedWith(0)) << status.err();
    const std::string report = status.out();
    ASSERT_THAT(report, MatchesRegex("Running services:\n\\[[0-9]+\\] VEXORA_RR \n")) << report;
    *pPid = atoi(report.c_str() + report.find('[') + 1);
    ASSERT_GT(*pPid, 0);
    mReaper.watch(*pPid);
  }

  ProgramCopy mProgram;
  DaemonReaper mReaper;  // ends before mProgram, which then removes what is left
};

TEST_F(RouterDaemonTest, DaemonStartsRoutesReportsAndStops) {
  pid_t daemonPid = 0;
  ASSERT_NO_FATAL_FAILURE(startDaemon(&daemonPid));

  // The background router answers get-server requests like the console one.
  FakeAppServer as("127.0.0.1:9703");
  ASSERT_TRUE(as.connectTo(mRouter.host, mRouter.mcPort));
  ASSERT_EQ(0, as.announce("Pool1"));
  FakeWebAdapter adapter(mRouter.host, mRouter.port);
  EXPECT_EQ("0 127.0.0.1 9703", adapter.getServer(FakeWebAdapter::Request()));

  // A second start is refused while the daemon runs.
  RouterProcess again;
  control("-start", again);
  EXPECT_TRUE(again.exitedWith(1));
  EXPECT_THAT(again.err(),
              HasSubstr("main(): exception: CDaemonController::startService(): Service already started"));

  RouterProcess stop;
  control("-stop", stop);
  EXPECT_TRUE(stop.exitedWith(0)) << stop.err();
  EXPECT_TRUE(WaitUntil([&] { return mReaper.reaped(); }, 3000));
  EXPECT_TRUE(as.closedByPeer(1000));
  expectPortsFree();

  RouterProcess after;
  control("-status", after);
  EXPECT_EQ("No services running.\n", after.out());

  // Stopping what does not run fails with a message and a non-zero status.
  RouterProcess stopAgain;
  control("-stop", stopAgain);
  EXPECT_TRUE(stopAgain.exitedWith(1));
  EXPECT_THAT(stopAgain.err(), HasSubstr("main(): exception: CDaemonController::stopService(): "
                                         "Could not find daemon pid for service VEXORA_RR"));
  EXPECT_TRUE(mProgram.segmentGone());
}

TEST_F(RouterDaemonTest, DaemonThatDiedIsMarkedAndCleanedUpByStop) {
  pid_t daemonPid = 0;
  ASSERT_NO_FATAL_FAILURE(startDaemon(&daemonPid));
  ::kill(daemonPid, SIGKILL);
  ASSERT_TRUE(WaitUntil([&] { return mReaper.reaped(); }, 3000));

  const std::string entry = "[" + std::to_string(daemonPid) + "] VEXORA_RR ";
  RouterProcess status;
  control("-status", status);
  EXPECT_EQ("Running services:\n" + entry + "(dead)\n", status.out());

  RouterProcess stop;
  control("-stop", stop);
  EXPECT_TRUE(stop.exitedWith(1));
  EXPECT_THAT(stop.err(), HasSubstr("main(): exception: CDaemonController::stopService(): Daemon 'VEXORA_RR' [" +
                                    std::to_string(daemonPid) + "] is not running"));
  // The stale entry is gone, and with it the segment.
  EXPECT_TRUE(mProgram.segmentGone());
  RouterProcess after;
  control("-status", after);
  EXPECT_EQ("No services running.\n", after.out());
  EXPECT_TRUE(mProgram.segmentGone());
}

}  // namespace
