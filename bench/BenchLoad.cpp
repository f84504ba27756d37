/* BenchLoad.cpp - closed-loop get-server clients and the echo baseline.
 *
 * The client loop avoids allocation per request: datagrams are prepared,
 * the answer lands in a stack buffer, and only the answer code and, for an
 * OK answer, the port are parsed. Clock reads bracket exactly one send and
 * one receive.
 */
#include "BenchLoad.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "BenchAppServerFarm.h"
#include "RRToolException.h"
#include "RRToolSocket.h"

using Clock = std::chrono::steady_clock;

namespace {

/* The port of an OK answer "0 host port"; 0 when it is not one. */
uint16_t okPort(const char* answer, std::size_t length) {
  if (length < 5 || answer[0] != '0' || answer[1] != ' ') return 0;
  std::size_t pos = length;
  while (pos > 0 && answer[pos - 1] != ' ') --pos;
  unsigned value = 0;
  if (pos == length || pos <= 2) return 0;
  for (std::size_t i = pos; i < length; ++i) {
    if (answer[i] < '0' || answer[i] > '9') return 0;
    value = value * 10 + static_cast<unsigned>(answer[i] - '0');
    if (value > 65535) return 0;
  }
  return static_cast<uint16_t>(value);
}

/* Counts an answer that is not OK by its kind. */
void countRefusal(RRAnswerCounts& counts, const char* answer, ssize_t n) {
  if (n == 1 && answer[0] == '1') {
    ++counts.tryLater;
  } else if (n == 1 && answer[0] == '2') {
    ++counts.abort;
  } else if (n == 1 && answer[0] == '4') {
    ++counts.timeout;
  } else if (n > 2 && answer[0] == '3' && answer[1] == ' ') {
    ++counts.error;
  } else {
    ++counts.malformed;
  }
}

}  // namespace

CGetServerClients::CGetServerClients(std::vector<RRToolAddress> targets, int clients,
                                     std::vector<std::string> datagrams, CAppServerFarm* farm, bool paced)
    : mTargets(std::move(targets)),
      mClients(clients),
      mDatagrams(std::move(datagrams)),
      mFarm(farm),
      mPaced(paced && farm != nullptr) {}

RRClientResult CGetServerClients::run(int warmupMs, int durationMs, int waitMs) {
  std::vector<CToolSocket> sockets;
  for (int c = 0; c < mClients; ++c) {
    sockets.push_back(CToolSocket::connectUdp(mTargets[static_cast<std::size_t>(c) % mTargets.size()]));
  }
  std::vector<RRClientResult> results(static_cast<std::size_t>(mClients));
  const Clock::time_point begin = Clock::now();
  const Clock::time_point measureFrom = begin + std::chrono::milliseconds(warmupMs);
  const Clock::time_point end = measureFrom + std::chrono::milliseconds(durationMs);
  std::vector<std::thread> threads;
  for (int c = 0; c < mClients; ++c) {
    threads.emplace_back([&, c] {
      const int fd = sockets[static_cast<std::size_t>(c)].fd();
      RRClientResult& result = results[static_cast<std::size_t>(c)];
      std::size_t next = static_cast<std::size_t>(c) * 7919;  // clients start at different requests
      char answer[2048];
      for (;;) {
        const Clock::time_point sent = Clock::now();
        if (sent >= end) break;
        const std::string& datagram = mDatagrams[next++ % mDatagrams.size()];
        if (::send(fd, datagram.data(), datagram.size(), 0) < 0) {
          ++result.counts.lost;  // a refusal of the previous datagram surfaces here
          continue;
        }
        struct pollfd p = {fd, POLLIN, 0};
        ssize_t n = -1;
        if (poll(&p, 1, waitMs) > 0) n = recv(fd, answer, sizeof answer, 0);
        const Clock::time_point received = Clock::now();
        const bool measured = sent >= measureFrom;
        if (n <= 0) {
          if (measured) ++result.counts.lost;
          continue;
        }
        const uint16_t port = okPort(answer, static_cast<std::size_t>(n));
        if (measured) {
          result.latencies.add(static_cast<uint64_t>(
              std::chrono::duration_cast<std::chrono::nanoseconds>(received - sent).count()));
        }
        if (port != 0) {
          ++result.okTotal;
          if (mFarm != nullptr) {
            const uint64_t before = mPaced ? mFarm->serverCycles(port) : 0;
            mFarm->assign(port);
            if (mPaced && !mFarm->waitCycle(port, before, waitMs)) ++result.stalls;
          }
        }
        if (!measured) continue;
        if (port != 0) {
          ++result.counts.ok;
        } else {
          countRefusal(result.counts, answer, n);
        }
      }
      result.seconds = std::chrono::duration<double>(Clock::now() - measureFrom).count();
    });
  }
  for (auto& thread : threads) thread.join();
  RRClientResult total;
  mOkPerTarget.assign(mTargets.size(), 0);
  for (std::size_t c = 0; c < results.size(); ++c) {
    total.counts.add(results[c].counts);
    total.latencies.merge(results[c].latencies);
    total.okTotal += results[c].okTotal;
    total.stalls += results[c].stalls;
    mOkPerTarget[c % mTargets.size()] += results[c].okTotal;
    if (results[c].seconds > total.seconds) total.seconds = results[c].seconds;
  }
  return total;
}

CCycleClients::CCycleClients(RRToolAddress target, int clients, std::vector<std::string> datagrams,
                             CAppServerFarm* farm, int cpu)
    : mTarget(std::move(target)), mClients(clients), mDatagrams(std::move(datagrams)), mFarm(farm), mCpu(cpu) {}

RRCycleResult CCycleClients::run(int warmupMs, int durationMs, int waitMs) {
  std::vector<CToolSocket> sockets;
  for (int c = 0; c < mClients; ++c) sockets.push_back(CToolSocket::connectUdp(mTarget));
  std::vector<RRCycleResult> results(static_cast<std::size_t>(mClients));
  const Clock::time_point measureFrom = Clock::now() + std::chrono::milliseconds(warmupMs);
  const Clock::time_point end = measureFrom + std::chrono::milliseconds(durationMs);
  std::vector<std::thread> threads;
  for (int c = 0; c < mClients; ++c) {
    threads.emplace_back([&, c] {
      if (mCpu >= 0) {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(mCpu, &cpus);
        sched_setaffinity(0, sizeof cpus, &cpus);
      }
      const int fd = sockets[static_cast<std::size_t>(c)].fd();
      RRCycleResult& result = results[static_cast<std::size_t>(c)];
      std::size_t next = static_cast<std::size_t>(c) * 7919;
      char answer[2048];
      for (;;) {
        const Clock::time_point sent = Clock::now();
        if (sent >= end) break;
        const bool measured = sent >= measureFrom;
        const std::string& datagram = mDatagrams[next++ % mDatagrams.size()];
        if (::send(fd, datagram.data(), datagram.size(), 0) < 0) {
          if (measured) ++result.counts.lost;
          continue;
        }
        struct pollfd p = {fd, POLLIN, 0};
        ssize_t n = -1;
        if (poll(&p, 1, waitMs) > 0) n = recv(fd, answer, sizeof answer, 0);
        const Clock::time_point received = Clock::now();
        if (n <= 0) {
          if (measured) ++result.counts.lost;
          continue;
        }
        const uint16_t port = okPort(answer, static_cast<std::size_t>(n));
        if (port == 0) {
          if (measured) countRefusal(result.counts, answer, n);
          continue;
        }
        ++result.okTotal;
        const bool done = mFarm->cycle(port, waitMs);
        if (!measured) continue;
        ++result.counts.ok;
        result.getServer.add(static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(received - sent).count()));
        if (!done) {
          ++result.failed;
          continue;
        }
        ++result.cycles;
        result.cycle.add(static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - sent).count()));
      }
      result.seconds = std::chrono::duration<double>(Clock::now() - measureFrom).count();
    });
  }
  for (auto& thread : threads) thread.join();
  RRCycleResult total;
  for (const RRCycleResult& r : results) {
    total.cycles += r.cycles;
    total.failed += r.failed;
    total.counts.add(r.counts);
    total.getServer.merge(r.getServer);
    total.cycle.merge(r.cycle);
    total.okTotal += r.okTotal;
    if (r.seconds > total.seconds) total.seconds = r.seconds;
  }
  return total;
}

namespace {

/* Answers every datagram on fd with the reply until stop is set (never, in
 * the child process, which ends by a signal). */
void echoLoop(int fd, const std::string& reply, const std::atomic<bool>& stop) {
  char buffer[2048];
  while (!stop.load(std::memory_order_relaxed)) {
    struct sockaddr_storage from;
    socklen_t fromLength = sizeof from;
    const ssize_t n =
        recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<struct sockaddr*>(&from), &fromLength);
    if (n <= 0) continue;
    (void)sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<struct sockaddr*>(&from),
                 fromLength);
  }
}

}  // namespace

CEchoServer::CEchoServer(const std::string& reply, bool inThread) : mReply(reply) {
  mFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (mFd < 0 || bind(mFd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(mFd, reinterpret_cast<struct sockaddr*>(&addr), &length) != 0) {
    if (mFd >= 0) close(mFd);
    throw CToolException(CToolException::TOOL_IO, std::string("echo server: ") + std::strerror(errno));
  }
  mPort = ntohs(addr.sin_port);
  // A receive time-out lets the thread notice the stop flag; while
  // datagrams flow it costs nothing.
  struct timeval timeout = {0, 100000};
  setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (inThread) {
    mThread = std::thread([this] { echoLoop(mFd, mReply, mStop); });
    return;
  }
  const pid_t parent = getpid();
  mChild = fork();
  if (mChild < 0) {
    close(mFd);
    throw CToolException(CToolException::TOOL_IO, std::string("echo server: fork: ") + std::strerror(errno));
  }
  if (mChild == 0) {
    // The child only receives and sends; it ends with the bench, also when
    // the bench itself is killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
    echoLoop(mFd, mReply, mStop);
    _exit(0);
  }
}

CEchoServer::~CEchoServer() {
  if (mChild > 0) {
    kill(mChild, SIGKILL);
    waitpid(mChild, nullptr, 0);
  } else {
    mStop = true;
    mThread.join();
  }
  close(mFd);
}
