// Tests of the router instance: introducing it to peer routers, building it
// from the configuration, running and stopping its listeners.
#include "RequestRouter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Exception.h"
#include "KTBuffer.h"
#include "KTMCServer.h"
#include "KTMCServerList.h"
#include "KTStatus.h"
#include "KTStringList.h"
#include "Log.h"
#include "RouterSystemSupport.h"
#include "VXASPool.h"
#include "VXASPoolList.h"
#include "WIException.h"
#include "XMLConfig.h"

using namespace routertest;
using ::testing::HasSubstr;

namespace {

// A peer router that answers every start-up question with a fixed reply
// and records the request lines it received.
class FakePeer {
 public:
  explicit FakePeer(const std::string& reply) : mReply(reply) {
    mListenFd = ListenOn("127.0.0.1", 0, 8, &mPort);
    mThread = std::thread([this] { serve(); });
  }
  ~FakePeer() {
    mStop.store(true);
    mThread.join();
    for (int fd : mConnections) close(fd);
    if (mListenFd >= 0) close(mListenFd);
  }
  uint16_t port() const { return mPort; }
  void setReply(const std::string& reply) {
    std::lock_guard<std::mutex> guard(mMutex);
    mReply = reply;
  }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> guard(mMutex);
    return mRequests;
  }

 private:
  void serve() {
    while (!mStop.load()) {
      std::vector<struct pollfd> fds{{mListenFd, POLLIN, 0}};
      for (int fd : mConnections) fds.push_back({fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        int fd = accept(mListenFd, nullptr, nullptr);
        if (fd >= 0) mConnections.push_back(fd);
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        SetReceiveTimeout(fds[i].fd, 500);
        std::string line;
        if (!ReceiveLine(fds[i].fd, -1, &line)) continue;
        {
          std::lock_guard<std::mutex> guard(mMutex);
          mRequests.push_back(line);
        }
        int code = 0, length = 0;
        sscanf(line.c_str(), "%d %d", &code, &length);
        if (length > 0) ReceiveUpTo(fds[i].fd, (size_t)length, -1);
        std::string reply = "0 0\n";
        if (code == 20) {
          std::lock_guard<std::mutex> guard(mMutex);
          reply = mReply;
        }
        SendAll(fds[i].fd, reply);
      }
    }
  }

  std::string mReply;
  int mListenFd = -1;
  uint16_t mPort = 0;
  std::vector<int> mConnections;
  std::thread mThread;
  std::atomic<bool> mStop{false};
  std::mutex mMutex;
  std::vector<std::string> mRequests;
};

// The lists an instance would own, for the AddToMCServerList tests.
class PeerStartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, KTMCServerListNew(&mMCs, CLog::log));
    ASSERT_EQ(0, ASPoolListNew(&mPools, CLog::log));
  }
  void TearDown() override {
    KTMCServerListFree(&mMCs, CLog::log);
    ASPoolListFree(&mPools, CLog::log);
  }
  int peerCount() {
    int count = -1;
    EXPECT_EQ(0, KTMCServerListSize(mMCs, &count, CLog::log));
    return count;
  }
  KTMCServer* peer(uint16_t port) {
    KTMCServer* pMC = nullptr;
    EXPECT_EQ(0, KTMCServerListGetMatching(mMCs, "127.0.0.1", port, &pMC, CLog::log));
    return pMC;
  }
  ASPool* pool(const char* name) {
    ASPool* pPool = nullptr;
    EXPECT_EQ(0, ASPoolListGetMatching(mPools, name, &pPool, CLog::log));
    return pPool;
  }
  bool poolHasPeer(const char* name, uint16_t port) {
    ASPool* pPool = pool(name);
    KTMCServer* pMC = nullptr;
    return pPool != nullptr &&
           ASPoolGetMatchingMC(pPool, "127.0.0.1", port, &pMC, CLog::log) == 0 && pMC != nullptr;
  }

  const IPEndpoint mOwn{"127.0.0.1", 4242, true};
  KTMCServerList* mMCs = nullptr;
  ASPoolList* mPools = nullptr;
};

TEST_F(PeerStartupTest, NullListsAreRefused) {
  try {
    AddToMCServerList(IPEndpoint("127.0.0.1", 1), nullptr, mPools, mOwn, 10);
    FAIL() << "no exception";
  } catch (const CWIException& e) {
    EXPECT_EQ(ERROR_INVALID_PARAMETER, e.getStatus());
    EXPECT_THAT(e.what(), HasSubstr("AddToMCServerList(): wrong arguments passed to the procedure"));
  }
  EXPECT_THROW(AddToMCServerList(IPEndpoint("127.0.0.1", 1), mMCs, nullptr, mOwn, 10), CWIException);
  EXPECT_EQ(0, peerCount());
}

TEST_F(PeerStartupTest, PeerJoinsTheCompletelyNamedPools) {
  FakePeer fake("0 9\nA\r\nB\r\n\r\nC");
  ASSERT_NE(0, fake.port());
  // Pool B exists already; it must not be created a second time.
  ASPool* pB = nullptr;
  ASSERT_EQ(0, ASPoolNew(&pB, "B", 10, CLog::log));
  ASSERT_EQ(0, ASPoolListAdd(mPools, pB, CLog::log));

  AddToMCServerList(IPEndpoint("127.0.0.1", fake.port()), mMCs, mPools, mOwn, 10);

  ASSERT_EQ(1u, fake.requests().size());
  EXPECT_EQ("20 0 127.0.0.1:4242\n", fake.requests()[0]);
  EXPECT_EQ(1, peerCount());
  KTMCServer* pMC = peer(fake.port());
  ASSERT_NE(nullptr, pMC);
  KTMCStatus state = KTMCSTATUS_SHUTDOWN;
  ASSERT_EQ(0, KTMCServerGetStatus(pMC, &state, CLog::log));
  EXPECT_EQ(KTMCSTATUS_CONNECTED, state);
  EXPECT_TRUE(poolHasPeer("A", fake.port()));
  EXPECT_EQ(pB, pool("B"));
  EXPECT_TRUE(poolHasPeer("B", fake.port()));
  EXPECT_EQ(nullptr, pool("C"));  // not terminated by a line end
  EXPECT_EQ(nullptr, pool(""));
  int pools = 0;
  ASSERT_EQ(0, ASPoolListSize(mPools, &pools, CLog::log));
  EXPECT_EQ(2, pools);
}

// A name with white space could not travel back in our codes 5, 21 and 22
// and would break the monitor's lines; the other names still count.
TEST_F(PeerStartupTest, PoolNamesWithWhiteSpaceAreLeftOut) {
  FakePeer fake("0 18\nA B\r\nC\tD\r\nE\r\nF\vG\r\n");
  AddToMCServerList(IPEndpoint("127.0.0.1", fake.port()), mMCs, mPools, mOwn, 10);
  EXPECT_EQ(1, peerCount());
  EXPECT_TRUE(poolHasPeer("E", fake.port()));
  int pools = 0;
  ASSERT_EQ(0, ASPoolListSize(mPools, &pools, CLog::log));
  EXPECT_EQ(1, pools);
}

TEST_F(PeerStartupTest, PeerThatIsDownIsListedWithoutPools) {
  const uint16_t closed = FreePort();
  AddToMCServerList(IPEndpoint("127.0.0.1", closed), mMCs, mPools, mOwn, 10);
  KTMCServer* pMC = peer(closed);
  ASSERT_NE(nullptr, pMC);
  KTMCStatus state = KTMCSTATUS_CONNECTED;
  ASSERT_EQ(0, KTMCServerGetStatus(pMC, &state, CLog::log));
  EXPECT_EQ(KTMCSTATUS_SHUTDOWN, state);
  int pools = -1;
  ASSERT_EQ(0, ASPoolListSize(mPools, &pools, CLog::log));
  EXPECT_EQ(0, pools);
}

TEST_F(PeerStartupTest, UnresolvablePeerFailsAndLeavesNothing) {
  try {
    AddToMCServerList(IPEndpoint("no-such-host.invalid", 4000), mMCs, mPools, mOwn, 10);
    FAIL() << "no exception";
  } catch (const CWIException& e) {
    EXPECT_NE(0, e.getStatus());
    EXPECT_THAT(e.what(), HasSubstr("CKTMCServer(): KTMCServerNew() failed"));
  }
  EXPECT_EQ(0, peerCount());
}

TEST_F(PeerStartupTest, RefusedPeerLeavesNoPoolPointingAtIt) {
  FakePeer fake("0 3\nA\r\n");
  const IPEndpoint endpoint("127.0.0.1", fake.port());
  AddToMCServerList(endpoint, mMCs, mPools, mOwn, 10);
  KTMCServer* first = peer(fake.port());
  ASSERT_NE(nullptr, first);

  // The same peer once more: its new record joins the new pool N (pool A
  // keeps the first record), and then the global list refuses it.
  fake.setReply("0 6\nA\r\nN\r\n");
  try {
    AddToMCServerList(endpoint, mMCs, mPools, mOwn, 10);
    FAIL() << "no exception";
  } catch (const CWIException& e) {
    EXPECT_THAT(e.what(), HasSubstr("AddToMCServerList(): error add MC to global list [127.0.0.1]:" +
                                    std::to_string(fake.port()) + " (status"));
  }
  EXPECT_EQ(1, peerCount());
  EXPECT_EQ(first, peer(fake.port()));
  // The freed record is in no pool: N went away with it, A still has the first.
  EXPECT_EQ(nullptr, pool("N"));
  ASSERT_NE(nullptr, pool("A"));
  KTMCServer* inA = nullptr;
  ASSERT_EQ(0, ASPoolGetMatchingMC(pool("A"), "127.0.0.1", fake.port(), &inA, CLog::log));
  EXPECT_EQ(first, inA);
}

// Builds router instances from a configuration held in memory and runs
// them in a thread of the test.
class RouterInstanceTest : public ::testing::Test {
 protected:
  void load(const std::vector<RouterDef>& routers) { mConfig.parse(ConfigXml(routers)); }

  // Runs the instance in a thread; stop() sets its stop flag and waits.
  void start(CRequestRouter& router) {
    mThread = std::thread([this, &router] {
      try {
        router.run(mStopFlag);
      } catch (const std::exception& e) {
        mError = e.what();
      }
      mDone.store(true);
    });
  }
  // True when run() returned within timeoutMs of the stop request.
  bool stop(int timeoutMs = 5000) {
    __atomic_store_n(&mStopFlag, 1, __ATOMIC_RELEASE);
    const bool ended = WaitUntil([this] { return mDone.load(); }, timeoutMs);
    if (mThread.joinable()) mThread.join();
    return ended;
  }
  void TearDown() override {
    if (mThread.joinable()) stop();
  }

  XMLConfig::CConfigFile mConfig;
  CKTStringList mIPList;
  int mStopFlag = 0;
  std::thread mThread;
  std::atomic<bool> mDone{false};
  std::string mError;
};

TEST_F(RouterInstanceTest, UnknownRouterOrOneWithoutMessageCenterCannotBeBuilt) {
  RouterDef rr1 = MakeRouter("RR1");
  RouterDef rr2 = MakeRouter("RR2");
  rr2.mcPort = 0;
  load({rr1, rr2});
  try {
    CRequestRouter router(mConfig, mIPList.getList(), "RR9");
    FAIL() << "built an unknown router";
  } catch (const CException& e) {
    EXPECT_STREQ("RequestRouters::routerByName(): Request router 'RR9' not defined", e.what());
  }
  try {
    CRequestRouter router(mConfig, mIPList.getList(), "RR2");
    FAIL() << "built a router without message center";
  } catch (const CException& e) {
    EXPECT_STREQ("Message center not found: RR2", e.what());
  }
}

TEST_F(RouterInstanceTest, LoneRouterServesItsListenersUntilStopped) {
  RouterDef rr1 = MakeRouter("RR1");
  load({rr1});
  CRequestRouter router(mConfig, mIPList.getList(), "RR1");
  int count = -1;
  ASSERT_EQ(0, KTMCServerListSize(router.impl().getMCServerList(), &count, CLog::log));
  EXPECT_EQ(0, count);
  ASSERT_EQ(0, ASPoolListSize(router.impl().getPoolList(), &count, CLog::log));
  EXPECT_EQ(0, count);

  start(router);
  ASSERT_TRUE(WaitUntilListening(rr1, 5000));
  EXPECT_EQ(rr1.port, router.impl().getServerPort());
  EXPECT_EQ(rr1.mcPort, router.impl().messageCenterPort());
  EXPECT_EQ(rr1.monitorPort, router.impl().monitorPort());

  // The listeners share the instance's lists: a server announced on the
  // message center is handed out by the get-server listener and shown by
  // the monitor.
  FakeAppServer as("127.0.0.1:9901");
  ASSERT_TRUE(as.connectTo(rr1.host, rr1.mcPort));
  ASSERT_EQ(0, as.announce("Pool1"));
  FakeWebAdapter adapter(rr1.host, rr1.port);
  EXPECT_EQ("0 127.0.0.1 9901", adapter.getServer(FakeWebAdapter::Request()));
  MonitorClient monitor;
  ASSERT_TRUE(monitor.connectTo(rr1.host, rr1.monitorPort));
  EXPECT_THAT(monitor.query(10), HasSubstr("S Pool1 127.0.0.1:9901 4711 assigned"));
  EXPECT_EQ("", monitor.query(12));

  EXPECT_TRUE(stop());
  EXPECT_EQ("", mError);
}

TEST_F(RouterInstanceTest, ReleasedRouterFreesItsPorts) {
  RouterDef rr1 = MakeRouter("RR1");
  load({rr1});
  {
    CRequestRouter router(mConfig, mIPList.getList(), "RR1");
    start(router);
    ASSERT_TRUE(WaitUntilListening(rr1, 5000));
    ASSERT_TRUE(stop());
  }
  EXPECT_FALSE(TcpPortAnswers(rr1.host, rr1.mcPort));
  EXPECT_FALSE(TcpPortAnswers(rr1.host, rr1.monitorPort));
  const int udp = BindSocket(rr1.host, rr1.port, SOCK_DGRAM);
  EXPECT_GE(udp, 0);
  if (udp >= 0) close(udp);
}

TEST_F(RouterInstanceTest, WithoutMonitorPortOnlyTwoListenersRun) {
  RouterDef rr1 = MakeRouter("RR1");
  rr1.monitorPort = 0;
  load({rr1});
  CRequestRouter router(mConfig, mIPList.getList(), "RR1");
  start(router);
  ASSERT_TRUE(WaitUntilListening(rr1, 5000));
  EXPECT_EQ(0, router.impl().monitorPort());
  EXPECT_TRUE(stop());
  EXPECT_EQ("", mError);
}

TEST_F(RouterInstanceTest, PeerDownAtStartUpIsListedAndStartUpGoesOn) {
  RouterDef rr1 = MakeRouter("RR1");
  RouterDef rr2 = MakeRouter("RR2");
  load({rr1, rr2});
  CRequestRouter router(mConfig, mIPList.getList(), "RR1");
  int count = -1;
  ASSERT_EQ(0, KTMCServerListSize(router.impl().getMCServerList(), &count, CLog::log));
  EXPECT_EQ(1, count);
  KTMCServer* pMC = nullptr;
  ASSERT_EQ(0, KTMCServerListGetMatching(router.impl().getMCServerList(), "127.0.0.1", rr2.mcPort,
                                         &pMC, CLog::log));
  ASSERT_NE(nullptr, pMC);
  KTMCStatus state = KTMCSTATUS_CONNECTED;
  ASSERT_EQ(0, KTMCServerGetStatus(pMC, &state, CLog::log));
  EXPECT_EQ(KTMCSTATUS_SHUTDOWN, state);
  ASSERT_EQ(0, ASPoolListSize(router.impl().getPoolList(), &count, CLog::log));
  EXPECT_EQ(0, count);

  start(router);
  ASSERT_TRUE(WaitUntilListening(rr1, 5000));
  MonitorClient monitor;
  ASSERT_TRUE(monitor.connectTo(rr1.host, rr1.monitorPort));
  EXPECT_THAT(monitor.query(12), HasSubstr("M 127.0.0.1:" + std::to_string(rr2.mcPort) + " down"));
  EXPECT_TRUE(stop());
}

TEST_F(RouterInstanceTest, PeerThatDoesNotResolveFailsTheInstance) {
  RouterDef rr1 = MakeRouter("RR1");
  RouterDef rr2 = MakeRouter("RR2");
  rr2.host = "no-such-host.invalid";
  load({rr1, rr2});
  EXPECT_THROW(CRequestRouter(mConfig, mIPList.getList(), "RR1"), CWIException);
}

TEST_F(RouterInstanceTest, ListenerThatCannotBindEndsRunWithAnError) {
  RouterDef rr1 = MakeRouter("RR1");
  load({rr1});
  const int taken = BindSocket(rr1.host, rr1.port, SOCK_DGRAM);
  ASSERT_GE(taken, 0);
  CRequestRouter router(mConfig, mIPList.getList(), "RR1");
  start(router);
  // run() ends by itself; the stop flag is never set.
  EXPECT_TRUE(WaitUntil([this] { return mDone.load(); }, 5000));
  EXPECT_EQ("One thread has finished with an error", mError);
  close(taken);
}

}  // namespace
