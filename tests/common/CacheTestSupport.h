// CacheTestSupport.h - helpers for the cache queue and cache reader tests:
// cache data built from items, and a fixture owning one queue and the
// readers registered with it.
#ifndef CACHETESTSUPPORT_H
#define CACHETESTSUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "VXCacheInfo.h"
#include "VXCacheQueue.h"

namespace cachetest {

inline const std::string D("\x01\x01", 2);  // the item delimiter

// Cache data made of the given items, each followed by the delimiter.
inline std::string items(const std::vector<std::string>& list) {
  std::string out;
  for (const auto& item : list) out += item + D;
  return out;
}

// A queue made by makeQueue() and the readers made by addReader(), all
// released after the test. The buffers of the read helpers start with
// "stale" text, so a read that appends instead of replacing shows.
class CacheTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (CacheInfo*& reader : mReaders) {
      if (reader != nullptr) CacheInfoFree(&reader, nullptr);
    }
    if (mQueue != nullptr) {
      EXPECT_EQ(0, CacheQueueFree(&mQueue, nullptr));
    }
  }

  void makeQueue(int maxCount) { ASSERT_EQ(0, CacheQueueNew(&mQueue, maxCount, nullptr)); }

  // A new reader, registered with the queue unless asked otherwise.
  CacheInfo* addReader(bool registered = true) {
    CacheInfo* reader = nullptr;
    EXPECT_EQ(0, CacheInfoNew(&reader, nullptr));
    if (registered) {
      EXPECT_EQ(0, CacheQueueAddServer(mQueue, reader, nullptr));
    }
    mReaders.push_back(reader);
    return reader;
  }

  void add(const std::string& data) { ASSERT_EQ(0, CacheQueueAddData(mQueue, data.c_str(), nullptr)); }

  // The reader's pending data; the reader moves past it.
  static std::string update(CacheInfo* reader) {
    testsupport::Buffer out("stale");
    EXPECT_EQ(0, CacheInfoUpdateData(reader, out.get(), nullptr));
    return out.str();
  }
  // The number of items pending for the reader (-1 in overflow).
  static int pending(CacheInfo* reader) {
    int n = -99;
    EXPECT_EQ(0, CacheInfoCountItems(reader, &n, nullptr));
    return n;
  }
  static int overflow(CacheInfo* reader) {
    int o = -1;
    EXPECT_EQ(0, CacheInfoGetOverflow(reader, &o, nullptr));
    return o;
  }

  CacheQueue* mQueue = nullptr;
  std::vector<CacheInfo*> mReaders;
};

}  // namespace cachetest

#endif  // CACHETESTSUPPORT_H
