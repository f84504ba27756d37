// Tests of the exception family, the thread-body wrapper and the process log classes.
#include "WIException.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "KTLog.h"
#include "Log.h"
#include "ServiceException.h"
#include "TestSupport.h"

namespace {

// Messages of the log lines in `text`, without time, host and pid.
std::vector<std::string> LoggedMessages(const std::string& text) {
  std::vector<std::string> messages;
  for (const std::string& line : testsupport::Lines(text)) {
    size_t pidEnd = line.find("] ");
    messages.push_back(pidEnd == std::string::npos ? line : line.substr(pidEnd + 2));
  }
  return messages;
}

// Static objects of any source may log while the program starts, whether or
// not CLog::log has been constructed yet.
const bool gLogUsableDuringStartUp = [] {
  return CLog::get() != nullptr && KTLogWrite(CLog::log, "static start-up line") == 0;
}();

TEST(CLog, IsUsableFromStaticInitialisation) { EXPECT_TRUE(gLogUsableDuringStartUp); }

TEST(CWIException, MessageIsFormattedTextWithStatusSuffix) {
  CWIException e(5, "%s", "abc");
  EXPECT_STREQ(e.what(), "abc (status=5)");
  EXPECT_EQ(e.getStatus(), 5);
  CWIException negative(-1, "n=%d", 7);
  EXPECT_STREQ(negative.what(), "n=7 (status=-1)");
}

TEST(CWIException, NullFormatGivesFixedMessageWithoutSuffix) {
  CWIException e(9, nullptr);
  EXPECT_STREQ(e.what(), "NULL pointer passed to CWIException()");
  EXPECT_EQ(e.getStatus(), 9);
}

TEST(CWIException, LongTextIsCutAt8191CharactersBeforeTheSuffix) {
  std::string big(10000, 'm');
  CWIException e(2, "%s", big.c_str());
  EXPECT_EQ(std::string(e.what()), std::string(8191, 'm') + " (status=2)");
}

TEST(CWIExceptionLimited, KeepsKeyAndShortText) {
  CWIExceptionLimited e(110000, "key", "short", "full %d", 1);
  EXPECT_STREQ(e.what(), "full 1 (status=110000)");
  EXPECT_EQ(e.refKey(), "key");
  EXPECT_EQ(e.refMessage(), "short");
  CWIExceptionLimited noKey(1, nullptr, "short", "full");
  EXPECT_STREQ(noKey.what(), "NULL pointer passed to CWIExceptionLimited()");
  CWIExceptionLimited noFormat(1, "k", "s", nullptr);
  EXPECT_STREQ(noFormat.what(), "NULL pointer passed to CWIExceptionLimited()");
}

// The wrapper logs through CLog::log; its lines are sent to a file here.
class CatchWIExceptionTest : public ::testing::Test {
 protected:
  std::vector<std::string> Logged() const { return LoggedMessages(log_.text()); }
  testsupport::ProcessLog log_;
};

TEST_F(CatchWIExceptionTest, ReturnsZeroWhenTheBodyReturns) {
  bool ran = false;
  EXPECT_EQ(CatchWIException("body", [&] { ran = true; }), 0);
  EXPECT_TRUE(ran);
  EXPECT_TRUE(Logged().empty());
}

TEST_F(CatchWIExceptionTest, ReturnsStatusOfWIExceptionAndOneForOthers) {
  EXPECT_EQ(CatchWIException("a", [] { throw CWIException(110000, "limit %s", "hit"); }), 110000);
  EXPECT_EQ(CatchWIException("b", [] { throw CException("plain"); }), 1);
  EXPECT_EQ(CatchWIException("c", [] { throw CServiceException("service", 0); }), 1);
  EXPECT_EQ(CatchWIException("d", [] { throw std::runtime_error("std"); }), 1);
  EXPECT_EQ(CatchWIException("e", [] { throw 42; }), 1);
  EXPECT_EQ(CatchWIException(nullptr, [] { throw 42; }), 1);
  auto messages = Logged();
  std::vector<std::string> expected = {
      "a(): limit hit (status=110000)", "b(): plain", "c(): service", "d(): std",
      "e(): generic exception caught", "CatchWIExcpetion(): generic exception caught"};
  EXPECT_EQ(messages, expected);
}

TEST_F(CatchWIExceptionTest, ExceptionWithStatusZeroStillReportsFailure) {
  EXPECT_EQ(CatchWIException("z", [] { throw CWIException(0, "odd"); }), 1);
}

TEST_F(CatchWIExceptionTest, LimitedExceptionsAreRepeatSuppressed) {
  auto raise = [](const char* key) {
    return CatchWIException("worker", [key] { throw CWIExceptionLimited(7, key, key, "failed %s", key); });
  };
  EXPECT_EQ(raise("unique-key-1"), 7);
  EXPECT_EQ(raise("unique-key-1"), 7);
  EXPECT_EQ(raise("unique-key-2"), 7);
  auto messages = Logged();
  std::vector<std::string> expected = {"worker(): failed unique-key-1 (status=7)",
                                       "unique-key-1 - repeated 2 times",
                                       "worker(): failed unique-key-2 (status=7)"};
  EXPECT_EQ(messages, expected);
}

// A cancelled thread unwinds through the wrapper; swallowing the unwind would abort.
TEST_F(CatchWIExceptionTest, ThreadCancellationPassesThrough) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  struct Context {
    int readFd;
    KTStatus status;
  } context{fds[0], -5};
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, nullptr,
                [](void* arg) -> void* {
                  auto* ctx = static_cast<Context*>(arg);
                  ctx->status = CatchWIException("blocked", [ctx] {
                    char c;
                    (void)!read(ctx->readFd, &c, 1);  // cancellation point
                  });
                  return nullptr;
                },
                &context),
            0);
  ASSERT_EQ(pthread_cancel(thread), 0);
  void* result = nullptr;
  ASSERT_EQ(pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  EXPECT_EQ(context.status, -5);  // the wrapper never returned
  close(fds[0]);
  close(fds[1]);
}

TEST_F(CatchWIExceptionTest, LoggerWritesEverythingAsOneLine) {
  { CLogger() << "value=" << 42 << ' ' << 1.5 << " text"; }
  {
    CLogger logger;
    logger << "%s is not a format";
  }
  auto messages = Logged();
  std::vector<std::string> expected = {"value=42 1.5 text", "%s is not a format"};
  EXPECT_EQ(messages, expected);
}

TEST_F(CatchWIExceptionTest, LogSettersRaiseOnFailure) {
  EXPECT_EQ(testsupport::ErrorOf<CWIException>([] { CLog::log.setFileName(nullptr); }),
            "Can't set log file to '' (status=50000)");
  try {
    CLog::log.setFileHandle(nullptr);
    FAIL() << "no exception";
  } catch (KTStatus status) {
    EXPECT_EQ(status, ERROR_FILE);
  }
  // The failed calls kept the file as the target.
  KTLogWrite(CLog::log, "still here");
  auto messages = Logged();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "still here");
}

}  // namespace
