// Tests of the exporter's status page against the real router program: the
// JSON documents are those of rrctl --json, explain answers through the
// monitor, the page keeps serving while its router restarts, and a real
// headless browser renders pools, servers and the unreachable banner.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "RRCtl.h"
#include "RouterSystemSupport.h"

using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::json;
using namespace routertest;

namespace {

std::string rrctlOut(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  RRCtlIO io(out, err);
  EXPECT_EQ(RRCTL_EXIT_OK, RRCtlMain(args, io)) << err.str();
  return out.str();
}

struct HttpAnswer {
  int status = 0;  // 0: no answer
  std::string body;
  json doc;        // the body parsed, null when it is no JSON
};

HttpAnswer httpGet(int port, const std::string& path) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(5, 0);
  client.set_read_timeout(10, 0);
  HttpAnswer answer;
  httplib::Result result = client.Get(path);
  if (!result) return answer;
  answer.status = result->status;
  answer.body = result->body;
  answer.doc = json::parse(result->body, nullptr, false);
  if (answer.doc.is_discarded()) answer.doc = nullptr;
  return answer;
}

// The only router entry of a document, or null.
json onlyRouter(const HttpAnswer& answer) {
  if (!answer.doc.is_object() || !answer.doc.contains("routers") || answer.doc["routers"].size() != 1) return nullptr;
  return answer.doc["routers"][0];
}

// Server objects without the ages, which tick between two reads.
json withoutAges(json servers) {
  for (json& s : servers) {
    s.erase("seconds_since_contact");
    s.erase("seconds_since_use");
  }
  return servers;
}

// Starts "rrctl exporter" for the monitors on a port of the system's
// choice; that port, or 0 when it did not say it listens.
int startExporter(RouterProcess& exporter, const std::vector<std::string>& monitors, const std::string& dir,
                  const std::string& name) {
  std::vector<std::string> args = {"exporter", "--listen", "127.0.0.1:0", "--timeout", "1000", "--interval", "200"};
  args.insert(args.end(), monitors.begin(), monitors.end());
  if (!exporter.start(RRCTL_BIN, args, {}, dir, name)) return 0;
  return WaitForExporterPort(exporter, 10000);
}

// The path of chromium on PATH, empty when it is not installed.
std::string findChromium() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/chromium";
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Runs the browser headless on the URL with a fresh profile and returns the
// DOM it rendered; the whole process group is killed after timeoutMs.
struct BrowserRun {
  bool finished = false;
  std::string dom;
  std::string err;
  double seconds = 0;
};

BrowserRun renderPage(const std::string& chromium, const std::string& dir, const std::string& url,
                      const std::vector<std::string>& extra = {"--dump-dom"}, int timeoutMs = 30000) {
  BrowserRun run;
  const std::string profile = dir + "/chromium-profile";
  std::filesystem::create_directories(profile);
  std::vector<std::string> args = {chromium,
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--user-data-dir=" + profile,
                                   "--virtual-time-budget=5000"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(url);
  const std::string outFile = dir + "/chromium.out";
  const std::string errFile = dir + "/chromium.err";
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (freopen(outFile.c_str(), "w", stdout) == nullptr || freopen(errFile.c_str(), "w", stderr) == nullptr ||
        freopen("/dev/null", "r", stdin) == nullptr) {
      _exit(126);
    }
    setenv("HOME", dir.c_str(), 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) return run;
  setpgid(pid, pid);
  int status = 0;
  run.finished = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
  // The browser's helpers share its group; none outlives the test.
  kill(-pid, SIGKILL);
  if (!run.finished) waitpid(pid, &status, 0);
  run.finished = run.finished && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.dom = ReadWholeFile(outFile);
  run.err = ReadWholeFile(errFile);
  return run;
}

class RRStatusPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mInstall.ok());
    mRouter = MakeRouter("RR1");
    mInstall.writeConfig(ConfigXml({mRouter}));
    startRouter();
    mMonitor = "127.0.0.1:" + std::to_string(mRouter.monitorPort);
  }

  void startRouter() {
    ASSERT_TRUE(mProcess.start(KTREQROUTER_BIN, {"-iplist", "127.0.0.1", "-console"}, mInstall.environment(),
                               mInstall.root()));
    ASSERT_TRUE(WaitUntilListening(mRouter, 10000)) << mInstall.logText();
  }

  // Waits until the exporter's pool document satisfies cond.
  bool waitForPools(int port, const std::function<bool(const json&)>& cond, int timeoutMs = 10000) {
    return WaitUntil(
        [&] {
          json entry = onlyRouter(httpGet(port, "/api/pools"));
          return !entry.is_null() && cond(entry);
        },
        timeoutMs);
  }

  static bool hasPool(const json& entry, const std::string& name) {
    for (const json& pool : entry["pools"]) {
      if (pool["name"] == name) return true;
    }
    return false;
  }

  Installation mInstall;
  RouterDef mRouter;
  RouterProcess mProcess;
  std::string mMonitor;
};

TEST_F(RRStatusPageTest, DocumentsAreThoseOfRrctlAndExplainAsksTheRouter) {
  FakeAppServer busy("127.0.0.1:30051");
  FakeAppServer idle("127.0.0.1:30052");
  ASSERT_TRUE(busy.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_TRUE(idle.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_EQ(0, busy.announce("Shop", 101, 1));
  ASSERT_EQ(0, idle.announce("Shop", 102, 1));
  FakeWebAdapter adapter("127.0.0.1", mRouter.port);
  FakeWebAdapter::Request request;
  request.pool = "Shop";
  request.client = "10.1.1.1";
  ASSERT_THAT(adapter.getServer(request), ::testing::StartsWith("0 127.0.0.1 3005"));

  RouterProcess exporter;
  const int port = startExporter(exporter, {mMonitor}, mInstall.root(), "exporter");
  ASSERT_GT(port, 0) << exporter.err();
  ASSERT_TRUE(waitForPools(port, [](const json& e) { return hasPool(e, "Shop"); })) << exporter.err();

  json pools = onlyRouter(httpGet(port, "/api/pools"));
  EXPECT_EQ(mMonitor, pools["router"]);
  EXPECT_EQ(true, pools["reachable"]);
  EXPECT_TRUE(pools["error"].is_null());
  EXPECT_EQ(json::parse(rrctlOut({"pools", mMonitor, "--json"})), pools["pools"]);
  EXPECT_EQ(withoutAges(json::parse(rrctlOut({"servers", mMonitor, "--json"}))),
            withoutAges(onlyRouter(httpGet(port, "/api/servers"))["servers"]));
  EXPECT_EQ(json::parse(rrctlOut({"peers", mMonitor, "--json"})), onlyRouter(httpGet(port, "/api/peers"))["peers"]);
  // Samples go on: the history has points for the pool.
  ASSERT_TRUE(WaitUntil(
      [&] {
        json history = onlyRouter(httpGet(port, "/api/history"));
        return !history.is_null() && history["pools"].size() == 1 && history["pools"][0]["name"] == "Shop" &&
               history["pools"][0]["points"].size() >= 2;
      },
      10000));

  // Explain through the page: the document of rrctl explain --json.
  const std::string refused = "/api/explain?router=" + mMonitor + "&pool=Shop&client=10.1.1.1&pool_client_max=1";
  HttpAnswer explained = httpGet(port, refused);
  ASSERT_EQ(200, explained.status) << explained.body;
  EXPECT_EQ(json::parse(rrctlOut({"explain", mMonitor, "Shop", "--client", "10.1.1.1", "--pool-client-max", "1",
                                  "--json"})),
            explained.doc);
  EXPECT_EQ("refused", explained.doc["outcome"]["result"]);
  EXPECT_EQ("client", explained.doc["outcome"]["limit"]);
  HttpAnswer chosen = httpGet(port, "/api/explain?pool=Shop&client=10.9.9.9&ext_max=");
  ASSERT_EQ(200, chosen.status) << chosen.body;
  EXPECT_EQ("chosen", chosen.doc["outcome"]["result"]);
  EXPECT_EQ("lru", chosen.doc["outcome"]["rule"]);
  // Nothing was assigned by either.
  EXPECT_EQ(json::parse(rrctlOut({"pools", mMonitor, "--json"})), onlyRouter(httpGet(port, "/api/pools"))["pools"]);

  // Wrong requests are refused with a reason, and only watched routers are asked.
  const std::vector<std::pair<std::string, int>> wrong = {
      {"/api/explain?router=" + mMonitor, 400},
      {"/api/explain?pool=Shop&color=red", 400},
      {"/api/explain?pool=--raw", 400},
      {"/api/explain?pool=Shop&client=a%20b", 400},
      {"/api/explain?pool=Shop&ext_max=many", 400},
      {"/api/explain?pool=Shop&router=127.0.0.1:1", 404},
      {"/api/pools?router=127.0.0.1:1", 404}};
  for (const auto& w : wrong) {
    HttpAnswer answer = httpGet(port, w.first);
    EXPECT_EQ(w.second, answer.status) << w.first << ": " << answer.body;
    EXPECT_TRUE(answer.doc.is_object() && answer.doc["error"].is_string()) << w.first << ": " << answer.body;
  }

  HttpAnswer page = httpGet(port, "/");
  EXPECT_EQ(200, page.status);
  // Self-contained: nothing is loaded from elsewhere (the SVG namespace
  // is a name, not a place).
  std::string text = page.body;
  const std::string svgNamespace = "http://www.w3.org/2000/svg";
  for (std::string::size_type at; (at = text.find(svgNamespace)) != std::string::npos;) text.erase(at, svgNamespace.size());
  for (const char* loads : {"src=", "<link", "url(", "@import", "http://", "https://"}) {
    EXPECT_THAT(text, Not(HasSubstr(loads)));
  }
  EXPECT_THAT(page.body, HasSubstr("<meta name=\"viewport\""));
}

TEST_F(RRStatusPageTest, KeepsServingWhileTheRouterRestarts) {
  FakeAppServer app("127.0.0.1:30061");
  ASSERT_TRUE(app.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_EQ(0, app.announce("Before"));
  RouterProcess exporter;
  const int port = startExporter(exporter, {mMonitor}, mInstall.root(), "exporter");
  ASSERT_GT(port, 0) << exporter.err();
  ASSERT_TRUE(waitForPools(port, [](const json& e) { return hasPool(e, "Before"); })) << exporter.err();

  mProcess.kill(SIGKILL);
  // Unreachable, with the reason and the last data it had.
  ASSERT_TRUE(waitForPools(port, [](const json& e) { return e["reachable"] == false; }));
  HttpAnswer down = httpGet(port, "/api/pools");
  EXPECT_EQ(200, down.status);
  json entry = onlyRouter(down);
  EXPECT_THAT(entry["error"].get<std::string>(), HasSubstr("cannot connect to " + mMonitor));
  EXPECT_TRUE(hasPool(entry, "Before"));
  EXPECT_TRUE(entry["updated_ms"].is_number());
  EXPECT_LE(entry["updated_ms"].get<long long>(), entry["checked_ms"].get<long long>());
  EXPECT_EQ(1u, onlyRouter(httpGet(port, "/api/servers"))["servers"].size());
  EXPECT_EQ(502, httpGet(port, "/api/explain?pool=Before").status);
  EXPECT_EQ(200, httpGet(port, "/").status);

  // The router comes back on the same ports: the data follows it.
  startRouter();
  FakeAppServer again("127.0.0.1:30062");
  ASSERT_TRUE(again.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_EQ(0, again.announce("After"));
  ASSERT_TRUE(waitForPools(port, [](const json& e) {
    return e["reachable"] == true && e["error"].is_null() && hasPool(e, "After") && !hasPool(e, "Before");
  }));
  EXPECT_THAT(exporter.err(), HasSubstr("rrctl exporter: router " + mMonitor + " cannot be reached: "));
  EXPECT_THAT(exporter.err(), HasSubstr("rrctl exporter: router " + mMonitor + " answers again"));

  exporter.kill(SIGTERM);
  ASSERT_TRUE(exporter.waitExit(10000));
  EXPECT_TRUE(exporter.exitedWith(0)) << exporter.status() << exporter.err();
}

TEST_F(RRStatusPageTest, BrowserRendersPoolsServersAndTheUnreachableBanner) {
  const std::string chromium = findChromium();
  if (chromium.empty()) {
    GTEST_SKIP() << "chromium is not installed (Debian package chromium, scripts/deps.sh test): "
                    "the page is not checked in a browser";
  }
  FakeAppServer app("127.0.0.1:30071");
  ASSERT_TRUE(app.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_EQ(0, app.announce("Storefront", 4242, 3));
  const uint16_t stoppedPort = FreePort();
  const std::string stopped = "127.0.0.1:" + std::to_string(stoppedPort);

  RouterProcess exporter;
  const int port = startExporter(exporter, {mMonitor}, mInstall.root(), "exporter");
  ASSERT_GT(port, 0) << exporter.err();
  ASSERT_TRUE(waitForPools(port, [](const json& e) { return hasPool(e, "Storefront"); }));
  RouterProcess lonely;
  const int lonelyPort = startExporter(lonely, {stopped}, mInstall.root(), "lonely");
  ASSERT_GT(lonelyPort, 0) << lonely.err();
  ASSERT_TRUE(waitForPools(lonelyPort, [](const json& e) { return e["reachable"] == false; }));

  BrowserRun live = renderPage(chromium, mInstall.root() + "/live", "http://127.0.0.1:" + std::to_string(port) + "/");
  ASSERT_TRUE(live.finished) << live.err;
  EXPECT_LT(live.seconds, 30.0);
  RecordProperty("browser_seconds", std::to_string(live.seconds));
  EXPECT_THAT(live.dom, HasSubstr("Router " + mMonitor));
  EXPECT_THAT(live.dom, HasSubstr("<th scope=\"row\" class=\"text\">Storefront</th>"));
  EXPECT_THAT(live.dom, HasSubstr("127.0.0.1:30071"));
  EXPECT_THAT(live.dom, HasSubstr(">idle</td>"));
  EXPECT_THAT(live.dom, HasSubstr("<polyline"));
  EXPECT_THAT(live.dom, Not(HasSubstr("role=\"alert\"")));

  BrowserRun down =
      renderPage(chromium, mInstall.root() + "/down", "http://127.0.0.1:" + std::to_string(lonelyPort) + "/");
  ASSERT_TRUE(down.finished) << down.err;
  EXPECT_THAT(down.dom, HasSubstr("role=\"alert\">Router " + stopped + " cannot be reached"));
  EXPECT_THAT(down.dom, HasSubstr("No pools"));
}

}  // namespace
