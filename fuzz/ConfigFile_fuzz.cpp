// ConfigFile_fuzz.cpp - fuzz target for the configuration reader: random
// documents through CConfigFile::parse.
//
// Properties checked on every input:
//  - only CException leaves the reader; no crash, no sanitizer report;
//  - a syntax error names a line that exists in the text;
//  - the nesting guard agrees with the parser: a document that rapidxml
//    parses is refused as too deep exactly when it nests deeper than 256;
//  - a refused document leaves the previously loaded model in place, except
//    when a cross check refused it;
//  - a loaded model keeps what the cross checks promise (unique ports per
//    host, every pool router defined, servers only with routers) and every
//    lookup on it answers without throwing where an entry must exist.
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <rapidxml/rapidxml.hpp>

#include "Exception.h"
#include "FuzzSupport.h"
#include "XMLConfig.h"

using namespace XMLConfig;

namespace {

const size_t MaxDepth = 256;

const char* const KnownGood =
    "<config><requestrouters>"
    "<requestrouter name='RR1' host='127.0.0.1' port='1' mc_port='2' monitor_port='3'/>"
    "</requestrouters><pools><pool name='P'><requestrouters><requestrouter>RR1</requestrouter>"
    "</requestrouters><appservers><appserver host='127.0.0.1' ports='10-12'/></appservers>"
    "</pool></pools><cacheservers><server host='127.0.0.1' port='20'/></cacheservers></config>";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// Depth of the deepest element below node, counted without recursion.
size_t TreeDepth(const rapidxml::xml_node<>* root) {
  size_t deepest = 0;
  std::vector<std::pair<const rapidxml::xml_node<>*, size_t>> stack;
  for (const rapidxml::xml_node<>* n = root->first_node(); n; n = n->next_sibling())
    stack.emplace_back(n, 1);
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    if (node->type() != rapidxml::node_element) continue;
    if (depth > deepest) deepest = depth;
    for (const rapidxml::xml_node<>* n = node->first_node(); n; n = n->next_sibling())
      stack.emplace_back(n, depth + 1);
  }
  return deepest;
}

struct DepthProbe {
  const std::string* text;
  bool parsed;
  size_t depth;
};

// Thread body: parses the text with rapidxml's default flags and measures
// the tree. It runs on a large stack of its own, since the documents the
// guard refuses are exactly those that exhaust an ordinary one.
void* ProbeDepth(void* arg) {
  DepthProbe* probe = static_cast<DepthProbe*>(arg);
  std::vector<char> buffer(probe->text->begin(), probe->text->end());
  buffer.push_back('\0');
  rapidxml::xml_document<> document;
  try {
    document.parse<0>(buffer.data());
    probe->parsed = true;
    probe->depth = TreeDepth(&document);
  } catch (const rapidxml::parse_error&) {
    probe->parsed = false;  // the parser stops early; the guard may stop earlier still
  }
  return nullptr;
}

// Checks the nesting guard against rapidxml's own reading of the text.
void CheckDepthGuard(const std::string& text, bool refusedAsTooDeep) {
  // Every level opens with "<": with no more than MaxDepth of them the
  // document cannot be too deep, and no parse is needed to know it.
  if (static_cast<size_t>(std::count(text.begin(), text.end(), '<')) <= MaxDepth) {
    FUZZ_CHECK(!refusedAsTooDeep, "a shallow document refused as too deep");
    return;
  }
  DepthProbe probe = {&text, false, 0};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 512u << 20);
  pthread_t thread;
  FUZZ_CHECK(pthread_create(&thread, &attr, ProbeDepth, &probe) == 0, "probe thread");
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  if (!probe.parsed) return;
  FUZZ_CHECK(refusedAsTooDeep == (probe.depth > MaxDepth),
             "document depth " + std::to_string(probe.depth) +
                 (refusedAsTooDeep ? " refused as too deep" : " accepted"));
}

// Checks a syntax error message names an existing line.
void CheckSyntaxMessage(const std::string& text, const std::string& message) {
  const char* prefix = "CConfigFile::parse(): error while parsing XML (line ";
  if (!StartsWith(message, prefix)) return;
  const long line = strtol(message.c_str() + strlen(prefix), nullptr, 10);
  long lines = 1;
  for (char c : text)
    if (c == '\n') ++lines;
  FUZZ_CHECK(line >= 1 && line <= lines, message);
  FUZZ_CHECK(message.find(") :") != std::string::npos, message);
}

// Checks what a loaded model promises and runs every lookup on it.
void CheckModel(const CConfigFile& file) {
  const Config* config = file.getConfig();
  FUZZ_CHECK(config != nullptr, "no model after a successful parse");

  std::map<std::string, std::set<unsigned>> used;  // ports per host text
  auto use = [&](const std::string& host, unsigned port) {
    FUZZ_CHECK(used[host].insert(port).second,
               "port " + std::to_string(port) + " given twice on host " + host);
  };

  size_t mcs = 0, monitors = 0;
  for (const auto& [name, router] : config->requestrouters.routers) {
    FUZZ_CHECK(name == router->name, "router stored under another name: " + name);
    FUZZ_CHECK(router->port != 0, "router without get-server port: " + name);
    FUZZ_CHECK(config->requestrouters.routerByName(name) == router.get(), name);
    FUZZ_CHECK(file.getRequestRouter(name).port == router->port, name);
    FUZZ_CHECK(file.getMonitor(name).port == router->monitor_port, name);
    if (router->mc_port != 0) {
      ++mcs;
      FUZZ_CHECK(file.getMessageCenter(name).port == router->mc_port, name);
    }
    if (router->monitor_port != 0) ++monitors;
    for (unsigned port : {router->port, router->monitor_port, router->mc_port})
      if (port != 0) use(router->ip, port);
    // The first router with this host text in name order answers routerByIP.
    const RequestRouter* byIP = config->requestrouters.routerByIP(router->ip);
    FUZZ_CHECK(byIP->ip == router->ip && byIP->name <= name, router->ip);
  }
  FUZZ_CHECK(file.getMessageCenters().size() == mcs, "message-center list");
  FUZZ_CHECK(file.getMonitors().size() == monitors, "monitor list");
  FUZZ_CHECK(file.getRequestRouters().size() == config->requestrouters.routers.size(),
             "get-server list");

  for (const auto& [name, pool] : config->pools.pools) {
    FUZZ_CHECK(name == pool->name, "pool stored under another name: " + name);
    FUZZ_CHECK(config->pools.poolByName(name) == pool.get(), name);
    const auto& names = pool->requestrouters.router_names;
    FUZZ_CHECK(pool->appservers.servers.empty() || !names.empty(),
               "servers without routers in pool " + name);
    FUZZ_CHECK(file.getRequestRoutersByPoolName(name).size() == names.size(), name);
    FUZZ_CHECK((pool->requestrouters.primary_router == nullptr) == names.empty(), name);
    for (const auto& [ext, limit] : pool->limits.max_servers_per_extension) {
      FUZZ_CHECK(!ext.empty() && ext[0] == '.', "extension without dot: " + ext);
      FUZZ_CHECK(pool->limits.extensionLimit(ext) == limit->value, ext);
      FUZZ_CHECK(limit->value >= -1, ext);
    }
    for (const auto& [serverName, server] : pool->appservers.servers) {
      FUZZ_CHECK(pool->appservers.serverByName(serverName) == server.get(), serverName);
      FUZZ_CHECK(!server->ports.empty(), "server without ports: " + serverName);
      for (unsigned port : server->ports) {
        FUZZ_CHECK(port != 0, "port 0 of server " + serverName);
        use(server->host, port);
      }
    }
  }

  const auto& caches = config->cacheservers;
  FUZZ_CHECK(caches.servers.size() == caches.server_ips.size(), "cache endpoint list");
  for (const auto& server : caches.servers) {
    FUZZ_CHECK(server->port != 0, "cache server port 0");
    use(server->ip, server->port);
    const IPEndpoint endpoint(server->ip, server->port, server->bind);
    FUZZ_CHECK(file.isASPoolDBCacheEnabled(endpoint) == server->enable_cache, server->ip);
  }

  size_t perPort = 0;
  for (const auto& [name, pool] : config->pools.pools)
    for (const auto& [serverName, server] : pool->appservers.servers)
      (void)serverName, perPort += server->ports.size();
  StringVector hosts;
  for (const auto& [host, ports] : used) hosts.push_back(host);
  size_t called = 0;
  file.getAppServers(hosts, [&](const std::string&, uint16_t, bool) { ++called; });
  FUZZ_CHECK(called == perPort, "getAppServers calls");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  const std::string text(reinterpret_cast<const char*>(data), size);

  static CConfigFile file;
  static const Config* loaded = nullptr;
  if (loaded == nullptr || file.getConfig() != loaded) {
    file.parse(std::string(KnownGood));
    loaded = file.getConfig();
  }

  bool tooDeep = false;
  try {
    file.parse(text);
    CheckModel(file);
  } catch (const CException& e) {
    const std::string message = e.what();
    const std::string deep = ") :elements nested too deeply";
    tooDeep = StartsWith(message, "CConfigFile::parse(): error while parsing XML (line ") &&
              message.size() > deep.size() &&
              message.compare(message.size() - deep.size(), deep.size(), deep) == 0;
    CheckSyntaxMessage(text, message);
    const bool crossCheck = StartsWith(message, "checkPools(): ") ||
                            StartsWith(message, "checkUniquePorts(): ") ||
                            StartsWith(message, "checkReqRouterAssignments(): ");
    FUZZ_CHECK(crossCheck || file.getConfig() == loaded,
               "refused document replaced the model: " + message);
  }
  CheckDepthGuard(text, tooDeep);
  return 0;
}
