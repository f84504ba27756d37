// Tests of the log: line format, cut, file/stream/fallback targets, repeat suppression
// and lines written at the descriptor limit.
#include "KTLog.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "KTFile.h"
#include "TestSupport.h"

namespace {

using testsupport::Lines;
using testsupport::ReadFile;
using testsupport::TempDir;

std::string HostName() {
  char host[1024] = "";
  gethostname(host, sizeof(host) - 1);
  return host;
}

// The part of a line after "<date> <time> (<host>) [<pid>] ", checking that prefix.
std::string Message(const std::string& line, pid_t pid = getpid()) {
  static const std::regex time("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} ");
  EXPECT_TRUE(std::regex_search(line, time)) << line;
  std::string prefix = "(" + HostName() + ") [" + std::to_string(pid) + "] ";
  if (line.size() < 20 || line.compare(20, prefix.size(), prefix) != 0) {
    ADD_FAILURE() << "bad prefix: " << line;
    return "";
  }
  return line.substr(20 + prefix.size());
}

class KTLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(KTLogNew(&log_), 0);
    ASSERT_EQ(KTLogSetOutputFile(log_, logFile_.c_str()), 0);
  }
  void TearDown() override {
    if (log_ != nullptr) KTLogFree(&log_);
  }
  std::vector<std::string> LogLines() { return Lines(ReadFile(logFile_)); }

  TempDir dir_;
  const std::string logFile_ = dir_.file("test.log");
  KTLog* log_ = nullptr;
};

TEST_F(KTLogTest, LineHasTimeHostPidAndMessage) {
  EXPECT_EQ(KTLogWrite(log_, "hello %s %d", "world", 42), 0);
  std::string content = ReadFile(logFile_);
  ASSERT_FALSE(content.empty());
  EXPECT_EQ(content.back(), '\n');
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Message(lines[0]), "hello world 42");
}

TEST_F(KTLogTest, FileIsReopenedForEveryLineAndGetsMode0660) {
  KTLogWrite(log_, "first");
  struct stat st;
  ASSERT_EQ(stat(logFile_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  // The log keeps no descriptor of the file: a removed file is recreated by the next line.
  ASSERT_EQ(unlink(logFile_.c_str()), 0);
  KTLogWrite(log_, "second");
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Message(lines[0]), "second");
  KTLogWrite(log_, "third");
  EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(KTLogTest, LongMessageIsCutAt8191BytesEndingInLineFeed) {
  std::string big(10000, 'x');
  KTLogWrite(log_, "%s", big.c_str());
  std::string content = ReadFile(logFile_);
  ASSERT_EQ(content.size(), 8191u);
  EXPECT_EQ(content.back(), '\n');
  EXPECT_EQ(content.find('\n'), 8190u);
}

TEST_F(KTLogTest, LineOfExactly8191BytesIsNotCut) {
  KTLogWrite(log_, "m");
  size_t prefix = ReadFile(logFile_).size() - 2;  // everything before "m\n"
  unlink(logFile_.c_str());
  // 8190 characters plus the line feed fit completely.
  std::string fits(8190 - prefix, 'y');
  KTLogWrite(log_, "%s", fits.c_str());
  std::string content = ReadFile(logFile_);
  EXPECT_EQ(content.size(), 8191u);
  EXPECT_EQ(content.substr(content.size() - 2), "y\n");
  unlink(logFile_.c_str());
  // One character more loses its last character to the line feed.
  std::string over = fits + "z";
  KTLogWrite(log_, "%s", over.c_str());
  content = ReadFile(logFile_);
  EXPECT_EQ(content.size(), 8191u);
  EXPECT_EQ(content.substr(content.size() - 2), "y\n");
}

TEST_F(KTLogTest, UnopenableFileDivertsEachLineToFallbackWithErrorLine) {
  std::string fallbackPath = dir_.file("fallback.txt");
  KTFile* fallback = nullptr;
  ASSERT_EQ(KTFileOpen(&fallback, fallbackPath.c_str(), "w"), 0);
  std::string missing = dir_.file("no/such/dir/x.log");
  ASSERT_EQ(KTLogSetOutputFile(log_, missing.c_str()), 0);
  ASSERT_EQ(KTLogSetFallbackFilehandle(log_, fallback), 0);

  EXPECT_EQ(KTLogWrite(log_, "one"), 0);
  EXPECT_EQ(KTLogWrite(log_, "two"), 0);
  KTFileClose(&fallback);

  auto lines = Lines(ReadFile(fallbackPath));
  ASSERT_EQ(lines.size(), 4u);
  std::string errorText = "(" + HostName() + ") KTLogWrite(): error opening file " + missing +
                          " (No such file or directory)";
  EXPECT_EQ(lines[0].substr(20), errorText);
  EXPECT_EQ(Message(lines[1]), "one");
  EXPECT_EQ(lines[2].substr(20), errorText);
  EXPECT_EQ(Message(lines[3]), "two");
}

TEST_F(KTLogTest, UnopenableFileWithoutFallbackWritesNothingButSucceeds) {
  std::string missing = dir_.file("missing/x.log");
  ASSERT_EQ(KTLogSetOutputFile(log_, missing.c_str()), 0);
  EXPECT_EQ(KTLogWrite(log_, "lost"), 0);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(KTLogTest, StreamReplacesFileNameAndFileNameReplacesStream) {
  std::string streamPath = dir_.file("stream.txt");
  KTFile* stream = nullptr;
  ASSERT_EQ(KTFileOpen(&stream, streamPath.c_str(), "w"), 0);
  ASSERT_EQ(KTLogSetOutputFilehandle(log_, stream), 0);
  EXPECT_EQ(log_->filename, nullptr);
  KTLogWrite(log_, "to stream");
  ASSERT_EQ(KTLogSetOutputFile(log_, logFile_.c_str()), 0);
  EXPECT_EQ(log_->pOutfile, nullptr);
  KTLogWrite(log_, "to file");
  // The stream was borrowed: the log must not have closed it.
  size_t length = 3;
  EXPECT_EQ(KTFileWrite(stream, "end", &length), 0);
  KTFileClose(&stream);

  auto streamLines = Lines(ReadFile(streamPath));
  ASSERT_EQ(streamLines.size(), 2u);
  EXPECT_EQ(Message(streamLines[0]), "to stream");
  EXPECT_EQ(streamLines[1], "end");
  auto fileLines = LogLines();
  ASSERT_EQ(fileLines.size(), 1u);
  EXPECT_EQ(Message(fileLines[0]), "to file");
}

TEST_F(KTLogTest, MisuseIsRefused) {
  EXPECT_EQ(KTLogWrite(nullptr, "x"), 0);
  EXPECT_EQ(KTLogWriteLimited(nullptr, "k", "m", "x"), 0);
  EXPECT_EQ(KTLogWrite(log_, nullptr), -1);
  EXPECT_EQ(KTLogWriteLimited(log_, "k", "m", nullptr), -1);
  EXPECT_EQ(KTLogSetOutputFile(log_, nullptr), -1);
  EXPECT_EQ(KTLogSetOutputFilehandle(log_, nullptr), -1);
  EXPECT_EQ(KTLogSetFallbackFilehandle(log_, nullptr), -1);
  KTLog* other = log_;
  EXPECT_EQ(KTLogNew(&other), -1);  // target must be null
  EXPECT_EQ(KTLogFree(nullptr), -1);
  // The misuse of the log itself is reported in the log.
  auto lines = LogLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Message(lines[0]), "KTLogWrite(): wrong arguments passed to procedure");
  EXPECT_EQ(Message(lines[1]), "KTLogWriteLimited(): wrong arguments passed to procedure");
  EXPECT_EQ(Message(lines[2]), "KTLogSetOutputFile(): wrong arguments passed to procedure");
  // The failed calls left the file name in place.
  EXPECT_STREQ(log_->filename, logFile_.c_str());
}

// A run of equal keys is written once and closed by a repeat line when the
// key changes; a null key counts as the empty one.
TEST_F(KTLogTest, LimitedRunsAreReportedWhenTheKeyChanges) {
  struct Call {
    const char* key;
    const char* shortText;
    const char* message;
  };
  struct Case {
    std::vector<Call> calls;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {{{"A", "short A", "message A 1"}, {"A", "short A", "message A 2"},
        {"A", "short A", "message A 3"}, {"B", "short B", "message B"}},
       {"message A 1", "short A - repeated 3 times", "message B"}},
      // Single messages have no repeat line.
      {{{"A", "short A", "message A"}, {"B", "short B", "message B"},
        {"A", "short A", "message A again"}},
       {"message A", "message B", "message A again"}},
      // The first message is written even with an empty key.
      {{{"", "empty", "first"}, {"", "empty", "second"}, {nullptr, nullptr, "third"},
        {"x", "x", "other"}},
       {"first", "empty - repeated 3 times", "other"}},
  };
  for (const Case& c : cases) {
    unlink(logFile_.c_str());  // each case reads only its own lines
    for (const Call& call : c.calls) KTLogWriteLimited(log_, call.key, call.shortText, "%s", call.message);
    auto lines = LogLines();
    ASSERT_EQ(lines.size(), c.messages.size()) << c.messages[0];
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(Message(lines[i]), c.messages[i]);
  }
}

TEST_F(KTLogTest, LimitedLongKeysAreStillRecognisedAsRepeats) {
  std::string key(300, 'k');
  std::string shortText(300, 's');
  for (int i = 0; i < 3; ++i) KTLogWriteLimited(log_, key.c_str(), shortText.c_str(), "long %d", i);
  KTLogWriteLimited(log_, "B", "short B", "message B");
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Message(lines[0]), "long 0");
  EXPECT_EQ(Message(lines[1]), std::string(255, 's') + " - repeated 3 times");
}

TEST_F(KTLogTest, ConcurrentWritersProduceWholeLinesAndExactRepeatCount) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kPerThread; ++i) {
        KTLogWrite(log_, "thread %d line %d %s", t, i, std::string(200, 'a' + t).c_str());
        KTLogWriteLimited(log_, "same", "flood", "flood line");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  KTLogWriteLimited(log_, "other", "other", "end");

  auto lines = LogLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread + 3));
  static const std::regex plain("^thread (\\d) line \\d+ ([a-d])\\2{199}$");
  int plainLines = 0;
  for (const auto& line : lines) {
    std::string message = Message(line);
    if (std::regex_match(message, plain)) ++plainLines;
  }
  EXPECT_EQ(plainLines, kThreads * kPerThread);
  EXPECT_EQ(Message(lines[lines.size() - 2]),
            "flood - repeated " + std::to_string(kThreads * kPerThread) + " times");
  EXPECT_EQ(Message(lines.back()), "end");
}

// A process out of descriptors still gets its lines into the file: plain
// and limited ones (which hold the log's critical section while writing),
// each through the reserve the log took when the file name was set, which
// it takes back after every line and releases with the log. The child
// fills every free descriptor below a low limit; a hang (the section
// entered twice) is caught by the parent's time-out.
TEST_F(KTLogTest, LinesReachTheFileWhenNoDescriptorIsFree) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(10);
    limit.rlim_cur = 64;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(11);
    while (open("/dev/null", O_RDONLY) >= 0) {
    }
    if (errno != EMFILE) _exit(12);
    KTLogWrite(log_, "at the limit %d", 1);
    for (int i = 0; i < 3; ++i) KTLogWriteLimited(log_, "k1", "short 1", "limited one");
    KTLogWriteLimited(log_, "k2", "short 2", "limited two");
    KTLogWrite(log_, "after the limited lines");
    // Every line took its reserve back: still no descriptor free.
    if (open("/dev/null", O_RDONLY) >= 0 || errno != EMFILE) _exit(13);
    // Freeing the log releases exactly the reserve.
    KTLogFree(&log_);
    if (open("/dev/null", O_RDONLY) < 0) _exit(14);
    if (open("/dev/null", O_RDONLY) >= 0) _exit(15);
    _exit(0);
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      FAIL() << "the child hung writing at the descriptor limit";
    }
    usleep(5000);
  }
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status));

  const std::vector<std::string> expected = {"at the limit 1", "limited one",
                                             "short 1 - repeated 3 times", "limited two",
                                             "after the limited lines"};
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), expected.size()) << ReadFile(logFile_);
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(Message(lines[i], child), expected[i]);
  struct stat st;
  ASSERT_EQ(stat(logFile_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
}

}  // namespace
