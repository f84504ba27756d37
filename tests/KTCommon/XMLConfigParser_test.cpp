// XMLConfigParser_test.cpp - value parsers: numbers, booleans, addresses,
// integer lists and ranges, and the element/attribute wrappers with their
// exact messages.
#include "XMLConfigParser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "Exception.h"
#include "TestSupport.h"
#include "XMLTestSupport.h"

using namespace XMLConfig;
using XMLConfig::Parser::parseBool;
using XMLConfig::Parser::parseIntList;
using XMLConfig::Parser::parseIntRange;
using XMLConfig::Parser::parseIP;

namespace {

const int IntMin = std::numeric_limits<int>::min();
const int IntMax = std::numeric_limits<int>::max();

using testsupport::ErrorOf;
using xmltest::Doc;

TEST(ParseNumber, AcceptsSignsAndLeadingWhitespaceOnly) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {{"42", 42}, {" 42", 42}, {"\t42", 42}, {"+7", 7}, {"-1", -1}, {"0", 0},
               {"-2147483648", IntMin}, {"2147483647", IntMax}};
  for (const Case& c : cases) EXPECT_EQ(c.expected, Parser::parseNumber<int>(c.text, IntMin, IntMax)) << c.text;
}

TEST(ParseNumber, RefusesTrailingCharactersEmptyTextAndOverflow) {
  const char* bad[] = {"42 ", "42a", "", " ", "abc", "2147483648", "-2147483649", "4.2", "0x10", "--1"};
  for (const char* text : bad)
    EXPECT_EQ(std::string("Parser::parseNumber(): invalid value '") + text,
              ErrorOf([&] { Parser::parseNumber<int>(text, IntMin, IntMax); }))
        << "[" << text << "]";
  EXPECT_EQ("Parser::parseNumber(): can't parse NULL value",
            ErrorOf([] { Parser::parseNumber<int>(nullptr, 0, 1); }));
}

TEST(ParseNumber, BoundsAreInclusive) {
  EXPECT_EQ(1, Parser::parseNumber<int>("1", 1, 5));
  EXPECT_EQ(5, Parser::parseNumber<int>("5", 1, 5));
  EXPECT_EQ("Parser::parseNumber(): invalid value '0", ErrorOf([] { Parser::parseNumber<int>("0", 1, 5); }));
  EXPECT_EQ("Parser::parseNumber(): invalid value '6", ErrorOf([] { Parser::parseNumber<int>("6", 1, 5); }));
}

TEST(ParseNumber, Unsigned16BitStaysInItsRange) {
  EXPECT_EQ(65535, Parser::parseNumber<uint16_t>("65535", 0, 65535));
  EXPECT_EQ("Parser::parseNumber(): invalid value '65536",
            ErrorOf([] { Parser::parseNumber<uint16_t>("65536", 0, 65535); }));
  // A stream extraction into an unsigned type would wrap this to 65535.
  EXPECT_EQ("Parser::parseNumber(): invalid value '-1",
            ErrorOf([] { Parser::parseNumber<uint16_t>("-1", 0, 65535); }));
}

TEST(ParseBool, ExactLowerCaseWordsOnly) {
  for (const char* text : {"true", "on", "yes", "1"}) EXPECT_TRUE(parseBool(text)) << text;
  for (const char* text : {"false", "off", "no", "0"}) EXPECT_FALSE(parseBool(text)) << text;
  for (const char* text : {"Yes", "TRUE", " true", "true ", "", "2", "y"})
    EXPECT_EQ(std::string("XMLConfig::Parser::parseBool(): invalid boolean value '") + text + "'",
              ErrorOf([&] { parseBool(text); }));
  EXPECT_EQ("XMLConfig::Parser::parseBool(): invalid boolean value '(null)'",
            ErrorOf([] { parseBool(static_cast<const char*>(nullptr)); }));
}

TEST(ParseIP, LiteralsAndHostNames) {
  const std::string name255(255, 'a');
  const std::string name256(256, 'a');
  for (const std::string& ok : {std::string("localhost"), std::string("::1"), std::string("10.0.0.1"),
                                std::string("web-1.example.com"), name255, std::string("")})
    EXPECT_EQ(ok, parseIP(ok.c_str(), true, true));
  for (const std::string& bad : {name256, std::string("a_b"), std::string("a b"), std::string("host:x")})
    EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid hostname '" + bad + "'",
              ErrorOf([&] { parseIP(bad.c_str(), true, true); }));
  // Without the check any name passes; literals are never altered.
  EXPECT_EQ("a_b", parseIP("a_b", true, false));
  EXPECT_EQ("010.0.0.1", parseIP("010.0.0.1", true, true));
  EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid value 'localhost'",
            ErrorOf([] { parseIP("localhost", false, false); }));
  EXPECT_EQ("fe80::1", parseIP("fe80::1", false, false));
  EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid hostname '(null)'",
            ErrorOf([] { parseIP(static_cast<const char*>(nullptr), true, true); }));
}

TEST(ParseIntList, TokensRangesAndSeparators) {
  struct Case {
    const char* text;
    IntVector expected;
  } cases[] = {
      {"1,3-5 7", {1, 3, 4, 5, 7}},
      {"5-3", {5, 4, 3}},
      {"-2", {-2}},
      {"-5-3", {-5, -4, -3, -2, -1, 0, 1, 2, 3}},
      {"3--1", {3, 2, 1, 0, -1}},
      {",,,", {}},
      {"", {}},
      {" \t1\t,2,, 2 ", {1, 2, 2}},
      {"12abc", {12}},
      {"5-", {5}},
      {"7-7", {7}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, parseIntList(std::string(c.text), " ,\t")) << c.text;
}

TEST(ParseIntList, BadTokensNameTheToken) {
  EXPECT_EQ("parseIntRange(): invalid range 1-2-3", ErrorOf([] { parseIntList(std::string("1-2-3"), " ,\t"); }));
  EXPECT_EQ("parseIntList(): invalid integer value x", ErrorOf([] { parseIntList(std::string("1 x 2"), " ,\t"); }));
  EXPECT_EQ("parseIntRange(): invalid range a-b", ErrorOf([] { parseIntList(std::string("a-b"), " ,\t"); }));
  EXPECT_EQ("parseIntList(): invalid integer value 99999999999",
            ErrorOf([] { parseIntList(std::string("99999999999"), " ,\t"); }));
  EXPECT_EQ("parseIntRange(): invalid range 1-99999999999",
            ErrorOf([] { parseIntList(std::string("1-99999999999"), " ,\t"); }));
}

TEST(ParseIntRange, SplitPositionAndBothEnds) {
  EXPECT_EQ((IntVector{3, 4, 5}), parseIntRange(" 3-5", 2));
  EXPECT_EQ((IntVector{2, 1}), parseIntRange("2- 1", 1));
  for (const auto& c : std::vector<std::pair<std::string, size_t>>{
           {"1-2", 0}, {"1-2", std::string::npos}, {"", 0}, {"12-", 2}, {"3 -5", 2}, {"1-2x", 1}, {"1-2", 7}})
    EXPECT_EQ("parseIntRange(): invalid range " + c.first, ErrorOf([&] { parseIntRange(c.first, c.second); }))
        << c.first << " at " << c.second;
}

TEST(ParseIntList, BoundsApplyToExpandedValues) {
  EXPECT_EQ((IntVector{1, 2, 80}), parseIntList("1-2,80", 1, 65535));
  EXPECT_EQ((IntVector{65535, 65534}), parseIntList("65535-65534", 1, 65535));
  for (const char* text : {"0-2", "0", "65535-65536", "80 70000", "3-0"})
    EXPECT_EQ(std::string("XMLConfig::Parser::parseIntList(): value out of range in list ") + text,
              ErrorOf([&] { parseIntList(text, 1, 65535); }));
  // A token error wins over an earlier value out of range: the whole list is read first.
  EXPECT_EQ("parseIntList(): invalid integer value x", ErrorOf([] { parseIntList("0 x", 1, 65535); }));
  EXPECT_EQ("parseIntList(): invalid integer value (null)",
            ErrorOf([] { parseIntList(static_cast<const char*>(nullptr), 1, 2); }));
}

TEST(ParseIntList, HugeRangesAreJudgedWithoutExpandingThem) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("XMLConfig::Parser::parseIntList(): value out of range in list 1-2000000000",
            ErrorOf([] { parseIntList("1-2000000000", 1, 65535); }));
  EXPECT_NO_THROW(Parser::checkIntList("-2147483648-2147483647 5-2000000000", IntMin, IntMax));
  EXPECT_EQ("XMLConfig::Parser::parseIntList(): value out of range in list 2147483647--2147483648",
            ErrorOf([] { Parser::checkIntList("2147483647--2147483648", IntMin, 0); }));
  // Expanding four billion values would exhaust memory; the list is refused instead.
  EXPECT_EQ("XMLConfig::Parser::parseIntList(): too many values in list -2147483648-2147483647",
            ErrorOf([] { parseIntList("-2147483648-2147483647", IntMin, IntMax); }));
  EXPECT_EQ("parseIntRange(): too many values in range 0-2000000000",
            ErrorOf([] { parseIntRange("0-2000000000", 1); }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(Parser::MaxIntListValues, parseIntList(std::string("1-1048576"), " ").size());
}

TEST(Wrappers, NumbersFromElementsAndAttributes) {
  Doc doc("<n a=' 7' b='7 ' p='0' q='65535' r='65536'>12x</n>");
  const rapidxml::xml_node<>* n = doc.root();
  EXPECT_EQ(9, Parser::parseNumber<int>(nullptr, 9, 0, 10));
  EXPECT_EQ("Parser::parseNumber(): invalid value '12x' in node 'n",
            ErrorOf([&] { Parser::parseNumber<int>(n, 0, IntMin, IntMax); }));
  EXPECT_EQ(7, Parser::parseAttrNumber<int>(n, "a", 0, 0, 10));
  EXPECT_EQ(-3, Parser::parseAttrNumber<int>(n, "missing", -3, 0, 10));
  EXPECT_EQ("Parser::parseAttrNumber(): invalid value '7 ' in node 'n' attribute 'b'",
            ErrorOf([&] { Parser::parseAttrNumber<int>(n, "b", 0, 0, 10); }));
  EXPECT_EQ(0, Parser::parsePort(n, "missing"));
  EXPECT_EQ(65535, Parser::parsePort(n, "q"));
  EXPECT_EQ("Parser::parseAttrNumber(): invalid value '0' in node 'n' attribute 'p'",
            ErrorOf([&] { Parser::parsePort(n, "p"); }));
  EXPECT_EQ("Parser::parseAttrNumber(): invalid value '65536' in node 'n' attribute 'r'",
            ErrorOf([&] { Parser::parsePort(n, "r"); }));
  Doc empty("<e></e>");
  EXPECT_EQ("Parser::parseNumber(): invalid value '' in node 'e",
            ErrorOf([&] { Parser::parseNumber<int>(empty.root(), 0, IntMin, IntMax); }));
}

TEST(Wrappers, BooleansAddressesAndListsName) {
  Doc doc("<b on='yes' bad='TRUE' host='h_1' ports='1-3' range='0-2'>maybe</b>");
  const rapidxml::xml_node<>* b = doc.root();
  EXPECT_EQ("XMLConfig::Parser::parseBool(): invalid value 'maybe' in node 'b", ErrorOf([&] { parseBool(b); }));
  EXPECT_TRUE(parseBool(b, "on", false));
  EXPECT_FALSE(parseBool(b, "missing", false));
  EXPECT_EQ("XMLConfig::Parser::parseBool(): invalid value 'TRUE' in node 'b' attribute 'bad'",
            ErrorOf([&] { parseBool(b, "bad", true); }));

  EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid value 'maybe' in node 'b",
            ErrorOf([&] { parseIP(b, false, false); }));
  EXPECT_EQ("maybe", parseIP(b, true, true));
  EXPECT_EQ("", parseIP(b, "missing", true, true));
  EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid value 'h_1' in node 'b' attribute 'host'",
            ErrorOf([&] { parseIP(b, "host", true, true); }));

  EXPECT_EQ("XMLConfig::Parser::parseIntList(): invalid value 'maybe' in node 'b",
            ErrorOf([&] { parseIntList(b, 1, 10); }));
  EXPECT_EQ((IntVector{1, 2, 3}), parseIntList(b, "ports", 1, 10));
  EXPECT_EQ("XMLConfig::Parser::parseIntList(): missing value in node 'b' attribute 'missing'",
            ErrorOf([&] { parseIntList(b, "missing", 1, 10); }));
  EXPECT_EQ("XMLConfig::Parser::parseIntList(): invalid value '0-2' in node 'b' attribute 'range'",
            ErrorOf([&] { parseIntList(b, "range", 1, 10); }));
}

TEST(Wrappers, ValuesAreTakenAfterEntityExpansion) {
  Doc doc("<v n='&#32;5' t='1&#44;2'>&#49;0</v>");
  EXPECT_EQ(5, Parser::parseAttrNumber<int>(doc.root(), "n", 0, 0, 10));
  EXPECT_EQ((IntVector{1, 2}), parseIntList(doc.root(), "t", 0, 10));
  EXPECT_EQ(10, Parser::parseNumber<int>(doc.root(), 0, 0, 10));
}

}  // namespace
