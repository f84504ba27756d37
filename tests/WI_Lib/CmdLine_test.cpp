// Tests of CCmdLine: word classification, stray values, repeated switches and
// the pop/peek/extra-option operations the entry point and controllers use.
#include "CmdLine.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

// Everything still in the command line, as an ordered map for comparison.
std::map<std::string, std::string> contents(const CCmdLine& cmd) {
  std::map<std::string, std::string> result;
  for (const std::string& key : cmd.getExtraOptions()) {
    std::string value;
    EXPECT_TRUE(cmd.peekOption(key, value)) << key;
    result[key] = value;
  }
  return result;
}

CCmdLine fromArgs(std::vector<const char*> args) {
  return CCmdLine(static_cast<int>(args.size()), args.data(), "-");
}

}  // namespace

TEST(CmdLineParse, SwitchesValuesAndStrayWords) {
  CCmdLine cmd = fromArgs({"prog", "-a", "1", "-b", "-c", "3", "x"});
  EXPECT_EQ("prog", cmd.getExeName());
  EXPECT_EQ(4u, cmd.getNumOptions());
  std::map<std::string, std::string> expected{{"-a", "1"}, {"-b", ""}, {"-c", "3"}, {"", "x"}};
  EXPECT_EQ(expected, contents(cmd));
}

TEST(CmdLineParse, LoneSwitchAndWordsWithoutSwitch) {
  EXPECT_EQ((std::map<std::string, std::string>{{"-a", ""}}), contents(fromArgs({"p", "-a"})));
  // Only the empty key survives, holding the last stray word.
  EXPECT_EQ((std::map<std::string, std::string>{{"", "three"}}),
            contents(fromArgs({"p", "one", "two", "three"})));
  // A value after a consumed value is stray again.
  EXPECT_EQ((std::map<std::string, std::string>{{"-a", "1"}, {"", "2"}}),
            contents(fromArgs({"p", "-a", "1", "2"})));
}

TEST(CmdLineParse, LastOccurrenceOfARepeatedSwitchCounts) {
  EXPECT_EQ((std::map<std::string, std::string>{{"-a", "2"}}),
            contents(fromArgs({"p", "-a", "1", "-a", "2"})));
  // A later valueless occurrence clears an earlier value.
  EXPECT_EQ((std::map<std::string, std::string>{{"-a", ""}, {"-b", ""}}),
            contents(fromArgs({"p", "-a", "1", "-a", "-b"})));
}

TEST(CmdLineParse, NegativeNumberIsASwitchNotAValue) {
  EXPECT_EQ((std::map<std::string, std::string>{{"-debug", ""}, {"-5", ""}}),
            contents(fromArgs({"p", "-debug", "-5"})));
}

TEST(CmdLineParse, EverySwitchCharacterOfTheSetCounts) {
  const char* args[] = {"p", "/x", "1", "+y", "-z"};
  CCmdLine cmd(5, args, "/+");
  EXPECT_EQ((std::map<std::string, std::string>{{"/x", "1"}, {"+y", "-z"}}), contents(cmd));
}

TEST(CmdLineParse, EmptyArgumentIsAValue) {
  EXPECT_EQ((std::map<std::string, std::string>{{"-log", ""}, {"", "x"}}),
            contents(fromArgs({"p", "-log", "", "x"})));
}

TEST(CmdLineParse, ProgramNameOnlyOrNothing) {
  CCmdLine onlyName = fromArgs({"prog"});
  EXPECT_EQ("prog", onlyName.getExeName());
  EXPECT_EQ(0u, onlyName.getNumOptions());

  CCmdLine none(0, static_cast<const char* const*>(nullptr), "-");
  EXPECT_EQ("", none.getExeName());
  EXPECT_EQ(0u, none.getNumOptions());
}

TEST(CmdLineParse, NullArgumentsAreSkipped) {
  CCmdLine cmd = fromArgs({nullptr, "-a", nullptr, "1"});
  EXPECT_EQ("", cmd.getExeName());
  EXPECT_EQ((std::map<std::string, std::string>{{"-a", "1"}}), contents(cmd));
}

TEST(CmdLineParse, TextIsSplitAtRunsOfWhiteSpace) {
  CCmdLine cmd("  -rr \t router1\r\n -x\t\t", "-");
  EXPECT_EQ("", cmd.getExeName());
  EXPECT_EQ((std::map<std::string, std::string>{{"-rr", "router1"}, {"-x", ""}}), contents(cmd));

  EXPECT_EQ(0u, CCmdLine("", "-").getNumOptions());
  EXPECT_EQ(0u, CCmdLine(" \t\n ", "-").getNumOptions());
}

TEST(CmdLineParseDeathTest, EmptySwitchCharacterSetEndsTheProcess) {
  EXPECT_EXIT(CCmdLine("-a", ""), ::testing::ExitedWithCode(1), "");
}

TEST(CmdLineAccess, PopAndPeek) {
  CCmdLine cmd = fromArgs({"p", "-a", "1", "-b"});
  std::string value = "untouched";
  EXPECT_FALSE(cmd.peekOption("-missing", value));
  EXPECT_FALSE(cmd.popOption("-missing", value));
  EXPECT_EQ("untouched", value);

  EXPECT_TRUE(cmd.peekOption("-a", value));
  EXPECT_EQ("1", value);
  EXPECT_TRUE(cmd.hasOption("-a"));

  EXPECT_TRUE(cmd.popOption("-a", value));
  EXPECT_EQ("1", value);
  EXPECT_FALSE(cmd.hasOption("-a"));
  EXPECT_FALSE(cmd.popOption("-a"));

  EXPECT_TRUE(cmd.popOption("-b"));
  EXPECT_EQ(0u, cmd.getNumOptions());
}

TEST(CmdLineAccess, PopWithDefault) {
  CCmdLine cmd = fromArgs({"p", "-a", "1", "-b"});
  std::string value;
  EXPECT_FALSE(cmd.popOption("-c", value, "dflt"));
  EXPECT_EQ("dflt", value);
  // Present without a value: the empty value wins over the default.
  EXPECT_TRUE(cmd.popOption("-b", value, "dflt"));
  EXPECT_EQ("", value);
  EXPECT_TRUE(cmd.popOption("-a", value, "dflt"));
  EXPECT_EQ("1", value);
}

TEST(CmdLineAccess, ExtraOptionsAreKeysOnly) {
  CCmdLine cmd = fromArgs({"p", "-debug", "16", "-console", "VEXORA_RR", "-x", "y", "stray"});
  EXPECT_TRUE(cmd.popOption("-debug"));
  EXPECT_TRUE(cmd.popOption("-console"));
  EXPECT_THAT(cmd.getExtraOptions(), UnorderedElementsAre("-x", ""));

  CCmdLine single = fromArgs({"p", "-only", "v"});
  EXPECT_THAT(single.getExtraOptions(), ElementsAre("-only"));
  single.popOption("-only");
  EXPECT_THAT(single.getExtraOptions(), IsEmpty());
}
