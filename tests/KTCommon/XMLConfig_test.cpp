// XMLConfig_test.cpp - the configuration file: loading, syntax errors, the
// model and its lookups, a randomized round trip against a generated model,
// and a corpus of broken documents that must fail cleanly.
#include "XMLConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "Exception.h"
#include "ScopedEnvVar.h"
#include "TestSupport.h"
#include "WIException.h"

using namespace XMLConfig;
namespace fs = std::filesystem;

namespace {

using envtest::ScopedEnvVar;
using testsupport::ErrorOf;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

const std::string SampleFile = std::string(KTRR_TEST_SOURCE_DIR) + "/examples/ServerConfig.xml";

// ---- the sample file and the lookups ----

TEST(SampleConfig, LoadsWithTwoRoutersTwoPoolsAndACacheServer) {
  CConfigFile file;
  ASSERT_EQ(nullptr, file.getConfig());
  ASSERT_NO_THROW(file.loadFile(SampleFile.c_str()));
  const Config* config = file.getConfig();
  ASSERT_NE(nullptr, config);
  EXPECT_EQ(2u, config->requestrouters.routers.size());
  EXPECT_EQ(2u, config->pools.pools.size());
  EXPECT_EQ(1u, config->cacheservers.servers.size());
  EXPECT_EQ(1000u, file.getMaxCacheItems());

  EXPECT_EQ(IPEndpoint("127.0.0.1", 47000, true), file.getRequestRouter("RR1"));
  EXPECT_EQ(IPEndpoint("127.0.0.1", 47004, true), file.getMessageCenter("RR2"));
  EXPECT_EQ(IPEndpoint("127.0.0.1", 47005, true), file.getMonitor("RR2"));
  const IPEndpointVector centers = file.getMessageCenters();
  ASSERT_EQ(2u, centers.size());
  EXPECT_EQ(47001, centers[0].port);
  EXPECT_EQ(47004, centers[1].port);

  const Pool* front = config->pools.poolByName("Storefront");
  EXPECT_EQ(4, front->limits.max_servers_per_client);
  EXPECT_EQ(-1, front->limits.max_servers_per_site);
  EXPECT_EQ(2, front->limits.extensionLimit(".jsp"));
  EXPECT_EQ(0, front->limits.extensionLimit("jsp"));
  ASSERT_NE(nullptr, front->requestrouters.primary_router);
  EXPECT_EQ("RR1", front->requestrouters.primary_router->name);
  const AppServer* server = front->appservers.serverByName("127.0.0.1_47010-47013");
  EXPECT_EQ((PortList{47010, 47011, 47012, 47013}), server->ports);
  EXPECT_EQ(1, server->priority);
  EXPECT_TRUE(file.isASPoolDBCacheEnabled(IPEndpoint("127.0.0.1", 47030, false)));

  std::vector<std::tuple<std::string, uint16_t, bool>> calls;
  file.getAppServers({"127.0.0.1"}, [&](const std::string& host, uint16_t port, bool bind) {
    calls.emplace_back(host, port, bind);
  });
  // Pools in name order (Backoffice first), servers in generated-name order.
  ASSERT_EQ(8u, calls.size());
  EXPECT_EQ(std::make_tuple(std::string("127.0.0.1"), uint16_t(47020), false), calls[0]);
  EXPECT_EQ(std::make_tuple(std::string("127.0.0.1"), uint16_t(47010), true), calls[2]);
}

const char* const Minimal =
    "<config><requestrouters>"
    "<requestrouter name='B' host='10.0.0.2' port='4000'/>"
    "<requestrouter name='A' host='010.0.0.1' port='4000' mc_port='4001' bind='off'/>"
    "<requestrouter name='C' host='10.0.0.2' port='4010' monitor_port='4011' mc_port='4012'/>"
    "</requestrouters>"
    "<pools><pool name='P'><requestrouters><requestrouter>C</requestrouter><requestrouter>B</requestrouter>"
    "<requestrouter>C</requestrouter></requestrouters>"
    "<appservers><appserver name='old' host='h1' ports='9-8'/></appservers></pool>"
    "<pool name=' P '/></pools>"
    "<cacheservers><server host='c' port='1' enable_cache='no'/><server host='c' port='2'/></cacheservers>"
    "</config>";

TEST(Lookups, ExactTextsAndTheirFailures) {
  CConfigFile file;
  ASSERT_NO_THROW(file.parse(std::string(Minimal)));
  const Config& config = *file.getConfig();

  EXPECT_EQ("RequestRouters::routerByName(): Request router 'D' not defined",
            ErrorOf([&] { config.requestrouters.routerByName("D"); }));
  EXPECT_EQ("B", config.requestrouters.routerByIP("10.0.0.2")->name);
  EXPECT_EQ("A", config.requestrouters.routerByIP("010.0.0.1")->name);
  EXPECT_EQ("RequestRouters::routerByIP(): No request router found for IP 10.0.0.1",
            ErrorOf([&] { config.requestrouters.routerByIP("10.0.0.1"); }));
  EXPECT_EQ("Pools::poolByName(): Pool 'Q' not defined", ErrorOf([&] { config.pools.poolByName("Q"); }));
  EXPECT_EQ(" P ", config.pools.poolByName(" P ")->name);
  EXPECT_EQ("Pools::poolByName(): Pool 'P ' not defined", ErrorOf([&] { config.pools.poolByName("P "); }));
  const Pool* pool = config.pools.poolByName("P");
  EXPECT_EQ("AppServers::serverByName(): Application server 'h1_8-9' not defined",
            ErrorOf([&] { pool->appservers.serverByName("h1_8-9"); }));
  EXPECT_EQ((PortList{9, 8}), pool->appservers.serverByName("h1_9-8")->ports);
  EXPECT_EQ("CacheServers::serverByAddr(): No cache server found for c",
            ErrorOf([&] { config.cacheservers.serverByAddr(IPEndpoint("c", 3)); }));
  EXPECT_FALSE(file.isASPoolDBCacheEnabled(IPEndpoint("c", 1, true)));
  EXPECT_TRUE(file.isASPoolDBCacheEnabled(IPEndpoint("c", 2)));
  ASSERT_EQ(2u, config.cacheservers.server_ips.size());
  EXPECT_TRUE(config.cacheservers.server_ips[0].bind);

  // Routers without a message-center or monitor port.
  EXPECT_EQ("Message center not found: B", ErrorOf([&] { file.getMessageCenter("B"); }));
  EXPECT_EQ(IPEndpoint("10.0.0.2", 0, true), file.getMonitor("B"));
  EXPECT_EQ(0, file.getMonitor("B").port);
  EXPECT_FALSE(file.getMessageCenter("A").bind);
  EXPECT_EQ("RequestRouters::routerByName(): Request router 'X' not defined",
            ErrorOf([&] { file.getRequestRouter("X"); }));
  EXPECT_EQ("RequestRouters::routerByName(): Request router 'X' not defined",
            ErrorOf([&] { file.getMonitor("X"); }));
  EXPECT_EQ(1u, file.getMonitors().size());
  EXPECT_EQ(3u, file.getRequestRouters().size());
  EXPECT_EQ("A", file.getConfig()->requestrouters.routers.begin()->first);

  // A router listed twice is one router but two names, and is returned twice.
  EXPECT_EQ(2u, pool->requestrouters.routers.size());
  EXPECT_EQ((StringList{"C", "B", "C"}), pool->requestrouters.router_names);
  EXPECT_EQ("C", pool->requestrouters.primary_router->name);
  std::vector<std::string> names;
  for (const RequestRouter* router : file.getRequestRoutersByPoolName("P")) names.push_back(router->name);
  EXPECT_EQ((std::vector<std::string>{"C", "B", "C"}), names);
  EXPECT_TRUE(file.getRequestRoutersByPoolName(" P ").empty());
  EXPECT_EQ(nullptr, config.pools.poolByName(" P ")->requestrouters.primary_router);
  EXPECT_EQ("Pools::poolByName(): Pool 'Z' not defined", ErrorOf([&] { file.getRequestRoutersByPoolName("Z"); }));
}

TEST(Lookups, DefaultsOfAbsentAttributesAndElements) {
  CConfigFile file;
  ASSERT_NO_THROW(file.parse(std::string(Minimal)));
  const Config& config = *file.getConfig();
  EXPECT_EQ(1000u, config.requestrouters.max_cache_items);
  const RequestRouter* b = config.requestrouters.routerByName("B");
  EXPECT_EQ(0, b->monitor_port);
  EXPECT_EQ(0, b->mc_port);
  EXPECT_TRUE(b->bind);
  const Pool* pool = config.pools.poolByName(" P ");
  EXPECT_EQ(-1, pool->limits.max_servers_per_site);
  EXPECT_EQ(-1, pool->limits.max_servers_per_client);
  EXPECT_TRUE(pool->limits.max_servers_per_extension.empty());
  EXPECT_TRUE(pool->appservers.servers.empty());
  const AppServer* server = config.pools.poolByName("P")->appservers.serverByName("h1_9-8");
  EXPECT_EQ(0, server->priority);
  EXPECT_TRUE(server->bind);
  EXPECT_EQ("h1", server->host);
  EXPECT_TRUE(config.cacheservers.servers[1]->enable_cache);
}

TEST(Lookups, AllowListsAreOptionalKeptVerbatimAndMalformedOnesRefused) {
  const std::string head = "<config><requestrouters><requestrouter name='R' host='h' port='1' ";
  const std::string tail =
      "/></requestrouters><pools><pool name='p'/></pools><cacheservers><server host='c' port='1'/></cacheservers></config>";
  CConfigFile file;
  ASSERT_NO_THROW(file.parse(head + tail));
  EXPECT_TRUE(file.getConfig()->requestrouters.routerByName("R")->mc_allow.empty());
  EXPECT_TRUE(file.getConfig()->requestrouters.routerByName("R")->monitor_allow.empty());
  ASSERT_NO_THROW(file.parse(head + "mc_allow='10.1.0.0/16, 10.2.3.4' monitor_allow='::1 fd00::/8'" + tail));
  const RequestRouter* router = file.getConfig()->requestrouters.routerByName("R");
  EXPECT_EQ("10.1.0.0/16, 10.2.3.4", router->mc_allow);
  EXPECT_EQ("::1 fd00::/8", router->monitor_allow);
  for (const char* attr : {"mc_allow", "monitor_allow"}) {
    for (const char* bad : {"", "10.1.0.0/33", "h", "10.1.0.0;10.2.0.0"}) {
      EXPECT_EQ(std::string("CNodeValidator::validateAttributes(): validation failed. Value '") + bad + "' in '" +
                    attr + "' is not a valid address list",
                ErrorOf([&] { file.parse(head + attr + "='" + bad + "'" + tail); }));
    }
  }
}

TEST(Lookups, EmptyRouterSectionAndTextsAfterEntityExpansion) {
  CConfigFile file;
  ASSERT_NO_THROW(file.parse(std::string(
      "<config><requestrouters max_cache_items='0'/><pools><pool name='a&amp;b&#x20;&lt;'/></pools>"
      "<cacheservers><server host='h' port='1'/></cacheservers></config>")));
  EXPECT_TRUE(file.getConfig()->requestrouters.routers.empty());
  EXPECT_TRUE(file.getRequestRouters().empty());
  EXPECT_EQ(0u, file.getMaxCacheItems());
  EXPECT_EQ("a&b <", file.getConfig()->pools.pools.begin()->first);
}

TEST(Lookups, FirstOfTwoEqualKeysWinsButBothMustBeValid) {
  const std::string head = "<config><requestrouters><requestrouter name='R' host='h' port='1'/>";
  const std::string tail =
      "</requestrouters><pools><pool name='P'><limits><servers_per_extension extension='.a'>1"
      "</servers_per_extension><servers_per_extension extension='.a'>2</servers_per_extension></limits></pool>"
      "<pool name='P'><limits servers_per_site='9'/></pool></pools>"
      "<cacheservers><server host='h' port='3'/></cacheservers></config>";
  CConfigFile file;
  ASSERT_NO_THROW(file.parse(head + "<requestrouter name='R' host='h2' port='2'/>" + tail));
  EXPECT_EQ("h", file.getConfig()->requestrouters.routerByName("R")->ip);
  const Pool* pool = file.getConfig()->pools.poolByName("P");
  EXPECT_EQ(-1, pool->limits.max_servers_per_site);
  EXPECT_EQ(1, pool->limits.extensionLimit(".a"));
  // The discarded duplicate is still read in full.
  EXPECT_EQ("Parser::parseAttrNumber(): invalid value '0' in node 'requestrouter' attribute 'port'",
            ErrorOf([&] { file.parse(head + "<requestrouter name='R' host='h2' port='0'/>" + tail); }));
}

TEST(Lookups, DeprecatedAppServerNameIsLoggedOncePerElement) {
  testsupport::ProcessLog log;
  CConfigFile file;
  ASSERT_NO_THROW(file.parse(std::string(Minimal)));
  const std::string text = log.text();
  const std::string warning =
      "WARNING: attribute 'name' of element <appserver> in ServerConfig.xml is deprecated. Please remove.";
  size_t count = 0;
  for (size_t at = text.find(warning); at != std::string::npos; at = text.find(warning, at + 1)) ++count;
  EXPECT_EQ(1u, count) << text;
}

TEST(LookupsDeathTest, LookupBeforeLoadEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  CConfigFile file;
  EXPECT_EXIT(file.getMaxCacheItems(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(file.getMessageCenters(), ::testing::ExitedWithCode(1), "");
}

// ---- loading and parsing ----

TEST(LoadFile, MissingUnreadableAndDefaultFiles) {
  CConfigFile file;
  EXPECT_EQ("CConfigFile::loadFile(): Could not open config file /nonexistent/ServerConfig.xml",
            ErrorOf([&] { file.loadFile("/nonexistent/ServerConfig.xml"); }));
  TempDir dir;
  EXPECT_EQ("CConfigFile::loadFile(): Could not read config file " + dir.path(),
            ErrorOf([&] { file.loadFile(dir.path().c_str()); }));
  EXPECT_EQ(nullptr, file.getConfig());

  {
    ScopedEnvVar env("VEXORA_CONFIG", "/opt/x/config/");
    EXPECT_EQ("/opt/x/config/ServerConfig.xml", CConfigFile::defaultFileName());
  }
  {
    ScopedEnvVar env("VEXORA_CONFIG", nullptr);
    EXPECT_THROW(CConfigFile::defaultFileName(), CWIException);
    EXPECT_THROW(file.loadFile(), CWIException);
  }
  WriteFile(dir.file("ServerConfig.xml"), ReadFile(SampleFile));
  ScopedEnvVar env("VEXORA_CONFIG", (dir.path() + "/").c_str());
  ASSERT_NO_THROW(file.loadFile());
  EXPECT_EQ(2u, file.getConfig()->requestrouters.routers.size());
}

TEST(Parse, SyntaxErrorsReportTheirLine) {
  const std::string P = "CConfigFile::parse(): error while parsing XML (line ";
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"<config <", P + "1) :expected >"},
      {"<config>\n<a>\n<b>\n\n<!-- x\n-->\n<c d='1' e>\n</config>", P + "7) :expected ="},
      {"<config>\n<a>\n", P + "3) :unexpected end of data"},
      {"\n\nconfig", P + "3) :expected <"},
      {"<config a=1/>", P + "1) :expected ' or \""},
      {"<config>&#xFFFFFFFF;</config>", P + "1) :invalid numeric character entity"},
  };
  for (const Case& c : cases) {
    CConfigFile file;
    EXPECT_EQ(c.expected, ErrorOf([&] { file.parse(c.text); })) << c.text;
  }
}

TEST(Parse, FindsTheFirstTopLevelConfigElement) {
  CConfigFile file;
  for (const char* text : {"", "<configuration/>", "<Config/>", "<other><config/></other>", "<?xml version='1.0'?>"})
    EXPECT_EQ("CConfigFile::parse(): no config element found", ErrorOf([&] { file.parse(std::string(text)); }))
        << text;
  EXPECT_EQ("CConfigFile::parse(): no config element found",
            ErrorOf([&] { file.parse(static_cast<const rapidxml::xml_node<>*>(nullptr)); }));
  // Later config elements are ignored, however broken.
  const std::string good = Minimal;
  EXPECT_EQ("<none>", ErrorOf([&] { file.parse("<?xml version='1.0'?><!DOCTYPE x><other/>" + good + "<config/>"); }));
}

TEST(Parse, FailedBuildKeepsTheOldModelAFailedCrossCheckReplacesIt) {
  CConfigFile file;
  ASSERT_NO_THROW(file.parse(std::string(Minimal)));
  const Config* first = file.getConfig();
  EXPECT_NE("<none>", ErrorOf([&] { file.parse(std::string("<config/>")); }));
  EXPECT_NE("<none>", ErrorOf([&] { file.parse(std::string("<config")); }));
  EXPECT_EQ(first, file.getConfig());

  const std::string clash =
      "<config><requestrouters><requestrouter name='N' host='h' port='5' mc_port='5'/></requestrouters>"
      "<pools><pool name='P'/></pools><cacheservers><server host='c' port='1'/></cacheservers></config>";
  EXPECT_EQ("checkUniquePorts(): Port 5, assigned to request router 'N', has already been assigned to another "
            "service on host h",
            ErrorOf([&] { file.parse(clash); }));
  ASSERT_NE(nullptr, file.getConfig());
  EXPECT_EQ("N", file.getConfig()->requestrouters.routers.begin()->first);
}

TEST(Parse, NestingDepthIsBounded) {
  auto nested = [](size_t depth) {
    std::string text;
    for (size_t i = 0; i < depth; ++i) text += "<x>";
    for (size_t i = 0; i < depth; ++i) text += "</x>";
    return text;
  };
  CConfigFile file;
  EXPECT_EQ("CConfigFile::parse(): no config element found", ErrorOf([&] { file.parse(nested(256)); }));
  EXPECT_EQ("CConfigFile::parse(): error while parsing XML (line 1) :elements nested too deeply",
            ErrorOf([&] { file.parse(nested(257)); }));
  // Far deeper than the stack would take if the parser were allowed to descend.
  std::string deep = "<config>\n<pools>\n";
  for (int i = 0; i < 500000; ++i) deep += "<a b='/>'>";
  EXPECT_EQ("CConfigFile::parse(): error while parsing XML (line 3) :elements nested too deeply",
            ErrorOf([&] { file.parse(deep); }));
  // Markup inside comments, CDATA, declarations and attribute values does not nest.
  std::string flat = "<?xml version='1.0'?><!DOCTYPE config [ <!ELEMENT config ANY> ]><config>";
  for (int i = 0; i < 1000; ++i) flat += "<!-- <a> --><![CDATA[<b>]]><?pi <c>?><e f='<g>'/>";
  flat += "</config>";
  EXPECT_NE(std::string::npos, ErrorOf([&] { file.parse(flat); }).find("Invalid child node 'e'"));
}

// ---- randomized round trip ----

struct GenRouter {
  std::string name, host;
  uint16_t port = 0, monitor = 0, mc = 0;
  bool bind = true;
};
struct GenAppServer {
  std::string host, portsText;
  PortList ports;
  int priority = 0;
  bool bind = true;
  std::string name() const { return host + "_" + portsText; }
};
struct GenPool {
  std::string name;
  int site = -1, client = -1;
  std::map<std::string, int> extensions;
  std::vector<std::string> routerNames;
  std::map<std::string, GenAppServer> servers;
};
struct GenCache {
  std::string host;
  uint16_t port = 0;
  bool bind = true, enable = true;
};
struct GenConfig {
  uint32_t maxCacheItems = 1000;
  std::map<std::string, GenRouter> routers;
  std::map<std::string, GenPool> pools;
  std::vector<GenCache> caches;
};

class Generator {
 public:
  explicit Generator(unsigned seed) : mRandom(seed), mNextPort(1 + seed % 1000) {}

  GenConfig model() {
    GenConfig c;
    if (chance(2)) c.maxCacheItems = pick(0, 100000);
    for (int i = pick(0, 5); i > 0; --i) {
      GenRouter r;
      r.name = text();
      r.host = host();
      r.port = port();
      if (chance(2)) r.monitor = port();
      if (chance(3)) r.mc = port();
      r.bind = chance(3) ? false : true;
      c.routers.emplace(r.name, r);
    }
    for (int i = pick(1, 4); i > 0; --i) {
      GenPool p;
      p.name = text();
      if (chance(2)) p.site = pick(-5, 50);
      if (chance(2)) p.client = pick(-5, 50);
      for (int e = pick(0, 3); e > 0; --e) p.extensions.emplace("." + text(), pick(-1, 99));
      if (!c.routers.empty())
        for (int n = pick(0, 4); n > 0; --n) p.routerNames.push_back(std::next(c.routers.begin(), pick(0, (int)c.routers.size() - 1))->first);
      if (!p.routerNames.empty())
        for (int s = pick(0, 3); s > 0; --s) {
          GenAppServer a = appServer();
          p.servers.emplace(a.name(), a);
        }
      c.pools.emplace(p.name, p);
    }
    for (int i = pick(1, 3); i > 0; --i) c.caches.push_back(GenCache{host(), port(), !chance(3), !chance(3)});
    return c;
  }

  std::string xml(const GenConfig& c) {
    std::string out = chance(2) ? "<?xml version=\"1.0\"?>" + gap() : "";
    out += "<config>" + gap();
    out += "<requestrouters" + (c.maxCacheItems != 1000 || chance(2) ? attr("max_cache_items", std::to_string(c.maxCacheItems)) : "") + ">" + gap();
    for (const auto& entry : c.routers) {
      const GenRouter& r = entry.second;
      std::vector<std::string> attrs = {attr("name", r.name), attr("host", r.host), attr("port", num(r.port))};
      if (r.monitor) attrs.push_back(attr("monitor_port", num(r.monitor)));
      if (r.mc) attrs.push_back(attr("mc_port", num(r.mc)));
      if (!r.bind || chance(2)) attrs.push_back(attr("bind", r.bind ? "yes" : "off"));
      out += element("requestrouter", attrs);
    }
    out += "</requestrouters>" + gap() + "<pools>" + gap();
    for (const auto& entry : c.pools) out += poolXml(entry.second);
    out += "</pools>" + gap() + "<cacheservers>" + gap();
    for (const GenCache& s : c.caches) {
      std::vector<std::string> attrs = {attr("host", s.host), attr("port", num(s.port))};
      if (!s.bind || chance(2)) attrs.push_back(attr("bind", s.bind ? "1" : "false"));
      if (!s.enable || chance(2)) attrs.push_back(attr("enable_cache", s.enable ? "on" : "no"));
      out += element("server", attrs);
    }
    return out + "</cacheservers>" + gap() + "</config>" + gap();
  }

  std::vector<std::string> someHosts() {
    std::vector<std::string> hosts;
    for (const char* h : Hosts)
      if (chance(2)) hosts.push_back(h);
    return hosts;
  }

 private:
  static constexpr const char* Hosts[] = {"127.0.0.1", "10.0.0.1", "::1", "app-1.example.com", "localhost"};

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(mRandom); }
  bool chance(int oneIn) { return pick(1, oneIn) == 1; }
  uint16_t port() {
    mNextPort += pick(1, 3);
    return static_cast<uint16_t>(mNextPort);
  }
  std::string host() { return Hosts[pick(0, 4)]; }
  std::string num(int value) { return (chance(4) ? " " : "") + std::to_string(value); }

  // Names with characters that need escaping, never blank-only.
  std::string text() {
    static const std::string alphabet = "abcXYZ019_-.&<>\"' ";
    std::string s(1, "RPQ"[pick(0, 2)]);
    for (int n = pick(0, 6); n > 0; --n) s += alphabet[pick(0, (int)alphabet.size() - 1)];
    if (chance(5)) s = " " + s;
    return s;
  }

  GenAppServer appServer() {
    GenAppServer a;
    a.host = host();
    static const char* const separators[] = {",", " ", "\t", ", ", " ,\t"};
    for (int item = pick(1, 3); item > 0; --item) {
      if (!a.portsText.empty()) a.portsText += separators[pick(0, 4)];
      if (chance(2)) {
        uint16_t p = port();
        a.ports.push_back(p);
        a.portsText += std::to_string(p);
      } else {
        const int len = pick(1, 4);
        std::vector<uint16_t> run;
        for (int k = 0; k <= len; ++k) run.push_back(port());
        // Consecutive ports make a range; ranges may run downwards.
        const uint16_t first = run.front();
        const uint16_t last = static_cast<uint16_t>(first + len);
        mNextPort = std::max<int>(mNextPort, last);
        const bool down = chance(2);
        for (int k = 0; k <= len; ++k) a.ports.push_back(static_cast<uint16_t>(down ? last - k : first + k));
        a.portsText += down ? std::to_string(last) + "-" + std::to_string(first)
                            : std::to_string(first) + "-" + std::to_string(last);
      }
    }
    if (chance(2)) a.priority = pick(-3, 3);
    a.bind = !chance(3);
    return a;
  }

  std::string poolXml(const GenPool& p) {
    std::string out = "<pool" + attr("name", p.name) + ">" + gap();
    if (p.site != -1 || p.client != -1 || !p.extensions.empty() || chance(3)) {
      out += "<limits";
      if (p.site != -1 || chance(4)) out += attr("servers_per_site", std::to_string(p.site));
      if (p.client != -1 || chance(4)) out += attr("servers_per_client", std::to_string(p.client));
      out += ">" + gap();
      for (const auto& e : p.extensions)
        out += "<servers_per_extension" + attr("extension", e.first) + ">" + num(e.second) + "</servers_per_extension>" + gap();
      out += "</limits>" + gap();
    }
    if (!p.routerNames.empty() || chance(3)) {
      out += "<requestrouters>" + gap();
      for (const std::string& name : p.routerNames) out += "<requestrouter>" + escape(name) + "</requestrouter>" + gap();
      out += "</requestrouters>" + gap();
    }
    if (!p.servers.empty() || chance(3)) {
      out += "<appservers>" + gap();
      for (const auto& entry : p.servers) {
        const GenAppServer& a = entry.second;
        std::vector<std::string> attrs = {attr("host", a.host), attr("ports", a.portsText)};
        if (a.priority != 0 || chance(3)) attrs.push_back(attr("priority", std::to_string(a.priority)));
        if (!a.bind || chance(2)) attrs.push_back(attr("bind", a.bind ? "true" : "0"));
        if (chance(4)) attrs.push_back(attr("maxmemory", "512"));
        out += element("appserver", attrs);
      }
      out += "</appservers>" + gap();
    }
    return out + "</pool>" + gap();
  }

  std::string element(const std::string& name, std::vector<std::string> attrs) {
    std::shuffle(attrs.begin(), attrs.end(), mRandom);
    std::string out = "<" + name;
    for (const std::string& a : attrs) out += a;
    return out + (chance(2) ? "/>" : "></" + name + ">") + gap();
  }

  std::string attr(const std::string& name, const std::string& value) {
    const char quote = chance(2) ? '"' : '\'';
    return std::string(pick(1, 2), ' ') + name + "=" + quote + escape(value) + quote;
  }

  static std::string escape(const std::string& s) {
    std::string out;
    for (char ch : s) {
      switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\t': out += "&#9;"; break;
        default: out += ch;
      }
    }
    return out;
  }

  std::string gap() {
    switch (pick(0, 4)) {
      case 0: return "";
      case 1: return "\n  ";
      case 2: return "<!-- note <x> -->";
      case 3: return "\t";
      default: return " \n";
    }
  }

  std::mt19937 mRandom;
  int mNextPort;
};

void checkAgainstModel(const CConfigFile& file, const GenConfig& expected, const std::vector<std::string>& hosts) {
  const Config& config = *file.getConfig();
  EXPECT_EQ(expected.maxCacheItems, file.getMaxCacheItems());

  ASSERT_EQ(expected.routers.size(), config.requestrouters.routers.size());
  IPEndpointVector ports, monitors, centers;
  for (const auto& entry : expected.routers) {
    const GenRouter& r = entry.second;
    const RequestRouter* got = config.requestrouters.routerByName(r.name);
    EXPECT_EQ(r.host, got->ip);
    EXPECT_EQ(r.port, got->port);
    EXPECT_EQ(r.monitor, got->monitor_port);
    EXPECT_EQ(r.mc, got->mc_port);
    EXPECT_EQ(r.bind, got->bind);
    EXPECT_EQ(IPEndpoint(r.host, r.port, r.bind), file.getRequestRouter(r.name));
    EXPECT_EQ(IPEndpoint(r.host, r.monitor, r.bind), file.getMonitor(r.name));
    ports.push_back(IPEndpoint(r.host, r.port, r.bind));
    if (r.monitor) monitors.push_back(IPEndpoint(r.host, r.monitor, r.bind));
    if (r.mc) {
      centers.push_back(IPEndpoint(r.host, r.mc, r.bind));
      EXPECT_EQ(r.bind, file.getMessageCenter(r.name).bind);
    } else {
      EXPECT_EQ("Message center not found: " + r.name, ErrorOf([&] { file.getMessageCenter(r.name); }));
    }
    // The first router in name order with this host.
    for (const auto& other : expected.routers)
      if (other.second.host == r.host) {
        EXPECT_EQ(other.first, config.requestrouters.routerByIP(r.host)->name);
        break;
      }
  }
  EXPECT_EQ(ports, file.getRequestRouters());
  EXPECT_EQ(monitors, file.getMonitors());
  EXPECT_EQ(centers, file.getMessageCenters());

  ASSERT_EQ(expected.pools.size(), config.pools.pools.size());
  std::vector<std::tuple<std::string, uint16_t, bool>> expectedCalls, calls;
  for (const auto& entry : expected.pools) {
    const GenPool& p = entry.second;
    const Pool* got = config.pools.poolByName(p.name);
    EXPECT_EQ(p.site, got->limits.max_servers_per_site);
    EXPECT_EQ(p.client, got->limits.max_servers_per_client);
    EXPECT_EQ(p.extensions.size(), got->limits.max_servers_per_extension.size());
    for (const auto& e : p.extensions) {
      EXPECT_EQ(e.second, got->limits.extensionLimit(e.first));
      EXPECT_EQ(e.first, got->limits.max_servers_per_extension.at(e.first)->extension);
    }
    EXPECT_EQ(StringList(p.routerNames.begin(), p.routerNames.end()), got->requestrouters.router_names);
    EXPECT_EQ(std::set<std::string>(p.routerNames.begin(), p.routerNames.end()).size(),
              got->requestrouters.routers.size());
    if (p.routerNames.empty()) {
      EXPECT_EQ(nullptr, got->requestrouters.primary_router);
    } else {
      ASSERT_NE(nullptr, got->requestrouters.primary_router);
      EXPECT_EQ(p.routerNames.front(), got->requestrouters.primary_router->name);
    }
    std::vector<std::string> routerNames;
    for (const RequestRouter* r : file.getRequestRoutersByPoolName(p.name)) routerNames.push_back(r->name);
    EXPECT_EQ(p.routerNames, routerNames);

    ASSERT_EQ(p.servers.size(), got->appservers.servers.size());
    for (const auto& s : p.servers) {
      const GenAppServer& a = s.second;
      const AppServer* as = got->appservers.serverByName(a.name());
      EXPECT_EQ(a.host, as->host);
      EXPECT_EQ(a.ports, as->ports) << a.portsText;
      EXPECT_EQ(a.priority, as->priority);
      EXPECT_EQ(a.bind, as->bind);
      if (std::find(hosts.begin(), hosts.end(), a.host) != hosts.end())
        for (uint16_t port : a.ports) expectedCalls.emplace_back(a.host, port, a.bind);
    }
  }
  file.getAppServers(hosts, [&](const std::string& h, uint16_t port, bool bind) { calls.emplace_back(h, port, bind); });
  EXPECT_EQ(expectedCalls, calls);

  ASSERT_EQ(expected.caches.size(), config.cacheservers.servers.size());
  for (size_t i = 0; i < expected.caches.size(); ++i) {
    const GenCache& s = expected.caches[i];
    EXPECT_EQ(s.host, config.cacheservers.servers[i]->ip);
    EXPECT_EQ(IPEndpoint(s.host, s.port, s.bind), config.cacheservers.server_ips[i]);
    EXPECT_EQ(s.bind, config.cacheservers.server_ips[i].bind);
    EXPECT_EQ(s.enable, file.isASPoolDBCacheEnabled(IPEndpoint(s.host, s.port)));
  }
}

TEST(RoundTrip, GeneratedConfigurationsLoadAsGenerated) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Generator gen(seed);
    const GenConfig model = gen.model();
    const std::string text = gen.xml(model);
    CConfigFile file;
    ASSERT_EQ("<none>", ErrorOf([&] { file.parse(text); })) << text;
    checkAgainstModel(file, model, gen.someHosts());
    if (HasFatalFailure() || HasNonfatalFailure()) {
      ADD_FAILURE() << text;
      break;
    }
  }
}

// ---- malformed input ----

// Parses the text; only a CException may come out.
void parseSafely(const std::string& text, const std::string& what) {
  CConfigFile file;
  try {
    file.parse(text);
  } catch (const CException&) {
  } catch (const std::exception& e) {
    ADD_FAILURE() << what << ": unexpected exception " << e.what();
  }
}

TEST(Malformed, CorpusFailsCleanly) {
  const fs::path corpus = fs::path(KTRR_TEST_SOURCE_DIR) / "tests/KTCommon/corpus";
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    const std::string text = ReadFile(entry.path());
    CConfigFile file;
    const std::string error = ErrorOf([&] { file.parse(text); });
    EXPECT_NE("<none>", error) << entry.path();
    if (entry.path().filename().string().rfind("deep_", 0) == 0) {
      EXPECT_NE(std::string::npos, error.find("nested too deeply")) << entry.path() << ": " << error;
    }
    parseSafely(text, entry.path().string());
    ++files;
  }
  EXPECT_GE(files, 10u);
}

TEST(Malformed, EveryPrefixAndRandomDamageOfTheSample) {
  const std::string sample = ReadFile(SampleFile);
  ASSERT_FALSE(sample.empty());
  for (size_t length = 0; length < sample.size(); ++length)
    parseSafely(sample.substr(0, length), "prefix " + std::to_string(length));
  std::mt19937 random(7);
  for (int round = 0; round < 1500; ++round) {
    std::string damaged = sample;
    for (int hits = 1 + round % 4; hits > 0; --hits)
      damaged[random() % damaged.size()] = static_cast<char>(random() % 256);
    parseSafely(damaged, "damage round " + std::to_string(round));
  }
}

}  // namespace
