/* XMLConfigModel.cpp - the immutable configuration model built from the
 * XML tree.
 *
 * Each object validates its element (through CNode) before it reads a
 * value, reads its own values, then builds its children in document order.
 * Every value is copied out of the tree, so the model outlives it. Objects
 * kept in maps are inserted under their key; a key given twice keeps the
 * first object and silently discards the later one.
 */
#include "XMLConfig.h"

#include <limits>

#include "Exception.h"

namespace XMLConfig {

namespace {

const int IntMin = std::numeric_limits<int>::min();
const int IntMax = std::numeric_limits<int>::max();

typedef rapidxml::xml_node<> XmlNode;

bool isElementNamed(const XmlNode* node, const char* name) {
  return node->type() == rapidxml::node_element &&
         std::string(node->name(), node->name_size()) == name;
}

/* The first child element of that name; null when none (or no parent). */
const XmlNode* firstChild(const XmlNode* parent, const char* name) {
  if (!parent) return nullptr;
  for (const XmlNode* child = parent->first_node(); child; child = child->next_sibling())
    if (isElementNamed(child, name)) return child;
  return nullptr;
}

/* The attribute's text verbatim; empty when missing. */
std::string attrText(const XmlNode* node, const char* name) {
  const rapidxml::xml_attribute<>* attr = node ? node->first_attribute(name) : nullptr;
  return attr ? std::string(attr->value()) : std::string();
}

/* Inserts the object under its key unless the key is taken: the first
 * object with a key stays, later ones are discarded. */
template <class Map, class T>
void parseMap(Map& map, const std::string& key, std::unique_ptr<const T> object) {
  map.emplace(key, std::move(object));
}

/* Builds a T from every child element of that name and keys it by name. */
template <class T>
std::map<std::string, std::unique_ptr<const T>> buildMap(const XmlNode* parent, const char* childName) {
  std::map<std::string, std::unique_ptr<const T>> map;
  if (!parent) return map;
  for (const XmlNode* child = parent->first_node(); child; child = child->next_sibling()) {
    if (!isElementNamed(child, childName)) continue;
    std::unique_ptr<const T> object = std::make_unique<const T>(child);
    const std::string key = object->name;
    parseMap(map, key, std::move(object));
  }
  return map;
}

StringList elementTexts(const XmlNode* parent, const char* childName) {
  StringList texts;
  if (!parent) return texts;
  for (const XmlNode* child = parent->first_node(); child; child = child->next_sibling())
    if (isElementNamed(child, childName))
      texts.push_back(std::string(child->value()));
  return texts;
}

CacheServerVector buildCacheServers(const XmlNode* parent) {
  CacheServerVector servers;
  if (!parent) return servers;
  for (const XmlNode* child = parent->first_node(); child; child = child->next_sibling())
    if (isElementNamed(child, "server")) servers.push_back(std::make_unique<const CacheServer>(child));
  return servers;
}

IPEndpointVector endpointsOf(const CacheServerVector& servers) {
  IPEndpointVector endpoints;
  for (const auto& server : servers) endpoints.push_back(IPEndpoint(server->ip, server->port, server->bind));
  return endpoints;
}

}  // namespace

/* ---- helpers ---- */

/* Never fails; missing attributes count as empty texts. */
std::string generateAppServerName(const rapidxml::xml_node<>* node) {
  return attrText(node, "host") + "_" + attrText(node, "ports");
}

/* Throws CException for a missing list or a port outside 1..65535. */
PortList parseASPorts(const rapidxml::xml_node<>* node, const char* attributeName) {
  const IntVector values = Parser::parseIntList(node, attributeName, 1, 65535);
  return PortList(values.begin(), values.end());
}

const PoolRequestRouter* getPrimaryRouter(const PoolRequestRouterMap& routers,
                                          const StringList& routerNames) {
  if (routerNames.empty()) return nullptr;
  PoolRequestRouterMap::const_iterator it = routers.find(routerNames.front());
  return it == routers.end() ? nullptr : it->second.get();
}

/* ---- model classes ---- */

/* Throws CException when the element breaks its schema. */
CNode::CNode(const rapidxml::xml_node<>* node, const CNodeValidator& validator) {
  if (node) validator.validate(node);
}

/* Throws CException for a schema fault or an unreadable value. */
RequestRouter::RequestRouter(const rapidxml::xml_node<>* node)
    : CNode(node, validator),
      name(attrText(node, "name")),
      ip(Parser::parseIP(node, "host", true, true)),
      port(Parser::parsePort(node, "port")),
      monitor_port(Parser::parsePort(node, "monitor_port")),
      mc_port(Parser::parsePort(node, "mc_port")),
      bind(Parser::parseBool(node, "bind", true)),
      mc_allow(attrText(node, "mc_allow")),
      monitor_allow(attrText(node, "monitor_allow")) {}

/* Throws CException for a schema fault here or in any router. */
RequestRouters::RequestRouters(const rapidxml::xml_node<>* node)
    : CNode(node, validator),
      routers(buildMap<RequestRouter>(node, "requestrouter")),
      max_cache_items(
          static_cast<uint32_t>(Parser::parseAttrNumber<int>(node, "max_cache_items", 1000, 0, IntMax))) {}

/* Throws CException for an unknown name. */
const RequestRouter* RequestRouters::routerByName(const std::string& name) const {
  RequestRouterMap::const_iterator it = routers.find(name);
  if (it == routers.end())
    throw CException("RequestRouters::routerByName(): Request router '" + name + "' not defined");
  return it->second.get();
}

/* Throws CException when no router has that host text. */
const RequestRouter* RequestRouters::routerByIP(const std::string& ip) const {
  for (const auto& entry : routers)
    if (entry.second->ip == ip) return entry.second.get();
  throw CException("RequestRouters::routerByIP(): No request router found for IP " + ip);
}

/* Throws CException for a schema fault or a limit outside -1..2147483647. */
ServersPerExtension::ServersPerExtension(const rapidxml::xml_node<>* node)
    : CNode(node, validator),
      name(attrText(node, "extension")),
      extension(name),
      value(Parser::parseNumber<int>(node, 0, -1, IntMax)) {}

/* Throws CException for a schema fault here or in any extension limit. */
PoolLimits::PoolLimits(const rapidxml::xml_node<>* node)
    : CNode(node, validator),
      max_servers_per_site(Parser::parseAttrNumber<int>(node, "servers_per_site", -1, IntMin, IntMax)),
      max_servers_per_client(
          Parser::parseAttrNumber<int>(node, "servers_per_client", -1, IntMin, IntMax)),
      max_servers_per_extension(buildMap<ServersPerExtension>(node, "servers_per_extension")) {}

int PoolLimits::extensionLimit(const std::string& extension) const {
  ExtensionLimitMap::const_iterator it = max_servers_per_extension.find(extension);
  return it == max_servers_per_extension.end() ? 0 : it->second->value;
}

/* Throws CException for a schema fault. */
PoolRequestRouter::PoolRequestRouter(const rapidxml::xml_node<>* node)
    : CNode(node, validator), name(node ? std::string(node->value()) : std::string()) {}

/* Throws CException for a schema fault here or in any router entry. */
PoolRequestRouters::PoolRequestRouters(const rapidxml::xml_node<>* node)
    : CNode(node, validator),
      routers(buildMap<PoolRequestRouter>(node, "requestrouter")),
      router_names(elementTexts(node, "requestrouter")),
      primary_router(getPrimaryRouter(routers, router_names)) {}

/* Throws CException for a schema fault or an unreadable value. */
AppServer::AppServer(const rapidxml::xml_node<>* node)
    : CNode(node, validator),
      name(generateAppServerName(node)),
      host(Parser::parseIP(node, "host", true, true)),
      ports(parseASPorts(node, "ports")),
      priority(Parser::parseAttrNumber<int>(node, "priority", 0, IntMin, IntMax)),
      bind(Parser::parseBool(node, "bind", true)) {}

/* Throws CException for a schema fault here or in any application server. */
AppServers::AppServers(const rapidxml::xml_node<>* node)
    : CNode(node, validator), servers(buildMap<AppServer>(node, "appserver")) {}

/* Throws CException for an unknown name. */
const AppServer* AppServers::serverByName(const std::string& name) const {
  AppServerMap::const_iterator it = servers.find(name);
  if (it == servers.end())
    throw CException("AppServers::serverByName(): Application server '" + name + "' not defined");
  return it->second.get();
}

/* Throws CException for a schema fault here or anywhere inside the pool. */
Pool::Pool(const rapidxml::xml_node<>* node)
    : CNode(node, validator),
      name(attrText(node, "name")),
      limits(firstChild(node, "limits")),
      requestrouters(firstChild(node, "requestrouters")),
      appservers(firstChild(node, "appservers")) {}

/* Throws CException for a schema fault here or in any pool. */
Pools::Pools(const rapidxml::xml_node<>* node)
    : CNode(node, validator), pools(buildMap<Pool>(node, "pool")) {}

/* Throws CException for an unknown name. */
const Pool* Pools::poolByName(const std::string& name) const {
  PoolMap::const_iterator it = pools.find(name);
  if (it == pools.end()) throw CException("Pools::poolByName(): Pool '" + name + "' not defined");
  return it->second.get();
}

/* Throws CException for a schema fault or an unreadable value. */
CacheServer::CacheServer(const rapidxml::xml_node<>* node)
    : CNode(node, validator),
      ip(Parser::parseIP(node, "host", true, true)),
      port(Parser::parsePort(node, "port")),
      bind(Parser::parseBool(node, "bind", true)),
      enable_cache(Parser::parseBool(node, "enable_cache", true)) {}

/* Throws CException for a schema fault here or in any cache server. */
CacheServers::CacheServers(const rapidxml::xml_node<>* node)
    : CNode(node, validator), servers(buildCacheServers(node)), server_ips(endpointsOf(servers)) {}

/* Throws CException when no server has that host text and port. */
const CacheServer* CacheServers::serverByAddr(const IPEndpoint& endpoint) const {
  for (const auto& server : servers)
    if (server->ip == endpoint.ip && server->port == endpoint.port) return server.get();
  throw CException("CacheServers::serverByAddr(): No cache server found for " + endpoint.ip);
}

/* Throws CException at the first fault anywhere in the configuration. */
Config::Config(const rapidxml::xml_node<>* node)
    : CNode(node, validator),
      requestrouters(firstChild(node, "requestrouters")),
      pools(firstChild(node, "pools")),
      cacheservers(firstChild(node, "cacheservers")) {}

}  // namespace XMLConfig
