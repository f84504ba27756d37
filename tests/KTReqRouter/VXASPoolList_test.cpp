// Tests of the pool list: lookups across pools, removing empty pools and
// departed peers, the walk's failure report, spreading "DefaultPool" data to
// the other pools, and get-server and monitor readers running while the
// message-center side adds and removes pools.
#include "VXASPoolList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ASRequestInfo.h"
#include "FakePeerRouter.h"
#include "KTBuffer.h"
#include "KTSocket.h"
#include "SocketTestSupport.h"
#include "VXCacheQueue.h"

namespace {

using peertest::FakePeerRouter;

class ASPoolListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KTMCServerSetSendCycle(60000);
    ASSERT_EQ(0, KTMCServerListNew(&peers_, log_));
    ASSERT_EQ(0, ASPoolListNew(&list_, log_));
  }
  void TearDown() override {
    // As the router does: peers first, then the pools with their servers.
    EXPECT_EQ(0, KTMCServerListFree(&peers_, log_));
    EXPECT_EQ(0, ASPoolListFree(&list_, log_));
    EXPECT_EQ(nullptr, list_);
    KTMCServerSetSendCycle(0);
  }
  ASPool* AddPool(const char* name) {
    ASPool* pPool = nullptr;
    EXPECT_EQ(0, ASPoolNew(&pPool, name, 16, log_));
    EXPECT_EQ(0, ASPoolListAdd(list_, pPool, log_));
    return pPool;
  }
  KTASServer* AddServer(ASPool* pPool, unsigned short port) {
    KTASServer* pAS = nullptr;
    EXPECT_EQ(0, KTASServerNew(&pAS, ASPoolName(pPool), "10.1.0.1", port, 0, 1, log_));
    EXPECT_EQ(0, ASPoolAddServer(pPool, pAS, peers_, log_));
    return pAS;
  }
  KTMCServer* AddPeer(unsigned short port) {
    KTMCServer* pMC = nullptr;
    EXPECT_EQ(0, KTMCServerNew(&pMC, "127.0.0.1", port, "10.0.0.1", 4711, log_));
    EXPECT_EQ(0, KTMCServerListAdd(peers_, pMC, log_));
    return pMC;
  }
  ASPool* Find(const char* name) {
    ASPool* pPool = nullptr;
    EXPECT_EQ(0, ASPoolListGetMatching(list_, name, &pPool, log_));
    return pPool;
  }
  CacheQueue* PeerQueue(ASPool* pPool) {
    CacheQueue* pQueue = nullptr;
    EXPECT_EQ(0, ASPoolGetMCQueue(pPool, &pQueue, log_));
    return pQueue;
  }
  int Size() {
    int count = -1;
    EXPECT_EQ(0, ASPoolListSize(list_, &count, log_));
    return count;
  }
  std::string Exchange(ASPool* pPool, KTASServer* pAS) {
    KTBuffer* pResponse = nullptr;
    EXPECT_EQ(0, KTBufferStrNew(&pResponse, ""));
    EXPECT_EQ(0, ASPoolAddServerData(pPool, pAS, nullptr, pResponse, log_));
    std::string text(pResponse->pData, pResponse->dataLength);
    KTBufferFree(&pResponse);
    return text;
  }

  sockettest::FileLog log_;
  KTMCServerList* peers_ = nullptr;
  ASPoolList* list_ = nullptr;
};

TEST_F(ASPoolListTest, FindsPoolsAndServersAcrossPools) {
  ASPool* pA = AddPool("PoolA");
  ASPool* pB = AddPool("PoolB");
  AddServer(pA, 7001);
  KTASServer* pServer = AddServer(pB, 7002);
  EXPECT_EQ(pB, Find("PoolB"));
  EXPECT_EQ(nullptr, Find("PoolC"));
  EXPECT_EQ(nullptr, Find("poolb"));

  ASPool* pPool = nullptr;
  KTASServer* pFound = nullptr;
  EXPECT_EQ(0, ASPoolListGetMatchingServer(list_, "10.1.0.1", 7002, &pPool, &pFound, log_));
  EXPECT_EQ(pB, pPool);
  EXPECT_EQ(pServer, pFound);
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            ASPoolListGetMatchingServer(list_, "10.1.0.1", 7002, &pPool, &pFound, log_));
  pPool = nullptr;
  pFound = nullptr;
  EXPECT_EQ(0, ASPoolListGetMatchingServer(list_, "10.1.0.1", 7003, &pPool, &pFound, log_));
  EXPECT_EQ(nullptr, pPool);
  EXPECT_EQ(nullptr, pFound);

  KTSocket* pSocket = nullptr;
  ASSERT_EQ(0, KTServerSocketNew(&pSocket, "127.0.0.1", 0, AF_INET, log_));
  ASSERT_EQ(0, KTASServerSetSocket(pServer, pSocket, log_));
  EXPECT_EQ(0, ASPoolListGetMatchingForSocket(list_, pSocket, &pPool, &pFound, log_));
  EXPECT_EQ(pB, pPool);
  EXPECT_EQ(pServer, pFound);
  KTSocketFree(&pSocket, log_);
}

TEST_F(ASPoolListTest, OnlyPoolsWithoutServersAndPeersAreRemoved) {
  ASPool* pWithServer = AddPool("WithServer");
  ASPool* pWithPeer = AddPool("WithPeer");
  ASPool* pEmpty = AddPool("Empty");
  AddServer(pWithServer, 7001);
  ASSERT_EQ(0, ASPoolAddMC(pWithPeer, AddPeer(5001), log_));

  for (ASPool* pPool : {pWithServer, pWithPeer}) {
    ASPool* pKept = pPool;
    EXPECT_EQ(0, ASPoolListRemoveEmptyPool(list_, &pKept, log_));
    EXPECT_EQ(pPool, pKept);
  }
  EXPECT_EQ(0, ASPoolListRemoveEmptyPool(list_, &pEmpty, log_));
  EXPECT_EQ(nullptr, pEmpty);
  EXPECT_EQ(nullptr, Find("Empty"));
  EXPECT_EQ(2, Size());
}

TEST_F(ASPoolListTest, RemovingAPeerDropsThePoolsItAloneKeptAlive) {
  KTMCServer* pGone = AddPeer(5001);
  KTMCServer* pStays = AddPeer(5002);
  ASPool* pOnlyGone = AddPool("OnlyGone");
  ASPool* pGoneAndServer = AddPool("GoneAndServer");
  ASPool* pBothPeers = AddPool("BothPeers");
  ASPool* pOther = AddPool("Other");
  ASSERT_EQ(0, ASPoolAddMC(pOnlyGone, pGone, log_));
  ASSERT_EQ(0, ASPoolAddMC(pGoneAndServer, pGone, log_));
  AddServer(pGoneAndServer, 7001);
  ASSERT_EQ(0, ASPoolAddMC(pBothPeers, pGone, log_));
  ASSERT_EQ(0, ASPoolAddMC(pBothPeers, pStays, log_));
  ASSERT_EQ(0, ASPoolAddMC(pOther, pStays, log_));

  EXPECT_EQ(0, ASPoolListRemoveMC(list_, pGone, log_));
  EXPECT_EQ(nullptr, Find("OnlyGone"));
  EXPECT_EQ(pGoneAndServer, Find("GoneAndServer"));
  EXPECT_EQ(pBothPeers, Find("BothPeers"));
  EXPECT_EQ(pOther, Find("Other"));
  for (ASPool* pPool : {pGoneAndServer, pBothPeers, pOther}) {
    KTMCServer* pFound = nullptr;
    EXPECT_EQ(0, ASPoolGetMatchingMC(pPool, "127.0.0.1", 5001, &pFound, log_));
    EXPECT_EQ(nullptr, pFound) << ASPoolName(pPool);
  }
  int readers = -1;
  EXPECT_EQ(0, CacheQueueGetCacheInfoCount(PeerQueue(pBothPeers), &readers, log_));
  EXPECT_EQ(1, readers);
}

long FailAtSecondPool(void* pElement, va_list args) {
  int* pCalls = va_arg(args, int*);
  (void)pElement;
  return ++*pCalls == 2 ? ERROR_NO_SUCH_ELEMENT : 0;
}

TEST_F(ASPoolListTest, AFailingWalkStopsAndIsLogged) {
  AddPool("PoolA");
  AddPool("PoolB");
  AddPool("PoolC");
  int calls = 0;
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, ASPoolListForEach(list_, FailAtSecondPool, log_, &calls));
  EXPECT_EQ(2, calls);
  EXPECT_TRUE(log_.contains("KTListVForEach(): error at KTListVForEach pools (9)"));
}

TEST_F(ASPoolListTest, DefaultPoolDataReachesEveryPoolsServersButOnlyItsOwnPeers) {
  FakePeerRouter router;
  ASPool* pDefault = AddPool("DefaultPool");
  ASPool* pA = AddPool("PoolA");
  ASPool* pB = AddPool("PoolB");
  KTASServer* pDefaultServer = AddServer(pDefault, 7001);
  KTASServer* pAServer = AddServer(pA, 7002);
  KTASServer* pBServer = AddServer(pB, 7003);
  KTMCServer* pMC = nullptr;
  ASSERT_EQ(0, KTMCServerNew(&pMC, "127.0.0.1", router.port(), "10.0.0.1", 4711, log_));
  ASSERT_EQ(0, KTMCServerListAdd(peers_, pMC, log_));
  ASSERT_EQ(0, ASPoolAddMC(pA, pMC, log_));
  ASSERT_EQ(0, ASPoolAddMC(pDefault, pMC, log_));

  // What the message-center handler does with script data for "DefaultPool".
  const char* data = "d\x01\x01";
  ASSERT_EQ(0, ASPoolAddScriptData(pDefault, data, 0, log_));
  EXPECT_EQ(0, ASPoolListForEach(list_, ASPoolAddScriptDataIterator, log_, pDefault, data,
                                 (KTLog*)log_));

  EXPECT_EQ("d\x01\x01", Exchange(pDefault, pDefaultServer));
  EXPECT_EQ("d\x01\x01", Exchange(pA, pAServer));
  EXPECT_EQ("d\x01\x01", Exchange(pB, pBServer));
  int items = -1;
  EXPECT_EQ(0, CacheQueueGetCount(PeerQueue(pA), &items, log_));
  EXPECT_EQ(0, items);
  EXPECT_EQ(0, CacheQueueGetCount(PeerQueue(pDefault), &items, log_));
  EXPECT_EQ(1, items);

  // A global reset with the broadcast flag leaves the peer queues alone.
  EXPECT_EQ(0, ASPoolListForEach(list_, ASPoolResetCacheIterator, log_, 1, (KTLog*)log_));
  EXPECT_EQ("All\x01\x01", Exchange(pB, pBServer));
  EXPECT_EQ(0, CacheQueueGetCount(PeerQueue(pDefault), &items, log_));
  EXPECT_EQ(1, items);
}

TEST_F(ASPoolListTest, ReadersUsePoolsSafelyWhileTheyAreAddedAndRemoved) {
  constexpr int kRounds = 200;
  std::atomic<bool> done{false};

  // The get-server thread: lookup and selection under the read lock.
  auto getServer = [&] {
    KTBuffer* pHost = nullptr;
    KTBufferStrNew(&pHost, "");
    CASRequestInfo request;
    request.uri = "/x";
    while (!done.load()) {
      KTReaderGuard guard(ASPoolListMutex(list_));
      EXPECT_TRUE(guard.locked());
      ASPool* pPool = nullptr;
      ASPoolListGetMatching(list_, "Busy", &pPool, nullptr);
      if (pPool == nullptr) continue;
      unsigned short port = 0;
      ASPoolGetIdleServer(pPool, &request, pHost, &port, nullptr);
      ASPoolAddTimeout(pPool, nullptr);
    }
    KTBufferFree(&pHost);
  };
  // The monitor thread: one walk over every pool under the read lock.
  auto monitor = [&] {
    KTBuffer* pReply = nullptr;
    KTBufferStrNew(&pReply, "");
    while (!done.load()) {
      KTBufferStrSet(pReply, "");
      KTReaderGuard guard(ASPoolListMutex(list_));
      ASPoolListForEach(list_, ASPoolMonitorPool, nullptr, pReply, (KTLog*)nullptr);
      ASPoolListForEach(list_, ASPoolMonitorServer, nullptr, pReply, (KTLog*)nullptr);
      ASPoolListForEach(list_, ASPoolNameASUsed, nullptr, pReply, (KTLog*)nullptr);
      ASPoolListForEach(list_, ASPoolVResetPool, nullptr, (KTLog*)nullptr);
    }
    KTBufferFree(&pReply);
  };
  std::vector<std::thread> readers;
  readers.emplace_back(getServer);
  readers.emplace_back(getServer);
  readers.emplace_back(monitor);

  // The message-center thread: pools come and go.
  AddPool("Steady");
  for (int round = 0; round < kRounds; ++round) {
    ASPool* pPool = AddPool("Busy");
    KTASServer* pFirst = AddServer(pPool, 7001);
    KTASServer* pSecond = AddServer(pPool, 7002);
    for (KTASServer* pAS : {pFirst, pSecond}) {
      EXPECT_EQ(0, ASPoolRemoveServer(pPool, pAS, peers_, log_));
      EXPECT_EQ(0, KTASServerFree(&pAS, log_));
    }
    EXPECT_EQ(0, ASPoolListRemoveEmptyPool(list_, &pPool, log_));
    EXPECT_EQ(nullptr, pPool);
  }
  done = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(1, Size());
}

#ifndef NDEBUG
using ASPoolListDeathTest = ASPoolListTest;

// The lookups and the walk take no lock: they are for the writer thread and
// for threads holding the read lock; any other thread ends the process.
TEST_F(ASPoolListDeathTest, LockFreeLookupsRunOnlyOnTheWriterOrUnderTheReadLock) {
  KTASServer* pServer = AddServer(AddPool("PoolA"), 7001);
  KTSocket* pSocket = nullptr;
  ASSERT_EQ(0, KTServerSocketNew(&pSocket, "127.0.0.1", 0, AF_INET, log_));
  ASSERT_EQ(0, KTASServerSetSocket(pServer, pSocket, log_));
  auto lookUp = [&] {
    ASPool* pPool = nullptr;
    KTASServer* pAS = nullptr;
    int calls = 0;
    bool found = ASPoolListGetMatching(list_, "PoolA", &pPool, nullptr) == 0 && pPool != nullptr;
    pPool = nullptr;
    found = found &&
            ASPoolListGetMatchingServer(list_, "10.1.0.1", 7001, &pPool, &pAS, nullptr) == 0;
    pPool = nullptr;
    pAS = nullptr;
    found = found && ASPoolListGetMatchingForSocket(list_, pSocket, &pPool, &pAS, nullptr) == 0;
    return found && pAS == pServer &&
           ASPoolListForEach(list_, FailAtSecondPool, nullptr, &calls) == 0;
  };
  EXPECT_TRUE(lookUp());  // the creating thread is the writer
  std::thread([&] {
    KTReaderGuard guard(ASPoolListMutex(list_));
    EXPECT_TRUE(lookUp());
  }).join();
  std::thread([&] {
    EXPECT_EQ(0, ASPoolListLockRead(list_, nullptr));
    EXPECT_TRUE(lookUp());
    EXPECT_EQ(0, ASPoolListUnlock(list_, nullptr));
  }).join();
  EXPECT_DEATH(std::thread([&] { lookUp(); }).join(), "does not hold the lock");

  // A thread that records itself as the writer takes over: the former writer now needs the lock.
  std::thread([&] {
    EXPECT_EQ(0, ASPoolListSetWriter(list_, nullptr));
    EXPECT_TRUE(lookUp());
  }).join();
  EXPECT_DEATH(lookUp(), "does not hold the lock");
  {
    KTReaderGuard guard(ASPoolListMutex(list_));
    EXPECT_TRUE(lookUp());
  }
  KTSocketFree(&pSocket, log_);
}
#endif

}  // namespace
