// Tests of the monitor line parsers: lines written with the router's own
// formats, negative and wrapped counts, cache data with odd bytes, and every
// way a line can break, which must name the line instead of misreading it.
#include <cstdio>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RRMonitorLines.h"
#include "RRToolException.h"

using ::testing::HasSubstr;

namespace {

std::string poolLine(const char* name, int first) {
  char line[512];
  snprintf(line, sizeof line, "%c %s %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d\r\n", 'P',
           name, first, first + 1, first + 2, first + 3, first + 4, first + 5, first + 6, first + 7, first + 8,
           first + 9, first + 10, first + 11, first + 12, first + 13, first + 14, first + 15, first + 16,
           first + 17, first + 18, first + 19);
  return line;
}

std::string serverLine(const char* pool, const char* ip, unsigned short port, const char* state,
                       const char* cache = nullptr) {
  char line[1024];
  if (cache == nullptr) {
    snprintf(line, sizeof line, "%c %s %s:%hu %d %s %d %d %d %d %d %d %d %s %s %s %s %d %s %d \r\n", 'S', pool,
             ip, port, 4242, state, 3, 17, 1, 15, 120, 0, 2, "(NULL)", "/shop/index.html", "10.0.0.7", "html", 5,
             "Store1", 9);
  } else {
    snprintf(line, sizeof line, "%c %s %s:%hu %d %s %d %d %d %d %d %d %d %s %s %s %s %d %s %d %s\r\n", 'S', pool,
             ip, port, 4242, state, 3, 17, 1, 15, 120, 0, 2, "(NULL)", "/shop/index.html", "10.0.0.7", "html", 5,
             "Store1", 9, cache);
  }
  return line;
}

// The message of the protocol error that parsing body raises.
template <typename Parse>
std::string failure(Parse parse) {
  try {
    parse();
  } catch (const CToolException& e) {
    EXPECT_EQ(CToolException::TOOL_PROTOCOL, e.kind());
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return "";
}

TEST(RRMonitorLinesTest, PoolLinesInRouterFormat) {
  auto pools = RRParsePoolLines(poolLine("Pool1", 1) + poolLine("Pool2", 100));
  ASSERT_EQ(2u, pools.size());
  EXPECT_EQ("Pool1", pools[0].name);
  EXPECT_EQ(1, pools[0].values[RR_POOL_IDLE]);
  EXPECT_EQ(2, pools[0].values[RR_POOL_SERVERS]);
  EXPECT_EQ(14, pools[0].values[RR_POOL_ASSIGNED]);
  EXPECT_EQ(18, pools[0].values[RR_POOL_LIMIT_CLIENT]);
  EXPECT_EQ(20, pools[0].values[RR_POOL_UNIQUE_MISSES]);
  EXPECT_EQ(119, pools[1].values[RR_POOL_UNIQUE_MISSES]);
}

TEST(RRMonitorLinesTest, EmptyAnswerHasNoRecords) {
  EXPECT_TRUE(RRParsePoolLines("").empty());
  EXPECT_TRUE(RRParseServerLines("", true).empty());
  EXPECT_TRUE(RRParsePeerLines("").empty());
}

TEST(RRMonitorLinesTest, UnreadableAndWrappedCountsAreNegativeNumbers) {
  // -1 stands for a count the router could not read; counters above 2^31
  // arrive as negative low 32 bits.
  auto pools = RRParsePoolLines("P p -1 -1 -1 -1 -1 -2147483648 0 0 0 0 0 0 0 -1 -1 -1 -1 0 0 0\n");
  ASSERT_EQ(1u, pools.size());
  EXPECT_EQ(-1, pools[0].values[RR_POOL_IDLE]);
  EXPECT_EQ(-2147483648LL, pools[0].values[RR_POOL_HITS]);
}

TEST(RRMonitorLinesTest, BrokenPoolLinesNameTheLine) {
  const std::string good = poolLine("A", 0);
  EXPECT_THAT(failure([&] { RRParsePoolLines(good + "P B 1 2 3\r\n"); }), HasSubstr("line 2"));
  EXPECT_THAT(failure([&] { RRParsePoolLines(good + "P B 1 2 3\r\n"); }), HasSubstr("has 22 fields"));
  // One field too many is as wrong as one too few.
  std::string extra = poolLine("C", 0);
  extra.insert(extra.size() - 2, " 7");
  EXPECT_THAT(failure([&] { RRParsePoolLines(extra); }), HasSubstr("after the last field"));
  std::string word = poolLine("D", 0);
  word.replace(word.find(" 5 "), 3, " x5 ");
  EXPECT_THAT(failure([&] { RRParsePoolLines(word); }), HasSubstr("is not a number"));
  EXPECT_THAT(failure([&] { RRParsePoolLines(serverLine("P", "h", 1, "idle")); }), HasSubstr("not a pool line"));
  std::string doubled = poolLine("E", 0);
  doubled.replace(doubled.find(" 3 "), 3, " 3  ");
  EXPECT_THAT(failure([&] { RRParsePoolLines(doubled); }), HasSubstr("line 1"));
}

TEST(RRMonitorLinesTest, ServerLineWithTrailingBlank) {
  auto servers = RRParseServerLines(serverLine("Pool1", "10.0.0.21", 801, "working"), false);
  ASSERT_EQ(1u, servers.size());
  const RRServerLine& s = servers[0];
  EXPECT_EQ("Pool1", s.pool);
  EXPECT_EQ("10.0.0.21", s.host);
  EXPECT_EQ(801, s.port);
  EXPECT_EQ(4242, s.pid);
  EXPECT_EQ("working", s.state);
  EXPECT_EQ(17, s.hits);
  EXPECT_EQ(120, s.meanMs);
  EXPECT_EQ(2, s.cacheWaiting);
  EXPECT_EQ("/shop/index.html", s.task);
  EXPECT_EQ("10.0.0.7", s.client);
  EXPECT_EQ(5, s.priority);
  EXPECT_EQ("Store1", s.store);
  EXPECT_EQ(9, s.lastUseAge);
  EXPECT_FALSE(s.hasCacheData);
}

TEST(RRMonitorLinesTest, ServerHostIsSplitAtTheLastColon) {
  auto servers = RRParseServerLines(serverLine("P", "fe80::1", 8080, "idle"), false);
  ASSERT_EQ(1u, servers.size());
  EXPECT_EQ("fe80::1", servers[0].host);
  EXPECT_EQ(8080, servers[0].port);
  EXPECT_THAT(failure([] { RRParseServerLines(serverLine("P", "nohost", 0, "idle"), false); }),
              HasSubstr("HOST:PORT"));
}

TEST(RRMonitorLinesTest, CacheDataIsTheRestOfTheLine) {
  const std::string data = std::string("item a\x01\x01") + "b\x01\x01";
  auto servers = RRParseServerLines(serverLine("P", "h", 1, "idle", data.c_str()) +
                                        serverLine("P", "h", 2, "idle", ""),
                                    true);
  ASSERT_EQ(2u, servers.size());
  EXPECT_TRUE(servers[0].hasCacheData);
  EXPECT_EQ(data, servers[0].cacheData);
  EXPECT_EQ("", servers[1].cacheData);
  // A plain server line lacks the cache field.
  std::string plain = serverLine("P", "h", 1, "idle");
  plain.erase(plain.size() - 3, 1);  // no blank before the line end
  EXPECT_THAT(failure([&] { RRParseServerLines(plain, true); }), HasSubstr("cache data field is missing"));
}

TEST(RRMonitorLinesTest, ServerLineWithExtraTextIsRefused) {
  EXPECT_THAT(failure([] { RRParseServerLines(serverLine("P", "h", 1, "idle", "x"), false); }),
              HasSubstr("after the last field"));
}

TEST(RRMonitorLinesTest, PeerLines) {
  auto peers = RRParsePeerLines("M 10.0.0.2:47004 up 3\r\nM ::1:47001 new -1\r\n");
  ASSERT_EQ(2u, peers.size());
  EXPECT_EQ("10.0.0.2", peers[0].host);
  EXPECT_EQ(47004, peers[0].port);
  EXPECT_EQ("up", peers[0].state);
  EXPECT_EQ(3, peers[0].contactAge);
  EXPECT_EQ("::1", peers[1].host);
  EXPECT_EQ(-1, peers[1].contactAge);
  EXPECT_THAT(failure([] { RRParsePeerLines("M 10.0.0.2:47004 up\r\n"); }), HasSubstr("has 4 fields"));
  EXPECT_THAT(failure([] { RRParsePeerLines("M 10.0.0.2:70000 up 1\r\n"); }), HasSubstr("HOST:PORT"));
}

TEST(RRMonitorLinesTest, CacheItemsAndPrintableText) {
  EXPECT_EQ((std::vector<std::string>{"a", "b c"}), RRSplitCacheItems("a\x01\x01" "b c\x01\x01"));
  EXPECT_EQ((std::vector<std::string>{"All"}), RRSplitCacheItems("All\x01\x01"));
  // A torn last item is shown, not hidden.
  EXPECT_EQ((std::vector<std::string>{"a", "tail\x01"}), RRSplitCacheItems("a\x01\x01tail\x01"));
  EXPECT_TRUE(RRSplitCacheItems("").empty());
  EXPECT_EQ("a\\x01\\\\b\\xff", RRPrintable("a\x01\\b\xff"));
  EXPECT_EQ("abc...", RRPrintable("abcdef", 3));
}

}  // namespace
