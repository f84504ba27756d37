// Tests of the resolver: the family chosen by the IPv6 switch, UDP and TCP
// hints, the passive any-address form, failures with their statuses and log
// line, and the owning class with its address-family helper.
#include "ResolveHostName.h"

#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include <string>

#include <gtest/gtest.h>

#include "KTStatus.h"
#include "ScopedEnvVar.h"
#include "SocketException.h"
#include "SocketTestSupport.h"

using envtest::ScopedEnvVar;

namespace {

const char kIPv6Var[] = "VEXORA_ENABLE_IPv6";

// Resolves and releases; hands back the chosen entry's family, numeric
// text, port and socket type.
struct Resolved {
  KTStatus status = -1;
  int family = 0;
  int socktype = 0;
  int protocol = 0;
  std::string numeric;
  unsigned port = 0;
};

Resolved resolve(const char* host, unsigned short port, int protocol, KTLog* pLog = nullptr) {
  Resolved r;
  struct addrinfo* list = nullptr;
  struct addrinfo* chosen = nullptr;
  r.status = ResolveHostName(host, port, &list, &chosen, protocol, pLog);
  if (r.status != 0) {
    EXPECT_EQ(nullptr, list);
    EXPECT_EQ(nullptr, chosen);
    return r;
  }
  EXPECT_NE(nullptr, chosen);
  r.family = chosen->ai_family;
  r.socktype = chosen->ai_socktype;
  r.protocol = chosen->ai_protocol;
  char text[NI_MAXHOST];
  EXPECT_EQ(0, AddrInfoToNumericHost(chosen, text, sizeof(text), nullptr));
  r.numeric = text;
  if (chosen->ai_family == AF_INET) {
    r.port = ntohs(((struct sockaddr_in*)chosen->ai_addr)->sin_port);
  } else if (chosen->ai_family == AF_INET6) {
    r.port = ntohs(((struct sockaddr_in6*)chosen->ai_addr)->sin6_port);
  }
  freeaddrinfo(list);
  return r;
}

}  // namespace

TEST(ResolveHostNameTest, IPv4UnlessTheSwitchSaysOtherwise) {
  for (const char* value : {(const char*)nullptr, "0", ""}) {
    ScopedEnvVar ipv6(kIPv6Var, value);
    Resolved r = resolve("localhost", 8080, 0);
    ASSERT_EQ(0, r.status) << (value ? value : "unset");
    EXPECT_EQ(AF_INET, r.family);
    EXPECT_EQ("127.0.0.1", r.numeric);
    EXPECT_EQ(8080u, r.port);
  }
}

TEST(ResolveHostNameTest, SwitchOnSelectsIPv6Only) {
  ScopedEnvVar ipv6(kIPv6Var, "1");
  Resolved literal = resolve("::1", 0, 0);
  ASSERT_EQ(0, literal.status);
  EXPECT_EQ(AF_INET6, literal.family);
  EXPECT_EQ("::1", literal.numeric);
  // An IPv4-only host cannot be reached any more.
  Resolved v4 = resolve("127.0.0.1", 0, 0);
  EXPECT_TRUE(v4.status == ERROR_GETADDRINFO || v4.status == ERROR_NO_INETADDR) << v4.status;

  Resolved named = resolve("localhost", 0, 0);
  if (named.status != 0) GTEST_SKIP() << "localhost has no IPv6 address on this host";
  EXPECT_EQ(AF_INET6, named.family);
}

TEST(ResolveHostNameTest, ProtocolSelectsSocketType) {
  ScopedEnvVar ipv6(kIPv6Var, nullptr);
  Resolved udp = resolve("127.0.0.1", 53, KT_PROTOCOL_UDP);
  ASSERT_EQ(0, udp.status);
  EXPECT_EQ(SOCK_DGRAM, udp.socktype);
  EXPECT_EQ(IPPROTO_UDP, udp.protocol);
  for (int other : {0, 6, 16, 18}) {
    Resolved tcp = resolve("127.0.0.1", 53, other);
    ASSERT_EQ(0, tcp.status);
    EXPECT_EQ(SOCK_STREAM, tcp.socktype) << other;
  }
  Resolved max = resolve("127.0.0.1", 65535, 0);
  EXPECT_EQ(65535u, max.port);
}

TEST(ResolveHostNameTest, NullHostIsTheAnyAddress) {
  ScopedEnvVar ipv6(kIPv6Var, nullptr);
  Resolved any = resolve(nullptr, 4000, 0);
  ASSERT_EQ(0, any.status);
  EXPECT_EQ("0.0.0.0", any.numeric);
  EXPECT_EQ(4000u, any.port);
  // Neither a host nor a port: nothing to resolve, reported, not crashed.
  EXPECT_EQ(ERROR_GETADDRINFO, resolve(nullptr, 0, 0).status);
}

TEST(ResolveHostNameTest, FailuresAreLoggedAndReported) {
  ScopedEnvVar ipv6(kIPv6Var, nullptr);
  sockettest::FileLog log;
  EXPECT_EQ(ERROR_GETADDRINFO, resolve("no-such-host.invalid", 80, 0, log).status);
  EXPECT_TRUE(log.contains("ResolveHostName(no-such-host.invalid): getaddrinfo() failed (result="))
      << log.text();
  struct addrinfo* list = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ResolveHostName("localhost", 0, &list, nullptr, 0, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ResolveHostName("localhost", 0, nullptr, &list, 0, nullptr));
}

TEST(CResolveHostNameTest, ResolvesOrThrowsWithTheHostFirst) {
  ScopedEnvVar ipv6(kIPv6Var, nullptr);
  CResolveHostName resolved("localhost", 443, 0);
  ASSERT_NE(nullptr, resolved.addrInfo());
  EXPECT_EQ(AF_INET, resolved.addrInfo()->ai_family);
  try {
    CResolveHostName missing(std::string("no-such-host.invalid"), 80, 0);
    FAIL() << "no exception";
  } catch (const CSocketException& e) {
    EXPECT_EQ(0, strncmp(e.what(), "no-such-host.invalid", 20)) << e.what();
    EXPECT_NE(nullptr, strstr(e.what(), "status=11")) << e.what();
  }
}

TEST(CResolveHostNameTest, AddressFamilyOfHostTexts) {
  {
    ScopedEnvVar ipv6(kIPv6Var, nullptr);
    EXPECT_EQ(AF_INET, CResolveHostName::getAddressFamily("", 0));
    EXPECT_EQ(AF_INET6, CResolveHostName::getAddressFamily("fe80::1", 0));
    EXPECT_EQ(AF_INET, CResolveHostName::getAddressFamily("10.1.2.3", 0));
    EXPECT_EQ(AF_INET, CResolveHostName::getAddressFamily("localhost", 0));
    EXPECT_THROW(CResolveHostName::getAddressFamily("no-such-host.invalid", 0), CSocketException);
  }
  ScopedEnvVar ipv6(kIPv6Var, "yes");
  EXPECT_EQ(AF_INET6, CResolveHostName::getAddressFamily("", 0));
  // Literals are classified by their text, whatever the switch says.
  EXPECT_EQ(AF_INET, CResolveHostName::getAddressFamily("10.1.2.3", 0));
}
