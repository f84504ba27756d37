// Tests of the installation environment: trailing-separator rules of the
// directories, the variable behind each operation, the unset-variable
// exception, IP list splitting and the IP binding flag.
#include "VexoraEnv.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KTStatus.h"
#include "ScopedEnvVar.h"
#include "TestSupport.h"
#include "WIException.h"

using envtest::ScopedEnvVar;
using testsupport::ErrorOf;

namespace {
typedef std::vector<std::string> Strings;
}

TEST(VexoraEnvTest, DirectoriesLoseOneTrailingSeparator) {
  const struct {
    const char* value;
    const char* expected;
  } cases[] = {
      {"/opt/x/config/", "/opt/x/config"},
      {"/opt/x/config", "/opt/x/config"},
      {"/", "/"},
      {"a/", "a/"},           // shorter than 3 characters: unchanged
      {"ab/", "ab"},
      {"/opt/x//", "/opt/x/"},  // only one separator goes
      {"C:\\dir\\", "C:\\dir"},
      {"logs/", "logs"},        // relative paths stay relative
      {"/a/./b/../c", "/a/./b/../c"},
      {"", ""},
  };
  for (const auto& c : cases) {
    ScopedEnvVar v("VEXORA_CONFIG", c.value);
    EXPECT_EQ(c.expected, CVexoraEnv::configDir()) << "'" << c.value << "'";
  }
  ScopedEnvVar v("VEXORA_CONFIG", "/opt/x/config/");
  EXPECT_EQ("/opt/x/config/ServerConfig.xml", CVexoraEnv::configDir() + "/ServerConfig.xml");
}

TEST(VexoraEnvTest, EachDirectoryReadsItsOwnVariable) {
  ScopedEnvVar base("VEXORA", "/base/");
  ScopedEnvVar log("VEXORA_LOG", "/log/");
  ScopedEnvVar config("VEXORA_CONFIG", "/config/");
  ScopedEnvVar web("VEXORA_WEBROOT", "/web/");
  ScopedEnvVar perl("VEXORA_PERL", "/perl/");
  ScopedEnvVar cartridges("VEXORA_CARTRIDGES", "/cartridges/");
  EXPECT_EQ("/base", CVexoraEnv::baseDir());
  EXPECT_EQ("/log", CVexoraEnv::logDir());
  EXPECT_EQ("/config", CVexoraEnv::configDir());
  EXPECT_EQ("/web", CVexoraEnv::webRootDir());
  EXPECT_EQ("/perl", CVexoraEnv::perlDir());
  EXPECT_EQ("/cartridges", CVexoraEnv::cartridgesDir());
  EXPECT_EQ("/log", CVexoraEnv::getEnvDir("VEXORA_LOG"));
}

TEST(VexoraEnvTest, UnsetVariablesRaiseWithTheirName) {
  ScopedEnvVar log("VEXORA_LOG", nullptr);
  ScopedEnvVar ips("VEXORA_IPLIST", nullptr);
  ScopedEnvVar perl("VEXORA_PERL", nullptr);
  EXPECT_EQ("Environment variable 'VEXORA_LOG' not found (status=1)",
            ErrorOf<CWIException>([] { CVexoraEnv::logDir(); }));
  EXPECT_EQ("Environment variable 'VEXORA_IPLIST' not found (status=1)",
            ErrorOf<CWIException>([] { CVexoraEnv::ipList(); }));
  EXPECT_THROW(CVexoraEnv::perlDir(), CWIException);
}

TEST(VexoraEnvTest, IPListSplitsAtBlanksTabsAndCommas) {
  {
    ScopedEnvVar v("VEXORA_IPLIST", "10.0.0.1, 10.0.0.2 ,\t10.0.0.3");
    EXPECT_EQ((Strings{"10.0.0.1", "10.0.0.2", "10.0.0.3"}), CVexoraEnv::ipList());
  }
  {
    ScopedEnvVar v("VEXORA_IPLIST", ",,host-a;x  ,");
    EXPECT_EQ((Strings{"host-a;x"}), CVexoraEnv::ipList()) << "entries are not checked";
  }
  for (const char* empty : {"", " \t, ,"}) {
    ScopedEnvVar v("VEXORA_IPLIST", empty);
    EXPECT_TRUE(CVexoraEnv::ipList().empty()) << "'" << empty << "'";
  }
}

TEST(VexoraEnvTest, IPBindingIsOneOrTrueInAnyCase) {
  for (const char* yes : {"1", "true", "TRUE", "True", "tRuE"}) {
    ScopedEnvVar v("VEXORA_IPBINDING", yes);
    EXPECT_TRUE(CVexoraEnv::ipBinding()) << yes;
  }
  for (const char* no : {"0", "yes", "", " 1", "true ", "11", "on"}) {
    ScopedEnvVar v("VEXORA_IPBINDING", no);
    EXPECT_FALSE(CVexoraEnv::ipBinding()) << "'" << no << "'";
  }
  ScopedEnvVar unset("VEXORA_IPBINDING", nullptr);
  EXPECT_FALSE(CVexoraEnv::ipBinding());
}
