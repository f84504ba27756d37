// System tests of the allow lists: sources outside mc_allow or
// monitor_allow are closed unread, listed sources and the configured peer
// routers are served, and a router without the attributes is open to all.
// Loopback sources other than 127.0.0.1 stand in for foreign hosts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "RouterSystemSupport.h"

using namespace routertest;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const size_t kPoolServers = 3;
const size_t kPoolHits = 7;
const size_t kPoolPeers = 4;

class AllowListTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(mInstall.ok()); }
  void TearDown() override {
    mProcessA.kill(SIGKILL);
    mProcessB.kill(SIGKILL);
    if (HasFailure()) std::cerr << "log A:\n" << mInstall.logText("logA") << "log B:\n" << mInstall.logText("logB");
  }
  void start(RouterProcess& process, const RouterDef& router, const std::string& name) {
    ASSERT_TRUE(process.start(KTREQROUTER_BIN, {"-iplist", router.host, "-console"},
                              mInstall.environment("log" + name), mInstall.root(), name));
    ASSERT_TRUE(WaitUntilListening(router, 10000))
        << name << " stdout: " << process.out() << "\nstderr: " << process.err();
  }
  static std::vector<std::string> poolLine(MonitorClient& monitor, const std::string& pool = "Pool1") {
    return FindLine(monitor.query(13), {"P", pool});
  }

  Installation mInstall;
  RouterProcess mProcessA, mProcessB;
};

TEST_F(AllowListTest, RefusedSourcesAreClosedUnreadAndChangeNothingListedOnesAreServed) {
  RouterDef router = MakeRouter("RR1");
  router.attributes = "mc_allow=\"127.0.0.3, 10.0.0.0/8\" monitor_allow=\"127.0.0.3\"";
  mInstall.writeConfig(ConfigXml({router}));
  start(mProcessA, router, "A");

  MonitorClient monitor;
  ASSERT_TRUE(monitor.connectFrom("127.0.0.3", router.host, router.monitorPort));
  FakeAppServer listed("127.0.0.3:9801");
  ASSERT_TRUE(listed.connectFrom("127.0.0.3", router.host, router.mcPort));
  ASSERT_EQ(0, listed.announce("Pool1"));
  FakeWebAdapter adapter(router.host, router.port);
  FakeWebAdapter::Request request;
  EXPECT_EQ("0 127.0.0.3 9801", adapter.getServer(request));

  // An application server from elsewhere gets a closed connection and no registration.
  FakeAppServer stranger("127.0.0.2:9802");
  ASSERT_TRUE(stranger.connectFrom("127.0.0.2", router.host, router.mcPort));
  EXPECT_EQ(-1, stranger.announce("Pool1"));
  EXPECT_TRUE(stranger.closedByPeer(2000));
  // Its shutdown request is not read either.
  FakeAppServer stopper("127.0.0.2:9803");
  ASSERT_TRUE(stopper.connectFrom("127.0.0.2", router.host, router.mcPort));
  EXPECT_EQ(-1, stopper.request(99, "", "", nullptr));
  EXPECT_TRUE(stopper.closedByPeer(2000));
  // The router's own host is not on the monitor list: its reset is not read.
  MonitorClient resetter;
  ASSERT_TRUE(resetter.connectTo(router.host, router.monitorPort));
  bool ok = true;
  resetter.query(15, &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(resetter.closedByPeer(2000));

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(mProcessA.exited());
  std::vector<std::string> line = poolLine(monitor);
  ASSERT_GT(line.size(), kPoolHits);
  EXPECT_EQ("1", line[kPoolServers]);
  EXPECT_EQ("1", line[kPoolHits]);
  EXPECT_TRUE(FindLine(monitor.query(10), {"S", "Pool1", "127.0.0.2:9802"}).empty());
  EXPECT_EQ(0, listed.idle());

  const std::string log = mInstall.logText("logA");
  EXPECT_THAT(log, HasSubstr("CMessageCenterServer: refused connection from 127.0.0.2 (not in mc_allow)"));
  EXPECT_THAT(log, HasSubstr("CMonitorServer: refused connection from 127.0.0.1 (not in monitor_allow)"));
  EXPECT_THAT(log, Not(HasSubstr("refused connection from 127.0.0.3")));

  // A listed monitor client may reset.
  monitor.query(15, &ok);
  EXPECT_TRUE(ok);
  line = poolLine(monitor);
  ASSERT_GT(line.size(), kPoolHits);
  EXPECT_EQ("0", line[kPoolHits]);
}

TEST_F(AllowListTest, WithoutTheAttributesEverySourceIsServed) {
  RouterDef router = MakeRouter("RR1");
  mInstall.writeConfig(ConfigXml({router}));
  start(mProcessA, router, "A");
  FakeAppServer as("127.0.0.2:9811");
  ASSERT_TRUE(as.connectFrom("127.0.0.2", router.host, router.mcPort));
  ASSERT_EQ(0, as.announce("Pool1"));
  MonitorClient monitor;
  ASSERT_TRUE(monitor.connectFrom("127.0.0.2", router.host, router.monitorPort));
  bool ok = false;
  EXPECT_FALSE(FindLine(monitor.query(10, &ok), {"S", "Pool1", "127.0.0.2:9811"}).empty());
  EXPECT_TRUE(ok);
  EXPECT_THAT(mInstall.logText("logA"), Not(HasSubstr("refused connection")));
}

TEST_F(AllowListTest, PeerRoutersLinkWithoutBeingListed) {
  RouterDef a = MakeRouter("RouterA", "127.0.0.1");
  RouterDef b = MakeRouter("RouterB", "127.0.0.2");
  ASSERT_NE(0, b.port) << "127.0.0.2 is not usable on this host";
  a.attributes = b.attributes = "mc_allow=\"192.0.2.1\"";
  mInstall.writeConfig(ConfigXml({a, b}, {"Shop"}));
  start(mProcessA, a, "A");
  start(mProcessB, b, "B");
  MonitorClient monitorA, monitorB;
  ASSERT_TRUE(monitorA.connectTo(a.host, a.monitorPort));
  ASSERT_TRUE(monitorB.connectTo(b.host, b.monitorPort));

  FakeAppServer onA("127.0.0.1:9821");
  ASSERT_TRUE(onA.connectTo(a.host, a.mcPort));
  ASSERT_EQ(0, onA.announce("Shop"));
  FakeAppServer onB("127.0.0.2:9822");
  ASSERT_TRUE(onB.connectFrom("127.0.0.2", b.host, b.mcPort));
  ASSERT_EQ(0, onB.announce("Shop"));
  // Each router lists the other as a peer of Shop: both links carried the news.
  for (MonitorClient* monitor : {&monitorA, &monitorB}) {
    std::vector<std::string> line;
    EXPECT_TRUE(WaitUntil([&] {
      line = poolLine(*monitor, "Shop");
      return line.size() > kPoolPeers && line[kPoolPeers] == "1";
    }, 3000));
    ASSERT_GT(line.size(), kPoolPeers);
    EXPECT_EQ("1", line[kPoolServers]);
    EXPECT_EQ("1", line[kPoolPeers]);
  }
  EXPECT_THAT(mInstall.logText("logA"), Not(HasSubstr("refused connection")));
  EXPECT_THAT(mInstall.logText("logB"), Not(HasSubstr("refused connection")));
}

}  // namespace
