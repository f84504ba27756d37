// ProtocolTestSupport.h - a router's lists and its three listeners running in
// their threads on loopback ports, clients that speak the message-center,
// monitor and get-server protocols byte for byte, the process log captured
// in a file, and locked looks into the registry.
#ifndef PROTOCOLTESTSUPPORT_H
#define PROTOCOLTESTSUPPORT_H

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>

#include <memory>
#include <string>

#include "KTASServer.h"
#include "KTMCRequestHandler.h"
#include "KTMCServerList.h"
#include "KTMonitorRequestHandler.h"
#include "Log.h"
#include "RRRequestHandler.h"
#include "SocketTestSupport.h"
#include "TCPServer.h"
#include "UDPServer.h"
#include "VXASPool.h"
#include "VXASPoolList.h"

namespace prototest {

using namespace sockettest;

// The process log, redirected once into a temporary file for the whole test
// program; the folder goes at exit, and lines written after that are lost.
inline const std::string& ProcessLogFile() {
  static TempDir dir;
  static const std::string file = [] {
    std::string name = dir.path() + "/process.log";
    CLog::log.setFileName(name);
    return name;
  }();
  return file;
}

// Marks the process log's current end; text() is what was written since.
class LogSince {
 public:
  LogSince() : start_(ReadFile(ProcessLogFile()).size()) {}
  std::string text() const {
    std::string all = ReadFile(ProcessLogFile());
    return all.size() > start_ ? all.substr(start_) : std::string();
  }
  bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }
  int count(const std::string& part) const {
    std::string all = text();
    int n = 0;
    for (size_t at = all.find(part); at != std::string::npos; at = all.find(part, at + 1)) ++n;
    return n;
  }
  // Waits up to timeoutMs for `part` to appear.
  bool waitFor(const std::string& part, int timeoutMs = 2000) const {
    return WaitFor([&] { return contains(part); }, timeoutMs);
  }

 private:
  size_t start_;
};

// One router's registry and listeners: message center, monitor and
// get-server, each in its own thread, bound to 127.0.0.1 with ports chosen
// by the system. The message center introduces itself with its bound port.
class TestRouter {
 public:
  explicit TestRouter(int maxCacheItems = 16) {
    ProcessLogFile();
    EXPECT_EQ(0, KTMCServerListNew(&mcs_, CLog::log));
    EXPECT_EQ(0, ASPoolListNew(&pools_, CLog::log));
    const IPEndpoint loopback("127.0.0.1", 0, true);
    mc_ = std::make_unique<CMessageCenterServer>(loopback, pools_, mcs_, maxCacheItems,
                                                 "127.0.0.1", 0);
    monitor_ = std::make_unique<CMonitorServer>(loopback, pools_, mcs_);
    getServer_ = std::make_unique<CRequestRouterServer>(loopback, 100);
    getServer_->mpPoolList = pools_;
    mcThread_ = std::make_unique<CTCPServerThread>(mc_.get());
    monitorThread_ = std::make_unique<CTCPServerThread>(monitor_.get());
    getServerThread_ = std::make_unique<CUDPServerThread>(getServer_.get());
    EXPECT_TRUE(WaitFor(
        [&] {
          return mc_->boundPort() != 0 && monitor_->boundPort() != 0 &&
                 getServer_->boundPort() != 0;
        },
        3000));
  }
  ~TestRouter() {
    stopListeners();
    if (mcs_ != nullptr) KTMCServerListFree(&mcs_, CLog::log);
    if (pools_ != nullptr) ASPoolListFree(&pools_, CLog::log);
  }
  TestRouter(const TestRouter&) = delete;
  TestRouter& operator=(const TestRouter&) = delete;

  // Stops the three listener threads; a connection attempt wakes the TCP
  // loops at once instead of after their one-second wait.
  void stopListeners() {
    if (!mcThread_) return;
    mcThread_->stop();
    monitorThread_->stop();
    getServerThread_->stop();
    for (uint16_t port : {mc_->boundPort(), monitor_->boundPort()}) {
      int fd = ConnectLoopback(port);
      if (fd >= 0) close(fd);
    }
    mcThread_.reset();
    monitorThread_.reset();
    getServerThread_.reset();
  }

  uint16_t mcPort() const { return mc_->boundPort(); }
  uint16_t monitorPort() const { return monitor_->boundPort(); }
  uint16_t getServerPort() const { return getServer_->boundPort(); }
  ASPoolList* pools() const { return pools_; }
  KTMCServerList* mcs() const { return mcs_; }
  bool listenersFailed() const {
    return mcThread_->hasError() || monitorThread_->hasError() || getServerThread_->hasError();
  }

 private:
  KTMCServerList* mcs_ = nullptr;
  ASPoolList* pools_ = nullptr;
  std::unique_ptr<CMessageCenterServer> mc_;
  std::unique_ptr<CMonitorServer> monitor_;
  std::unique_ptr<CRequestRouterServer> getServer_;
  std::unique_ptr<CTCPServerThread> mcThread_;
  std::unique_ptr<CTCPServerThread> monitorThread_;
  std::unique_ptr<CUDPServerThread> getServerThread_;
};

// A TCP client for the message-center and monitor protocols, whose replies
// are "<code> <n>\n" followed by n bytes.
class Client {
 public:
  explicit Client(uint16_t port) : fd_(ConnectLoopback(port)) { EXPECT_GE(fd_, 0); }
  ~Client() { shut(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool send(const std::string& bytes) { return SendAll(fd_, bytes); }
  // One whole reply, header and body; "" when none came within timeoutMs.
  std::string reply(int timeoutMs = 3000) {
    std::string header;
    if (!ReceiveLine(fd_, timeoutMs, &header)) return header;
    int code = 0;
    int length = 0;
    if (sscanf(header.c_str(), "%d %d", &code, &length) != 2 || length <= 0) return header;
    return header + ReceiveUpTo(fd_, (size_t)length, timeoutMs);
  }
  // Sends the request and returns the reply.
  std::string ask(const std::string& request) {
    if (!send(request)) return "";
    return reply();
  }
  // True when the router closed the connection within timeoutMs.
  bool closedByRouter(int timeoutMs = 3000) { return PeerClosed(fd_, timeoutMs); }
  void shut() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Sends one datagram to the get-server port and returns the reply datagram
// ("" when none came within timeoutMs).
inline std::string AskGetServer(uint16_t port, const std::string& datagram,
                                int timeoutMs = 2000) {
  int fd = ConnectLoopback(port, SOCK_DGRAM);
  if (fd < 0) return "";
  const std::string reply = ExchangeDatagram(fd, "127.0.0.1", port, datagram, timeoutMs);
  close(fd);
  return reply;
}

// A get-server datagram (request code 1) for the pool, without limits
// unless given.
inline std::string GetServerRequest(const std::string& pool, int tries, int maxTries,
                                    const std::string& client = "10.0.0.7",
                                    const std::string& site = "S1",
                                    const std::string& extension = "html", int extMax = -1) {
  return "1 " + client + " " + std::to_string(tries) + " " + std::to_string(maxTries) +
         " shop1 /shop/index. " + extension + " " + pool + " Store1 " + site + " -1 -1 -1 " +
         std::to_string(extMax) + " /shop/index." + extension;
}

// Cache data of the given items, each followed by 0x01 0x01.
inline std::string Items(std::initializer_list<std::string> items) {
  std::string data;
  for (const std::string& item : items) data += item + "\x01\x01";
  return data;
}

// A message-center request with data: the header "<code> <length> <rest>\n", then the data.
inline std::string WithData(int code, const std::string& rest, const std::string& data) {
  return std::to_string(code) + " " + std::to_string(data.size()) + " " + rest + "\n" + data;
}

// A reply "0 <n>\n<body>".
inline std::string Ok(const std::string& body = "") {
  return "0 " + std::to_string(body.size()) + "\n" + body;
}

// State of the server host:port as the registry holds it; -1 when no pool holds it.
inline int ServerState(ASPoolList* pPools, const std::string& host, unsigned short port) {
  KTReaderGuard guard(ASPoolListMutex(pPools));
  ASPool* pPool = nullptr;
  KTASServer* pAS = nullptr;
  if (ASPoolListGetMatchingServer(pPools, host.c_str(), port, &pPool, &pAS, CLog::log) != 0 ||
      pAS == nullptr) {
    return -1;
  }
  KTASStatus state = KTASSTATUS_SHUTDOWN;
  KTASServerGetStatus(pAS, &state, CLog::log);
  return (int)state;
}

// Name of the pool that holds the server host:port; "" when none does.
inline std::string PoolOfServer(ASPoolList* pPools, const std::string& host,
                                unsigned short port) {
  KTReaderGuard guard(ASPoolListMutex(pPools));
  ASPool* pPool = nullptr;
  KTASServer* pAS = nullptr;
  ASPoolListGetMatchingServer(pPools, host.c_str(), port, &pPool, &pAS, CLog::log);
  return pPool != nullptr ? std::string(ASPoolName(pPool)) : std::string();
}

// True when the pool list holds a pool of that name.
inline bool HasPool(ASPoolList* pPools, const std::string& name) {
  KTReaderGuard guard(ASPoolListMutex(pPools));
  ASPool* pPool = nullptr;
  ASPoolListGetMatching(pPools, name.c_str(), &pPool, CLog::log);
  return pPool != nullptr;
}

// Number of peers sharing the pool; -1 when there is no such pool.
inline int PeersOfPool(ASPoolList* pPools, const std::string& name) {
  KTReaderGuard guard(ASPoolListMutex(pPools));
  ASPool* pPool = nullptr;
  ASPoolListGetMatching(pPools, name.c_str(), &pPool, CLog::log);
  int count = -1;
  if (pPool != nullptr) ASPoolGetPeerCount(pPool, &count, CLog::log);
  return count;
}

// Pins the process-wide test clock for the lifetime of the object.
class PinnedClock {
 public:
  explicit PinnedClock(time_t sec = 1700000000) { KTSetTestClock(sec, 0); }
  ~PinnedClock() { KTClearTestClock(); }
  PinnedClock(const PinnedClock&) = delete;
  PinnedClock& operator=(const PinnedClock&) = delete;
  void advance(long long ms) { KTAdvanceTestClock(ms); }
};

}  // namespace prototest

#endif  // PROTOCOLTESTSUPPORT_H
