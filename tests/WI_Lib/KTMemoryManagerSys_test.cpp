// Tests of the heap memory manager: block bookkeeping, named blocks, offsets,
// leak report on release and the fatal checks for foreign blocks.
#include "KTMemoryManager.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KTDebug.h"
#include "TestSupport.h"

namespace {

class MemoryManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, KTMemoryManagerSysNew(&mgr)); }
  void TearDown() override {
    if (mgr != nullptr) {
      EXPECT_EQ(0, mgr->Free(&mgr));
    }
  }
  KTMemoryManager* mgr = nullptr;
};

}  // namespace

TEST(MemoryManagerNew, RejectsNullAndUsedPointer) {
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTMemoryManagerSysNew(nullptr));
  KTMemoryManager* used = reinterpret_cast<KTMemoryManager*>(0x1);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTMemoryManagerSysNew(&used));
  EXPECT_EQ(reinterpret_cast<KTMemoryManager*>(0x1), used);
}

TEST_F(MemoryManagerTest, FreeNullsPointerAndRejectsNull) {
  EXPECT_EQ(0, mgr->Free(&mgr));
  EXPECT_EQ(nullptr, mgr);
  KTMemoryManager* other = nullptr;
  ASSERT_EQ(0, KTMemoryManagerSysNew(&other));
  KTMemoryManager* none = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, other->Free(&none));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, other->Free(nullptr));
  EXPECT_EQ(0, other->Free(&other));
}

TEST_F(MemoryManagerTest, EveryAllocationIsRecordedUntilUnalloc) {
  void* a = mgr->Malloc(mgr, 16);
  int* b = static_cast<int*>(mgr->Calloc(mgr, 8, sizeof(int)));
  char* c = mgr->Strdup(mgr, "hello");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(3, KTMemoryManagerSysBlockCount(mgr));
  for (int i = 0; i < 8; i++) EXPECT_EQ(0, b[i]);
  EXPECT_STREQ("hello", c);
  EXPECT_NE(static_cast<const void*>(c), static_cast<const void*>("hello"));

  // Removing the first moves the last into its slot; all remain findable.
  mgr->Unalloc(mgr, a);
  EXPECT_EQ(2, KTMemoryManagerSysBlockCount(mgr));
  mgr->Unalloc(mgr, b);
  mgr->Unalloc(mgr, c);
  EXPECT_EQ(0, KTMemoryManagerSysBlockCount(mgr));
}

TEST_F(MemoryManagerTest, ManyBlocksReleasedInMixedOrder) {
  std::vector<char*> blocks;
  for (int i = 0; i < 200; i++) {
    char* p = static_cast<char*>(mgr->Malloc(mgr, 8));
    ASSERT_NE(nullptr, p);
    snprintf(p, 8, "%d", i);
    blocks.push_back(p);
  }
  // Odd ones first, then the even ones from the back.
  for (size_t i = 1; i < blocks.size(); i += 2) mgr->Unalloc(mgr, blocks[i]);
  EXPECT_EQ(100, KTMemoryManagerSysBlockCount(mgr));
  for (size_t i = blocks.size(); i-- > 0;) {
    if (i % 2 == 0) {
      EXPECT_EQ(std::to_string(i), blocks[i]);
      mgr->Unalloc(mgr, blocks[i]);
    }
  }
  EXPECT_EQ(0, KTMemoryManagerSysBlockCount(mgr));
}

TEST_F(MemoryManagerTest, ReallocKeepsContentsAndTracksNewAddress) {
  char* p = static_cast<char*>(mgr->Realloc(mgr, nullptr, 4));  // behaves as Malloc
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(1, KTMemoryManagerSysBlockCount(mgr));
  memcpy(p, "abc", 4);
  char* q = static_cast<char*>(mgr->Realloc(mgr, p, 100000));
  ASSERT_NE(nullptr, q);
  EXPECT_STREQ("abc", q);
  EXPECT_EQ(1, KTMemoryManagerSysBlockCount(mgr));
  // Shrinking to nothing must keep the block owned by the manager.
  char* r = static_cast<char*>(mgr->Realloc(mgr, q, 0));
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(1, KTMemoryManagerSysBlockCount(mgr));
  mgr->Unalloc(mgr, r);  // would die if the list still held the old address
  EXPECT_EQ(0, KTMemoryManagerSysBlockCount(mgr));
}

TEST_F(MemoryManagerTest, BadArgumentsGiveNullAndRecordNothing) {
  EXPECT_EQ(nullptr, mgr->Malloc(nullptr, 4));
  EXPECT_EQ(nullptr, mgr->Calloc(nullptr, 1, 4));
  EXPECT_EQ(nullptr, mgr->Calloc(mgr, -1, 4));
  EXPECT_EQ(nullptr, mgr->Calloc(mgr, 2, SIZE_MAX / 2 + 1));  // count * size overflows
  EXPECT_EQ(nullptr, mgr->Realloc(nullptr, nullptr, 4));
  EXPECT_EQ(nullptr, mgr->Strdup(mgr, nullptr));
  EXPECT_EQ(nullptr, mgr->Strdup(nullptr, "x"));
  mgr->Unalloc(mgr, nullptr);
  mgr->Unalloc(nullptr, nullptr);
  EXPECT_EQ(0, KTMemoryManagerSysBlockCount(mgr));
  EXPECT_EQ(-1, KTMemoryManagerSysBlockCount(nullptr));
}

TEST_F(MemoryManagerTest, OffsetsRoundTrip) {
  void* p = mgr->Malloc(mgr, 1);
  KTOffset off = mgr->GetOffset(mgr, p);
  EXPECT_NE(0u, off);
  EXPECT_EQ(p, mgr->GetPtr(mgr, off));
  mgr->Unalloc(mgr, p);
}

TEST_F(MemoryManagerTest, NamedBlocksArePrivate) {
  int c1 = 0, c2 = 0;
  int* a = static_cast<int*>(mgr->NamedCalloc(mgr, 7, 4, sizeof(int), &c1));
  int* b = static_cast<int*>(mgr->NamedCalloc(mgr, 7, 4, sizeof(int), &c2));
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  EXPECT_EQ(1, c1);
  EXPECT_EQ(1, c2);
  EXPECT_EQ(0, a[3]);
  int c3 = 0;
  void* m = mgr->NamedMalloc(mgr, 7, 10, &c3);
  EXPECT_EQ(1, c3);
  EXPECT_EQ(3, KTMemoryManagerSysBlockCount(mgr));

  int left = 99;
  EXPECT_EQ(0, mgr->ReleaseName(mgr, 7, &left));
  EXPECT_EQ(0, left);
  // Releasing the name frees nothing: the caller gives the blocks back.
  EXPECT_EQ(3, KTMemoryManagerSysBlockCount(mgr));
  mgr->Unalloc(mgr, a);
  mgr->Unalloc(mgr, b);
  mgr->Unalloc(mgr, m);
}

TEST_F(MemoryManagerTest, FreeLeavesLiveBlocksAllocated) {
  void* blocks[3];
  for (void*& b : blocks) b = mgr->Malloc(mgr, 32);
  memset(blocks[1], 'x', 32);
#ifdef KT_DEBUG_TRACE
  testsupport::TraceCapture trace(KTDEBUG_MEMORY);
#endif
  EXPECT_EQ(0, mgr->Free(&mgr));
#ifdef KT_DEBUG_TRACE
  EXPECT_NE(std::string::npos, trace.text().find("KTMemoryManagerSysFree(): 3 blocks still allocated"));
#endif
  // The blocks still belong to the process and remain usable.
  EXPECT_EQ('x', static_cast<char*>(blocks[1])[31]);
  for (void* b : blocks) free(b);
}

using MemoryManagerDeathTest = MemoryManagerTest;

TEST_F(MemoryManagerDeathTest, ForeignBlocksEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  int onStack = 0;
  EXPECT_EXIT(mgr->Unalloc(mgr, &onStack), ::testing::ExitedWithCode(1),
              "assertation \"0 != blockFound\" failed in file KTMemoryManagerSys");
  EXPECT_EXIT(mgr->Realloc(mgr, &onStack, 8), ::testing::ExitedWithCode(1), "0 != blockFound");

  void* p = mgr->Malloc(mgr, 4);
  mgr->Unalloc(mgr, p);
  // A block given back twice is no longer the manager's.
  EXPECT_EXIT(mgr->Unalloc(mgr, p), ::testing::ExitedWithCode(1), "0 != blockFound");
}

TEST_F(MemoryManagerDeathTest, NullOffsetsAndCountersEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(mgr->GetOffset(mgr, nullptr), ::testing::ExitedWithCode(1), "NULL != ptr");
  EXPECT_EXIT(mgr->GetPtr(nullptr, 1), ::testing::ExitedWithCode(1), "NULL != pManager");
  EXPECT_EXIT(mgr->NamedMalloc(mgr, 1, 4, nullptr), ::testing::ExitedWithCode(1), "NULL != pCounter");
  EXPECT_EXIT(mgr->ReleaseName(mgr, 1, nullptr), ::testing::ExitedWithCode(1), "NULL != pCounter");
}
