// Tests of the exporter's store of router samples against scripted monitor
// ports: a router that answers wrongly keeps its last data and says why,
// state changes are logged once, and a router that never answers holds up
// neither the documents nor the stop.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "RRStatusBoard.h"
#include "ToolTestServers.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;
using json = nlohmann::json;
using tooltest::FakeLineServer;
using tooltest::MonitorAnswer;

namespace {

const char* const kPool = "P Storefront 1 1 0 0 0 5 2 0 0 5 0 0 0 0 0 0 0 0 0 1\r\n";

json entry(const CStatusBoard& board, CStatusBoard::Document which) {
  RRStatusAnswer answer = board.document(which);
  EXPECT_EQ(200, answer.status);
  return json::parse(answer.body)["routers"][0];
}

TEST(RRStatusBoardTest, AWrongAnswerKeepsTheLastDataAndSaysWhy) {
  std::atomic<bool> broken{false};
  FakeLineServer server([&](const std::string& line) -> std::optional<std::string> {
    if (broken) return std::string("garbage\n");
    return MonitorAnswer(line == "13" ? kPool : "");
  });
  std::mutex logMutex;
  std::vector<std::string> log;
  const RRToolAddress monitor{"127.0.0.1", server.port()};
  CStatusBoard board({monitor}, 1000, 60000, [&](const std::string& line) {
    std::lock_guard<std::mutex> guard(logMutex);
    log.push_back(line);
  });
  const std::string name = "127.0.0.1:" + std::to_string(server.port());

  json before = entry(board, CStatusBoard::POOLS);
  EXPECT_TRUE(before["reachable"].is_null());
  EXPECT_TRUE(before["checked_ms"].is_null());
  EXPECT_EQ(json::array(), before["pools"]);

  board.sample(0);
  json good = entry(board, CStatusBoard::POOLS);
  EXPECT_EQ(true, good["reachable"]);
  ASSERT_EQ(1u, good["pools"].size());
  EXPECT_EQ("Storefront", good["pools"][0]["name"]);

  broken = true;
  board.sample(0);
  board.sample(0);
  json bad = entry(board, CStatusBoard::POOLS);
  EXPECT_EQ(false, bad["reachable"]);
  EXPECT_THAT(bad["error"].get<std::string>(), HasSubstr("garbage"));
  EXPECT_EQ(good["pools"], bad["pools"]);
  EXPECT_EQ(good["updated_ms"], bad["updated_ms"]);
  EXPECT_GE(bad["checked_ms"].get<long long>(), good["checked_ms"].get<long long>());
  EXPECT_EQ(1u, entry(board, CStatusBoard::HISTORY)["pools"].size());

  broken = false;
  board.sample(0);
  EXPECT_EQ(true, entry(board, CStatusBoard::PEERS)["reachable"]);
  std::lock_guard<std::mutex> guard(logMutex);
  ASSERT_EQ(2u, log.size());
  EXPECT_THAT(log[0], StartsWith("router " + name + " cannot be reached: "));
  EXPECT_EQ("router " + name + " answers again", log[1]);
}

TEST(RRStatusBoardTest, ASilentRouterHoldsUpNeitherTheDocumentsNorTheStop) {
  // Connections are taken by the backlog and never answered.
  uint16_t port = 0;
  const int silent = testsockets::ListenLoopback(&port);
  ASSERT_GE(silent, 0);
  CStatusBoard board({{"127.0.0.1", port}}, 500, 100);
  board.start();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(200, board.document(CStatusBoard::SERVERS).status);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  json state;
  do {
    state = entry(board, CStatusBoard::POOLS);
    if (state["reachable"] == false) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(false, state["reachable"]);
  EXPECT_FALSE(state["error"].get<std::string>().empty());

  const auto stopping = std::chrono::steady_clock::now();
  board.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(3));
  close(silent);
}

TEST(RRStatusBoardTest, UnknownRoutersAreRefused) {
  CStatusBoard board({{"127.0.0.1", 1}, {"127.0.0.1", 2}}, 100, 1000);
  RRStatusAnswer answer = board.document(CStatusBoard::POOLS, "127.0.0.1:3");
  EXPECT_EQ(404, answer.status);
  EXPECT_THAT(answer.body, HasSubstr("\"error\""));
  EXPECT_EQ(1u, json::parse(board.document(CStatusBoard::PEERS, "127.0.0.1:2").body)["routers"].size());
  // With two routers explain must be told which.
  EXPECT_EQ(400, board.explain({{"pool", "P"}}).status);
  EXPECT_EQ(400, board.explain({{"router", "127.0.0.1:1"}, {"pool", "P"}, {"pool", "Q"}}).status);
}

}  // namespace
