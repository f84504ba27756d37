// Tests of KTHash: growth steps, replacement, probe-chain repair on removal
// (directed chains, a wrapping chain and a randomized comparison with
// std::map), the empty and long keys, slot-order walks, failure injection
// and leak-free release.
#include "KTHash.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KTMemoryManager.h"
#include "KTStringList.h"

namespace {

// A heap memory manager that counts its live blocks and whose offsets are
// the addresses shifted by a constant, so mixing up offsets and addresses
// crashes or misbehaves; allocations can be made to fail on demand. (It
// does not keep a block list, so tables with 10^5 pairs stay fast.)
struct TestManager {
  KTMemoryManager table;  // must stay first: operations receive &table
  int live = 0;
  bool failCalloc = false;
  bool failMalloc = false;
  bool failStrdup = false;

  static constexpr KTOffset kShift = 0x40000;
  static TestManager* self(KTMemoryManager* m) { return reinterpret_cast<TestManager*>(m); }
  static void* counted(KTMemoryManager* m, void* p) {
    if (p != nullptr) self(m)->live++;
    return p;
  }

  TestManager() {
    memset(&table, 0, sizeof(table));
    table.Malloc = [](KTMemoryManager* m, size_t size) -> void* {
      return self(m)->failMalloc ? nullptr : counted(m, malloc(size));
    };
    table.Calloc = [](KTMemoryManager* m, int count, size_t size) -> void* {
      return self(m)->failCalloc ? nullptr : counted(m, calloc((size_t)count, size));
    };
    table.Realloc = [](KTMemoryManager* m, void* p, size_t size) -> void* {
      void* q = realloc(p, size);
      if (p == nullptr && q != nullptr) self(m)->live++;
      return q;
    };
    table.Unalloc = [](KTMemoryManager* m, void* p) {
      ASSERT_NE(nullptr, p);
      self(m)->live--;
      free(p);
    };
    table.NamedCalloc = [](KTMemoryManager* m, int, int count, size_t size, int* pCounter) {
      *pCounter = 1;
      return counted(m, calloc((size_t)count, size));
    };
    table.Strdup = [](KTMemoryManager* m, const char* text) -> char* {
      return self(m)->failStrdup ? nullptr : (char*)counted(m, strdup(text));
    };
    table.GetOffset = [](KTMemoryManager*, void* p) -> KTOffset {
      EXPECT_NE(nullptr, p);
      return reinterpret_cast<KTOffset>(p) + kShift;
    };
    table.GetPtr = [](KTMemoryManager*, KTOffset offset) -> void* {
      EXPECT_GT(offset, kShift);
      return reinterpret_cast<void*>(offset - kShift);
    };
  }
  KTMemoryManager* mgr() { return &table; }
  int blocks() const { return live; }
};

class KTHashTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, KTHashNew(&hash, tm.mgr())); }
  void TearDown() override {
    if (hash != nullptr) {
      EXPECT_EQ(0, KTHashFree(&hash, tm.mgr()));
    }
    EXPECT_EQ(nullptr, hash);
    EXPECT_EQ(0, tm.blocks()) << "pairs, key copies or slot arrays leaked";
  }

  // Home slot exactly as the table computes it.
  int home(const std::string& key, int capacity) const {
    const uint64_t n = key.size();
    return (int)(KTHashFunction((const unsigned char*)key.data(), n, n * 0xe5768b62ULL) %
                 (uint64_t)(capacity - 1));
  }
  // Keys "<prefix><n>" whose home slot is `slot` for the given capacity.
  std::vector<std::string> keysWithHome(int slot, int capacity, size_t count,
                                        const std::string& prefix) const {
    std::vector<std::string> keys;
    for (int n = 0; keys.size() < count; ++n) {
      const std::string key = prefix + std::to_string(n);
      if (home(key, capacity) == slot) keys.push_back(key);
    }
    return keys;
  }
  void set(const std::string& key, void* element) {
    ASSERT_EQ(0, KTHashSet(hash, tm.mgr(), key.c_str(), element));
  }
  void* get(const std::string& key) {
    KTStatus status = -1;
    void* element = KTHashGet(hash, tm.mgr(), key.c_str(), &status);
    EXPECT_EQ(0, status);
    return element;
  }
  int slotOf(const std::string& key) {
    for (int i = 0; i <= hash->capacity; ++i) {
      if (hash->pair[i] == 0) continue;
      KeyValuePair* p = (KeyValuePair*)(hash->pair[i] - TestManager::kShift);
      if (key == (const char*)(p->keyOffset - TestManager::kShift)) return i;
    }
    return -1;
  }
  static void* tag(uintptr_t n) { return reinterpret_cast<void*>(n * 16 + 0x1000); }

  TestManager tm;
  KTHash* hash = nullptr;
};

typedef std::vector<std::pair<std::string, void*>> SeenPairs;

long collectIterator(const char* key, void* element, va_list args) {
  SeenPairs* seen = va_arg(args, SeenPairs*);
  const char* stopAt = va_arg(args, const char*);
  seen->emplace_back(key, element);
  return (stopAt != nullptr && strcmp(key, stopAt) == 0) ? 77 : 0;
}

long countingDestructor(void** ppElement, va_list args) {
  auto* destroyed = va_arg(args, std::vector<void*>*);
  destroyed->push_back(*ppElement);
  *ppElement = nullptr;
  return 1;  // the result is ignored by the table
}

}  // namespace

TEST_F(KTHashTest, GrowsTo256ThenDoublesAtNinetyPercent) {
  EXPECT_EQ(0, hash->capacity);
  EXPECT_EQ(-1, hash->key);
  set("first", tag(0));
  EXPECT_EQ(256, hash->capacity);
  for (int i = 1; i < 231; ++i) set("k" + std::to_string(i), tag(i));
  EXPECT_EQ(231, hash->used);
  EXPECT_EQ(256, hash->capacity) << "230 pairs are below 90 % of 256, the 231st needs no growth";
  set("k231", tag(231));
  EXPECT_EQ(512, hash->capacity);
  EXPECT_EQ(232, hash->used);
  EXPECT_EQ(tag(0), get("first"));
  for (int i = 1; i <= 231; ++i) EXPECT_EQ(tag(i), get("k" + std::to_string(i))) << i;
}

TEST_F(KTHashTest, GrowsLinearlyBeyond65536Slots) {
  std::vector<int> capacities;
  for (int i = 0; i < 118000; ++i) {
    set(std::to_string(i), tag(i + 1));
    if (capacities.empty() || capacities.back() != hash->capacity) capacities.push_back(hash->capacity);
  }
  const std::vector<int> expected = {256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 65536,
                                     131072, 196608};
  EXPECT_EQ(expected, capacities);
  for (int i = 0; i < 118000; i += 997) EXPECT_EQ(tag(i + 1), get(std::to_string(i)));
}

TEST_F(KTHashTest, ReplacingKeepsUsedAndDoesNotCopyTheKeyAgain) {
  set("alpha", tag(1));
  set("beta", tag(2));
  const int blocks = tm.blocks();
  set("alpha", tag(3));
  EXPECT_EQ(2, hash->used);
  EXPECT_EQ(blocks, tm.blocks());
  EXPECT_EQ(tag(3), get("alpha"));
  EXPECT_EQ(tag(2), get("beta"));
}

TEST_F(KTHashTest, MissingKeysAndEmptyTable) {
  EXPECT_EQ(nullptr, get("nothing"));
  EXPECT_EQ(0, KTHashRemove(hash, tm.mgr(), "nothing"));
  EXPECT_EQ(0, KTHashExists(hash, tm.mgr(), "nothing"));
  KTStatus status = -1;
  EXPECT_EQ(nullptr, KTHashGet(hash, tm.mgr(), "x", nullptr));
  set("present", tag(1));
  EXPECT_EQ(nullptr, KTHashGet(hash, tm.mgr(), "absent", &status));
  EXPECT_EQ(0, status);
  EXPECT_EQ(0, KTHashRemove(hash, tm.mgr(), "absent"));
  EXPECT_EQ(1, hash->used);
}

TEST_F(KTHashTest, NullElementIsStoredAndDistinctFromMissing) {
  set("nullvalue", nullptr);
  EXPECT_EQ(1, KTHashExists(hash, tm.mgr(), "nullvalue"));
  EXPECT_EQ(nullptr, get("nullvalue"));
  set("nullvalue", tag(5));
  EXPECT_EQ(tag(5), get("nullvalue"));
}

TEST_F(KTHashTest, EmptyKeyAndLongKeys) {
  set("", tag(1));
  EXPECT_EQ(1, KTHashExists(hash, tm.mgr(), ""));
  EXPECT_EQ(tag(1), get(""));
  // Keys that agree on their first 12 or more bytes must stay apart.
  const std::string base(40, 'x');
  for (int i = 0; i < 40; ++i) {
    std::string key = base;
    key[i] = 'y';
    set(key, tag(100 + i));
  }
  set(base, tag(99));
  EXPECT_EQ(42, hash->used);
  for (int i = 0; i < 40; ++i) {
    std::string key = base;
    key[i] = 'y';
    EXPECT_EQ(tag(100 + i), get(key)) << i;
  }
  EXPECT_EQ(tag(99), get(base));
  EXPECT_EQ(nullptr, get(base + "x"));
  EXPECT_EQ(0, KTHashRemove(hash, tm.mgr(), ""));
  EXPECT_EQ(0, KTHashExists(hash, tm.mgr(), ""));
  EXPECT_EQ(tag(99), get(base));
}

TEST(KTHashFunctionTest, EveryByteOfALongKeyCounts) {
  // One changed byte anywhere in a 40-byte key (three full blocks and a
  // tail) changes the hash; so do the length and the initial value.
  std::string key(40, 'q');
  const auto h = [](const std::string& k, uint64_t init) {
    return KTHashFunction((const unsigned char*)k.data(), k.size(), init);
  };
  const uint64_t reference = h(key, 7);
  std::set<uint64_t> seen = {reference};
  for (size_t i = 0; i < key.size(); ++i) {
    std::string changed = key;
    changed[i] = (char)0xE9;  // a byte above 0x7f is taken as unsigned
    seen.insert(h(changed, 7));
  }
  EXPECT_EQ(41u, seen.size());
  EXPECT_NE(reference, h(key, 8));
  EXPECT_NE(h(key.substr(0, 39), 7), h(key.substr(0, 38), 7));
  EXPECT_EQ(reference, h(key, 7));
  // The 64-bit arithmetic reaches the upper half of the result.
  bool upperBitsUsed = false;
  for (int i = 0; i < 16 && !upperBitsUsed; ++i) upperBitsUsed = (h(std::to_string(i), 3) >> 32) != 0;
  EXPECT_TRUE(upperBitsUsed);
}

TEST_F(KTHashTest, RemovalInsideAChainKeepsTheRestReachable) {
  set("seed", tag(0));  // allocate the 256 slots
  const int slot = 100;
  std::vector<std::string> chain = keysWithHome(slot, 256, 4, "c");
  // Keys homed just below the chain get pushed further down by it.
  std::vector<std::string> below = keysWithHome(slot - 1, 256, 2, "b");
  for (size_t i = 0; i < chain.size(); ++i) set(chain[i], tag(10 + i));
  for (size_t i = 0; i < below.size(); ++i) set(below[i], tag(20 + i));
  EXPECT_EQ(slot, slotOf(chain[0]));
  EXPECT_EQ(slot - 3, slotOf(chain[3]));
  EXPECT_EQ(slot - 5, slotOf(below[1]));

  ASSERT_EQ(0, KTHashRemove(hash, tm.mgr(), chain[1].c_str()));
  EXPECT_EQ(nullptr, get(chain[1]));
  EXPECT_EQ(tag(10), get(chain[0]));
  EXPECT_EQ(tag(12), get(chain[2]));
  EXPECT_EQ(tag(13), get(chain[3]));
  EXPECT_EQ(tag(20), get(below[0]));
  EXPECT_EQ(tag(21), get(below[1]));
  // The chain closed up: nothing is left beyond the moved members.
  EXPECT_EQ(slot - 1, slotOf(chain[2]));
  EXPECT_EQ(slot - 4, slotOf(below[1]));
  EXPECT_EQ(0u, hash->pair[slot - 5]);
  EXPECT_EQ(6, hash->used);

  ASSERT_EQ(0, KTHashRemove(hash, tm.mgr(), chain[0].c_str()));
  for (const std::string& k : {chain[2], chain[3], below[0], below[1]}) EXPECT_NE(nullptr, get(k)) << k;
  EXPECT_EQ(5, hash->used);
}

TEST_F(KTHashTest, RemovalRepairsChainsThatWrapAroundSlotZero) {
  set("seed", tag(0));
  std::vector<std::string> atZero = keysWithHome(0, 256, 3, "z");
  std::vector<std::string> atOne = keysWithHome(1, 256, 2, "o");
  for (size_t i = 0; i < atOne.size(); ++i) set(atOne[i], tag(30 + i));   // slots 1, 0
  for (size_t i = 0; i < atZero.size(); ++i) set(atZero[i], tag(40 + i)); // 255, 254, 253
  EXPECT_EQ(255, slotOf(atZero[0]));
  EXPECT_EQ(253, slotOf(atZero[2]));

  ASSERT_EQ(0, KTHashRemove(hash, tm.mgr(), atOne[1].c_str()));  // frees slot 0
  EXPECT_EQ(0, slotOf(atZero[0])) << "the wrapped member moves back to its home";
  for (size_t i = 0; i < atZero.size(); ++i) EXPECT_EQ(tag(40 + i), get(atZero[i]));
  EXPECT_EQ(tag(30), get(atOne[0]));

  ASSERT_EQ(0, KTHashRemove(hash, tm.mgr(), atZero[0].c_str()));
  EXPECT_EQ(tag(41), get(atZero[1]));
  EXPECT_EQ(tag(42), get(atZero[2]));
}

TEST_F(KTHashTest, RemovalLeavesMembersThatAreReachableAcrossTheWrap) {
  set("seed", tag(0));
  const std::string atOne = keysWithHome(1, 256, 1, "a")[0];
  const std::vector<std::string> atZero = keysWithHome(0, 256, 2, "z");
  const std::string at254 = keysWithHome(254, 256, 1, "t")[0];
  set(atZero[0], tag(1));  // slot 0
  set(atOne, tag(2));      // slot 1
  set(atZero[1], tag(3));  // wraps to slot 255
  set(at254, tag(4));      // its home, 254
  ASSERT_EQ(255, slotOf(atZero[1]));
  ASSERT_EQ(254, slotOf(at254));

  // The gap at slot 1 lies outside every remaining member's probe path.
  ASSERT_EQ(0, KTHashRemove(hash, tm.mgr(), atOne.c_str()));
  EXPECT_EQ(0, slotOf(atZero[0]));
  EXPECT_EQ(255, slotOf(atZero[1]));
  EXPECT_EQ(254, slotOf(at254));
  EXPECT_EQ(tag(1), get(atZero[0]));
  EXPECT_EQ(tag(3), get(atZero[1]));
  EXPECT_EQ(tag(4), get(at254));
}

TEST_F(KTHashTest, RandomizedAgainstStdMap) {
  std::mt19937 rng(4711);
  std::map<std::string, void*> model;
  std::uniform_int_distribution<int> keyDist(0, 3000);
  std::uniform_int_distribution<int> opDist(0, 9);
  for (int step = 0; step < 40000; ++step) {
    const int n = keyDist(rng);
    // Mixed lengths: short, block-sized and longer than one block.
    const std::string key = std::string(n % 17, 'k') + std::to_string(n);
    const int op = opDist(rng);
    if (op < 5) {
      set(key, tag(step + 1));
      model[key] = tag(step + 1);
    } else if (op < 9) {
      ASSERT_EQ(0, KTHashRemove(hash, tm.mgr(), key.c_str()));
      model.erase(key);
    } else {
      auto it = model.find(key);
      ASSERT_EQ(it == model.end() ? nullptr : it->second, get(key)) << key;
    }
    ASSERT_EQ((int)model.size(), hash->used);
    if (step % 4000 == 0) {
      for (const auto& entry : model) ASSERT_EQ(entry.second, get(entry.first)) << entry.first;
    }
  }
  for (const auto& entry : model) EXPECT_EQ(entry.second, get(entry.first)) << entry.first;
  KTStringList* keys = nullptr;
  ASSERT_EQ(0, KTStringListNew(&keys));
  ASSERT_EQ(0, KTHashKeys(hash, tm.mgr(), keys));
  int size = 0;
  KTStringListSize(keys, &size);
  std::set<std::string> listed;
  for (int i = 0; i < size; ++i) {
    KTStatus status;
    listed.insert(KTStringListElementAt(keys, i, &status));
  }
  KTStringListFree(&keys);
  std::set<std::string> expected;
  for (const auto& entry : model) expected.insert(entry.first);
  EXPECT_EQ(expected, listed);
}

TEST_F(KTHashTest, KeysAndForEachFollowSlotOrder) {
  std::vector<std::string> inserted;
  for (int i = 0; i < 50; ++i) {
    inserted.push_back("key-" + std::to_string(i));
    set(inserted.back(), tag(i + 1));
  }
  std::vector<std::string> bySlot;
  for (int i = 0; i <= hash->capacity; ++i) {
    for (const std::string& k : inserted) {
      if (slotOf(k) == i) bySlot.push_back(k);
    }
  }
  ASSERT_EQ(inserted.size(), bySlot.size());
  EXPECT_NE(inserted, bySlot) << "slot order is not insertion order";

  CKTStringList keys;
  ASSERT_EQ(0, KTHashKeys(hash, tm.mgr(), keys.getList()));
  EXPECT_EQ(bySlot, keys.toStringVector());
  // Keys are appended behind what the list already holds.
  ASSERT_EQ(0, KTHashKeys(hash, tm.mgr(), keys.getList()));
  EXPECT_EQ(100, keys.size());

  SeenPairs seen;
  EXPECT_EQ(0, KTHashForEach(hash, tm.mgr(), collectIterator, &seen, (const char*)nullptr));
  ASSERT_EQ(bySlot.size(), seen.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(bySlot[i], seen[i].first);
    EXPECT_EQ(get(bySlot[i]), seen[i].second);
  }
  seen.clear();
  EXPECT_EQ(77, KTHashForEach(hash, tm.mgr(), collectIterator, &seen, bySlot[9].c_str()));
  EXPECT_EQ(10u, seen.size()) << "the walk stops at the first non-zero result";
}

TEST_F(KTHashTest, ClearAndClearAndFreeElementsKeepCapacity) {
  for (int i = 0; i < 300; ++i) set(std::to_string(i), tag(i + 1));
  EXPECT_EQ(512, hash->capacity);
  std::vector<void*> destroyed;
  EXPECT_EQ(0, KTHashClearAndFreeElements(hash, tm.mgr(), countingDestructor, &destroyed));
  EXPECT_EQ(300u, destroyed.size()) << "every element, despite the non-zero results";
  EXPECT_EQ(0, hash->used);
  EXPECT_EQ(512, hash->capacity);
  EXPECT_EQ(2, tm.blocks()) << "only the record and the slot array remain";
  EXPECT_EQ(nullptr, get("7"));

  set("again", tag(1));
  EXPECT_EQ(tag(1), get("again"));
  EXPECT_EQ(0, KTHashClear(hash, tm.mgr()));
  EXPECT_EQ(0, hash->used);
  EXPECT_EQ(512, hash->capacity);
  EXPECT_EQ(0, KTHashExists(hash, tm.mgr(), "again"));
}

TEST_F(KTHashTest, FailedAllocationsLeaveTheTableUnchanged) {
  tm.failCalloc = true;
  EXPECT_EQ(ERROR_MEMORY_ALLOCATION, KTHashSet(hash, tm.mgr(), "a", tag(1)));
  EXPECT_EQ(0, hash->capacity);
  tm.failCalloc = false;
  set("a", tag(1));

  tm.failStrdup = true;
  EXPECT_EQ(ERROR_MEMORY_ALLOCATION, KTHashSet(hash, tm.mgr(), "b", tag(2)));
  tm.failStrdup = false;
  tm.failMalloc = true;
  EXPECT_EQ(ERROR_MEMORY_ALLOCATION, KTHashSet(hash, tm.mgr(), "b", tag(2)));
  // Replacing needs no allocation.
  EXPECT_EQ(0, KTHashSet(hash, tm.mgr(), "a", tag(3)));
  tm.failMalloc = false;
  EXPECT_EQ(1, hash->used);
  EXPECT_EQ(0, KTHashExists(hash, tm.mgr(), "b"));
  EXPECT_EQ(tag(3), get("a"));

  for (int i = 0; i < 229; ++i) set(std::to_string(i), tag(10 + i));
  ASSERT_EQ(230, hash->used);
  set("fills-to-231", tag(9));
  tm.failCalloc = true;
  EXPECT_EQ(ERROR_MEMORY_ALLOCATION, KTHashSet(hash, tm.mgr(), "needs-growth", tag(4)));
  tm.failCalloc = false;
  EXPECT_EQ(256, hash->capacity);
  EXPECT_EQ(231, hash->used);
  EXPECT_EQ(tag(9), get("fills-to-231"));
}

TEST_F(KTHashTest, BadArgumentsAreRejected) {
  KTStatus status = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTHashSet(nullptr, tm.mgr(), "k", nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTHashSet(hash, nullptr, "k", nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTHashSet(hash, tm.mgr(), nullptr, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTHashRemove(hash, tm.mgr(), nullptr));
  EXPECT_EQ(nullptr, KTHashGet(hash, tm.mgr(), nullptr, &status));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, status);
  EXPECT_EQ(0, KTHashExists(nullptr, tm.mgr(), "k"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTHashKeys(hash, tm.mgr(), nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTHashForEach(hash, tm.mgr(), nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTHashClearAndFreeElements(hash, tm.mgr(), nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTHashNew(&hash, tm.mgr())) << "pointer must be null";
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTHashFree(nullptr, tm.mgr()));
  EXPECT_EQ(0, hash->used);
}

TEST(KTHashNamedTest, FirstUserInitialisesWithTheKey) {
  KTMemoryManager* mgr = nullptr;
  ASSERT_EQ(0, KTMemoryManagerSysNew(&mgr));
  KTHash* named = nullptr;
  int users = 0;
  ASSERT_EQ(0, KTHashNamedNew(&named, mgr, 42, &users));
  EXPECT_EQ(1, users);
  EXPECT_EQ(42, named->key);
  EXPECT_EQ(0, named->capacity);
  EXPECT_EQ(0, KTHashSet(named, mgr, "x", mgr));
  EXPECT_EQ(mgr, KTHashGet(named, mgr, "x", nullptr));
  EXPECT_EQ(0, KTHashFree(&named, mgr));
  EXPECT_EQ(0, KTMemoryManagerSysBlockCount(mgr));
  mgr->Free(&mgr);
}
