/* XMLConfigChecks.cpp - cross checks over a finished configuration model.
 *
 * They find what the per-element schema cannot see: a pool with
 * application servers but no routers, a port used twice on one host, and a
 * pool naming a router that is not defined. Hosts are compared as written,
 * so a name and its address count as two hosts. Each check throws
 * CException at the first fault.
 */
#include <set>

#include "Exception.h"
#include "KTDebug.h"
#include "XMLConfig.h"

namespace XMLConfig {

namespace {

const char* const ChecksSource = "XMLConfigChecks";

/* Ports used so far, per host text. */
class PortRegistry {
 public:
  /* False when the port was already taken on that host; records it otherwise. */
  bool claim(const std::string& host, uint16_t port) { return mPorts[host].insert(port).second; }

 private:
  std::map<std::string, std::set<uint16_t>> mPorts;
};

}  // namespace

/* Throws CException naming the first pool with servers but no routers. */
void checkPools(const Config* config) {
  KT_ASSERT(config != nullptr, ChecksSource);
  for (const auto& entry : config->pools.pools) {
    const Pool& pool = *entry.second;
    if (!pool.appservers.servers.empty() && pool.requestrouters.router_names.empty())
      throw CException("checkPools(): Application servers, but no RequestRouters assigned to pool '" +
                       pool.name + "'");
  }
}

/* Throws CException naming the first port used twice on one host. */
void checkUniquePorts(const Config* config) {
  KT_ASSERT(config != nullptr, ChecksSource);
  PortRegistry used;

  for (const auto& entry : config->requestrouters.routers) {
    const RequestRouter& router = *entry.second;
    for (uint16_t port : {router.port, router.monitor_port, router.mc_port}) {
      if (port == 0) continue;
      if (!used.claim(router.ip, port))
        throw CException("checkUniquePorts(): Port " + std::to_string(port) +
                         ", assigned to request router '" + router.name +
                         "', has already been assigned to another service on host " + router.ip);
    }
  }

  for (const auto& poolEntry : config->pools.pools) {
    const Pool& pool = *poolEntry.second;
    for (const auto& serverEntry : pool.appservers.servers) {
      const AppServer& server = *serverEntry.second;
      for (uint16_t port : server.ports) {
        if (!used.claim(server.host, port))
          throw CException("checkUniquePorts(): Port " + std::to_string(port) +
                           ", assigned to application server '" + server.name + "' in pool '" +
                           pool.name + "', has already been assigned to another service on host " +
                           server.host);
      }
    }
  }

  for (const auto& server : config->cacheservers.servers) {
    if (!used.claim(server->ip, server->port))
      throw CException("checkUniquePorts(): CacheServer port " + std::to_string(server->port) +
                       " on host '" + server->ip + "' " +
                       "has already been assigned to another service on host " + server->ip);
  }
}

/* Throws CException naming the first unknown router of a pool. */
void checkReqRouterAssignments(const Config* config) {
  KT_ASSERT(config != nullptr, ChecksSource);
  for (const auto& poolEntry : config->pools.pools) {
    const Pool& pool = *poolEntry.second;
    for (const auto& routerEntry : pool.requestrouters.routers) {
      try {
        config->requestrouters.routerByName(routerEntry.first);
      } catch (const CException&) {
        throw CException("checkReqRouterAssignments(): Nonexistant request router '" +
                         routerEntry.first + "' assigned to pool '" + pool.name + "'");
      }
    }
  }
}

}  // namespace XMLConfig
