// Tests of the host-text helpers: literal classification, the IPv6 switch
// and host comparison of literals and names.
#include "KTHostText.h"

#include <gtest/gtest.h>

#include "KTStatus.h"
#include "ScopedEnvVar.h"

using envtest::ScopedEnvVar;

namespace {
const char kIPv6Var[] = "VEXORA_ENABLE_IPv6";
}

TEST(IsIPTest, ClassifiesByCharactersOnly) {
  EXPECT_EQ(4, IsIP("192.168.1.20"));
  EXPECT_EQ(4, IsIP("10.0.1")) << "an incomplete dotted text still counts";
  EXPECT_EQ(4, IsIP("999.1.1.1"));
  EXPECT_EQ(6, IsIP("::1"));
  EXPECT_EQ(6, IsIP("host:8080")) << "any colon makes it IPv6";
  EXPECT_EQ(0, IsIP("localhost"));
  EXPECT_EQ(0, IsIP("10.0.0.1a"));
  EXPECT_EQ(0, IsIP(" 10.0.0.1"));
  EXPECT_EQ(0, IsIP(""));
  EXPECT_EQ(0, IsIP(nullptr));
}

TEST(IsIPv6EnabledTest, OnlyNonEmptyValuesOtherThanZero) {
  {
    ScopedEnvVar v(kIPv6Var, nullptr);
    EXPECT_FALSE(IsIPv6Enabled());
  }
  for (const char* off : {"", "0"}) {
    ScopedEnvVar v(kIPv6Var, off);
    EXPECT_FALSE(IsIPv6Enabled()) << "'" << off << "'";
  }
  for (const char* on : {"1", "00", "false", " 0"}) {
    ScopedEnvVar v(kIPv6Var, on);
    EXPECT_TRUE(IsIPv6Enabled()) << "'" << on << "'";
  }
}

TEST(CompareHostAddrTest, LiteralsAndNames) {
  ScopedEnvVar v(kIPv6Var, nullptr);
  EXPECT_EQ(0, CompareHostAddr("127.0.0.1", "localhost", nullptr));
  EXPECT_EQ(0, CompareHostAddr("localhost", "127.0.0.1", nullptr));
  EXPECT_EQ(0, CompareHostAddr("localhost", "localhost", nullptr));
  EXPECT_EQ(0, CompareHostAddr("10.0.0.1", "10.0.0.1", nullptr));
  EXPECT_NE(0, CompareHostAddr("10.0.0.1", "10.0.0.2", nullptr));
  // Two literals are compared as texts, never resolved.
  EXPECT_NE(0, CompareHostAddr("127.0.0.1", "127.000.0.1", nullptr));
  EXPECT_NE(0, CompareHostAddr("10.0.0.9", "localhost", nullptr));
  EXPECT_NE(0, CompareHostAddr("no-such-host.invalid", "localhost", nullptr));
  EXPECT_NE(0, CompareHostAddr("127.0.0.1", "no-such-host.invalid", nullptr));
  EXPECT_EQ(-1, CompareHostAddr("", "localhost", nullptr));
  EXPECT_EQ(-1, CompareHostAddr("", "", nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CompareHostAddr(nullptr, "localhost", nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CompareHostAddr("localhost", nullptr, nullptr));
}
