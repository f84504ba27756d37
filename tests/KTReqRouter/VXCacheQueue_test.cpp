// Tests of the cache queue: ring bounds, overflow flags, item parsing, reset and range reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CacheTestSupport.h"
#include "TestSupport.h"
#include "VXCacheInfo.h"
#include "VXCacheQueue.h"

namespace {

using cachetest::D;
using cachetest::items;
using testsupport::Buffer;

class CacheQueueTest : public cachetest::CacheTest {
 protected:
  int count() {
    int n = -99;
    EXPECT_EQ(0, CacheQueueGetCount(mQueue, &n, nullptr));
    return n;
  }
  int head() {
    int i = -99;
    EXPECT_EQ(0, CacheQueueGetHeadIndex(mQueue, &i, nullptr));
    return i;
  }
  int tail() {
    int i = -99;
    EXPECT_EQ(0, CacheQueueGetTailIndex(mQueue, &i, nullptr));
    return i;
  }
  std::string range(int first, int last) {
    Buffer out("stale");
    EXPECT_EQ(0, CacheQueueGetData(mQueue, first, last, out.get(), nullptr));
    return out.str();
  }
  std::string all() { return range(head(), tail()); }
};

TEST_F(CacheQueueTest, FullRingDropsOldestAndFlagsOnlyReadersAtIt) {
  makeQueue(4);
  CacheInfo* behind = addReader();  // never reads: positioned at the oldest item
  CacheInfo* current = addReader();
  add(items({"i1", "i2", "i3"}));
  EXPECT_EQ(3, count());
  EXPECT_EQ(items({"i1", "i2", "i3"}), update(current));

  add(items({"i4"}));
  EXPECT_EQ(3, count());
  EXPECT_EQ(1, head());
  EXPECT_EQ(0, tail());
  EXPECT_EQ(items({"i2", "i3", "i4"}), all());
  EXPECT_EQ(1, overflow(behind));
  EXPECT_EQ(0, overflow(current));
  EXPECT_EQ("All" + D, update(behind));
  EXPECT_EQ(items({"i4"}), update(current));
  // Both are up to date now and stay unflagged by the next drop.
  add(items({"i5"}));
  EXPECT_EQ(0, overflow(behind));
  EXPECT_EQ(0, overflow(current));
  EXPECT_EQ(items({"i5"}), update(behind));
}

TEST_F(CacheQueueTest, ReaderBeyondTheDroppedItemIsNotFlagged) {
  makeQueue(4);
  add(items({"i1"}));
  CacheInfo* atSecond = addReader();  // positioned at slot 1, the item after i1
  add(items({"i2", "i3"}));
  add(items({"i4"}));  // drops i1 only
  EXPECT_EQ(0, overflow(atSecond));
  EXPECT_EQ(items({"i2", "i3", "i4"}), update(atSecond));
  add(items({"i5", "i6", "i7", "i8"}));  // laps the ring: atSecond loses i5
  EXPECT_EQ(1, overflow(atSecond));
  EXPECT_EQ(-1, pending(atSecond));
}

TEST_F(CacheQueueTest, CapacityOneNeverHoldsAnItem) {
  makeQueue(1);
  CacheInfo* reader = addReader();
  add(items({"x"}));
  EXPECT_EQ(0, count());
  EXPECT_EQ(0, head());
  EXPECT_EQ(0, tail());
  EXPECT_EQ("", range(0, 0));
  // The item was dropped before the reader could have it.
  EXPECT_EQ(1, overflow(reader));
  EXPECT_EQ("All" + D, update(reader));
  EXPECT_EQ("", update(reader));
}

TEST_F(CacheQueueTest, ParsesDelimitedItems) {
  struct Case {
    std::string data;
    std::vector<std::string> stored;
  };
  const std::vector<Case> cases = {
      {"a" + D + "b" + D + "c", {"a", "b"}},   // unterminated rest ignored
      {D, {""}},                                // one empty item
      {"", {}},
      {"abc", {}},                              // no delimiter at all
      {D + "\x01", {""}},                       // a lone 0x01 after the last item
      {"x\x01y" + D, {"x\x01y"}},               // a single 0x01 inside an item
      {"p" + D + D + "q" + D, {"p", "", "q"}},  // empty item in the middle
  };
  for (const Case& c : cases) {
    CacheQueue* queue = nullptr;
    ASSERT_EQ(0, CacheQueueNew(&queue, 10, nullptr));
    ASSERT_EQ(0, CacheQueueAddData(queue, c.data.c_str(), nullptr));
    int n = -1;
    EXPECT_EQ(0, CacheQueueGetCount(queue, &n, nullptr));
    EXPECT_EQ(static_cast<int>(c.stored.size()), n) << "data of length " << c.data.size();
    Buffer out("stale");
    EXPECT_EQ(0, CacheQueueGetData(queue, 0, n, out.get(), nullptr));
    EXPECT_EQ(items(c.stored), out.str());
    EXPECT_EQ(0, CacheQueueFree(&queue, nullptr));
  }
}

TEST_F(CacheQueueTest, ResetDeliversTheResetItemOnceToEveryReader) {
  makeQueue(5);
  CacheInfo* a = addReader();
  CacheInfo* b = addReader();
  add(items({"i1", "i2"}));
  EXPECT_EQ(items({"i1", "i2"}), update(b));
  add(items({"i3"}));

  ASSERT_EQ(0, CacheQueueReset(mQueue, nullptr));
  EXPECT_EQ(0, count());
  EXPECT_EQ(0, head());
  EXPECT_EQ(0, tail());
  for (CacheInfo* reader : {a, b}) {
    int index = -1;
    EXPECT_EQ(0, CacheInfoGetCacheIndex(reader, &index, nullptr));
    EXPECT_EQ(0, index);
    EXPECT_EQ("All" + D, update(reader));
    EXPECT_EQ("", update(reader));
  }
  add(items({"n1"}));
  EXPECT_EQ(items({"n1"}), update(a));
  EXPECT_EQ(items({"n1"}), update(b));
}

TEST_F(CacheQueueTest, WrappedRingCountsAndReadsInRingOrder) {
  makeQueue(5);
  add(items({"i1", "i2", "i3", "i4", "i5", "i6"}));
  ASSERT_EQ(2, head());
  ASSERT_EQ(1, tail());
  EXPECT_EQ(4, count());
  EXPECT_EQ(items({"i3", "i4", "i5", "i6"}), range(2, 1));
  EXPECT_EQ(items({"i5", "i6"}), range(4, 1));
  EXPECT_EQ(items({"i3", "i4"}), range(2, 4));
  int n = -1;
  EXPECT_EQ(0, CacheQueueCountServerItems(mQueue, 4, &n, nullptr));
  EXPECT_EQ(2, n);
  EXPECT_EQ(0, CacheQueueCountServerItems(mQueue, 1, &n, nullptr));
  EXPECT_EQ(0, n);

  CacheInfo* reader = addReader();
  ASSERT_EQ(0, CacheInfoSetCacheIndex(reader, 4, nullptr));
  EXPECT_EQ(2, pending(reader));
  EXPECT_EQ(items({"i5", "i6"}), update(reader));
}

TEST_F(CacheQueueTest, RangeReadRejectsIndexesOutsideTheRing) {
  makeQueue(3);
  add(items({"a"}));
  Buffer out("stale");
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheQueueGetData(mQueue, -1, 1, out.get(), nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheQueueGetData(mQueue, 0, 3, out.get(), nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheQueueGetData(mQueue, 0, 1, nullptr, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheQueueCountServerItems(mQueue, 3, nullptr, nullptr));
  // Equal indexes give the empty text, replacing what the buffer held.
  EXPECT_EQ(0, CacheQueueGetData(mQueue, 1, 1, out.get(), nullptr));
  EXPECT_EQ("", out.str());
  // Empty slots in a requested range contribute nothing.
  EXPECT_EQ(items({"a"}), range(0, 2));
}

TEST_F(CacheQueueTest, CreationAndReleaseCheckTheirArguments) {
  CacheQueue* queue = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheQueueNew(&queue, 0, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheQueueNew(&queue, -3, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheQueueNew(nullptr, 3, nullptr));
  EXPECT_EQ(nullptr, queue);
  ASSERT_EQ(0, CacheQueueNew(&queue, 3, nullptr));
  CacheQueue* const first = queue;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheQueueNew(&queue, 3, nullptr));
  EXPECT_EQ(first, queue);
  int maxCount = 0;
  EXPECT_EQ(0, CacheQueueGetMaxCount(queue, &maxCount, nullptr));
  EXPECT_EQ(3, maxCount);
  ASSERT_EQ(0, CacheQueueAddData(queue, items({"kept", "until", "free"}).c_str(), nullptr));
  EXPECT_EQ(0, CacheQueueFree(&queue, nullptr));
  EXPECT_EQ(nullptr, queue);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheQueueFree(&queue, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheQueueAddData(nullptr, "", nullptr));
}

TEST_F(CacheQueueTest, ReadersRegisterAndUnregister) {
  makeQueue(3);
  CacheInfo* a = addReader();
  CacheInfo* b = addReader();
  int n = -1;
  EXPECT_EQ(0, CacheQueueGetCacheInfoCount(mQueue, &n, nullptr));
  EXPECT_EQ(2, n);
  EXPECT_EQ(0, CacheQueueRemoveServer(mQueue, a, nullptr));
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, CacheQueueRemoveServer(mQueue, a, nullptr));
  EXPECT_EQ(0, CacheQueueGetCacheInfoCount(mQueue, &n, nullptr));
  EXPECT_EQ(1, n);
  // An unregistered reader is no longer flagged by drops or resets.
  ASSERT_EQ(0, CacheInfoSetOverflow(a, 0, nullptr));
  add(items({"1", "2", "3", "4"}));
  ASSERT_EQ(0, CacheQueueReset(mQueue, nullptr));
  EXPECT_EQ(0, overflow(a));
  EXPECT_EQ(1, overflow(b));
  // Registering again places it at the tail with its overflow cleared.
  add(items({"5"}));
  ASSERT_EQ(0, CacheInfoSetOverflow(a, 1, nullptr));
  ASSERT_EQ(0, CacheQueueAddServer(mQueue, a, nullptr));
  EXPECT_EQ(0, overflow(a));
  EXPECT_EQ("", update(a));
}

TEST_F(CacheQueueTest, FreeingTheQueueDetachesItsReaders) {
  makeQueue(3);
  CacheInfo* reader = addReader();
  ASSERT_EQ(0, CacheQueueFree(&mQueue, nullptr));
  CacheQueue* queue = reinterpret_cast<CacheQueue*>(1);
  EXPECT_EQ(0, CacheInfoGetQueue(reader, &queue, nullptr));
  EXPECT_EQ(nullptr, queue);
  Buffer out("stale");
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheInfoUpdateData(reader, out.get(), nullptr));
}

}  // namespace
