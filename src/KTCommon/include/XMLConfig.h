/* XMLConfig.h - the configuration of an installation: the file reader and
 * the immutable model of routers, pools, application servers and cache
 * servers.
 *
 * CConfigFile reads the XML file (or a text held in memory), builds the
 * model rooted in Config and cross-checks it. Each model object validates
 * its element against its class's static schema (`validator`) before it
 * reads a value, so an element's own faults are reported before anything
 * inside it. Every failure is a CException naming the reporting function
 * and, where there is one, the element, attribute and value. Objects own
 * the objects below them; keys given twice keep the first object.
 *
 * Thread safety: a model is built by one thread and never modified
 * afterwards; all lookups only read and may be called from any number of
 * threads. Loading into a CConfigFile that other threads read is not safe.
 */
#ifndef XMLCONFIG_H
#define XMLCONFIG_H

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <rapidxml/rapidxml.hpp>

#include "IPEndpoint.h"
#include "XMLConfigParser.h"
#include "XMLConfigValidator.h"

namespace XMLConfig {

typedef std::vector<uint16_t> PortList;

/* Base of every class that stands for an element: validates the element
 * (when it is not null) against the class's schema; throws CException. */
class CNode {
 public:
  CNode(const CNode&) = delete;
  CNode& operator=(const CNode&) = delete;

 protected:
  CNode(const rapidxml::xml_node<>* node, const CNodeValidator& validator);
  ~CNode() = default;
};

/* A request router (top-level `requestrouter`). Ports are 0 when absent. */
class RequestRouter : public CNode {
 public:
  static const CNodeValidator validator;
  explicit RequestRouter(const rapidxml::xml_node<>* node);

  const std::string name;
  const std::string ip;
  const uint16_t port;
  const uint16_t monitor_port;
  const uint16_t mc_port;
  const bool bind;
  const std::string mc_allow;       /* sources served on the message center; empty: everyone */
  const std::string monitor_allow;  /* sources served on the monitor; empty: everyone */
};
typedef std::map<std::string, std::unique_ptr<const RequestRouter>> RequestRouterMap;

/* The top-level `requestrouters`. */
class RequestRouters : public CNode {
 public:
  static const CNodeValidator validator;
  explicit RequestRouters(const rapidxml::xml_node<>* node);

  /* Throws "RequestRouters::routerByName(): Request router '<name>' not defined". */
  const RequestRouter* routerByName(const std::string& name) const;
  /* The first router in name order whose host text equals ip exactly; throws
   * "RequestRouters::routerByIP(): No request router found for IP <ip>". */
  const RequestRouter* routerByIP(const std::string& ip) const;

  const RequestRouterMap routers;
  const uint32_t max_cache_items;
};

/* A per-extension limit of a pool (`servers_per_extension`). */
class ServersPerExtension : public CNode {
 public:
  static const CNodeValidator validator;
  explicit ServersPerExtension(const rapidxml::xml_node<>* node);

  const std::string name;        /* the extension with its dot */
  const std::string& extension;  /* refers to name */
  const int32_t value;
};
typedef std::map<std::string, std::unique_ptr<const ServersPerExtension>> ExtensionLimitMap;

/* The limits of a pool; built from nothing: -1, -1 and no extension limits. */
class PoolLimits : public CNode {
 public:
  static const CNodeValidator validator;
  explicit PoolLimits(const rapidxml::xml_node<>* node);

  /* The limit for the extension (with its dot, compared exactly); 0 when none. */
  int extensionLimit(const std::string& extension) const;

  const int32_t max_servers_per_site;
  const int32_t max_servers_per_client;
  const ExtensionLimitMap max_servers_per_extension;
};

/* A router named in a pool; its name is the element text, verbatim. */
class PoolRequestRouter : public CNode {
 public:
  static const CNodeValidator validator;
  explicit PoolRequestRouter(const rapidxml::xml_node<>* node);

  const std::string name;
};
typedef std::map<std::string, std::unique_ptr<const PoolRequestRouter>> PoolRequestRouterMap;

/* The routers of a pool: distinct names, all names in document order, and
 * the router of the first name (null for an empty list). */
class PoolRequestRouters : public CNode {
 public:
  static const CNodeValidator validator;
  explicit PoolRequestRouters(const rapidxml::xml_node<>* node);

  const PoolRequestRouterMap routers;
  const StringList router_names;
  const PoolRequestRouter* const primary_router;
};

/* An application server with its ports; named host + "_" + ports text. */
class AppServer : public CNode {
 public:
  static const CNodeValidator validator;
  explicit AppServer(const rapidxml::xml_node<>* node);

  const std::string name;
  const std::string host;
  const PortList ports;
  const int32_t priority;
  const bool bind;
};
typedef std::map<std::string, std::unique_ptr<const AppServer>> AppServerMap;

/* The application servers of a pool, by generated name. */
class AppServers : public CNode {
 public:
  static const CNodeValidator validator;
  explicit AppServers(const rapidxml::xml_node<>* node);

  /* Throws "AppServers::serverByName(): Application server '<name>' not defined". */
  const AppServer* serverByName(const std::string& name) const;

  const AppServerMap servers;
};

/* A pool of application servers. */
class Pool : public CNode {
 public:
  static const CNodeValidator validator;
  explicit Pool(const rapidxml::xml_node<>* node);

  const std::string name;
  const PoolLimits limits;
  const PoolRequestRouters requestrouters;
  const AppServers appservers;
};
typedef std::map<std::string, std::unique_ptr<const Pool>> PoolMap;

/* All pools, by name. */
class Pools : public CNode {
 public:
  static const CNodeValidator validator;
  explicit Pools(const rapidxml::xml_node<>* node);

  /* Throws "Pools::poolByName(): Pool '<name>' not defined". */
  const Pool* poolByName(const std::string& name) const;

  const PoolMap pools;
};

/* A cache server (`server` under `cacheservers`). */
class CacheServer : public CNode {
 public:
  static const CNodeValidator validator;
  explicit CacheServer(const rapidxml::xml_node<>* node);

  const std::string ip;
  const uint16_t port;
  const bool bind;
  const bool enable_cache;
};
typedef std::vector<std::unique_ptr<const CacheServer>> CacheServerVector;

/* The cache servers in document order, with their endpoints. */
class CacheServers : public CNode {
 public:
  static const CNodeValidator validator;
  explicit CacheServers(const rapidxml::xml_node<>* node);

  /* The first server whose host text and port equal the endpoint's (bind is
   * not compared); throws "CacheServers::serverByAddr(): No cache server
   * found for <ip>". */
  const CacheServer* serverByAddr(const IPEndpoint& endpoint) const;

  const CacheServerVector servers;
  const IPEndpointVector server_ips;
};

/* The whole configuration (`config`). */
class Config : public CNode {
 public:
  static const CNodeValidator validator;
  explicit Config(const rapidxml::xml_node<>* node);

  const RequestRouters requestrouters;
  const Pools pools;
  const CacheServers cacheservers;
};

/* host + "_" + ports, both attribute texts verbatim. */
std::string generateAppServerName(const rapidxml::xml_node<>* node);
/* The attribute as an integer list with bounds 1..65535, in list order. */
PortList parseASPorts(const rapidxml::xml_node<>* node, const char* attributeName);
/* The router stored under the first name of the list; null when the list is
 * empty or the map lacks that name. */
const PoolRequestRouter* getPrimaryRouter(const PoolRequestRouterMap& routers,
                                          const StringList& routerNames);
/* Logs that the appserver attribute `name` is deprecated; accepts any value. */
bool deprecatedNameWarning(const std::string& value);
/* Accepts a value that is not empty and begins with ".". */
bool checkLimitExtension(const std::string& value);

/* The loaded configuration file. */
class CConfigFile {
 public:
  typedef std::function<void(const std::string& host, uint16_t port, bool bind)> AppServerCallback;

  CConfigFile();
  virtual ~CConfigFile();
  CConfigFile(const CConfigFile&) = delete;
  CConfigFile& operator=(const CConfigFile&) = delete;

  /* The configuration directory + "/ServerConfig.xml"; throws when
   * VEXORA_CONFIG is not set. */
  static std::string defaultFileName();

  /* loadFile(defaultFileName()). */
  void loadFile();
  /* Reads the file whole and parses it; throws "CConfigFile::loadFile():
   * Could not open config file <name>" when it cannot be opened. */
  void loadFile(const char* fileName);
  /* Parses a document held in memory; a syntax error throws
   * "CConfigFile::parse(): error while parsing XML (line <n>) :<what>". */
  void parse(const std::string& text);
  /* Builds the model from the first top-level `config` element and runs the
   * cross checks. A failed build keeps the previous model; a failed cross
   * check throws after the new model has replaced it. */
  void parse(const rapidxml::xml_node<>* document);

  /* The model; null before a successful load. */
  const Config* getConfig() const { return mConfig.get(); }

  /* The lookups below need a loaded model (checked by an assertion that ends
   * the process); those naming a router throw for an unknown name. */
  IPEndpointVector getMessageCenters() const;
  /* Throws "Message center not found: <name>" when the router has no mc_port. */
  IPEndpoint getMessageCenter(const std::string& name) const;
  IPEndpointVector getMonitors() const;
  /* Port 0 when the router has no monitor port. */
  IPEndpoint getMonitor(const std::string& name) const;
  IPEndpointVector getRequestRouters() const;
  /* Throws "CConfigFile::getRequestRouter(): Request router not found: <name>"
   * when the router has no port. */
  IPEndpoint getRequestRouter(const std::string& name) const;
  /* The routers of the pool in the order listed, repeats repeated. */
  std::vector<const RequestRouter*> getRequestRoutersByPoolName(const std::string& poolName) const;
  /* Calls the callback once per port of every application server whose host
   * text is one of ipList, pools in name order, servers in name order. */
  void getAppServers(const StringVector& ipList, const AppServerCallback& callback) const;
  /* enable_cache of the cache server at that endpoint; throws when none. */
  bool isASPoolDBCacheEnabled(const IPEndpoint& endpoint) const;
  uint32_t getMaxCacheItems() const;

 private:
  const Config& config() const;

  std::unique_ptr<Config> mConfig;
};

}  // namespace XMLConfig

#endif /* XMLCONFIG_H */
