/* XMLConfigSchema.cpp - the schema of the configuration file as data.
 *
 * One descriptor table per element kind lists the attributes it may carry
 * and the child elements it may hold; each model class's static `validator`
 * is built from its tables during static initialisation. Tables and
 * validators live in this one source so that each table is built before
 * the validator that copies it. Anything not listed here is refused.
 */
#include "XMLConfig.h"

#include "Log.h"

namespace XMLConfig {

/* Never fails: logs the warning and accepts every value. */
bool deprecatedNameWarning(const std::string& /*value*/) {
  CLogger() << "WARNING: attribute 'name' of element <appserver> in ServerConfig.xml is deprecated. "
               "Please remove.";
  return true;
}

bool checkLimitExtension(const std::string& value) { return !value.empty() && value[0] == '.'; }

namespace {

typedef CDataDescriptor D;
const uint32_t NoMax = CNodeDescriptor::Unbounded;

template <class T, size_t N>
constexpr unsigned countOf(const T (&)[N]) {
  return static_cast<unsigned>(N);
}

const CAttributeDescriptor RequestRouterAttrs[] = {
    CAttributeDescriptor("name", D::DATA_TEXT, true),
    CAttributeDescriptor("host", D::DATA_HOSTNAME, true),
    CAttributeDescriptor("port", D::DATA_PORT, true),
    CAttributeDescriptor("monitor_port", D::DATA_PORT, false),
    CAttributeDescriptor("mc_port", D::DATA_PORT, false),
    CAttributeDescriptor("bind", D::DATA_BOOLEAN, false),
    CAttributeDescriptor("mc_allow", D::DATA_ADDRESS_LIST, false),
    CAttributeDescriptor("monitor_allow", D::DATA_ADDRESS_LIST, false),
};

const CAttributeDescriptor RequestRoutersAttr[] = {
    CAttributeDescriptor("max_cache_items", D::DATA_INT, false),
};
const CNodeDescriptor RequestRoutersNodes[] = {
    CNodeDescriptor("requestrouter", 0, NoMax, NODE_ELEMENT, D::DATA_TEXT),
};

const CAttributeDescriptor SrvPerExtAttrs[] = {
    CAttributeDescriptor("extension", D::DATA_USER, true, checkLimitExtension),
};

const CAttributeDescriptor PoolLimitsAttrs[] = {
    CAttributeDescriptor("servers_per_site", D::DATA_INT, false),
    CAttributeDescriptor("servers_per_client", D::DATA_INT, false),
};
const CNodeDescriptor PoolLimitsNodes[] = {
    CNodeDescriptor("servers_per_extension", 0, NoMax, NODE_DATA, D::DATA_INT),
};

const CNodeDescriptor PoolRRsNodes[] = {
    CNodeDescriptor("requestrouter", 0, NoMax, NODE_DATA, D::DATA_TEXT),
};

const CAttributeDescriptor AppServerAttrs[] = {
    CAttributeDescriptor("name", D::DATA_USER, false, deprecatedNameWarning),
    CAttributeDescriptor("host", D::DATA_HOSTNAME, true),
    CAttributeDescriptor("ports", D::DATA_INT_LIST, true),
    CAttributeDescriptor("bind", D::DATA_BOOLEAN, false),
    CAttributeDescriptor("priority", D::DATA_INT, false),
    CAttributeDescriptor("maxmemory", D::DATA_INT, false),
};
const CNodeDescriptor AppServersNodes[] = {
    CNodeDescriptor("appserver", 0, NoMax, NODE_ELEMENT, D::DATA_TEXT),
};

const CAttributeDescriptor PoolAttrs[] = {
    CAttributeDescriptor("name", D::DATA_TEXT, true),
};
const CNodeDescriptor PoolNodes[] = {
    CNodeDescriptor("limits", 0, 1, NODE_ELEMENT, D::DATA_TEXT),
    CNodeDescriptor("requestrouters", 0, 1, NODE_ELEMENT, D::DATA_TEXT),
    CNodeDescriptor("appservers", 0, 1, NODE_ELEMENT, D::DATA_TEXT),
};

const CNodeDescriptor PoolsNodes[] = {
    CNodeDescriptor("pool", 1, NoMax, NODE_ELEMENT, D::DATA_TEXT),
};

const CAttributeDescriptor CacheServerAttrs[] = {
    CAttributeDescriptor("host", D::DATA_HOSTNAME, true),
    CAttributeDescriptor("port", D::DATA_PORT, true),
    CAttributeDescriptor("bind", D::DATA_BOOLEAN, false),
    CAttributeDescriptor("enable_cache", D::DATA_BOOLEAN, false),
};
const CNodeDescriptor CacheServersNodes[] = {
    CNodeDescriptor("server", 1, NoMax, NODE_ELEMENT, D::DATA_TEXT),
};

const CNodeDescriptor ConfigNodes[] = {
    CNodeDescriptor("requestrouters", 1, 1, NODE_ELEMENT, D::DATA_TEXT),
    CNodeDescriptor("pools", 1, 1, NODE_ELEMENT, D::DATA_TEXT),
    CNodeDescriptor("cacheservers", 1, 1, NODE_ELEMENT, D::DATA_TEXT),
};

}  // namespace

const CNodeValidator RequestRouter::validator(RequestRouterAttrs, countOf(RequestRouterAttrs), nullptr, 0);
const CNodeValidator RequestRouters::validator(RequestRoutersAttr, countOf(RequestRoutersAttr),
                                               RequestRoutersNodes, countOf(RequestRoutersNodes));
const CNodeValidator ServersPerExtension::validator(SrvPerExtAttrs, countOf(SrvPerExtAttrs), nullptr, 0);
const CNodeValidator PoolLimits::validator(PoolLimitsAttrs, countOf(PoolLimitsAttrs), PoolLimitsNodes,
                                           countOf(PoolLimitsNodes));
const CNodeValidator PoolRequestRouter::validator(nullptr, 0, nullptr, 0);
const CNodeValidator PoolRequestRouters::validator(nullptr, 0, PoolRRsNodes, countOf(PoolRRsNodes));
const CNodeValidator AppServer::validator(AppServerAttrs, countOf(AppServerAttrs), nullptr, 0);
const CNodeValidator AppServers::validator(nullptr, 0, AppServersNodes, countOf(AppServersNodes));
const CNodeValidator Pool::validator(PoolAttrs, countOf(PoolAttrs), PoolNodes, countOf(PoolNodes));
const CNodeValidator Pools::validator(nullptr, 0, PoolsNodes, countOf(PoolsNodes));
const CNodeValidator CacheServer::validator(CacheServerAttrs, countOf(CacheServerAttrs), nullptr, 0);
const CNodeValidator CacheServers::validator(nullptr, 0, CacheServersNodes, countOf(CacheServersNodes));
const CNodeValidator Config::validator(nullptr, 0, ConfigNodes, countOf(ConfigNodes));

}  // namespace XMLConfig
