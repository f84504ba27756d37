// Tests of the peer router link: the four messages on the wire, the peer's
// new/up/down state with its log lines, the send thread's cycle and wake-up,
// the monitor line and the per-pool cache readers. A fake peer router on
// 127.0.0.1 records what arrives and answers like a router.
#include "KTMCServer.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "FakePeerRouter.h"
#include "KTBuffer.h"
#include "KTMCServerList.h"
#include "SocketTestSupport.h"
#include "VXASPool.h"
#include "VXCacheInfo.h"
#include "VXCacheQueue.h"

namespace {

using peertest::CountLines;
using peertest::FakePeerRouter;

const char* const kOwnHost = "10.0.0.1";
const unsigned short kOwnPort = 4711;

// An owned peer record.
class Peer {
 public:
  Peer(unsigned short port, KTLog* pLog) : log_(pLog) {
    status_ = KTMCServerNew(&mc_, "127.0.0.1", port, kOwnHost, kOwnPort, pLog);
  }
  ~Peer() {
    if (mc_ != nullptr) KTMCServerFree(&mc_, log_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  KTMCServer* get() const { return mc_; }
  KTStatus status() const { return status_; }
  KTMCStatus state() const {
    KTMCStatus state = KTMCSTATUS_STARTED;
    EXPECT_EQ(0, KTMCServerGetStatus(mc_, &state, log_));
    return state;
  }

 private:
  KTLog* log_;
  KTMCServer* mc_ = nullptr;
  KTStatus status_ = 0;
};

// An owned cache queue.
class Queue {
 public:
  explicit Queue(int slots = 16) { EXPECT_EQ(0, CacheQueueNew(&queue_, slots, nullptr)); }
  ~Queue() { CacheQueueFree(&queue_, nullptr); }
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;
  CacheQueue* get() const { return queue_; }
  int readers() const {
    int count = -1;
    EXPECT_EQ(0, CacheQueueGetCacheInfoCount(queue_, &count, nullptr));
    return count;
  }

 private:
  CacheQueue* queue_ = nullptr;
};

// An owned text buffer, empty at first.
using Text = CKTBuffer;

std::string MonitorLine(KTMCServer* pMC, KTLog* pLog) {
  KTMCServerList* pList = nullptr;
  EXPECT_EQ(0, KTMCServerListNew(&pList, pLog));
  EXPECT_EQ(0, KTMCServerListAdd(pList, pMC, pLog));
  Text line;
  EXPECT_EQ(0, KTMCServerListForEach(pList, KTMCServerMonitorServer, pLog, (KTBuffer*)line, pLog));
  EXPECT_EQ(0, KTMCServerListClear(pList, pLog));
  EXPECT_EQ(0, KTMCServerListFree(&pList, pLog));
  return line.str();
}

std::string PeerText(const FakePeerRouter& peer) {
  return "[127.0.0.1]:" + std::to_string(peer.port());
}

class KTMCServerTest : public ::testing::Test {
 protected:
  // The send thread stays asleep unless a test shortens the cycle.
  void SetUp() override { KTMCServerSetSendCycle(60000); }
  void TearDown() override {
    KTMCServerSetSendThreads(1);
    KTMCServerSetSendCycle(0);
    KTMCServerSetReplyTimeout(0);
    KTClearTestClock();
  }
  sockettest::FileLog log_;
};

TEST_F(KTMCServerTest, RefusesBadArgumentsAndHostsLongerThan255Characters) {
  KTMCServer* pMC = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTMCServerNew(nullptr, "127.0.0.1", 1, kOwnHost, 1, log_));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTMCServerNew(&pMC, nullptr, 1, kOwnHost, 1, log_));
  const std::string longHost(256, 'h');
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTMCServerNew(&pMC, longHost.c_str(), 1, kOwnHost, 1, log_));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTMCServerNew(&pMC, "127.0.0.1", 1, longHost.c_str(), 1, log_));
  EXPECT_EQ(nullptr, pMC);
  EXPECT_TRUE(log_.contains("KTMCServerNew(): host name too long"));

  // A 255-character own host fits exactly and is sent as it is.
  FakePeerRouter peer;
  const std::string ownHost(255, 'o');
  ASSERT_EQ(0, KTMCServerNew(&pMC, "127.0.0.1", peer.port(), ownHost.c_str(), 9, log_));
  EXPECT_STREQ("127.0.0.1", KTMCServerHost(pMC));
  EXPECT_EQ(peer.port(), KTMCServerPort(pMC));
  EXPECT_EQ(nullptr, KTMCServerHost(nullptr));
  Text names;
  EXPECT_EQ(0, KTMCServerSendInitial(pMC, names, log_));
  ASSERT_EQ(1u, peer.count(20));
  EXPECT_EQ("20 0 " + ownHost + ":9", peer.messages(20)[0].header);
  EXPECT_EQ(0, KTMCServerFree(&pMC, log_));
  EXPECT_EQ(nullptr, pMC);
}

TEST_F(KTMCServerTest, SharedPoolWithoutCacheActivityIsSentEveryCycle) {
  KTMCServerSetSendCycle(40);
  FakePeerRouter peer;
  Peer mc(peer.port(), log_);
  ASSERT_EQ(0, mc.status());
  Queue queue;
  ASSERT_EQ(0, KTMCServerAddPoolCacheInfo(mc.get(), "PoolA", queue.get(), log_));

  ASSERT_TRUE(peer.waitForCount(5, 3, 3000));
  for (const peertest::Message& message : peer.messages(5)) {
    EXPECT_EQ("5 0 10.0.0.1:4711 PoolA 1", message.header);
    EXPECT_EQ("", message.data);
  }
  EXPECT_EQ(KTMCSTATUS_CONNECTED, mc.state());
  EXPECT_EQ(1, CountLines(log_.text(), "broadcast MC_REQUEST_UPDATECACHE to MC " + PeerText(peer) +
                                           " succeeded"));
}

TEST_F(KTMCServerTest, QueuedDataIsSentOnceWhenTheThreadIsWoken) {
  FakePeerRouter peer;
  Peer mc(peer.port(), log_);
  Queue queue;
  ASSERT_EQ(0, KTMCServerAddPoolCacheInfo(mc.get(), "PoolA", queue.get(), log_));
  ASSERT_EQ(0, CacheQueueAddData(queue.get(), "a\x01\x01" "bc\x01\x01", log_));

  ASSERT_EQ(0, KTMCServerCacheWackup(mc.get(), log_));
  ASSERT_TRUE(peer.waitForCount(5, 1, 2000));
  EXPECT_EQ("5 7 10.0.0.1:4711 PoolA 1", peer.messages(5)[0].header);
  EXPECT_EQ("a\x01\x01" "bc\x01\x01", peer.messages(5)[0].data);

  // The read position moved: the next cycle carries nothing.
  ASSERT_EQ(0, KTMCServerCacheWackup(mc.get(), log_));
  ASSERT_TRUE(peer.waitForCount(5, 2, 2000));
  EXPECT_EQ("5 0 10.0.0.1:4711 PoolA 1", peer.messages(5)[1].header);
}

TEST_F(KTMCServerTest, PeerDownAtStartIsLoggedOnceThenSilentUntilItComesBack) {
  KTMCServerSetSendCycle(25);
  FakePeerRouter peer;
  peer.stop();
  Peer mc(peer.port(), log_);
  ASSERT_EQ(0, mc.status());

  Text names;
  EXPECT_EQ(0, KTMCServerSendInitial(mc.get(), names, log_));
  EXPECT_EQ("", names.str());
  EXPECT_EQ(KTMCSTATUS_SHUTDOWN, mc.state());
  const std::string failed = "broadcast MC_REQUEST_INITIALPOOL to MC " + PeerText(peer) + " failed";
  EXPECT_EQ(1, CountLines(log_.text(), failed));

  Queue queue;
  ASSERT_EQ(0, KTMCServerAddPoolCacheInfo(mc.get(), "PoolA", queue.get(), log_));
  const std::string before = log_.text();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // about ten cycles
  EXPECT_EQ(before, log_.text());
  EXPECT_EQ(KTMCSTATUS_SHUTDOWN, mc.state());

  ASSERT_TRUE(peer.start());
  ASSERT_TRUE(peer.waitForCount(5, 3, 3000));
  const std::string succeeded =
      "broadcast MC_REQUEST_UPDATECACHE to MC " + PeerText(peer) + " succeeded";
  EXPECT_EQ(1, CountLines(log_.text(), succeeded));
  EXPECT_EQ(1, CountLines(log_.text(), failed));
  EXPECT_EQ(KTMCSTATUS_CONNECTED, mc.state());
}

TEST_F(KTMCServerTest, ReplyOtherThanOkMarksThePeerDown) {
  FakePeerRouter peer;
  peer.setReply(5, "2 0\n");
  Peer mc(peer.port(), log_);

  EXPECT_EQ(0, KTMCServerSendCache(mc.get(), "PoolA", "x\x01\x01", log_));
  EXPECT_EQ(KTMCSTATUS_SHUTDOWN, mc.state());
  const std::string responded =
      "KTMCServerSendCache: error: " + PeerText(peer) + " responded \"2 0\"";
  const std::string failed = "broadcast MC_REQUEST_UPDATECACHE to MC " + PeerText(peer) + " failed";
  EXPECT_EQ(1, CountLines(log_.text(), responded));
  EXPECT_EQ(1, CountLines(log_.text(), failed));

  // Reply errors are always logged; the state change only once.
  EXPECT_EQ(0, KTMCServerSendCache(mc.get(), "PoolA", "", log_));
  EXPECT_EQ(2, CountLines(log_.text(), responded));
  EXPECT_EQ(1, CountLines(log_.text(), failed));

  peer.setReply(5, "0 0\n");
  EXPECT_EQ(0, KTMCServerSendCache(mc.get(), "PoolA", "", log_));
  EXPECT_EQ(KTMCSTATUS_CONNECTED, mc.state());
}

TEST_F(KTMCServerTest, SilentPeerTimesOutAndIsMarkedDown) {
  KTMCServerSetReplyTimeout(100);
  FakePeerRouter peer;
  peer.setSilent(5);
  Peer mc(peer.port(), log_);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, KTMCServerSendCache(mc.get(), "PoolA", "", log_));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(KTMCSTATUS_SHUTDOWN, mc.state());
  EXPECT_EQ(1u, peer.count(5));
}

TEST_F(KTMCServerTest, StartupQuestionReturnsThePeersPoolNames) {
  FakePeerRouter peer;
  peer.setReply(20, "0 14\nPoolA\r\nPoolB\r\n");
  Peer mc(peer.port(), log_);
  Text names;
  EXPECT_EQ(0, KTMCServerSendInitial(mc.get(), names, log_));
  EXPECT_EQ("PoolA\r\nPoolB\r\n", names.str());
  ASSERT_EQ(1u, peer.count(20));
  EXPECT_EQ("20 0 10.0.0.1:4711", peer.messages(20)[0].header);
  EXPECT_EQ(KTMCSTATUS_CONNECTED, mc.state());
  EXPECT_EQ(1, CountLines(log_.text(), "broadcast MC_REQUEST_INITIALPOOL to MC " + PeerText(peer) +
                                           " succeeded"));
}

TEST_F(KTMCServerTest, UnreadableStartupReplyFailsAndMarksThePeerDown) {
  FakePeerRouter peer;
  Peer mc(peer.port(), log_);
  Text names;

  peer.setReply(20, "hello\n");
  EXPECT_EQ(1, KTMCServerSendInitial(mc.get(), names, log_));
  EXPECT_TRUE(log_.contains(
      "KTMCServerSendInitial(): failed to read request code and data size from the following request \"hello\""));
  EXPECT_EQ(KTMCSTATUS_SHUTDOWN, mc.state());

  // An absurd length is refused instead of being allocated and waited for.
  peer.setReply(20, "0 999999999\n");
  EXPECT_EQ(1, KTMCServerSendInitial(mc.get(), names, log_));
  EXPECT_EQ("", names.str());

  // "0 -1" is an empty answer: start-up goes on with no pool names; other
  // negative lengths stay invalid.
  peer.setReply(20, "0 -1\n");
  EXPECT_EQ(0, KTMCServerSendInitial(mc.get(), names, log_));
  EXPECT_EQ("", names.str());
  peer.setReply(20, "0 -2\n");
  EXPECT_EQ(1, KTMCServerSendInitial(mc.get(), names, log_));
  // A length beyond an int does not read; wrapped, it would be 4 bytes.
  peer.setReply(20, "0 4294967300\nabcd");
  EXPECT_EQ(1, KTMCServerSendInitial(mc.get(), names, log_));
  EXPECT_EQ("", names.str());
  EXPECT_TRUE(log_.contains("the following request \"0 4294967300\""));

  // Fewer data bytes than announced: the read fails and is reported.
  KTMCServerSetReplyTimeout(100);
  peer.setReply(20, "0 10\nabc");
  EXPECT_NE(0, KTMCServerSendInitial(mc.get(), names, log_));
  EXPECT_EQ("", names.str());
}

TEST_F(KTMCServerTest, PoolAnnouncementsReportFailureOnlyForAPeerThatWasUp) {
  FakePeerRouter peer;
  KTMCServerList* pList = nullptr;
  ASSERT_EQ(0, KTMCServerListNew(&pList, log_));
  KTMCServer* pMC = nullptr;
  ASSERT_EQ(0, KTMCServerNew(&pMC, "127.0.0.1", peer.port(), kOwnHost, kOwnPort, log_));
  ASSERT_EQ(0, KTMCServerListAdd(pList, pMC, log_));
  ASPool* pPool = nullptr;
  ASSERT_EQ(0, ASPoolNew(&pPool, "PoolA", 8, log_));

  EXPECT_EQ(0, KTMCServerListForEach(pList, KTMCServerSendNewPool, log_, pPool, (KTLog*)log_));
  ASSERT_EQ(1u, peer.count(21));
  EXPECT_EQ("21 0 10.0.0.1:4711 PoolA 1", peer.messages(21)[0].header);
  EXPECT_EQ(1, CountLines(log_.text(), "broadcast MC_REQUEST_NEWPOOL to MC " + PeerText(peer) +
                                           " succeeded"));

  EXPECT_EQ(0, KTMCServerListForEach(pList, KTMCServerSendReleasePool, log_, pPool, (KTLog*)log_));
  ASSERT_EQ(1u, peer.count(22));
  EXPECT_EQ("22 0 10.0.0.1:4711 PoolA 1", peer.messages(22)[0].header);

  peer.stop();
  EXPECT_EQ(0, KTMCServerListForEach(pList, KTMCServerSendReleasePool, log_, pPool, (KTLog*)log_));
  EXPECT_EQ(1, CountLines(log_.text(), "broadcast MC_REQUEST_RELEASEPOOL to MC " + PeerText(peer) +
                                           " failed"));
  EXPECT_EQ(0, KTMCServerListForEach(pList, KTMCServerSendNewPool, log_, pPool, (KTLog*)log_));
  EXPECT_EQ(0, CountLines(log_.text(), "broadcast MC_REQUEST_NEWPOOL to MC " + PeerText(peer) +
                                           " failed"));

  // A peer that was never up: the failure changes its state without a line.
  Peer fresh(peer.port(), log_);
  KTMCServerList* pFreshList = nullptr;
  ASSERT_EQ(0, KTMCServerListNew(&pFreshList, log_));
  ASSERT_EQ(0, KTMCServerListAdd(pFreshList, fresh.get(), log_));
  EXPECT_EQ(0, KTMCServerListForEach(pFreshList, KTMCServerSendNewPool, log_, pPool, (KTLog*)log_));
  EXPECT_EQ(KTMCSTATUS_SHUTDOWN, fresh.state());
  EXPECT_EQ(0, CountLines(log_.text(), "MC_REQUEST_NEWPOOL to MC " + PeerText(peer) + " failed"));
  EXPECT_EQ(0, KTMCServerListClear(pFreshList, log_));
  EXPECT_EQ(0, KTMCServerListFree(&pFreshList, log_));

  EXPECT_EQ(0, ASPoolFree(&pPool, log_));
  EXPECT_EQ(0, KTMCServerListFree(&pList, log_));
}

TEST_F(KTMCServerTest, MonitorLineShowsStateAndSecondsSinceContact) {
  KTSetTestClock(1700000000, 0);
  FakePeerRouter peer;
  Peer mc(peer.port(), log_);
  const std::string host = "127.0.0.1:" + std::to_string(peer.port());
  EXPECT_EQ("M " + host + " new -1\r\n", MonitorLine(mc.get(), log_));

  EXPECT_EQ(0, KTMCServerSendCache(mc.get(), "PoolA", "", log_));
  KTAdvanceTestClock(7000);
  EXPECT_EQ("M " + host + " up 7\r\n", MonitorLine(mc.get(), log_));

  // The end of the peer's connection: logged once, however often it is reported.
  EXPECT_EQ(0, KTMCServerSetShutdown(mc.get(), log_));
  EXPECT_EQ(0, KTMCServerSetShutdown(mc.get(), log_));
  EXPECT_EQ(1, CountLines(log_.text(), "MC " + PeerText(peer) + " shut down"));
  EXPECT_EQ("M " + host + " down 7\r\n", MonitorLine(mc.get(), log_));
}

TEST_F(KTMCServerTest, MatchingComparesHostAndPortAndStampsTheContact) {
  KTSetTestClock(1700000000, 0);
  FakePeerRouter peer;
  Peer mc(peer.port(), log_);
  int matches = -1;
  EXPECT_EQ(0, KTMCServerMatches(mc.get(), "127.0.0.1", (unsigned short)(peer.port() + 1), &matches, log_));
  EXPECT_EQ(0, matches);
  EXPECT_EQ(0, KTMCServerMatches(mc.get(), "127.0.0.2", peer.port(), &matches, log_));
  EXPECT_EQ(0, matches);
  EXPECT_NE(std::string::npos, MonitorLine(mc.get(), log_).find(" new -1"));
  EXPECT_EQ(0, KTMCServerMatches(mc.get(), "127.0.0.1", peer.port(), &matches, log_));
  EXPECT_EQ(1, matches);
  EXPECT_NE(std::string::npos, MonitorLine(mc.get(), log_).find(" new 0"));
}

TEST_F(KTMCServerTest, PoolReadersAreRegisteredOnceAndReleasedWithTheRecord) {
  FakePeerRouter peer;
  Queue queue;
  Queue other;
  {
    Peer mc(peer.port(), log_);
    ASSERT_EQ(0, KTMCServerAddPoolCacheInfo(mc.get(), "PoolA", queue.get(), log_));
    EXPECT_EQ(0, KTMCServerAddPoolCacheInfo(mc.get(), "PoolA", queue.get(), log_));
    EXPECT_TRUE(log_.contains("KTMCServerAddPoolCacheInfo(): cache already info exists."));
    EXPECT_EQ(1, queue.readers());

    EXPECT_EQ(0, KTMCServerRemovePoolCacheInfo(mc.get(), "PoolA", queue.get(), log_));
    EXPECT_EQ(0, queue.readers());
    EXPECT_EQ(0, KTMCServerRemovePoolCacheInfo(mc.get(), "PoolA", queue.get(), log_));
    EXPECT_TRUE(log_.contains("KTMCServerRemovePoolCacheInfo(): cache info not exists."));

    ASSERT_EQ(0, KTMCServerAddPoolCacheInfo(mc.get(), "PoolA", queue.get(), log_));
    ASSERT_EQ(0, KTMCServerAddPoolCacheInfo(mc.get(), "PoolB", other.get(), log_));
  }
  // Freeing the record unregistered both readers.
  EXPECT_EQ(0, queue.readers());
  EXPECT_EQ(0, other.readers());
}

TEST_F(KTMCServerTest, FreeStopsAWaitingSendThreadPromptly) {
  FakePeerRouter peer;
  KTMCServer* pMC = nullptr;
  ASSERT_EQ(0, KTMCServerNew(&pMC, "127.0.0.1", peer.port(), kOwnHost, kOwnPort, log_));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, KTMCServerFree(&pMC, log_));
  EXPECT_EQ(nullptr, pMC);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_FALSE(log_.contains("terminate ReqRouter"));
}

TEST_F(KTMCServerTest, WithoutASendThreadOnlyTheOwnerSends) {
  KTMCServerSetSendCycle(20);
  KTMCServerSetSendThreads(0);
  FakePeerRouter peer;
  Queue queue;
  {
    Peer mc(peer.port(), log_);
    ASSERT_EQ(0, mc.status());
    ASSERT_EQ(0, KTMCServerAddPoolCacheInfo(mc.get(), "PoolA", queue.get(), log_));
    ASSERT_EQ(0, CacheQueueAddData(queue.get(), "a\x01\x01", log_));
    ASSERT_EQ(0, KTMCServerCacheWackup(mc.get(), log_));
    // Several cycles pass and nothing leaves on its own.
    EXPECT_FALSE(peer.waitForCount(5, 1, 200));

    ASSERT_EQ(0, KTMCServerCacheStandup(mc.get(), log_));
    ASSERT_TRUE(peer.waitForCount(5, 1, 2000));
    EXPECT_EQ("5 3 10.0.0.1:4711 PoolA 1", peer.messages(5)[0].header);
  }
  // The record went without a thread to stop, and released its reader.
  EXPECT_EQ(0, queue.readers());
  EXPECT_FALSE(log_.contains("SendThreadStop()"));
}

}  // namespace
