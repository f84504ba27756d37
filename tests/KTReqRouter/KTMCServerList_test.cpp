// Tests of the peer list: duplicate refusal, lookups by address and by
// connection, for-each semantics, waking every send thread, ownership on
// release, and concurrent readers while the list grows.
#include "KTMCServerList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "FakePeerRouter.h"
#include "KTBuffer.h"
#include "KTSocket.h"
#include "SocketTestSupport.h"
#include "VXCacheQueue.h"

namespace {

using peertest::CountLines;
using peertest::FakePeerRouter;

class KTMCServerListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KTMCServerSetSendCycle(60000);
    ASSERT_EQ(0, KTMCServerListNew(&list_, log_));
  }
  void TearDown() override {
    if (list_ != nullptr) {
      EXPECT_EQ(0, KTMCServerListFree(&list_, log_));
    }
    KTMCServerSetSendCycle(0);
  }
  // A record for 127.0.0.1:port, owned by the caller until added.
  KTMCServer* NewPeer(unsigned short port) {
    KTMCServer* pMC = nullptr;
    EXPECT_EQ(0, KTMCServerNew(&pMC, "127.0.0.1", port, "10.0.0.1", 4711, log_));
    return pMC;
  }
  int Size() {
    int count = -1;
    EXPECT_EQ(0, KTMCServerListSize(list_, &count, log_));
    return count;
  }
  sockettest::FileLog log_;
  KTMCServerList* list_ = nullptr;
};

TEST_F(KTMCServerListTest, RefusesASecondRecordWithTheSameHostAndPort) {
  ASSERT_EQ(0, KTMCServerListAdd(list_, NewPeer(5001), log_));
  KTMCServer* pDuplicate = NewPeer(5001);
  EXPECT_EQ(ERROR_UNKNOWN, KTMCServerListAdd(list_, pDuplicate, log_));
  EXPECT_TRUE(log_.contains(
      "KTMCServerListAdd(): the given IP:port combination [127.0.0.1]:5001 already exists in the current list"));
  EXPECT_EQ(1, Size());
  EXPECT_EQ(0, KTMCServerFree(&pDuplicate, log_));

  ASSERT_EQ(0, KTMCServerListAdd(list_, NewPeer(5002), log_));
  EXPECT_EQ(2, Size());
}

TEST_F(KTMCServerListTest, FindsRecordsByAddressAndByConnection) {
  KTMCServer* pFirst = NewPeer(5001);
  KTMCServer* pSecond = NewPeer(5002);
  ASSERT_EQ(0, KTMCServerListAdd(list_, pFirst, log_));
  ASSERT_EQ(0, KTMCServerListAdd(list_, pSecond, log_));

  KTMCServer* pFound = nullptr;
  EXPECT_EQ(0, KTMCServerListGetMatching(list_, "127.0.0.1", 5002, &pFound, log_));
  EXPECT_EQ(pSecond, pFound);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTMCServerListGetMatching(list_, "127.0.0.1", 5002, &pFound, log_));
  pFound = nullptr;
  EXPECT_EQ(0, KTMCServerListGetMatching(list_, "127.0.0.1", 5003, &pFound, log_));
  EXPECT_EQ(nullptr, pFound);

  // Connections: two real descriptors, one bound to the second record.
  KTSocket* pSocketA = nullptr;
  KTSocket* pSocketB = nullptr;
  ASSERT_EQ(0, KTServerSocketNew(&pSocketA, "127.0.0.1", 0, AF_INET, log_));
  ASSERT_EQ(0, KTServerSocketNew(&pSocketB, "127.0.0.1", 0, AF_INET, log_));
  ASSERT_EQ(0, KTMCServerSetSocket(pSecond, pSocketB, log_));
  EXPECT_EQ(0, KTMCServerListGetMatchingForSocket(list_, pSocketB, &pFound, log_));
  EXPECT_EQ(pSecond, pFound);
  pFound = nullptr;
  EXPECT_EQ(0, KTMCServerListGetMatchingForSocket(list_, pSocketA, &pFound, log_));
  EXPECT_EQ(nullptr, pFound);

  // Shut down or bound to nothing: the connection no longer names the peer.
  ASSERT_EQ(0, KTMCServerSetShutdown(pSecond, log_));
  EXPECT_EQ(0, KTMCServerListGetMatchingForSocket(list_, pSocketB, &pFound, log_));
  EXPECT_EQ(nullptr, pFound);
  ASSERT_EQ(0, KTMCServerSetSocket(pFirst, pSocketA, log_));
  ASSERT_EQ(0, KTMCServerSetSocket(pFirst, nullptr, log_));
  EXPECT_EQ(0, KTMCServerListGetMatchingForSocket(list_, pSocketA, &pFound, log_));
  EXPECT_EQ(nullptr, pFound);

  KTSocketFree(&pSocketA, log_);
  KTSocketFree(&pSocketB, log_);
}

TEST_F(KTMCServerListTest, RemoveOfAnAbsentRecordIsReportedWithoutALogLine) {
  KTMCServer* pListed = NewPeer(5001);
  KTMCServer* pOther = NewPeer(5002);
  ASSERT_EQ(0, KTMCServerListAdd(list_, pListed, log_));
  const std::string before = log_.text();
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, KTMCServerListRemove(list_, pOther, log_));
  EXPECT_EQ(before, log_.text());
  EXPECT_EQ(0, KTMCServerListRemove(list_, pListed, log_));
  EXPECT_EQ(0, Size());
  EXPECT_EQ(0, KTMCServerFree(&pListed, log_));
  EXPECT_EQ(0, KTMCServerFree(&pOther, log_));
}

long CountAndStopAtSecond(void* pElement, va_list args) {
  int* pCalls = va_arg(args, int*);
  (void)pElement;
  return ++*pCalls == 2 ? 7 : 0;
}

// Calls a list operation from inside the walk: the walk must not hold the lock.
long AskSize(void* pElement, va_list args) {
  KTMCServerList* pList = va_arg(args, KTMCServerList*);
  int* pSize = va_arg(args, int*);
  (void)pElement;
  return KTMCServerListSize(pList, pSize, nullptr);
}

TEST_F(KTMCServerListTest, ForEachStopsAtTheFirstNonZeroResultAndHoldsNoLockMeanwhile) {
  for (unsigned short port = 5001; port <= 5003; ++port) {
    ASSERT_EQ(0, KTMCServerListAdd(list_, NewPeer(port), log_));
  }
  int calls = 0;
  EXPECT_EQ(7, KTMCServerListForEach(list_, CountAndStopAtSecond, log_, &calls));
  EXPECT_EQ(2, calls);

  int size = 0;
  EXPECT_EQ(0, KTMCServerListForEach(list_, AskSize, log_, list_, &size));
  EXPECT_EQ(3, size);

  KTBuffer* pLines = nullptr;
  ASSERT_EQ(0, KTBufferStrNew(&pLines, ""));
  EXPECT_EQ(0, KTMCServerListForEach(list_, KTMCServerMonitorServer, log_, pLines, (KTLog*)log_));
  EXPECT_EQ(std::string("M 127.0.0.1:5001 new -1\r\nM 127.0.0.1:5002 new -1\r\nM 127.0.0.1:5003 new -1\r\n"),
            std::string(pLines->pData));
  KTBufferFree(&pLines);
}

TEST_F(KTMCServerListTest, WackupWakesTheSendThreadOfEveryRecord) {
  FakePeerRouter first;
  FakePeerRouter second;
  CacheQueue* pQueue = nullptr;
  ASSERT_EQ(0, CacheQueueNew(&pQueue, 8, log_));
  for (FakePeerRouter* peer : {&first, &second}) {
    KTMCServer* pMC = NewPeer(peer->port());
    ASSERT_EQ(0, KTMCServerListAdd(list_, pMC, log_));
    ASSERT_EQ(0, KTMCServerAddPoolCacheInfo(pMC, "PoolA", pQueue, log_));
  }
  ASSERT_EQ(0, CacheQueueAddData(pQueue, "item\x01\x01", log_));
  ASSERT_EQ(0, KTMCServerListWackup(list_, log_));
  ASSERT_TRUE(first.waitForCount(5, 1, 2000));
  ASSERT_TRUE(second.waitForCount(5, 1, 2000));
  EXPECT_EQ("item\x01\x01", first.messages(5)[0].data);
  EXPECT_EQ("item\x01\x01", second.messages(5)[0].data);

  // Records go first: they unregister their readers from the still-living queue.
  EXPECT_EQ(0, KTMCServerListFree(&list_, log_));
  int readers = -1;
  EXPECT_EQ(0, CacheQueueGetCacheInfoCount(pQueue, &readers, log_));
  EXPECT_EQ(0, readers);
  EXPECT_EQ(0, CacheQueueFree(&pQueue, log_));
}

TEST_F(KTMCServerListTest, ClearDropsRecordsWithoutFreeingThem) {
  KTMCServer* pMC = NewPeer(5001);
  ASSERT_EQ(0, KTMCServerListAdd(list_, pMC, log_));
  KTMCServerList* pBorrowing = nullptr;
  ASSERT_EQ(0, KTMCServerListNew(&pBorrowing, log_));
  ASSERT_EQ(0, KTMCServerListAdd(pBorrowing, pMC, log_));
  EXPECT_EQ(0, KTMCServerListClear(pBorrowing, log_));
  EXPECT_EQ(0, KTMCServerListFree(&pBorrowing, log_));
  EXPECT_EQ(nullptr, pBorrowing);
  // Still alive and listed in the owning list.
  KTMCServer* pFound = nullptr;
  EXPECT_EQ(0, KTMCServerListGetMatching(list_, "127.0.0.1", 5001, &pFound, log_));
  EXPECT_EQ(pMC, pFound);
}

TEST_F(KTMCServerListTest, ReadersRunWhileTheListGrows) {
  constexpr int kRecords = 12;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    KTBuffer* pLines = nullptr;
    KTBufferStrNew(&pLines, "");
    while (!done.load()) {
      KTMCServer* pFound = nullptr;
      KTMCServerListGetMatching(list_, "127.0.0.1", 6000 + kRecords - 1, &pFound, nullptr);
      KTBufferStrSet(pLines, "");
      KTMCServerListForEach(list_, KTMCServerMonitorServer, nullptr, pLines, (KTLog*)nullptr);
    }
    KTBufferFree(&pLines);
  });
  for (int i = 0; i < kRecords; ++i) {
    EXPECT_EQ(0, KTMCServerListAdd(list_, NewPeer((unsigned short)(6000 + i)), log_));
  }
  done = true;
  reader.join();
  EXPECT_EQ(kRecords, Size());
  EXPECT_EQ(0, CountLines(log_.text(), "already exists"));
}

}  // namespace
