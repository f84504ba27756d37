// Tests of the socket set: ownership of its sockets, descriptors the system
// will not watch, the highest-descriptor bookkeeping, readiness results and
// pausing the watch of a socket.
#include "SocketSet.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Exception.h"
#include "SocketTestSupport.h"
#include "WIException.h"

using namespace sockettest;
using testsupport::ErrorOf;

namespace {

// Exposes the highest descriptor for the bookkeeping checks.
class InspectableSet : public CSocketSet {
 public:
  int maxFd() const { return mMaxFd; }
};

KTSocket* NewSocket() {
  KTSocket* pSocket = nullptr;
  EXPECT_EQ(KTSocketNew(&pSocket, AF_INET, nullptr), STATUS_OK);
  return pSocket;
}

// True while fd is an open descriptor.
bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(SocketSetTest, RejectsNullSocketsModesWithoutBitsAndDescriptorsThatAreNotOpen) {
  CSocketSet set;
  EXPECT_EQ(ErrorOf<CWIException>([&] { set.add(nullptr, CSocketSet::SOCKETSET_READ); }),
            "CSocketSet::add(): invalid parameter (status=5)");
  KTSocket* pSocket = NewSocket();
  EXPECT_THROW(set.add(pSocket, 4), CWIException);
  KTSocketFree(&pSocket, nullptr);

  // Any number is accepted, but only an open descriptor can be watched.
  KTSocket notOpen = {};
  notOpen.socket = 1500;
  EXPECT_EQ(ErrorOf<CWIException>([&] { set.add(&notOpen, CSocketSet::SOCKETSET_READ); }),
            "CSocketSet::add(): cannot watch socket #1500 (Bad file descriptor) (status=30014)");
  EXPECT_EQ(set.size(), 0u);
  EXPECT_FALSE(set.isReadActive(1500));
  EXPECT_THROW(set.remove(nullptr), CWIException);
}

TEST(SocketSetTest, RemovingTheHighestDescriptorRecomputesItAndClosesTheSocket) {
  InspectableSet set;
  KTSocket* low = NewSocket();
  KTSocket* high = NewSocket();
  int lowFd = low->socket;
  int highFd = high->socket;
  ASSERT_LT(lowFd, highFd);
  set.add(high, CSocketSet::SOCKETSET_READ);
  set.add(low, CSocketSet::SOCKETSET_READ | CSocketSet::SOCKETSET_WRITE);
  EXPECT_EQ(set.maxFd(), highFd);
  set.remove(high);
  EXPECT_FALSE(IsOpen(highFd));
  EXPECT_EQ(set.maxFd(), lowFd);
  // A socket the set does not hold is refused and stays the caller's.
  KTSocket* stranger = NewSocket();
  EXPECT_THROW(set.remove(stranger), CWIException);
  EXPECT_TRUE(IsOpen(stranger->socket));
  KTSocketFree(&stranger, nullptr);
  set.clear();
  EXPECT_FALSE(IsOpen(lowFd));
  EXPECT_EQ(set.maxFd(), 0);
  EXPECT_EQ(set.size(), 0u);
}

TEST(SocketSetTest, SelectReportsReadableSocketsAndRefusesAnEmptySet) {
  CSocketSet set;
  EXPECT_EQ(ErrorOf([&] { set.select(0); }), "CSocketSet::select: there are no sockets");
  KTSocket* listener = nullptr;
  ASSERT_EQ(KTServerSocketNew(&listener, "127.0.0.1", 0, AF_INET, nullptr), STATUS_OK);
  int fd = listener->socket;
  set.add(listener, CSocketSet::SOCKETSET_READ);
  EXPECT_EQ(set.select(50), 0);
  EXPECT_FALSE(set.isReadActive(fd));

  int client = ConnectLoopback(listener->port);
  ASSERT_GE(client, 0);
  EXPECT_EQ(set.select(1000), 1);
  EXPECT_TRUE(set.isReadActive(fd));
  EXPECT_FALSE(set.isWriteActive(fd));
  EXPECT_FALSE(set.isReadActive(-1));
  EXPECT_FALSE(set.isReadActive(4096));
  close(client);
}

TEST(SocketSetTest, ReadyListHoldsOnlyReadySocketsAscendingAndForgetsRemovedOnes) {
  CSocketSet set;
  std::vector<KTSocket*> listeners;
  for (int i = 0; i < 5; ++i) {
    KTSocket* listener = nullptr;
    ASSERT_EQ(KTServerSocketNew(&listener, "127.0.0.1", 0, AF_INET, nullptr), STATUS_OK);
    set.add(listener, CSocketSet::SOCKETSET_READ);
    listeners.push_back(listener);
  }
  // Clients of the last and the second listener only, connected in that order.
  const int fourth = listeners[4]->socket;
  const int second = listeners[1]->socket;
  int a = ConnectLoopback(listeners[4]->port);
  int b = ConnectLoopback(listeners[1]->port);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  // Level-triggered: a wait that saw only the first connection sees both at the next.
  for (int round = 0; round < 10 && set.readyDescriptors().size() < 2; ++round) {
    const int ready = set.select(1000);
    EXPECT_EQ(ready, (int)set.readyDescriptors().size());
  }
  EXPECT_EQ(set.readyDescriptors(), (std::vector<int>{second, fourth}));
  // Level-triggered: not accepted, still ready at the next wait.
  EXPECT_EQ(set.select(0), 2);
  set.remove(listeners[1]);
  EXPECT_FALSE(set.isReadActive(second));
  EXPECT_TRUE(set.isReadActive(fourth));
  EXPECT_EQ(set.select(0), 1);
  EXPECT_EQ(set.readyDescriptors(), (std::vector<int>{fourth}));
  close(a);
  close(b);
}

TEST(SocketSetTest, UnwatchedSocketStaysInTheSetButIsNotReportedUntilWatchedAgain) {
  CSocketSet set;
  KTSocket* listener = nullptr;
  ASSERT_EQ(KTServerSocketNew(&listener, "127.0.0.1", 0, AF_INET, nullptr), STATUS_OK);
  const int fd = listener->socket;
  set.add(listener, CSocketSet::SOCKETSET_READ);
  int client = ConnectLoopback(listener->port);
  ASSERT_GE(client, 0);
  ASSERT_EQ(set.select(1000), 1);

  set.watch(listener, 0);
  EXPECT_FALSE(set.isReadActive(fd));
  EXPECT_TRUE(set.contains(listener));
  // Waits its whole time-out: the only socket is not watched.
  EXPECT_EQ(set.select(20), 0);
  set.watch(listener, CSocketSet::SOCKETSET_READ);
  EXPECT_EQ(set.select(1000), 1);
  EXPECT_TRUE(set.isReadActive(fd));

  KTSocket* stranger = NewSocket();
  EXPECT_THROW(set.watch(stranger, CSocketSet::SOCKETSET_READ), CWIException);
  EXPECT_THROW(set.watch(listener, 4), CWIException);
  KTSocketFree(&stranger, nullptr);
  // An unwatched socket is still freed with the set.
  set.watch(listener, 0);
  set.clear();
  EXPECT_FALSE(IsOpen(fd));
  close(client);
}

}  // namespace
