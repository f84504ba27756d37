// Tests of the request description: text form in both directions and URI splitting.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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

// ---------------------------------------------------------------------------
// The in-place scanner against a field-by-field std::istream reader: the
// reference below reads the text form the way the description was read
// before the scanner existed, and both must agree on every field, on the
// stream state and on where the reading stopped.

void RefText(std::istream& is, std::string& field) {
  std::string token;
  if (is >> token) field.swap(token);
}

void RefNumber(std::istream& is, int& field) {
  if (!is) return;
  is >> std::ws;
  if (is.eof()) {
    is.setstate(std::ios::failbit);
    return;
  }
  int value = 0;
  field = (is >> value) ? value : 0;
}

struct Outcome {
  CASRequestInfo info;
  bool failed = false;
  bool atEnd = false;
  long long position = -1;  // characters read
};

Outcome ReferenceRead(const std::string& text) {
  Outcome out;
  std::istringstream is(text);
  CASRequestInfo& i = out.info;
  RefText(is, i.clientIP);
  RefNumber(is, i.tries);
  RefNumber(is, i.maxTries);
  RefText(is, i.httpHost);
  RefText(is, i.uriPrefix);
  RefText(is, i.extension);
  RefText(is, i.poolName);
  RefText(is, i.storeName);
  RefText(is, i.siteGUID);
  RefNumber(is, i.siteMaxServers);
  RefNumber(is, i.poolMaxServersPerSite);
  RefNumber(is, i.poolMaxServersPerClient);
  RefNumber(is, i.extMaxServers);
  RefText(is, i.uri);
  if (i.uri.empty()) i.uri = i.uriPrefix + i.extension;
  out.failed = is.fail();
  out.atEnd = is.eof();
  out.position = is.rdbuf()->pubseekoff(0, std::ios::cur, std::ios::in);
  return out;
}

Outcome OperatorRead(const std::string& text) {
  Outcome out;
  out.info.poolName = "left over";
  out.info.extMaxServers = 42;
  std::istringstream is(text);
  is >> out.info;
  out.failed = is.fail();
  out.atEnd = is.eof();
  out.position = is.rdbuf()->pubseekoff(0, std::ios::cur, std::ios::in);
  return out;
}

std::string Show(const std::string& text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f) {
      shown += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    }
  }
  return "'" + shown + "'";
}

void ExpectSameFields(const CASRequestInfo& want, const CASRequestInfo& got, const std::string& text) {
  EXPECT_EQ(write(want), write(got)) << Show(text);
  EXPECT_EQ(want.uri, got.uri) << Show(text);  // the written form shortens it
}

// Scans text through scan(), through operator>>, and through scan() on a copy
// that is followed by more characters, and compares all three with the reference.
void ExpectLikeReference(const std::string& text) {
  const Outcome want = ReferenceRead(text);

  CASRequestInfo scanned;
  scanned.clientIP = "left over";
  std::size_t used = 12345;
  const bool complete = scanned.scan(text.data(), text.size(), &used);
  ExpectSameFields(want.info, scanned, text);
  EXPECT_EQ(!want.failed, complete) << Show(text);
  EXPECT_EQ(want.position, static_cast<long long>(used)) << Show(text);

  // The text need not end in a NUL: what lies behind `size` is never read.
  const std::string padded = text + "9 z";
  CASRequestInfo bounded;
  bounded.scan(padded.data(), text.size());
  ExpectSameFields(want.info, bounded, text);

  const Outcome got = OperatorRead(text);
  ExpectSameFields(want.info, got.info, text);
  EXPECT_EQ(want.failed, got.failed) << Show(text);
  EXPECT_EQ(want.atEnd, got.atEnd) << Show(text);
  EXPECT_EQ(want.position, got.position) << Show(text);
}

// Hand-picked texts: the datagram bodies of the fuzz corpus and the corners
// of white space, signs, int range and early ends.
const std::string kEdgeTexts[] = {
    "",
    " ",
    "\t\n\v\f\r ",
    "10.0.0.7 0 3 shop1 /shop/index. html Pool1 Store1 S1 -1 -1 -1 -1 /shop/index.html",
    "10.0.0.7 0 3 shop1 /shop/index. html Pool1 Store1 S1 -1 -1 -1 -1 /shop/index.html  \n",
    "10.0.0.7 0 3 shop1 /shop/index. html Pool1 Store1 S1 -1 -1 -1 -1 /a.b trailing words",
    "10.0.0.7 x 3 shop1",
    "10.0.0.7\t1\n3  shop1 /a. jsp P St Si 2 -1 4 1",
    "1.2.3.4 2147483648 -2147483649 h /p. e P S G +1 007 -0 5 /p.e?x=1/y",
    "c 0 1 h /x. y P S G -1 -1 -1 -1 /x.y/" + std::string(200, 'u'),
    "c 2147483647 -2147483648 h p e P S G 0 0 0 0 u",
    "c -2147483648 -00000000002147483648 h",
    "c 4294967297 1",
    "c 99999999999999999999999999 1",
    "c -99999999999999999999999999 1",
    "c - 1",
    "c + 1",
    "c -",
    "c +",
    "c +-1",
    "c --1",
    "c 1.5 3",
    "c 1,5 3",
    "c 0x10 3",
    "c 5x 3",
    "c 5 3x host",
    "c 5 3host p e P S G 1 2 3 4u",
    "c 5 3 h p e P S G 1 2 3 4",
    "c 5 3 h p e P S G 1 2 3 4 ",
    "c 5 3 h p e P S G 1 2 3",
    "c 5",
    "c 5 ",
    "c",
    "c ",
    "\xff\xfe 1 2 \xa0h",
    "c 1 2 h\xa0p e",
    "c\v1\f2\rh\np\te P S G 1 2 3 4 u",
};

TEST(ASRequestInfoScan, AgreesWithStreamReadingOnEdgeCases) {
  for (const std::string& text : kEdgeTexts) ExpectLikeReference(text);
  // NUL is an ordinary character to both readers.
  using namespace std::string_literals;
  ExpectLikeReference("c\0d 1 2 h\0 p"s);
  ExpectLikeReference("c 1\0 2"s);
}

TEST(ASRequestInfoScan, AgreesWithStreamReadingOnRandomTexts) {
  // Texts built from pieces that sit on the readers' decision points, and
  // texts of random bytes.
  const std::vector<std::string> pieces = {
      "0", "1", "-1", "+7", "007", "-0", "-", "+", "x", "5x", "1.5", "2147483647", "2147483648",
      "-2147483648", "-2147483649", "99999999999", "/a.", "html", "Pool1", "10.0.0.7", "/a.b?q",
      "\xff", std::string(1, '\0'), "",
  };
  const std::vector<std::string> gaps = {" ", "  ", "\t", "\n", "\r\n", "\v", "\f", ""};
  std::mt19937 rng(20261207);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int count = static_cast<int>(rng() % 18);
    for (int i = 0; i < count; ++i) {
      text += gaps[rng() % gaps.size()];
      text += pieces[rng() % pieces.size()];
    }
    if (rng() % 3 == 0) text += gaps[rng() % gaps.size()];
    ExpectLikeReference(text);
    if (::testing::Test::HasFailure()) return;
  }
  const char alphabet[] = " \t\n\v\f\r0123456789+-.x\xff";
  for (int round = 0; round < 2000; ++round) {
    std::string text(rng() % 40, ' ');
    for (char& c : text) c = alphabet[rng() % (sizeof alphabet - 1)];
    ExpectLikeReference(text);
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(ASRequestInfoScan, NumberScannerMatchesStreamIntRead) {
  const char* const texts[] = {"1", " 1 rest", "\n\t+1", "-0", "x", "", "  ", "-", "+",
                               "2147483647", "2147483648", "-2147483648", "-2147483649",
                               "4294967297", "00000000000000000000001", "12ab", "1.0"};
  for (const char* text : texts) {
    const std::string s = text;
    std::istringstream is(s);
    int want = 77;
    const bool wantOk = static_cast<bool>(is >> want);
    const long long wantPos = is.rdbuf()->pubseekoff(0, std::ios::cur, std::ios::in);

    std::size_t pos = 0;
    int got = 77;
    const CASRequestInfo::ScanResult result = CASRequestInfo::scanNumber(s.data(), s.size(), &pos, &got);
    EXPECT_EQ(wantOk, result == CASRequestInfo::SCAN_NUMBER) << Show(s);
    if (wantOk) {
      EXPECT_EQ(want, got) << Show(s);
    } else {
      EXPECT_EQ(77, got) << Show(s);  // a failed scan leaves the value alone
      EXPECT_EQ(s.find_first_not_of(" \t\n") == std::string::npos,
                result == CASRequestInfo::SCAN_END)
          << Show(s);
    }
    EXPECT_EQ(wantPos, static_cast<long long>(pos)) << Show(s);
  }
}

}  // namespace
