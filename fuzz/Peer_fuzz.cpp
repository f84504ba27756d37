// Peer_fuzz.cpp - fuzz target for what a peer router sends back to us: the
// reply to the start-up question (code 20) and the replies to the pool
// announcements (codes 21 and 22) and to the cache data (code 5).
//
// The input is cut at 0xFF bytes into chunks. The first chunk is the peer's
// reply to code 20, read by AddToMCServerList as at the router's start. Each
// later chunk is one step: its first byte picks what the router does (a
// pool gets its first server, a pool loses its last one, or the peer's
// pending cache data goes out), the rest is the reply to every message that
// step sends. The peer record has no send thread (KTMCServerSetSendThreads):
// each step runs the thread's work itself (the queued announcements, the
// cache stand-up), so every message of a step leaves within the step. The
// peer is a stand-in (NoNetwork.h): each connect the router
// makes receives one end of a socket pair holding the reply, half-closed
// after it, so every read ends. Properties:
//  - no crash, no sanitizer report, no leak, no hang;
//  - the router sends well-formed messages: "20 0 <own address>\n", and
//    "<21|22|5> <n> <own address> <pool> 1\n" followed by n bytes;
//  - the start-up reply is accepted exactly when its header line (at most
//    31 bytes with its "\n") holds two numbers, the length is -1 or from 0 to
//    16 MB and the data is all there; then the peer is up and the pools are
//    exactly the names of the data (each ending in "\r\n") without white
//    space. A reply without a header line leaves the peer listed but down;
//    a bad header or short data is refused with the router's log line and
//    leaves no trace of the peer;
//  - any other reply is good exactly when its line is "0 0\n": the peer is
//    up afterwards, else down with the "responded" log line;
//  - after every step the registry is consistent (RegistrySupport.h).
#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "KTASServer.h"
#include "KTFile.h"
#include "KTMCServer.h"
#include "KTMCServerList.h"
#include "Log.h"
#include "NoNetwork.h"
#include "RegistrySupport.h"
#include "RequestRouter.h"
#include "TestSockets.h"
#include "VXASPool.h"
#include "VXASPoolList.h"
#include "WIException.h"
#include "internal/KTMCServerInternal.h"

namespace {

const char* const kPeerIP = "127.0.0.2";
const unsigned short kPeerPort = 7001;
const char* const kOwnAddress = "127.0.0.1:7777";
const size_t kReplyLineMax = KTMCSERVER_REPLY_LINE_MAX;  // "\n" included

// The process log, written into memory so the lines of each step can be
// checked; emptied for every input.
class LogCapture {
 public:
  LogCapture() {
    mFile.fd = memfd_create("router-log", MFD_CLOEXEC);
    FUZZ_CHECK(mFile.fd >= 0, "memfd_create");
    CLog::log.setFileHandle(&mFile);
  }
  void reset() {
    FUZZ_CHECK(ftruncate(mFile.fd, 0) == 0 && lseek(mFile.fd, 0, SEEK_SET) == 0, "log reset");
  }
  // What was logged from offset `from` on.
  std::string text(off_t from = 0) const {
    std::string all;
    char chunk[4096];
    off_t at = from;
    for (;;) {
      const ssize_t n = pread(mFile.fd, chunk, sizeof chunk, at);
      if (n <= 0) break;
      all.append(chunk, (size_t)n);
      at += n;
    }
    return all;
  }
  off_t size() const { return lseek(mFile.fd, 0, SEEK_CUR); }
  bool has(const std::string& line, off_t from = 0) const {
    return text(from).find(line) != std::string::npos;
  }

 private:
  KTFile mFile{-1};
};

// The peer's side of one step: every connect gets a fresh connection with
// the same reply; what the router sent on them is read back afterwards.
struct PeerSide {
  std::string reply;
  std::vector<int> ends;  // the peer's ends, open until the step is checked

  ~PeerSide() {
    for (int fd : ends) close(fd);
  }

  // The router's requests, one per connection.
  std::vector<std::string> requests() const {
    std::vector<std::string> all;
    for (int fd : ends) all.push_back(testsockets::ReceiveUpTo(fd, SIZE_MAX, 0));
    return all;
  }
};

int ProvideReply(void* context) {
  PeerSide* peer = static_cast<PeerSide*>(context);
  int fds[2] = {-1, -1};
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
  FUZZ_CHECK(testsockets::SendAll(fds[1], peer->reply), "writing the reply");
  shutdown(fds[1], SHUT_WR);
  peer->ends.push_back(fds[1]);
  return fds[0];
}

// One integer as the router's header scanner reads it ("%d" without
// wrapping); false when there is none.
bool ScanInt(const char** pText, long* pValue) {
  char* end = nullptr;
  errno = 0;
  const long value = strtol(*pText, &end, 10);
  if (end == *pText || errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
  *pValue = value;
  *pText = end;
  return true;
}

// The header line the router can read from a reply: up to and with the
// first "\n" within kReplyLineMax bytes; false when there is none.
bool HeaderLine(const std::string& reply, std::string* pLine) {
  const size_t newline = reply.find('\n');
  if (newline == std::string::npos || newline + 1 > kReplyLineMax) return false;
  *pLine = reply.substr(0, newline + 1);
  return true;
}

std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::vector<std::string> PoolNamesOf(const std::string& data) {
  const std::string text(data.c_str());  // the router reads the names as a C string
  std::vector<std::string> names;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    const std::string name = text.substr(start, end - start);
    // Names with white space are left out (no request could carry them).
    if (!name.empty() && name.find_first_of(" \t\n\v\f\r") == std::string::npos)
      names.push_back(name);
    start = end + 2;
  }
  return names;
}

std::set<std::string> PoolsWithPeer(const fuzz::Registry& registry) {
  struct Collect {
    static long one(void* element, va_list args) {
      std::set<std::string>* pNames = va_arg(args, std::set<std::string>*);
      ASPool* pPool = static_cast<ASPool*>(element);
      int peers = 0;
      FUZZ_CHECK(ASPoolGetPeerCount(pPool, &peers, CLog::log) == 0, "peer count");
      if (peers > 0) pNames->insert(ASPoolName(pPool));
      return 0;
    }
  };
  std::set<std::string> names;
  ASPoolListForEach(registry.pools(), Collect::one, CLog::log, &names);
  return names;
}

KTMCServer* ThePeer(const fuzz::Registry& registry) {
  KTMCServer* pMC = nullptr;
  FUZZ_CHECK(KTMCServerListGetMatching(registry.mcs(), kPeerIP, kPeerPort, &pMC, CLog::log) == 0,
             "peer lookup");
  return pMC;
}

KTMCStatus StateOf(KTMCServer* pMC) {
  KTMCStatus state = KTMCSTATUS_STARTED;
  FUZZ_CHECK(KTMCServerGetStatus(pMC, &state, CLog::log) == 0, "peer state");
  return state;
}

// The start-up exchange and what it must leave behind.
KTMCServer* StartUp(fuzz::Registry& registry, const LogCapture& log, const std::string& reply) {
  PeerSide peer;
  peer.reply = reply;
  bool added = false;
  std::string refusal;
  {
    fuzz::StandIn standIn(ProvideReply, &peer);
    try {
      AddToMCServerList(IPEndpoint(kPeerIP, kPeerPort), registry.mcs(), registry.pools(),
                        IPEndpoint("127.0.0.1", 7777), 8);
      added = true;
    } catch (const CWIException& e) {
      refusal = e.what();
    }
  }
  const std::vector<std::string> requests = peer.requests();
  FUZZ_CHECK(requests.size() == 1, std::to_string(requests.size()) + " connections for code 20");
  FUZZ_CHECK(requests[0] == std::string("20 0 ") + kOwnAddress + "\n",
             "start-up question '" + requests[0] + "'");
  fuzz::CheckRegistry(registry, true);

  // What the reply says, read on the side.
  std::string header;
  const bool hasHeader = HeaderLine(reply, &header);
  const char* text = header.c_str();
  long code = 0, length = 0;
  const bool twoNumbers = hasHeader && ScanInt(&text, &code) && ScanInt(&text, &length);
  if (length == -1) length = 0;
  const bool lengthOk = twoNumbers && length >= 0 && length <= KTMCSERVER_MAX_POOLNAMES_LENGTH;
  const bool dataOk = lengthOk && reply.size() - header.size() >= (size_t)length;
  const std::string data = dataOk ? reply.substr(header.size(), (size_t)length) : std::string();

  if (!added) {
    FUZZ_CHECK(ThePeer(registry) == nullptr, "refused peer listed");
    FUZZ_CHECK(PoolsWithPeer(registry).empty(), "a pool keeps the refused peer");
    if (hasHeader && !twoNumbers) {
      FUZZ_CHECK(log.has("KTMCServerSendInitial(): failed to read request code and data size from "
                         "the following request \"" + WithoutLineEnd(std::string(header.c_str())) + "\""),
                 "no log line for the bad header '" + header + "': " + log.text());
    } else if (twoNumbers && !lengthOk) {
      FUZZ_CHECK(log.has("KTMCServerSendInitial(): [127.0.0.2]:7001 announced an invalid data size"),
                 "no log line for the length of '" + header + "': " + log.text());
    } else if (lengthOk && !dataOk) {
      FUZZ_CHECK(log.has("KTMCServerSendInitial(): could not read the " + std::to_string(length) +
                         " bytes of pool names from [127.0.0.2]:7001"),
                 "no log line for short pool names: " + log.text());
    } else {
      // A good reply can still name a pool the router cannot create.
      FUZZ_CHECK(dataOk && refusal.rfind("AddToMCServerList(): error", 0) == 0,
                 "reply '" + reply + "' refused: " + refusal);
    }
    return nullptr;
  }

  KTMCServer* pMC = ThePeer(registry);
  FUZZ_CHECK(pMC != nullptr, "accepted peer not listed");
  if (!hasHeader) {
    FUZZ_CHECK(StateOf(pMC) == KTMCSTATUS_SHUTDOWN, "peer without reply line is not down");
    FUZZ_CHECK(PoolsWithPeer(registry).empty(), "peer without reply line joined pools");
    FUZZ_CHECK(log.has("broadcast MC_REQUEST_INITIALPOOL to MC [127.0.0.2]:7001 failed"),
               "no log line for the missing reply: " + log.text());
  } else {
    FUZZ_CHECK(dataOk, "reply '" + reply + "' accepted");
    FUZZ_CHECK(StateOf(pMC) == KTMCSTATUS_CONNECTED, "peer that replied is not up");
    const std::vector<std::string> names = PoolNamesOf(data);
    FUZZ_CHECK(PoolsWithPeer(registry) == std::set<std::string>(names.begin(), names.end()),
               "pools of the peer differ from the reply '" + data + "'");
  }
  return pMC;
}

// The application servers the steps registered, by pool.
struct Server {
  ASPool* pool;
  KTASServer* server;
};

ASPool* PoolNamed(fuzz::Registry& registry, const char* name) {
  ASPool* pPool = nullptr;
  FUZZ_CHECK(ASPoolListGetMatching(registry.pools(), name, &pPool, CLog::log) == 0, "pool lookup");
  if (pPool == nullptr) {
    FUZZ_CHECK(ASPoolNew(&pPool, name, 8, CLog::log) == 0, "ASPoolNew");
    FUZZ_CHECK(ASPoolListAdd(registry.pools(), pPool, CLog::log) == 0, "ASPoolListAdd");
  }
  return pPool;
}

// One step: what the router does and the messages it must have sent.
void Step(fuzz::Registry& registry, const LogCapture& log, KTMCServer* pMC,
          std::vector<Server>& servers, unsigned char what, const std::string& reply) {
  static const char* const kPools[] = {"Pool1", "Shop"};
  static unsigned short nextPort = 8000;
  PeerSide peer;
  peer.reply = reply;
  const KTMCStatus before = StateOf(pMC);
  const off_t logBefore = log.size();
  char expectedCode = 0;  // first character of every message of this step
  {
    fuzz::StandIn standIn(ProvideReply, &peer);
    switch (what % 3) {
      case 0: {  // a server registers; the first of its pool announces the pool
        ASPool* pPool = PoolNamed(registry, kPools[(what / 3) % 2]);
        KTASServer* pAS = nullptr;
        FUZZ_CHECK(KTASServerNew(&pAS, ASPoolName(pPool), "10.0.0.1", nextPort++, 0, 4711,
                                 CLog::log) == 0,
                   "server");
        FUZZ_CHECK(ASPoolAddServer(pPool, pAS, registry.mcs(), CLog::log) == 0, "ASPoolAddServer");
        FUZZ_CHECK(KTMCServerSendAnnouncements(pMC, CLog::log) == 0, "announcements");
        servers.push_back(Server{pPool, pAS});
        expectedCode = '2';
        break;
      }
      case 1: {  // a server leaves; the last of its pool releases the pool
        if (servers.empty()) return;
        const Server s = servers[(what / 3) % servers.size()];
        servers.erase(servers.begin() + ((what / 3) % servers.size()));
        FUZZ_CHECK(ASPoolRemoveServer(s.pool, s.server, registry.mcs(), CLog::log) == 0,
                   "ASPoolRemoveServer");
        FUZZ_CHECK(KTMCServerSendAnnouncements(pMC, CLog::log) == 0, "announcements");
        KTASServer* pAS = s.server;
        KTASServerFree(&pAS, CLog::log);
        expectedCode = '2';
        break;
      }
      default:  // the send thread's cycle: the pending data of every shared pool
        FUZZ_CHECK(KTMCServerCacheStandup(pMC, CLog::log) == 0, "cache stand-up");
        expectedCode = '5';
        break;
    }
  }
  // Nothing is queued for the peer, so every message is its header line
  // alone. Pool names come from the peer's start-up reply and may hold any
  // byte but a NUL, so the line is checked at both ends only.
  for (const std::string& request : peer.requests()) {
    const char* text = request.c_str();
    long code = 0, length = -1;
    FUZZ_CHECK(request[0] == expectedCode && ScanInt(&text, &code) && ScanInt(&text, &length) &&
                   (code == 5 || code == 21 || code == 22) && length == 0,
               "message '" + request + "'");
    const std::string prefix = std::to_string(code) + " 0 " + kOwnAddress + " ";
    FUZZ_CHECK(request.size() > prefix.size() + 3 && request.compare(0, prefix.size(), prefix) == 0 &&
                   request.compare(request.size() - 3, 3, " 1\n") == 0,
               "message '" + request + "'");
  }
  fuzz::CheckRegistry(registry, true);
  if (peer.ends.empty()) {
    FUZZ_CHECK(StateOf(pMC) == before, "peer state changed without a message");
    return;
  }
  std::string line;
  const bool good = HeaderLine(reply, &line) && line == "0 0\n";
  FUZZ_CHECK(StateOf(pMC) == (good ? KTMCSTATUS_CONNECTED : KTMCSTATUS_SHUTDOWN),
             "peer state after the reply '" + reply + "'");
  if (!good) {
    // The router shows what it read: the line, or as much as it took
    // without finding one, as a C string.
    const std::string read = HeaderLine(reply, &line) ? line : reply.substr(0, kReplyLineMax);
    const std::string shown = WithoutLineEnd(std::string(read.c_str()));
    FUZZ_CHECK(log.has(":7001 responded \"" + shown + "\"", logBefore),
               "no log line for the reply '" + reply + "': " + log.text(logBefore));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static LogCapture* log = [] {
    // Only the steps send: the peer record gets no send thread.
    KTMCServerSetSendThreads(0);
    return new LogCapture();  // lives for the whole run
  }();
  log->reset();

  std::vector<std::string> chunks;
  size_t start = 0;
  for (;;) {
    const uint8_t* stop = (const uint8_t*)memchr(data + start, 0xFF, size - start);
    const size_t end = stop ? (size_t)(stop - data) : size;
    chunks.emplace_back((const char*)data + start, end - start);
    if (stop == nullptr) break;
    start = end + 1;
  }

  fuzz::Registry registry;
  KTMCServer* pMC = StartUp(registry, *log, chunks[0]);
  if (pMC == nullptr) return 0;
  std::vector<Server> servers;
  for (size_t i = 1; i < chunks.size(); ++i) {
    if (chunks[i].empty()) continue;
    Step(registry, *log, pMC, servers, (unsigned char)chunks[i][0], chunks[i].substr(1));
  }
  return 0;
}
