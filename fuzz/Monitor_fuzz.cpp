// Monitor_fuzz.cpp - fuzz target for the monitor path: random bytes over an
// in-process connection (LoopbackSupport.h) into MonitorRequestHandler, on
// a router whose registry holds servers in every state, several pools and a
// peer.
//
// Each request line is read on the side as well, and the handler's answer
// must agree with it:
//  - codes 10, 11, 12, 13 and 15 are answered with one reply "0 <n>\n" and
//    n bytes of whole lines of their kind (server lines of 19 fields, pool
//    lines of 22, peer lines of 4; 15 with an empty body);
//  - 14 is answered with an empty body exactly when the line names an
//    existing pool after the skipped number, and otherwise ends the
//    connection;
//  - 17 is refused without a blank after the code; answered, its body is
//    fact lines (ending in "\n") closed by exactly one outcome line, the first a pool line
//    unless the outcome is no-pool;
//  - every other line (16, unknown codes, no number, a line longer than
//    8191 bytes) ends the connection without a reply.
// After the first reset of each kind (all, or one pool's) in an input and at
// the end of every input the registry is still consistent (RegistrySupport.h).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "KTMCServer.h"
#include "KTMonitorRequestHandler.h"
#include "LoopbackSupport.h"
#include "RegistrySupport.h"

namespace {

// A registry with servers in each state, in three pools, and one peer that
// shares a pool; built once for the run.
struct Router {
  fuzz::Registry registry;
  std::set<std::string> pools{"Pool1", "Shop", "DefaultPool"};

  Router() {
    KTASServer* idle = registry.addServer("Pool1", "10.0.0.1", 8001, 0);
    KTASServer* working = registry.addServer("Pool1", "10.0.0.2", 8002, 1);
    KTASServer* monitor = registry.addServer("Shop", "::1", 8003, 0);
    KTASServer* down = registry.addServer("Shop", "10.0.0.4", 8004, 0);
    registry.addServer("DefaultPool", "10.0.0.5", 8005, 0);
    (void)idle;
    KTASServerSetWorking(working, CLog::log);
    KTASServerSetWorking(monitor, CLog::log);
    KTASServerStartMonitor(monitor, CLog::log);
    KTASServerSetShutdown(down, CLog::log);

    KTMCServer* peer = nullptr;
    FUZZ_CHECK(KTMCServerNew(&peer, "127.0.0.2", 9, "127.0.0.1", 7777, CLog::log) == 0, "peer");
    FUZZ_CHECK(KTMCServerListAdd(registry.mcs(), peer, CLog::log) == 0, "peer list");
    ASPool* shop = nullptr;
    ASPoolListGetMatching(registry.pools(), "Shop", &shop, CLog::log);
    FUZZ_CHECK(shop != nullptr && ASPoolAddMC(shop, peer, CLog::log) == 0, "peer in pool");
  }
};

// Splits a reply body into lines and checks their kind and field count.
void CheckBody(int code, const std::string& body) {
  if (code == 17) {  // facts, one per line, ended by exactly one outcome
    std::vector<std::string_view> lines;  // each ends in "\n"
    const std::string_view all(body);
    for (size_t start = 0; start < all.size();) {
      const size_t end = all.find('\n', start);
      FUZZ_CHECK(end != std::string_view::npos, "explain line without LF: " + body);
      lines.push_back(all.substr(start, end - start));
      start = end + 1;
    }
    FUZZ_CHECK(!lines.empty(), "explain without lines");
    for (size_t i = 0; i < lines.size(); ++i) {
      const fuzz::Fields f = fuzz::SplitFields(lines[i]);
      FUZZ_CHECK(!f.empty() && (f[0] == "outcome") == (i + 1 == lines.size()),
                 "explain body: " + body);
    }
    const fuzz::Fields first = fuzz::SplitFields(lines[0]);
    FUZZ_CHECK(first[0] == "pool" || (lines.size() == 1 && first.size() == 2 && first[1] == "no-pool"),
               "explain body: " + body);
    return;
  }
  if (code == 14 || code == 15) {
    FUZZ_CHECK(body.empty(), "reset answered with a body: " + body);
    return;
  }
  for (const std::string_view view : fuzz::SplitLines(body, "monitor")) {
    const std::string line(view);
    const fuzz::Fields f = fuzz::SplitFields(view);
    FUZZ_CHECK(!f.empty(), "empty monitor line");
    switch (code) {
      case 10:
        FUZZ_CHECK(f[0] == "S" && f.size() == 19, "server line: " + line);
        break;
      case 11:  // the pending cache data follows, possibly empty
        FUZZ_CHECK(f[0] == "S" && f.size() >= 19, "server debug line: " + line);
        break;
      case 12:
        FUZZ_CHECK(f[0] == "M" && f.size() == 4, "peer line: " + line);
        break;
      case 13:
        FUZZ_CHECK(f[0] == "P" && f.size() == 22, "pool line: " + line);
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  static Router* router = new Router();               // lives for the whole run

  KTSocket* server = nullptr;
  const int client = fuzz::ConnectPair(&server, 500);
  FUZZ_CHECK(testsockets::SendAll(client, std::string((const char*)data, size)),
             "writing to the router failed");
  shutdown(client, SHUT_WR);

  std::string replies;
  std::set<std::string> checkedResets;
  for (;;) {
    std::string line;
    size_t after = 0;
    const fuzz::Waiting waiting =
        fuzz::LineWaiting(server, MONITOR_MAX_REQUEST_LINE, &line, &after);
    (void)after;

    // What the line asks for, read on the side.
    int code = -1;
    bool answerable = false;
    bool mayFail = false;  // 17: the harness does not read the description
    std::string reset;  // what a reset resets: "15", or "14" and the pool
    if (waiting == fuzz::Waiting::Line && sscanf(line.c_str(), "%d", &code) == 1) {
      if (code == 10 || code == 11 || code == 12 || code == 13 || code == 15) answerable = true;
      // 17 needs a blank after the code; whether the description reaches
      // its pool field is left to the body check.
      if (code == 17) {
        const size_t digits = line.find_first_not_of(" \t", 0);
        const size_t blank = line.find(' ', line.find_first_not_of("+-0123456789", digits));
        answerable = mayFail = blank != std::string::npos;
      }
      if (code == 15) reset = "15";
      char pool[100] = {0};
      if (code == 14 && sscanf(line.c_str(), "%*d %*d %99s", pool) == 1) {
        answerable = router->pools.count(pool) == 1;
        reset = std::string("14 ") + pool;
      }
    }

    const KTStatus status = MonitorRequestHandler(server, router->registry.pools(),
                                                  router->registry.mcs(), CLog::log);
    // Only the resets write to the registry; the other codes read it, and
    // whatever they might break stays broken until the check that follows
    // the input's last request, which always fails at the end of the stream.
    // The first reset of each kind in an input (all statistics, or one
    // pool's) is checked: inputs repeat requests by the dozen, and the walk
    // costs more than the reset.
    if (status != 0 || (!reset.empty() && checkedResets.insert(reset).second))
      fuzz::CheckRegistry(router->registry, true);
    if (status != 0) {
      FUZZ_CHECK(!answerable || mayFail,
                 "request '" + line + "' failed with " + std::to_string(status));
      KTSocketFree(&server, CLog::log);
      fuzz::ReadToEnd(client, replies);
      FUZZ_CHECK(replies.empty(), "reply to a refused request: " + replies);
      break;
    }
    FUZZ_CHECK(answerable, "request '" + line + "' was answered");
    fuzz::ReadAvailable(client, replies);
    const size_t newline = replies.find('\n');
    FUZZ_CHECK(newline != std::string::npos, "reply without header: " + replies);
    int length = -1, used = 0;
    FUZZ_CHECK(sscanf(replies.c_str(), "0 %d%n", &length, &used) == 1 && (size_t)used == newline &&
                   length >= 0 && replies.size() == newline + 1 + (size_t)length,
               "reply '" + replies + "'");
    CheckBody(code, replies.substr(newline + 1));
    replies.clear();
  }
  close(client);
  return 0;
}
