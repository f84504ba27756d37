// Tests of the outgoing connection pool against a real loopback listener:
// reuse of healthy parked connections, replacement of dead or old ones,
// the parking limit, the give-up rule and concurrent takers.
#include "KTServer.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "KTUtils.h"
#include "SocketTestSupport.h"

using namespace sockettest;

namespace {

class KTServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listenFd_ = ListenLoopback(&port_, 256);
    ASSERT_GE(listenFd_, 0);
    ASSERT_EQ(KTServerNew(&server_, "127.0.0.1", port_, log_), STATUS_OK);
  }
  void TearDown() override {
    if (server_ != nullptr) {
      EXPECT_EQ(KTServerFree(&server_, log_), STATUS_OK);
    }
    for (int fd : peers_) close(fd);
    close(listenFd_);
    KTClearTestClock();
  }
  // Takes a connection and, when it is a new one, accepts its peer end.
  KTSocket* Take(bool expectNew) {
    KTSocket* pSocket = nullptr;
    EXPECT_EQ(KTServerGetSocket(server_, &pSocket, 5, log_), STATUS_OK);
    int peer = AcceptWithin(listenFd_, expectNew ? 2000 : 50);
    EXPECT_EQ(peer >= 0, expectNew) << "new connection opened: " << (peer >= 0);
    if (peer >= 0) peers_.push_back(peer);
    return pSocket;
  }
  void Park(KTSocket* pSocket) {
    ASSERT_EQ(KTServerParkSocket(server_, &pSocket, log_), STATUS_OK);
    EXPECT_EQ(pSocket, nullptr);
  }

  FileLog log_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  KTServer* server_ = nullptr;
  std::vector<int> peers_;  // accepted peer ends, in order of connection
};

TEST(KTServerCreateTest, RefusesUnresolvableAndOverlongHosts) {
  FileLog log;
  KTServer* server = nullptr;
  KTStatus status = KTServerNew(&server, "no-such-host.invalid", 80, log);
  EXPECT_TRUE(status == ERROR_GETADDRINFO || status == ERROR_NO_INETADDR) << status;
  EXPECT_EQ(server, nullptr);
  EXPECT_EQ(KTServerNew(&server, std::string(256, 'h').c_str(), 80, log), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(server, nullptr);
  EXPECT_EQ(KTServerFree(&server, log), ERROR_INVALID_PARAMETER);
}

TEST_F(KTServerTest, OpensNewConnectionsUntilOneIsParkedThenReusesIt) {
  KTSocket* first = Take(true);
  KTSocket* second = Take(true);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  Park(first);
  EXPECT_EQ(Take(false), first);  // healthy: no new connection
  KTSocketFree(&first, log_);
  KTSocketFree(&second, log_);
}

TEST_F(KTServerTest, DeadParkedConnectionIsReplacedInTheSameCall) {
  KTSocket* pSocket = Take(true);
  Park(pSocket);
  close(peers_[0]);  // the remote side goes away while the connection is parked
  peers_.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));

  KTSocket* fresh = Take(true);
  ASSERT_NE(fresh, nullptr);
  // The replacement works end to end.
  size_t length = 4;
  EXPECT_EQ(KTSocketSend(fresh, "ping", &length, log_), STATUS_OK);
  EXPECT_EQ(ReceiveUpTo(peers_[0], 4, 1000), "ping");
  KTSocketFree(&fresh, log_);
}

TEST_F(KTServerTest, ParkedConnectionOlderThan300SecondsIsClosedAndReplaced) {
  KTSetTestClock(1700000000, 0);
  KTSocket* old = Take(true);
  Park(old);
  KTAdvanceTestClock(301 * 1000);
  KTSocket* fresh = Take(true);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->timeConnected, (time_t)1700000301);
  EXPECT_TRUE(PeerClosed(peers_[0], 1000));  // the old connection was closed
  KTSocketFree(&fresh, log_);
}

TEST_F(KTServerTest, MaxParkedOneClosesTheSecondParkedConnection) {
  ASSERT_EQ(KTServerSetMaxParked(server_, 1, log_), STATUS_OK);
  KTSocket* first = Take(true);
  KTSocket* second = Take(true);
  Park(first);
  Park(second);  // limit reached: closed instead
  EXPECT_FALSE(PeerClosed(peers_[0], 50));
  EXPECT_TRUE(PeerClosed(peers_[1], 1000));
  EXPECT_EQ(Take(false), first);
  KTSocketFree(&first, log_);
}

TEST_F(KTServerTest, LoweringTheLimitClosesConnectionsFromTheEnd) {
  std::vector<KTSocket*> taken;
  for (int i = 0; i < 3; ++i) taken.push_back(Take(true));
  for (KTSocket* pSocket : taken) Park(pSocket);
  ASSERT_EQ(KTServerSetMaxParked(server_, 1, log_), STATUS_OK);
  EXPECT_FALSE(PeerClosed(peers_[0], 50));
  EXPECT_TRUE(PeerClosed(peers_[1], 1000));
  EXPECT_TRUE(PeerClosed(peers_[2], 1000));
  EXPECT_EQ(Take(false), taken[0]);
  KTSocketFree(&taken[0], log_);
}

TEST_F(KTServerTest, GivesUpAfterMoreThanHundredUnusableConnections) {
  const int parked = KTSERVER_MAX_DISCARDED + 2;
  std::vector<KTSocket*> taken;
  for (int i = 0; i < parked; ++i) taken.push_back(Take(true));
  for (KTSocket* pSocket : taken) Park(pSocket);
  for (int fd : peers_) close(fd);
  peers_.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  KTSocket* pSocket = nullptr;
  EXPECT_EQ(KTServerGetSocket(server_, &pSocket, 5, log_), ERROR_SOCKET);
  EXPECT_EQ(pSocket, nullptr);
  EXPECT_TRUE(log_.contains("KTServerGetSocket(): no usable socket found after 101 tries"));
  // One dead connection was left; the next take discards it and connects anew.
  KTSocket* fresh = Take(true);
  EXPECT_NE(fresh, nullptr);
  KTSocketFree(&fresh, log_);
}

TEST_F(KTServerTest, ArgumentsAreChecked) {
  KTSocket* pSocket = nullptr;
  EXPECT_EQ(KTServerGetSocket(server_, &pSocket, 100, log_), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTServerGetSocket(nullptr, &pSocket, 5, log_), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KTServerParkSocket(server_, &pSocket, log_), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(log_.contains("KTServerGetSocket(): wrong arguments passed to procedure"));
}

TEST_F(KTServerTest, NewConnectionsUseTheConfiguredSegmentSize) {
  ASSERT_EQ(KTServerSetMSS(server_, 600, log_), STATUS_OK);
  KTSocket* pSocket = Take(true);
  ASSERT_NE(pSocket, nullptr);
  int mss = 0;
  socklen_t length = sizeof mss;
  ASSERT_EQ(getsockopt(pSocket->socket, IPPROTO_TCP, TCP_MAXSEG, &mss, &length), 0);
  EXPECT_LE(mss, 600);
  KTSocketFree(&pSocket, log_);
}

TEST_F(KTServerTest, ConcurrentTakersShareThePool) {
  std::atomic<bool> stop{false};
  std::thread acceptor([&] {
    while (!stop) {
      int fd = AcceptWithin(listenFd_, 20);
      if (fd >= 0) peers_.push_back(fd);
    }
  });
  std::atomic<int> failures{0};
  std::vector<std::thread> users;
  for (int t = 0; t < 4; ++t) {
    users.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        KTSocket* pSocket = nullptr;
        if (KTServerGetSocket(server_, &pSocket, 5, log_) != STATUS_OK) {
          ++failures;
          continue;
        }
        if (KTServerParkSocket(server_, &pSocket, log_) != STATUS_OK) ++failures;
      }
    });
  }
  for (auto& user : users) user.join();
  stop = true;
  acceptor.join();
  for (int fd; (fd = AcceptWithin(listenFd_, 50)) >= 0;) peers_.push_back(fd);
  EXPECT_EQ(failures.load(), 0);
  // Healthy parked connections are reused: never more connections than takers.
  EXPECT_GE(peers_.size(), 1u);
  EXPECT_LE(peers_.size(), 4u);
}

}  // namespace
