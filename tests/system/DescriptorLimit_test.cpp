// The router at its descriptor limit: started with a low RLIMIT_NOFILE and
// crowded with more connections than it may open, it must neither spin nor
// lose its log line, must keep answering get-server and serving the
// connections it has, and must take new servers again once the crowd leaves.
#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "RouterSystemSupport.h"

using namespace routertest;
using ::testing::HasSubstr;

namespace {

using Clock = std::chrono::steady_clock;

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(DescriptorLimit, CrowdBeyondTheLimitCostsNoCpuAndLeavesTheRouterServing) {
  const rlim_t kSoft = 128;
  const rlim_t kHard = 256;
  const int kCrowd = 400;
  const double kCrowdSeconds = 1.5;

  Installation install;
  ASSERT_TRUE(install.ok());
  RouterDef router = MakeRouter("RR1");
  ASSERT_NE(0, router.port);
  install.writeConfig(ConfigXml({router}));
  RouterProcess process;
  // The router may raise its soft limit, but not beyond the hard one.
  process.setDescriptorLimit(kSoft, kHard);
  ASSERT_TRUE(process.start(KTREQROUTER_BIN, {"-iplist", router.host, "-console"}, install.environment(),
                            install.root()));
  ASSERT_TRUE(WaitUntilListening(router, 10000)) << process.err();
  EXPECT_THAT(install.logText(),
              HasSubstr("RequestRouter: descriptor limit raised from 128 to 256 open files\n"));
  EXPECT_THAT(ReadWholeFile("/proc/" + std::to_string(process.pid()) + "/limits"),
              ::testing::ContainsRegex("Max open files +256 +256 "));

  FakeAppServer before("127.0.0.1:9810");
  ASSERT_TRUE(before.connectTo(router.host, router.mcPort));
  ASSERT_EQ(0, before.announce("Pool1"));

  // More connections than the router has descriptors, all at once.
  struct sockaddr_in addr;
  ASSERT_TRUE(FillAddress(router.host, router.mcPort, &addr));
  std::vector<int> crowd;
  for (int i = 0; i < kCrowd; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0) << "connection " << i;
    if (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
      ASSERT_EQ(EINPROGRESS, errno) << "connection " << i;
    }
    crowd.push_back(fd);
  }
  // The log line reaches the log file although the router has no
  // descriptor to spare.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string log = install.logText();
        return Contains(log, "descriptor limit of") && Contains(log, "open files reached");
      },
      5000))
      << install.logText() << process.err();

  // While the crowd stays, the router waits instead of retrying at full
  // speed, and serves get-server and its known server all the time.
  FakeWebAdapter adapter(router.host, router.port);
  const double cpuBefore = CpuSeconds(process.pid());
  ASSERT_GE(cpuBefore, 0);
  const Clock::time_point crowdStart = Clock::now();
  int rounds = 0;
  while (SecondsSince(crowdStart) < kCrowdSeconds) {
    ASSERT_EQ("0 127.0.0.1 9810", adapter.getServer(FakeWebAdapter::Request())) << "round " << rounds;
    ASSERT_EQ(0, before.working()) << "round " << rounds;
    ASSERT_EQ(0, before.idle()) << "round " << rounds;
    ++rounds;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const double cpuPerSecond = (CpuSeconds(process.pid()) - cpuBefore) / SecondsSince(crowdStart);
  std::cout << "router CPU at the descriptor limit: " << cpuPerSecond << " s per second, " << rounds
            << " get-server rounds\n";
  RecordProperty("cpu_ms_per_second", (int)(cpuPerSecond * 1000));
  EXPECT_LT(cpuPerSecond, 0.1);
  // One line for the whole episode: the retries are suppressed as repeats.
  EXPECT_EQ(1u, Count(install.logText(), "open files reached")) << install.logText();

  // The crowd leaves: a new server registers soon after. Connects are tried
  // every 100 ms, so that one whose SYN met the crowd's full accept queue
  // does not wait out the kernel's retransmission.
  for (int fd : crowd) close(fd);
  const Clock::time_point left = Clock::now();
  FakeAppServer after("127.0.0.1:9811");
  ASSERT_TRUE(WaitUntil(
      [&] {
        return after.connectTo(router.host, router.mcPort, 2000, 100) && after.announce("Pool1") == 0;
      },
      5000));
  const double back = SecondsSince(left);
  std::cout << "registration accepted " << back << " s after the crowd left\n";
  RecordProperty("back_ms", (int)(back * 1000));
  EXPECT_LT(back, 1.0);

  MonitorClient monitor;
  ASSERT_TRUE(monitor.connectTo(router.host, router.monitorPort));
  const std::string servers = monitor.query(10);
  EXPECT_THAT(servers, HasSubstr("127.0.0.1:9810"));
  EXPECT_THAT(servers, HasSubstr("127.0.0.1:9811"));
  EXPECT_FALSE(process.exited()) << process.err();
}

}  // namespace
