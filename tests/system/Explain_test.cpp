// System tests of monitor request 17 on the real router program: the
// explanation of a request refused by a limit and of one that gets a
// server matches what get-server then answers, and leaves every pool and
// server line as it was.
#include <time.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "RouterSystemSupport.h"

using namespace routertest;

namespace {

class ExplainClient : public MonitorClient {
 public:
  // The body of one explain request, with ok false when the router closed
  // the connection instead.
  std::string explain(const std::string& description, bool* pOk) {
    std::string body;
    *pOk = SendAll(mFd, "17 " + description + "\n") && readReply(&body) == 0;
    return body;
  }
};

// The request description of a get-server datagram (its text after the code).
std::string Description(const FakeWebAdapter::Request& r) {
  std::ostringstream text;
  text << r.client << " " << r.tries << " " << r.maxTries << " shop1 /shop/index. " << r.extension << " " << r.pool
       << " Store1 " << r.site << " " << r.siteMax << " " << r.poolPerSite << " " << r.poolPerClient << " "
       << r.extMax << " /shop/index." << r.extension;
  return text.str();
}

class ExplainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mInstall.ok());
    mRouter = MakeRouter("RR1");
    mInstall.writeConfig(ConfigXml({mRouter}));
    ASSERT_TRUE(mProcess.start(KTREQROUTER_BIN, {"-iplist", "127.0.0.1", "-console"}, mInstall.environment(),
                               mInstall.root()));
    ASSERT_TRUE(WaitUntilListening(mRouter, 10000)) << mInstall.logText();
    ASSERT_TRUE(mMonitor.connectTo(mRouter.host, mRouter.monitorPort));
    ASSERT_TRUE(mFirst.connectTo(mRouter.host, mRouter.mcPort));
    ASSERT_TRUE(mSecond.connectTo(mRouter.host, mRouter.mcPort));
    ASSERT_EQ(0, mFirst.announce("Pool1"));
    ASSERT_EQ(0, mSecond.announce("Pool1"));
  }
  void TearDown() override {
    mProcess.kill(SIGKILL);
    if (HasFailure()) std::cerr << "router log:\n" << mInstall.logText();
  }

  // Explains the request and checks that monitor 13 and 10 answer the same
  // bytes before and after. The server lines carry ages in seconds, so the
  // three requests must fall within one second of the clock; a run that
  // straddles a second is repeated.
  std::string explainUnchanged(const FakeWebAdapter::Request& request) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      const time_t start = time(nullptr);
      const std::string pools = mMonitor.query(13);
      const std::string servers = mMonitor.query(10);
      bool ok = false;
      const std::string body = mMonitor.explain(Description(request), &ok);
      EXPECT_TRUE(ok) << "the router refused the explain request";
      const std::string poolsAfter = mMonitor.query(13);
      const std::string serversAfter = mMonitor.query(10);
      if (time(nullptr) != start) continue;
      EXPECT_FALSE(pools.empty());
      EXPECT_EQ(pools, poolsAfter);
      EXPECT_EQ(servers, serversAfter);
      return body;
    }
    ADD_FAILURE() << "no run of the requests within one second";
    return "";
  }

  Installation mInstall;
  RouterDef mRouter;
  RouterProcess mProcess;
  ExplainClient mMonitor;
  FakeAppServer mFirst{"127.0.0.1:30101"};
  FakeAppServer mSecond{"127.0.0.1:30102"};
};

TEST_F(ExplainTest, RefusedByALimitAndChosenByAffinityAsGetServerThenAnswers) {
  FakeWebAdapter adapter(mRouter.host, mRouter.port);
  FakeWebAdapter::Request request;
  request.client = "10.1.1.1";
  request.site = "SiteA";
  const std::string assigned = adapter.getServer(request);
  ASSERT_TRUE(assigned == "0 127.0.0.1 30101" || assigned == "0 127.0.0.1 30102") << assigned;
  const std::string held = assigned.substr(2);
  const std::string other = held == "127.0.0.1 30101" ? "127.0.0.1 30102" : "127.0.0.1 30101";

  // The client holds its one allowed server: refused by the client limit.
  FakeWebAdapter::Request limited = request;
  limited.poolPerClient = 1;
  EXPECT_EQ("pool Pool1\ncandidates 1\ncandidate " + other +
                " 0\nlimit client max 1 count 1 refuses\noutcome refused client\n",
            explainUnchanged(limited));
  EXPECT_EQ("2", adapter.getServer(limited));

  // Idle again, the server that served the client is chosen by client
  // affinity, as the real request then confirms.
  FakeAppServer& holder = held == "127.0.0.1 30101" ? mFirst : mSecond;
  ASSERT_EQ(0, holder.working());
  ASSERT_EQ(0, holder.idle());
  const std::string body = explainUnchanged(request);
  EXPECT_THAT(body, ::testing::StartsWith("pool Pool1\ncandidates 2\n"));
  EXPECT_THAT(body, ::testing::EndsWith("outcome chosen " + held + " rule client\n"));
  EXPECT_EQ("0 " + held, adapter.getServer(request));

  // A request the router cannot read closes the connection.
  bool ok = true;
  mMonitor.explain("10.1.1.1 0 3", &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(mMonitor.closedByPeer(2000));
}

}  // namespace
