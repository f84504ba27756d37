// Tests of the TCP socket layer over real loopback connections: connect
// rules and failures, chunked transfers, line reads, the reuse check with a
// test clock, listening/accepting, descriptors past 1023 and the descriptor limit.
#include "KTSocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "KTDebug.h"
#include "KTUtils.h"
#include "SocketTestSupport.h"

using namespace sockettest;

namespace {

// A KTSocket connected to a raw loopback listener, with the accepted peer.
class ConnectedPair : public ::testing::Test {
 protected:
  void SetUp() override {
    listenFd_ = ListenLoopback(&port_);
    ASSERT_GE(listenFd_, 0);
  }
  void TearDown() override {
    if (socket_ != nullptr) KTSocketFree(&socket_, log_);
    if (peer_ >= 0) close(peer_);
    close(listenFd_);
    KTClearTestClock();
  }
  // Connects socket_ and accepts its peer.
  void Connect() {
    ASSERT_EQ(KTSocketNew(&socket_, AF_INET, log_), STATUS_OK);
    ASSERT_EQ(KTSocketConnect(socket_, "127.0.0.1", port_, 5, log_), STATUS_OK);
    peer_ = AcceptWithin(listenFd_, 2000);
    ASSERT_GE(peer_, 0);
  }

  FileLog log_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  KTSocket* socket_ = nullptr;
  int peer_ = -1;
};

using KTSocketConnectTest = ConnectedPair;
using KTSocketTransferTest = ConnectedPair;
using KTSocketCheckTest = ConnectedPair;

TEST_F(KTSocketConnectTest, TimeoutMustBeBelowHundredSecondsAndZeroMeansNoLimit) {
  ASSERT_EQ(KTSocketNew(&socket_, AF_INET, log_), STATUS_OK);
  EXPECT_EQ(socket_->timeout, KTSOCKET_DEFAULT_TIMEOUT);
  EXPECT_EQ(KTSocketConnect(socket_, "127.0.0.1", port_, 100, log_), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTSocketConnect(socket_, "127.0.0.1", port_, -1, log_), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTSocketConnect(socket_, nullptr, port_, 5, log_), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(socket_->connected, 0);
  EXPECT_TRUE(log_.contains("KTSocketConnect(): wrong arguments passed to procedure"));

  ASSERT_EQ(KTSocketConnect(socket_, "127.0.0.1", port_, 0, log_), STATUS_OK);
  EXPECT_EQ(socket_->connected, 1);
  EXPECT_STREQ(socket_->ip, "127.0.0.1");
  EXPECT_EQ(socket_->port, port_);
  // A connected socket cannot connect again.
  EXPECT_EQ(KTSocketConnect(socket_, "127.0.0.1", port_, 99, log_), ERROR_INTERNAL_INCONSISTENCE);
  EXPECT_TRUE(log_.contains("KTSocketConnect(): mismatch of internal state"));
}

TEST_F(KTSocketConnectTest, ClosedPortFailsWithConnectErrorAndRecordUnchanged) {
  uint16_t closed = FreePort();
  ASSERT_EQ(KTSocketNew(&socket_, AF_INET, log_), STATUS_OK);
  EXPECT_EQ(KTSocketConnect(socket_, "127.0.0.1", closed, 5, log_), ERROR_SOCKET_CONNECT);
  EXPECT_EQ(socket_->connected, 0);
  EXPECT_EQ(socket_->ip, nullptr);
  EXPECT_TRUE(log_.contains("KTSocketConnect(): connect to [127.0.0.1]:" + std::to_string(closed) +
                            " failed"));
  // The descriptor stays non-blocking after a failed connect.
  EXPECT_NE(fcntl(socket_->socket, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(KTSocketConnectTest, ConnectToFullBacklogTimesOutAfterTheGivenSeconds) {
  // A listener with a full accept queue drops further SYNs, so the connect hangs.
  uint16_t port = 0;
  int full = ListenLoopback(&port, 0);
  ASSERT_GE(full, 0);
  std::vector<int> fillers;
  for (int i = 0; i < 2; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    connect(fd, (struct sockaddr*)&addr, sizeof addr);
    fillers.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(KTSocketNew(&socket_, AF_INET, log_), STATUS_OK);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KTSocketConnect(socket_, "127.0.0.1", port, 1, log_), ERROR_SOCKET_CONNECT);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(950));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
  EXPECT_TRUE(log_.contains("KTSocketConnect(): connect to [127.0.0.1]:" + std::to_string(port) +
                            " timed out"));
  for (int fd : fillers) close(fd);
  close(full);
}

TEST_F(KTSocketConnectTest, UnresolvableHostReturnsResolverStatus) {
  ASSERT_EQ(KTSocketNew(&socket_, AF_INET, log_), STATUS_OK);
  KTStatus status = KTSocketConnect(socket_, "no-such-host.invalid", port_, 1, log_);
  EXPECT_TRUE(status == ERROR_GETADDRINFO || status == ERROR_NO_INETADDR) << status;
}

TEST_F(KTSocketTransferTest, ThousandBytesArriveAcrossChunksAndSlowPeer) {
  Connect();
  std::string data;
  for (int i = 0; i < 1000; ++i) data += (char)('a' + i % 26);
  // The peer sends in two parts with a pause: the receive waits for the rest.
  std::thread writer([&] {
    SendAll(peer_, data.substr(0, 300));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SendAll(peer_, data.substr(300));
  });
  std::vector<char> buffer(1000);
  size_t length = buffer.size();
  EXPECT_EQ(KTSocketReceive(socket_, buffer.data(), &length, log_), STATUS_OK);
  writer.join();
  EXPECT_EQ(length, 1000u);
  EXPECT_EQ(std::string(buffer.data(), length), data);

  // Sending 1000 bytes the other way delivers them unchanged.
  length = data.size();
  EXPECT_EQ(KTSocketSend(socket_, data.data(), &length, log_), STATUS_OK);
  EXPECT_EQ(length, 1000u);
  EXPECT_EQ(ReceiveUpTo(peer_, 1000, 2000), data);
}

#ifdef KT_DEBUG_TRACE
TEST_F(KTSocketTransferTest, NoSystemCallMovesMoreThan512Bytes) {
  Connect();
  testsupport::TraceCapture capture(KTDEBUG_SOCKETRECV);
  ASSERT_TRUE(SendAll(peer_, std::string(1000, 'x')));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // all 1000 bytes are queued
  char buffer[1000];
  size_t length = sizeof buffer;
  EXPECT_EQ(KTSocketReceive(socket_, buffer, &length, log_), STATUS_OK);
  std::string trace = capture.text();
  EXPECT_NE(trace.find("received 512 of 512 requested bytes"), std::string::npos) << trace;
  EXPECT_NE(trace.find("received 488 of 488 requested bytes"), std::string::npos) << trace;
}
#endif

TEST_F(KTSocketTransferTest, PeerCloseGivesEofAndKeepsCountOfBytesReceived) {
  Connect();
  ASSERT_TRUE(SendAll(peer_, "0123456789"));
  close(peer_);
  peer_ = -1;
  char buffer[20];
  size_t length = sizeof buffer;
  EXPECT_EQ(KTSocketReceive(socket_, buffer, &length, log_), ERROR_SOCKET_EOF);
  EXPECT_EQ(length, 10u);
  length = 1;
  EXPECT_EQ(KTSocketReceive(socket_, buffer, &length, log_), ERROR_SOCKET_EOF);
  EXPECT_EQ(length, 0u);
}

TEST_F(KTSocketTransferTest, ReceiveTimesOutWhenNothingArrives) {
  Connect();
  ASSERT_EQ(KTSocketSetTimeout(socket_, 100, log_), STATUS_OK);
  char buffer[4];
  size_t length = sizeof buffer;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KTSocketReceive(socket_, buffer, &length, log_), ERROR_SOCKET_TIMEOUT);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(90));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(log_.contains("exceeded general timeout of 0 seconds"));
}

TEST_F(KTSocketTransferTest, SendTimesOutWhenPeerDoesNotRead) {
  Connect();
  int small = 4096;
  setsockopt(socket_->socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_EQ(KTSocketSetTimeout(socket_, 100, log_), STATUS_OK);
  std::string data(4 * 1024 * 1024, 'z');
  size_t length = data.size();
  EXPECT_EQ(KTSocketSend(socket_, data.data(), &length, log_), ERROR_SOCKET_TIMEOUT);
  EXPECT_LT(length, data.size());
  EXPECT_GT(length, 0u);
}

TEST_F(KTSocketTransferTest, SendOnClosedStreamFailsWithoutSigpipe) {
  Connect();
  struct sigaction old, dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);  // a SIGPIPE would end the test program
  // A stream whose sending side is shut makes send() fail with EPIPE.
  shutdown(socket_->socket, SHUT_WR);
  size_t length = 100;
  KTStatus status = KTSocketSend(socket_, std::string(100, 'p').data(), &length, log_);
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(status, ERROR_SOCKET_SEND);
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(log_.contains("error sending data (" + std::string(strerror(EPIPE)) + ")"));
}

TEST_F(KTSocketTransferTest, FPrintSendsTextLongerThanTheFormatterStartSize) {
  Connect();
  std::string big(20000, 'q');
  EXPECT_EQ(KTSocketFPrint(socket_, log_, "0 %d\n%s", (int)big.size(), big.c_str()), STATUS_OK);
  EXPECT_EQ(ReceiveUpTo(peer_, 8 + big.size(), 2000), "0 20000\n" + big);
}

TEST_F(KTSocketTransferTest, LineOfBufferSizeMinusOneFitsAndNextLineIsUntouched) {
  Connect();
  std::string line(15, 'L');
  line.back() = '\n';
  ASSERT_TRUE(SendAll(peer_, line + "second\n"));
  char buffer[16];
  size_t size = sizeof buffer;
  EXPECT_EQ(KTSocketReceiveLine(socket_, buffer, &size, log_), STATUS_OK);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(std::string(buffer), line);
  // Bytes are read one at a time, so the following line is still complete.
  EXPECT_EQ(KTSocketReceiveLine(socket_, buffer, &size, log_), STATUS_OK);
  EXPECT_STREQ(buffer, "second\n");
}

// A header line that arrives in pieces, with its data in the same segment as
// its end: the line stops at the "\n" and the data stays for the receive
// that follows; a half line then runs into the socket's time-out.
TEST_F(KTSocketTransferTest, LineInPiecesLeavesTheFollowingDataQueued) {
  Connect();
  ASSERT_EQ(KTSocketSetTimeout(socket_, 200, log_), STATUS_OK);
  std::thread writer([&] {
    SendAll(peer_, "3 5 10.0");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SendAll(peer_, ".0.1:80\nDATA!4 0 half");
  });
  char buffer[64];
  size_t size = sizeof buffer;
  EXPECT_EQ(KTSocketReceiveLine(socket_, buffer, &size, log_), STATUS_OK);
  writer.join();
  EXPECT_STREQ(buffer, "3 5 10.0.0.1:80\n");
  size_t length = 5;
  EXPECT_EQ(KTSocketReceive(socket_, buffer, &length, log_), STATUS_OK);
  EXPECT_EQ(std::string(buffer, length), "DATA!");
  EXPECT_EQ(KTSocketReceiveLine(socket_, buffer, &size, log_), ERROR_SOCKET_TIMEOUT);
  EXPECT_STREQ(buffer, "4 0 half");
}

TEST_F(KTSocketTransferTest, LineOneByteTooLongFailsWithTerminatedText) {
  Connect();
  ASSERT_TRUE(SendAll(peer_, std::string(15, 'M') + "\n"));
  char buffer[16];
  memset(buffer, '#', sizeof buffer);
  size_t size = sizeof buffer;
  EXPECT_EQ(KTSocketReceiveLine(socket_, buffer, &size, log_), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(buffer), std::string(15, 'M'));

  size = 0;
  EXPECT_EQ(KTSocketReceiveLine(socket_, buffer, &size, log_), ERROR_INVALID_PARAMETER);
}

TEST_F(KTSocketTransferTest, LineCutByEndOfStreamReportsEof) {
  Connect();
  ASSERT_TRUE(SendAll(peer_, "half"));
  close(peer_);
  peer_ = -1;
  char buffer[64];
  size_t size = sizeof buffer;
  EXPECT_EQ(KTSocketReceiveLine(socket_, buffer, &size, log_), ERROR_SOCKET_EOF);
  EXPECT_STREQ(buffer, "half");
}

TEST_F(KTSocketTransferTest, UnconnectedSocketRefusesTransfers) {
  ASSERT_EQ(KTSocketNew(&socket_, AF_INET, log_), STATUS_OK);
  char buffer[4] = "abc";
  size_t length = 3;
  EXPECT_EQ(KTSocketSend(socket_, buffer, &length, log_), ERROR_INTERNAL_INCONSISTENCE);
  EXPECT_EQ(KTSocketReceive(socket_, buffer, &length, log_), ERROR_INTERNAL_INCONSISTENCE);
  EXPECT_TRUE(log_.contains("KTSocketSend(): mismacth of internal state"));
  EXPECT_TRUE(log_.contains("KTSocketReceive(): mismatch of internal state"));
  EXPECT_EQ(KTSocketSend(nullptr, buffer, &length, log_), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTSocketReceive(socket_, nullptr, &length, log_), ERROR_INVALID_PARAMETER);
}

TEST_F(KTSocketCheckTest, HealthySocketPassesUntilPeerSendsOrCloses) {
  Connect();
  EXPECT_EQ(KTSocketCheck(socket_, log_), STATUS_OK);
  ASSERT_TRUE(SendAll(peer_, "unasked"));
  ASSERT_TRUE(WaitReadable(socket_->socket, 1000));
  EXPECT_EQ(KTSocketCheck(socket_, log_), ERROR_SOCKET);

  KTSocket* second = nullptr;
  ASSERT_EQ(KTSocketNew(&second, AF_INET, log_), STATUS_OK);
  ASSERT_EQ(KTSocketConnect(second, "127.0.0.1", port_, 5, log_), STATUS_OK);
  int secondPeer = AcceptWithin(listenFd_, 2000);
  ASSERT_GE(secondPeer, 0);
  close(secondPeer);
  ASSERT_TRUE(WaitReadable(second->socket, 1000));
  EXPECT_EQ(KTSocketCheck(second, log_), ERROR_SOCKET);
  KTSocketFree(&second, log_);
  EXPECT_EQ(second, nullptr);
}

TEST_F(KTSocketCheckTest, ConnectionOlderThan300SecondsIsRefused) {
  KTSetTestClock(1700000000, 0);
  Connect();
  EXPECT_EQ(socket_->timeConnected, (time_t)1700000000);
  KTAdvanceTestClock(300 * 1000);
  EXPECT_EQ(KTSocketCheck(socket_, log_), STATUS_OK);
  KTAdvanceTestClock(1000);
  EXPECT_EQ(KTSocketCheck(socket_, log_), ERROR_SOCKET);
}

TEST_F(KTSocketCheckTest, RecordWithoutDescriptorIsAnInconsistency) {
  KTSocket record = {};
  EXPECT_EQ(KTSocketCheck(&record, log_), ERROR_INTERNAL_INCONSISTENCE);
  EXPECT_EQ(KTSocketCheck(nullptr, log_), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(log_.contains("KTSocketCheck(): wrong parameters passed to procedure"));
}

TEST(KTServerSocketTest, ListensOnChosenPortAndAcceptsWithPeerAddress) {
  FileLog log;
  KTSocket* server = nullptr;
  ASSERT_EQ(KTServerSocketNew(&server, "127.0.0.1", 0, AF_INET, log), STATUS_OK);
  EXPECT_NE(server->port, 0);
  EXPECT_STREQ(server->ip, "127.0.0.1");
  EXPECT_EQ(server->connected, 1);
  EXPECT_EQ(server->created, 1);

  // The same port cannot be bound twice while it listens.
  KTSocket* twice = nullptr;
  EXPECT_EQ(KTServerSocketNew(&twice, "127.0.0.1", server->port, AF_INET, log), ERROR_SOCKET_CONNECT);
  EXPECT_EQ(twice, nullptr);
  EXPECT_TRUE(log.contains("KTServerSocketNew(): cannot bind to [127.0.0.1]:"));

  int client = ConnectLoopback(server->port);
  ASSERT_GE(client, 0);
  struct sockaddr_in local = {};
  socklen_t length = sizeof local;
  getsockname(client, (struct sockaddr*)&local, &length);
  KTSocket* accepted = nullptr;
  ASSERT_EQ(KTSocketAccept(server, &accepted, log), STATUS_OK);
  EXPECT_STREQ(accepted->ip, "127.0.0.1");
  EXPECT_EQ(accepted->port, ntohs(local.sin_port));
  EXPECT_EQ(accepted->timeout, KTSOCKET_DEFAULT_TIMEOUT);

  char host[10];
  unsigned short port = 0;
  EXPECT_EQ(KTSocketGetHostPort(accepted, host, sizeof host, &port, log), STATUS_OK);
  EXPECT_STREQ(host, "127.0.0.1");
  EXPECT_EQ(KTSocketGetHostPort(accepted, host, 9, &port, log), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(port, accepted->port);
  int fd = -1;
  EXPECT_EQ(KTSocketGetFd(accepted, &fd, log), STATUS_OK);
  EXPECT_EQ(fd, accepted->socket);

  // Listening sockets linger 0: closing an accepted connection resets it.
  KTSocketFree(&accepted, log);
  ASSERT_TRUE(WaitReadable(client, 1000));
  char c;
  EXPECT_EQ(recv(client, &c, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
  close(client);
  KTSocketFree(&server, log);
}

TEST(KTServerSocketTest, AnyAddressIsShownAsStarAndIPv6PeerGetsNumericText) {
  FileLog log;
  KTSocket* server = nullptr;
  ASSERT_EQ(KTServerSocketNew(&server, nullptr, 0, AF_INET6, log), STATUS_OK);
  EXPECT_STREQ(server->ip, "*");
  int client = socket(AF_INET6, SOCK_STREAM, 0);
  struct sockaddr_in6 addr = {};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  addr.sin6_port = htons(server->port);
  if (client < 0 || connect(client, (struct sockaddr*)&addr, sizeof addr) != 0) {
    if (client >= 0) close(client);
    KTSocketFree(&server, log);
    GTEST_SKIP() << "no IPv6 loopback on this host";
  }
  KTSocket* accepted = nullptr;
  ASSERT_EQ(KTSocketAccept(server, &accepted, log), STATUS_OK);
  EXPECT_STREQ(accepted->ip, "::1");
  KTSocketFree(&accepted, log);
  close(client);
  KTSocketFree(&server, log);
}

// Occupies every free descriptor below 1024 so that the next one is 1024 or more.
class LowDescriptorsTaken {
 public:
  LowDescriptorsTaken() {
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    old_ = limit;
    if (limit.rlim_cur < 1100) {
      limit.rlim_cur = limit.rlim_max < 1100 ? limit.rlim_max : 1100;
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    getrlimit(RLIMIT_NOFILE, &limit);
    usable_ = limit.rlim_cur >= 1100;
    if (!usable_) return;
    for (;;) {
      int fd = open("/dev/null", O_RDONLY);
      if (fd < 0) break;
      if (fd > 1023) {
        close(fd);
        break;
      }
      taken_.push_back(fd);
    }
  }
  ~LowDescriptorsTaken() {
    for (int fd : taken_) close(fd);
    setrlimit(RLIMIT_NOFILE, &old_);
  }
  bool usable() const { return usable_; }

 private:
  struct rlimit old_;
  bool usable_ = false;
  std::vector<int> taken_;
};

TEST(KTSocketDescriptorLimitTest, DescriptorsAbove1023ListenConnectAcceptAndTransfer) {
  FileLog log;
  LowDescriptorsTaken taken;
  if (!taken.usable()) GTEST_SKIP() << "cannot raise the descriptor limit above 1024";
  KTSocket* server = nullptr;
  ASSERT_EQ(KTServerSocketNew(&server, "127.0.0.1", 0, AF_INET, log), STATUS_OK);
  EXPECT_GE(server->socket, 1024);
  KTSocket* client = nullptr;
  ASSERT_EQ(KTSocketNew(&client, AF_INET, log), STATUS_OK);
  EXPECT_GE(client->socket, 1024);
  ASSERT_EQ(KTSocketConnect(client, "127.0.0.1", server->port, 5, log), STATUS_OK);
  KTSocket* accepted = nullptr;
  ASSERT_EQ(KTSocketAccept(server, &accepted, log), STATUS_OK);
  EXPECT_GE(accepted->socket, 1024);

  // Both directions wait for readiness before every chunk.
  ASSERT_EQ(KTSocketFPrint(client, log, "hello %d\n", 1025), STATUS_OK);
  char line[64];
  size_t length = sizeof line;
  ASSERT_EQ(KTSocketReceiveLine(accepted, line, &length, log), STATUS_OK);
  EXPECT_STREQ(line, "hello 1025\n");
  std::string reply(1000, 'r');
  size_t sent = reply.size();
  ASSERT_EQ(KTSocketSend(accepted, reply.data(), &sent, log), STATUS_OK);
  std::string got(reply.size(), '\0');
  size_t received = got.size();
  ASSERT_EQ(KTSocketReceive(client, &got[0], &received, log), STATUS_OK);
  EXPECT_EQ(got, reply);
  EXPECT_EQ(KTSocketCheck(client, log), STATUS_OK);

  EXPECT_EQ(log.text(), "");

  // The peer's reset (accepted sockets linger 0) is seen by the check.
  KTSocketFree(&accepted, log);
  EXPECT_EQ(KTSocketCheck(client, log), ERROR_SOCKET);
  KTSocketFree(&client, log);
  KTSocketFree(&server, log);
}

TEST(KTSocketDescriptorLimitTest, AcceptAtTheLimitLeavesTheConnectionQueuedAndLogsNothing) {
  FileLog log;
  KTSocket* server = nullptr;
  ASSERT_EQ(KTServerSocketNew(&server, "127.0.0.1", 0, AF_INET, log), STATUS_OK);
  const int client = ConnectLoopback(server->port);
  ASSERT_GE(client, 0);
  struct rlimit old;
  getrlimit(RLIMIT_NOFILE, &old);
  {
    // open() gives the lowest free descriptor, so every one below it is in
    // use: a limit of that number leaves none.
    const int lowest = open("/dev/null", O_RDONLY);
    ASSERT_GE(lowest, 0);
    close(lowest);
    struct rlimit low = old;
    low.rlim_cur = (rlim_t)lowest;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    KTSocket* accepted = nullptr;
    errno = 0;
    const KTStatus status = KTSocketAccept(server, &accepted, log);
    const int error = errno;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(status, ERROR_SOCKET_DESCRIPTORS);
    EXPECT_EQ(error, EMFILE);
    EXPECT_EQ(accepted, nullptr);
  }
  // The caller reports and paces; the connection waits in the queue meanwhile.
  EXPECT_EQ(log.text(), "");
  KTSocket* accepted = nullptr;
  ASSERT_EQ(KTSocketAccept(server, &accepted, log), STATUS_OK);
  KTSocketFree(&accepted, log);
  close(client);
  KTSocketFree(&server, log);
}

TEST(KTFormatErrorTest, GivesSystemTextInAllocatedAndCallerBuffers) {
  char* text = KTFormatError(ECONNREFUSED);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, strerror(ECONNREFUSED));
  free(text);
  char small[8];
  EXPECT_EQ(KTFormatSocketError(ECONNREFUSED, small, sizeof small), STATUS_OK);
  EXPECT_EQ(std::string(small), std::string(strerror(ECONNREFUSED)).substr(0, 7));
  EXPECT_EQ(KTFormatSocketError(ECONNREFUSED, small, 0), ERROR_INVALID_PARAMETER);
}

}  // namespace
