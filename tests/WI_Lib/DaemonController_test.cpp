// Tests of the daemon controller. The first part drives a copy of the test
// program (testdaemon) in a temporary folder, so every test has its own
// PID list (the key is made from the program file): start, status, stop,
// stale entries, a daemon that ignores SIGTERM, racing starts. The second
// part uses the controller in this process: registration, console mode,
// start in a forked child, killProcess and the liveness test.
//
// This process is made the reaper of orphaned daemons, so every daemon it
// starts can be killed and reaped by pid at the end of its test.
#include "DaemonController.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Exception.h"
#include "KTUtils.h"
#include "Log.h"
#include "ServiceException.h"
#include "ServiceTestSupport.h"

namespace {

using svctest::KeyFile;
using svctest::MsSince;
using svctest::ReadFile;
using svctest::SegmentExists;
using svctest::WaitFor;

struct Result {
  int status = -1;  // wait status of the program, -1 when it hung
  std::string out;
  std::string err;
  bool exited(int code) const { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Reaps every ended child of this process (daemons orphaned to it included).
void ReapEnded() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

class ProgramTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

  void SetUp() override {
    ASSERT_TRUE(program_.ok()) << "cannot copy " << KTRR_TESTDAEMON_BIN;
    log_ = program_.dir() + "/daemon.log";
  }

  void TearDown() override {
    for (pid_t pid : daemons_) svctest::KillAndReap(pid);
    ReapEnded();
    // The segment itself is removed by the key file.
  }

  // Runs the program copy with the arguments; standard output and error go
  // to files, so a daemon child keeping them open does not block the test.
  Result Run(const std::vector<std::string>& args, int killWait = 10) {
    const std::string out = program_.dir() + "/out" + std::to_string(runs_);
    const std::string err = program_.dir() + "/err" + std::to_string(runs_);
    ++runs_;
    const pid_t pid = Spawn(args, killWait, out, err);
    Result result;
    result.status = svctest::WaitChild(pid, 15000);
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    RememberDaemon();
    return result;
  }

  pid_t Spawn(const std::vector<std::string>& args, int killWait, const std::string& out,
              const std::string& err) {
    std::vector<std::string> words = {program_.path(), "-logfile", log_, "-killwait", std::to_string(killWait)};
    words.insert(words.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char*> argv;
      for (std::string& w : words) argv.push_back(&w[0]);
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid;
  }

  // Entries of the program's PID list, read from this process.
  std::vector<PIDEntry> Entries() {
    SharedPIDList list(program_.path(), false);
    return list.getPIDs();
  }

  int PidOf(const std::string& name) {
    SharedPIDList list(program_.path(), false);
    return list.find(name);
  }

  // Notes every recorded pid for the clean-up.
  void RememberDaemon() {
    for (const PIDEntry& entry : Entries()) daemons_.insert(entry.pid);
  }

  // Waits for the daemon (a child of this reaper) to end; its wait status.
  int WaitDaemon(pid_t pid) {
    const int status = svctest::WaitChild(pid, 5000);
    daemons_.erase(pid);
    return status;
  }

  std::string Log() { return ReadFile(log_); }

  KeyFile program_{KTRR_TESTDAEMON_BIN, "testdaemon"};
  std::string log_;
  std::set<pid_t> daemons_;
  int runs_ = 0;
};

TEST_F(ProgramTest, StatusWithoutAListCreatesNothing) {
  const Result r = Run({"-status"});
  EXPECT_TRUE(r.exited(0)) << r.err;
  EXPECT_EQ("No services running.\n", r.out);
  EXPECT_FALSE(SegmentExists(program_.key()));
}

TEST_F(ProgramTest, StartStatusStopLifecycle) {
  const Result start = Run({"-start"});
  ASSERT_TRUE(start.exited(0)) << start.err;
  const int pid = PidOf("testdaemon");
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(WaitFor([&]() { return ReadFile(program_.dir() + "/out0").find("running") != std::string::npos; }));

  const Result status = Run({"-status"});
  EXPECT_TRUE(status.exited(0));
  EXPECT_EQ("Running services:\n[" + std::to_string(pid) + "] testdaemon \n", status.out);

  const Result again = Run({"-start", "testdaemon"});
  EXPECT_TRUE(again.exited(1));
  EXPECT_NE(std::string::npos, again.err.find("main(): exception: CDaemonController::startService(): Service already started"))
      << again.err;
  EXPECT_EQ(pid, PidOf("testdaemon"));
  EXPECT_EQ(1u, Entries().size());

  // Generous waits: the daemon must end by itself on SIGTERM, however slowly
  // an instrumented build exits.
  svctest::Clock::time_point stopStart = svctest::Clock::now();
  const Result stop = Run({"-stop"}, 1000);
  EXPECT_TRUE(stop.exited(0)) << stop.err;
  EXPECT_LT(MsSince(stopStart), 2900);  // returned once the daemon was gone
  const int daemonStatus = WaitDaemon(pid);
  EXPECT_TRUE(WIFEXITED(daemonStatus) && WEXITSTATUS(daemonStatus) == 0) << daemonStatus;
  EXPECT_FALSE(SegmentExists(program_.key()));
  EXPECT_NE(std::string::npos, Log().find("Signal received: 15"));
  EXPECT_NE(std::string::npos, Log().find("testdaemon: stopped"));
}

TEST_F(ProgramTest, DeadDaemonIsMarkedAndCleanedUpByStop) {
  ASSERT_TRUE(Run({"-start"}).exited(0));
  const int pid = PidOf("testdaemon");
  ASSERT_GT(pid, 0);
  kill(pid, SIGKILL);
  WaitDaemon(pid);

  const Result status = Run({"-status"});
  EXPECT_EQ("Running services:\n[" + std::to_string(pid) + "] testdaemon (dead)\n", status.out);

  const Result stop = Run({"-stop", "testdaemon"});
  EXPECT_TRUE(stop.exited(1));
  EXPECT_NE(std::string::npos,
            stop.err.find("CDaemonController::stopService(): Daemon 'testdaemon' [" + std::to_string(pid) +
                          "] is not running"))
      << stop.err;
  EXPECT_NE(std::string::npos, Log().find("is not running"));
  EXPECT_FALSE(SegmentExists(program_.key()));

  const Result nothing = Run({"-stop"});
  EXPECT_TRUE(nothing.exited(1));
  EXPECT_NE(std::string::npos,
            nothing.err.find("CDaemonController::stopService(): Could not find daemon pid for service testdaemon"));
}

TEST_F(ProgramTest, StartReplacesTheEntryOfADeadDaemon) {
  ASSERT_TRUE(Run({"-start"}).exited(0));
  const int first = PidOf("testdaemon");
  ASSERT_GT(first, 0);
  kill(first, SIGKILL);
  WaitDaemon(first);

  ASSERT_TRUE(Run({"-start"}).exited(0));
  const std::vector<PIDEntry> entries = Entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_NE(first, entries[0].pid);
  EXPECT_TRUE(Run({"-stop"}).exited(0));
  WaitDaemon(entries[0].pid);
}

TEST_F(ProgramTest, DaemonIgnoringSigtermIsKilled) {
  ASSERT_TRUE(Run({"-start", "testdaemon", "-ignoreterm"}).exited(0));
  const int pid = PidOf("testdaemon");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitFor([&]() { return ReadFile(program_.dir() + "/out0").find("running") != std::string::npos; }));
  svctest::Clock::time_point start = svctest::Clock::now();
  const Result stop = Run({"-stop"}, 20);
  EXPECT_TRUE(stop.exited(0)) << stop.err;
  EXPECT_GE(MsSince(start), 60);  // 20 ms and 40 ms after the two SIGTERMs
  const int daemonStatus = WaitDaemon(pid);
  EXPECT_TRUE(WIFSIGNALED(daemonStatus) && WTERMSIG(daemonStatus) == SIGKILL) << daemonStatus;
  EXPECT_FALSE(SegmentExists(program_.key()));
}

TEST_F(ProgramTest, RacingStartsStartOneDaemon) {
  for (int round = 0; round < 3; ++round) {
    const std::string base = program_.dir() + "/race" + std::to_string(round);
    std::vector<pid_t> starters;
    for (int i = 0; i < 3; ++i) {
      starters.push_back(Spawn({"-start"}, 10, base + "out" + std::to_string(i), base + "err" + std::to_string(i)));
    }
    int succeeded = 0, refused = 0;
    for (size_t i = 0; i < starters.size(); ++i) {
      const int status = svctest::WaitChild(starters[i], 15000);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) ++succeeded;
      if (ReadFile(base + "err" + std::to_string(i)).find("Service already started") != std::string::npos) ++refused;
    }
    RememberDaemon();
    EXPECT_EQ(1, succeeded) << "round " << round;
    EXPECT_EQ(2, refused) << "round " << round;
    const std::vector<PIDEntry> entries = Entries();
    ASSERT_EQ(1u, entries.size());
    ASSERT_TRUE(Run({"-stop"}).exited(0));
    WaitDaemon(entries[0].pid);
    EXPECT_FALSE(SegmentExists(program_.key()));
  }
}

TEST_F(ProgramTest, FailingDaemonReportsAndKeepsItsEntryUntilStop) {
  const Result start = Run({"-start", "testdaemon", "-fail"});
  EXPECT_TRUE(start.exited(0)) << start.err;
  EXPECT_TRUE(WaitFor([&]() { return Log().find("main(): exception: testdaemon: failing on purpose") != std::string::npos; }));
  const int pid = PidOf("testdaemon");
  ASSERT_GT(pid, 0);
  WaitDaemon(pid);

  // The crashed daemon stays visible to the operator as dead.
  EXPECT_EQ("Running services:\n[" + std::to_string(pid) + "] testdaemon (dead)\n", Run({"-status"}).out);
  const Result stop = Run({"-stop", "testdaemon"});
  EXPECT_TRUE(stop.exited(1));
  EXPECT_NE(std::string::npos, stop.err.find("[" + std::to_string(pid) + "] is not running")) << stop.err;
  EXPECT_FALSE(SegmentExists(program_.key()));
}

TEST_F(ProgramTest, ThreadedServiceEndsAtItsFirstSigterm) {
  ASSERT_TRUE(Run({"-start", "threaded"}).exited(0));
  ASSERT_TRUE(Run({"-start", "testdaemon"}).exited(0));
  const int threaded = PidOf("threaded");
  const int plain = PidOf("testdaemon");
  ASSERT_GT(threaded, 0);
  ASSERT_GT(plain, 0);
  ASSERT_TRUE(WaitFor([&]() { return ReadFile(program_.dir() + "/out0").find("running") != std::string::npos; }));

  const Result status = Run({"-status"});
  EXPECT_EQ("Running services:\n[" + std::to_string(threaded) + "] threaded \n[" + std::to_string(plain) +
                "] testdaemon \n",
            status.out);

  ASSERT_TRUE(Run({"-stop", "threaded"}).exited(0));
  const int daemonStatus = WaitDaemon(threaded);
  EXPECT_TRUE(WIFSIGNALED(daemonStatus) && WTERMSIG(daemonStatus) == SIGTERM) << daemonStatus;
  EXPECT_EQ(1u, Entries().size());
  ASSERT_TRUE(Run({"-stop", "testdaemon"}).exited(0));
  WaitDaemon(plain);
  EXPECT_FALSE(SegmentExists(program_.key()));
}

TEST_F(ProgramTest, ConsoleRunsInTheForegroundUntilSignalled) {
  const std::string out = program_.dir() + "/console.out";
  const pid_t pid = Spawn({"-console"}, 10, out, program_.dir() + "/console.err");
  ASSERT_TRUE(WaitFor([&]() { return ReadFile(out).find("running") != std::string::npos; }));
  EXPECT_FALSE(SegmentExists(program_.key()));
  kill(pid, SIGTERM);
  const int status = svctest::WaitChild(pid, 5000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  const Result three = Run({"-console", "testdaemon", "-exit3"});
  EXPECT_TRUE(three.exited(3));
}

TEST_F(ProgramTest, RunserviceStartsLikeStart) {
  ASSERT_TRUE(Run({"-runservice", "testdaemon"}).exited(0));
  const int pid = PidOf("testdaemon");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(Run({"-stop"}).exited(0));
  WaitDaemon(pid);
}

TEST_F(ProgramTest, InstallAndRemoveAreNotAvailable) {
  for (const char* sw : {"-install", "-remove"}) {
    const Result r = Run({sw});
    EXPECT_TRUE(r.exited(1)) << sw;
    EXPECT_EQ("Function not implemented\n", r.err) << sw;
  }
  EXPECT_NE(std::string::npos, Log().find("CDaemonController::installServices(): function not implemented"));
  EXPECT_NE(std::string::npos, Log().find("CDaemonController::uninstallServices(): function not implemented"));
}

// ---------------------------------------------------------------------------
// The controller in this process.

class RecordingDaemon : public CDaemon {
 public:
  explicit RecordingDaemon(const std::string& name) : CDaemon(name, name, name) {}
  int run(const std::vector<std::string>& args) override {
    std::string joined;
    for (const std::string& a : args) joined += a + ";";
    if (!argsFile.empty()) {
      FILE* f = fopen(argsFile.c_str(), "w");
      if (f != nullptr) {
        fprintf(f, "%s|%d", joined.c_str(), getPID());
        fclose(f);
      }
    }
    return result;
  }
  std::string argsFile;
  int result = 0;
};

RecordingDaemon recorder("recorder");
RecordingDaemon other("other");

// The one controller of this test program.
CDaemonController& Controller() {
  static CDaemonController* controller = []() {
    static CDaemonController instance;
    instance.registerService(&recorder);
    instance.registerService(&other);
    return &instance;
  }();
  return *controller;
}

std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(nothing raised)";
}

class InProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(key_.ok());
    Controller().setPIDListFile(key_.path());
    Controller().setKillWaitUnit(10);
    recorder.argsFile = key_.dir() + "/args";
    recorder.result = 0;
  }
  void TearDown() override {
    Controller().setPIDListFile("");
    ReapEnded();
  }
  KeyFile key_;
};

TEST_F(InProcessTest, RegistrationErrors) {
  CDaemonController& c = Controller();
  RecordingDaemon twin("recorder");
  EXPECT_EQ("CDaemonController::registerService(): Service already registered", Raised([&]() { c.registerService(&twin); }));
  class NotADaemon : public CServiceBase {
   public:
    NotADaemon() : CServiceBase("plain", "plain", "plain") {}
    bool serviceStopped() override { return false; }
  } plain;
  EXPECT_EQ("CDaemonController::registerService(): Attempt to register an invalid service object",
            Raised([&]() { c.registerService(&plain); }));
  RecordingDaemon longName(std::string(32, 'x'));
  EXPECT_NE(std::string::npos, Raised([&]() { c.registerService(&longName); }).find("Service name too long"));
  EXPECT_EQ((std::vector<std::string>{"recorder", "other"}), c.getRegisteredServiceNames());
  EXPECT_EXIT(c.registerService(nullptr), testing::ExitedWithCode(1), "assertation");
  EXPECT_NE(std::string::npos, Raised([]() { CDaemonController second; }).find("more than once"));
}

TEST_F(InProcessTest, LookupAndConsole) {
  CDaemonController& c = Controller();
  EXPECT_EQ(&recorder, c.getService("recorder"));
  EXPECT_EQ(&other, c.getDaemonByName("other"));
  EXPECT_EQ(nullptr, c.getDaemonByName("nobody"));
  EXPECT_EQ("CDaemonController::getService(): no such service 'nobody'", Raised([&]() { c.getService("nobody"); }));
  EXPECT_EQ("CDaemonController::startServiceConsole(): Attempt to start an unknown service",
            Raised([&]() { c.startServiceConsole("nobody", {}); }));
  recorder.result = 4;
  EXPECT_EQ(4, c.startServiceConsole("recorder", {"-a", "-b"}));
  EXPECT_EQ("-a;-b;|0", ReadFile(recorder.argsFile));
  EXPECT_FALSE(SegmentExists(key_.key()));
}

TEST_F(InProcessTest, StatusOfAnEmptyListAndUnknownStart) {
  CDaemonController& c = Controller();
  EXPECT_EQ("No services running.\n", c.getStatus());
  EXPECT_EQ("No such service: nobody", Raised([&]() { c.startService("nobody", {}); }));
  EXPECT_FALSE(SegmentExists(key_.key()));
}

TEST_F(InProcessTest, ForkedChildRecordsItselfRunsAndEndsWithTheResult) {
  CDaemonController& c = Controller();
  recorder.result = 5;
  c.startService("recorder", {"-x"});
  // The parent returns only after the child has recorded itself; the child
  // may have finished already, then its entry is gone again.
  ASSERT_TRUE(WaitFor([&]() { return ReadFile(recorder.argsFile).find('|') != std::string::npos; }));
  const std::string written = ReadFile(recorder.argsFile);
  const int pid = atoi(written.substr(written.find('|') + 1).c_str());
  ASSERT_GT(pid, 0);
  EXPECT_EQ("-x;", written.substr(0, written.find('|')));
  const int status = svctest::WaitChild(pid, 5000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5) << status;
  EXPECT_FALSE(SegmentExists(key_.key()));
  EXPECT_EQ(0, recorder.getPID());  // set in the child only
}

TEST_F(InProcessTest, StartInAFullListFailsInTheParent) {
  {
    SharedPIDList list(key_.path());
    for (int i = 0; i < 32; ++i) list.add(getpid(), "filler" + std::to_string(i));
  }
  EXPECT_EQ("SharedPIDList::add(): Ran out of PID space", Raised([&]() { Controller().startService("recorder", {}); }));
  EXPECT_TRUE(ReadFile(recorder.argsFile).empty());  // the service never ran
  EXPECT_EQ(32u, SharedPIDList(key_.path(), false).getPIDs().size());
}

// ---------------------------------------------------------------------------
// Liveness and killProcess on forked children of this program.

// A child that optionally ignores SIGTERM and then waits to be killed;
// returns once it is ready.
pid_t ForkWaiter(bool ignoreTerm) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    if (ignoreTerm) signal(SIGTERM, SIG_IGN);
    if (write(ready[1], "r", 1) != 1) _exit(2);
    for (;;) pause();
  }
  char c;
  close(ready[1]);
  if (read(ready[0], &c, 1) != 1) c = 0;
  close(ready[0]);
  return pid;
}

TEST(ProcessLiveness, SameProgramAliveOthersDead) {
  EXPECT_TRUE(isDaemonPIDAlive(getpid()));
  EXPECT_FALSE(isDaemonPIDAlive(0));
  EXPECT_FALSE(isDaemonPIDAlive(-1));
  EXPECT_FALSE(isDaemonPIDAlive(1));  // another program
  const pid_t child = ForkWaiter(false);
  ASSERT_GT(child, 0);
  EXPECT_TRUE(isDaemonPIDAlive(child));
  kill(child, SIGKILL);
  // A zombie counts as dead before it is reaped.
  EXPECT_TRUE(WaitFor([&]() { return !isDaemonPIDAlive(child); }));
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(isDaemonPIDAlive(child));
}

TEST(KillProcess, SigtermEndsACooperativeProcess) {
  const pid_t child = ForkWaiter(false);
  ASSERT_GT(child, 0);
  killProcess(child, 10);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

TEST(KillProcess, ThirdAttemptSendsSigkill) {
  const pid_t child = ForkWaiter(true);
  ASSERT_GT(child, 0);
  svctest::Clock::time_point start = svctest::Clock::now();
  killProcess(child, 10);
  const long long elapsed = MsSince(start);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_GE(elapsed, 30);  // 10 ms after the first, 20 ms after the second SIGTERM
  EXPECT_LT(elapsed, 1000);
}

TEST(KillProcess, OtherProgramsAndBadPidsAreNeverSignalled) {
  EXPECT_NE(std::string::npos, Raised([]() { killProcess(0, 1); }).find("could not kill pid 0"));
  EXPECT_NE(std::string::npos, Raised([]() { killProcess(-1, 1); }).find("could not kill pid -1"));
  const pid_t sleeper = fork();
  if (sleeper == 0) {
    execl("/bin/sleep", "sleep", "5", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(WaitFor([&]() {
    std::string exe;
    char buffer[256];
    const ssize_t n = readlink(("/proc/" + std::to_string(sleeper) + "/exe").c_str(), buffer, sizeof(buffer));
    return n > 0 && std::string(buffer, n).find("sleep") != std::string::npos;
  }));
  killProcess(sleeper, 1);
  EXPECT_EQ(0, waitpid(sleeper, nullptr, WNOHANG));  // still running
  svctest::KillAndReap(sleeper);
}

}  // namespace
