// Tests of the datagram server framework and the datagram sockets on a
// loopback port: replies go to their senders (empty ones included),
// oversized datagrams are dropped and logged, stopping and aborting.
#include "UDPServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "Log.h"
#include "SocketException.h"
#include "SocketTestSupport.h"

using namespace sockettest;

namespace {

// Replies "echo:" + request; "empty" gets an empty reply, "abort" ends the server.
class EchoServer : public CUDPServer {
 public:
  using CUDPServer::CUDPServer;
  std::string processRequest(const std::string& request, bool& abort) override {
    ++requests_;
    if (request == "empty") return "";
    if (request == "abort") abort = true;
    return "echo:" + request;
  }
  std::atomic<int> requests_{0};
};

class UDPServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int fd : clients_) close(fd);
    thread_.reset();
    server_.reset();
  }
  // Process log lines written since the test began.
  std::string NewLog() const { return log_.text(); }

  void Start(int timeoutMs = 200) {
    server_ = std::make_unique<EchoServer>("127.0.0.1", 0, timeoutMs);
    thread_ = std::make_unique<CUDPServerThread>(server_.get());
    ASSERT_TRUE(WaitFor([&] { return server_->boundPort() != 0; }, 2000));
  }
  // A raw datagram socket connected to the server.
  int Client() {
    int fd = ConnectLoopback(server_->boundPort(), SOCK_DGRAM);
    EXPECT_GE(fd, 0);
    clients_.push_back(fd);
    return fd;
  }
  // Sends one datagram and returns the reply; "<none>" when nothing came within waitMs.
  static std::string Ask(int fd, const std::string& request, int waitMs = 2000) {
    if (send(fd, request.data(), request.size(), 0) != (ssize_t)request.size()) return "<send failed>";
    if (!WaitReadable(fd, waitMs)) return "<none>";
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    return n < 0 ? "<error>" : std::string(buffer, (size_t)n);
  }

  testsupport::ProcessLog log_;
  std::unique_ptr<EchoServer> server_;
  std::unique_ptr<CUDPServerThread> thread_;
  std::vector<int> clients_;
};

TEST_F(UDPServerTest, EachSenderGetsItsOwnReply) {
  Start();
  int first = Client();
  int second = Client();
  EXPECT_EQ(Ask(first, "one"), "echo:one");
  EXPECT_EQ(Ask(second, "two"), "echo:two");
  EXPECT_EQ(Ask(first, "three"), "echo:three");
  EXPECT_EQ(server_->requests_.load(), 3);
}

TEST_F(UDPServerTest, EmptyReplyIsStillSentAsEmptyDatagram) {
  Start();
  int fd = Client();
  EXPECT_EQ(Ask(fd, "empty"), "");
  EXPECT_EQ(Ask(fd, "after"), "echo:after");
}

TEST_F(UDPServerTest, RequestEndsAtFirstNulAndEmptyRequestGetsNoReply) {
  Start();
  int fd = Client();
  EXPECT_EQ(Ask(fd, std::string("abc\0def", 7)), "echo:abc");
  EXPECT_EQ(Ask(fd, std::string("\0x", 2), 300), "<none>");
  EXPECT_EQ(server_->requests_.load(), 1);
}

TEST_F(UDPServerTest, OversizedDatagramIsDroppedWithMessageAndServerGoesOn) {
  Start();
  int fd = Client();
  EXPECT_EQ(Ask(fd, std::string(1024, 'x'), 300), "<none>");
  EXPECT_NE(NewLog().find("CUDPServer::requestLoop(): std::exception caught: CUDPSocket::receiveFrom: "
                          "A message sent on a datagram socket was larger than the internal "
                          "message buffer\n"),
            std::string::npos)
      << NewLog();
  // The largest datagram that fits is served, and so is the next one.
  EXPECT_EQ(Ask(fd, std::string(1023, 'y')), "echo:" + std::string(1023, 'y'));
  EXPECT_EQ(Ask(fd, "next"), "echo:next");
  EXPECT_FALSE(thread_->isFinished());
}

TEST_F(UDPServerTest, StopFlagIsNoticedAfterOneReceiveWait) {
  Start(200);
  auto start = std::chrono::steady_clock::now();
  thread_->stop();
  ASSERT_TRUE(WaitFor([&] { return thread_->isFinished(); }, 2000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
  EXPECT_FALSE(thread_->hasError());
}

TEST_F(UDPServerTest, AbortFlagEndsRunAfterTheReply) {
  Start();
  int fd = Client();
  EXPECT_EQ(Ask(fd, "abort"), "echo:abort");
  ASSERT_TRUE(WaitFor([&] { return thread_->isFinished(); }, 2000));
  EXPECT_FALSE(thread_->hasError());
}

TEST_F(UDPServerTest, PortInUseEndsTheThreadWithItsErrorFlagSet) {
  CUDPServerSocket taken;
  unsigned short port = taken.bind("127.0.0.1", 0);
  ASSERT_NE(port, 0);
  server_ = std::make_unique<EchoServer>("127.0.0.1", port, 200);
  thread_ = std::make_unique<CUDPServerThread>(server_.get());
  ASSERT_TRUE(WaitFor([&] { return thread_->isFinished(); }, 2000));
  EXPECT_TRUE(thread_->hasError());
  EXPECT_NE(NewLog().find("CUDPServer::main(): CUDPServerSocket::bind: " +
                          std::string(strerror(EADDRINUSE))),
            std::string::npos)
      << NewLog();
}

TEST_F(UDPServerTest, ThreadWithoutServerEndsWithError) {
  CUDPServerThread thread(nullptr);
  ASSERT_TRUE(WaitFor([&] { return thread.isFinished(); }, 2000));
  EXPECT_TRUE(thread.hasError());
  EXPECT_NE(NewLog().find("CUDPServer::main(): wrong arguments passed to the procedure"),
            std::string::npos);
}

TEST(UDPSocketTest, ClientAndServerSocketsExchangeDatagrams) {
  CUDPServerSocket server;
  unsigned short port = server.bind("127.0.0.1", 0);
  ASSERT_NE(port, 0);
  EXPECT_EQ(server.receive(0), "");  // nothing waiting, no wait
  CUDPClientSocket client;
  client.connect("127.0.0.1", port);
  client.send("hello");
  EXPECT_EQ(server.receive(1000), "hello");
  server.send("world");
  EXPECT_EQ(client.receive(1000), "world");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.receive(100), "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
}

TEST(UDPSocketTest, OversizedDatagramThrowsWithErrorNumber22AndIsConsumed) {
  CUDPServerSocket server;
  unsigned short port = server.bind("127.0.0.1", 0);
  CUDPClientSocket client;
  client.connect("127.0.0.1", port);
  client.send(std::string(2000, 'z'));
  client.send("small");
  try {
    server.receive(1000);
    FAIL() << "no exception for a 2000-byte datagram";
  } catch (const CSocketException& e) {
    EXPECT_EQ(e.lastError(), 22);
    EXPECT_STREQ(e.what(),
                 "CUDPSocket::receiveFrom: A message sent on a datagram socket was larger than the "
                 "internal message buffer");
  }
  EXPECT_EQ(server.receive(1000), "small");
}

TEST(UDPSocketTest, FailuresAreSocketExceptions) {
  CUDPServerSocket unbound;
  EXPECT_FALSE(unbound.isOpen());
  EXPECT_THROW(unbound.receive(0), CSocketException);
  EXPECT_THROW(unbound.send("nobody asked"), CSocketException);
  CUDPClientSocket client;
  EXPECT_THROW(client.connect("no-such-host.invalid", 9), CSocketException);
  EXPECT_THROW(client.send("x"), CSocketException);
  EXPECT_FALSE(client.isOpen());
}

}  // namespace
