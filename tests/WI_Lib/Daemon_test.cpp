// Tests of the daemon's signal handling, each in a forked child: a stop
// signal sets the flag and is logged by the next serviceStopped(), the
// fatal signals end the process with status 1, and the handler is
// installed with every signal blocked and interrupted calls restarted.
#include "Daemon.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <functional>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "KTLog.h"
#include "Log.h"
#include "ServiceTestSupport.h"

namespace {

class DaemonSignalTest : public ::testing::Test {
 protected:
  void SetUp() override { log_ = dir_.path() + "/daemon.log"; }

  // Runs body in a forked child with the log in the test folder; returns
  // the child's wait status.
  int InChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
      CLog::log.setFileName(log_);
      _exit(body());
    }
    return svctest::WaitChild(pid, 5000);
  }

  std::string Log() { return svctest::ReadFile(log_); }

  svctest::TempDir dir_;
  std::string log_;
};

bool ExitedWith(int status, int code) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

TEST_F(DaemonSignalTest, StopSignalsSetTheFlagAndAreLoggedLater) {
  for (int sig : {SIGTERM, SIGINT, SIGPWR, SIGABRT}) {
    const int status = InChild([sig]() {
      CDaemon daemon("d", "d", "d");
      if (daemon.run({}) != 0) return 10;
      if (daemon.serviceStopped()) return 11;
      raise(sig);
      if (!daemon.serviceStopped()) return 12;
      if (!daemon.serviceStopped()) return 13;  // stays set
      return 0;
    });
    EXPECT_TRUE(ExitedWith(status, 0)) << "signal " << sig << " status " << status;
    const std::string line = "Signal received: " + std::to_string(sig) + "\n";
    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find(line)) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << "logged more than once";
  }
}

TEST_F(DaemonSignalTest, SegvAndBusEndTheProcessWithStatusOne) {
  for (int sig : {SIGSEGV, SIGBUS}) {
    const int status = InChild([sig]() {
      CDaemon daemon("d", "d", "d");
      daemon.installSignalHandlers();
      raise(sig);
      return 0;
    });
    EXPECT_TRUE(ExitedWith(status, 1)) << "signal " << sig << " status " << status;
    EXPECT_NE(std::string::npos, Log().find("Shutting down due to signal " + std::to_string(sig)));
  }
}

// The handler writes its lines without the log module; they must still look
// like every other log line, with the local time of the crash.
TEST_F(DaemonSignalTest, CrashLinesHaveTheLogLineFormat) {
  const time_t before = time(nullptr);
  const int status = InChild([]() {
    KTLogWrite(CLog::log, "reference line");
    CDaemon daemon("d", "d", "d");
    daemon.installSignalHandlers();
    raise(SIGSEGV);
    return 0;
  });
  ASSERT_TRUE(ExitedWith(status, 1)) << status;
  const std::string log = Log();
  std::istringstream lines(log);
  std::string reference, received, shutdown;
  std::getline(lines, reference);
  std::getline(lines, received);
  std::getline(lines, shutdown);
  const std::regex format(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) (\(.*\) \[\d+\]) (.*))");
  std::smatch ref, got, end;
  ASSERT_TRUE(std::regex_match(reference, ref, format)) << log;
  ASSERT_TRUE(std::regex_match(received, got, format)) << log;
  ASSERT_TRUE(std::regex_match(shutdown, end, format)) << log;
  EXPECT_EQ(ref[2].str(), got[2].str());  // same host and pid
  EXPECT_EQ("Signal received: 11", got[3].str());
  EXPECT_EQ("Shutting down due to signal 11", end[3].str());
  struct tm parsed = {};
  ASSERT_NE(nullptr, strptime(got[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &parsed));
  parsed.tm_isdst = -1;
  const time_t written = mktime(&parsed);
  EXPECT_LE(before - 1, written);
  EXPECT_GE(time(nullptr) + 1, written);
}

TEST_F(DaemonSignalTest, HandlerBlocksAllSignalsAndRestartsCalls) {
  const int status = InChild([]() {
    CDaemon daemon("d", "d", "d");
    daemon.installSignalHandlers();
    for (int sig : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGINT, SIGPWR, SIGSEGV, SIGTERM}) {
      struct sigaction action;
      if (sigaction(sig, nullptr, &action) != 0) return 20;
      if (action.sa_handler != killHandler) return 21;
      if ((action.sa_flags & SA_RESTART) == 0) return 22;
      if (sigismember(&action.sa_mask, SIGUSR1) != 1) return 23;
    }
    struct sigaction hup;
    sigaction(SIGHUP, nullptr, &hup);
    return hup.sa_handler == killHandler ? 24 : 0;
  });
  EXPECT_TRUE(ExitedWith(status, 0)) << status;
}

}  // namespace
