// Tests of CEnvVars and CScopedEnvChange against the real process environment.
#include "EnvVars.h"

#include <stdlib.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "KTStatus.h"
#include "TestSupport.h"
#include "WIException.h"

namespace {

using testsupport::ErrorOf;
using ::testing::EndsWith;

const char kVar[] = "KTRR_ENVVARS_TEST_VAR";

bool isSet(const char* name) { return getenv(name) != nullptr; }

class EnvVarsTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv(kVar); }
  void TearDown() override { unsetenv(kVar); }
};

}  // namespace

TEST_F(EnvVarsTest, GetReturnsValueAlsoWhenEmpty) {
  setenv(kVar, "abc", 1);
  EXPECT_EQ("abc", CEnvVars::get(kVar));
  EXPECT_EQ("abc", CEnvVars::get(std::string(kVar)));
  setenv(kVar, "", 1);
  EXPECT_EQ("", CEnvVars::get(kVar));
}

TEST_F(EnvVarsTest, GetOfUnsetVariableOrNullNameRaises) {
  EXPECT_EQ("Environment variable 'KTRR_ENVVARS_TEST_VAR' not found (status=1)",
            ErrorOf<CWIException>([] { CEnvVars::get(kVar); }));
  EXPECT_EQ("CEnvVars::get(): no varName supplied (status=5)",
            ErrorOf<CWIException>([] { CEnvVars::get(static_cast<const char*>(nullptr)); }));
}

TEST_F(EnvVarsTest, SetReplacesAndUnsetRemoves) {
  CEnvVars::set(kVar, "one");
  EXPECT_STREQ("one", getenv(kVar));
  CEnvVars::set(std::string(kVar), std::string("two"));
  EXPECT_STREQ("two", getenv(kVar));
  CEnvVars::set(kVar, static_cast<const char*>(nullptr));
  EXPECT_STREQ("", getenv(kVar));
  CEnvVars::unset(kVar);
  EXPECT_FALSE(isSet(kVar));
  EXPECT_NO_THROW(CEnvVars::unset(kVar));
  EXPECT_NO_THROW(CEnvVars::unset(""));
  EXPECT_NO_THROW(CEnvVars::unset(static_cast<const char*>(nullptr)));
}

TEST_F(EnvVarsTest, SetRefusesBadNames) {
  for (const char* bad : {"", "A=B"}) {
    EXPECT_THAT(ErrorOf<CWIException>([&] { CEnvVars::set(bad, "x"); }), EndsWith("(status=5)"))
        << "'" << bad << "'";
  }
  EXPECT_EQ("CEnvVars::set(): no varName supplied (status=5)",
            ErrorOf<CWIException>([] { CEnvVars::set(static_cast<const char*>(nullptr), "x"); }));
  EXPECT_FALSE(isSet("A"));
}

TEST_F(EnvVarsTest, ScopedChangeOfMissingVariableRemovesItAgain) {
  {
    CScopedEnvChange change(kVar, "/x", true);
    EXPECT_STREQ("/x", getenv(kVar));
  }
  EXPECT_FALSE(isSet(kVar));
  {
    CScopedEnvChange change(kVar, "v");
    EXPECT_STREQ("v", getenv(kVar));
  }
  EXPECT_FALSE(isSet(kVar));
}

TEST_F(EnvVarsTest, ScopedChangeRestoresExistingValue) {
  setenv(kVar, "/usr/bin", 1);
  {
    CScopedEnvChange append(kVar, ":/opt/bin", true);
    EXPECT_STREQ("/usr/bin:/opt/bin", getenv(kVar));
    {
      CScopedEnvChange replace(kVar, "inner");
      EXPECT_STREQ("inner", getenv(kVar));
    }
    EXPECT_STREQ("/usr/bin:/opt/bin", getenv(kVar));
  }
  EXPECT_STREQ("/usr/bin", getenv(kVar));

  // A variable set to the empty text exists: it is restored, not removed.
  setenv(kVar, "", 1);
  { CScopedEnvChange change(kVar, "x"); }
  ASSERT_TRUE(isSet(kVar));
  EXPECT_STREQ("", getenv(kVar));
}

TEST_F(EnvVarsTest, ScopedChangeWithBadNameRaises) {
  EXPECT_THROW(CScopedEnvChange("", "x"), CWIException);
}
