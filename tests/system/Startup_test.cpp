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

#include "RouterSystemSupport.h"

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

  // Environment of a run on the configuration file written by writeConfig.
  std::map<std::string, std::string> ownConfigVars() const {
    return {{"VEXORA_LOG", mLogDir}, {"VEXORA_CONFIG", configDir()}};
  }
  std::string configDir() const { return mDir + "/config"; }
  void writeConfig(const std::string& text) const {
    mkdir(configDir().c_str(), 0700);
    std::ofstream(configDir() + "/ServerConfig.xml", std::ios::binary | std::ios::trunc) << text;
  }

  // Runs the program (or the given copy of it) with the arguments and
  // environment; standard output goes to a file, or to a pipe without reader
  // when brokenStdout is set. The child is killed after 20 s so that a hang
  // fails the test.
  RunResult run(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& vars, bool brokenStdout = false,
                const std::string& program = KTREQROUTER_BIN) {
    RunResult result;
    const std::string outFile = mDir + "/stdout";
    const std::string errFile = mDir + "/stderr";
    std::vector<std::string> env = environment(vars);
    std::vector<std::string> argStrings{program};
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

TEST_F(StartupTest, FailureIsPrintedOnceWhenTheLogFileCannotBeOpened) {
  std::map<std::string, std::string> vars = normalVars();
  vars["VEXORA_LOG"] = mDir + "/no-such-directory";
  RunResult r = run({"-debug", "abc"}, vars);
  ASSERT_TRUE(WIFEXITED(r.waitStatus));
  EXPECT_EQ(1, WEXITSTATUS(r.waitStatus));
  // The log falls back to standard error, after its note that the file
  // cannot be opened; the failure is not printed a second time.
  const std::string message = "main(): exception: parseCommandLine(): invalid value for parameter -debug";
  size_t first = r.err.find(message);
  ASSERT_NE(std::string::npos, first) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find(message, first + 1)) << r.err;
  EXPECT_THAT(r.err, HasSubstr("no-such-directory")) << r.err;
}

TEST_F(StartupTest, OptionWithoutValueEndsStartUpWithStatusOne) {
  expectStartupFailure(run({"-console", "-log"}, normalVars()),
                       "parseCommandLine(): Used '-log' option without passing a file name");
}

TEST_F(StartupTest, WithoutSwitchTheUsageIsPrinted) {
  RunResult r = run({}, normalVars());
  ASSERT_TRUE(WIFEXITED(r.waitStatus)) << r.waitStatus;
  EXPECT_EQ(0, WEXITSTATUS(r.waitStatus)) << r.err;
  EXPECT_EQ(std::string("Usage: ") + KTREQROUTER_BIN +
                " <switch> [service] [service specific options]\n"
                "\n"
                "                        -install: Install registered services\n"
                "                         -remove: Uninstall registered services\n"
                "      -start <service> [options]: Run <service>. If <service> is omitted, "
                "the first registered service is started\n"
                "                 -stop <service>: Stop <service>\n"
                "    -restart <service> [options]: Restart running <service>\n"
                "    -console <service> [options]: Run <service> in foreground\n"
                "                         -status: Show service status\n"
                "\n"
                "                          -debug: set debug level\n"
                "                       -debuglog: debug log file prefix\n"
                "                            -log: use alternate log file\n"
                "                         -iplist: set the IP address to look up in the config file\n"
                "                          -check: check the configuration and exit\n"
                "\n"
                "Registered services:\n"
                "VEXORA_RR\n",
            r.out);
  EXPECT_THAT(readFile(logFile()), Not(HasSubstr("exception")));
  // Only a run of the service touches the descriptor limit.
  EXPECT_THAT(readFile(logFile()), Not(HasSubstr("descriptor limit")));
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

// "-check" reports the local routers of the sample with the addresses their
// listeners would use, or that none is local, and exits 0 without a log line.
TEST_F(StartupTest, CheckListsTheLocalRoutersOrSaysThatNoneIsLocal) {
  const std::string sample = std::string(KTRR_TEST_SOURCE_DIR) + "/examples/ServerConfig.xml";
  RunResult r = run({"-iplist", "127.0.0.1", "-check"}, normalVars());
  ASSERT_TRUE(WIFEXITED(r.waitStatus)) << r.waitStatus;
  EXPECT_EQ(0, WEXITSTATUS(r.waitStatus)) << r.err;
  EXPECT_EQ(
      "RR1: get-server 127.0.0.1:47000, message center 127.0.0.1:47001, monitor 127.0.0.1:47002\n"
      "RR2: get-server 127.0.0.1:47003, message center 127.0.0.1:47004, monitor 127.0.0.1:47005\n"
      "configuration " + sample + " is valid\n",
      r.out);
  EXPECT_THAT(r.err, Not(HasSubstr("exception")));
  EXPECT_EQ("", readFile(logFile()));

  r = run({"-check", "-i", "192.0.2.7,198.51.100.1"}, normalVars());
  ASSERT_TRUE(WIFEXITED(r.waitStatus)) << r.waitStatus;
  EXPECT_EQ(0, WEXITSTATUS(r.waitStatus)) << r.err;
  EXPECT_EQ("no configured request router is local to this host (IP list: 192.0.2.7, "
            "198.51.100.1)\nconfiguration " + sample + " is valid\n",
            r.out);
}

// A configuration that start-up rejects fails the check with the same text;
// so does a local router its instance could not be built for, and a value
// after "-check" (it would suggest that another file was checked).
TEST_F(StartupTest, CheckFailsLikeStartUp) {
  std::string broken = readFile(std::string(KTRR_TEST_SOURCE_DIR) + "/examples/ServerConfig.xml");
  const std::string backoffice = "<requestrouter>RR2</requestrouter>\n      </requestrouters>\n"
                                 "      <appservers>\n        <appserver host=\"127.0.0.1\" "
                                 "ports=\"47020 47021\"";
  const std::string::size_type at = broken.find(backoffice);
  ASSERT_NE(std::string::npos, at);
  broken.replace(at, strlen("<requestrouter>RR2"), "<requestrouter>RR9");
  writeConfig(broken);
  const std::string message =
      "checkReqRouterAssignments(): Nonexistant request router 'RR9' assigned to pool 'Backoffice'";
  expectStartupFailure(run({"-iplist", "127.0.0.1", "-check"}, ownConfigVars()), message);
  ASSERT_EQ(0, unlink(logFile().c_str()));
  expectStartupFailure(run({"-iplist", "127.0.0.1", "-console"}, ownConfigVars()), message);

  routertest::RouterDef noMC = routertest::MakeRouter("RRA");
  noMC.mcPort = 0;
  writeConfig(routertest::ConfigXml({noMC}));
  ASSERT_EQ(0, unlink(logFile().c_str()));
  expectStartupFailure(run({"-iplist", "127.0.0.1", "-check"}, ownConfigVars()),
                       "Message center not found: RRA");

  ASSERT_EQ(0, unlink(logFile().c_str()));
  expectStartupFailure(run({"-check", "/etc/other.xml"}, normalVars()),
                       "'-check' takes no value, found '/etc/other.xml'");
}

// A malformed allow list stops start-up and fails the check in the validator's words.
TEST_F(StartupTest, MalformedAllowListIsRefusedAtStartUpAndByTheCheck) {
  for (const char* attr : {"mc_allow", "monitor_allow"}) {
    routertest::RouterDef router = routertest::MakeRouter("RRA");
    router.attributes = std::string(attr) + "=\"10.1.0.0/16, 10.2.3.400\"";
    writeConfig(routertest::ConfigXml({router}));
    const std::string message = std::string("CNodeValidator::validateAttributes(): validation failed. Value "
                                            "'10.1.0.0/16, 10.2.3.400' in '") + attr +
                                "' is not a valid address list";
    unlink(logFile().c_str());
    expectStartupFailure(run({"-iplist", "127.0.0.1", "-check"}, ownConfigVars()), message);
    ASSERT_EQ(0, unlink(logFile().c_str()));
    expectStartupFailure(run({"-iplist", "127.0.0.1", "-console"}, ownConfigVars()), message);
  }
}

// With every port of the local routers held by the test, "-check -start"
// still succeeds at once: it binds no listener and forks no daemon, and the
// private program copy's shared PID list is never created. "-start" alone
// on the same copy does create it, which shows that the right list is
// watched (the copy's daemon is killed when the copy goes).
TEST_F(StartupTest, CheckBindsNothingAndLeavesThePIDListAlone) {
  routertest::RouterDef bound = routertest::MakeRouter("RRA");
  routertest::RouterDef wildcard = routertest::MakeRouter("RRB");
  wildcard.monitorPort = 0;
  routertest::RouterDef remote{"RRC", "192.0.2.1", 47100, 47101, 47102, ""};
  std::string xml = routertest::ConfigXml({bound, wildcard, remote});
  const std::string rrb = "name=\"RRB\"";
  xml.replace(xml.find(rrb), rrb.size(), rrb + " bind=\"false\"");
  writeConfig(xml);

  std::vector<int> held;
  for (uint16_t port : {bound.port, wildcard.port}) {
    held.push_back(routertest::BindSocket("127.0.0.1", port, SOCK_DGRAM));
  }
  for (uint16_t port : {bound.mcPort, bound.monitorPort, wildcard.mcPort}) {
    held.push_back(routertest::BindSocket("127.0.0.1", port, SOCK_STREAM));
    if (held.back() >= 0) {
      EXPECT_EQ(0, listen(held.back(), 4));
    }
  }
  for (int fd : held) {
    ASSERT_GE(fd, 0);
  }

  routertest::ProgramCopy copy;
  ASSERT_TRUE(copy.make(KTREQROUTER_BIN, mDir));
  const time_t started = time(nullptr);
  RunResult r = run({"-iplist", "127.0.0.1", "-check", "-start"}, ownConfigVars(), false, copy.path());
  ASSERT_TRUE(WIFEXITED(r.waitStatus)) << r.waitStatus;
  EXPECT_EQ(0, WEXITSTATUS(r.waitStatus)) << r.err;
  EXPECT_LE(time(nullptr) - started, 5);
  const std::string p = "127.0.0.1:";
  EXPECT_EQ("RRA: get-server " + p + std::to_string(bound.port) + ", message center " + p +
                std::to_string(bound.mcPort) + ", monitor " + p + std::to_string(bound.monitorPort) +
                "\nRRB: get-server *:" + std::to_string(wildcard.port) + ", message center *:" +
                std::to_string(wildcard.mcPort) + ", monitor none\nconfiguration " + configDir() +
                "/ServerConfig.xml is valid\n",
            r.out);
  EXPECT_TRUE(copy.segmentGone());
  EXPECT_EQ("", readFile(logFile()));

  r = run({"-iplist", "127.0.0.1", "-start"}, ownConfigVars(), false, copy.path());
  EXPECT_TRUE(routertest::WaitUntil([&copy] { return !copy.segmentGone(); }, 5000));
  for (int fd : held) close(fd);
}
