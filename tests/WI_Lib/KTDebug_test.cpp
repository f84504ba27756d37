// Tests of the debug trace (debugging build only) and of the assertion that ends the process.
#include "KTDebug.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using testsupport::Lines;
using testsupport::ReadFile;
using testsupport::TempDir;

class TraceTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

int CheckedValue(int value) {
  KT_ASSERT(value > 0, "KTDebugTestSource");
  return value;
}

using AssertDeathTest = TraceTest;

TEST_F(AssertDeathTest, FailedCheckWritesLineToStderrAndExitsWithOne) {
  EXPECT_EQ(CheckedValue(3), 3);
  EXPECT_EXIT(CheckedValue(0), ::testing::ExitedWithCode(1),
              "assertation \"value > 0\" failed in file KTDebugTestSource on line [0-9]+");
}

#ifdef KT_DEBUG_TRACE

TEST_F(AssertDeathTest, FailedCheckAlsoReachesTheTraceFile) {
  std::string base = dir_.file("assert");
  // The child traces to a file named after its own pid, so the parent
  // looks for the line in every file of the folder.
  EXPECT_EXIT(
      {
        KTDebugSetOutputFile(pKTDebug, base.c_str());
        CheckedValue(-1);
      },
      ::testing::ExitedWithCode(1), "assertation");
  bool found = false;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    std::string content = ReadFile(entry.path().string());
    if (content.find("assertation \"value > 0\" failed in file KTDebugTestSource") !=
        std::string::npos) {
      found = true;
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(pKTDebug->pOutfile, nullptr);  // the parent's trace is untouched
}

class KTDebugTest : public TraceTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(KTDebugNew(&debug_), STATUS_OK);
    stream_ = fopen(path_.c_str(), "w");
    ASSERT_NE(stream_, nullptr);
    KTDebugSetOutputFilehandle(debug_, stream_);
  }
  void TearDown() override {
    if (debug_ != nullptr) KTDebugFree(&debug_);
    if (stream_ != nullptr) fclose(stream_);
  }
  const std::string path_ = dir_.file("trace.txt");
  FILE* stream_ = nullptr;
  KTDebug* debug_ = nullptr;
};

TEST_F(KTDebugTest, NewTraceHasNoStreamAndEmptyMask) {
  KTDebug* fresh = nullptr;
  ASSERT_EQ(KTDebugNew(&fresh), STATUS_OK);
  EXPECT_EQ(fresh->pOutfile, nullptr);
  EXPECT_EQ(KTDebugGetLevel(fresh), KTDEBUG_NOLEVEL);
  EXPECT_EQ(KTDebugMsg(fresh, KTDEBUG_ANYLEVEL, "nowhere"), STATUS_OK);
  EXPECT_EQ(KTDebugNew(&fresh), ERROR_INVALID_PARAMETER);  // target must be null
  EXPECT_EQ(KTDebugFree(&fresh), STATUS_OK);
  EXPECT_EQ(fresh, nullptr);
}

TEST_F(KTDebugTest, MaskSelectsLevelsAndAnyLevelAlwaysPasses) {
  KTDebugSetLevel(debug_, KTDEBUG_RROUTER);
  EXPECT_EQ(KTDebugGetLevel(debug_), KTDEBUG_RROUTER);
  KTDebugMsg(debug_, KTDEBUG_CORE, "core %d", 1);
  KTDebugMsg(debug_, KTDEBUG_RROUTER, "router %d", 2);
  KTDebugMsg(debug_, KTDEBUG_ANYLEVEL, "any %s", "level");
  KTDebugMsg(debug_, KTDEBUG_NOLEVEL, "never");

  std::vector<std::string> lines = Lines(ReadFile(path_));
  ASSERT_EQ(lines.size(), 2u);
  std::string pid = std::to_string(getpid());
  std::regex shape("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[" + pid + "\\] (.*)$");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[0], match, shape)) << lines[0];
  EXPECT_EQ(match[1], "router 2");
  ASSERT_TRUE(std::regex_match(lines[1], match, shape)) << lines[1];
  EXPECT_EQ(match[1], "any level");
}

TEST_F(KTDebugTest, RawWriteUsesTheSameFilter) {
  KTDebugSetLevel(debug_, KTDEBUG_SOCKETRECV | KTDEBUG_CORE);
  KTDebugWrite(debug_, KTDEBUG_SOCKETRECV, "abc\0def", 1, 7);
  KTDebugWrite(debug_, KTDEBUG_SOCKETSEND, "hidden", 1, 6);
  KTDebugWrite(debug_, KTDEBUG_CORE, "xyxy", 2, 2);
  EXPECT_EQ(ReadFile(path_), std::string("abc\0defxyxy", 11));
}

TEST_F(KTDebugTest, OutputFileNameCarriesPidAndIsAppended) {
  std::string base = dir_.file("x.log");
  std::string expected = base + "_" + std::to_string(getpid()) + ".log";
  KTDebugSetLevel(debug_, KTDEBUG_CORE);
  ASSERT_EQ(KTDebugSetOutputFile(debug_, base.c_str()), STATUS_OK);
  EXPECT_EQ(debug_->hasOpened, 1);
  KTDebugMsg(debug_, KTDEBUG_CORE, "first");
  // Opening again closes the first stream and appends to the same file.
  ASSERT_EQ(KTDebugSetOutputFile(debug_, base.c_str()), STATUS_OK);
  KTDebugMsg(debug_, KTDEBUG_CORE, "second");
  std::string content = ReadFile(expected);
  EXPECT_NE(content.find("] first\n"), std::string::npos);
  EXPECT_NE(content.find("] second\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(base));
  // Handing in a stream closes the owned one and does not own the new one.
  KTDebugSetOutputFilehandle(debug_, stream_);
  EXPECT_EQ(debug_->hasOpened, 0);
}

TEST_F(KTDebugTest, UnopenableFileSilencesTheTrace) {
  std::string base = dir_.file("missing/dir/trace");
  EXPECT_NE(KTDebugSetOutputFile(debug_, base.c_str()), STATUS_OK);
  EXPECT_EQ(debug_->pOutfile, nullptr);
  EXPECT_EQ(KTDebugMsg(debug_, KTDEBUG_ANYLEVEL, "dropped"), STATUS_OK);
  EXPECT_EQ(ReadFile(path_), "");
}

TEST_F(KTDebugTest, ProcessWideTraceCannotBeFreed) {
  KTDebug* global = pKTDebug;
  EXPECT_EQ(KTDebugFree(&global), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(global, pKTDebug);
}

TEST_F(AssertDeathTest, NullTraceObjectEndsTheProcess) {
  EXPECT_EXIT(KTDebugMsg(nullptr, KTDEBUG_CORE, "x"), ::testing::ExitedWithCode(1),
              "assertation \".*\" failed in file KTDebug on line");
}

#endif  // KT_DEBUG_TRACE

}  // namespace
