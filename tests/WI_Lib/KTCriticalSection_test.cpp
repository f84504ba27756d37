// Tests of the critical sections: mutual exclusion, cancel-state handling,
// the shared variants (named block, caller's block, across a fork), the scope
// guard and owning class, and the fatal integrity checks.
#include "KTCriticalSection.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CKTCriticalSection.h"
#include "KTMemoryManager.h"
#include "KTUtils.h"
#include "WIException.h"

namespace {

int CurrentCancelState() {
  int state = -1;
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
  pthread_setcancelstate(state, nullptr);
  return state;
}

// True when the section's mutex is free right now (probed from another thread,
// so a section held by this thread counts as taken).
bool IsFree(KTCriticalSection* pCS) {
  bool result = false;
  std::thread probe([&] {
    pthread_mutex_t* m = &pCS->pData->pShared->mutex;
    if (pthread_mutex_trylock(m) == 0) {
      result = true;
      pthread_mutex_unlock(m);
    }
  });
  probe.join();
  return result;
}

// Counts to `rounds` per thread with a non-atomic increment under the section.
void Hammer(KTCriticalSection* pCS, long* pCounter, int threads, int rounds) {
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; t++) {
    workers.emplace_back([=] {
      for (int i = 0; i < rounds; i++) {
        ASSERT_EQ(0, pCS->Enter(pCS));
        ++*pCounter;
        ASSERT_EQ(0, pCS->Leave(pCS));
      }
    });
  }
  for (std::thread& w : workers) w.join();
}

// A manager with real named blocks and user counts, as a shared-memory
// manager would have; only the operations the section uses are present.
struct NamedBlock {
  void* block;
  int users;
};
std::map<int, NamedBlock> gNamed;
int gUnallocs = 0;

void* FakeNamedCalloc(KTMemoryManager*, int name, int count, size_t size, int* pCounter) {
  if (name == 99) return nullptr;  // a name this manager cannot supply
  auto it = gNamed.find(name);
  if (it == gNamed.end()) it = gNamed.emplace(name, NamedBlock{calloc(count, size), 0}).first;
  *pCounter = ++it->second.users;
  return it->second.block;
}
KTStatus FakeReleaseName(KTMemoryManager*, int name, int* pCounter) {
  *pCounter = --gNamed.at(name).users;
  return 0;
}
void FakeUnalloc(KTMemoryManager*, void* ptr) {
  for (auto it = gNamed.begin(); it != gNamed.end(); ++it) {
    if (it->second.block == ptr) {
      free(ptr);
      gNamed.erase(it);
      break;
    }
  }
  gUnallocs++;
}

class NamedManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gNamed.clear();
    gUnallocs = 0;
    mgr.NamedCalloc = FakeNamedCalloc;
    mgr.ReleaseName = FakeReleaseName;
    mgr.Unalloc = FakeUnalloc;
  }
  KTMemoryManager mgr{};
};

}  // namespace

TEST(CriticalSectionThread, RejectsNullAndUsedPointer) {
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTCriticalSectionThreadNew(nullptr));
  KTCriticalSection* used = reinterpret_cast<KTCriticalSection*>(0x10);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTCriticalSectionThreadNew(&used));
  EXPECT_EQ(reinterpret_cast<KTCriticalSection*>(0x10), used);
}

TEST(CriticalSectionThread, ExcludesConcurrentThreads) {
  KTCriticalSection* pCS = nullptr;
  ASSERT_EQ(0, KTCriticalSectionThreadNew(&pCS));
  EXPECT_EQ(0, pCS->pData->identifier);
  EXPECT_EQ(nullptr, pCS->pData->pMemMgr);
  long counter = 0;
  Hammer(pCS, &counter, 4, 20000);
  EXPECT_EQ(80000, counter);
  EXPECT_EQ(0, pCS->Free(&pCS));
  EXPECT_EQ(nullptr, pCS);
}

TEST(CriticalSectionThread, NullArgumentsToOperations) {
  KTCriticalSection* pCS = nullptr;
  ASSERT_EQ(0, KTCriticalSectionThreadNew(&pCS));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, pCS->Enter(nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, pCS->Leave(nullptr));
  KTCriticalSection* none = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, pCS->Free(&none));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, pCS->Free(nullptr));
  EXPECT_EQ(0, pCS->Free(&pCS));
}

TEST(CriticalSectionThread, HoldingDisablesCancellationAndNestingRestoresIt) {
  KTCriticalSection* a = nullptr;
  KTCriticalSection* b = nullptr;
  ASSERT_EQ(0, KTCriticalSectionThreadNew(&a));
  ASSERT_EQ(0, KTCriticalSectionThreadNew(&b));
  ASSERT_EQ(PTHREAD_CANCEL_ENABLE, CurrentCancelState());

  ASSERT_EQ(0, a->Enter(a));
  EXPECT_EQ(PTHREAD_CANCEL_DISABLE, CurrentCancelState());
  ASSERT_EQ(0, b->Enter(b));
  EXPECT_FALSE(IsFree(a));
  EXPECT_FALSE(IsFree(b));
  ASSERT_EQ(0, b->Leave(b));
  // The inner section found cancellation disabled and must leave it so.
  EXPECT_EQ(PTHREAD_CANCEL_DISABLE, CurrentCancelState());
  EXPECT_TRUE(IsFree(b));
  ASSERT_EQ(0, a->Leave(a));
  EXPECT_EQ(PTHREAD_CANCEL_ENABLE, CurrentCancelState());

  // A thread that had cancellation disabled keeps it disabled.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  ASSERT_EQ(0, a->Enter(a));
  ASSERT_EQ(0, a->Leave(a));
  EXPECT_EQ(PTHREAD_CANCEL_DISABLE, CurrentCancelState());
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);

  a->Free(&a);
  b->Free(&b);
}

TEST(CriticalSectionGuard, LocksForItsScopeAndCanLeaveEarly) {
  KTCriticalSection* pCS = nullptr;
  ASSERT_EQ(0, KTCriticalSectionThreadNew(&pCS));
  {
    KTCriticalSectionGuard guard(pCS);
    EXPECT_TRUE(guard.locked());
    EXPECT_EQ(0, guard.status());
    EXPECT_FALSE(IsFree(pCS));
  }
  EXPECT_TRUE(IsFree(pCS));
  {
    KTCriticalSectionGuard guard(pCS);
    EXPECT_EQ(0, guard.leave());
    EXPECT_FALSE(guard.locked());
    EXPECT_TRUE(IsFree(pCS));
    EXPECT_EQ(0, guard.leave());  // nothing held any more
  }
  // Had the destructor unlocked a second time the next Enter could not succeed
  // reliably; prove the section is in a sane state.
  EXPECT_TRUE(IsFree(pCS));
  {
    KTCriticalSectionGuard guard(nullptr);
    EXPECT_FALSE(guard.locked());
    EXPECT_EQ(ERROR_INVALID_PARAMETER, guard.status());
  }
  pCS->Free(&pCS);
}

TEST(CriticalSectionClass, OwnsASectionUsableThroughTheGuard) {
  CKTCriticalSection cs;
  ASSERT_NE(nullptr, cs.getData());
  long counter = 0;
  Hammer(cs, &counter, 2, 5000);
  EXPECT_EQ(10000, counter);
  cs.enter();
  EXPECT_FALSE(IsFree(cs));
  EXPECT_EQ(0, cs.leave());
  {
    KTCriticalSectionGuard guard(cs);
    EXPECT_TRUE(guard.locked());
  }
  EXPECT_TRUE(IsFree(cs));
}

TEST(CriticalSectionShared, SharedSizeFitsTheRecord) {
  EXPECT_EQ(sizeof(KTCriticalSectionSharedData), KTCriticalSectionPThreadSharedSize());
#if defined(__x86_64__) && defined(__linux__)
  EXPECT_EQ(48u, KTCriticalSectionPThreadSharedSize());
#endif
}

TEST(CriticalSectionRaw, ArgumentsAndTooSmallBlock) {
  alignas(16) unsigned char block[128] = {};
  size_t size = sizeof block;
  KTCriticalSection* pCS = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTCriticalSectionThreadAndIPCRawNew(nullptr, block, &size, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTCriticalSectionThreadAndIPCRawNew(&pCS, nullptr, &size, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTCriticalSectionThreadAndIPCRawNew(&pCS, block, nullptr, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTCriticalSectionThreadAndIPCRawNew(&pCS, block + 1, &size, nullptr));
  size = KTCriticalSectionPThreadSharedSize() - 1;
  EXPECT_EQ(ERROR_MEMORY_ALLOCATION, KTCriticalSectionThreadAndIPCRawNew(&pCS, block, &size, nullptr));
  EXPECT_EQ(nullptr, pCS);
  EXPECT_EQ(0, reinterpret_cast<KTCriticalSectionSharedData*>(block)->initialized);
}

TEST(CriticalSectionRaw, TwoSectionsOnOneBlockShareTheLock) {
  alignas(16) unsigned char block[128] = {};
  size_t size = sizeof block;
  KTCriticalSection* first = nullptr;
  KTCriticalSection* second = nullptr;
  ASSERT_EQ(0, KTCriticalSectionThreadAndIPCRawNew(&first, block, &size, nullptr));
  EXPECT_EQ(KTCriticalSectionPThreadSharedSize(), size);
  EXPECT_EQ(-1, first->pData->identifier);
  size = sizeof block;
  ASSERT_EQ(0, KTCriticalSectionThreadAndIPCRawNew(&second, block, &size, nullptr));
  ASSERT_EQ(0, first->Enter(first));
  EXPECT_FALSE(IsFree(second));
  ASSERT_EQ(0, first->Leave(first));

  EXPECT_EQ(0, first->Free(&first));
  EXPECT_EQ(nullptr, first);
  // The block and its mutex stay the caller's and keep working.
  ASSERT_EQ(0, second->Enter(second));
  ASSERT_EQ(0, second->Leave(second));
  EXPECT_EQ(0, second->Free(&second));
  EXPECT_EQ(1, reinterpret_cast<KTCriticalSectionSharedData*>(block)->initialized);
  pthread_mutex_destroy(&reinterpret_cast<KTCriticalSectionSharedData*>(block)->mutex);
}

TEST(CriticalSectionRaw, WaitsWhileAnotherInitialises) {
  alignas(16) unsigned char block[128] = {};
  auto* shared = reinterpret_cast<KTCriticalSectionSharedData*>(block);
  // Someone else has claimed the block and finishes 150 ms later.
  __atomic_store_n(&shared->initialized, -1, __ATOMIC_RELEASE);
  std::thread initialiser([shared] {
    SleepMilliseconds(150);
    pthread_mutex_init(&shared->mutex, nullptr);
    __atomic_store_n(&shared->initialized, 1, __ATOMIC_RELEASE);
  });
  size_t size = sizeof block;
  KTCriticalSection* pCS = nullptr;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, KTCriticalSectionThreadAndIPCRawNew(&pCS, block, &size, nullptr));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
  initialiser.join();
  ASSERT_NE(nullptr, pCS);
  EXPECT_EQ(0, pCS->Enter(pCS));
  EXPECT_EQ(0, pCS->Leave(pCS));
  pCS->Free(&pCS);
  pthread_mutex_destroy(&shared->mutex);
}

TEST(CriticalSectionRaw, BlockInImpossibleStateIsRefused) {
  alignas(16) unsigned char block[128] = {};
  reinterpret_cast<KTCriticalSectionSharedData*>(block)->initialized = 7;
  size_t size = sizeof block;
  KTCriticalSection* pCS = nullptr;
  EXPECT_EQ(ERROR_UNKNOWN, KTCriticalSectionThreadAndIPCRawNew(&pCS, block, &size, nullptr));
  EXPECT_EQ(nullptr, pCS);
}

TEST(CriticalSectionRaw, ExcludesAnotherProcess) {
  const long kRounds = 20000;
  struct Area {
    alignas(16) unsigned char section[64];
    long counter;
  };
  void* mem = mmap(nullptr, sizeof(Area), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, mem);
  Area* area = static_cast<Area*>(mem);

  pid_t child = fork();
  ASSERT_NE(-1, child);
  // Parent and child both attach to the zero-filled block at about the same
  // time; exactly one of them initialises it.
  KTCriticalSection* pCS = nullptr;
  size_t size = sizeof area->section;
  if (KTCriticalSectionThreadAndIPCRawNew(&pCS, area->section, &size, nullptr) != 0) {
    if (child == 0) _exit(2);
    FAIL() << "parent could not attach";
  }
  for (long i = 0; i < kRounds; i++) {
    pCS->Enter(pCS);
    long value = area->counter;
    area->counter = value + 1;
    pCS->Leave(pCS);
  }
  pCS->Free(&pCS);
  if (child == 0) _exit(0);

  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(2 * kRounds, area->counter);
  munmap(mem, sizeof(Area));
}

TEST_F(NamedManagerTest, ArgumentErrors) {
  KTCriticalSection* pCS = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTCriticalSectionThreadAndIPCNew(nullptr, &mgr, 1, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTCriticalSectionThreadAndIPCNew(&pCS, nullptr, 1, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTCriticalSectionThreadAndIPCNew(&pCS, &mgr, 0, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTCriticalSectionThreadAndIPCNew(&pCS, &mgr, -3, nullptr));
  KTCriticalSection* used = reinterpret_cast<KTCriticalSection*>(0x20);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTCriticalSectionThreadAndIPCNew(&used, &mgr, 1, nullptr));
  EXPECT_TRUE(gNamed.empty());
  // The manager cannot supply the block.
  EXPECT_EQ(ERROR_MEMORY_ALLOCATION, KTCriticalSectionThreadAndIPCNew(&pCS, &mgr, 99, nullptr));
  EXPECT_EQ(nullptr, pCS);
}

TEST_F(NamedManagerTest, SecondUserSharesAndLastUserReleases) {
  KTCriticalSection* first = nullptr;
  KTCriticalSection* second = nullptr;
  ASSERT_EQ(0, KTCriticalSectionThreadAndIPCNew(&first, &mgr, 5, nullptr));
  ASSERT_EQ(0, KTCriticalSectionThreadAndIPCNew(&second, &mgr, 5, nullptr));
  EXPECT_EQ(first->pData->pShared, second->pData->pShared);
  EXPECT_EQ(5, second->pData->identifier);
  EXPECT_EQ(2, gNamed.at(5).users);

  ASSERT_EQ(0, first->Enter(first));
  EXPECT_FALSE(IsFree(second));
  ASSERT_EQ(0, first->Leave(first));

  EXPECT_EQ(0, first->Free(&first));
  EXPECT_EQ(0, gUnallocs);  // still in use by the second section
  ASSERT_EQ(0, second->Enter(second));
  ASSERT_EQ(0, second->Leave(second));
  EXPECT_EQ(0, second->Free(&second));
  EXPECT_EQ(1, gUnallocs);
  EXPECT_TRUE(gNamed.empty());
}

TEST_F(NamedManagerTest, LaterUserWaitsForTheInitialiser) {
  // Another process holds the name and is half-way through initialising.
  auto* shared = static_cast<KTCriticalSectionSharedData*>(calloc(1, sizeof(KTCriticalSectionSharedData)));
  pthread_mutex_init(&shared->mutex, nullptr);
  shared->initialized = 0;
  gNamed.emplace(3, NamedBlock{shared, 1});
  std::thread initialiser([shared] {
    SleepMilliseconds(150);
    __atomic_store_n(&shared->initialized, 1, __ATOMIC_RELEASE);
  });
  KTCriticalSection* pCS = nullptr;
  EXPECT_EQ(0, KTCriticalSectionThreadAndIPCNew(&pCS, &mgr, 3, nullptr));
  initialiser.join();
  ASSERT_NE(nullptr, pCS);
  EXPECT_EQ(0, pCS->Enter(pCS));
  EXPECT_EQ(0, pCS->Leave(pCS));
  EXPECT_EQ(0, pCS->Free(&pCS));
  EXPECT_EQ(0, gUnallocs);
  EXPECT_EQ(1, gNamed.at(3).users);
  pthread_mutex_destroy(&shared->mutex);
  free(shared);
}

TEST(CriticalSectionSysManager, NamedSectionReturnsItsBlock) {
  KTMemoryManager* mgr = nullptr;
  ASSERT_EQ(0, KTMemoryManagerSysNew(&mgr));
  KTCriticalSection* pCS = nullptr;
  ASSERT_EQ(0, KTCriticalSectionThreadAndIPCNew(&pCS, mgr, 42, nullptr));
  EXPECT_EQ(1, KTMemoryManagerSysBlockCount(mgr));
  long counter = 0;
  Hammer(pCS, &counter, 2, 5000);
  EXPECT_EQ(10000, counter);
  EXPECT_EQ(0, pCS->Free(&pCS));
  EXPECT_EQ(0, KTMemoryManagerSysBlockCount(mgr));
  mgr->Free(&mgr);
}

TEST(CriticalSectionDeathTest, UninitialisedSectionEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  KTCriticalSection* pCS = nullptr;
  ASSERT_EQ(0, KTCriticalSectionThreadNew(&pCS));
  pCS->pData->pShared->initialized = 0;
  EXPECT_EXIT(pCS->Enter(pCS), ::testing::ExitedWithCode(1),
              "assertation \"1 == pCriticalSection->pData->pShared->initialized\" failed in file "
              "KTCriticalSectionPThread");
  EXPECT_EXIT(pCS->Leave(pCS), ::testing::ExitedWithCode(1), "1 == pCriticalSection->pData->pShared->initialized");
  pCS->pData->pShared->initialized = 1;

  KTCriticalSectionData* saved = pCS->pData;
  pCS->pData = nullptr;
  EXPECT_EXIT(pCS->Enter(pCS), ::testing::ExitedWithCode(1), "NULL != pCriticalSection->pData");
  pCS->pData = saved;
  pCS->Free(&pCS);
}

TEST(CriticalSectionDeathTest, NamedSectionWithoutManagerEndsTheProcessOnFree) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  KTMemoryManager* mgr = nullptr;
  ASSERT_EQ(0, KTMemoryManagerSysNew(&mgr));
  KTCriticalSection* pCS = nullptr;
  ASSERT_EQ(0, KTCriticalSectionThreadAndIPCNew(&pCS, mgr, 1, nullptr));
  pCS->pData->pMemMgr = nullptr;
  EXPECT_EXIT(pCS->Free(&pCS), ::testing::ExitedWithCode(1), "NULL != \\(\\*ppCriticalSection\\)->pData->pMemMgr");
  pCS->pData->pMemMgr = mgr;
  pCS->Free(&pCS);
  mgr->Free(&mgr);
}
