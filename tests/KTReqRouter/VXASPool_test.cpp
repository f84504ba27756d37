// Tests of a pool: name bounds, announcing the first and releasing the last
// server to the peer routers, cache data between the pool's servers and to
// its peers (broadcast and reset rules), the selection counters and the pool
// monitor line. Peer routers are fake routers on 127.0.0.1.
#include "VXASPool.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ASRequestInfo.h"
#include "FakePeerRouter.h"
#include "KTBuffer.h"
#include "SocketTestSupport.h"
#include "VXCacheQueue.h"
// White-box: one test replaces the pool's sub-objects to make their counts fail.
#include "../../src/KTReqRouter/internal/VXASPoolInternal.h"

namespace {

using peertest::FakePeerRouter;

// An owned text buffer, empty at first.
using Text = CKTBuffer;

int QueueCount(CacheQueue* pQueue) {
  int count = -1;
  EXPECT_EQ(0, CacheQueueGetCount(pQueue, &count, nullptr));
  return count;
}

int Readers(CacheQueue* pQueue) {
  int count = -1;
  EXPECT_EQ(0, CacheQueueGetCacheInfoCount(pQueue, &count, nullptr));
  return count;
}

CASRequestInfo Request(int tries = 0) {
  CASRequestInfo info;
  info.uri = "/shop/page";
  info.httpHost = "shop.example";
  info.tries = tries;
  info.maxTries = 3;
  return info;
}

class ASPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KTMCServerSetSendCycle(60000);
    ASSERT_EQ(0, KTMCServerListNew(&peers_, log_));
    ASSERT_EQ(0, ASPoolNew(&pool_, "PoolA", 16, log_));
  }
  void TearDown() override {
    // Servers still in the pool are freed with it; peers before pools (the
    // pool drops its peers without touching them).
    EXPECT_EQ(0, KTMCServerListFree(&peers_, log_));
    if (pool_ != nullptr) {
      EXPECT_EQ(0, ASPoolFree(&pool_, log_));
    }
    for (KTASServer* pAS : loose_) KTASServerFree(&pAS, log_);
    KTMCServerSetSendCycle(0);
  }

  // A server record of this pool; freed by the pool or by the test.
  KTASServer* NewServer(unsigned short port) {
    KTASServer* pAS = nullptr;
    EXPECT_EQ(0, KTASServerNew(&pAS, "PoolA", "10.1.0.1", port, 0, 1000 + port, log_));
    return pAS;
  }
  KTASServer* AddServer(unsigned short port) {
    KTASServer* pAS = NewServer(port);
    EXPECT_EQ(0, ASPoolAddServer(pool_, pAS, peers_, log_));
    return pAS;
  }
  // A peer router record in the global list, for a fake router.
  KTMCServer* AddPeer(const FakePeerRouter& router) {
    KTMCServer* pMC = nullptr;
    EXPECT_EQ(0, KTMCServerNew(&pMC, "127.0.0.1", router.port(), "10.0.0.1", 4711, log_));
    EXPECT_EQ(0, KTMCServerListAdd(peers_, pMC, log_));
    return pMC;
  }
  std::string Exchange(KTASServer* pAS, const char* data) {
    Text response;
    EXPECT_EQ(0, ASPoolAddServerData(pool_, pAS, data, response, log_));
    return response.str();
  }
  CacheQueue* ASQueue(ASPool* pPool) {
    CacheQueue* pQueue = nullptr;
    EXPECT_EQ(0, ASPoolGetASQueue(pPool, &pQueue, log_));
    return pQueue;
  }
  CacheQueue* MCQueue(ASPool* pPool) {
    CacheQueue* pQueue = nullptr;
    EXPECT_EQ(0, ASPoolGetMCQueue(pPool, &pQueue, log_));
    return pQueue;
  }
  // Field `index` of the pool line (0 is "P", 1 the name).
  std::string PoolField(size_t index) {
    std::vector<std::string> fields;
    std::istringstream line(PoolLine());
    for (std::string field; line >> field;) fields.push_back(field);
    return index < fields.size() ? fields[index] : std::string();
  }
  std::string PoolLine() {
    Text line;
    EXPECT_EQ(0, CallPoolIterator(ASPoolMonitorPool, line));
    return line.str();
  }
  long CallPoolIterator(KTListIterator iterator, KTBuffer* pResponse) {
    return Call(iterator, pool_, pResponse, (KTLog*)log_);
  }
  static long Call(KTListIterator iterator, void* pElement, ...) {
    va_list args;
    va_start(args, pElement);
    long result = iterator(pElement, args);
    va_end(args);
    return result;
  }

  sockettest::FileLog log_;
  KTMCServerList* peers_ = nullptr;
  ASPool* pool_ = nullptr;
  std::vector<KTASServer*> loose_;  // servers removed from the pool, freed at the end
};

TEST_F(ASPoolTest, NamesLongerThan99CharactersAreRefused) {
  ASPool* pPool = nullptr;
  const std::string tooLong(100, 'n');
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ASPoolNew(&pPool, tooLong.c_str(), 16, log_));
  EXPECT_EQ(nullptr, pPool);
  EXPECT_TRUE(log_.contains("ASPoolNew(): pool name too long (100 characters, at most 99)"));

  const std::string longest(99, 'n');
  ASSERT_EQ(0, ASPoolNew(&pPool, longest.c_str(), 16, log_));
  char name[100];
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ASPoolGetName(pPool, name, 99, log_));
  EXPECT_TRUE(log_.contains("ASPoolGetName(): string too shortprocedure (name " + longest +
                            ", size: 99, length: 99)"));
  EXPECT_EQ(0, ASPoolGetName(pPool, name, 100, log_));
  EXPECT_EQ(longest, name);
  int matches = 0;
  EXPECT_EQ(0, ASPoolMatches(pPool, longest.c_str(), &matches, log_));
  EXPECT_EQ(1, matches);
  EXPECT_EQ(0, ASPoolMatches(pPool, (longest + "n").c_str(), &matches, log_));
  EXPECT_EQ(0, matches);
  EXPECT_EQ(0, ASPoolFree(&pPool, log_));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ASPoolNew(&pPool, "x", 0, log_));
  EXPECT_EQ(nullptr, pPool);
}

TEST_F(ASPoolTest, FirstServerAnnouncesThePoolAndLastServerReleasesIt) {
  FakePeerRouter first;
  FakePeerRouter second;
  AddPeer(first);
  AddPeer(second);

  // Each peer's send thread delivers the announcement.
  KTASServer* pA = AddServer(7001);
  for (FakePeerRouter* router : {&first, &second}) {
    ASSERT_TRUE(router->waitForCount(21, 1, 2000));
    EXPECT_EQ("21 0 10.0.0.1:4711 PoolA 1", router->messages(21)[0].header);
  }
  KTASServer* pB = AddServer(7002);

  ASSERT_EQ(0, ASPoolRemoveServer(pool_, pA, peers_, log_));
  loose_.push_back(pA);
  ASSERT_EQ(0, ASPoolRemoveServer(pool_, pB, peers_, log_));
  loose_.push_back(pB);
  for (FakePeerRouter* router : {&first, &second}) {
    ASSERT_TRUE(router->waitForCount(22, 1, 2000));
    EXPECT_EQ("22 0 10.0.0.1:4711 PoolA 1", router->messages(22)[0].header);
  }
  // The second server and the first one leaving announced nothing.
  EXPECT_EQ(1u, first.count(21));
  EXPECT_EQ(1u, first.count(22));
  EXPECT_EQ(0, Readers(ASQueue(pool_)));
  int isEmpty = 0;
  EXPECT_EQ(0, ASPoolIsEmpty(pool_, &isEmpty, log_));
  EXPECT_EQ(1, isEmpty);
}

TEST_F(ASPoolTest, FailedAddLeavesNoServerBehindAndWithdrawsTheAnnouncement) {
  FakePeerRouter router;
  AddPeer(router);
  KTASServer* pAS = NewServer(7001);
  loose_.push_back(pAS);
  CacheQueue* pQueue = pool_->pASQueue;
  pool_->pASQueue = nullptr;  // registration on the queue fails
  EXPECT_NE(0, ASPoolAddServer(pool_, pAS, peers_, log_));
  pool_->pASQueue = pQueue;

  KTASServer* pFound = nullptr;
  EXPECT_EQ(0, ASPoolGetMatchingServer(pool_, "10.1.0.1", 7001, &pFound, log_));
  EXPECT_EQ(nullptr, pFound);
  // The release replaces the announcement while it still waits for the send
  // thread; either way the peer's last word on the pool is the release.
  ASSERT_TRUE(router.waitForCount(22, 1, 2000));
  EXPECT_EQ(1u, router.count(22));
  EXPECT_LE(router.count(21), 1u);
  EXPECT_EQ(22, router.messages().back().code);

  // A duplicate host and port is refused; the first server stays.
  KTASServer* pFirst = AddServer(7002);
  KTASServer* pDuplicate = NewServer(7002);
  loose_.push_back(pDuplicate);
  EXPECT_EQ(ERROR_UNKNOWN, ASPoolAddServer(pool_, pDuplicate, peers_, log_));
  EXPECT_EQ(0, ASPoolGetMatchingServer(pool_, "10.1.0.1", 7002, &pFound, log_));
  EXPECT_EQ(pFirst, pFound);
}

TEST_F(ASPoolTest, ServersReceiveEachOthersDataButNeverTheirOwn) {
  KTASServer* pA = AddServer(7001);
  KTASServer* pB = AddServer(7002);
  EXPECT_EQ("", Exchange(pA, "x\x01\x01"));
  EXPECT_EQ("x\x01\x01", Exchange(pB, nullptr));
  EXPECT_EQ("", Exchange(pA, nullptr));

  // A server that joins later sees only what is added after it joined.
  KTASServer* pC = AddServer(7003);
  EXPECT_EQ("", Exchange(pC, nullptr));
  EXPECT_EQ("", Exchange(pB, "y\x01\x01"));
  EXPECT_EQ("y\x01\x01", Exchange(pC, nullptr));
  EXPECT_EQ("y\x01\x01", Exchange(pA, nullptr));
  // Without peers nothing is kept for forwarding.
  EXPECT_EQ(0, QueueCount(MCQueue(pool_)));
}

TEST_F(ASPoolTest, DataIsForwardedOnlyToThePeersOfItsPool) {
  FakePeerRouter ours;
  FakePeerRouter theirs;
  KTMCServer* pOurs = AddPeer(ours);
  KTMCServer* pTheirs = AddPeer(theirs);
  ASSERT_EQ(0, ASPoolAddMC(pool_, pOurs, log_));
  ASPool* pOther = nullptr;
  ASSERT_EQ(0, ASPoolNew(&pOther, "PoolB", 16, log_));
  ASSERT_EQ(0, ASPoolAddMC(pOther, pTheirs, log_));

  KTASServer* pA = AddServer(7001);
  // The pool's announcement wakes both send threads once; let that round end.
  for (FakePeerRouter* router : {&ours, &theirs}) {
    ASSERT_TRUE(router->waitForCount(21, 1, 2000));
    ASSERT_TRUE(router->waitForCount(5, 1, 2000));
    router->clear();
  }
  EXPECT_EQ("", Exchange(pA, "x\x01\x01"));
  ASSERT_TRUE(ours.waitForCount(5, 1, 2000));
  EXPECT_EQ("5 3 10.0.0.1:4711 PoolA 1", ours.messages(5)[0].header);
  EXPECT_EQ("x\x01\x01", ours.messages(5)[0].data);
  // The other pool's peer was not woken and got nothing of PoolA.
  EXPECT_EQ(0u, theirs.count(5));
  EXPECT_EQ(0, QueueCount(MCQueue(pOther)));

  EXPECT_EQ(0, ASPoolRemoveMC(pOther, pTheirs, log_));
  EXPECT_EQ(0, ASPoolFree(&pOther, log_));
}

TEST_F(ASPoolTest, ScriptDataRespectsTheBroadcastFlagAndEmptyPools) {
  FakePeerRouter router;
  KTMCServer* pMC = AddPeer(router);
  ASSERT_EQ(0, ASPoolAddMC(pool_, pMC, log_));

  // No servers: nothing kept for servers, but forwarded.
  EXPECT_EQ(0, ASPoolAddScriptData(pool_, "a\x01\x01", 0, log_));
  EXPECT_EQ(0, QueueCount(ASQueue(pool_)));
  EXPECT_EQ(1, QueueCount(MCQueue(pool_)));
  ASSERT_TRUE(router.waitForCount(5, 1, 2000));
  EXPECT_EQ("a\x01\x01", router.messages(5)[0].data);

  // A broadcast is kept for the servers and never forwarded.
  KTASServer* pA = AddServer(7001);
  EXPECT_EQ(0, ASPoolAddScriptData(pool_, "b\x01\x01", 1, log_));
  EXPECT_EQ(1, QueueCount(MCQueue(pool_)));
  EXPECT_EQ("b\x01\x01", Exchange(pA, nullptr));
  EXPECT_EQ(0, ASPoolAddScriptData(pool_, nullptr, 0, log_));
  EXPECT_EQ(1, QueueCount(MCQueue(pool_)));
}

TEST_F(ASPoolTest, ResetReachesPeersOnlyWithoutTheBroadcastFlag) {
  FakePeerRouter router;
  KTMCServer* pMC = AddPeer(router);
  ASSERT_EQ(0, ASPoolAddMC(pool_, pMC, log_));
  KTASServer* pA = AddServer(7001);
  // The pool's announcement wakes the send thread once; let that round end.
  ASSERT_TRUE(router.waitForCount(21, 1, 2000));
  ASSERT_TRUE(router.waitForCount(5, 1, 2000));
  router.clear();

  EXPECT_EQ(0, ASPoolResetCache(pool_, 1, log_));
  EXPECT_EQ("All\x01\x01", Exchange(pA, nullptr));
  ASSERT_EQ(0, KTMCServerCacheWackup(pMC, log_));
  ASSERT_TRUE(router.waitForCount(5, 1, 2000));
  EXPECT_EQ("", router.messages(5)[0].data);

  EXPECT_EQ(0, ASPoolResetCache(pool_, 0, log_));
  EXPECT_EQ("All\x01\x01", Exchange(pA, nullptr));
  ASSERT_EQ(0, KTMCServerCacheWackup(pMC, log_));
  ASSERT_TRUE(router.waitForCount(5, 2, 2000));
  EXPECT_EQ("All\x01\x01", router.messages(5)[1].data);
}

TEST_F(ASPoolTest, PeersAreAddedOnceAndRemovingAnAbsentPeerChangesNothing) {
  FakePeerRouter first;
  FakePeerRouter second;
  KTMCServer* pFirst = AddPeer(first);
  KTMCServer* pSecond = AddPeer(second);
  ASSERT_EQ(0, ASPoolAddMC(pool_, pFirst, log_));
  ASSERT_EQ(0, ASPoolAddMC(pool_, pFirst, log_));
  EXPECT_EQ(1, Readers(MCQueue(pool_)));
  KTMCServer* pFound = nullptr;
  EXPECT_EQ(0, ASPoolGetMatchingMC(pool_, "127.0.0.1", first.port(), &pFound, log_));
  EXPECT_EQ(pFirst, pFound);

  EXPECT_EQ(0, ASPoolRemoveMC(pool_, pSecond, log_));
  EXPECT_EQ(1, Readers(MCQueue(pool_)));
  int isEmpty = 1;
  EXPECT_EQ(0, ASPoolIsEmpty(pool_, &isEmpty, log_));
  EXPECT_EQ(0, isEmpty);
  EXPECT_EQ(0, ASPoolRemoveMC(pool_, pFirst, log_));
  EXPECT_EQ(0, Readers(MCQueue(pool_)));
  EXPECT_EQ(0, ASPoolIsEmpty(pool_, &isEmpty, log_));
  EXPECT_EQ(1, isEmpty);
}

TEST_F(ASPoolTest, SelectionCountsHitsMissesAndUniqueMisses) {
  Text host;
  unsigned short port = 0;
  CASRequestInfo first = Request(0);
  CASRequestInfo retry = Request(2);
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, ASPoolGetIdleServer(pool_, &first, host, &port, log_));
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, ASPoolGetIdleServer(pool_, &retry, host, &port, log_));
  AddServer(7001);
  EXPECT_EQ(0, ASPoolGetIdleServer(pool_, &first, host, &port, log_));
  EXPECT_EQ("10.1.0.1", host.str());
  EXPECT_EQ(7001, port);
  EXPECT_EQ("1", PoolField(7));   // hits
  EXPECT_EQ("2", PoolField(8));   // misses
  EXPECT_EQ("1", PoolField(21));  // unique misses
  EXPECT_FALSE(log_.contains("ASPoolGetIdleServer(): cannot get idle server"));
}

TEST_F(ASPoolTest, PoolLineCountsServersPerState) {
  std::vector<KTASServer*> servers;
  for (unsigned short port = 7001; port <= 7005; ++port) servers.push_back(AddServer(port));
  ASSERT_EQ(0, KTASServerSetWorking(servers[3], log_));
  ASSERT_EQ(0, KTASServerSetShutdown(servers[4], log_));
  EXPECT_EQ("P PoolA 3 5 0 0 0 0 0 0 0 0 0 0 0 0 1 0 1 0 0 0\r\n", PoolLine());

  // One hit by least recent use, one miss on a first try refused by the extension limit, one time-out.
  Text host;
  unsigned short port = 0;
  CASRequestInfo request = Request(0);
  EXPECT_EQ(0, ASPoolGetIdleServer(pool_, &request, host, &port, log_));
  request.extension = "jsp";
  request.extMaxServers = 0;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, ASPoolGetIdleServer(pool_, &request, host, &port, log_));
  EXPECT_EQ(0, ASPoolAddTimeout(pool_, log_));
  EXPECT_EQ("P PoolA 2 5 0 0 0 1 1 0 0 1 1 0 0 1 1 0 1 0 1 1\r\n", PoolLine());

  EXPECT_EQ(0, Call(ASPoolVResetPool, pool_, (KTLog*)log_));
  EXPECT_EQ("P PoolA 2 5 0 0 0 0 0 0 0 0 0 0 0 1 1 0 1 0 0 0\r\n", PoolLine());
}

TEST_F(ASPoolTest, PoolLinePrintsMinusOneForCountsThatCannotBeRead) {
  AddServer(7001);
  KTMCServerList* pPeers = pool_->pMCServerList;
  CacheQueue* pQueue = pool_->pASQueue;
  pool_->pMCServerList = nullptr;
  pool_->pASQueue = nullptr;
  const std::string line = PoolLine();
  pool_->pMCServerList = pPeers;
  pool_->pASQueue = pQueue;
  EXPECT_EQ("P PoolA 1 1 -1 -1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\r\n", line);
  EXPECT_TRUE(log_.contains("ASPoolMonitorPool(): error get size of MC list (5)"));
  EXPECT_TRUE(log_.contains("ASPoolMonitorPool(): error get size of AS cache (5)"));

  KTASServerList* pServers = pool_->pServerList;
  pool_->pServerList = nullptr;
  const std::string noServers = PoolLine();
  pool_->pServerList = pServers;
  EXPECT_EQ("P PoolA -1 -1 0 0 0 0 0 0 0 0 0 0 0 -1 -1 -1 -1 0 0 0\r\n", noServers);
}

TEST_F(ASPoolTest, ServerAndNameListingsCoverOnlyPoolsWithServers) {
  Text names;
  EXPECT_EQ(0, CallPoolIterator(ASPoolNameASUsed, names));
  EXPECT_EQ("", names.str());
  AddServer(7001);
  AddServer(7002);
  EXPECT_EQ(0, CallPoolIterator(ASPoolNameASUsed, names));
  EXPECT_EQ("PoolA\r\n", names.str());

  Text lines;
  EXPECT_EQ(0, CallPoolIterator(ASPoolMonitorServer, lines));
  EXPECT_EQ(0u, lines.str().find("S PoolA 10.1.0.1:7001 8001 idle "));
  EXPECT_NE(std::string::npos, lines.str().find("\r\nS PoolA 10.1.0.1:7002 8002 idle "));
}

}  // namespace
