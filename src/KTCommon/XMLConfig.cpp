/* XMLConfig.cpp - the configuration file: reading, parsing and lookups.
 *
 * The file is read whole, a private copy of the text is parsed in place by
 * rapidxml with its default flags, the model is built from the first
 * top-level `config` element and then cross-checked. rapidxml descends one
 * call level per nested element, so the text is scanned for its nesting
 * depth first and a document nested deeper than any configuration needs is
 * refused as a syntax error instead of exhausting the stack.
 */
#include "XMLConfig.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "Exception.h"
#include "KTDebug.h"
#include "VexoraEnv.h"

namespace XMLConfig {

namespace {

const char* const ConfigSource = "XMLConfig";
const char* const ConfigFileName = "/ServerConfig.xml";

/* Deepest element nesting accepted; a configuration needs five levels. */
const size_t MaxElementDepth = 256;

bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
bool isNameChar(char c) { return c != '\0' && !isSpace(c) && c != '/' && c != '>' && c != '?'; }
bool isAttrNameChar(char c) {
  return c != '\0' && !isSpace(c) && c != '/' && c != '<' && c != '>' && c != '=' && c != '?' &&
         c != '!';
}

/* Advances t past the next occurrence of `end`; false at the end of the text. */
bool skipPast(const char*& t, const char* end) {
  const size_t len = strlen(end);
  while (strncmp(t, end, len) != 0) {
    if (*t == '\0') return false;
    ++t;
  }
  t += len;
  return true;
}

/* Follows the document's structure the way rapidxml walks it with its
 * default flags and returns the start of the first element nested deeper
 * than MaxElementDepth, or null when there is none. Where the text breaks
 * the syntax the scan stops, since the parser stops there as well. */
const char* findTooDeepElement(const char* t) {
  if (static_cast<unsigned char>(t[0]) == 0xEF && static_cast<unsigned char>(t[1]) == 0xBB &&
      static_cast<unsigned char>(t[2]) == 0xBF)
    t += 3;
  size_t depth = 0;
  for (;;) {
    while (isSpace(*t)) ++t;
    if (*t == '\0') return nullptr;
    if (*t != '<') {
      if (depth == 0) return nullptr;  // text outside any element
      while (*t != '\0' && *t != '<') ++t;
      continue;
    }
    const char* nodeStart = t;
    ++t;
    if (*t == '/' && depth > 0) {  // closing tag
      ++t;
      while (isNameChar(*t)) ++t;
      while (isSpace(*t)) ++t;
      if (*t != '>') return nullptr;
      ++t;
      --depth;
      continue;
    }
    if (*t == '?') {  // declaration or processing instruction
      ++t;
      if ((t[0] == 'x' || t[0] == 'X') && (t[1] == 'm' || t[1] == 'M') &&
          (t[2] == 'l' || t[2] == 'L') && isSpace(t[3]))
        t += 4;
      if (!skipPast(t, "?>")) return nullptr;
      continue;
    }
    if (*t == '!') {
      if (t[1] == '-' && t[2] == '-') {
        t += 3;
        if (!skipPast(t, "-->")) return nullptr;
      } else if (strncmp(t + 1, "[CDATA[", 7) == 0) {
        t += 8;
        if (!skipPast(t, "]]>")) return nullptr;
      } else if (strncmp(t + 1, "DOCTYPE", 7) == 0 && isSpace(t[8])) {
        t += 9;
        while (*t != '>') {
          if (*t == '\0') return nullptr;
          if (*t++ != '[') continue;
          for (int brackets = 1; brackets > 0; ++t) {
            if (*t == '\0') return nullptr;
            if (*t == '[') ++brackets;
            if (*t == ']') --brackets;
          }
        }
        ++t;
      } else {
        ++t;
        if (!skipPast(t, ">")) return nullptr;
      }
      continue;
    }
    // Element: name, attributes, then "/>" or ">" and its contents.
    const char* name = t;
    while (isNameChar(*t)) ++t;
    if (t == name) return nullptr;
    while (isSpace(*t)) ++t;
    while (isAttrNameChar(*t)) {
      while (isAttrNameChar(*t)) ++t;
      while (isSpace(*t)) ++t;
      if (*t != '=') return nullptr;
      ++t;
      while (isSpace(*t)) ++t;
      const char quote = *t;
      if (quote != '\'' && quote != '"') return nullptr;
      ++t;
      while (*t != '\0' && *t != quote) ++t;
      if (*t != quote) return nullptr;
      ++t;
      while (isSpace(*t)) ++t;
    }
    if (*t == '/') {
      if (t[1] != '>') return nullptr;
      t += 2;
    } else if (*t == '>') {
      ++t;
      if (++depth > MaxElementDepth) return nodeStart;
    } else {
      return nullptr;
    }
  }
}

std::string syntaxError(const std::string& text, size_t offset, const char* what) {
  offset = std::min(offset, text.size());
  const size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
  return "CConfigFile::parse(): error while parsing XML (line " + std::to_string(line) + ") :" + what;
}

/* The endpoints (router address and the given port) of every router whose
 * port is set, in router-name order. */
IPEndpointVector routerEndpoints(const Config& config, const uint16_t RequestRouter::*port) {
  IPEndpointVector endpoints;
  for (const auto& entry : config.requestrouters.routers) {
    const RequestRouter& router = *entry.second;
    if (router.*port != 0) endpoints.push_back(IPEndpoint(router.ip, router.*port, router.bind));
  }
  return endpoints;
}

}  // namespace

CConfigFile::CConfigFile() {}

CConfigFile::~CConfigFile() {}

/* Throws CWIException when VEXORA_CONFIG is not set. */
std::string CConfigFile::defaultFileName() { return CVexoraEnv::configDir() + ConfigFileName; }

/* Throws what defaultFileName() or loadFile(name) throws. */
void CConfigFile::loadFile() { loadFile(defaultFileName().c_str()); }

/* Throws CException when the file cannot be opened or read, or does not load. */
void CConfigFile::loadFile(const char* fileName) {
  const std::string name(fileName ? fileName : "(null)");
  FILE* file = fileName ? fopen(fileName, "rb") : nullptr;
  if (!file) throw CException("CConfigFile::loadFile(): Could not open config file " + name);

  std::string text;
  char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) text.append(chunk, got);
  const bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) throw CException("CConfigFile::loadFile(): Could not read config file " + name);

  KTDEBUG_MSG(KTDEBUG_CONFIG, "CConfigFile::loadFile(): read %d bytes from %s", (int)text.size(),
              name.c_str());
  parse(text);
}

/* Throws CException for a syntax error (with its line) or a faulty configuration. */
void CConfigFile::parse(const std::string& text) {
  // rapidxml parses in place and writes into the text, so it gets a copy.
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');

  if (const char* deep = findTooDeepElement(buffer.data()))
    throw CException(syntaxError(text, static_cast<size_t>(deep - buffer.data()),
                                 "elements nested too deeply"));

  rapidxml::xml_document<> document;
  try {
    document.parse<0>(buffer.data());
  } catch (const rapidxml::parse_error& e) {
    const char* where = e.where<char>();
    const size_t offset = where ? static_cast<size_t>(where - buffer.data()) : 0;
    throw CException(syntaxError(text, offset, e.what()));
  }
  parse(&document);
}

/* Throws CException when there is no config element, it breaks the schema or a cross check fails. */
void CConfigFile::parse(const rapidxml::xml_node<>* document) {
  const rapidxml::xml_node<>* configNode = nullptr;
  for (const rapidxml::xml_node<>* node = document ? document->first_node() : nullptr; node;
       node = node->next_sibling()) {
    if (node->type() == rapidxml::node_element && strcmp(node->name(), "config") == 0) {
      configNode = node;
      break;
    }
  }
  if (!configNode) throw CException("CConfigFile::parse(): no config element found");

  std::unique_ptr<Config> config = std::make_unique<Config>(configNode);
  mConfig = std::move(config);

  checkPools(mConfig.get());
  checkUniquePorts(mConfig.get());
  checkReqRouterAssignments(mConfig.get());
  KTDEBUG_MSG(KTDEBUG_CONFIG, "CConfigFile::parse(): %d request routers, %d pools, %d cache servers",
              (int)mConfig->requestrouters.routers.size(), (int)mConfig->pools.pools.size(),
              (int)mConfig->cacheservers.servers.size());
}

/* Ends the process when no configuration has been loaded. */
const Config& CConfigFile::config() const {
  KT_ASSERT(mConfig != nullptr, ConfigSource);
  return *mConfig;
}

/* Ends the process when no configuration has been loaded. */
IPEndpointVector CConfigFile::getMessageCenters() const {
  return routerEndpoints(config(), &RequestRouter::mc_port);
}

/* Throws CException for an unknown router or one without a message-center port. */
IPEndpoint CConfigFile::getMessageCenter(const std::string& name) const {
  const RequestRouter* router = config().requestrouters.routerByName(name);
  if (router->mc_port == 0) throw CException("Message center not found: " + name);
  return IPEndpoint(router->ip, router->mc_port, router->bind);
}

/* Ends the process when no configuration has been loaded. */
IPEndpointVector CConfigFile::getMonitors() const {
  return routerEndpoints(config(), &RequestRouter::monitor_port);
}

/* Throws CException for an unknown router. */
IPEndpoint CConfigFile::getMonitor(const std::string& name) const {
  const RequestRouter* router = config().requestrouters.routerByName(name);
  return IPEndpoint(router->ip, router->monitor_port, router->bind);
}

/* Ends the process when no configuration has been loaded. */
IPEndpointVector CConfigFile::getRequestRouters() const {
  return routerEndpoints(config(), &RequestRouter::port);
}

/* Throws CException for an unknown router or one without a get-server port. */
IPEndpoint CConfigFile::getRequestRouter(const std::string& name) const {
  const RequestRouter* router = config().requestrouters.routerByName(name);
  if (router->port == 0)
    throw CException("CConfigFile::getRequestRouter(): Request router not found: " + name);
  return IPEndpoint(router->ip, router->port, router->bind);
}

/* Throws CException for an unknown pool or router. */
std::vector<const RequestRouter*> CConfigFile::getRequestRoutersByPoolName(
    const std::string& poolName) const {
  const Config& cfg = config();
  const Pool* pool = cfg.pools.poolByName(poolName);
  std::vector<const RequestRouter*> routers;
  for (const std::string& name : pool->requestrouters.router_names)
    routers.push_back(cfg.requestrouters.routerByName(name));
  return routers;
}

/* Ends the process when no configuration has been loaded or the callback is empty. */
void CConfigFile::getAppServers(const StringVector& ipList, const AppServerCallback& callback) const {
  const Config& cfg = config();
  KT_ASSERT(callback, ConfigSource);
  for (const auto& poolEntry : cfg.pools.pools) {
    for (const auto& serverEntry : poolEntry.second->appservers.servers) {
      const AppServer& server = *serverEntry.second;
      if (std::find(ipList.begin(), ipList.end(), server.host) == ipList.end()) continue;
      for (uint16_t port : server.ports) callback(server.host, port, server.bind);
    }
  }
}

/* Throws CException when no cache server has that endpoint. */
bool CConfigFile::isASPoolDBCacheEnabled(const IPEndpoint& endpoint) const {
  return config().cacheservers.serverByAddr(endpoint)->enable_cache;
}

/* Ends the process when no configuration has been loaded. */
uint32_t CConfigFile::getMaxCacheItems() const { return config().requestrouters.max_cache_items; }

}  // namespace XMLConfig
