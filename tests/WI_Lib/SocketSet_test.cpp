// Tests of the socket set: ownership of its sockets, the descriptor range of
// select(), the highest-descriptor bookkeeping and readiness results.
#include "SocketSet.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>

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

TEST(SocketSetTest, RejectsNullSocketsModesWithoutBitsAndDescriptorsAbove1023) {
  CSocketSet set;
  EXPECT_EQ(ErrorOf<CWIException>([&] { set.add(nullptr, CSocketSet::SOCKETSET_READ); }),
            "CSocketSet::add(): invalid parameter (status=5)");
  KTSocket* pSocket = NewSocket();
  EXPECT_THROW(set.add(pSocket, 4), CWIException);
  KTSocketFree(&pSocket, nullptr);

  KTSocket outOfRange = {};
  outOfRange.socket = 1500;
  EXPECT_EQ(ErrorOf<CWIException>([&] { set.add(&outOfRange, CSocketSet::SOCKETSET_READ); }),
            "CSocketSet::add(): socket #1500 is out of range (0..1023) for select() (status=3)");
  EXPECT_EQ(set.size(), 0u);
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

}  // namespace
