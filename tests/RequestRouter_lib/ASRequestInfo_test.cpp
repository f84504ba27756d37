// Tests of the request description: text form in both directions and URI splitting.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "ASRequestInfo.h"
#include "Exception.h"
#include "TestSupport.h"

namespace {

using testsupport::ErrorOf;

CASRequestInfo read(const std::string& text) {
  CASRequestInfo info;
  std::istringstream is(text);
  is >> info;
  return info;
}

std::string write(const CASRequestInfo& info) {
  std::ostringstream os;
  os << info;
  return os.str();
}

CASRequestInfo sample() {
  CASRequestInfo info("shop1", "/shop/index.html", "10.0.0.7", 1, 3);
  info.poolName = "Pool1";
  info.storeName = "Store1";
  info.siteGUID = "S1";
  info.siteMaxServers = 4;
  info.poolMaxServersPerSite = -1;
  info.poolMaxServersPerClient = 2;
  info.extMaxServers = 0;
  return info;
}

void expectDefaultsFrom(const CASRequestInfo& info, int firstDefaultNumber) {
  // The numbers in text order: tries, maxTries, then the four limits.
  const int numbers[] = {info.tries, info.maxTries, info.siteMaxServers,
                         info.poolMaxServersPerSite, info.poolMaxServersPerClient,
                         info.extMaxServers};
  const int defaults[] = {0, 0, -1, -1, -1, -1};
  for (int i = firstDefaultNumber; i < 6; ++i) EXPECT_EQ(defaults[i], numbers[i]) << "number " << i;
}

TEST(ASRequestInfoText, WritesFieldsInWireOrder) {
  EXPECT_EQ("10.0.0.7 1 3 shop1 /shop/index. html Pool1 Store1 S1 4 -1 2 0 /shop/index.html",
            write(sample()));
}

TEST(ASRequestInfoText, RoundTripKeepsEveryField) {
  const CASRequestInfo in = sample();
  const CASRequestInfo out = read(write(in));
  // The written form shows every field, so equal forms mean equal fields.
  EXPECT_EQ(write(in), write(out));
  EXPECT_EQ(in.uri, out.uri);
  EXPECT_EQ(in.siteMaxServers, out.siteMaxServers);
  EXPECT_EQ(in.extMaxServers, out.extMaxServers);
}

TEST(ASRequestInfoText, ReaderSkipsAnyWhiteSpace) {
  const CASRequestInfo info =
      read("  10.0.0.9\t0\n\n2 \r\n host  /a.  b P St Si -1\t-1 -1 5   /a.b\n");
  EXPECT_EQ("10.0.0.9", info.clientIP);
  EXPECT_EQ(2, info.maxTries);
  EXPECT_EQ("host", info.httpHost);
  EXPECT_EQ("Si", info.siteGUID);
  EXPECT_EQ(5, info.extMaxServers);
  EXPECT_EQ("/a.b", info.uri);
}

TEST(ASRequestInfoText, TextEndingEarlyLeavesDefaults) {
  CASRequestInfo info = read("");
  EXPECT_EQ("", info.clientIP);
  EXPECT_EQ("", info.uri);
  expectDefaultsFrom(info, 0);

  info = read("10.0.0.7 2");
  EXPECT_EQ("10.0.0.7", info.clientIP);
  EXPECT_EQ(2, info.tries);
  expectDefaultsFrom(info, 1);
  EXPECT_EQ("", info.poolName);

  info = read("10.0.0.7 0 3 shop1 /shop/index. html Pool1 Store1 S1 7");
  EXPECT_EQ(7, info.siteMaxServers);
  expectDefaultsFrom(info, 3);
  EXPECT_EQ("/shop/index.html", info.uri);  // missing URI: prefix + extension
}

TEST(ASRequestInfoText, NonNumberBecomesZeroAndEndsTheRead) {
  CASRequestInfo info = read("10.0.0.7 x 3 shop1 /p. e Pool1 Store1 S1 1 1 1 1 /p.e");
  EXPECT_EQ(0, info.tries);
  expectDefaultsFrom(info, 1);
  EXPECT_EQ("", info.httpHost);
  EXPECT_EQ("", info.uri);

  info = read("10.0.0.7 0 3 shop1 /p. e Pool1 Store1 S1 2 none 1 1 /p.e/long");
  EXPECT_EQ(2, info.siteMaxServers);
  EXPECT_EQ(0, info.poolMaxServersPerSite);
  expectDefaultsFrom(info, 4);
  EXPECT_EQ("/p.e", info.uri);  // the URI was never read

  // A number too large for an int is not a number either.
  info = read("10.0.0.7 0 99999999999 shop1 /p. e Pool1 Store1 S1 1 1 1 1 /p.e");
  EXPECT_EQ(0, info.maxTries);
  expectDefaultsFrom(info, 2);
}

TEST(ASRequestInfoText, ReadingStartsFromDefaults) {
  CASRequestInfo info = sample();
  std::istringstream is("10.0.0.8 1");
  is >> info;
  EXPECT_EQ("10.0.0.8", info.clientIP);
  EXPECT_EQ("", info.poolName);
  EXPECT_EQ("", info.uri);
  expectDefaultsFrom(info, 1);
}

TEST(ASRequestInfoText, LongUriIsShortenedOnlyBeyond150) {
  CASRequestInfo info = sample();
  const std::string uri150 = "/" + std::string(144, 'u') + ".html";
  ASSERT_EQ(150u, uri150.size());
  info.setUri(uri150);
  std::string text = write(info);
  EXPECT_EQ(" " + uri150, text.substr(text.size() - 151));

  const std::string uri151 = uri150 + "x";
  info.setUri(uri151);
  text = write(info);
  const std::string expected = uri151.substr(0, 147) + "...";
  ASSERT_GE(text.size(), 151u);
  EXPECT_EQ(" " + expected, text.substr(text.size() - 151));
  EXPECT_EQ(uri151, info.getUri());  // only the written form is cut
}

TEST(ASRequestInfoSplit, SplitsPrefixAndExtension) {
  CASRequestInfo info;
  info.setUri("/shop/index.html?x=1");
  EXPECT_EQ("/shop/index.", info.uriPrefix);
  EXPECT_EQ("html", info.extension);
  EXPECT_EQ("/shop/index.html?x=1", info.getUri());

  info.setUri("/servlet.do/more/path.txt");
  EXPECT_EQ("/servlet.", info.uriPrefix);
  EXPECT_EQ("do", info.extension);

  info.setUri("/a.");
  EXPECT_EQ("/a.", info.uriPrefix);
  EXPECT_EQ("", info.extension);

  const CASRequestInfo built("h", "/x/y.jsp", "1.2.3.4", 0, 2);
  EXPECT_EQ("/x/y.", built.uriPrefix);
  EXPECT_EQ("jsp", built.extension);
  EXPECT_EQ(-1, built.siteMaxServers);
  EXPECT_EQ(-1, built.poolMaxServersPerSite);
  EXPECT_EQ(-1, built.poolMaxServersPerClient);
  EXPECT_EQ(-1, built.extMaxServers);
}

TEST(ASRequestInfoSplit, DotPositionAndExtensionLengthLimits) {
  CASRequestInfo info;
  info.setUri(std::string(255, 'p') + ".html");
  EXPECT_EQ(256u, info.uriPrefix.size());
  info.setUri("/a." + std::string(20, 'e') + "?q");
  EXPECT_EQ(20u, info.extension.size());

  const std::string farDot = std::string(256, 'p') + ".html";
  EXPECT_EQ("CASRequestInfo::splitUri: no dot in uri: " + farDot, ErrorOf([&] { info.setUri(farDot); }));
  EXPECT_THROW(info.setUri("/no/dot/here"), CException);
  const std::string longExt = "/a." + std::string(21, 'e');
  EXPECT_EQ("CASRequestInfo::splitUri: uri extension is too long: " + longExt,
            ErrorOf([&] { info.setUri(longExt); }));
}

TEST(ASRequestInfoSplit, WhiteSpaceIsRefusedAndFailureChangesNothing) {
  CASRequestInfo info;
  info.setUri("/good.html");
  struct Case {
    std::string uri;
    std::string message;
  };
  const Case cases[] = {
      {"/bad path.html", "CASRequestInfo::splitUri: whitespace found in uriPrefix: "},
      {"/tab\t.html", "CASRequestInfo::splitUri: whitespace found in uriPrefix: "},
      {"/a.ht ml", "CASRequestInfo::splitUri: whitespace found in extension: "},
      {"/a.ht\r\n", "CASRequestInfo::splitUri: whitespace found in extension: "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.message + c.uri, ErrorOf([&] { info.setUri(c.uri); }));
    EXPECT_EQ("/good.html", info.getUri());
    EXPECT_EQ("/good.", info.uriPrefix);
    EXPECT_EQ("html", info.extension);
  }
  // splitUri works on the current URI and also leaves the parts alone on failure.
  info.uri = "nodot";
  EXPECT_THROW(info.splitUri(), CException);
  EXPECT_EQ("/good.", info.uriPrefix);
  info.uri = "/other.gif";
  info.splitUri();
  EXPECT_EQ("/other.", info.uriPrefix);
  EXPECT_EQ("gif", info.extension);
}

}  // namespace
