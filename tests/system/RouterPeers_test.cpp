// System test of two router processes of one installation, on the hosts
// 127.0.0.1 and 127.0.0.2, each selecting its own router with "-iplist":
// pools announced across, cache data forwarded, a stopped router marked down.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RouterSystemSupport.h"

using namespace routertest;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const size_t kPoolServers = 3;
const size_t kPoolPeers = 4;
const size_t kPeerState = 2;

class TwoRoutersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mInstall.ok());
    mA = MakeRouter("RouterA", "127.0.0.1");
    mB = MakeRouter("RouterB", "127.0.0.2");
    ASSERT_NE(0, mA.port);
    ASSERT_NE(0, mB.port) << "127.0.0.2 is not usable on this host";
    mInstall.writeConfig(ConfigXml({mA, mB}, {"Shop"}));
  }
  void TearDown() override {
    mProcessA.kill(SIGKILL);
    mProcessB.kill(SIGKILL);
    if (HasFailure()) {
      std::cerr << "log A:\n" << mInstall.logText("logA") << "log B:\n" << mInstall.logText("logB");
    }
  }

  void startRouter(RouterProcess& process, const RouterDef& router, const std::string& name) {
    ASSERT_TRUE(process.start(KTREQROUTER_BIN, {"-iplist", router.host, "-console"},
                              mInstall.environment("log" + name), mInstall.root(), name));
    ASSERT_TRUE(WaitUntilListening(router, 10000))
        << name << " stdout: " << process.out() << "\nstderr: " << process.err();
  }
  // The fields of the pool line of Shop on the router, empty when it has none.
  static std::vector<std::string> shopLine(MonitorClient& monitor) {
    return FindLine(monitor.query(13), {"P", "Shop"});
  }
  static std::string peerState(MonitorClient& monitor, const RouterDef& peer) {
    std::vector<std::string> line =
        FindLine(monitor.query(12), {"M", peer.host + ":" + std::to_string(peer.mcPort)});
    return line.size() > kPeerState ? line[kPeerState] : std::string();
  }

  Installation mInstall;
  RouterDef mA, mB;
  RouterProcess mProcessA, mProcessB;
};

TEST_F(TwoRoutersTest, PoolsAndCacheDataCrossAndAStoppedRouterIsMarkedDown) {
  startRouter(mProcessA, mA, "A");
  startRouter(mProcessB, mB, "B");
  // Each process runs only the router of its own address.
  ASSERT_TRUE(WaitUntil([&] { return Contains(mProcessA.out(), "RouterA:") &&
                                     Contains(mProcessB.out(), "RouterB:"); },
                        3000));
  EXPECT_THAT(mProcessA.out(), Not(HasSubstr("RouterB:")));
  EXPECT_THAT(mProcessB.out(), Not(HasSubstr("RouterA:")));

  MonitorClient monitorA, monitorB;
  ASSERT_TRUE(monitorA.connectTo(mA.host, mA.monitorPort));
  ASSERT_TRUE(monitorB.connectTo(mB.host, mB.monitorPort));
  // B asked A for its pools at start-up: A is up for B, and B knows no pool yet.
  EXPECT_EQ("up", peerState(monitorB, mA));
  EXPECT_TRUE(shopLine(monitorB).empty());

  // The first server of Shop on A makes B list A as a peer of Shop.
  FakeAppServer onA("127.0.0.1:9501");
  ASSERT_TRUE(onA.connectTo(mA.host, mA.mcPort));
  ASSERT_EQ(0, onA.announce("Shop"));
  // The announcement follows A's reply to its server, from A's send thread.
  std::vector<std::string> line;
  EXPECT_TRUE(WaitUntil([&] {
    line = shopLine(monitorB);
    return line.size() > kPoolPeers && line[kPoolPeers] == "1";
  }, 3000));
  ASSERT_GT(line.size(), kPoolPeers);
  EXPECT_EQ("0", line[kPoolServers]);
  EXPECT_EQ("1", line[kPoolPeers]);
  EXPECT_EQ("up", peerState(monitorB, mA));

  // A server of Shop on B makes A list B as a peer of Shop.
  FakeAppServer onB("127.0.0.2:9502");
  ASSERT_TRUE(onB.connectTo(mB.host, mB.mcPort));
  ASSERT_EQ(0, onB.announce("Shop"));
  EXPECT_TRUE(WaitUntil([&] {
    line = shopLine(monitorA);
    return line.size() > kPoolPeers && line[kPoolPeers] == "1";
  }, 3000));
  ASSERT_GT(line.size(), kPoolPeers);
  EXPECT_EQ("1", line[kPoolServers]);
  EXPECT_EQ("1", line[kPoolPeers]);

  // Cache data handed in on A reaches the server on B with its next idle reply.
  std::string cache;
  ASSERT_EQ(0, onA.idle(CacheItem("catalog/7"), &cache));
  EXPECT_EQ("", cache);
  std::string received;
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::string part;
        if (onB.idle("", &part) != 0) return true;
        received += part;
        return !received.empty();
      },
      4000));
  EXPECT_EQ(CacheItem("catalog/7"), received);

  // A stops; B marks it down (at the latest with its next send to A).
  mProcessA.kill(SIGTERM);
  ASSERT_TRUE(mProcessA.waitExit(3000));
  EXPECT_TRUE(mProcessA.killedBy(SIGTERM));
  EXPECT_TRUE(WaitUntil([&] { return peerState(monitorB, mA) == "down"; }, 6500))
      << peerState(monitorB, mA);
  // B goes on serving its own server, and still lists A as a peer of Shop.
  FakeWebAdapter adapter(mB.host, mB.port);
  FakeWebAdapter::Request request;
  request.pool = "Shop";
  EXPECT_EQ("0 127.0.0.2 9502", adapter.getServer(request));
  EXPECT_FALSE(mProcessB.exited());
}

TEST_F(TwoRoutersTest, RouterStartsWhileItsPeerIsDownAndLearnsItsPoolsLater) {
  startRouter(mProcessB, mB, "B");
  MonitorClient monitorB;
  ASSERT_TRUE(monitorB.connectTo(mB.host, mB.monitorPort));
  // A is not running: B's start-up question failed and marked it down.
  EXPECT_EQ("down", peerState(monitorB, mA));
  EXPECT_THAT(mInstall.logText("logB"),
              HasSubstr("broadcast MC_REQUEST_INITIALPOOL to MC [127.0.0.1]:" +
                        std::to_string(mA.mcPort) + " failed"));

  // A server of Shop on B, then A starts: A learns Shop from B's answer.
  FakeAppServer onB("127.0.0.2:9601");
  ASSERT_TRUE(onB.connectTo(mB.host, mB.mcPort));
  ASSERT_EQ(0, onB.announce("Shop"));
  startRouter(mProcessA, mA, "A");
  MonitorClient monitorA;
  ASSERT_TRUE(monitorA.connectTo(mA.host, mA.monitorPort));
  std::vector<std::string> line = shopLine(monitorA);
  ASSERT_GT(line.size(), kPoolPeers);
  EXPECT_EQ("0", line[kPoolServers]);
  EXPECT_EQ("1", line[kPoolPeers]);
  EXPECT_EQ("up", peerState(monitorA, mB));
}

}  // namespace
