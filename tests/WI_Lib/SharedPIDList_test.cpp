// Tests of the PID list in System V shared memory and of its lock: segment
// creation and layout, names cut to 31 characters, the 32-entry limit,
// removal of the segment with the last entry, and exclusion between
// processes. Every test uses its own key file and removes its segment.
#include <errno.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DaemonController.h"
#include "ServiceException.h"
#include "ServiceTestSupport.h"

namespace {

using svctest::KeyFile;
using svctest::SegmentExists;

class SharedPIDListTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(key_.ok()); }

  // The segment's bytes as another process would see them.
  std::vector<unsigned char> RawSegment() {
    std::vector<unsigned char> bytes;
    const int id = shmget(key_.key(), 0, 0);
    if (id == -1) return bytes;
    void* address = shmat(id, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void*>(-1)) return bytes;
    const unsigned char* p = static_cast<const unsigned char*>(address);
    bytes.assign(p, p + SharedPIDList::SEGMENT_SIZE);
    shmdt(address);
    return bytes;
  }

  KeyFile key_;
};

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const CServiceException& e) {
    return e.what();
  }
  return "(nothing raised)";
}

TEST_F(SharedPIDListTest, ReadingWithoutCreatingLeavesNoSegment) {
  SharedPIDList list(key_.path(), false);
  EXPECT_FALSE(list.isAttached());
  EXPECT_EQ(0, list.find("svc"));
  EXPECT_TRUE(list.getPIDs().empty());
  list.remove(1234);
  EXPECT_FALSE(SegmentExists(key_.key()));
}

TEST_F(SharedPIDListTest, CreatedSegmentHasItsSizeModeAndIsEmpty) {
  SharedPIDList list(key_.path());
  ASSERT_TRUE(list.isAttached());
  EXPECT_EQ(ftok(key_.path().c_str(), 80), list.getKey());
  struct shmid_ds info;
  ASSERT_EQ(0, shmctl(list.getSegmentId(), IPC_STAT, &info));
  EXPECT_EQ(1152u, info.shm_segsz);
  EXPECT_EQ(0666u, info.shm_perm.mode & 0777u);
  const std::vector<unsigned char> raw = RawSegment();
  ASSERT_EQ(1152u, raw.size());
  for (unsigned char byte : raw) ASSERT_EQ(0, byte);
  EXPECT_TRUE(list.getPIDs().empty());
}

TEST_F(SharedPIDListTest, EntriesAreSharedAndLaidOutAsThirtySixByteRecords) {
  SharedPIDList writer(key_.path());
  writer.add(4242, "first");
  writer.add(77, "second");
  SharedPIDList reader(key_.path(), false);
  EXPECT_EQ(4242, reader.find("first"));
  EXPECT_EQ(77, reader.find("second"));
  EXPECT_EQ(0, reader.find("third"));
  const std::vector<PIDEntry> entries = reader.getPIDs();
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("first", SharedPIDList::entryName(entries[0]));
  EXPECT_EQ("second", SharedPIDList::entryName(entries[1]));

  const std::vector<unsigned char> raw = RawSegment();
  ASSERT_EQ(1152u, raw.size());
  int32_t pid = 0;
  memcpy(&pid, &raw[36], 4);
  EXPECT_EQ(77, pid);
  EXPECT_EQ(0, memcmp(&raw[40], "second\0\0", 8));
}

TEST_F(SharedPIDListTest, LongNameIsCutToThirtyOneCharacters) {
  SharedPIDList list(key_.path());
  const std::string name(40, 'n');
  list.add(9, name);
  EXPECT_EQ(0, list.find(name));  // compared on 32 characters, the 32nd differs
  EXPECT_EQ(9, list.find(name.substr(0, 31)));
  const std::vector<PIDEntry> entries = list.getPIDs();
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(name.substr(0, 31), SharedPIDList::entryName(entries[0]));
  EXPECT_EQ('\0', entries[0].name[31]);
}

TEST_F(SharedPIDListTest, FreedEntryIsReusedWithItsOldNameCleared) {
  SharedPIDList list(key_.path());
  list.add(1, "a-rather-long-service-name");
  list.add(2, "keep");
  list.remove(1);
  list.add(3, "b");
  const std::vector<PIDEntry> entries = list.getPIDs();
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ(3, entries[0].pid);
  EXPECT_EQ("b", SharedPIDList::entryName(entries[0]));
  for (size_t i = 1; i < sizeof(entries[0].name); ++i) EXPECT_EQ('\0', entries[0].name[i]);
}

TEST_F(SharedPIDListTest, ThirtyThirdEntryRunsOutOfSpace) {
  SharedPIDList list(key_.path());
  for (int i = 1; i <= 32; ++i) list.add(i, "svc" + std::to_string(i));
  EXPECT_EQ("SharedPIDList::add(): Ran out of PID space", Message([&]() { list.add(33, "one too many"); }));
  EXPECT_EQ(32u, list.getPIDs().size());
  EXPECT_EQ(0, list.find("one too many"));
}

TEST_F(SharedPIDListTest, RemovingTheLastEntryRemovesTheSegment) {
  SharedPIDList list(key_.path());
  list.add(5, "x");
  list.add(5, "y");  // a pid recorded twice is freed at once
  list.add(6, "z");
  list.remove(5);
  EXPECT_TRUE(SegmentExists(key_.key()));
  EXPECT_EQ(0, list.find("x"));
  EXPECT_EQ(6, list.find("z"));
  list.remove(999);  // unknown pid: nothing changes
  EXPECT_TRUE(SegmentExists(key_.key()));
  list.remove(6);
  EXPECT_FALSE(SegmentExists(key_.key()));
  EXPECT_FALSE(list.isAttached());
}

TEST_F(SharedPIDListTest, NextAddAfterRemovalCreatesAFreshSegment) {
  SharedPIDList list(key_.path());
  list.add(5, "x");
  const int firstId = list.getSegmentId();
  list.remove(5);
  ASSERT_FALSE(SegmentExists(key_.key()));
  list.add(8, "again");
  EXPECT_TRUE(list.isAttached());
  EXPECT_NE(firstId, list.getSegmentId());
  const std::vector<PIDEntry> entries = list.getPIDs();
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(8, entries[0].pid);
}

TEST_F(SharedPIDListTest, HandleFollowsASegmentRecreatedByAnotherHandle) {
  SharedPIDList old(key_.path());
  old.add(5, "x");
  old.remove(5);  // old handle detached, segment gone
  SharedPIDList other(key_.path());
  other.add(6, "y");
  EXPECT_EQ(6, old.find("y"));
}

TEST_F(SharedPIDListTest, SegmentOfTheWrongSizeIsRefused) {
  const int id = shmget(key_.key(), 100, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_NE(-1, id);
  EXPECT_EQ("SharedPIDList::SharedPIDList(): Could not access shared memory segment",
            Message([&]() { SharedPIDList list(key_.path()); }));
}

TEST_F(SharedPIDListTest, MissingKeyFileGivesNoKey) {
  EXPECT_EQ("SharedPIDList::SharedPIDList(): Could not create an IPC key",
            Message([&]() { SharedPIDList list(key_.dir() + "/missing"); }));
}

// Whether another process can take the lock at this moment.
bool OtherProcessCanLock(const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open(path.c_str(), O_RDONLY);
    const int result = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 0 : 1;
    _exit(result);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(SharedPIDListTest, LockExcludesOtherProcessesUntilReleased) {
  {
    SharedPIDListLock lock(key_.path());
    EXPECT_TRUE(lock.isHeld());
    EXPECT_FALSE(OtherProcessCanLock(key_.path()));
  }
  EXPECT_TRUE(OtherProcessCanLock(key_.path()));
}

TEST_F(SharedPIDListTest, AbandonedLockStaysWithTheOtherHolder) {
  SharedPIDListLock lock(key_.path());
  const pid_t child = fork();
  if (child == 0) {
    lock.abandon();  // the child's copy goes; the parent still holds the lock
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(OtherProcessCanLock(key_.path()));
}

TEST_F(SharedPIDListTest, UnreadableKeyFileWorksWithoutLock) {
  SharedPIDListLock lock(key_.dir() + "/missing");
  EXPECT_FALSE(lock.isHeld());
}

}  // namespace
