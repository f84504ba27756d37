// Tests of the application-server record: creation bounds, the state table,
// the processing-time statistics, socket matching and the monitor lines.
#include "KTASServer.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "ASServerTestSupport.h"
#include "KTBuffer.h"
#include "KTSocket.h"
#include "VXCacheInfo.h"
#include "VXCacheQueue.h"

namespace {

using astest::Request;
using astest::TestClock;
using testsupport::Buffer;
using testsupport::FileLog;

typedef long (*MonitorCallback)(void*, va_list);

// Calls a monitor callback the way the list's for-each does (response, log).
long CallMonitor(MonitorCallback callback, void* element, ...) {
  va_list args;
  va_start(args, element);
  long result = callback(element, args);
  va_end(args);
  return result;
}

class KTASServerTest : public ::testing::Test {
 protected:
  void SetUp() override { Renew(); }
  void TearDown() override { Release(); }

  void Release() {
    if (as_ != nullptr) {
      EXPECT_EQ(0, KTASServerFree(&as_, log_));
    }
    if (queue_ != nullptr) {
      EXPECT_EQ(0, CacheQueueFree(&queue_, log_));
    }
  }
  // Replaces the record (and its queue) by a fresh one.
  void Renew() {
    Release();
    ASSERT_EQ(0, KTASServerNew(&as_, "Pool1", "10.0.0.5", 7001, 3, 4242, log_));
  }

  // Registers the record's cache info with a fresh queue of `slots` slots.
  void AttachQueue(int slots) {
    ASSERT_EQ(0, CacheQueueNew(&queue_, slots, log_));
    CacheInfo* info = nullptr;
    ASSERT_EQ(0, KTASServerGetCacheInfo(as_, &info, log_));
    ASSERT_EQ(0, CacheQueueAddServer(queue_, info, log_));
  }

  // Brings the fresh record into `state` through the public operations.
  void Enter(KTASStatus state) {
    CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html", "/shop/a.html");
    switch (state) {
      case KTASSTATUS_IDLE:
        break;
      case KTASSTATUS_ASSIGNED:
        ASSERT_EQ(0, KTASServerSetAssigned(as_, &request, log_));
        break;
      case KTASSTATUS_WORKING:
        ASSERT_EQ(0, KTASServerSetAssigned(as_, &request, log_));
        ASSERT_EQ(0, KTASServerSetWorking(as_, log_));
        break;
      case KTASSTATUS_MONITOR:
        ASSERT_EQ(0, KTASServerSetAssigned(as_, &request, log_));
        ASSERT_EQ(0, KTASServerSetWorking(as_, log_));
        ASSERT_EQ(0, KTASServerStartMonitor(as_, log_));
        break;
      case KTASSTATUS_SHUTDOWN:
        ASSERT_EQ(0, KTASServerSetShutdown(as_, log_));
        break;
    }
    ASSERT_EQ(state, Status());
  }

  KTASStatus Status() {
    KTASStatus status = KTASSTATUS_SHUTDOWN;
    EXPECT_EQ(0, KTASServerGetStatus(as_, &status, log_));
    return status;
  }

  uint64_t Quality() {
    uint64_t quality = 99;
    EXPECT_EQ(0, KTASServerGetQuality(as_, &quality, log_));
    return quality;
  }

  // The record's figures and texts through the locked copies.
  KTASServerFigures Figures(KTASServer* as = nullptr) {
    KTASServerFigures figures{};
    EXPECT_EQ(0, KTASServerGetFigures(as != nullptr ? as : as_, &figures, log_));
    return figures;
  }
  std::string Text(KTASServerText which, KTASServer* as = nullptr) {
    Buffer text;
    EXPECT_EQ(0, KTASServerGetText(as != nullptr ? as : as_, which, text.get(), log_));
    return text.str();
  }
  int Priority() {
    int priority = -1;
    EXPECT_EQ(0, KTASServerGetPriority(as_, &priority, log_));
    return priority;
  }

  std::string MonitorLine(MonitorCallback callback = KTASServerMonitorServer) {
    Buffer response;
    EXPECT_EQ(0, CallMonitor(callback, as_, response.get(), log_.get()));
    return response.str();
  }

  // One assignment that reports working and then idle after `ms` milliseconds.
  void Measure(long long ms) {
    CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html");
    ASSERT_EQ(0, KTASServerSetAssigned(as_, &request, log_));
    ASSERT_EQ(0, KTASServerSetWorking(as_, log_));
    clock_.advance(ms);
    ASSERT_EQ(0, KTASServerSetIdle(as_, log_));
  }

  TestClock clock_{1700000000, 0};
  FileLog log_;
  KTASServer* as_ = nullptr;
  CacheQueue* queue_ = nullptr;
};

// ---------------------------------------------------------------- creation

TEST_F(KTASServerTest, NewRecordStartsIdleWithEmptyHistory) {
  EXPECT_EQ('S', Figures().type);
  EXPECT_STREQ("10.0.0.5", KTASServerGetIP(as_));
  EXPECT_EQ("Pool1", Text(KTASSERVER_TEXT_POOLNAME));
  EXPECT_EQ(7001, KTASServerGetPort(as_));
  EXPECT_EQ(3, Priority());
  EXPECT_EQ(4242u, Figures().pid);
  EXPECT_EQ(-1, Figures().socketFd);
  EXPECT_EQ(KTASSTATUS_IDLE, Status());
  EXPECT_STREQ("(NULL)", Text(KTASSERVER_TEXT_TASK).c_str());
  EXPECT_STREQ("", KTASServerGetClientIP(as_));
  EXPECT_STREQ("", KTASServerGetSiteGUID(as_));
  EXPECT_STREQ("", KTASServerGetExtension(as_));
  EXPECT_EQ(1700000000, KTASServerGetLastUse(as_));
  EXPECT_EQ(1700000000, Figures().lastContact);
  EXPECT_EQ(0u, Figures().hits);
  EXPECT_EQ(0u, Quality());
  int index = -1;
  int overflow = -1;
  EXPECT_EQ(0, KTASServerGetCacheIndex(as_, &index, log_));
  EXPECT_EQ(0, KTASServerGetOverflow(as_, &overflow, log_));
  EXPECT_EQ(0, index);
  EXPECT_EQ(0, overflow);
}

TEST_F(KTASServerTest, NewRejectsBadArgumentsAndLeavesTheSlotNull) {
  KTASServer* other = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerNew(nullptr, "P", "h", 1, 0, 0, log_));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerNew(&other, nullptr, "h", 1, 0, 0, log_));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerNew(&other, "P", nullptr, 1, 0, 0, log_));
  EXPECT_EQ(nullptr, other);
  KTASServer* occupied = as_;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerNew(&occupied, "P", "h", 1, 0, 0, log_));
  EXPECT_EQ(as_, occupied);
  EXPECT_EQ(4, log_.count("KTASServerNew(): wrong arguments passed to procedure (ppKTASSrv: "));
  EXPECT_EQ(1, log_.count("PoolName: (null), IP: h)"));
}

TEST_F(KTASServerTest, HostAndPoolNameAreBoundedToTheirArrays) {
  const std::string host255(255, 'h');
  const std::string pool254(254, 'p');
  KTASServer* longest = nullptr;
  ASSERT_EQ(0, KTASServerNew(&longest, pool254.c_str(), host255.c_str(), 1, 0, 0, log_));
  EXPECT_EQ(host255, KTASServerGetIP(longest));
  EXPECT_EQ(pool254, Text(KTASSERVER_TEXT_POOLNAME, longest));
  EXPECT_EQ(0, KTASServerFree(&longest, log_));

  KTASServer* refused = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            KTASServerNew(&refused, "P", std::string(256, 'h').c_str(), 1, 0, 0, log_));
  EXPECT_EQ(nullptr, refused);
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            KTASServerNew(&refused, std::string(255, 'p').c_str(), "h", 1, 0, 0, log_));
  EXPECT_EQ(nullptr, refused);
  EXPECT_EQ(1, log_.count("KTASServerNew(): host too long (256 characters, at most 255)"));
  EXPECT_EQ(1, log_.count("KTASServerNew(): pool name too long (255 characters, at most 254)"));

  EXPECT_EQ(0, KTASServerSetPoolName(as_, pool254.c_str(), log_));
  EXPECT_EQ(pool254, Text(KTASSERVER_TEXT_POOLNAME));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            KTASServerSetPoolName(as_, std::string(255, 'q').c_str(), log_));
  EXPECT_EQ(pool254, Text(KTASSERVER_TEXT_POOLNAME));
}

TEST_F(KTASServerTest, FreeNullsThePointerAndLeavesItsQueue) {
  AttachQueue(4);
  int readers = -1;
  ASSERT_EQ(0, CacheQueueGetCacheInfoCount(queue_, &readers, log_));
  ASSERT_EQ(1, readers);
  EXPECT_EQ(0, KTASServerFree(&as_, log_));
  EXPECT_EQ(nullptr, as_);
  ASSERT_EQ(0, CacheQueueGetCacheInfoCount(queue_, &readers, log_));
  EXPECT_EQ(0, readers);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerFree(&as_, log_));
}

// ---------------------------------------------------------------- matching

TEST_F(KTASServerTest, MatchingComparesHostBytesAndPort) {
  int matches = -1;
  EXPECT_EQ(0, KTASServerMatches(as_, "10.0.0.5", 7001, &matches, log_));
  EXPECT_EQ(1, matches);
  EXPECT_EQ(0, KTASServerMatches(as_, "10.0.0.5", 7002, &matches, log_));
  EXPECT_EQ(0, matches);
  EXPECT_EQ(0, KTASServerMatches(as_, "10.0.0.50", 7001, &matches, log_));
  EXPECT_EQ(0, matches);
  EXPECT_EQ(0, KTASServerMatches(as_, "10.0.0.", 7001, &matches, log_));
  EXPECT_EQ(0, matches);

  KTASServer* twin = nullptr;
  ASSERT_EQ(0, KTASServerNew(&twin, "OtherPool", "10.0.0.5", 7001, 0, 1, log_));
  EXPECT_EQ(0, KTASServerMatchServer(as_, twin, &matches, log_));
  EXPECT_EQ(1, matches);
  KTASServer* named = nullptr;
  ASSERT_EQ(0, KTASServerNew(&named, "Pool1", "localhost", 7001, 0, 1, log_));
  EXPECT_EQ(0, KTASServerMatchServer(as_, named, &matches, log_));
  EXPECT_EQ(0, matches);
  KTASServerFree(&twin, log_);
  KTASServerFree(&named, log_);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerMatches(as_, nullptr, 1, &matches, log_));
}

TEST_F(KTASServerTest, SocketMatchesOnlyTheRecordedConnectionUntilShutdown) {
  KTSocket* mine = nullptr;
  KTSocket* other = nullptr;
  ASSERT_EQ(0, KTSocketNew(&mine, AF_INET, log_));
  ASSERT_EQ(0, KTSocketNew(&other, AF_INET, log_));
  int result = -1;
  EXPECT_EQ(0, KTASServerSocketMatches(as_, mine, &result, log_));
  EXPECT_EQ(0, result);
  ASSERT_EQ(0, KTASServerSetSocket(as_, mine, log_));
  EXPECT_EQ(mine->socket, Figures().socketFd);
  EXPECT_EQ(0, KTASServerSocketMatches(as_, mine, &result, log_));
  EXPECT_EQ(1, result);
  EXPECT_EQ(0, KTASServerSocketMatches(as_, other, &result, log_));
  EXPECT_EQ(0, result);
  ASSERT_EQ(0, KTASServerSetShutdown(as_, log_));
  EXPECT_EQ(0, KTASServerSocketMatches(as_, mine, &result, log_));
  EXPECT_EQ(0, result);
  KTSocketFree(&mine, log_);
  KTSocketFree(&other, log_);
}

// ---------------------------------------------------------------- state table

struct Transition {
  const char* op;
  KTASStatus from;
  KTStatus status;
  KTASStatus to;
};

TEST_F(KTASServerTest, StateTable) {
  const Transition table[] = {
      {"idle", KTASSTATUS_WORKING, 0, KTASSTATUS_IDLE},
      {"idle", KTASSTATUS_MONITOR, 0, KTASSTATUS_IDLE},
      {"idle", KTASSTATUS_ASSIGNED, 0, KTASSTATUS_ASSIGNED},  // within 10000 ms
      {"idle", KTASSTATUS_IDLE, 0, KTASSTATUS_IDLE},
      {"idle", KTASSTATUS_SHUTDOWN, 0, KTASSTATUS_IDLE},
      {"assigned", KTASSTATUS_IDLE, 0, KTASSTATUS_ASSIGNED},
      {"assigned", KTASSTATUS_ASSIGNED, ERROR_UNKNOWN, KTASSTATUS_ASSIGNED},
      {"assigned", KTASSTATUS_WORKING, ERROR_UNKNOWN, KTASSTATUS_WORKING},
      {"assigned", KTASSTATUS_MONITOR, ERROR_UNKNOWN, KTASSTATUS_MONITOR},
      {"assigned", KTASSTATUS_SHUTDOWN, ERROR_UNKNOWN, KTASSTATUS_SHUTDOWN},
      {"working", KTASSTATUS_IDLE, 0, KTASSTATUS_WORKING},
      {"working", KTASSTATUS_ASSIGNED, 0, KTASSTATUS_WORKING},
      {"working", KTASSTATUS_WORKING, 0, KTASSTATUS_WORKING},
      {"working", KTASSTATUS_SHUTDOWN, 0, KTASSTATUS_WORKING},
      {"working", KTASSTATUS_MONITOR, 0, KTASSTATUS_MONITOR},
      {"monitor", KTASSTATUS_WORKING, 0, KTASSTATUS_MONITOR},
      {"monitor", KTASSTATUS_IDLE, ERROR_UNKNOWN, KTASSTATUS_IDLE},
      {"monitor", KTASSTATUS_ASSIGNED, ERROR_UNKNOWN, KTASSTATUS_ASSIGNED},
      {"monitor", KTASSTATUS_MONITOR, ERROR_UNKNOWN, KTASSTATUS_MONITOR},
      {"monitor", KTASSTATUS_SHUTDOWN, ERROR_UNKNOWN, KTASSTATUS_SHUTDOWN},
      {"shutdown", KTASSTATUS_IDLE, 0, KTASSTATUS_SHUTDOWN},
      {"shutdown", KTASSTATUS_ASSIGNED, 0, KTASSTATUS_SHUTDOWN},
      {"shutdown", KTASSTATUS_WORKING, 0, KTASSTATUS_SHUTDOWN},
      {"shutdown", KTASSTATUS_MONITOR, 0, KTASSTATUS_SHUTDOWN},
      {"shutdown", KTASSTATUS_SHUTDOWN, 0, KTASSTATUS_SHUTDOWN},
  };
  CASRequestInfo request = Request("9.9.9.9", "SITE-2", "jsp", "/other.jsp");
  for (const Transition& row : table) {
    SCOPED_TRACE(std::string(row.op) + " from " + ASStatusNames[row.from]);
    Renew();
    Enter(row.from);
    const uint64_t hitsBefore = Figures().hits;
    KTStatus status = -1;
    const std::string op = row.op;
    if (op == "idle") status = KTASServerSetIdle(as_, log_);
    if (op == "assigned") status = KTASServerSetAssigned(as_, &request, log_);
    if (op == "working") status = KTASServerSetWorking(as_, log_);
    if (op == "monitor") status = KTASServerStartMonitor(as_, log_);
    if (op == "shutdown") status = KTASServerSetShutdown(as_, log_);
    EXPECT_EQ(row.status, status);
    EXPECT_EQ(row.to, Status());
    if (op == "assigned" && row.status != 0) {
      EXPECT_EQ(hitsBefore, Figures().hits);
    }
  }
  EXPECT_EQ(4, log_.count("KTASServerSetAssigned(): method was called in an invalid state "));
  EXPECT_EQ(4, log_.count("KTASServerStartMonitor(): method was called in an invalid state "));
  EXPECT_EQ(1, log_.count("KTASServerStartMonitor(): method was called in an invalid state 4"));
}

TEST_F(KTASServerTest, IdleReportOnAnAssignedServerWaitsMoreThanTenSeconds) {
  Enter(KTASSTATUS_ASSIGNED);
  clock_.advance(3000);
  EXPECT_EQ(0, KTASServerSetIdle(as_, log_));
  EXPECT_EQ(KTASSTATUS_ASSIGNED, Status());
  EXPECT_EQ(1700000003, Figures().lastContact);
  clock_.advance(7000);  // exactly 10000 ms: still assigned
  EXPECT_EQ(0, KTASServerSetIdle(as_, log_));
  EXPECT_EQ(KTASSTATUS_ASSIGNED, Status());
  clock_.advance(1);
  EXPECT_EQ(0, KTASServerSetIdle(as_, log_));
  EXPECT_EQ(KTASSTATUS_IDLE, Status());
  EXPECT_EQ(0u, Figures().qualityHits);
  EXPECT_EQ(0u, Figures().longRequests);
  EXPECT_EQ(0u, Figures().meanProcessingTime);
  EXPECT_EQ(1u, Figures().hits);
}

TEST_F(KTASServerTest, IdleFromMonitorKeepsTheStatistics) {
  Enter(KTASSTATUS_MONITOR);
  clock_.advance(250);
  ASSERT_EQ(0, KTASServerSetIdle(as_, log_));
  EXPECT_EQ(KTASSTATUS_IDLE, Status());
  EXPECT_EQ(0u, Figures().qualityHits);
  EXPECT_EQ(0u, Figures().meanProcessingTime);
}

TEST_F(KTASServerTest, MonitorStartRefreshesLastContact) {
  Enter(KTASSTATUS_WORKING);
  clock_.advance(4000);
  ASSERT_EQ(0, KTASServerStartMonitor(as_, log_));
  EXPECT_EQ(1700000004, Figures().lastContact);
}

TEST_F(KTASServerTest, IdleInAnUnknownStateFailsButRefreshesLastContact) {
  KTASServerFigures corrupt = Figures();
  corrupt.state = static_cast<KTASStatus>(7);
  ASSERT_EQ(0, KTASServerTestSetFigures(as_, &corrupt, log_));
  clock_.advance(5000);
  EXPECT_EQ(ERROR_UNKNOWN, KTASServerSetIdle(as_, log_));
  EXPECT_EQ(7, static_cast<int>(Status()));
  EXPECT_EQ(1700000005, Figures().lastContact);
  EXPECT_EQ(1, log_.count("KTASServerSetIdle(): unknown error, method was called in state 7"));
  corrupt.state = KTASSTATUS_IDLE;
  ASSERT_EQ(0, KTASServerTestSetFigures(as_, &corrupt, log_));
}

TEST_F(KTASServerTest, AssignmentCopiesTheRequestAndStampsTheTimes) {
  clock_.advance(2500);
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html", "/shop/a.html?x=1");
  ASSERT_EQ(0, KTASServerSetAssigned(as_, &request, log_));
  EXPECT_STREQ("/shop/a.html?x=1", Text(KTASSERVER_TEXT_TASK).c_str());
  EXPECT_STREQ("1.2.3.4", KTASServerGetClientIP(as_));
  EXPECT_STREQ("SITE-1", KTASServerGetSiteGUID(as_));
  EXPECT_STREQ("html", KTASServerGetExtension(as_));
  EXPECT_EQ("Store1", Text(KTASSERVER_TEXT_STORENAME));
  EXPECT_EQ(1u, Figures().hits);
  EXPECT_EQ(1700000002, KTASServerGetLastUse(as_));
  EXPECT_EQ(1700000002, Figures().startingTime.sec);
  EXPECT_EQ(500, Figures().startingTime.msec);
}

TEST_F(KTASServerTest, OverlongRequestTextsAreCutToTheirFields) {
  CASRequestInfo request = Request(std::string(300, 'c'), std::string(50, 's'),
                                   std::string(25, 'e'));
  request.storeName = std::string(400, 't');
  ASSERT_EQ(0, KTASServerSetAssigned(as_, &request, log_));
  EXPECT_EQ(std::string(255, 'c'), KTASServerGetClientIP(as_));
  EXPECT_EQ(std::string(36, 's'), KTASServerGetSiteGUID(as_));
  EXPECT_EQ(std::string(19, 'e'), KTASServerGetExtension(as_));
  EXPECT_EQ(std::string(254, 't'), Text(KTASSERVER_TEXT_STORENAME));
}

TEST_F(KTASServerTest, ShutdownClearsTheHistoryButKeepsTheStore) {
  KTSocket* socket = nullptr;
  ASSERT_EQ(0, KTSocketNew(&socket, AF_INET, log_));
  ASSERT_EQ(0, KTASServerSetSocket(as_, socket, log_));
  Measure(100);
  Enter(KTASSTATUS_WORKING);
  ASSERT_EQ(0, KTASServerSetShutdown(as_, log_));
  EXPECT_EQ(-1, Figures().socketFd);
  EXPECT_EQ(0u, Figures().hits);
  EXPECT_EQ(0u, Figures().qualityHits);
  EXPECT_EQ(0u, Figures().meanProcessingTime);
  EXPECT_STREQ("(NULL)", Text(KTASSERVER_TEXT_TASK).c_str());
  EXPECT_STREQ("(NULL)", KTASServerGetClientIP(as_));
  EXPECT_STREQ("(NULL)", KTASServerGetSiteGUID(as_));
  EXPECT_STREQ("(NULL)", KTASServerGetExtension(as_));
  EXPECT_EQ("Store1", Text(KTASSERVER_TEXT_STORENAME));
  // Coming back from down gives a clean task text again.
  ASSERT_EQ(0, KTASServerSetIdle(as_, log_));
  EXPECT_STREQ("(NULL)", Text(KTASSERVER_TEXT_TASK).c_str());
  KTSocketFree(&socket, log_);
}

// ---------------------------------------------------------------- statistics

// Each case measures the given times in turn on a fresh record and checks
// mean, measured requests and long requests after every one of them.
TEST_F(KTASServerTest, MeanMovesByOneFifthRoundedAndSkipsLongAndZeroTimes) {
  struct Step {
    long long ms;
    uint64_t mean;
    uint64_t qualityHits;
    uint64_t longRequests;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"one fifth of the difference", {{100, 100, 1, 0}, {200, 120, 2, 0}}},
      // 100 - 19.8 = 80.2 rounds down, 80 + 0.6 = 80.6 rounds up.
      {"nearest millisecond", {{100, 100, 1, 0}, {1, 80, 2, 0}, {83, 81, 3, 0}}},
      {"zero milliseconds change nothing", {{100, 100, 1, 0}, {0, 100, 1, 0}}},
      // Long requests are only counted; the border still counts: 100 + 980 + 0.5.
      {"long requests", {{100, 100, 1, 0}, {5001, 100, 1, 1}, {5000, 1080, 2, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Renew();
    for (const Step& step : c.steps) {
      Measure(step.ms);
      EXPECT_EQ(step.mean, Quality()) << step.ms << " ms";
      EXPECT_EQ(step.qualityHits, Figures().qualityHits) << step.ms << " ms";
      EXPECT_EQ(step.longRequests, Figures().longRequests) << step.ms << " ms";
    }
  }
}

TEST_F(KTASServerTest, ElapsedTimeBorrowsAcrossTheSecond) {
  clock_.advance(900);
  Measure(200);  // from .900 to the next second's .100
  EXPECT_EQ(200u, Figures().meanProcessingTime);
}

TEST_F(KTASServerTest, WorkingDoesNotRestartTheMeasurement) {
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html");
  ASSERT_EQ(0, KTASServerSetAssigned(as_, &request, log_));
  clock_.advance(300);
  ASSERT_EQ(0, KTASServerSetWorking(as_, log_));
  clock_.advance(200);
  ASSERT_EQ(0, KTASServerSetIdle(as_, log_));
  EXPECT_EQ(500u, Figures().meanProcessingTime);
}

TEST_F(KTASServerTest, ClockGoingBackIsNotMeasured) {
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html");
  ASSERT_EQ(0, KTASServerSetAssigned(as_, &request, log_));
  ASSERT_EQ(0, KTASServerSetWorking(as_, log_));
  clock_.advance(-2000);
  ASSERT_EQ(0, KTASServerSetIdle(as_, log_));
  EXPECT_EQ(0u, Figures().qualityHits);
  EXPECT_EQ(0u, Figures().longRequests);
  EXPECT_EQ(0u, Figures().meanProcessingTime);
}

// ---------------------------------------------------------------- monitor lines

TEST_F(KTASServerTest, MonitorLineOfAFreshServer) {
  AttachQueue(8);
  clock_.advance(7000);
  EXPECT_EQ(
      "S Pool1 10.0.0.5:7001 4242 idle 7 0 0 0 0 0 0 (NULL) (NULL) (NULL) (NULL) 3 (NULL) 7 \r\n",
      MonitorLine());
  EXPECT_EQ(
      "S Pool1 10.0.0.5:7001 4242 idle 7 0 0 0 0 0 0 (NULL) (NULL) (NULL) (NULL) 3 (NULL) 7 \r\n",
      MonitorLine(KTASServerMonitorDebug));
}

TEST_F(KTASServerTest, MonitorLineOfAShutDownServer) {
  AttachQueue(8);
  Measure(150);
  clock_.advance(4850);
  Enter(KTASSTATUS_WORKING);  // second assignment at +5 s
  clock_.advance(3000);
  ASSERT_EQ(0, KTASServerSetShutdown(as_, log_));
  clock_.advance(2000);
  EXPECT_EQ(
      "S Pool1 10.0.0.5:7001 4242 down 10 0 0 0 0 0 0 (NULL) (NULL) (NULL) (NULL) 3 Store1 5 \r\n",
      MonitorLine());
}

TEST_F(KTASServerTest, MonitorLineShowsTheLastAssignment) {
  AttachQueue(8);
  Measure(150);
  Enter(KTASSTATUS_WORKING);
  clock_.advance(1000);
  EXPECT_EQ(
      "S Pool1 10.0.0.5:7001 4242 working 1 2 0 1 150 0 0 SITE-1 /shop/a.html 1.2.3.4 html 3 "
      "Store1 1 \r\n",
      MonitorLine());
}

// The overflow flag and the number of pending items in both lines, the
// pending data (or the reset item in overflow) in the debug line only.
TEST_F(KTASServerTest, MonitorLinesShowTheCacheState) {
  struct Case {
    const char* what;
    int slots;  // 0: not registered with a queue
    const char* data;
    const char* figures;
    std::string pending;
  };
  const Case cases[] = {
      {"not yet in a queue", 0, "", "0 0", ""},
      {"nothing waiting", 8, "", "0 0", ""},
      {"two items waiting", 8, "a\x01\x01" "bc\x01\x01", "0 2", "a\x01\x01" "bc\x01\x01"},
      {"overflow", 3, "a\x01\x01" "b\x01\x01" "c\x01\x01", "1 0", "All\x01\x01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Renew();
    if (c.slots > 0) AttachQueue(c.slots);
    if (c.data[0] != '\0') {
      ASSERT_EQ(0, CacheQueueAddData(queue_, c.data, log_));
    }
    const std::string line = std::string("S Pool1 10.0.0.5:7001 4242 idle 0 0 0 0 0 ") + c.figures +
                             " (NULL) (NULL) (NULL) (NULL) 3 (NULL) 0 ";
    EXPECT_EQ(line + "\r\n", MonitorLine());
    EXPECT_EQ(line + c.pending + "\r\n", MonitorLine(KTASServerMonitorDebug));
  }
}

TEST_F(KTASServerTest, MonitorPrintsTheLow32BitsOfLargeCounters) {
  ASSERT_EQ(0, KTASServerFree(&as_, log_));
  ASSERT_EQ(0, KTASServerNew(&as_, "Pool1", "10.0.0.5", 7001, 3, 4000000000u, log_));
  KTASServerFigures large = Figures();
  large.hits = (1ULL << 32) + 5;
  large.qualityHits = (1ULL << 32) + 7;
  large.longRequests = (1ULL << 33) + 2;
  large.meanProcessingTime = (1ULL << 32) + 11;
  ASSERT_EQ(0, KTASServerTestSetFigures(as_, &large, log_));
  EXPECT_EQ("S Pool1 10.0.0.5:7001 -294967296 idle 0 5 2 7 11 0 0 (NULL) (NULL) (NULL) (NULL) 3 "
            "(NULL) 0 \r\n",
            MonitorLine());
}

TEST_F(KTASServerTest, MonitorAppendsAndRejectsAMissingResponse) {
  Buffer response;
  ASSERT_EQ(0, KTBufferStrSet(response.get(), "before\r\n"));
  ASSERT_EQ(0, CallMonitor(KTASServerMonitorServer, as_, response.get(), log_.get()));
  EXPECT_EQ(0u, response.str().find("before\r\nS Pool1 "));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            CallMonitor(KTASServerMonitorServer, as_, static_cast<KTBuffer*>(nullptr), log_.get()));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            CallMonitor(KTASServerMonitorDebug, nullptr, response.get(), log_.get()));
}

TEST(KTASStatusNames, PrintedNames) {
  const std::vector<std::string> names(ASStatusNames, ASStatusNames + KTASSTATUS_COUNT);
  EXPECT_EQ((std::vector<std::string>{"down", "idle", "assigned", "working", "monitor"}), names);
}

}  // namespace
