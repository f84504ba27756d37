// MessageCenter_fuzz.cpp - fuzz target for the message-center path: random
// byte streams over in-process connections (LoopbackSupport.h) into
// MCRequestHandler and MCClientCloseHandler, with a real registry (pool list
// and peer list).
//
// The input is cut at 0xFF bytes into chunks; the first byte of a chunk
// picks one of three connections (opened when needed), the rest is written
// to it and the router serves every complete request waiting there. At the
// end every connection is half-closed, so the router reads to the end of
// the stream and runs the close handler. Properties:
//  - no crash, no sanitizer report, no hang (a partial request at the end
//    of the stream fails at once);
//  - a request that succeeds gets exactly one reply, "0 <n>\n" and n bytes
//    or "2 0\n"; a request that fails gets none and ends the connection;
//  - after every request the registry is consistent (RegistrySupport.h):
//    each server in exactly one pool, counts that agree, monitor lines that
//    parse, peer lines of four fields, and no pool without servers and peers;
//  - once every connection has ended, no application server is left.
// Peers named by the input are never reached (NoNetwork.cpp), and request
// 99 raises SIGTERM into a handler that only counts it. With FUZZ_TRACE set
// in the environment, the status of every request goes to standard error.
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "KTMCRequestHandler.h"
#include "KTMonitorRequestHandler.h"
#include "LoopbackSupport.h"
#include "RegistrySupport.h"

namespace {

const bool kTrace = getenv("FUZZ_TRACE") != nullptr;
const char* const kMyIP = "127.0.0.1";
const unsigned short kMyPort = 7777;
const int kMaxCacheItems = 8;
const int kConnections = 3;

volatile sig_atomic_t gShutdowns = 0;
void CountShutdown(int) { gShutdowns = gShutdowns + 1; }

// Request 99 raises SIGTERM in the process; here it is only counted.
void CountShutdowns() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = CountShutdown;
  sigaction(SIGTERM, &action, nullptr);
}

// One client connection and the router's side of it.
struct Connection {
  int client = -1;
  KTSocket* server = nullptr;
  std::string replies;  // received from the router, not yet checked

  bool open() const { return server != nullptr; }
};

class Session {
 public:
  explicit Session(fuzz::Registry& registry) : mRegistry(registry) {}
  ~Session() {
    for (Connection& c : mConnections)
      if (c.open()) end(c);
  }

  void write(int index, const std::string& bytes) {
    Connection& c = mConnections[index];
    if (!c.open()) connect(c);
    FUZZ_CHECK(testsockets::SendAll(c.client, bytes), "writing to the router failed");
    serve(c, false);
  }

  // Half-closes every connection and lets the router read to its end.
  void finish() {
    for (Connection& c : mConnections) {
      if (!c.open()) continue;
      shutdown(c.client, SHUT_WR);
      serve(c, true);
    }
  }

 private:
  void connect(Connection& c) { c.client = fuzz::ConnectPair(&c.server, 500); }

  // True when a whole request waits on the connection (its header line and
  // the data it announces), so the handler will not wait for more.
  bool requestWaiting(const Connection& c) {
    std::string header;
    size_t after = 0;
    const fuzz::Waiting waiting = fuzz::LineWaiting(c.server, MC_MAX_HEADER_LINE, &header, &after);
    if (waiting != fuzz::Waiting::Line) return waiting == fuzz::Waiting::TooLong;
    int code = 0, length = 0;
    if (sscanf(header.c_str(), "%d %d", &code, &length) != 2 || length <= 0 ||
        length > MC_MAX_DATA_LENGTH)
      return true;
    return after >= (size_t)length;
  }

  void serve(Connection& c, bool toTheEnd) {
    while (c.open() && (toTheEnd || requestWaiting(c))) {
      const KTStatus status = MCRequestHandler(c.server, mRegistry.pools(), mRegistry.mcs(),
                                               kMyIP, kMyPort, kMaxCacheItems, CLog::log);
      if (kTrace)
        fprintf(stderr, "connection %d: request status %d\n", (int)(&c - mConnections), status);
      checkReplies(c, status == 0 ? 1 : 0);
      // A refused code 2 ("2 0") leaves the pool it created listed, empty.
      fuzz::CheckRegistry(mRegistry, true);
      checkPeers();
      if (status != 0) end(c);
    }
  }

  // Runs the close handler and closes both sides; nothing more may arrive
  // before the end of the stream.
  void end(Connection& c) {
    MCClientCloseHandler(c.server, mRegistry.pools(), mRegistry.mcs(), CLog::log);
    fuzz::CheckRegistry(mRegistry, true);
    KTSocketFree(&c.server, CLog::log);
    fuzz::ReadToEnd(c.client, c.replies);
    FUZZ_CHECK(c.replies.empty(), "reply after a failed request: " + c.replies);
    close(c.client);
    c = Connection();
  }

  // Reads what the router sent and checks it holds exactly `expected` replies.
  void checkReplies(Connection& c, int expected) {
    fuzz::ReadAvailable(c.client, c.replies);
    if (kTrace) fprintf(stderr, "  replies: '%s'\n", c.replies.c_str());
    int replies = 0;
    while (!c.replies.empty()) {
      const size_t newline = c.replies.find('\n');
      FUZZ_CHECK(newline != std::string::npos, "reply without header line: " + c.replies);
      const std::string header = c.replies.substr(0, newline);
      int code = -1, length = -1, used = 0;
      FUZZ_CHECK(sscanf(header.c_str(), "%d %d%n", &code, &length, &used) == 2 &&
                     (size_t)used == header.size() && length >= 0,
                 "reply header '" + header + "'");
      FUZZ_CHECK(code == 0 || (code == 2 && length == 0), "reply header '" + header + "'");
      FUZZ_CHECK(c.replies.size() >= newline + 1 + (size_t)length, "short reply body");
      c.replies.erase(0, newline + 1 + (size_t)length);
      ++replies;
    }
    FUZZ_CHECK(replies == expected, std::to_string(replies) + " replies to a request that " +
                                        (expected ? "succeeded" : "failed"));
  }

  void checkPeers() {
    KTBuffer* pBuffer = nullptr;
    FUZZ_CHECK(KTBufferStrNew(&pBuffer, "") == 0, "buffer");
    FUZZ_CHECK(MonitorHandleMCServerRequest(mRegistry.mcs(), pBuffer, CLog::log) == 0,
               "peer lines");
    unsigned status = 0;
    const std::string body = KTBufferGet(pBuffer, &status);
    KTBufferFree(&pBuffer);
    for (const std::string_view line : fuzz::SplitLines(body, "peer")) {
      const fuzz::Fields f = fuzz::SplitFields(line);
      FUZZ_CHECK(f.size() == 4 && f[0] == "M" && f[1].rfind(':') != std::string_view::npos,
                 "peer line: " + std::string(line));
    }
  }

  fuzz::Registry& mRegistry;
  Connection mConnections[kConnections];
};

long CountServers(void* element, va_list args) {
  int* pTotal = va_arg(args, int*);
  const std::string line = fuzz::PoolText(ASPoolMonitorPool, static_cast<ASPool*>(element));
  const fuzz::Fields f = fuzz::SplitFields(line);
  *pTotal += f.size() > 3 ? fuzz::FieldNumber(f[3]) : 0;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  // Peers are never reached, so their records need no send threads.
  static bool counting = (CountShutdowns(), KTMCServerSetSendThreads(0), true);
  (void)counting;

  fuzz::Registry registry;
  {
    Session session(registry);
    size_t start = 0;
    while (start < size) {
      const uint8_t* stop = (const uint8_t*)memchr(data + start, 0xFF, size - start);
      const size_t end = stop ? (size_t)(stop - data) : size;
      if (end > start)
        session.write(data[start] % kConnections,
                      std::string((const char*)data + start + 1, end - start - 1));
      start = end + 1;
    }
    session.finish();
  }

  int servers = 0;
  ASPoolListForEach(registry.pools(), CountServers, CLog::log, &servers);
  FUZZ_CHECK(servers == 0, std::to_string(servers) + " servers left after every connection ended");
  return 0;
}
