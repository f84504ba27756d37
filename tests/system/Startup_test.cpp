// System tests of the router program's start-up: they run the built binary
// in a child process with a controlled environment and check its exit
// status, its standard streams, its log file and its trace file.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

extern char** environ;

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct RunResult {
  int waitStatus = -1;
  pid_t pid = -1;
  std::string out;
  std::string err;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ktrr_startup_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    mDir = tmpl;
    mLogDir = mDir + "/log";
    ASSERT_EQ(0, mkdir(mLogDir.c_str(), 0700));
  }
  void TearDown() override {
    if (!mDir.empty()) {
      std::string cmd = "rm -rf '" + mDir + "'";
      (void)system(cmd.c_str());
    }
  }

  // The environment of this process without the installation variables,
  // plus the given ones.
  static std::vector<std::string> environment(const std::map<std::string, std::string>& vars) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (strncmp(*e, "VEXORA", 6) != 0) env.push_back(*e);
    }
    for (const auto& var : vars) env.push_back(var.first + "=" + var.second);
    return env;
  }

  // Environment of a normal run: log directory, sample configuration, loopback.
  std::map<std::string, std::string> normalVars() const {
    return {{"VEXORA_LOG", mLogDir},
            {"VEXORA_CONFIG", std::string(KTRR_TEST_SOURCE_DIR) + "/examples"},
            {"VEXORA_IPLIST", "127.0.0.1"}};
  }

  // Runs the program with the arguments and environment; standard output
  // goes to a file, or to a pipe without reader when brokenStdout is set.
  // The child is killed after 20 s so that a hang fails the test.
  RunResult run(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& vars, bool brokenStdout = false) {
    RunResult result;
    const std::string outFile = mDir + "/stdout";
    const std::string errFile = mDir + "/stderr";
    std::vector<std::string> env = environment(vars);
    std::vector<std::string> argStrings{KTREQROUTER_BIN};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (std::string& a : argStrings) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (brokenStdout) {
      EXPECT_EQ(0, pipe(pipeFds));
      close(pipeFds[0]);
    }
    pid_t pid = fork();
    if (pid == 0) {
      // The child starts with the default SIGPIPE action, whatever the test runner set.
      signal(SIGPIPE, SIG_DFL);
      int out = brokenStdout ? pipeFds[1] : open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int in = open("/dev/null", O_RDONLY);
      if (out < 0 || err < 0 || in < 0) _exit(126);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    if (brokenStdout) close(pipeFds[1]);
    EXPECT_GT(pid, 0);
    result.pid = pid;
    for (int waited = 0; waited < 2000; ++waited) {
      pid_t done = waitpid(pid, &result.waitStatus, WNOHANG);
      if (done == pid) break;
      struct timespec pause = {0, 10 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    if (waitpid(pid, &result.waitStatus, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &result.waitStatus, 0);
      ADD_FAILURE() << "program did not end within 20 s";
    }
    if (!brokenStdout) result.out = readFile(outFile);
    result.err = readFile(errFile);
    return result;
  }

  std::string logFile() const { return mLogDir + "/RequestRouter.log"; }

  // Checks a failed start-up: exit status 1, the message as the one log line
  // of the child's process and the same text as the last line on standard
  // error (the debugging build traces its first lines there).
  void expectStartupFailure(const RunResult& r, const std::string& message) {
    ASSERT_TRUE(WIFEXITED(r.waitStatus)) << r.waitStatus;
    EXPECT_EQ(1, WEXITSTATUS(r.waitStatus));
    const std::string expected = "main(): exception: " + message + "\n";
    EXPECT_TRUE(endsWith(r.err, "\n" + expected) || r.err == expected) << r.err;

    const std::string log = readFile(logFile());
    EXPECT_TRUE(endsWith(log, " [" + std::to_string(r.pid) + "] " + expected)) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\(")))
        << log;
    EXPECT_EQ(1, std::count(log.begin(), log.end(), '\n')) << log;
    EXPECT_EQ("", r.out);
  }

  std::string mDir;
  std::string mLogDir;
};

}  // namespace

TEST_F(StartupTest, MissingLogDirectoryVariableIsReportedOnStandardError) {
  std::map<std::string, std::string> vars = normalVars();
  vars.erase("VEXORA_LOG");
  RunResult r = run({}, vars);
  ASSERT_TRUE(WIFEXITED(r.waitStatus));
  EXPECT_NE(0, WEXITSTATUS(r.waitStatus));
  EXPECT_THAT(r.err, HasSubstr("Environment variable 'VEXORA_LOG' not found"));
  EXPECT_EQ("", r.out);
  EXPECT_FALSE(fileExists(logFile()));
}

TEST_F(StartupTest, InvalidDebugValueEndsStartUpWithStatusOne) {
  expectStartupFailure(run({"-debug", "abc"}, normalVars()),
                       "parseCommandLine(): invalid value for parameter -debug");
}

TEST_F(StartupTest, OptionWithoutValueEndsStartUpWithStatusOne) {
  expectStartupFailure(run({"-console", "-log"}, normalVars()),
                       "parseCommandLine(): Used '-log' option without passing a file name");
}

TEST_F(StartupTest, WithoutSwitchTheUsageIsPrinted) {
  RunResult r = run({}, normalVars());
  ASSERT_TRUE(WIFEXITED(r.waitStatus)) << r.waitStatus;
  EXPECT_EQ(0, WEXITSTATUS(r.waitStatus)) << r.err;
  EXPECT_THAT(r.out, HasSubstr(std::string("Usage: ") + KTREQROUTER_BIN +
                               " <switch> [service] [service specific options]\n"));
  EXPECT_THAT(r.out, HasSubstr("    -console <service> [options]: Run <service> in foreground\n"));
  EXPECT_THAT(r.out, HasSubstr("\n\n                          -debug: set debug level\n"));
  EXPECT_THAT(r.out, HasSubstr("Registered services:\nVEXORA_RR\n"));
  EXPECT_THAT(readFile(logFile()), Not(HasSubstr("exception")));
}

TEST_F(StartupTest, WriteToClosedPipeDoesNotKillTheProcess) {
  RunResult r = run({}, normalVars(), true);
  EXPECT_FALSE(WIFSIGNALED(r.waitStatus) && WTERMSIG(r.waitStatus) == SIGPIPE)
      << "killed by SIGPIPE";
  EXPECT_TRUE(WIFEXITED(r.waitStatus)) << r.waitStatus;
}

TEST_F(StartupTest, TraceFileExistsOnlyInTheDebuggingBuild) {
  RunResult r = run({"-debug", "16"}, normalVars());
  ASSERT_TRUE(WIFEXITED(r.waitStatus));
  const std::string traceFile =
      mLogDir + "/RequestRouterDebug.log_" + std::to_string(r.pid) + ".log";
#ifdef KT_DEBUG_TRACE
  EXPECT_THAT(readFile(traceFile), HasSubstr("main(): debug log activated\n"));
#else
  EXPECT_FALSE(fileExists(traceFile));
#endif
}
