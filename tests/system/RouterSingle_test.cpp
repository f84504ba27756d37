// System tests of one router process: simulated application servers report
// over the message center, a simulated web adapter asks for servers, and
// the monitor shows what the router knows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RouterSystemSupport.h"

using namespace routertest;
using ::testing::HasSubstr;

namespace {

// Server monitor line fields.
const size_t kServerState = 4;
const size_t kServerHits = 6;
const size_t kServerTask = 13;
const size_t kServerClient = 14;
const size_t kServerExtension = 15;
// Pool monitor line fields.
const size_t kPoolIdle = 2;
const size_t kPoolServers = 3;
const size_t kPoolHits = 7;
const size_t kPoolMisses = 8;
const size_t kPoolByClient = 9;
const size_t kPoolLimitByExtension = 12;
const size_t kPoolAssigned = 15;
const size_t kPoolWorking = 16;
const size_t kPoolTimeouts = 20;

class SingleRouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mInstall.ok());
    mRouter = MakeRouter("RR1");
    ASSERT_NE(0, mRouter.port);
    mInstall.writeConfig(ConfigXml({mRouter}));
    ASSERT_TRUE(mProcess.start(KTREQROUTER_BIN, {"-iplist", "127.0.0.1", "-console"},
                               mInstall.environment(), mInstall.root()));
    ASSERT_TRUE(WaitUntilListening(mRouter, 10000))
        << "stdout: " << mProcess.out() << "\nstderr: " << mProcess.err()
        << "\nlog: " << mInstall.logText();
    ASSERT_TRUE(mMonitor.connectTo(mRouter.host, mRouter.monitorPort));
  }
  void TearDown() override {
    mProcess.kill(SIGKILL);
    if (HasFailure()) std::cerr << "router log:\n" << mInstall.logText();
  }

  // Connects a fake application server and announces it in the pool.
  void announce(FakeAppServer& as, const std::string& pool = "Pool1", int priority = 0) {
    ASSERT_TRUE(as.connectTo(mRouter.host, mRouter.mcPort));
    ASSERT_EQ(0, as.announce(pool, 4711, priority)) << as.address();
  }
  std::vector<std::string> serverLine(const std::string& address) {
    return FindLine(mMonitor.query(10), {"S", "Pool1", address});
  }
  std::vector<std::string> poolLine(const std::string& pool = "Pool1") {
    return FindLine(mMonitor.query(13), {"P", pool});
  }

  Installation mInstall;
  RouterDef mRouter;
  RouterProcess mProcess;
  MonitorClient mMonitor;
};

TEST_F(SingleRouterTest, PrintsWhereItListens) {
  ASSERT_TRUE(WaitUntil([&] { return Contains(mProcess.out(), "monitor"); }, 3000));
  const std::string out = mProcess.out();
  EXPECT_THAT(out, HasSubstr("127.0.0.1:" + std::to_string(mRouter.port)));
  EXPECT_THAT(out, HasSubstr("127.0.0.1:" + std::to_string(mRouter.mcPort)));
  EXPECT_THAT(out, HasSubstr("127.0.0.1:" + std::to_string(mRouter.monitorPort)));
}

TEST_F(SingleRouterTest, AnnouncedServerIsHandedOutAndFollowsItsReports) {
  FakeAppServer as("127.0.0.1:9001");
  announce(as);
  std::vector<std::string> line = serverLine("127.0.0.1:9001");
  ASSERT_GT(line.size(), kServerExtension);
  EXPECT_EQ("4711", line[3]);
  EXPECT_EQ("idle", line[kServerState]);

  FakeWebAdapter adapter(mRouter.host, mRouter.port);
  FakeWebAdapter::Request request;
  EXPECT_EQ("0 127.0.0.1 9001", adapter.getServer(request));
  line = serverLine("127.0.0.1:9001");
  ASSERT_GT(line.size(), kServerExtension);
  EXPECT_EQ("assigned", line[kServerState]);
  EXPECT_EQ("1", line[kServerHits]);
  EXPECT_EQ("/shop/index.html", line[kServerTask]);
  EXPECT_EQ("10.0.0.7", line[kServerClient]);
  EXPECT_EQ("html", line[kServerExtension]);

  // While the only server is busy: try later, and time-out on the last try.
  ASSERT_EQ(0, as.working());
  EXPECT_EQ("working", serverLine("127.0.0.1:9001")[kServerState]);
  request.tries = 1;
  EXPECT_EQ("1", adapter.getServer(request));
  request.tries = 2;
  EXPECT_EQ("4", adapter.getServer(request));

  ASSERT_EQ(0, as.idle());
  EXPECT_EQ("idle", serverLine("127.0.0.1:9001")[kServerState]);

  line = poolLine();
  ASSERT_GT(line.size(), kPoolTimeouts);
  EXPECT_EQ("1", line[kPoolIdle]);
  EXPECT_EQ("1", line[kPoolServers]);
  EXPECT_EQ("1", line[kPoolHits]);
  EXPECT_EQ("2", line[kPoolMisses]);
  EXPECT_EQ("1", line[kPoolTimeouts]);

  // A pool nobody serves: try later until the last try.
  request.pool = "Nobody";
  request.tries = 0;
  EXPECT_EQ("1", adapter.getServer(request));
  request.tries = 2;
  EXPECT_EQ("4", adapter.getServer(request));
  // A malformed request is answered with an error, not dropped.
  EXPECT_EQ("3 1", adapter.exchange("7 nonsense"));
}

TEST_F(SingleRouterTest, ClientAffinityAndExtensionLimit) {
  FakeAppServer first("127.0.0.1:9101"), second("127.0.0.1:9102");
  announce(first);
  announce(second);
  FakeWebAdapter adapter(mRouter.host, mRouter.port);

  // Each client is given a server; after both became idle again each client
  // gets the server it had before.
  FakeWebAdapter::Request c1, c2;
  c1.client = "10.1.1.1";
  c2.client = "10.2.2.2";
  c1.site = c2.site = "-";
  const std::string s1 = adapter.getServer(c1);
  const std::string s2 = adapter.getServer(c2);
  ASSERT_THAT(s1, ::testing::StartsWith("0 127.0.0.1 91"));
  ASSERT_THAT(s2, ::testing::StartsWith("0 127.0.0.1 91"));
  ASSERT_NE(s1, s2);
  for (FakeAppServer* as : {&first, &second}) {
    ASSERT_EQ(0, as->working());
    ASSERT_EQ(0, as->idle());
  }
  EXPECT_EQ(s2, adapter.getServer(c2));
  EXPECT_EQ(s1, adapter.getServer(c1));
  std::vector<std::string> pool = poolLine();
  ASSERT_GT(pool.size(), kPoolTimeouts);
  EXPECT_EQ("2", pool[kPoolByClient]);
  EXPECT_EQ("2", pool[kPoolAssigned]);

  // Both servers are assigned to ".html" requests now. Finish one of them:
  // a limit of 1 for the extension is reached with one idle server left.
  FakeAppServer& freed = s1 == "0 127.0.0.1 9101" ? first : second;
  ASSERT_EQ(0, freed.working());
  ASSERT_EQ(0, freed.idle());
  FakeWebAdapter::Request limited;
  limited.client = "10.3.3.3";
  limited.extMax = 1;
  limited.tries = 2;  // a limit refuses even on the last try
  EXPECT_EQ("2", adapter.getServer(limited));
  // Another extension is not affected.
  limited.extension = "jsp";
  EXPECT_THAT(adapter.getServer(limited), ::testing::StartsWith("0 127.0.0.1 91"));

  pool = poolLine();
  ASSERT_GT(pool.size(), kPoolTimeouts);
  EXPECT_EQ("1", pool[kPoolLimitByExtension]);
  EXPECT_EQ("0", pool[kPoolIdle]);
  EXPECT_EQ("0", pool[kPoolTimeouts]);
}

TEST_F(SingleRouterTest, CacheDataReachesTheOtherServerOfThePool) {
  FakeAppServer sender("127.0.0.1:9201"), receiver("127.0.0.1:9202");
  announce(sender);
  announce(receiver);
  std::string cache;
  ASSERT_EQ(0, sender.idle(CacheItem("product/42"), &cache));
  EXPECT_EQ("", cache);  // a server never gets its own items back
  ASSERT_EQ(0, receiver.idle("", &cache));
  EXPECT_EQ(CacheItem("product/42"), cache);
  ASSERT_EQ(0, receiver.idle("", &cache));
  EXPECT_EQ("", cache);
}

TEST_F(SingleRouterTest, DisconnectedServerDisappearsFromTheMonitor) {
  FakeAppServer leaving("127.0.0.1:9301"), staying("127.0.0.1:9302");
  announce(leaving);
  announce(staying);
  FakeWebAdapter adapter(mRouter.host, mRouter.port);
  ASSERT_EQ("0 127.0.0.1 9301", adapter.getServer(FakeWebAdapter::Request()));
  ASSERT_EQ(0, leaving.working());

  leaving.disconnect();
  ASSERT_TRUE(WaitUntil([&] { return serverLine("127.0.0.1:9301").empty(); }, 3000));
  EXPECT_FALSE(serverLine("127.0.0.1:9302").empty());
  std::vector<std::string> pool = poolLine();
  ASSERT_GT(pool.size(), kPoolWorking);
  EXPECT_EQ("1", pool[kPoolServers]);
  EXPECT_EQ("0", pool[kPoolWorking]);
  EXPECT_EQ("0 127.0.0.1 9302", adapter.getServer(FakeWebAdapter::Request()));

  // The pool goes with its last server: it has no peers.
  staying.disconnect();
  ASSERT_TRUE(WaitUntil([&] { return poolLine().empty(); }, 3000));
  EXPECT_EQ("", mMonitor.query(10));
}

TEST_F(SingleRouterTest, ServerSendingGarbageIsDroppedAndTheRouterGoesOn) {
  FakeAppServer as("127.0.0.1:9401");
  announce(as);
  ASSERT_EQ(-1, as.request(42, "whatever", "", nullptr));
  EXPECT_TRUE(as.closedByPeer(2000));
  EXPECT_TRUE(WaitUntil([&] { return serverLine("127.0.0.1:9401").empty(); }, 3000));
  // An idle report from a server the router does not know closes that connection.
  FakeAppServer stranger("127.0.0.1:9402");
  ASSERT_TRUE(stranger.connectTo(mRouter.host, mRouter.mcPort));
  EXPECT_EQ(-1, stranger.idle());
  FakeAppServer again("127.0.0.1:9401");
  announce(again);
  EXPECT_FALSE(serverLine("127.0.0.1:9401").empty());
  EXPECT_FALSE(mProcess.exited());
}

}  // namespace
