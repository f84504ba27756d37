// GetServer_fuzz.cpp - fuzz target for the get-server path: random datagram
// texts through CRequestRouterServer::processRequest on a router with a few
// registered application servers.
//
// The same text is read on the side the way the web adapter's datagram is
// defined (request code, then the request description), and the reply must
// agree with it:
//  - "0 host port" only for request code 1, naming a server of the requested
//    pool;
//  - "1" or "4" only for code 1, "1" exactly while tries + 1 < maxTries;
//  - "2" only for code 1; "3 <status>" with a non-zero decimal status, and
//    for any other code exactly "3 1";
//  - nothing else. Afterwards the registry must still be consistent.
// The input is what the listener passes on: at most 1023 bytes, cut at the
// first NUL byte. Servers are made idle again after every input, so each
// datagram finds the same starting point.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ASRequestInfo.h"
#include "FuzzSupport.h"
#include "RRRequestHandler.h"
#include "RegistrySupport.h"

namespace {

struct Server {
  const char* pool;
  const char* host;
  unsigned short port;
  int priority;
};

const Server kServers[] = {
    {"Pool1", "10.0.0.1", 8001, 0}, {"Pool1", "10.0.0.2", 8002, 0},
    {"Pool1", "10.0.0.3", 8003, 1}, {"Shop", "10.0.0.4", 8004, 0},
    {"DefaultPool", "::1", 8005, 0},
};

struct Router {
  fuzz::Registry registry;
  std::vector<KTASServer*> servers;
  CRequestRouterServer server{IPEndpoint("127.0.0.1", 0, true), 1000};

  Router() {
    for (const Server& s : kServers)
      servers.push_back(registry.addServer(s.pool, s.host, s.port, s.priority));
    server.mpPoolList = registry.pools();
  }
};

bool IsNumber(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  static Router* router = new Router();  // lives for the whole run
  // What the listener hands on: a datagram of at most 1023 bytes (longer
  // ones are dropped), up to its first NUL byte.
  if (size > 1023) return -1;
  const std::string text(reinterpret_cast<const char*>(data), strnlen((const char*)data, size));
  if (text.empty()) return -1;

  bool abort = false;
  const std::string reply = router->server.processRequest(text, abort);
  FUZZ_CHECK(!abort, "processRequest set abort");

  // The datagram as the web adapter defines it.
  std::istringstream is(text);
  int code = 0;
  if (!(is >> code)) code = 0;
  CASRequestInfo info;
  if (code == 1) is >> info;
  const bool moreTries = (long long)info.tries + 1 < (long long)info.maxTries;

  std::vector<std::string> fields;
  const fuzz::Fields split = fuzz::SplitFields(reply);
  for (size_t i = 0; i < split.size(); ++i) fields.emplace_back(split[i]);
  FUZZ_CHECK(!fields.empty() && reply.find_first_of("\r\n") == std::string::npos,
             "reply '" + reply + "'");
  const std::string& answer = fields[0];
  if (code != 1) {
    FUZZ_CHECK(reply == "3 1", "code " + std::to_string(code) + " answered '" + reply + "'");
  } else if (answer == "0") {
    FUZZ_CHECK(fields.size() == 3 && reply == "0 " + fields[1] + " " + fields[2] &&
                   IsNumber(fields[2]),
               "reply '" + reply + "'");
    bool known = false;
    for (const Server& s : kServers)
      known = known || (info.poolName == s.pool && fields[1] == s.host &&
                        atoi(fields[2].c_str()) == s.port);
    FUZZ_CHECK(known, "pool '" + info.poolName + "' answered with '" + reply + "'");
  } else if (answer == "1" || answer == "4") {
    FUZZ_CHECK(reply.size() == 1, "reply '" + reply + "'");
    FUZZ_CHECK((answer == "1") == moreTries,
               "reply '" + reply + "' for try " + std::to_string(info.tries) + " of " +
                   std::to_string(info.maxTries));
  } else if (answer == "2") {
    FUZZ_CHECK(reply.size() == 1, "reply '" + reply + "'");
  } else {
    FUZZ_CHECK(answer == "3" && fields.size() == 2 && reply == "3 " + fields[1] &&
                   IsNumber(fields[1]) && fields[1] != "0",
               "reply '" + reply + "'");
  }

  fuzz::CheckRegistry(router->registry, true);
  // Back to idle: assigned servers pass through working, which may always
  // become idle again.
  for (KTASServer* pAS : router->servers) {
    KTASServerSetWorking(pAS, CLog::log);
    KTASServerSetIdle(pAS, CLog::log);
  }
  return 0;
}
