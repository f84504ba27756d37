/* BenchAppServerFarm.cpp - the event loop of the simulated application servers.
 *
 * A server that the router assigns again before its idle acknowledgement
 * has been read is legal (the router set it idle when it read the report),
 * so such assignments are queued on the server and started after the
 * acknowledgement. An assignment of a server that is still working is a
 * router fault and counted as unexpected.
 */
#include "BenchAppServerFarm.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <algorithm>
#include <functional>

#include "RRMCProtocol.h"
#include "RRToolException.h"
#include "RRToolSocket.h"

using Clock = std::chrono::steady_clock;

struct CAppServerFarm::Sim {
  int fd = -1;
  std::string address;
  State state = STATE_IDLE;
  int pending = 0; /* assignments to start after the current cycle */
  uint64_t sequence = 0;
  CMCReplyReader reader;
  std::string out; /* bytes the socket did not take yet */
  bool writeWatched = false;
  std::mutex lock; /* direct mode: one cycle at a time */
};

namespace {

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

}  // namespace

CAppServerFarm::CAppServerFarm(std::vector<RRBenchServerDef> servers, RRFarmOptions options)
    : mDefs(std::move(servers)),
      mOptions(options),
      mByPort(65536, -1),
      mServerCycles(new std::atomic<uint64_t>[mDefs.size()]) {
  for (std::size_t i = 0; i < mDefs.size(); ++i) mServerCycles[i] = 0;
}

CAppServerFarm::~CAppServerFarm() {
  stop();
  for (Sim* sim : mSims) {
    if (sim->fd >= 0) close(sim->fd);
    delete sim;
  }
  if (mEpoll >= 0) close(mEpoll);
  if (mWake >= 0) close(mWake);
}

namespace {

/* The IPv4 or IPv6 socket address of a numeric or resolvable host; throws TOOL_RESOLVE. */
struct sockaddr_storage resolve(const RRToolAddress& address, socklen_t* pLength) {
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* list = nullptr;
  const std::string port = std::to_string(address.port);
  const int rc = getaddrinfo(address.host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0 || list == nullptr) {
    throw CToolException(CToolException::TOOL_RESOLVE, "cannot resolve " + RRToolFormatAddress(address) + ": " +
                                                           gai_strerror(rc));
  }
  struct sockaddr_storage result = {};
  std::memcpy(&result, list->ai_addr, list->ai_addrlen);
  *pLength = list->ai_addrlen;
  freeaddrinfo(list);
  return result;
}

}  // namespace

void CAppServerFarm::start(int timeoutMs) {
  mEpoll = epoll_create1(EPOLL_CLOEXEC);
  mWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (mEpoll < 0 || mWake < 0) {
    throw CToolException(CToolException::TOOL_IO, std::string("epoll/eventfd: ") + std::strerror(errno));
  }
  for (std::size_t i = 0; i < mDefs.size(); ++i) {
    const RRBenchServerDef& def = mDefs[i];
    if (mByPort[def.port] >= 0) {
      throw CToolException(CToolException::TOOL_USAGE, "two simulated servers on port " + std::to_string(def.port));
    }
    mByPort[def.port] = static_cast<int>(i);
    Sim* sim = new Sim;
    mSims.push_back(sim);
    sim->address = RRMCAddress(def.host, def.port);
  }
  const std::size_t batch = static_cast<std::size_t>(std::max(1, mOptions.batch));
  for (std::size_t first = 0; first < mSims.size(); first += batch) {
    registerBatch(first, std::min(mSims.size(), first + batch), timeoutMs);
  }
  if (mOptions.direct) return;
  for (std::size_t i = 0; i < mSims.size(); ++i) {
    struct epoll_event event = {};
    event.events = EPOLLIN;
    event.data.u64 = i;
    if (epoll_ctl(mEpoll, EPOLL_CTL_ADD, mSims[i]->fd, &event) != 0) {
      throw CToolException(CToolException::TOOL_IO, std::string("epoll_ctl: ") + std::strerror(errno));
    }
  }
  struct epoll_event wake = {};
  wake.events = EPOLLIN;
  wake.data.u64 = UINT64_MAX;
  epoll_ctl(mEpoll, EPOLL_CTL_ADD, mWake, &wake);
  mThread = std::thread([this] { loop(); });
}

/* Opens the connections of servers [first, end) without blocking, sends
 * each announcement as soon as its connection stands and reads the
 * acknowledgements as they come; the batch ends when every server of it is
 * acknowledged. */
void CAppServerFarm::registerBatch(std::size_t first, std::size_t end, int timeoutMs) {
  std::vector<struct pollfd> polls;
  std::vector<int> phase;  // 0 connecting, 1 announced, 2 acknowledged
  for (std::size_t i = first; i < end; ++i) {
    const RRBenchServerDef& def = mDefs[i];
    Sim* sim = mSims[i];
    socklen_t length = 0;
    if (i == first || def.messageCenter.host != mDefs[i - 1].messageCenter.host ||
        def.messageCenter.port != mDefs[i - 1].messageCenter.port || mResolvedLength == 0) {
      mResolved = resolve(def.messageCenter, &mResolvedLength);
    }
    length = mResolvedLength;
    sim->fd = socket(mResolved.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sim->fd < 0) {
      throw CToolException(CToolException::TOOL_IO, "socket for " + sim->address + ": " + std::strerror(errno) +
                                                        " (descriptor limit too small?)");
    }
    const int one = 1;
    setsockopt(sim->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(sim->fd, reinterpret_cast<const struct sockaddr*>(&mResolved), length) != 0 &&
        errno != EINPROGRESS) {
      throw CToolException(CToolException::TOOL_CONNECT, "connect to " + RRToolFormatAddress(def.messageCenter) +
                                                             " for " + sim->address + ": " + std::strerror(errno));
    }
    polls.push_back({sim->fd, POLLOUT, 0});
    phase.push_back(0);
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t left = polls.size();
  while (left > 0) {
    const int wait = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    const int ready = wait > 0 ? poll(polls.data(), polls.size(), wait) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      std::size_t k = 0;
      while (k < phase.size() && phase[k] == 2) ++k;
      throw CToolException(CToolException::TOOL_TIMEOUT,
                           std::string(phase[k] == 0 ? "no connection" : "no acknowledgement of the announcement") +
                               " for " + mSims[first + k]->address + " within " + std::to_string(timeoutMs) +
                               " ms");
    }
    for (std::size_t k = 0; k < polls.size(); ++k) {
      if (polls[k].revents == 0 || phase[k] == 2) continue;
      const std::size_t i = first + k;
      Sim* sim = mSims[i];
      if (phase[k] == 0) {
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(sim->fd, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) {
          throw CToolException(CToolException::TOOL_CONNECT, "connect to " +
                                                                 RRToolFormatAddress(mDefs[i].messageCenter) +
                                                                 " for " + sim->address + ": " + std::strerror(error));
        }
        const std::string announcement =
            RRMCInitialFree(sim->address, mDefs[i].pool, 100000 + static_cast<long>(i), 0);
        const ssize_t n = ::send(sim->fd, announcement.data(), announcement.size(), MSG_NOSIGNAL);
        if (n != static_cast<ssize_t>(announcement.size())) {
          throw CToolException(CToolException::TOOL_IO, "cannot send the announcement of " + sim->address);
        }
        phase[k] = 1;
        polls[k].events = POLLIN;
        continue;
      }
      char buffer[4096];
      const ssize_t n = recv(sim->fd, buffer, sizeof buffer, 0);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        throw CToolException(CToolException::TOOL_CLOSED,
                             "the router closed the connection of " + sim->address + " after its announcement");
      }
      sim->reader.feed(buffer, static_cast<std::size_t>(n));
      RRMCReply reply;
      if (!sim->reader.next(&reply)) continue;
      if (reply.code != 0) {
        throw CToolException(CToolException::TOOL_PROTOCOL, "the router answered the announcement of " +
                                                                sim->address + " with code " +
                                                                std::to_string(reply.code));
      }
      phase[k] = 2;
      polls[k].fd = -1;  // poll ignores it from now on
      --left;
    }
  }
}

bool CAppServerFarm::exchange(std::size_t index, const std::string& message, int timeoutMs) {
  Sim* sim = mSims[index];
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t n = ::send(sim->fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    struct pollfd p = {sim->fd, POLLOUT, 0};
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && poll(&p, 1, timeoutMs) > 0) continue;
    markDead(index);
    return false;
  }
  RRMCReply reply;
  try {
    while (!sim->reader.next(&reply)) {
      struct pollfd p = {sim->fd, POLLIN, 0};
      char buffer[16384];
      const int ready = poll(&p, 1, timeoutMs);
      if (ready < 0 && errno == EINTR) continue;
      const ssize_t n = ready > 0 ? recv(sim->fd, buffer, sizeof buffer, MSG_DONTWAIT) : 0;
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        markDead(index);
        return false;
      }
      sim->reader.feed(buffer, static_cast<std::size_t>(n));
    }
  } catch (const CToolException&) {
    mUnexpected.fetch_add(1, std::memory_order_relaxed);
    markDead(index);
    return false;
  }
  if (reply.code != 0) {
    mUnexpected.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  countCache(index, reply.data);
  return true;
}

bool CAppServerFarm::cycle(uint16_t port, int timeoutMs) {
  const int found = mByPort[port];
  mAssignments.fetch_add(1, std::memory_order_relaxed);
  if (found < 0) {
    mUnexpected.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  const std::size_t index = static_cast<std::size_t>(found);
  Sim* sim = mSims[index];
  std::lock_guard<std::mutex> guard(sim->lock);
  if (sim->state == STATE_DEAD) return false;
  sim->state = STATE_WORKING_SENT;
  if (!exchange(index, RRMCWorking(sim->address, ""), timeoutMs)) return false;
  std::string data = nextCacheData(index);
  sim->state = STATE_IDLE_SENT;
  if (!exchange(index, RRMCIdle(sim->address, data), timeoutMs)) return false;
  sim->state = STATE_IDLE;
  mCycles.fetch_add(1, std::memory_order_relaxed);
  mServerCycles[index].fetch_add(1);
  return true;
}

void CAppServerFarm::assign(uint16_t port) {
  const int index = mByPort[port];
  mAssignments.fetch_add(1, std::memory_order_relaxed);
  if (index < 0) {
    mUnexpected.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(mQueueLock);
    mQueue.push_back(static_cast<std::size_t>(index));
  }
  const uint64_t one = 1;
  (void)!write(mWake, &one, sizeof one);
}

uint64_t CAppServerFarm::serverCycles(uint16_t port) const {
  const int index = mByPort[port];
  return index < 0 ? 0 : mServerCycles[static_cast<std::size_t>(index)].load();
}

bool CAppServerFarm::waitCycle(uint16_t port, uint64_t previous, int timeoutMs) {
  const int index = mByPort[port];
  if (index < 0) return false;
  std::atomic<uint64_t>& done = mServerCycles[static_cast<std::size_t>(index)];
  std::unique_lock<std::mutex> guard(mCycleLock);
  ++mWaiters;
  const bool completed = mCycleDone.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                             [&] { return done.load() > previous; });
  --mWaiters;
  return completed;
}

void CAppServerFarm::stop() {
  if (mThread.joinable()) {
    mStop = true;
    const uint64_t one = 1;
    (void)!write(mWake, &one, sizeof one);
    mThread.join();
  }
  for (Sim* sim : mSims) {
    if (sim->fd >= 0) close(sim->fd);
    sim->fd = -1;
  }
}

RRFarmCounters CAppServerFarm::counters() const {
  RRFarmCounters c;
  c.assignments = mAssignments.load(std::memory_order_relaxed);
  c.cycles = mCycles.load(std::memory_order_relaxed);
  c.cacheItemsSent = mItemsSent.load(std::memory_order_relaxed);
  c.cacheItemsReceived = mItemsReceived.load(std::memory_order_relaxed);
  c.crossRouterItems = mCrossItems.load(std::memory_order_relaxed);
  c.cacheResets = mResets.load(std::memory_order_relaxed);
  c.unexpected = mUnexpected.load(std::memory_order_relaxed);
  c.closed = mClosed.load(std::memory_order_relaxed);
  return c;
}

void CAppServerFarm::markDead(std::size_t index) {
  Sim* sim = mSims[index];
  if (sim->state == STATE_DEAD) return;
  sim->state = STATE_DEAD;
  mClosed.fetch_add(1, std::memory_order_relaxed);
  if (!mOptions.direct) epoll_ctl(mEpoll, EPOLL_CTL_DEL, sim->fd, nullptr);
}

void CAppServerFarm::flush(std::size_t index) {
  Sim* sim = mSims[index];
  while (!sim->out.empty()) {
    const ssize_t n = ::send(sim->fd, sim->out.data(), sim->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sim->out.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    markDead(index);
    return;
  }
  const bool wantWrite = !sim->out.empty();
  if (wantWrite != sim->writeWatched) {
    struct epoll_event event = {};
    event.events = wantWrite ? (EPOLLIN | EPOLLOUT) : static_cast<uint32_t>(EPOLLIN);
    event.data.u64 = index;
    epoll_ctl(mEpoll, EPOLL_CTL_MOD, sim->fd, &event);
    sim->writeWatched = wantWrite;
  }
}

void CAppServerFarm::send(std::size_t index, const std::string& message) {
  mSims[index]->out += message;
  flush(index);
}

void CAppServerFarm::startCycle(std::size_t index) {
  mSims[index]->state = STATE_WORKING_SENT;
  send(index, RRMCWorking(mSims[index]->address, ""));
}

std::string CAppServerFarm::nextCacheData(std::size_t index) {
  Sim* sim = mSims[index];
  std::string data;
  for (int k = 0; k < mOptions.cacheItemsPerIdle; ++k) {
    data += "r" + std::to_string(mDefs[index].router) + "-s" + std::to_string(index) + "-n" +
            std::to_string(sim->sequence++) + RR_CACHE_DELIMITER;
  }
  mItemsSent.fetch_add(static_cast<uint64_t>(mOptions.cacheItemsPerIdle), std::memory_order_relaxed);
  return data;
}

void CAppServerFarm::sendIdle(std::size_t index) {
  Sim* sim = mSims[index];
  std::string data = nextCacheData(index);
  sim->state = STATE_IDLE_SENT;
  send(index, RRMCIdle(sim->address, data));
}

void CAppServerFarm::countCache(std::size_t index, const std::string& data) {
  if (data.empty()) return;
  const std::string own = "r" + std::to_string(mDefs[index].router) + "-";
  std::string::size_type start = 0;
  while (start < data.size()) {
    std::string::size_type end = data.find(RR_CACHE_DELIMITER, start);
    if (end == std::string::npos) end = data.size();
    const std::string item = data.substr(start, end - start);
    if (item == RR_CACHE_RESET_ITEM) {
      mResets.fetch_add(1, std::memory_order_relaxed);
    } else {
      mItemsReceived.fetch_add(1, std::memory_order_relaxed);
      if (item.compare(0, own.size(), own) != 0) mCrossItems.fetch_add(1, std::memory_order_relaxed);
    }
    start = end + 2;
  }
}

void CAppServerFarm::onReply(std::size_t index, int code, const std::string& data) {
  Sim* sim = mSims[index];
  if (code != 0) {
    mUnexpected.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  countCache(index, data);
  switch (sim->state) {
    case STATE_WORKING_SENT:
      if (mOptions.serviceMs <= 0) {
        sendIdle(index);
      } else {
        sim->state = STATE_SERVING;
        mDue.push_back({nowNs() + static_cast<int64_t>(mOptions.serviceMs) * 1000000, index});
        std::push_heap(mDue.begin(), mDue.end(), std::greater<Due>());
      }
      break;
    case STATE_IDLE_SENT:
      sim->state = STATE_IDLE;
      mCycles.fetch_add(1, std::memory_order_relaxed);
      mServerCycles[index].fetch_add(1);
      if (mWaiters.load() > 0) {
        // Taking the lock orders the increment before a waiter's check.
        { std::lock_guard<std::mutex> guard(mCycleLock); }
        mCycleDone.notify_all();
      }
      if (sim->pending > 0) {
        --sim->pending;
        startCycle(index);
      }
      break;
    default:
      mUnexpected.fetch_add(1, std::memory_order_relaxed);
      break;
  }
}

void CAppServerFarm::readFrom(std::size_t index) {
  Sim* sim = mSims[index];
  char buffer[16384];
  for (;;) {
    const ssize_t n = recv(sim->fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      sim->reader.feed(buffer, static_cast<std::size_t>(n));
      if (static_cast<std::size_t>(n) < sizeof buffer) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    markDead(index);
    return;
  }
  try {
    RRMCReply reply;
    while (sim->state != STATE_DEAD && sim->reader.next(&reply)) onReply(index, reply.code, reply.data);
  } catch (const CToolException&) {
    mUnexpected.fetch_add(1, std::memory_order_relaxed);
    markDead(index);
  }
}

void CAppServerFarm::loop() {
  std::vector<std::size_t> assigned;
  struct epoll_event events[256];
  while (!mStop.load()) {
    int waitMs = 100;
    if (!mDue.empty()) {
      const int64_t left = mDue.front().when - nowNs();
      waitMs = left <= 0 ? 0 : static_cast<int>(left / 1000000) + 1;
    }
    const int ready = epoll_wait(mEpoll, events, 256, waitMs);
    for (int e = 0; e < ready; ++e) {
      if (events[e].data.u64 == UINT64_MAX) {
        uint64_t drained;
        (void)!read(mWake, &drained, sizeof drained);
        continue;
      }
      const std::size_t index = static_cast<std::size_t>(events[e].data.u64);
      if (mSims[index]->state == STATE_DEAD) continue;
      if (events[e].events & EPOLLOUT) flush(index);
      if (events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readFrom(index);
    }
    {
      std::lock_guard<std::mutex> guard(mQueueLock);
      assigned.swap(mQueue);
    }
    for (std::size_t index : assigned) {
      Sim* sim = mSims[index];
      if (sim->state == STATE_IDLE) {
        startCycle(index);
      } else if (sim->state == STATE_IDLE_SENT) {
        ++sim->pending;
      } else if (sim->state != STATE_DEAD) {
        mUnexpected.fetch_add(1, std::memory_order_relaxed);
      }
    }
    assigned.clear();
    const int64_t now = nowNs();
    while (!mDue.empty() && mDue.front().when <= now) {
      const std::size_t index = mDue.front().index;
      std::pop_heap(mDue.begin(), mDue.end(), std::greater<Due>());
      mDue.pop_back();
      if (mSims[index]->state == STATE_SERVING) sendIdle(index);
    }
  }
}
