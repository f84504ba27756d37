// Tests of the server list: adding, removing and finding servers, for-each,
// and the idle-server selection with its limits, affinities, counters and
// log lines; a randomized run against a model and a three-thread run.
#include "KTASServerList.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ASServerTestSupport.h"
#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTSocket.h"
#include "VXCacheInfo.h"
#include "VXCacheQueue.h"

namespace {

using astest::Request;
using astest::TestClock;
using testsupport::Buffer;
using testsupport::FileLog;

class ServerListTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, KTASServerListNew(&list_, log_)); }
  void TearDown() override {
    EXPECT_EQ(0, KTASServerListCleanup(list_, log_));
    EXPECT_EQ(0, KTASServerListFree(&list_, log_));
    EXPECT_EQ(nullptr, list_);
  }

  // Creates a server 10.0.0.<n>:<7000 + n> and appends it to the list.
  KTASServer* Add(int n, int priority = 0) {
    KTASServer* as = nullptr;
    const std::string host = "10.0.0." + std::to_string(n);
    EXPECT_EQ(0, KTASServerNew(&as, "Pool1", host.c_str(), (unsigned short)(7000 + n), priority,
                               (uint32_t)n, log_));
    EXPECT_EQ(0, KTASServerListAdd(list_, as, log_));
    return as;
  }

  // Puts a server in use for a request (assigned, then working or monitor as asked).
  void Occupy(KTASServer* as, const CASRequestInfo& request,
              KTASStatus state = KTASSTATUS_ASSIGNED) {
    ASSERT_EQ(0, KTASServerSetAssigned(as, &request, log_));
    if (state == KTASSTATUS_WORKING || state == KTASSTATUS_MONITOR) {
      ASSERT_EQ(0, KTASServerSetWorking(as, log_));
    }
    if (state == KTASSTATUS_MONITOR) {
      ASSERT_EQ(0, KTASServerStartMonitor(as, log_));
    }
  }

  // Serves a request on the server and makes it idle again (its history stays).
  void Serve(KTASServer* as, const CASRequestInfo& request) {
    Occupy(as, request, KTASSTATUS_WORKING);
    ASSERT_EQ(0, KTASServerSetIdle(as, log_));
  }

  // Runs the selection; on success returns the host chosen in *host.
  KTStatus Select(const CASRequestInfo& request, std::string* host = nullptr) {
    Buffer ip;
    unsigned short port = 0;
    KTStatus status = KTASServerListGetIdle(list_, &request, &strategy_, ip, &port, log_);
    if (status == 0) {
      EXPECT_EQ(ip.str(), std::string("10.0.0.") + std::to_string(port - 7000));
      if (host != nullptr) *host = ip.str();
    }
    return status;
  }

  // The host chosen for the request, or the failing status as text.
  std::string Chosen(const CASRequestInfo& request) {
    std::string host;
    const KTStatus status = Select(request, &host);
    return status == 0 ? host : "status " + std::to_string(status);
  }

  // The counters as one vector, in field order.
  std::vector<int> Counters() const {
    return {strategy_.byClientIP.load(),       strategy_.bySiteGuid.load(),
            strategy_.byLastUse.load(),        strategy_.limitByExtension.load(),
            strategy_.limitBySite.load(),      strategy_.limitBySpecialSite.load(),
            strategy_.limitByClient.load()};
  }

  KTASStatus State(KTASServer* as) {
    KTASStatus state = KTASSTATUS_SHUTDOWN;
    EXPECT_EQ(0, KTASServerGetStatus(as, &state, log_));
    return state;
  }

  TestClock clock_{1700000000, 0};
  FileLog log_;
  KTASServerList* list_ = nullptr;
  VXStrategyInfo strategy_{};
};

const std::vector<int> kNoCounters(7, 0);

// ---------------------------------------------------------------- list operations

long CollectPorts(void* element, va_list args) {
  auto* ports = va_arg(args, std::vector<int>*);
  const int stopAt = va_arg(args, int);
  const int port = KTASServerGetPort(static_cast<KTASServer*>(element));
  ports->push_back(port);
  return port == stopAt ? 4711 : 0;
}

TEST_F(ServerListTest, AddKeepsOrderAndRefusesTheSameHostAndPort) {
  Add(1);
  Add(2);
  Add(3);
  KTASServer* duplicate = nullptr;
  ASSERT_EQ(0, KTASServerNew(&duplicate, "OtherPool", "10.0.0.2", 7002, 9, 1, log_));
  EXPECT_EQ(ERROR_UNKNOWN, KTASServerListAdd(list_, duplicate, log_));
  EXPECT_EQ(1, log_.count("KTASServerListAdd(): the given application server already exists in the current list"));
  int size = 0;
  ASSERT_EQ(0, KTASServerListSize(list_, &size, log_));
  EXPECT_EQ(3, size);
  KTASServerFree(&duplicate, log_);

  std::vector<int> ports;
  EXPECT_EQ(0, KTASServerListForEach(list_, CollectPorts, log_, &ports, -1));
  EXPECT_EQ((std::vector<int>{7001, 7002, 7003}), ports);
}

TEST_F(ServerListTest, RemoveTakesOutByIdentityAndKeepsTheOthersInOrder) {
  Add(1);
  KTASServer* second = Add(2);
  Add(3);
  ASSERT_EQ(0, KTASServerListRemove(list_, second, log_));
  std::vector<int> ports;
  EXPECT_EQ(0, KTASServerListForEach(list_, CollectPorts, log_, &ports, -1));
  EXPECT_EQ((std::vector<int>{7001, 7003}), ports);
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, KTASServerListRemove(list_, second, log_));
  EXPECT_EQ(1, log_.count("KTASServerListRemove(): cannot remove from list"));
  // The same host and port may come back once removed.
  EXPECT_EQ(0, KTASServerListAdd(list_, second, log_));
}

TEST_F(ServerListTest, ForEachStopsAtTheFirstNonZeroResult) {
  Add(1);
  Add(2);
  Add(3);
  std::vector<int> ports;
  EXPECT_EQ(4711, KTASServerListForEach(list_, CollectPorts, log_, &ports, 7002));
  EXPECT_EQ((std::vector<int>{7001, 7002}), ports);
}

TEST_F(ServerListTest, MatchingFindsExactHostAndPort) {
  Add(1);
  KTASServer* second = Add(2);
  KTASServer* found = nullptr;
  ASSERT_EQ(0, KTASServerListGetMatching(list_, "10.0.0.2", 7002, &found, log_));
  EXPECT_EQ(second, found);
  found = nullptr;
  ASSERT_EQ(0, KTASServerListGetMatching(list_, "10.0.0.2", 7001, &found, log_));
  EXPECT_EQ(nullptr, found);
  ASSERT_EQ(0, KTASServerListGetMatching(list_, "10.0.0.20", 7002, &found, log_));
  EXPECT_EQ(nullptr, found);
  found = second;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerListGetMatching(list_, "10.0.0.2", 7002, &found, log_));
}

TEST_F(ServerListTest, MatchingForSocketFindsTheRecordedConnection) {
  KTSocket* first = nullptr;
  KTSocket* second = nullptr;
  KTSocket* stranger = nullptr;
  ASSERT_EQ(0, KTSocketNew(&first, AF_INET, log_));
  ASSERT_EQ(0, KTSocketNew(&second, AF_INET, log_));
  ASSERT_EQ(0, KTSocketNew(&stranger, AF_INET, log_));
  KTASServer* a = Add(1);
  KTASServer* b = Add(2);
  ASSERT_EQ(0, KTASServerSetSocket(a, first, log_));
  ASSERT_EQ(0, KTASServerSetSocket(b, second, log_));
  KTASServer* found = nullptr;
  ASSERT_EQ(0, KTASServerListGetMatchingForSocket(list_, second, &found, log_));
  EXPECT_EQ(b, found);
  found = nullptr;
  ASSERT_EQ(0, KTASServerListGetMatchingForSocket(list_, stranger, &found, log_));
  EXPECT_EQ(nullptr, found);
  ASSERT_EQ(0, KTASServerSetShutdown(b, log_));
  ASSERT_EQ(0, KTASServerListGetMatchingForSocket(list_, second, &found, log_));
  EXPECT_EQ(nullptr, found);
  KTSocketFree(&first, log_);
  KTSocketFree(&second, log_);
  KTSocketFree(&stranger, log_);
}

TEST_F(ServerListTest, CleanupFreesEveryServerAndEmptiesTheList) {
  for (int i = 1; i <= 40; ++i) Add(i);
  ASSERT_EQ(0, KTASServerListCleanup(list_, log_));
  int size = -1;
  ASSERT_EQ(0, KTASServerListSize(list_, &size, log_));
  EXPECT_EQ(0, size);
}

TEST(ServerList, ArgumentsAreChecked) {
  FileLog log;
  KTASServerList* list = nullptr;
  ASSERT_EQ(0, KTASServerListNew(&list, log));
  KTASServerList* occupied = list;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerListNew(&occupied, log));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerListAdd(list, nullptr, log));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerListSize(list, nullptr, log));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerListForEach(list, nullptr, log));
  Buffer ip;
  unsigned short port = 0;
  VXStrategyInfo strategy{};
  CASRequestInfo request;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerListGetIdle(list, &request, &strategy, ip, nullptr, log));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerListGetIdle(list, nullptr, &strategy, ip, &port, log));
  EXPECT_EQ(1, log.count("KTASServerListNew(): wrong arguments passed to the procedure"));
  EXPECT_EQ(2, log.count("KTASServerListGetIdle(): wrong arguments ("));
  EXPECT_EQ(0, KTASServerListFree(&list, log));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTASServerListFree(&list, log));
}

// ---------------------------------------------------------------- selection

TEST_F(ServerListTest, NothingIdleMeansNoSuchElementEvenWhenALimitWouldRefuse) {
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html");
  request.extMaxServers = 0;
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, Select(request));
  KTASServer* a = Add(1);
  KTASServer* b = Add(2);
  Occupy(a, request);
  Occupy(b, request, KTASSTATUS_WORKING);
  KTASServer* c = Add(3);
  ASSERT_EQ(0, KTASServerSetShutdown(c, log_));
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, Select(request));
  EXPECT_EQ(kNoCounters, Counters());
}

TEST_F(ServerListTest, OnlyTheHighestIdlePriorityIsChosen) {
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html");
  KTASServer* low = Add(1, 5);
  Serve(low, request);  // served this client before: affinity must not win over priority
  Add(2, 7);
  Add(3, 7);
  std::string first;
  std::string second;
  std::string third;
  ASSERT_EQ(0, Select(request, &first));
  ASSERT_EQ(0, Select(request, &second));
  EXPECT_NE("10.0.0.1", first);
  EXPECT_NE("10.0.0.1", second);
  EXPECT_NE(first, second);
  // With both servers of priority 7 busy the lower one is next.
  ASSERT_EQ(0, Select(request, &third));
  EXPECT_EQ("10.0.0.1", third);
}

TEST_F(ServerListTest, HigherPriorityLaterInTheListDiscardsEarlierCandidates) {
  Add(1, 1);
  Add(2, 1);
  Add(3, 4);
  Add(4, 2);
  Add(5, 4);
  EXPECT_EQ("10.0.0.3", Chosen(Request("", "", "html")));
  EXPECT_EQ("10.0.0.5", Chosen(Request("", "", "html")));
  EXPECT_EQ("10.0.0.4", Chosen(Request("", "", "html")));
  // Negative priorities compare as numbers too.
  KTASServer* negative = nullptr;
  ASSERT_EQ(0, KTASServerNew(&negative, "Pool1", "10.0.0.9", 7009, -3, 9, log_));
  ASSERT_EQ(0, KTASServerListAdd(list_, negative, log_));
  EXPECT_EQ("10.0.0.1", Chosen(Request("", "", "html")));
}

TEST_F(ServerListTest, ChosenServerIsAssignedWithTheRequest) {
  KTASServer* a = Add(1);
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html", "/shop/a.html");
  clock_.advance(3000);
  ASSERT_EQ(0, Select(request));
  EXPECT_EQ(KTASSTATUS_ASSIGNED, State(a));
  Buffer task;
  Buffer client;
  ASSERT_EQ(0, KTASServerGetText(a, KTASSERVER_TEXT_TASK, task, log_));
  ASSERT_EQ(0, KTASServerGetText(a, KTASSERVER_TEXT_CLIENTIP, client, log_));
  EXPECT_EQ("/shop/a.html", task.str());
  EXPECT_EQ("1.2.3.4", client.str());
  KTASServerFigures figures{};
  ASSERT_EQ(0, KTASServerGetFigures(a, &figures, log_));
  EXPECT_EQ(1u, figures.hits);
  EXPECT_EQ(1700000003, figures.lastUse);
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, Select(request));
}

TEST_F(ServerListTest, ExtensionLimit) {
  KTASServer* a = Add(1);
  KTASServer* b = Add(2);
  Add(3);
  Add(4);
  CASRequestInfo html = Request("1.2.3.4", "SITE-1", "html");
  CASRequestInfo upper = Request("1.2.3.4", "SITE-1", "HTML");

  html.extMaxServers = 0;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(html));
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(html));
  EXPECT_EQ((std::vector<int>{0, 0, 0, 2, 0, 0, 0}), Counters());

  html.extMaxServers = 2;
  Occupy(a, html, KTASSTATUS_MONITOR);
  Occupy(b, upper, KTASSTATUS_WORKING);  // other case: another extension
  EXPECT_EQ(0, Select(html));             // one html server in use: allowed
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(html));
  EXPECT_EQ(3, strategy_.limitByExtension.load());
  upper.extMaxServers = 2;  // counts only the "HTML" server
  EXPECT_EQ(0, Select(upper));
}

TEST_F(ServerListTest, NegativeExtensionMaximumNeverLimits) {
  for (int i = 1; i <= 4; ++i) Add(i);
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html");
  request.extMaxServers = -1;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(0, Select(request));
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, Select(request));
  EXPECT_EQ(0, strategy_.limitByExtension.load());
}

TEST_F(ServerListTest, ClientLimitCountsServersInUseForTheClient) {
  KTASServer* a = Add(1);
  Add(2);
  Add(3);
  CASRequestInfo request = Request("1.2.3.4", "", "html");
  Occupy(a, Request("5.6.7.8", "", "html"));
  request.poolMaxServersPerClient = 1;
  EXPECT_EQ(0, Select(request));
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  EXPECT_EQ((std::vector<int>{0, 0, 1, 0, 0, 0, 1}), Counters());
  request.poolMaxServersPerClient = -1;
  EXPECT_EQ(0, Select(request));
}

TEST_F(ServerListTest, SiteLimitTellsTheSitesOwnMaximumFromThePools) {
  KTASServer* a = Add(1);
  Add(2);
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html");
  Occupy(a, request, KTASSTATUS_WORKING);

  request.siteMaxServers = 1;
  request.poolMaxServersPerSite = 5;  // the site's own maximum wins
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0, 0, 1, 0}), Counters());

  request.siteMaxServers = -1;
  request.poolMaxServersPerSite = 1;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0, 1, 1, 0}), Counters());

  request.poolMaxServersPerSite = -1;
  EXPECT_EQ(0, Select(request));
}

TEST_F(ServerListTest, LimitsAreTestedInTheOrderExtensionClientSite) {
  KTASServer* a = Add(1);
  Add(2);
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html");
  Occupy(a, request);
  request.extMaxServers = 1;
  request.poolMaxServersPerClient = 1;
  request.siteMaxServers = 1;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  request.extMaxServers = -1;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  request.poolMaxServersPerClient = -1;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  EXPECT_EQ((std::vector<int>{0, 0, 0, 1, 0, 1, 1}), Counters());
}

TEST_F(ServerListTest, OverlongRequestTextsStillCountForTheirLimits) {
  Add(1);
  Add(2);
  CASRequestInfo request = Request(std::string(300, 'c'), std::string(40, 's'), "html");
  request.poolMaxServersPerClient = 1;
  EXPECT_EQ(0, Select(request));
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  request.poolMaxServersPerClient = -1;
  request.poolMaxServersPerSite = 1;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
}

// The selection compares 64-bit keys of the last-request texts first; two
// different texts with the same key must still neither count for a limit
// nor win an affinity. The collision is forced by overwriting the keys.
TEST_F(ServerListTest, EqualKeysOfDifferentTextsNeitherLimitNorAttract) {
  KTASServer* busy = Add(1);
  KTASServer* idle = Add(2);
  Add(3);
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html");
  clock_.advance(5000);  // servers 1 and 2 are used after server 3 was created
  Occupy(busy, Request("5.6.7.8", "SITE-2", "jsp"));
  Serve(idle, Request("5.6.7.8", "SITE-2", "jsp"));
  for (KTASServer* as : {busy, idle}) {
    ASSERT_EQ(0, KTASServerTestSetKeys(as, KTASServerTextKey("1.2.3.4", KTASSERVER_CLIENTIP_SIZE),
                                       KTASServerTextKey("SITE-1", KTASSERVER_SITEGUID_SIZE),
                                       KTASServerTextKey("html", KTASSERVER_EXTENSION_SIZE), log_));
  }
  request.extMaxServers = 1;
  request.poolMaxServersPerClient = 1;
  request.poolMaxServersPerSite = 1;
  // Not refused for the busy server, and not sent to server 2 by affinity:
  // the least recently used idle server is 3.
  EXPECT_EQ("10.0.0.3", Chosen(request));
  EXPECT_EQ((std::vector<int>{0, 0, 1, 0, 0, 0, 0}), Counters());
}

TEST_F(ServerListTest, ClientAffinityThenSiteAffinity) {
  Add(1);
  KTASServer* bySite = Add(2);
  KTASServer* byClient = Add(3);
  Serve(bySite, Request("9.9.9.9", "SITE-1", "html"));
  Serve(byClient, Request("1.2.3.4", "SITE-2", "html"));
  EXPECT_EQ("10.0.0.3", Chosen(Request("1.2.3.4", "SITE-1", "html")));
  EXPECT_EQ("10.0.0.2", Chosen(Request("5.5.5.5", "SITE-1", "html")));
  EXPECT_EQ((std::vector<int>{1, 1, 0, 0, 0, 0, 0}), Counters());
}

TEST_F(ServerListTest, RestRequestsSkipClientAffinityButKeepSiteAffinity) {
  Add(1);
  KTASServer* bySite = Add(2);
  KTASServer* byClient = Add(3);
  clock_.advance(1000);
  Serve(byClient, Request("1.2.3.4", "SITE-2", "rest"));
  Serve(bySite, Request("9.9.9.9", "SITE-1", "rest"));
  EXPECT_EQ("10.0.0.2", Chosen(Request("1.2.3.4", "SITE-1", "rest")));
  // Least recently used, not the client's server.
  EXPECT_EQ("10.0.0.1", Chosen(Request("1.2.3.4", "SITE-9", "rest")));
  EXPECT_EQ((std::vector<int>{0, 1, 1, 0, 0, 0, 0}), Counters());
  // "REST" is another extension: client affinity applies.
  EXPECT_EQ("10.0.0.3", Chosen(Request("1.2.3.4", "SITE-1", "REST")));
  EXPECT_EQ((std::vector<int>{1, 1, 1, 0, 0, 0, 0}), Counters());
}

TEST_F(ServerListTest, EmptyClientOrSiteSkipsItsAffinity) {
  Add(2);  // never assigned: its last client and site are empty, like the request's
  clock_.advance(-10000);
  Add(1);
  clock_.advance(10000);
  EXPECT_EQ("10.0.0.1", Chosen(Request("", "", "html")));
  EXPECT_EQ((std::vector<int>{0, 0, 1, 0, 0, 0, 0}), Counters());
}

TEST_F(ServerListTest, LeastRecentlyUsedWithTiesToTheEarlierServer) {
  KTASServer* a = Add(1);
  KTASServer* b = Add(2);
  KTASServer* c = Add(3);
  clock_.advance(5000);
  Serve(a, Request("x", "", "html"));
  Serve(c, Request("y", "", "html"));
  clock_.advance(5000);
  Serve(b, Request("z", "", "html"));
  // a and c were last used at +5 s, b at +10 s: tie between a and c.
  EXPECT_EQ("10.0.0.1", Chosen(Request("", "", "html")));
  EXPECT_EQ("10.0.0.3", Chosen(Request("", "", "html")));
  EXPECT_EQ(2, strategy_.byLastUse.load());
}

TEST_F(ServerListTest, AllUsedThisSecondGoesToTheFirstCandidate) {
  KTASServer* a = Add(1);
  KTASServer* b = Add(2);
  clock_.advance(2000);
  Serve(b, Request("x", "", "html"));
  Serve(a, Request("y", "", "html"));
  EXPECT_EQ("10.0.0.1", Chosen(Request("", "", "html")));
}

TEST_F(ServerListTest, ServerBackFromDownHasNoAffinityToItsOldClients) {
  KTASServer* a = Add(1);
  Add(2);
  clock_.advance(1000);
  Serve(a, Request("1.2.3.4", "SITE-1", "html"));
  ASSERT_EQ(0, KTASServerSetShutdown(a, log_));
  ASSERT_EQ(0, KTASServerSetIdle(a, log_));
  EXPECT_EQ("10.0.0.2", Chosen(Request("1.2.3.4", "SITE-1", "html")));  // least recently used
  EXPECT_EQ((std::vector<int>{0, 0, 1, 0, 0, 0, 0}), Counters());
}

TEST_F(ServerListTest, ExceededLimitsAreLoggedOncePerRun) {
  KTASServer* a = Add(1);
  Add(2);
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html", "/shop/x.html");
  request.extMaxServers = 0;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  request.extMaxServers = -1;
  Occupy(a, request);
  request.poolMaxServersPerClient = 1;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  request.poolMaxServersPerClient = -1;
  request.siteMaxServers = 1;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));

  EXPECT_EQ(1, log_.count("_TestLimitByExtension(): limit exceeded for extension: html - 0 of 0 "
                          "servers are in use; request from 1.2.3.4 for shop.example/shop/x.html"));
  EXPECT_EQ(1, log_.count("_TestLimitByExtension(): limit exceeded for extension - repeated"));
  EXPECT_EQ(1, log_.count("_TestLimitByClient(): limit exceeded for client ip: 1.2.3.4 - 1 of 1 "
                          "servers are in use; request from 1.2.3.4 for shop.example/shop/x.html"));
  EXPECT_EQ(1, log_.count("_TestLimitBySite(): limit exceeded for site: SITE-1 - 1 of 1 servers "
                          "are in use; request from 1.2.3.4 for shop.example/shop/x.html"));
}

TEST_F(ServerListTest, LimitLinesNameTheRequestsOwnTextsInFull) {
  Add(1);
  // Longer than a record keeps: the two differ only after the stored part.
  const std::string longer(30, 'e');
  const std::string other = longer + "x";
  const std::string client(300, '7');
  const std::string site = "SITE-" + std::string(40, 'A');
  CASRequestInfo request = Request(client, site, longer);
  request.extMaxServers = 0;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  request.extension = other;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  request.extMaxServers = -1;
  request.poolMaxServersPerClient = 0;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  request.poolMaxServersPerClient = -1;
  request.siteMaxServers = 0;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));

  const std::string from = " - 0 of 0 servers are in use; request from " + client;
  EXPECT_EQ(1, log_.count("_TestLimitByExtension(): limit exceeded for extension: " + longer + from));
  EXPECT_EQ(1, log_.count("_TestLimitByExtension(): limit exceeded for extension: " + other + from));
  EXPECT_EQ(0, log_.count("_TestLimitByExtension(): limit exceeded for extension - repeated"));
  EXPECT_EQ(1, log_.count("_TestLimitByClient(): limit exceeded for client ip: " + client + from));
  EXPECT_EQ(1, log_.count("_TestLimitBySite(): limit exceeded for site: " + site + from));
}

#ifdef KT_DEBUG_TRACE
TEST_F(ServerListTest, ExceededLimitsAreTraced) {
  testsupport::TraceCapture trace(KTDEBUG_RROUTER);
  KTASServer* a = Add(1);
  Add(2);
  CASRequestInfo request = Request("1.2.3.4", "SITE-1", "jsp");
  Occupy(a, request);
  request.extMaxServers = 1;
  EXPECT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, Select(request));
  EXPECT_NE(std::string::npos,
            trace.text().find("_TestLimitByExtension(): limit exceeded for extension: jsp - 1 of 1 servers are in use\n"));
}
#endif

// ---------------------------------------------------------------- randomized model run

// What the test itself knows about a server; the real records must agree.
struct ModelServer {
  KTASServer* record = nullptr;
  int priority = 0;
  KTASStatus state = KTASSTATUS_IDLE;
  std::string client, site, extension;
  long long assignedAtMs = 0;
};

bool InUse(KTASStatus state) {
  return state == KTASSTATUS_ASSIGNED || state == KTASSTATUS_WORKING ||
         state == KTASSTATUS_MONITOR;
}

// Also checks that the explanation of every request agrees with its selection.
TEST_F(ServerListTest, RandomizedSelectionNeverBreaksALimitAndPicksOnlyTopPriorityIdle) {
  std::mt19937 rng(20240611);
  auto pick = [&rng](int n) { return (int)(rng() % (unsigned)n); };
  std::vector<ModelServer> model(10);
  std::map<int, size_t> byPort;
  for (size_t i = 0; i < model.size(); ++i) {
    model[i].priority = pick(3);
    model[i].record = Add((int)i + 1, model[i].priority);
    byPort[7001 + (int)i] = i;
  }
  const char* clients[] = {"c1", "c2", "c3", ""};
  const char* sites[] = {"s1", "s2", ""};
  const char* extensions[] = {"html", "jsp", "rest"};
  const int limits[] = {-1, -1, 0, 1, 2, 3};
  long long nowMs = 1700000000000LL;
  int successes = 0;
  int refusals = 0;
  int noServer = 0;

  for (int step = 0; step < 6000; ++step) {
    const int advance = pick(2500);
    clock_.advance(advance);
    nowMs += advance;
    const int op = pick(100);
    ModelServer& target = model[(size_t)pick((int)model.size())];
    if (op < 55) {
      CASRequestInfo request = Request(clients[pick(4)], sites[pick(3)], extensions[pick(3)]);
      request.extMaxServers = limits[pick(6)];
      request.siteMaxServers = limits[pick(6)];
      request.poolMaxServersPerSite = limits[pick(6)];
      request.poolMaxServersPerClient = limits[pick(6)];
      int top = -1;
      int idle = 0;
      int extCount = 0, clientCount = 0, siteCount = 0;
      for (const ModelServer& s : model) {
        if (s.state == KTASSTATUS_IDLE) {
          ++idle;
          top = std::max(top, s.priority);
        }
        if (InUse(s.state)) {
          extCount += s.extension == request.extension;
          clientCount += s.client == request.clientIP;
          siteCount += s.site == request.siteGUID;
        }
      }
      const int siteMax = request.siteMaxServers >= 0 ? request.siteMaxServers
                                                      : request.poolMaxServersPerSite;
      const bool limited =
          (request.extMaxServers >= 0 && extCount >= request.extMaxServers) ||
          (request.poolMaxServersPerClient >= 0 && clientCount >= request.poolMaxServersPerClient) ||
          (siteMax >= 0 && siteCount >= siteMax);
      // The explanation, taken first, changes nothing and names the outcome
      // that the selection then has, by the rule or limit it counts for.
      Buffer explained;
      const std::vector<int> countersBefore = Counters();
      ASSERT_EQ(0, KTASServerListExplain(list_, &request, explained, log_));
      ASSERT_EQ(countersBefore, Counters()) << "step " << step;
      const std::string text = explained.str();
      const std::string outcome =
          text.substr(text.rfind('\n', text.size() - 2) + 1 + std::string("outcome ").size());
      Buffer ip;
      unsigned short port = 0;
      const KTStatus status = KTASServerListGetIdle(list_, &request, &strategy_, ip, &port, log_);
      const std::vector<int> counters = Counters();
      static const char* const names[] = {"rule client", "rule site", "rule lru", "extension",
                                          "site", "special-site", "client"};
      std::string counted;
      for (size_t i = 0; i < counters.size(); ++i) {
        if (counters[i] != countersBefore[i]) counted = names[i];
      }
      if (status == 0) {
        ASSERT_EQ("chosen " + ip.str() + " " + std::to_string(port) + " " + counted + "\n", outcome)
            << "step " << step << "\n" << text;
      } else if (status == ERROR_REQUESTROUTER_LIMIT_EXCEEDED) {
        ASSERT_EQ("refused " + counted + "\n", outcome) << "step " << step << "\n" << text;
      } else {
        ASSERT_EQ("no-idle\n", outcome) << "step " << step << "\n" << text;
      }
      if (idle == 0) {
        ASSERT_EQ(ERROR_NO_SUCH_ELEMENT, status) << "step " << step;
        ++noServer;
      } else if (limited) {
        ASSERT_EQ(ERROR_REQUESTROUTER_LIMIT_EXCEEDED, status) << "step " << step;
        ++refusals;
      } else {
        ASSERT_EQ(0, status) << "step " << step;
        ASSERT_EQ(1u, byPort.count(port));
        ModelServer& chosen = model[byPort[port]];
        ASSERT_EQ(KTASSTATUS_IDLE, chosen.state) << "step " << step;
        ASSERT_EQ(top, chosen.priority) << "step " << step;
        chosen.state = KTASSTATUS_ASSIGNED;
        chosen.client = request.clientIP;
        chosen.site = request.siteGUID;
        chosen.extension = request.extension;
        chosen.assignedAtMs = nowMs;
        ++successes;
      }
    } else if (op < 75) {
      ASSERT_EQ(0, KTASServerSetWorking(target.record, log_));
      if (target.state != KTASSTATUS_MONITOR) target.state = KTASSTATUS_WORKING;
    } else if (op < 93) {
      ASSERT_EQ(0, KTASServerSetIdle(target.record, log_));
      if (target.state != KTASSTATUS_ASSIGNED || nowMs - target.assignedAtMs > 10000) {
        target.state = KTASSTATUS_IDLE;
      }
    } else if (op < 97) {
      const KTStatus status = KTASServerStartMonitor(target.record, log_);
      ASSERT_EQ(target.state == KTASSTATUS_WORKING ? 0 : ERROR_UNKNOWN, status);
      if (status == 0) target.state = KTASSTATUS_MONITOR;
    } else {
      ASSERT_EQ(0, KTASServerSetShutdown(target.record, log_));
      target.state = KTASSTATUS_SHUTDOWN;
      target.client = target.site = target.extension = "(NULL)";
    }
    for (ModelServer& s : model) ASSERT_EQ(s.state, State(s.record)) << "step " << step;
  }
  // Every outcome was seen, and the counters add up.
  EXPECT_GT(successes, 300);
  EXPECT_GT(refusals, 300);
  EXPECT_GT(noServer, 10);
  EXPECT_EQ(successes, strategy_.byClientIP + strategy_.bySiteGuid + strategy_.byLastUse);
  EXPECT_EQ(refusals, strategy_.limitByExtension + strategy_.limitByClient +
                          strategy_.limitBySite + strategy_.limitBySpecialSite);
}

// ---------------------------------------------------------------- concurrency

// A server's own reports may make the chosen server busy before it is
// assigned; only the attempt that assigned counts for a strategy column.
TEST(ServerListConcurrency, StrategyColumnsCountOnlyAssignments) {
  FileLog log;
  KTASServerList* list = nullptr;
  ASSERT_EQ(0, KTASServerListNew(&list, log));
  KTASServer* as = nullptr;
  ASSERT_EQ(0, KTASServerNew(&as, "Pool1", "10.0.0.1", 7001, 0, 1, log));
  ASSERT_EQ(0, KTASServerListAdd(list, as, log));
  VXStrategyInfo strategy{};
  std::atomic<bool> done{false};
  std::atomic<int> assigned{0};
  std::atomic<int> unexpected{0};
  std::thread reporter([&] {
    while (!done.load()) {
      if (KTASServerSetWorking(as, log) != 0 || KTASServerSetIdle(as, log) != 0) unexpected++;
    }
  });
  const CASRequestInfo request = Request("1.2.3.4", "SITE-1", "html");
  Buffer ip;
  for (int i = 0; i < 200000; ++i) {
    unsigned short port = 0;
    const KTStatus status = KTASServerListGetIdle(list, &request, &strategy, ip, &port, log);
    if (status == 0) {
      assigned++;
    } else if (status != ERROR_NO_SUCH_ELEMENT && status != ERROR_UNKNOWN) {
      // ERROR_UNKNOWN: the server turned busy before every attempt's assignment.
      unexpected++;
    }
  }
  done = true;
  reporter.join();
  EXPECT_EQ(0, unexpected.load());
  EXPECT_GT(assigned.load(), 0);
  EXPECT_EQ(assigned.load(), strategy.byClientIP + strategy.bySiteGuid + strategy.byLastUse);
  EXPECT_EQ(0, KTASServerListCleanup(list, log));
  EXPECT_EQ(0, KTASServerListFree(&list, log));
}

TEST(ServerListConcurrency, SelectingChangingAndMonitoringAtOnce) {
  FileLog log;
  KTASServerList* list = nullptr;
  CacheQueue* queue = nullptr;
  ASSERT_EQ(0, KTASServerListNew(&list, log));
  ASSERT_EQ(0, CacheQueueNew(&queue, 16, log));
  VXStrategyInfo strategy{};
  std::atomic<bool> done{false};
  std::atomic<int> unexpected{0};
  std::atomic<int> assigned{0};
  std::atomic<int> lines{0};
  std::atomic<int> selections{0};
  std::atomic<int> monitorRounds{0};

  // Selects continuously with changing limits.
  std::thread selector([&] {
    std::mt19937 rng(1);
    const char* clients[] = {"c1", "c2", "c3"};
    Buffer ip;
    while (!done.load()) {
      CASRequestInfo request = Request(clients[rng() % 3], (rng() % 2) ? "s1" : "s2",
                                       (rng() % 2) ? "html" : "jsp");
      request.extMaxServers = (int)(rng() % 6) - 1;
      request.poolMaxServersPerClient = (int)(rng() % 6) - 1;
      unsigned short port = 0;
      const KTStatus status = KTASServerListGetIdle(list, &request, &strategy, ip, &port, log);
      selections++;
      if (status == 0) {
        assigned++;
      } else if (status != ERROR_NO_SUCH_ELEMENT && status != ERROR_REQUESTROUTER_LIMIT_EXCEEDED) {
        unexpected++;
      }
    }
  });

  // Prints every server, with and without cache data, and looks servers up.
  std::thread monitor([&] {
    Buffer response;
    KTSocket* socket = nullptr;
    KTSocketNew(&socket, AF_INET, log);
    while (!done.load()) {
      KTBufferStrSet(response, "");
      if (KTASServerListForEach(list, KTASServerMonitorServer, log, response.get(), log.get()) != 0 ||
          KTASServerListForEach(list, KTASServerMonitorDebug, log, response.get(), log.get()) != 0) {
        unexpected++;
      }
      monitorRounds++;
      const std::string text = response.str();
      lines += (int)std::count(text.begin(), text.end(), '\n');
      int size = 0;
      KTASServer* found = nullptr;
      KTASServer* bySocket = nullptr;
      if (KTASServerListSize(list, &size, log) != 0 ||
          KTASServerListGetMatching(list, "10.0.0.3", 7003, &found, log) != 0 ||
          KTASServerListGetMatchingForSocket(list, socket, &bySocket, log) != 0) {
        unexpected++;
      }
    }
    KTSocketFree(&socket, log);
  });

  // Adds, removes and frees servers, reports them working and idle, queues cache data.
  std::vector<KTASServer*> owned;
  auto change = [&] {
    std::mt19937 rng(2);
    int next = 0;
    // Keeps changing until the other two threads have had plenty of turns,
    // including some while servers were listed.
    for (int round = 0; (round < 3000 || selections < 3000 || monitorRounds < 300 ||
                         assigned == 0 || lines == 0) &&
                        round < 2000000;
         ++round) {
      const unsigned op = rng() % 10;
      if (op < 3 && owned.size() < 12) {
        KTASServer* as = nullptr;
        const int n = next++ % 40;
        const std::string host = "10.0.0." + std::to_string(n);
        ASSERT_EQ(0, KTASServerNew(&as, "Pool1", host.c_str(), (unsigned short)(7000 + n),
                                   (int)(rng() % 2), 1, log));
        if (KTASServerListAdd(list, as, log) != 0) {  // that host and port is still listed
          KTASServerFree(&as, log);
          continue;
        }
        CacheInfo* info = nullptr;
        KTASServerGetCacheInfo(as, &info, log);
        ASSERT_EQ(0, CacheQueueAddServer(queue, info, log));
        owned.push_back(as);
      } else if (op < 5 && !owned.empty()) {
        const size_t index = rng() % owned.size();
        KTASServer* as = owned[index];
        ASSERT_EQ(0, KTASServerListRemove(list, as, log));
        CacheInfo* info = nullptr;
        KTASServerGetCacheInfo(as, &info, log);
        ASSERT_EQ(0, CacheQueueRemoveServer(queue, info, log));
        ASSERT_EQ(0, KTASServerFree(&as, log));
        owned.erase(owned.begin() + (long)index);
      } else if (op < 9 && !owned.empty()) {
        KTASServer* as = owned[rng() % owned.size()];
        ASSERT_EQ(0, KTASServerSetWorking(as, log));
        ASSERT_EQ(0, KTASServerSetIdle(as, log));
      } else {
        ASSERT_EQ(0, CacheQueueAddData(queue, "item\x01\x01", log));
      }
    }
  };
  change();  // a failed assertion returns here, so the threads are always joined
  done = true;
  selector.join();
  monitor.join();
  for (KTASServer* as : owned) {
    CacheInfo* info = nullptr;
    KTASServerGetCacheInfo(as, &info, log);
    CacheQueueRemoveServer(queue, info, log);
  }
  EXPECT_EQ(0, KTASServerListCleanup(list, log));
  EXPECT_EQ(0, KTASServerListFree(&list, log));
  EXPECT_EQ(0, CacheQueueFree(&queue, log));
  EXPECT_EQ(0, unexpected.load());
  EXPECT_GT(assigned.load(), 0);
  EXPECT_GT(lines.load(), 0);
}

}  // namespace
