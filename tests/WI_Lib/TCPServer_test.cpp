// Tests of the single-threaded TCP server framework with a line-echo server
// on a loopback port: kept-open connections served by one thread, closing of
// failed and vanished connections, stopping, binding rules and the log lines.
#include "TCPServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "KTUtils.h"
#include "Log.h"
#include "SocketTestSupport.h"
#include "WIException.h"

using namespace sockettest;
using testsupport::ErrorOf;

namespace {

// Echoes each line; a few lines are commands that test the framework.
class LineServer : public CTCPServer {
 public:
  using CTCPServer::bind;
  using CTCPServer::CTCPServer;

  KTStatus handleRequest(KTSocket* pSocket) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      threads_.insert(std::this_thread::get_id());
    }
    ++requests_;
    char line[256];
    size_t size = sizeof line;
    KTStatus status = KTSocketReceiveLine(pSocket, line, &size, CLog::log);
    if (status != STATUS_OK) return status;
    std::string text(line);
    std::string reply = text;
    if (text == "SIZE\n") reply = std::to_string(CSocketSet::size()) + "\n";  // sockets held
    if (text == "TIMEOUT\n") reply = std::to_string(pSocket->timeout) + "\n";
    if (text == "FAIL\n") return ERROR_UNKNOWN;
    if (text == "THROW\n") throw CWIException(ERROR_NO_SUCH_ELEMENT, "LineServer: thrown on request");
    if (text == "SLOW\n") KTAdvanceTestClock(1500);
    size_t length = reply.size();
    return KTSocketSend(pSocket, reply.data(), &length, CLog::log);
  }
  KTStatus handleClientClose(KTSocket*) override {
    ++closes_;
    return STATUS_OK;
  }

  std::set<std::thread::id> threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }
  std::atomic<int> requests_{0};
  std::atomic<int> closes_{0};

 private:
  std::mutex mutex_;
  std::set<std::thread::id> threads_;
};

class TCPServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int fd : clients_) close(fd);
    clients_.clear();
    thread_.reset();  // stops and waits for the server thread
    server_.reset();
    KTClearTestClock();
  }
  // Process log lines written since the test began.
  std::string NewLog() const { return log_.text(); }

  void Start(const IPEndpoint& endpoint = IPEndpoint("127.0.0.1", 0, true),
             const std::string& allowed = "") {
    server_ = std::make_unique<LineServer>(endpoint);
    if (!allowed.empty()) {
      CAddressList list;
      ASSERT_TRUE(list.parse(allowed));
      server_->setAllowList(list, "LineServer", "line_allow");
    }
    thread_ = std::make_unique<CTCPServerThread>(server_.get());
    ASSERT_TRUE(WaitFor([&] { return server_->boundPort() != 0; }, 2000));
  }
  int Client() {
    int fd = ConnectLoopback(server_->boundPort());
    EXPECT_GE(fd, 0);
    clients_.push_back(fd);
    return fd;
  }
  // Sends one line and returns the reply line (empty when none came).
  std::string Ask(int fd, const std::string& line) {
    if (!SendAll(fd, line)) return "";
    std::string reply;
    while (reply.empty() || reply.back() != '\n') {
      std::string part = ReceiveUpTo(fd, 1, 2000);
      if (part.empty()) break;
      reply += part;
    }
    return reply;
  }
  bool Finished() { return thread_->isFinished(); }

  testsupport::ProcessLog log_;
  std::unique_ptr<LineServer> server_;
  std::unique_ptr<CTCPServerThread> thread_;
  std::vector<int> clients_;
};

TEST_F(TCPServerTest, SeveralClientsAreServedByOneThreadOverKeptConnections) {
  Start();
  EXPECT_EQ(server_->port(), 0);
  int a = Client();
  int b = Client();
  int c = Client();
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(Ask(b, "b" + std::to_string(round) + "\n"), "b" + std::to_string(round) + "\n");
    EXPECT_EQ(Ask(a, "a" + std::to_string(round) + "\n"), "a" + std::to_string(round) + "\n");
    EXPECT_EQ(Ask(c, "c" + std::to_string(round) + "\n"), "c" + std::to_string(round) + "\n");
  }
  EXPECT_EQ(server_->requests_.load(), 6);
  EXPECT_EQ(server_->closes_.load(), 0);
  auto threads = server_->threads();
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_NE(*threads.begin(), std::this_thread::get_id());
  // Accepted connections get the 2000 ms transfer time-out.
  EXPECT_EQ(Ask(a, "TIMEOUT\n"), "2000\n");
}

TEST_F(TCPServerTest, ClientThatClosesWithoutSendingIsClosedAndLeavesTheSet) {
  Start();
  int quitter = Client();
  int stayer = Client();
  EXPECT_EQ(Ask(stayer, "SIZE\n"), "3\n");  // listener and both clients
  close(quitter);
  clients_.erase(clients_.begin());
  ASSERT_TRUE(WaitFor([&] { return server_->closes_.load() == 1; }, 2000));
  EXPECT_EQ(Ask(stayer, "SIZE\n"), "2\n");
}

TEST_F(TCPServerTest, FailingOrThrowingRequestClosesOnlyItsConnection) {
  Start();
  int failing = Client();
  int throwing = Client();
  int healthy = Client();
  ASSERT_TRUE(SendAll(failing, "FAIL\n"));
  EXPECT_TRUE(PeerClosed(failing, 2000));
  ASSERT_TRUE(SendAll(throwing, "THROW\n"));
  EXPECT_TRUE(PeerClosed(throwing, 2000));
  EXPECT_EQ(server_->closes_.load(), 2);
  EXPECT_EQ(Ask(healthy, "still here\n"), "still here\n");
  EXPECT_NE(NewLog().find("ServeRequest(): LineServer: thrown on request (status=9)"),
            std::string::npos);
  EXPECT_FALSE(thread_->hasError());
}

// CPU seconds this process has used.
double ProcessCpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(TCPServerTest, AtTheDescriptorLimitAcceptingPausesWithoutSpinningAndResumesByItself) {
  Start();
  const int known = Client();
  ASSERT_EQ(Ask(known, "before\n"), "before\n");
  // The newcomer's socket exists before the limit; its connect needs no descriptor.
  const int newcomer = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(newcomer, 0);
  clients_.push_back(newcomer);
  struct rlimit old;
  getrlimit(RLIMIT_NOFILE, &old);
  const int lowest = open("/dev/null", O_RDONLY);  // every descriptor below it is in use
  ASSERT_GE(lowest, 0);
  close(lowest);
  struct rlimit low = old;
  low.rlim_cur = (rlim_t)lowest;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);

  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(server_->boundPort());
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = connect(newcomer, (struct sockaddr*)&addr, sizeof addr) == 0;
  const double cpuBefore = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  // The open connection is served meanwhile.
  const std::string during = Ask(known, "during\n");
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);

  ASSERT_TRUE(connected);
  EXPECT_LT(cpu, 0.05) << "the listener spins at the descriptor limit";
  EXPECT_EQ(during, "during\n");
  // Accepting resumes within a pause or two once descriptors are free.
  const auto freed = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(newcomer, "after\n"), "after\n");
  EXPECT_LT(std::chrono::steady_clock::now() - freed, std::chrono::milliseconds(500));
  // One line however many pauses it took, naming the limit.
  EXPECT_EQ(1, log_.count("ServeConnected(): cannot accept on [127.0.0.1]:" +
                          std::to_string(server_->boundPort()) + ": descriptor limit of " +
                          std::to_string(lowest) + " open files reached (Too many open files); "
                          "retrying in 100 ms"))
      << NewLog();
}

TEST_F(TCPServerTest, AllowListClosesOtherSourcesBeforeReadingAndLogsEachSourceOnce) {
  Start(IPEndpoint("127.0.0.1", 0, true), "127.0.0.2, 10.0.0.0/8");
  const uint16_t port = server_->boundPort();
  std::vector<int> refused;
  for (int i = 0; i < 3; ++i) refused.push_back(ConnectFrom("127.0.0.3", "127.0.0.1", port));
  refused.push_back(ConnectFrom("127.0.0.4", "127.0.0.1", port));
  for (int fd : refused) {
    ASSERT_GE(fd, 0);
    clients_.push_back(fd);
    SendAll(fd, "SIZE\n");  // may fail once the server has closed
    EXPECT_TRUE(PeerClosed(fd, 2000));
  }
  const int allowed = ConnectFrom("127.0.0.2", "127.0.0.1", port);
  ASSERT_GE(allowed, 0);
  clients_.push_back(allowed);
  // Only the listener and the allowed client are held; nothing refused was read.
  EXPECT_EQ(Ask(allowed, "SIZE\n"), "2\n");
  EXPECT_EQ(server_->requests_.load(), 1);
  EXPECT_EQ(server_->closes_.load(), 0);
  EXPECT_EQ(1, log_.count("LineServer: refused connection from 127.0.0.3 (not in line_allow)")) << NewLog();
  EXPECT_EQ(1, log_.count("LineServer: refused connection from 127.0.0.4 (not in line_allow)")) << NewLog();
  // Without a list every source is served.
  TearDown();
  Start();
  const int any = ConnectFrom("127.0.0.3", "127.0.0.1", server_->boundPort());
  ASSERT_GE(any, 0);
  clients_.push_back(any);
  EXPECT_EQ(Ask(any, "open\n"), "open\n");
}

TEST_F(TCPServerTest, StopFlagEndsAnIdleServerWithinAboutOneSecond) {
  Start();
  auto start = std::chrono::steady_clock::now();
  thread_->stop();
  ASSERT_TRUE(WaitFor([&] { return Finished(); }, 2500));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1300));
  EXPECT_FALSE(thread_->hasError());
}

TEST_F(TCPServerTest, SlowRequestIsLoggedWithListenerHostAndPort) {
  KTSetTestClock(1700000000, 0);
  Start();
  int fd = Client();
  EXPECT_EQ(Ask(fd, "SLOW\n"), "SLOW\n");
  std::string expected = "ServeRequest(): request on host '127.0.0.1', port " +
                         std::to_string(server_->boundPort()) + " took 1.500 s, status=0";
  // The line is written after the reply went out.
  EXPECT_TRUE(WaitFor([&] { return NewLog().find(expected) != std::string::npos; }, 2000))
      << NewLog();
}

TEST_F(TCPServerTest, BindingTwiceThrows) {
  LineServer server(IPEndpoint("127.0.0.1", 0, true));
  server.bind();
  EXPECT_EQ(ErrorOf<CWIException>([&] { server.bind(); }),
            "CTCPServer::bind(): called multiple times (status=1)");
}

TEST_F(TCPServerTest, PortInUseEndsTheThreadWithItsErrorFlagSet) {
  uint16_t port = 0;
  int taken = ListenLoopback(&port);
  ASSERT_GE(taken, 0);
  server_ = std::make_unique<LineServer>(IPEndpoint("127.0.0.1", port, true));
  thread_ = std::make_unique<CTCPServerThread>(server_.get());
  ASSERT_TRUE(WaitFor([&] { return Finished(); }, 2000));
  EXPECT_TRUE(thread_->hasError());
  std::string expected = "CTCPServer::main(): CTCPServer::bind(\"127.0.0.1\", " +
                         std::to_string(port) + "): KTServerSocketNew failed (status=30002)";
  EXPECT_NE(NewLog().find(expected), std::string::npos) << NewLog();
  close(taken);
}

TEST_F(TCPServerTest, ThreadWithoutServerEndsWithError) {
  CTCPServerThread thread(nullptr);
  ASSERT_TRUE(WaitFor([&] { return thread.isFinished(); }, 2000));
  EXPECT_TRUE(thread.hasError());
  EXPECT_NE(NewLog().find("CTCPServer::main(): wrong arguments passed to the procedure"),
            std::string::npos);
}

}  // namespace
