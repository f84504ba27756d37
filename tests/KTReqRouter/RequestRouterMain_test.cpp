// Tests of the router's start-up helpers: option parsing, IP-list building
// and the router controller's usage text.
#include "RequestRouterMain.h"

#include <stdlib.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CmdLine.h"
#include "EnvVars.h"
#include "Exception.h"
#include "TestSupport.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

CCmdLine makeCmdLine(std::vector<const char*> args) {
  args.insert(args.begin(), "KTReqRouter");
  return CCmdLine(static_cast<int>(args.size()), args.data(), "-");
}

// The message of the CException raised by parseCommandLine, or "<none>".
std::string parseError(std::vector<const char*> args) {
  CCmdLine cmd = makeCmdLine(std::move(args));
  return testsupport::ErrorOf([&] { parseCommandLine(cmd); });
}

const char kBadDebug[] = "parseCommandLine(): invalid value for parameter -debug";
const char kNoLog[] = "parseCommandLine(): Used '-log' option without passing a file name";
const char kNoDebugLog[] =
    "parseCommandLine(): Used '-debuglog' option without passing a file name";
const char kNoIPList[] =
    "parseCommandLine(): Used '-iplist' option without passig an ip address list";

using testsupport::Lines;

}  // namespace

TEST(ParseCommandLine, NoRouterOptionsLeavesEverythingForTheController) {
  CCmdLine cmd = makeCmdLine({"-console", "VEXORA_RR"});
  CmdLineArguments args = parseCommandLine(cmd);
  EXPECT_FALSE(args.setDebugLevel);
  EXPECT_EQ(0, args.debugLevel);
  EXPECT_FALSE(args.setLogFilename);
  EXPECT_FALSE(args.setDebugLogFilename);
  EXPECT_FALSE(args.setIPList);
  EXPECT_THAT(cmd.getExtraOptions(), ElementsAre("-console"));
}

TEST(ParseCommandLine, AllOptionsAreTakenOffTheCommandLine) {
  CCmdLine cmd = makeCmdLine({"-debug", "16", "-log", "a.log", "-debuglog", "dbg", "-iplist",
                              "10.0.0.1,10.0.0.2", "-status"});
  CmdLineArguments args = parseCommandLine(cmd);
  EXPECT_TRUE(args.setDebugLevel);
  EXPECT_EQ(16, args.debugLevel);
  EXPECT_TRUE(args.setLogFilename);
  EXPECT_EQ("a.log", args.logFilename);
  EXPECT_TRUE(args.setDebugLogFilename);
  EXPECT_EQ("dbg", args.debugLogFilename);
  EXPECT_TRUE(args.setIPList);
  EXPECT_EQ("10.0.0.1,10.0.0.2", args.iplist);
  EXPECT_THAT(cmd.getExtraOptions(), ElementsAre("-status"));
}

TEST(ParseCommandLine, DebugValueConversion) {
  // Leading blanks and a sign are accepted; conversion stops at the first
  // non-digit, so "0x10" is 0.
  struct Case {
    const char* value;
    int expected;
  } cases[] = {{"0x10", 0},   {"32", 32}, {"16abc", 16}, {" +7", 7},
               {"\t -3", -3}, {"2147483647", 2147483647}, {" -2147483648", -2147483647 - 1}};
  for (const Case& c : cases) {
    CCmdLine cmd = makeCmdLine({"-debug", c.value});
    CmdLineArguments args = parseCommandLine(cmd);
    EXPECT_TRUE(args.setDebugLevel) << c.value;
    EXPECT_EQ(c.expected, args.debugLevel) << c.value;
  }
}

TEST(ParseCommandLine, InvalidDebugValues) {
  EXPECT_EQ(kBadDebug, parseError({"-debug"}));
  EXPECT_EQ(kBadDebug, parseError({"-debug", "abc"}));
  EXPECT_EQ(kBadDebug, parseError({"-debug", ""}));
  EXPECT_EQ(kBadDebug, parseError({"-debug", " + 5"}));
  EXPECT_EQ(kBadDebug, parseError({"-debug", "2147483648"}));
  EXPECT_EQ(kBadDebug, parseError({"-debug", " -2147483649"}));
  EXPECT_EQ(kBadDebug, parseError({"-debug", "99999999999999999999999"}));
  // A negative number is a switch of its own, so "-debug" has no value.
  EXPECT_EQ(kBadDebug, parseError({"-debug", "-5"}));
  EXPECT_EQ(kBadDebug, parseError({"-d", "-console"}));
}

TEST(ParseCommandLine, ShortDebugFormAndPrecedence) {
  CCmdLine shortForm = makeCmdLine({"-d", "32"});
  CmdLineArguments args = parseCommandLine(shortForm);
  EXPECT_TRUE(args.setDebugLevel);
  EXPECT_EQ(32, args.debugLevel);
  EXPECT_EQ(0u, shortForm.getNumOptions());

  // "-debug" wins; "-d" stays for the controller as an extra option.
  CCmdLine both = makeCmdLine({"-d", "32", "-debug", "16"});
  args = parseCommandLine(both);
  EXPECT_EQ(16, args.debugLevel);
  std::string value;
  EXPECT_TRUE(both.peekOption("-d", value));
  EXPECT_EQ("32", value);
}

TEST(ParseCommandLine, ShortFormsOfLogAndIPList) {
  CCmdLine cmd = makeCmdLine({"-l", "x.log", "-i", "127.0.0.1"});
  CmdLineArguments args = parseCommandLine(cmd);
  EXPECT_TRUE(args.setLogFilename);
  EXPECT_EQ("x.log", args.logFilename);
  EXPECT_TRUE(args.setIPList);
  EXPECT_EQ("127.0.0.1", args.iplist);
  EXPECT_EQ(0u, cmd.getNumOptions());
}

TEST(ParseCommandLine, FileAndListOptionsNeedAValue) {
  EXPECT_EQ(kNoLog, parseError({"-log"}));
  EXPECT_EQ(kNoLog, parseError({"-log", "-console"}));
  EXPECT_EQ(kNoLog, parseError({"-l"}));
  EXPECT_EQ(kNoDebugLog, parseError({"-debuglog"}));
  EXPECT_EQ(kNoDebugLog, parseError({"-debuglog", "-start"}));
  EXPECT_EQ(kNoIPList, parseError({"-iplist"}));
  EXPECT_EQ(kNoIPList, parseError({"-iplist", "-status"}));
  EXPECT_EQ(kNoIPList, parseError({"-i", "-d", "1"}));
  // Checked in the order log, debuglog, iplist.
  EXPECT_EQ(kNoLog, parseError({"-iplist", "-debuglog", "-log"}));
  EXPECT_EQ(kNoDebugLog, parseError({"-iplist", "-debuglog"}));
  // The debug value is checked before everything else.
  EXPECT_EQ(kBadDebug, parseError({"-log", "-debug", "x"}));
}

TEST(IPList, SplitsAtRunsOfBlanksTabsAndCommas) {
  EXPECT_THAT(splitIPList("10.0.0.1,10.0.0.2"), ElementsAre("10.0.0.1", "10.0.0.2"));
  EXPECT_THAT(splitIPList(" \t,10.0.0.1, ,\t10.0.0.2 , 10.0.0.3,,"),
              ElementsAre("10.0.0.1", "10.0.0.2", "10.0.0.3"));
  EXPECT_THAT(splitIPList("host-a"), ElementsAre("host-a"));
  EXPECT_THAT(splitIPList(""), IsEmpty());
  EXPECT_THAT(splitIPList(" ,\t, "), IsEmpty());
}

TEST(IPList, GivenTextIsUsedAsIs) {
  CScopedEnvChange env("VEXORA_IPLIST", "192.168.1.1");
  EXPECT_THAT(parseIPList("10.0.0.1 10.0.0.2"), ElementsAre("10.0.0.1", "10.0.0.2"));
  // A text of separators only yields no address rather than the fallbacks.
  EXPECT_THAT(parseIPList(",,"), IsEmpty());
}

TEST(IPList, EmptyTextFallsBackToTheEnvironment) {
  CScopedEnvChange env("VEXORA_IPLIST", "10.0.0.1, 10.0.0.2 ,10.0.0.3");
  EXPECT_THAT(parseIPList(""), ElementsAre("10.0.0.1", "10.0.0.2", "10.0.0.3"));
}

TEST(IPList, WithoutEnvironmentTheLocalAddressesAreUsed) {
  // Remove the variable for this test only; the scoped change restores it.
  CScopedEnvChange env("VEXORA_IPLIST", "");
  unsetenv("VEXORA_IPLIST");
  std::vector<std::string> list = parseIPList("");
  EXPECT_THAT(list, Contains("127.0.0.1"));
  EXPECT_THAT(list, Contains("localhost"));
}

TEST(Usage, RouterOptionLinesAreRightAlignedIn34Columns) {
  EXPECT_THAT(Lines(routerOptionsUsage()),
              ElementsAre("                          -debug: set debug level",
                          "                       -debuglog: debug log file prefix",
                          "                            -log: use alternate log file",
                          "                         -iplist: set the IP address to look up "
                          "in the config file",
                          "                          -check: check the configuration and exit"));
  const std::string usage = routerOptionsUsage();
  EXPECT_EQ('\n', usage.back());
  // Every description starts in column 35, right after the label field.
  for (const std::string& line : Lines(usage)) EXPECT_EQ(34u, line.find(": ") + 2) << line;
}

TEST(Usage, ControllerUsageIsFollowedByABlankLineAndTheRouterOptions) {
  const std::string general = "      -status: Show service status\n";
  EXPECT_EQ(general + "\n" + routerOptionsUsage(), routerControllerUsage(general));
  EXPECT_EQ("\n" + routerOptionsUsage(), routerControllerUsage(""));
}
