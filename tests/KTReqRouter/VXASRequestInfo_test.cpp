// Tests of the C-callable request-description accessors, above all the limit lookups.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "ASRequestInfo.h"
#include "VXASRequestInfo.h"

namespace {

CASRequestInfo fromText(const std::string& text) {
  CASRequestInfo info;
  std::istringstream is(text);
  is >> info;
  return info;
}

TEST(VXASRequestInfo, TextAndNumberAccessorsReadTheDescription) {
  const CASRequestInfo info =
      fromText("10.0.0.7 1 3 shop1 /shop/index. html Pool1 Store1 S1 -1 -1 -1 6 /shop/index.html");
  EXPECT_STREQ("10.0.0.7", ASRequestInfoGetClientIP(&info));
  EXPECT_STREQ("S1", ASRequestInfoGetSiteGUID(&info));
  EXPECT_STREQ("Store1", ASRequestInfoGetStoreName(&info));
  EXPECT_STREQ("Pool1", ASRequestInfoGetPoolName(&info));
  EXPECT_STREQ("/shop/index.html", ASRequestInfoGetURI(&info));
  EXPECT_STREQ("shop1", ASRequestInfoGetHost(&info));
  EXPECT_STREQ("html", ASRequestInfoGetExtension(&info));
  EXPECT_EQ(6, ASRequestInfoGetExtMaxServers(&info));
  EXPECT_EQ(1, ASRequestInfoGetTries(&info));
  EXPECT_EQ(3, ASRequestInfoGetMaxTries(&info));
}

TEST(VXASRequestInfo, SiteLimitPrefersTheSitesOwnMaximum) {
  struct Case {
    int site;
    int poolPerSite;
    KTStatus status;
    int max;
    int special;
  };
  const Case cases[] = {
      {3, 5, STATUS_OK, 3, 1},
      {0, 5, STATUS_OK, 0, 1},  // 0 is a limit, not "unset"
      {-1, 5, STATUS_OK, 5, 0},
      {-7, 0, STATUS_OK, 0, 0},
      {-1, -1, ERROR_NO_SUCH_ELEMENT, 42, 42},  // outputs untouched
  };
  for (const Case& c : cases) {
    CASRequestInfo info;
    info.siteMaxServers = c.site;
    info.poolMaxServersPerSite = c.poolPerSite;
    int max = 42;
    int special = 42;
    EXPECT_EQ(c.status, ASRequestInfoGetMaxServerPerSite(&info, &max, &special))
        << c.site << " " << c.poolPerSite;
    EXPECT_EQ(c.max, max);
    EXPECT_EQ(c.special, special);
  }
}

TEST(VXASRequestInfo, ClientLimitIsSetFromZeroUp) {
  CASRequestInfo info;
  int max = 42;
  EXPECT_EQ(ERROR_NO_SUCH_ELEMENT, ASRequestInfoGetMaxServerPerClient(&info, &max));
  EXPECT_EQ(42, max);
  info.poolMaxServersPerClient = 0;
  EXPECT_EQ(STATUS_OK, ASRequestInfoGetMaxServerPerClient(&info, &max));
  EXPECT_EQ(0, max);
  info.poolMaxServersPerClient = 9;
  EXPECT_EQ(STATUS_OK, ASRequestInfoGetMaxServerPerClient(&info, &max));
  EXPECT_EQ(9, max);
}

TEST(VXASRequestInfo, MissingArgumentsNeverCrash) {
  const CASRequestInfo info;
  int max = 0;
  int special = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ASRequestInfoGetMaxServerPerSite(nullptr, &max, &special));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ASRequestInfoGetMaxServerPerSite(&info, nullptr, &special));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ASRequestInfoGetMaxServerPerSite(&info, &max, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ASRequestInfoGetMaxServerPerClient(nullptr, &max));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ASRequestInfoGetMaxServerPerClient(&info, nullptr));
  EXPECT_STREQ("", ASRequestInfoGetClientIP(nullptr));
  EXPECT_STREQ("", ASRequestInfoGetURI(nullptr));
  EXPECT_EQ(-1, ASRequestInfoGetExtMaxServers(nullptr));
  EXPECT_EQ(0, ASRequestInfoGetTries(nullptr));
  EXPECT_EQ(0, ASRequestInfoGetMaxTries(nullptr));
}

}  // namespace
