// Fault injection against the running router program: connections cut in
// the middle of a message, a peer router killed and started again, the log
// folder taken away, thousands of connections at once, a monitor
// client that stalls halfway through its request, and a flood of broken
// datagrams. In every case the router must stay up, clean up after the
// fault and answer correctly at once afterwards.
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "RouterSystemSupport.h"

using namespace routertest;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

namespace {

const size_t kPoolServers = 3;
const size_t kPoolPeers = 4;
const size_t kPeerState = 2;

// One router with all three listeners, started in the foreground.
class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mInstall.ok());
    mRouter = MakeRouter("RR1");
    ASSERT_NE(0, mRouter.port);
    mInstall.writeConfig(ConfigXml({mRouter}));
    startRouter(mProcess, mRouter, "log");
  }
  void TearDown() override {
    mProcess.kill(SIGKILL);
    if (HasFailure()) std::cerr << "router log:\n" << mInstall.logText() << mProcess.err();
  }

  void startRouter(RouterProcess& process, const RouterDef& router, const std::string& log) {
    ASSERT_TRUE(process.start(KTREQROUTER_BIN, {"-iplist", router.host, "-console"},
                              mInstall.environment(log), mInstall.root(), log));
    ASSERT_TRUE(WaitUntilListening(router, 10000))
        << "stdout: " << process.out() << "\nstderr: " << process.err();
  }

  // The monitor's server lines (request 10) on a fresh connection.
  std::string servers() {
    MonitorClient monitor;
    if (!monitor.connectTo(mRouter.host, mRouter.monitorPort)) return "no monitor";
    return monitor.query(10);
  }
  bool listed(const std::string& address) { return Contains(servers(), " " + address + " "); }

  // A server announced in Pool1 that stays connected.
  void announce(FakeAppServer& as, const RouterDef& router) {
    ASSERT_TRUE(as.connectTo(router.host, router.mcPort));
    ASSERT_EQ(0, as.announce("Pool1"));
  }

  Installation mInstall;
  RouterDef mRouter;
  RouterProcess mProcess;
};

// A plain blocking TCP connection with a receive time-out, for requests the
// protocol clients cannot send: cut short, or never finished.
class RawConnection {
 public:
  RawConnection(const RouterDef& router, uint16_t port) : mFd(ConnectTo(router.host, port)) {
    if (mFd >= 0) SetReceiveTimeout(mFd, 3000);
  }
  ~RawConnection() { shut(); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool ok() const { return mFd >= 0; }
  bool send(const std::string& bytes) { return SendAll(mFd, bytes); }
  // The reply header line, "" when none came.
  std::string replyLine() {
    std::string line;
    return ReceiveLine(mFd, -1, &line) ? line : std::string();
  }
  // True when the router closed the connection within timeoutMs.
  bool closedByRouter(int timeoutMs) { return PeerClosed(mFd, timeoutMs); }
  void shut() {
    if (mFd >= 0) close(mFd);
    mFd = -1;
  }

 private:
  int mFd = -1;
};

TEST_F(FaultInjectionTest, ConnectionCutAtEveryByteOfARegistrationLeavesNothingBehind) {
  const std::string registration = "2 0 127.0.0.1:9701 Pool1 4711 3\n";
  for (size_t cut = 0; cut <= registration.size(); ++cut) {
    RawConnection connection(mRouter, mRouter.mcPort);
    ASSERT_TRUE(connection.ok());
    ASSERT_TRUE(connection.send(registration.substr(0, cut)));
    connection.shut();
    // Whether the registration was complete or not, its connection is gone,
    // and so is the server.
    ASSERT_TRUE(WaitUntil([&] { return !listed("127.0.0.1:9701"); }, 3000))
        << "cut after " << cut << " bytes: " << servers();
  }
  // The router goes on as before.
  FakeAppServer as("127.0.0.1:9701");
  announce(as, mRouter);
  FakeWebAdapter adapter(mRouter.host, mRouter.port);
  EXPECT_EQ("0 127.0.0.1 9701", adapter.getServer(FakeWebAdapter::Request()));
  EXPECT_FALSE(mProcess.exited());
}

TEST_F(FaultInjectionTest, ConnectionCutAtEveryByteOfAnIdleReportRemovesTheServer) {
  const std::string data = CacheItem("catalog/1") + CacheItem("catalog/2");
  const std::string report =
      "3 " + std::to_string(data.size()) + " 127.0.0.1:9702 0\n" + data;
  FakeAppServer witness("127.0.0.1:9703");  // sees the cache data that gets through
  announce(witness, mRouter);
  std::string received;
  for (size_t cut = 0; cut <= report.size(); ++cut) {
    RawConnection as(mRouter, mRouter.mcPort);
    ASSERT_TRUE(as.ok());
    ASSERT_TRUE(as.send("2 0 127.0.0.1:9702 Pool1\n"));
    ASSERT_EQ("0 0\n", as.replyLine());
    ASSERT_TRUE(as.send(report.substr(0, cut)));
    as.shut();
    ASSERT_TRUE(WaitUntil([&] { return !listed("127.0.0.1:9702"); }, 3000))
        << "cut after " << cut << " bytes: " << servers();
    std::string cache;
    ASSERT_EQ(0, witness.idle("", &cache)) << "cut after " << cut << " bytes";
    received += cache;
  }
  // Only the one complete report handed its data in; a cut one never did.
  EXPECT_EQ(data, received);
  EXPECT_TRUE(listed("127.0.0.1:9703"));
  EXPECT_FALSE(mProcess.exited());
}

TEST_F(FaultInjectionTest, RemovedLogFolderSendsLinesToStandardError) {
  std::error_code ignored;
  std::filesystem::remove_all(mInstall.root() + "/log", ignored);
  ASSERT_FALSE(std::filesystem::exists(mInstall.root() + "/log"));

  // A request for a pool nobody serves and a broken datagram both log.
  FakeWebAdapter adapter(mRouter.host, mRouter.port);
  FakeWebAdapter::Request request;
  request.pool = "NoSuchPool";
  request.maxTries = 1;
  EXPECT_EQ("4", adapter.getServer(request));
  EXPECT_EQ("3 1", adapter.exchange("7 not a request"));
  ASSERT_TRUE(WaitUntil([&] { return Contains(mProcess.err(), "Invalid request code: 7"); }, 3000))
      << mProcess.err();
  const std::string err = mProcess.err();
  EXPECT_THAT(err, HasSubstr("KTLogWrite(): error opening file " + mInstall.root() +
                             "/log/RequestRouter.log"));
  EXPECT_THAT(err, HasSubstr("no application servers for pool 'NoSuchPool'"));

  // Nothing else changed: servers register and are handed out.
  FakeAppServer as("127.0.0.1:9704");
  announce(as, mRouter);
  request.pool = "Pool1";
  EXPECT_EQ("0 127.0.0.1 9704", adapter.getServer(request));
  EXPECT_FALSE(mProcess.exited());
  EXPECT_FALSE(std::filesystem::exists(mInstall.root() + "/log/RequestRouter.log"));
}

// Raises this process's descriptor limit (the router inherits it) so that
// the router really receives descriptors beyond what select() can watch.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t wanted) {
    getrlimit(RLIMIT_NOFILE, &mOld);
    struct rlimit raised = mOld;
    if (raised.rlim_cur < wanted) raised.rlim_cur = std::min(wanted, raised.rlim_max);
    setrlimit(RLIMIT_NOFILE, &raised);
    getrlimit(RLIMIT_NOFILE, &raised);
    mCurrent = raised.rlim_cur;
  }
  ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &mOld); }
  rlim_t current() const { return mCurrent; }

 private:
  struct rlimit mOld;
  rlim_t mCurrent = 0;
};

// One application server of a crowd: a non-blocking connection that sends
// its registration once connected and then waits for the reply line.
struct CrowdMember {
  int fd = -1;
  std::string address;
  std::string reply;
  bool sent = false;
  bool done = false;
};

// Drives every member through connect, registration and reply with poll();
// the first failure ("" when every member got its reply in time).
std::string RegisterCrowd(std::vector<CrowdMember>& crowd, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t open = crowd.size();
  std::vector<struct pollfd> fds;
  std::vector<CrowdMember*> members;
  while (open > 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      return std::to_string(open) + " of " + std::to_string(crowd.size()) + " not registered in time";
    }
    fds.clear();
    members.clear();
    for (CrowdMember& m : crowd) {
      if (m.done) continue;
      fds.push_back({m.fd, (short)(m.sent ? POLLIN : POLLOUT), 0});
      members.push_back(&m);
    }
    if (poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) return std::string("poll: ") + strerror(errno);
    for (size_t i = 0; i < fds.size(); ++i) {
      CrowdMember& m = *members[i];
      if (fds[i].revents == 0) continue;
      if (!m.sent) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(m.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) return m.address + ": connect: " + strerror(error);
        const std::string request = "2 0 " + m.address + " Pool1 4711 0\n";
        if (send(m.fd, request.data(), request.size(), MSG_NOSIGNAL) != (ssize_t)request.size()) {
          return m.address + ": registration not sent";
        }
        m.sent = true;
        continue;
      }
      char buffer[64];
      const ssize_t n = recv(m.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return m.address + ": closed by the router after \"" + m.reply + "\"";
      m.reply.append(buffer, (size_t)n);
      if (m.reply.find('\n') == std::string::npos) continue;
      if (m.reply != "0 0\n") return m.address + ": reply \"" + m.reply + "\"";
      m.done = true;
      --open;
    }
  }
  return "";
}

TEST(FaultInjectionFlood, TwoThousandConnectionsAtOnceAreAllServed) {
  const int kConnections = 2000;
  const int kInherited = 900;
  DescriptorLimit limit(kConnections + kInherited + 200);
  ASSERT_GE(limit.current(), (rlim_t)(kConnections + kInherited + 100))
      << "cannot raise RLIMIT_NOFILE";

  Installation install;
  ASSERT_TRUE(install.ok());
  RouterDef router = MakeRouter("RR1");
  install.writeConfig(ConfigXml({router}));
  // The router starts with 900 descriptors open (inherited, never watched),
  // so most of the crowd gets descriptors beyond 1023, past what select()
  // could watch.
  std::vector<int> inherited;
  for (int i = 0; i < kInherited; ++i) {
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    inherited.push_back(fd);
  }
  RouterProcess process;
  const bool started = process.start(KTREQROUTER_BIN, {"-iplist", router.host, "-console"},
                                     install.environment(), install.root());
  for (int fd : inherited) close(fd);
  ASSERT_TRUE(started);
  ASSERT_TRUE(WaitUntilListening(router, 10000)) << process.err();
  FakeAppServer before("127.0.0.1:9710");
  ASSERT_TRUE(before.connectTo(router.host, router.mcPort));
  ASSERT_EQ(0, before.announce("Pool1"));
  MonitorClient monitor;
  ASSERT_TRUE(monitor.connectTo(router.host, router.monitorPort));
  ASSERT_THAT(monitor.query(10), HasSubstr("127.0.0.1:9710"));

  // All connections at once, each an application server of its own.
  struct sockaddr_in addr;
  ASSERT_TRUE(FillAddress(router.host, router.mcPort, &addr));
  std::vector<CrowdMember> crowd(kConnections);
  for (int i = 0; i < kConnections; ++i) {
    CrowdMember& m = crowd[i];
    m.address = "127.0.0.1:" + std::to_string(20000 + i);
    m.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(m.fd, 0) << "connection " << i;
    if (connect(m.fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
      ASSERT_EQ(EINPROGRESS, errno) << "connection " << i;
    }
  }
  struct CloseCrowd {
    std::vector<CrowdMember>& crowd;
    ~CloseCrowd() {
      for (CrowdMember& m : crowd) {
        if (m.fd >= 0) close(m.fd);
        m.fd = -1;
      }
    }
  } closeCrowd{crowd};
  // None is refused: every one is registered.
  EXPECT_EQ("", RegisterCrowd(crowd, 60000));
  EXPECT_THAT(install.logText(), Not(HasSubstr("descriptor limit of"))) << "a connection was refused";

  // The monitor lists them all, the earlier server too.
  std::set<std::string> listed;
  for (const std::string& line : MonitorLines(monitor.query(10))) {
    for (const std::string& field : Fields(line)) listed.insert(field);
  }
  EXPECT_EQ(1u, listed.count("127.0.0.1:9710"));
  int missing = 0;
  for (const CrowdMember& m : crowd) missing += listed.count(m.address) == 1 ? 0 : 1;
  EXPECT_EQ(0, missing) << "crowd servers the monitor does not list";

  // The known server, datagrams and a newcomer are served as before.
  FakeWebAdapter adapter(router.host, router.port);
  for (int round = 0; round < 3; ++round) {
    EXPECT_THAT(adapter.getServer(FakeWebAdapter::Request()), MatchesRegex("0 127\\.0\\.0\\.1 [0-9]+"))
        << round;
    ASSERT_EQ(0, before.working()) << "round " << round;
    ASSERT_EQ(0, before.idle()) << "round " << round;
  }
  FakeAppServer newcomer("127.0.0.1:9712");
  ASSERT_TRUE(newcomer.connectTo(router.host, router.mcPort));
  ASSERT_EQ(0, newcomer.announce("Pool1"));

  // The crowd leaves: its servers go, the others stay.
  for (CrowdMember& m : crowd) {
    close(m.fd);
    m.fd = -1;
  }
  // The router drops them in the order their ends arrive: wait for all. The
  // wait asks for the pool line, not for 2000 server lines every 20 ms, so
  // that it does not hold up the router it waits for (under ThreadSanitizer
  // the server lines took most of the router's time).
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::vector<std::string> pool = FindLine(monitor.query(13), {"P", "Pool1"});
        return pool.size() > 3 && pool[3] == "2";
      },
      30000));
  const std::string lines = monitor.query(10);
  EXPECT_THAT(lines, HasSubstr("127.0.0.1:9710"));
  EXPECT_THAT(lines, HasSubstr("127.0.0.1:9712"));
  EXPECT_EQ(2u, MonitorLines(lines).size()) << lines;
  EXPECT_FALSE(process.exited());
}

TEST_F(FaultInjectionTest, MonitorClientStallingMidLineDoesNotHoldUpGetServer) {
  FakeAppServer as("127.0.0.1:9720");
  announce(as, mRouter);
  RawConnection staller(mRouter, mRouter.monitorPort);
  ASSERT_TRUE(staller.ok());
  ASSERT_TRUE(staller.send("1"));  // half a request line, then nothing

  // Get-server answers and message-center replies go on without delay.
  FakeWebAdapter adapter(mRouter.host, mRouter.port, 500);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  int answered = 0;
  while (std::chrono::steady_clock::now() < until) {
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_EQ("0 127.0.0.1 9720", adapter.getServer(FakeWebAdapter::Request()));
    // A get-server thread held up by the monitor would wait out its 2 s time-out.
    ASSERT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1000));
    ASSERT_EQ(0, as.working());
    ASSERT_EQ(0, as.idle());
    ++answered;
  }
  EXPECT_GT(answered, 5);

  // The stalled request times out without a reply; the monitor serves again.
  EXPECT_TRUE(staller.closedByRouter(3000));
  MonitorClient monitor;
  ASSERT_TRUE(monitor.connectTo(mRouter.host, mRouter.monitorPort));
  EXPECT_THAT(monitor.query(10), HasSubstr("127.0.0.1:9720"));
}

TEST_F(FaultInjectionTest, FloodOfMalformedDatagramsIsAnsweredWithErrorsOrDropped) {
  FakeAppServer as("127.0.0.1:9730");
  announce(as, mRouter);

  // A fixed mix of broken datagrams: wrong codes, letters, control bytes,
  // NUL bytes, empty and oversized ones, and random bytes.
  std::vector<std::string> flood;
  std::mt19937 random(20240601);
  for (int i = 0; i < 1500; ++i) {
    std::string datagram;
    switch (i % 6) {
      case 0: datagram = std::to_string((int)random() % 1000 + 2) + " 10.0.0.1 0 3"; break;
      case 1: datagram = "x" + std::to_string(i); break;
      case 2: datagram = std::string("\0\x01\x02 1 2 3", 10); break;
      case 3: datagram = std::string(1024 + i % 50, '1'); break;
      case 4: datagram = std::string(1, (char)(random() % 255 + 1)); break;
      default:
        datagram.resize(1 + random() % 1100);
        for (char& c : datagram) c = (char)random();
        if (datagram[0] == '1' || datagram[0] == ' ' || datagram[0] == '+') datagram[0] = 'z';
        break;
    }
    flood.push_back(datagram);
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  struct sockaddr_in addr;
  ASSERT_TRUE(FillAddress(mRouter.host, mRouter.port, &addr));
  for (const std::string& datagram : flood) {
    sendto(fd, datagram.data(), datagram.size(), 0, (struct sockaddr*)&addr, sizeof addr);
  }

  // Every reply that comes back is an error answer; many may be dropped.
  SetReceiveTimeout(fd, 1000);
  int replies = 0;
  char buffer[2048];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
    EXPECT_THAT(std::string(buffer, (size_t)n), MatchesRegex("3 [0-9]+"));
    ++replies;
  }
  close(fd);
  EXPECT_GT(replies, 0);

  // Correct answers resume at once.
  FakeWebAdapter adapter(mRouter.host, mRouter.port, 500);
  EXPECT_EQ("0 127.0.0.1 9730", adapter.getServer(FakeWebAdapter::Request()));
  EXPECT_EQ(0, as.working());
  EXPECT_FALSE(mProcess.exited());
}

// Two routers, A on 127.0.0.1 and B on 127.0.0.2, sharing the pool Pool1.
TEST(FaultInjectionPeers, KilledPeerIsMarkedDownAndRejoinsItsPoolsAfterARestart) {
  Installation install;
  ASSERT_TRUE(install.ok());
  RouterDef a = MakeRouter("RouterA", "127.0.0.1");
  RouterDef b = MakeRouter("RouterB", "127.0.0.2");
  ASSERT_NE(0, b.port) << "127.0.0.2 is not usable on this host";
  install.writeConfig(ConfigXml({a, b}));
  auto start = [&](RouterProcess& process, const RouterDef& router, const std::string& name) {
    ASSERT_TRUE(process.start(KTREQROUTER_BIN, {"-iplist", router.host, "-console"},
                              install.environment("log" + name), install.root(), name));
    ASSERT_TRUE(WaitUntilListening(router, 10000)) << name << ": " << process.err();
  };
  auto peerState = [](const RouterDef& on, const RouterDef& peer) {
    MonitorClient monitor;
    if (!monitor.connectTo(on.host, on.monitorPort)) return std::string("no monitor");
    std::vector<std::string> line =
        FindLine(monitor.query(12), {"M", peer.host + ":" + std::to_string(peer.mcPort)});
    return line.size() > kPeerState ? line[kPeerState] : std::string("absent");
  };
  auto poolLine = [](const RouterDef& on) {
    MonitorClient monitor;
    if (!monitor.connectTo(on.host, on.monitorPort)) return std::vector<std::string>();
    return FindLine(monitor.query(13), {"P", "Pool1"});
  };

  RouterProcess processA, processB;
  start(processA, a, "A");
  start(processB, b, "B");
  FakeAppServer onA("127.0.0.1:9740"), onB("127.0.0.2:9741");
  ASSERT_TRUE(onA.connectTo(a.host, a.mcPort));
  ASSERT_EQ(0, onA.announce("Pool1"));
  ASSERT_TRUE(onB.connectTo(b.host, b.mcPort));
  ASSERT_EQ(0, onB.announce("Pool1"));
  ASSERT_TRUE(WaitUntil([&] { return peerState(a, b) == "up"; }, 3000)) << peerState(a, b);
  // B's announcement of Pool1 follows its reply to the server, from its send thread.
  ASSERT_TRUE(WaitUntil([&] {
    std::vector<std::string> shared = poolLine(a);
    return shared.size() > kPoolPeers && shared[kPoolPeers] == "1";
  }, 3000));

  // B dies without a word: A notices with its next send and marks B down.
  processB.kill(SIGKILL);
  onB.disconnect();
  ASSERT_TRUE(WaitUntil([&] { return peerState(a, b) == "down"; }, 7000)) << peerState(a, b);
  // A goes on with its own server, and keeps B as a peer of the pool.
  FakeWebAdapter adapterA(a.host, a.port);
  EXPECT_EQ("0 127.0.0.1 9740", adapterA.getServer(FakeWebAdapter::Request()));
  std::vector<std::string> line = poolLine(a);
  ASSERT_GT(line.size(), kPoolPeers);
  EXPECT_EQ("1", line[kPoolPeers]);

  // B comes back: it asks A for its pools and joins Pool1 with A as a peer;
  // A marks B up again.
  RouterProcess again;
  start(again, b, "B2");
  line = poolLine(b);
  ASSERT_GT(line.size(), kPoolPeers) << "B did not rejoin Pool1";
  EXPECT_EQ("0", line[kPoolServers]);
  EXPECT_EQ("1", line[kPoolPeers]);
  EXPECT_EQ("up", peerState(b, a));
  EXPECT_TRUE(WaitUntil([&] { return peerState(a, b) == "up"; }, 7000)) << peerState(a, b);

  // Cache data crosses again: an item handed in on A reaches a new server on B.
  FakeAppServer onB2("127.0.0.2:9742");
  ASSERT_TRUE(onB2.connectTo(b.host, b.mcPort));
  ASSERT_EQ(0, onB2.announce("Pool1"));
  ASSERT_EQ(0, onA.working());
  ASSERT_EQ(0, onA.idle(CacheItem("after/restart")));
  std::string received;
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::string part;
        if (onB2.idle("", &part) != 0) return true;
        received += part;
        return !received.empty();
      },
      7000));
  EXPECT_EQ(CacheItem("after/restart"), received);
  EXPECT_FALSE(processA.exited());
  EXPECT_FALSE(again.exited());
}

}  // namespace
