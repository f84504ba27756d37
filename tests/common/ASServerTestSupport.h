// ASServerTestSupport.h - helpers for the application-server registry tests:
// request descriptions and a pinned test clock.
#ifndef ASSERVERTESTSUPPORT_H
#define ASSERVERTESTSUPPORT_H

#include <string>

#include "ASRequestInfo.h"
#include "KTUtils.h"
#include "TestSupport.h"

namespace astest {

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
