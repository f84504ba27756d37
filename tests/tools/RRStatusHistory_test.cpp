// Tests of the per-pool rate history of the status page: rates between
// samples, counters that drop or print negative, and the bounds on points
// and pools whatever the router reports.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RRStatusBoard.h"
#include "RRStatusHistory.h"

using ::testing::ElementsAre;

namespace {

RRPoolLine poolLine(const std::string& name, long long hits, long long misses) {
  RRPoolLine line;
  line.name = name;
  line.values[RR_POOL_HITS] = hits;
  line.values[RR_POOL_MISSES] = misses;
  return line;
}

TEST(RRStatusHistoryTest, RatesBetweenSamples) {
  CStatusHistory history(10, 4);
  history.add(1000, {poolLine("A", 100, 10)});
  EXPECT_TRUE(history.points("A").empty());  // one sample is no rate yet
  history.add(3000, {poolLine("A", 110, 14)});
  // The same time again, or an earlier one, gives no point.
  history.add(3000, {poolLine("A", 500, 500)});
  history.add(2000, {poolLine("A", 500, 500)});
  std::vector<RRRatePoint> points = history.points("A");
  ASSERT_EQ(1u, points.size());
  EXPECT_EQ(3000, points[0].atMs);
  EXPECT_FLOAT_EQ(5.0f, points[0].hitsPerS);
  EXPECT_FLOAT_EQ(2.0f, points[0].missesPerS);

  // A reset counts from zero; the low 32 bits printed negative are read
  // unsigned, so growing past 2^31 is no drop.
  history.add(4000, {poolLine("A", 3, 2147483647LL)});
  history.add(5000, {poolLine("A", 4, -2147483646LL)});
  // -1 is a count the router could not read.
  history.add(6000, {poolLine("A", -1, -2147483640LL)});
  points = history.points("A");
  ASSERT_EQ(4u, points.size());
  EXPECT_FLOAT_EQ(3.0f, points[1].hitsPerS);
  EXPECT_FLOAT_EQ(1.0f, points[2].hitsPerS);
  EXPECT_FLOAT_EQ(3.0f, points[2].missesPerS);
  EXPECT_FLOAT_EQ(-1.0f, points[3].hitsPerS);
  EXPECT_FLOAT_EQ(6.0f, points[3].missesPerS);
}

TEST(RRStatusHistoryTest, PointsAndPoolsStayWithinTheirBounds) {
  const std::size_t maxPoints = 5;
  const std::size_t maxPools = 3;
  CStatusHistory history(maxPoints, maxPools);
  std::vector<RRPoolLine> many;
  for (int p = 0; p < 50; ++p) many.push_back(poolLine("P" + std::to_string(p), 0, 0));
  many.push_back(poolLine(std::string(CStatusHistory::kMaxPoolName + 1, 'x'), 0, 0));
  for (int s = 0; s <= 20; ++s) {
    for (RRPoolLine& line : many) line.values[RR_POOL_HITS] = s;
    history.add(1000 * (s + 1), many);
  }
  EXPECT_THAT(history.pools(), ElementsAre("P0", "P1", "P2"));
  EXPECT_EQ(48u, history.untracked());
  for (const std::string& name : history.pools()) {
    const std::vector<RRRatePoint> points = history.points(name);
    ASSERT_EQ(maxPoints, points.size());
    // The newest points are kept, oldest first.
    for (std::size_t i = 0; i < maxPoints; ++i) EXPECT_EQ(static_cast<int64_t>(1000 * (17 + i)), points[i].atMs);
  }

  // A pool that vanishes is dropped with its points and makes room for the
  // next one; a tracked pool keeps its place over new ones.
  std::vector<RRPoolLine> fewer(many.begin() + 1, many.end());
  history.add(30000, fewer);
  EXPECT_THAT(history.pools(), ElementsAre("P1", "P2", "P3"));
  EXPECT_TRUE(history.points("P0").empty());
  EXPECT_TRUE(history.points("P3").empty());
  EXPECT_EQ(maxPoints, history.points("P1").size());
  history.add(31000, {});
  EXPECT_TRUE(history.pools().empty());
  EXPECT_EQ(0u, history.untracked());
}

TEST(RRStatusHistoryTest, TenMinutesOfPointsAtMost600) {
  EXPECT_EQ(300u, CStatusBoard::historyPoints(2000));
  EXPECT_EQ(600u, CStatusBoard::historyPoints(1000));
  EXPECT_EQ(600u, CStatusBoard::historyPoints(100));
  EXPECT_EQ(10u, CStatusBoard::historyPoints(60000));
}

}  // namespace
