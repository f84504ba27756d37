// Tests of the cache reader: pending data, update, exchange, and exchange under concurrent writers.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "CacheTestSupport.h"
#include "TestSupport.h"
#include "VXCacheInfo.h"
#include "VXCacheQueue.h"

namespace {

using cachetest::D;
using cachetest::items;
using testsupport::Buffer;

constexpr int kRounds = 400;

// Splits cache data back into its items (the text must end with a delimiter).
std::vector<std::string> split(const std::string& data) {
  std::vector<std::string> out;
  std::string::size_type start = 0;
  std::string::size_type pos;
  while ((pos = data.find(D, start)) != std::string::npos) {
    out.push_back(data.substr(start, pos - start));
    start = pos + D.size();
  }
  EXPECT_EQ(start, data.size()) << "data does not end with a delimiter";
  return out;
}

class CacheInfoTest : public cachetest::CacheTest {
 protected:
  static std::string exchange(CacheInfo* reader, const std::string& own) {
    Buffer out("stale");
    EXPECT_EQ(0, CacheInfoExchangeData(reader, own.c_str(), out.get(), nullptr));
    return out.str();
  }
  static std::string peek(CacheInfo* reader) {
    Buffer out("stale");
    EXPECT_EQ(0, CacheInfoGetData(reader, out.get(), nullptr));
    return out.str();
  }
};

TEST_F(CacheInfoTest, NewReaderHasNoQueueAndSaysSo) {
  testsupport::FileLog log;
  CacheInfo* reader = nullptr;
  ASSERT_EQ(0, CacheInfoNew(&reader, log));
  int value = -1;
  EXPECT_EQ(0, CacheInfoGetCacheIndex(reader, &value, log));
  EXPECT_EQ(0, value);
  EXPECT_EQ(0, CacheInfoGetOverflow(reader, &value, log));
  EXPECT_EQ(0, value);
  Buffer out;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheInfoGetData(reader, out.get(), log));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheInfoExchangeData(reader, "", out.get(), log));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheInfoNew(&reader, log));  // slot not empty
  EXPECT_EQ(0, CacheInfoFree(&reader, log));
  EXPECT_EQ(nullptr, reader);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CacheInfoFree(&reader, log));
  EXPECT_TRUE(log.contains("CacheInfoGetData(): cache queue is not set. call CacheInfoSetQueue() first"))
      << log.text();
}

TEST_F(CacheInfoTest, LateReaderSeesOnlyNewerItems) {
  makeQueue(10);
  CacheInfo* writer = addReader();
  EXPECT_EQ("", exchange(writer, items({"old1", "old2"})));
  CacheInfo* late = addReader();
  EXPECT_EQ(0, pending(late));
  EXPECT_EQ("", peek(late));
  EXPECT_EQ("", exchange(writer, items({"x"})));
  EXPECT_EQ(items({"x"}), update(late));
}

TEST_F(CacheInfoTest, GetDataLeavesTheReaderWhereUpdateMovesIt) {
  makeQueue(10);
  CacheInfo* reader = addReader();
  add(items({"a", "b"}));
  EXPECT_EQ(2, pending(reader));
  EXPECT_EQ(items({"a", "b"}), peek(reader));
  EXPECT_EQ(items({"a", "b"}), peek(reader));
  EXPECT_EQ(items({"a", "b"}), update(reader));
  EXPECT_EQ(0, pending(reader));
  EXPECT_EQ("", update(reader));
  // Overflow: counted as -1, shown as the reset item until an update clears it.
  ASSERT_EQ(0, CacheInfoSetOverflow(reader, 1, nullptr));
  EXPECT_EQ(-1, pending(reader));
  EXPECT_EQ("All" + D, peek(reader));
  EXPECT_EQ("All" + D, update(reader));
  EXPECT_EQ(0, pending(reader));
}

TEST_F(CacheInfoTest, ExchangeNeverReturnsTheSendersOwnItems) {
  makeQueue(10);
  CacheInfo* a = addReader();
  CacheInfo* b = addReader();
  EXPECT_EQ("", exchange(a, items({"a1", "a2"})));
  EXPECT_EQ(items({"a1", "a2"}), exchange(b, items({"b1"})));
  EXPECT_EQ(items({"b1"}), exchange(a, items({"a3"})));
  EXPECT_EQ(items({"a3"}), exchange(b, ""));
  EXPECT_EQ("", exchange(a, ""));
  // A null text counts as nothing to add.
  Buffer out;
  EXPECT_EQ(0, CacheInfoExchangeData(b, nullptr, out.get(), nullptr));
  EXPECT_EQ("", out.str());
}

TEST_F(CacheInfoTest, ExchangeInOverflowSendsResetAndSkipsOwnItems) {
  makeQueue(3);
  CacheInfo* a = addReader();
  CacheInfo* b = addReader();
  // a's own items lap the small ring: b, still at the start, loses items;
  // a itself ends up clean and past its own items.
  EXPECT_EQ("", exchange(a, items({"a1", "a2", "a3", "a4", "a5"})));
  EXPECT_EQ(0, overflow(a));
  EXPECT_EQ(0, pending(a));
  EXPECT_EQ(-1, pending(b));
  EXPECT_EQ("All" + D, exchange(b, items({"b1"})));
  EXPECT_EQ(0, pending(b));
  EXPECT_EQ(items({"b1"}), exchange(a, ""));
}

// Two servers exchange their own items while a third writer adds data at the
// same time. Each must receive every item of the others exactly once, in
// order, and none of its own.
TEST_F(CacheInfoTest, ConcurrentExchangesLoseAndRepeatNothing) {
  makeQueue(10 * kRounds);
  CacheInfo* a = addReader();
  CacheInfo* b = addReader();

  auto run = [](CacheInfo* reader, const std::string& tag, std::string* received) {
    for (int i = 0; i < kRounds; ++i) {
      Buffer out;
      const std::string own = tag + std::to_string(i) + std::string("\x01\x01", 2);
      ASSERT_EQ(0, CacheInfoExchangeData(reader, own.c_str(), out.get(), nullptr));
      *received += out.str();
    }
  };
  std::string receivedA;
  std::string receivedB;
  std::thread writer([this] {
    for (int i = 0; i < kRounds; ++i) {
      const std::string data = "w" + std::to_string(i) + std::string("\x01\x01", 2);
      ASSERT_EQ(0, CacheQueueAddData(mQueue, data.c_str(), nullptr));
    }
  });
  std::thread ta(run, a, "a", &receivedA);
  std::thread tb(run, b, "b", &receivedB);
  writer.join();
  ta.join();
  tb.join();
  receivedA += update(a);
  receivedB += update(b);

  auto check = [](const std::string& received, const std::string& own,
                         const std::string& other) {
    int nextOther = 0;
    int nextWriter = 0;
    for (const std::string& item : split(received)) {
      ASSERT_FALSE(item.empty());
      ASSERT_NE(own, item.substr(0, 1)) << "own item " << item << " came back";
      const int number = std::stoi(item.substr(1));
      if (item[0] == 'w') {
        ASSERT_EQ(nextWriter++, number);
      } else {
        ASSERT_EQ(other, item.substr(0, 1));
        ASSERT_EQ(nextOther++, number);
      }
    }
    EXPECT_EQ(kRounds, nextOther);
    EXPECT_EQ(kRounds, nextWriter);
  };
  check(receivedA, "a", "b");
  check(receivedB, "b", "a");
}

}  // namespace
