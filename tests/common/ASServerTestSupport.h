// ASServerTestSupport.h - helpers for the application-server registry tests:
// a log written to a temporary file, an owned KTBuffer, request descriptions
// and a pinned test clock.
#ifndef ASSERVERTESTSUPPORT_H
#define ASSERVERTESTSUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ASRequestInfo.h"
#include "KTBuffer.h"
#include "KTLog.h"
#include "KTUtils.h"

namespace astest {

// A log whose lines go to a file in a fresh temporary directory.
class TempLog {
 public:
  TempLog() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/asserverXXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    dir_ = pattern;
    EXPECT_EQ(0, KTLogNew(&log_));
    EXPECT_EQ(0, KTLogSetOutputFile(log_, (dir_ + "/test.log").c_str()));
  }
  ~TempLog() {
    KTLogFree(&log_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TempLog(const TempLog&) = delete;
  TempLog& operator=(const TempLog&) = delete;

  KTLog* get() const { return log_; }
  operator KTLog*() const { return log_; }

  // Everything written so far.
  std::string text() const {
    std::ifstream in(dir_ + "/test.log", std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
  // Number of lines that contain `needle`.
  int count(const std::string& needle) const {
    std::istringstream in(text());
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
      if (line.find(needle) != std::string::npos) ++n;
    }
    return n;
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  KTLog* log_ = nullptr;
};

// An owned text buffer.
class Buffer {
 public:
  Buffer() { EXPECT_EQ(0, KTBufferStrNew(&buffer_, "")); }
  ~Buffer() { KTBufferFree(&buffer_); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  KTBuffer* get() const { return buffer_; }
  operator KTBuffer*() const { return buffer_; }
  std::string str() const { return std::string(buffer_->pData, buffer_->dataLength); }

 private:
  KTBuffer* buffer_ = nullptr;
};

// A request description with the fields the registry reads; limits unset.
inline CASRequestInfo Request(const std::string& clientIP, const std::string& siteGUID,
                              const std::string& extension, const std::string& uri = "/x.html") {
  CASRequestInfo info;
  info.clientIP = clientIP;
  info.siteGUID = siteGUID;
  info.extension = extension;
  info.uri = uri;
  info.httpHost = "shop.example";
  info.storeName = "Store1";
  info.poolName = "Pool1";
  return info;
}

// Pins the process-wide test clock for the lifetime of the object.
class TestClock {
 public:
  explicit TestClock(time_t sec = 1700000000, unsigned msec = 0) { KTSetTestClock(sec, msec); }
  ~TestClock() { KTClearTestClock(); }
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;
  void advance(long long ms) { KTAdvanceTestClock(ms); }
};

}  // namespace astest

#endif  // ASSERVERTESTSUPPORT_H
