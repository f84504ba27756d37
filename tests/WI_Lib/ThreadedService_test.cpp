// Tests of the threaded service: one thread per instance command line, the
// stop through serviceStopped(), a failing instance stopping the service,
// and failures while the instances are being built.
#include "ThreadedService.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Exception.h"
#include "KTThread.h"
#include "KTUtils.h"
#include "Log.h"
#include "ServiceTestSupport.h"
#include "WIException.h"

namespace {

using svctest::MsSince;
using svctest::WaitFor;

// What the instances of one test saw, by the value of their "-id" switch.
struct Record {
  std::atomic<bool> started{false};
  std::atomic<bool> sawStop{false};
  std::atomic<bool> ended{false};
  std::string rr;  // value of "-rr", written before started is set
};

class Board {
 public:
  Record& operator[](const std::string& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::unique_ptr<Record>& slot = records_[id];
    if (!slot) slot.reset(new Record);
    return *slot;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<Record>> records_;
};

// Instance behaviour from its command line: "-id <name> -mode
// wait|return|fail|throwint [-rr <router>]".
class TestInstance : public CThreadedServiceInstance {
 public:
  TestInstance(CThreadedService* service, const std::string& commandLine, Board& board)
      : CThreadedServiceInstance(service, commandLine), board_(board) {}

  void run(int& stopFlag) override {
    std::string id, mode, rr;
    mCmdLine.popOption("-id", id);
    mCmdLine.popOption("-mode", mode, "wait");
    Record& record = board_[id];
    if (mCmdLine.popOption("-rr", rr)) record.rr = rr;
    record.started = true;
    if (mode == "fail") {
      record.ended = true;
      throw CWIException(ERROR_INVALID_PARAMETER, "instance %s failed", id.c_str());
    }
    if (mode == "throwint") {
      record.ended = true;
      throw 42;
    }
    if (mode == "wait") {
      while (!KTThreadStopRequested(&stopFlag)) SleepMilliseconds(2);
      record.sawStop = true;
    }
    record.ended = true;
  }

 private:
  Board& board_;
};

class TestService : public CThreadedService {
 public:
  explicit TestService(Board& board)
      : CThreadedService("TEST_SVC", "Test service", "Runs test instances"), board_(board) {
    setPollInterval(5);
  }

  std::unique_ptr<CThreadedServiceInstance> createInstance(const std::string& commandLine) override {
    ++created;
    if (commandLine == "null") return nullptr;
    if (commandLine == "raise") throw CException("cannot build this instance");
    return std::unique_ptr<CThreadedServiceInstance>(new TestInstance(this, commandLine, board_));
  }

  std::atomic<int> created{0};

 private:
  Board& board_;
};

// Resets the process-wide stop flag around every test and sends the log to
// a file of the test.
class ThreadedServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stopSignal = false;
    logFile_ = dir_.path() + "/service.log";
    CLog::log.setFileName(logFile_);
  }
  void TearDown() override { stopSignal = false; }

  // Sets the stop flag once every named instance has started.
  std::thread StopWhenStarted(std::initializer_list<const char*> ids) {
    std::vector<std::string> names(ids.begin(), ids.end());
    return std::thread([this, names]() {
      WaitFor([&]() {
        for (const std::string& n : names) {
          if (!board_[n].started) return false;
        }
        return true;
      });
      stopSignal = true;
    });
  }

  std::string Log() const { return svctest::ReadFile(logFile_); }

  svctest::TempDir dir_;
  std::string logFile_;
  Board board_;
};

TEST_F(ThreadedServiceTest, RunsOneThreadPerInstanceUntilStopped) {
  TestService service(board_);
  service.addInstance("-id a -rr alpha");
  service.addInstance("-id b -rr beta");
  std::thread stopper = StopWhenStarted({"a", "b"});
  EXPECT_EQ(0, service.run({}));
  stopper.join();
  EXPECT_EQ(2, service.created);
  EXPECT_EQ(2u, service.getNumInstances());
  EXPECT_EQ("alpha", board_["a"].rr);
  EXPECT_EQ("beta", board_["b"].rr);
  EXPECT_TRUE(board_["a"].sawStop);
  EXPECT_TRUE(board_["b"].sawStop);
}

TEST_F(ThreadedServiceTest, NoInstanceWaitsForTheStop) {
  TestService service(board_);
  svctest::Clock::time_point start = svctest::Clock::now();
  std::thread stopper([]() {
    SleepMilliseconds(60);
    stopSignal = true;
  });
  EXPECT_EQ(0, service.run({}));
  EXPECT_GE(MsSince(start), 55);
  stopper.join();
  EXPECT_EQ(0, service.created);
}

TEST_F(ThreadedServiceTest, AlreadyStoppedServiceStartsAndStopsItsThreads) {
  TestService service(board_);
  service.addInstance("-id a");
  stopSignal = true;
  EXPECT_EQ(0, service.run({}));
  EXPECT_TRUE(board_["a"].ended);
}

TEST_F(ThreadedServiceTest, InstanceReturningEarlyDoesNotStopTheOthers) {
  TestService service(board_);
  service.addInstance("-id quick -mode return");
  service.addInstance("-id slow");
  std::thread stopper([this]() {
    WaitFor([this]() { return board_["quick"].ended && board_["slow"].started; });
    SleepMilliseconds(30);  // several polls of the service
    EXPECT_FALSE(board_["slow"].ended);
    stopSignal = true;
  });
  EXPECT_EQ(0, service.run({}));
  stopper.join();
  EXPECT_TRUE(board_["slow"].sawStop);
}

TEST_F(ThreadedServiceTest, FailingInstanceStopsTheServiceAndIsLogged) {
  TestService service(board_);
  service.addInstance("-id steady");
  service.addInstance("-id broken -mode fail");
  try {
    service.run({});
    FAIL() << "run did not raise";
  } catch (const CException& e) {
    EXPECT_STREQ("One thread has finished with an error", e.what());
  }
  EXPECT_TRUE(board_["steady"].sawStop);
  EXPECT_NE(std::string::npos, Log().find("CThreadedService::main(): instance broken failed (status=5)"));
}

TEST_F(ThreadedServiceTest, InstanceRaisingANonExceptionIsAFailureToo) {
  TestService service(board_);
  service.addInstance("-id odd -mode throwint");
  EXPECT_THROW(service.run({}), CException);
  EXPECT_NE(std::string::npos, Log().find("CThreadedService::main(): generic exception caught"));
}

TEST_F(ThreadedServiceTest, InstanceThatCannotBeBuiltStopsThoseAlreadyRunning) {
  TestService service(board_);
  service.addInstance("-id first");
  service.addInstance("raise");
  svctest::Clock::time_point start = svctest::Clock::now();
  try {
    service.run({});
    FAIL() << "run did not raise";
  } catch (const CException& e) {
    EXPECT_STREQ("cannot build this instance", e.what());
  }
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_TRUE(board_["first"].ended);
}

TEST_F(ThreadedServiceTest, MissingInstanceIsReportedNotDereferenced) {
  TestService service(board_);
  service.addInstance("null");
  try {
    service.run({});
    FAIL() << "run did not raise";
  } catch (const CWIException& e) {
    EXPECT_EQ(ERROR_INTERNAL_INCONSISTENCE, e.getStatus());
  }
}

}  // namespace
