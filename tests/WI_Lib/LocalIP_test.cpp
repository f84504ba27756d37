// Tests of the local address list: its order (addresses, full name, short
// name, loopback address and name), the IPv6 additions, and the vector form.
#include "LocalIP.h"

#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KTStatus.h"
#include "ScopedEnvVar.h"
#include "WIException.h"

using envtest::ScopedEnvVar;

namespace {

typedef std::vector<std::string> Strings;
const char kIPv6Var[] = "VEXORA_ENABLE_IPv6";

std::string hostName() {
  char name[256] = {0};
  gethostname(name, sizeof(name) - 1);
  return name;
}

// The host name's addresses of one family as numeric texts, in resolver
// order; false when it does not resolve.
bool addressesOf(const std::string& host, int family, Strings* out) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  struct addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return false;
  for (struct addrinfo* e = list; e != nullptr; e = e->ai_next) {
    char text[NI_MAXHOST];
    if (getnameinfo(e->ai_addr, e->ai_addrlen, text, sizeof(text), nullptr, 0, NI_NUMERICHOST) == 0) {
      out->push_back(text);
    }
  }
  freeaddrinfo(list);
  return true;
}

Strings expectedNames(const std::string& host) {
  Strings names = {host};
  const std::string::size_type dot = host.find('.');
  if (dot != std::string::npos) names.push_back(host.substr(0, dot));
  names.push_back("127.0.0.1");
  names.push_back("localhost");
  return names;
}

}  // namespace

TEST(LocalIPTest, AddressesThenNamesThenLoopback) {
  ScopedEnvVar ipv6(kIPv6Var, nullptr);
  const std::string host = hostName();
  Strings expected;
  if (!addressesOf(host, AF_INET, &expected)) GTEST_SKIP() << "host name does not resolve";
  for (const std::string& name : expectedNames(host)) expected.push_back(name);

  CKTStringList list;
  ASSERT_EQ(0, GetLocalIPs(list.getList(), nullptr));
  EXPECT_EQ(expected, list.toStringVector());
  EXPECT_EQ(expected, GetLocalIPList());
}

TEST(LocalIPTest, AppendsBehindExistingEntries) {
  ScopedEnvVar ipv6(kIPv6Var, nullptr);
  CKTStringList list;
  ASSERT_EQ(0, KTStringListAdd(list.getList(), "already"));
  const KTStatus status = GetLocalIPs(list.getList(), nullptr);
  if (status != 0) GTEST_SKIP() << "host name does not resolve";
  const Strings all = list.toStringVector();
  ASSERT_GE(all.size(), 4u);
  EXPECT_EQ("already", all.front());
  EXPECT_EQ("localhost", all.back());
  EXPECT_EQ("127.0.0.1", all[all.size() - 2]);
}

TEST(LocalIPTest, IPv6AddsItsLoopbackNames) {
  ScopedEnvVar ipv6(kIPv6Var, "1");
  const std::string host = hostName();
  Strings expected;
  CKTStringList list;
  const KTStatus status = GetLocalIPs(list.getList(), nullptr);
  if (!addressesOf(host, AF_INET6, &expected)) {
    // Only IPv4 addresses: the failure is reported, the list stays empty.
    EXPECT_TRUE(status == ERROR_GETADDRINFO || status == ERROR_NO_INETADDR) << status;
    EXPECT_EQ(0, list.size());
    EXPECT_THROW(GetLocalIPList(), CWIException);
    GTEST_SKIP() << "host name has no IPv6 address";
  }
  ASSERT_EQ(0, status);
  for (const std::string& name : expectedNames(host)) expected.push_back(name);
  expected.push_back("::1");
  expected.push_back("ipv6-localhost");
  EXPECT_EQ(expected, list.toStringVector());
}

TEST(LocalIPTest, IPv6LoopbackNamesComeLast) {
  ScopedEnvVar ipv6(kIPv6Var, "1");
  CKTStringList list;
  ASSERT_EQ(0, GetLocalIPsOfHost("::1", list.getList(), nullptr));
  EXPECT_EQ((Strings{"::1", "::1", "127.0.0.1", "localhost", "::1", "ipv6-localhost"}),
            list.toStringVector());
}

TEST(LocalIPTest, NameWithDotsAddsThePartBeforeTheFirstDot) {
  ScopedEnvVar ipv6(kIPv6Var, nullptr);
  // A dotted literal is the one dotted name that resolves everywhere.
  CKTStringList list;
  ASSERT_EQ(0, GetLocalIPsOfHost("127.0.0.1", list.getList(), nullptr));
  EXPECT_EQ((Strings{"127.0.0.1", "127.0.0.1", "127", "127.0.0.1", "localhost"}),
            list.toStringVector());
}

TEST(LocalIPTest, UnresolvableNameAddsNothing) {
  ScopedEnvVar ipv6(kIPv6Var, nullptr);
  CKTStringList list;
  EXPECT_EQ(ERROR_GETADDRINFO, GetLocalIPsOfHost("no-such-host.invalid", list.getList(), nullptr));
  EXPECT_EQ(0, list.size());
}

TEST(LocalIPTest, NullArgumentsAreRejected) {
  CKTStringList list;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLocalIPs(nullptr, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLocalIPsOfHost(nullptr, list.getList(), nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLocalIPsOfHost("localhost", nullptr, nullptr));
}
