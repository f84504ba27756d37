// Tests of KTList: capacity growth and shrinking, positions and their range
// errors, identity removal, the callback walks with their argument lists,
// clear-and-free order, and a randomized comparison with std::vector.
#include "KTList.h"

#include <stdarg.h>
#include <stdint.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KTDebug.h"
#include "KTMemoryManager.h"
#include "TestSupport.h"

namespace {

// A memory manager in front of the heap manager. Offsets are the addresses
// shifted by a constant, so a list that mixes up offsets and addresses
// crashes or misbehaves here; reallocation can be made to fail on demand;
// named allocations can be redirected to a prepared block.
struct TestManager {
  KTMemoryManager table;           // must stay first: operations get &table
  KTMemoryManager* inner = nullptr;
  bool failRealloc = false;
  int reallocCalls = 0;
  void* namedBlock = nullptr;      // returned by NamedCalloc when set
  int namedCounter = 1;
  int releasedNames = 0;
  int usersLeftOnRelease = 0;

  static constexpr uintptr_t kShift = 0x10000;

  static TestManager* self(KTMemoryManager* m) { return reinterpret_cast<TestManager*>(m); }

  TestManager() {
    EXPECT_EQ(0, KTMemoryManagerSysNew(&inner));
    table = *inner;
    table.Malloc = [](KTMemoryManager* m, size_t size) {
      return self(m)->inner->Malloc(self(m)->inner, size);
    };
    table.Calloc = [](KTMemoryManager* m, int count, size_t size) {
      return self(m)->inner->Calloc(self(m)->inner, count, size);
    };
    table.Realloc = [](KTMemoryManager* m, void* p, size_t size) -> void* {
      self(m)->reallocCalls++;
      if (self(m)->failRealloc) return nullptr;
      return self(m)->inner->Realloc(self(m)->inner, p, size);
    };
    table.Unalloc = [](KTMemoryManager* m, void* p) { self(m)->inner->Unalloc(self(m)->inner, p); };
    table.NamedCalloc = [](KTMemoryManager* m, int name, int count, size_t size,
                           int* pCounter) -> void* {
      TestManager* t = self(m);
      if (t->namedBlock != nullptr) {
        *pCounter = t->namedCounter;
        return t->namedBlock;
      }
      *pCounter = 1;
      (void)name;
      return t->inner->Calloc(t->inner, count, size);
    };
    table.ReleaseName = [](KTMemoryManager* m, int, int* pCounter) -> KTStatus {
      self(m)->releasedNames++;
      *pCounter = self(m)->usersLeftOnRelease;
      return 0;
    };
    table.GetOffset = [](KTMemoryManager*, void* p) -> KTOffset {
      return reinterpret_cast<KTOffset>(p) + kShift;
    };
    table.GetPtr = [](KTMemoryManager*, KTOffset off) -> void* {
      return reinterpret_cast<void*>(off - kShift);
    };
  }
  ~TestManager() {
    EXPECT_EQ(0, KTMemoryManagerSysBlockCount(inner)) << "list leaked blocks";
    inner->Free(&inner);
  }
  TestManager(const TestManager&) = delete;
  TestManager& operator=(const TestManager&) = delete;

  KTMemoryManager* mgr() { return &table; }
  int liveBlocks() { return KTMemoryManagerSysBlockCount(inner); }
};

class KTListTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, KTListNew(&list, tm.mgr())); }
  void TearDown() override {
    if (list != nullptr) {
      EXPECT_EQ(0, KTListFree(&list, tm.mgr()));
    }
  }

  void addN(int n) {
    for (int i = 0; i < n; ++i) ASSERT_EQ(0, KTListAdd(list, tm.mgr(), &items[i]));
  }
  std::vector<int*> contents() {
    std::vector<int*> out;
    for (int i = 0; i < list->numberOfElements; ++i) {
      KTStatus st = -1;
      out.push_back(static_cast<int*>(KTListElementAt(list, tm.mgr(), &st, i)));
      EXPECT_EQ(0, st);
    }
    return out;
  }

  TestManager tm;
  KTList* list = nullptr;
  int items[300] = {};
};

// --- creation and release ---------------------------------------------------

TEST_F(KTListTest, NewListIsEmptyUnnamedWithoutStorage) {
  EXPECT_EQ(-1, list->key);
  EXPECT_EQ(0, list->numberOfElements);
  EXPECT_EQ(0, list->sizeOfData);
  EXPECT_EQ(0u, list->dataOffset);
  EXPECT_EQ(1, tm.liveBlocks());  // just the record
}

TEST_F(KTListTest, CreationAndReleaseRejectBadArguments) {
  KTList* other = list;  // not null: must be refused
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListNew(&other, tm.mgr()));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListNew(nullptr, tm.mgr()));
  KTList* fresh = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListNew(&fresh, nullptr));
  EXPECT_EQ(nullptr, fresh);
  KTList* none = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListFree(&none, tm.mgr()));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListFree(&list, nullptr));
  EXPECT_NE(nullptr, list);
}

TEST_F(KTListTest, FreeReleasesSlotsAndRecordButNotElements) {
  addN(40);
  EXPECT_EQ(2, tm.liveBlocks());
  EXPECT_EQ(0, KTListFree(&list, tm.mgr()));
  EXPECT_EQ(nullptr, list);
  EXPECT_EQ(0, tm.liveBlocks());
}

TEST_F(KTListTest, OutOfMemoryOnCreationLeavesPointerNull) {
  KTMemoryManager failing = *tm.mgr();
  failing.Calloc = [](KTMemoryManager*, int, size_t) -> void* { return nullptr; };
  KTList* fresh = nullptr;
  EXPECT_EQ(ERROR_MEMORY_ALLOCATION, KTListNew(&fresh, &failing));
  EXPECT_EQ(nullptr, fresh);
}

// --- named lists -------------------------------------------------------------

TEST(KTListNamed, FirstUserInitialisesWithKeyAndFreeReleasesName) {
  TestManager tm;
  KTList* named = nullptr;
  int users = 0;
  ASSERT_EQ(0, KTListNamedNew(&named, tm.mgr(), 77, &users));
  EXPECT_EQ(1, users);
  EXPECT_EQ(77, named->key);
  EXPECT_EQ(0, named->numberOfElements);
  int a = 0;
  EXPECT_EQ(0, KTListAdd(named, tm.mgr(), &a));
  EXPECT_EQ(0, KTListFree(&named, tm.mgr()));
  EXPECT_EQ(nullptr, named);
  EXPECT_EQ(1, tm.releasedNames);
  EXPECT_EQ(0, tm.liveBlocks());
}

TEST(KTListNamed, LaterUserGetsExistingListUntouched) {
  TestManager tm;
  KTList existing = {12, 0, 0, 0};
  tm.namedBlock = &existing;
  tm.namedCounter = 2;
  tm.usersLeftOnRelease = 1;
  KTList* named = nullptr;
  int users = 0;
  ASSERT_EQ(0, KTListNamedNew(&named, tm.mgr(), 12, &users));
  EXPECT_EQ(&existing, named);
  EXPECT_EQ(2, users);
  // Another user remains: the shared list must survive this user's release.
  EXPECT_EQ(0, KTListFree(&named, tm.mgr()));
  EXPECT_EQ(nullptr, named);
  EXPECT_EQ(12, existing.key);
}

// Asks for the named list 6 while the named block holds list 5.
void namedNewWithWrongKey() {
  TestManager tm;
  KTList existing = {5, 0, 0, 0};
  tm.namedBlock = &existing;
  tm.namedCounter = 3;
  KTList* named = nullptr;
  int users = 0;
  KTListNamedNew(&named, tm.mgr(), 6, &users);
}

TEST(KTListNamedDeathTest, LaterUserWithOtherKeyEndsProcess) {
  EXPECT_EXIT(namedNewWithWrongKey(), ::testing::ExitedWithCode(1), "");
}

// --- capacity ------------------------------------------------------------------

TEST_F(KTListTest, GrowsBy32WhenFull) {
  addN(1);
  EXPECT_EQ(32, list->sizeOfData);
  addN(32);  // 33 elements now
  EXPECT_EQ(33, list->numberOfElements);
  EXPECT_EQ(64, list->sizeOfData);
  EXPECT_EQ(2, tm.reallocCalls);
  // Slots beyond the count are zero after growth.
  auto* slots = static_cast<uint64_t*>(tm.mgr()->GetPtr(tm.mgr(), list->dataOffset));
  for (int i = 33; i < 64; ++i) EXPECT_EQ(0u, slots[i]) << i;
}

TEST_F(KTListTest, ShrinksOnlyWhenMoreThan64SlotsAreFree) {
  addN(129);
  ASSERT_EQ(160, list->sizeOfData);
  while (list->numberOfElements > 96) ASSERT_EQ(0, KTListRemoveAt(list, tm.mgr(), 0));
  EXPECT_EQ(160, list->sizeOfData);  // 64 free: not yet
  ASSERT_EQ(0, KTListRemoveAt(list, tm.mgr(), 0));
  EXPECT_EQ(95, list->numberOfElements);
  EXPECT_EQ(128, list->sizeOfData);  // 65 free: one step down
  // The remaining elements are the last 95 added, in order.
  std::vector<int*> c = contents();
  for (int i = 0; i < 95; ++i) EXPECT_EQ(&items[34 + i], c[i]);
}

TEST_F(KTListTest, NeverShrinksTo32OrBelow) {
  addN(40);
  ASSERT_EQ(64, list->sizeOfData);
  while (list->numberOfElements > 0) ASSERT_EQ(0, KTListRemoveAt(list, tm.mgr(), 0));
  EXPECT_EQ(64, list->sizeOfData);
  addN(97);
  ASSERT_EQ(128, list->sizeOfData);
  while (list->numberOfElements > 0) {
    ASSERT_EQ(0, KTListRemoveAt(list, tm.mgr(), list->numberOfElements - 1));
  }
  EXPECT_EQ(64, list->sizeOfData);  // 128 -> 96 -> 64, then 32 is not allowed
}

TEST_F(KTListTest, FailedGrowthLeavesListUnchanged) {
  addN(32);
  tm.failRealloc = true;
  int extra = 0;
  EXPECT_EQ(ERROR_MEMORY_ALLOCATION, KTListAdd(list, tm.mgr(), &extra));
  EXPECT_EQ(ERROR_MEMORY_ALLOCATION, KTListInsertAt(list, tm.mgr(), &extra, 0));
  EXPECT_EQ(32, list->numberOfElements);
  EXPECT_EQ(32, list->sizeOfData);
  std::vector<int*> c = contents();
  for (int i = 0; i < 32; ++i) EXPECT_EQ(&items[i], c[i]);
}

TEST_F(KTListTest, FailedShrinkStillRemoves) {
  addN(129);
  while (list->numberOfElements > 96) ASSERT_EQ(0, KTListRemoveAt(list, tm.mgr(), 0));
  tm.failRealloc = true;
  EXPECT_EQ(0, KTListRemoveAt(list, tm.mgr(), 0));
  EXPECT_EQ(95, list->numberOfElements);
  EXPECT_EQ(160, list->sizeOfData);
  EXPECT_EQ(&items[34], contents().front());
}

TEST_F(KTListTest, ClearReleasesSlotArray) {
  addN(70);
  EXPECT_EQ(0, KTListClear(list, tm.mgr()));
  EXPECT_EQ(0, list->numberOfElements);
  EXPECT_EQ(0, list->sizeOfData);
  EXPECT_EQ(0u, list->dataOffset);
  EXPECT_EQ(1, tm.liveBlocks());
  addN(1);  // usable again
  EXPECT_EQ(32, list->sizeOfData);
}

// --- positions -------------------------------------------------------------------

TEST_F(KTListTest, InsertAtAcceptsOnlyExistingPositions) {
  int x = 0;
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, KTListInsertAt(list, tm.mgr(), &x, 0));  // empty
  addN(3);
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, KTListInsertAt(list, tm.mgr(), &x, 3));  // the end
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, KTListInsertAt(list, tm.mgr(), &x, -1));
  EXPECT_EQ(3, list->numberOfElements);
  EXPECT_EQ(0, KTListInsertAt(list, tm.mgr(), &x, 2));
  EXPECT_EQ(0, KTListInsertAt(list, tm.mgr(), &x, 0));
  EXPECT_EQ((std::vector<int*>{&x, &items[0], &items[1], &x, &items[2]}), contents());
}

TEST_F(KTListTest, InsertIntoFullListGrowsAndShifts) {
  addN(32);
  int x = 0;
  EXPECT_EQ(0, KTListInsertAt(list, tm.mgr(), &x, 31));
  EXPECT_EQ(64, list->sizeOfData);
  std::vector<int*> c = contents();
  ASSERT_EQ(33u, c.size());
  EXPECT_EQ(&items[30], c[30]);
  EXPECT_EQ(&x, c[31]);
  EXPECT_EQ(&items[31], c[32]);
}

#ifdef KT_DEBUG_TRACE
using testsupport::TraceCapture;

TEST_F(KTListTest, RangeErrorsNameTheValidRange) {
  addN(3);
  TraceCapture trace(KTDEBUG_LIST);
  int x = 0;
  KTStatus st = 0;
  KTListInsertAt(list, tm.mgr(), &x, 3);
  KTListElementAt(list, tm.mgr(), &st, 7);
  std::string text = trace.text();
  EXPECT_NE(std::string::npos,
            text.find("KTListInsertAt(): index out of range (3 -- valid range is 0 .. 2)"));
  EXPECT_NE(std::string::npos,
            text.find("KTListElementAt(): index out of range (7 -- valid range is 0 .. 2)"));
  EXPECT_EQ(std::string::npos, text.find("KTListInsertAt( ")) << "entry lines need KTDEBUG_TRACE";
}
#endif

TEST_F(KTListTest, ElementAtAndRemoveAtCheckRange) {
  addN(2);
  KTStatus st = 0;
  EXPECT_EQ(nullptr, KTListElementAt(list, tm.mgr(), &st, 2));
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, st);
  EXPECT_EQ(nullptr, KTListElementAt(list, tm.mgr(), &st, -1));
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, st);
  EXPECT_EQ(&items[1], KTListElementAt(list, tm.mgr(), &st, 1));
  EXPECT_EQ(0, st);
  EXPECT_EQ(nullptr, KTListElementAt(nullptr, tm.mgr(), &st, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, st);
  EXPECT_EQ(nullptr, KTListElementAt(list, tm.mgr(), nullptr, 0));
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, KTListRemoveAt(list, tm.mgr(), 2));
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, KTListRemoveAt(list, tm.mgr(), -1));
  EXPECT_EQ(0, KTListRemoveAt(list, tm.mgr(), 0));
  EXPECT_EQ(std::vector<int*>{&items[1]}, contents());
}

TEST_F(KTListTest, RemoveAndFindUseFirstOccurrence) {
  int a = 0, b = 0, c = 0;
  for (int* p : {&a, &b, &a, &c}) ASSERT_EQ(0, KTListAdd(list, tm.mgr(), p));
  int pos = -7;
  EXPECT_EQ(0, KTListFind(list, tm.mgr(), &a, &pos));
  EXPECT_EQ(0, pos);
  EXPECT_EQ(0, KTListRemove(list, tm.mgr(), &a));
  EXPECT_EQ((std::vector<int*>{&b, &a, &c}), contents());
  EXPECT_EQ(0, KTListFind(list, tm.mgr(), &a, &pos));
  EXPECT_EQ(1, pos);

  int absent = 0;
  pos = -7;
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, KTListFind(list, tm.mgr(), &absent, &pos));
  EXPECT_EQ(-7, pos);
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, KTListRemove(list, tm.mgr(), &absent));
  EXPECT_EQ(3, list->numberOfElements);
}

TEST_F(KTListTest, NullArgumentsAreRejected) {
  int x = 0, n = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListAdd(list, tm.mgr(), nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListAdd(nullptr, tm.mgr(), &x));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListAdd(list, nullptr, &x));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListInsertAt(list, tm.mgr(), nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListRemove(list, tm.mgr(), nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListFind(list, tm.mgr(), &x, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListSize(list, tm.mgr(), nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListSize(nullptr, tm.mgr(), &n));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListClear(nullptr, tm.mgr()));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListRemoveAt(list, nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListForEach(list, tm.mgr(), nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListFirstThat(list, tm.mgr(), nullptr, &n));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListClearAndFreeElements(list, tm.mgr(), nullptr));
  EXPECT_EQ(0, list->numberOfElements);
}

// --- callbacks -----------------------------------------------------------------

// Collects each visited element and the two ints passed as extra arguments;
// stops (returns the stop value) at the element named by the third argument.
std::vector<std::pair<int*, int>> gVisits;

long collect(void* element, va_list args) {
  int base = va_arg(args, int);
  int add = va_arg(args, int);
  void* stopAt = va_arg(args, void*);
  gVisits.push_back({static_cast<int*>(element), base + add});
  return element == stopAt ? 4711 : 0;
}

TEST_F(KTListTest, ForEachGivesEveryCallFreshArgumentsAndStopsAtFailure) {
  addN(5);
  gVisits.clear();
  EXPECT_EQ(0, KTListForEach(list, tm.mgr(), collect, 40, 2, (void*)nullptr));
  ASSERT_EQ(5u, gVisits.size());
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(&items[i], gVisits[i].first);
    EXPECT_EQ(42, gVisits[i].second) << "call " << i << " saw used-up arguments";
  }

  gVisits.clear();
  EXPECT_EQ(4711, KTListForEach(list, tm.mgr(), collect, 1, 1, (void*)&items[2]));
  EXPECT_EQ(3u, gVisits.size());  // items 3 and 4 are not visited
}

long hugeResult(void*, va_list) { return 1L << 32; }

TEST_F(KTListTest, CallbackResultBeyondStatusRangeIsNotSuccess) {
  addN(1);
  EXPECT_NE(0, KTListForEach(list, tm.mgr(), hugeResult));
}

struct Grower {
  KTList* list;
  KTMemoryManager* mgr;
  int* extra;
  int calls;
};

long growWhileWalking(void*, va_list args) {
  Grower* g = va_arg(args, Grower*);
  if (g->calls++ == 0) {
    // Forces the slot array to move while the walk is running.
    for (int i = 0; i < 40; ++i) KTListAdd(g->list, g->mgr, g->extra);
  }
  return 0;
}

TEST_F(KTListTest, ForEachSeesElementsAddedDuringTheWalk) {
  addN(1);
  int extra = 0;
  Grower g{list, tm.mgr(), &extra, 0};
  EXPECT_EQ(0, KTListForEach(list, tm.mgr(), growWhileWalking, &g));
  EXPECT_EQ(41, g.calls);
}

long isValue(void* element, va_list args) {
  int wanted = va_arg(args, int);
  return *static_cast<int*>(element) == wanted;
}

TEST_F(KTListTest, FirstThatAndNextThatFindPositions) {
  int idx = 99;
  EXPECT_EQ(0, KTListFirstThat(list, tm.mgr(), isValue, &idx, 1));
  EXPECT_EQ(-1, idx);  // empty list

  for (int i = 0; i < 6; ++i) items[i] = i % 3;  // 0 1 2 0 1 2
  addN(6);
  EXPECT_EQ(0, KTListFirstThat(list, tm.mgr(), isValue, &idx, 2));
  EXPECT_EQ(2, idx);
  EXPECT_EQ(0, KTListNextThat(list, tm.mgr(), idx + 1, isValue, &idx, 2));
  EXPECT_EQ(5, idx);
  EXPECT_EQ(0, KTListNextThat(list, tm.mgr(), idx + 1, isValue, &idx, 2));
  EXPECT_EQ(-1, idx);
  EXPECT_EQ(0, KTListNextThat(list, tm.mgr(), 100, isValue, &idx, 0));
  EXPECT_EQ(-1, idx);
  EXPECT_EQ(0, KTListFirstThat(list, tm.mgr(), isValue, &idx, 7));
  EXPECT_EQ(-1, idx);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTListNextThat(list, tm.mgr(), -1, isValue, &idx, 0));
}

std::vector<void*> gDestroyed;

long destroy(void** ppElement, va_list args) {
  void* failOn = va_arg(args, void*);
  if (*ppElement == failOn) return 33;
  gDestroyed.push_back(*ppElement);
  *ppElement = nullptr;
  return 0;
}

TEST_F(KTListTest, ClearAndFreeGoesFromLastToFirst) {
  addN(4);
  gDestroyed.clear();
  EXPECT_EQ(0, KTListClearAndFreeElements(list, tm.mgr(), destroy, (void*)nullptr));
  EXPECT_EQ((std::vector<void*>{&items[3], &items[2], &items[1], &items[0]}), gDestroyed);
  EXPECT_EQ(0, list->numberOfElements);
  EXPECT_EQ(0, list->sizeOfData);
}

TEST_F(KTListTest, ClearAndFreeStopsAtFailureKeepingUndestroyedElements) {
  addN(5);
  gDestroyed.clear();
  EXPECT_EQ(33, KTListClearAndFreeElements(list, tm.mgr(), destroy, (void*)&items[2]));
  EXPECT_EQ((std::vector<void*>{&items[4], &items[3]}), gDestroyed);
  // The failed element and those before it stay; the destroyed ones are gone.
  EXPECT_EQ((std::vector<int*>{&items[0], &items[1], &items[2]}), contents());
}

// --- randomized comparison with std::vector --------------------------------------

TEST_F(KTListTest, RandomOperationsMatchVector) {
  std::mt19937 rng(12345);
  std::vector<int*> model;
  for (int step = 0; step < 20000; ++step) {
    int* element = &items[rng() % 50];  // few distinct elements: duplicates
    int n = (int)model.size();
    switch (rng() % 6) {
      case 0:
      case 1:
        if (n < 250) {
          ASSERT_EQ(0, KTListAdd(list, tm.mgr(), element));
          model.push_back(element);
        }
        break;
      case 2: {
        int pos = n == 0 ? 0 : (int)(rng() % (n + 1));
        KTStatus st = KTListInsertAt(list, tm.mgr(), element, pos);
        if (pos < n) {
          ASSERT_EQ(0, st);
          model.insert(model.begin() + pos, element);
        } else {
          ASSERT_EQ(ERROR_INDEX_OUT_OF_RANGE, st);
        }
        break;
      }
      case 3: {
        auto it = std::find(model.begin(), model.end(), element);
        KTStatus st = KTListRemove(list, tm.mgr(), element);
        if (it == model.end()) {
          ASSERT_EQ(ERROR_NO_SUCH_ELEMENT, st);
        } else {
          ASSERT_EQ(0, st);
          model.erase(it);
        }
        break;
      }
      case 4:
      case 5:
        if (n > 0) {
          int pos = (int)(rng() % n);
          ASSERT_EQ(0, KTListRemoveAt(list, tm.mgr(), pos));
          model.erase(model.begin() + pos);
        }
        break;
    }
    ASSERT_EQ((int)model.size(), list->numberOfElements);
    ASSERT_GE(list->sizeOfData, list->numberOfElements);
    ASSERT_EQ(0, list->sizeOfData % 32);
    ASSERT_TRUE(list->sizeOfData <= 64 || list->sizeOfData - list->numberOfElements <= 64)
        << "capacity " << list->sizeOfData << " for " << list->numberOfElements;
    if (step % 97 == 0) {
      ASSERT_EQ(model, contents()) << "step " << step;
    }
  }
  ASSERT_EQ(model, contents());
}

}  // namespace
