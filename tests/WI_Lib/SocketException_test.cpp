// Tests of the socket exception's message and error number, the literal
// address tests and the endpoint value.
#include "SocketException.h"

#include <errno.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "IPEndpoint.h"
#include "SocketLib.h"

TEST(CSocketExceptionTest, MessageIsPrefixAndSystemText) {
  const std::string refused = strerror(ECONNREFUSED);
  CSocketException withBoth("connect(10.0.0.1:80)", ECONNREFUSED);
  EXPECT_EQ("connect(10.0.0.1:80): " + refused, withBoth.what());
  EXPECT_EQ(ECONNREFUSED, withBoth.lastError());
  EXPECT_EQ(refused, CSocketException(ECONNREFUSED).what());
  EXPECT_EQ("p: " + refused, CSocketException(std::string("p"), ECONNREFUSED).what());
  EXPECT_EQ(refused, CSocketException("", ECONNREFUSED).what()) << "an empty prefix is no prefix";
}

TEST(CSocketExceptionTest, TakesTheCurrentErrorNumberWhenNoneIsGiven) {
  errno = EPIPE;
  CSocketException current;
  EXPECT_EQ(EPIPE, current.lastError());
  EXPECT_STREQ(strerror(EPIPE), current.what());
  errno = ETIMEDOUT;
  CSocketException prefixed("recv");
  EXPECT_EQ(ETIMEDOUT, prefixed.lastError());
  EXPECT_EQ(std::string("recv: ") + strerror(ETIMEDOUT), prefixed.what());
  EXPECT_EQ(ETIMEDOUT, GetLastSocketError());
}

TEST(CSocketExceptionTest, NoSystemErrorLeavesThePrefixAlone) {
  EXPECT_STREQ("resolver: no address", CSocketException("resolver: no address", 0).what());
  EXPECT_STREQ("unknown error", CSocketException(0).what());
  // Caught as the family root.
  try {
    throw CSocketException("x", EBADF);
  } catch (const CException& e) {
    EXPECT_EQ(std::string("x: ") + strerror(EBADF), e.what());
  }
}

TEST(CSocketLibTest, LiteralAddressesOfEachFamily) {
  CSocketLib guard;  // constructing and destroying it does nothing on Linux
  (void)guard;
  EXPECT_TRUE(CSocketLib::isIPv4Address("127.0.0.1"));
  EXPECT_TRUE(CSocketLib::isIPv4Address("255.255.255.255"));
  EXPECT_FALSE(CSocketLib::isIPv4Address("256.0.0.1"));
  EXPECT_FALSE(CSocketLib::isIPv4Address("10.0.1"));
  EXPECT_FALSE(CSocketLib::isIPv4Address("localhost"));
  EXPECT_FALSE(CSocketLib::isIPv4Address(""));
  EXPECT_FALSE(CSocketLib::isIPv4Address("::1"));
  EXPECT_TRUE(CSocketLib::isIPv6Address("::1"));
  EXPECT_TRUE(CSocketLib::isIPv6Address("fe80::fc:ff:fe00:1"));
  EXPECT_TRUE(CSocketLib::isIPv6Address("::ffff:10.0.0.1"));
  EXPECT_FALSE(CSocketLib::isIPv6Address("10.0.0.1"));
  EXPECT_FALSE(CSocketLib::isIPv6Address("1:::2"));
  EXPECT_FALSE(CSocketLib::isIPv6Address(""));
}

TEST(IPEndpointTest, EqualityIgnoresBindAndBindAddressFollowsIt) {
  const IPEndpoint a("10.0.0.1", 8080, true);
  const IPEndpoint b("10.0.0.1", 8080, false);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, IPEndpoint("10.0.0.1", 8081, true));
  EXPECT_NE(a, IPEndpoint("host1", 8080, true)) << "texts, not addresses, are compared";
  EXPECT_EQ("10.0.0.1", a.getBindAddr());
  EXPECT_EQ("", b.getBindAddr());
  const IPEndpoint empty;
  EXPECT_EQ(0, empty.port);
  EXPECT_FALSE(empty.bind);
  EXPECT_EQ("", empty.getBindAddr());
}
