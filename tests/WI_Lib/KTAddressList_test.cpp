// Tests of the address lists: the text form, prefix edges in both families,
// IPv4 sources seen through a dual-stack socket, and resolved hosts.
#include "KTAddressList.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace {

// True when the numeric address text lies in the list.
bool Matches(const CAddressList& list, const std::string& text) {
  struct sockaddr_in in4 = {};
  struct sockaddr_in6 in6 = {};
  if (inet_pton(AF_INET, text.c_str(), &in4.sin_addr) == 1) {
    in4.sin_family = AF_INET;
    return list.matches(reinterpret_cast<const sockaddr*>(&in4), sizeof in4);
  }
  EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr), 1) << text;
  in6.sin6_family = AF_INET6;
  return list.matches(reinterpret_cast<const sockaddr*>(&in6), sizeof in6);
}

CAddressList Parsed(const std::string& text) {
  CAddressList list;
  EXPECT_TRUE(list.parse(text)) << text;
  return list;
}

TEST(AddressListTest, EntriesAreSeparatedByBlanksOrCommasInAnyMix) {
  CAddressList list = Parsed("10.1.0.0/16, 10.2.3.4 ::1\tfd00::/8,,");
  EXPECT_EQ(list.size(), 4u);
  EXPECT_TRUE(Matches(list, "10.1.255.7"));
  EXPECT_TRUE(Matches(list, "10.2.3.4"));
  EXPECT_TRUE(Matches(list, "::1"));
  EXPECT_TRUE(Matches(list, "fdff::9"));
  EXPECT_FALSE(Matches(list, "10.2.3.5"));
  EXPECT_FALSE(Matches(list, "10.0.0.1"));
  EXPECT_FALSE(Matches(list, "fe00::1"));
  EXPECT_FALSE(Matches(list, "::2"));
}

TEST(AddressListTest, PrefixEdgesHoldInsideBytesAndAtTheExtremes) {
  CAddressList odd = Parsed("192.168.4.0/22");
  EXPECT_TRUE(Matches(odd, "192.168.4.0"));
  EXPECT_TRUE(Matches(odd, "192.168.7.255"));
  EXPECT_FALSE(Matches(odd, "192.168.3.255"));
  EXPECT_FALSE(Matches(odd, "192.168.8.0"));
  // Host bits under the prefix do not matter.
  EXPECT_TRUE(Matches(Parsed("192.168.5.9/22"), "192.168.4.1"));
  EXPECT_TRUE(Matches(Parsed("0.0.0.0/0"), "203.0.113.9"));
  EXPECT_FALSE(Matches(Parsed("0.0.0.0/0"), "2001:db8::1"));  // one family only
  EXPECT_TRUE(Matches(Parsed("::/0"), "2001:db8::1"));
  EXPECT_FALSE(Matches(Parsed("10.0.0.1/32"), "10.0.0.0"));
  CAddressList v6 = Parsed("2001:db8:ab80::/41");
  EXPECT_TRUE(Matches(v6, "2001:db8:abff:ffff::1"));
  EXPECT_FALSE(Matches(v6, "2001:db8:ab7f::1"));
}

TEST(AddressListTest, MappedIPv4SourcesMatchIPv4EntriesAndMappedEntriesToo) {
  EXPECT_TRUE(Matches(Parsed("10.1.0.0/16"), "::ffff:10.1.2.3"));
  EXPECT_FALSE(Matches(Parsed("10.1.0.0/16"), "::ffff:10.2.2.3"));
  EXPECT_TRUE(Matches(Parsed("::ffff:10.1.0.0/112"), "10.1.9.9"));
  EXPECT_FALSE(Matches(Parsed("::/0"), "::ffff:10.1.2.3"));  // an IPv4 source stays IPv4
}

TEST(AddressListTest, MalformedTextIsRefusedNamingTheEntryAndChangesNothing) {
  for (const char* bad : {"", " , ", "10.1.0.0/33", "::/129", "10.1.0.0/", "10.1.0.0/x", "10.1.0.0/-1",
                          "10.1.0.0/16/2", "host.example", "10.1.2", "10.1.0.0;10.2.0.0", "1.2.3.4/0016"}) {
    EXPECT_FALSE(CAddressList::isValid(bad)) << bad;
  }
  CAddressList list = Parsed("10.0.0.1");
  std::string error;
  EXPECT_FALSE(list.parse("10.0.0.2, 10.0.0.300", &error));
  EXPECT_EQ(error, "'10.0.0.300' is no address or prefix");
  EXPECT_EQ(list.size(), 1u);
  EXPECT_FALSE(Matches(list, "10.0.0.2"));
  EXPECT_FALSE(list.parse(" ", &error));
  EXPECT_EQ(error, "the list has no entry");
}

TEST(AddressListTest, HostsAddEveryResolvedAddressAndUnknownOnesNothing) {
  CAddressList list;
  EXPECT_TRUE(list.addHost("127.0.0.5"));
  EXPECT_TRUE(list.addHost("localhost"));
  EXPECT_TRUE(Matches(list, "127.0.0.5"));
  EXPECT_TRUE(Matches(list, "127.0.0.1"));
  EXPECT_FALSE(Matches(list, "127.0.0.6"));
  const size_t before = list.size();
  EXPECT_FALSE(list.addHost("no-such-host.invalid"));
  EXPECT_EQ(list.size(), before);
}

TEST(AddressListTest, NullShortOrForeignAddressesMatchNothingAndPrintAsQuestionMark) {
  CAddressList list = Parsed("0.0.0.0/0 ::/0");
  struct sockaddr_in in4 = {};
  in4.sin_family = AF_INET;
  EXPECT_FALSE(list.matches(nullptr, sizeof in4));
  EXPECT_FALSE(list.matches(reinterpret_cast<const sockaddr*>(&in4), sizeof in4 - 1));
  struct sockaddr unix_like = {};
  unix_like.sa_family = AF_UNIX;
  EXPECT_FALSE(list.matches(&unix_like, sizeof unix_like));
  char text[64];
  KTAddressText(&unix_like, sizeof unix_like, text, sizeof text);
  EXPECT_STREQ(text, "?");
  struct sockaddr_in6 mapped = {};
  mapped.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "::ffff:10.9.9.9", &mapped.sin6_addr);
  KTAddressText(reinterpret_cast<const sockaddr*>(&mapped), sizeof mapped, text, sizeof text);
  EXPECT_STREQ(text, "10.9.9.9");
}

}  // namespace
