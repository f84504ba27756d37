/* BenchCycleBaseline.cpp - the serving loop of the bare full-cycle baseline.
 *
 * Everything is non-blocking and level-triggered: a readable connection is
 * read until it would block, every complete request in its buffer is
 * answered, and the answers go out in one send. Servers are kept in a plain
 * array of prepared answers; removal swaps the last one into the gap.
 */
#include "BenchCycleBaseline.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "RRToolException.h"

namespace {

struct Connection {
  std::string in;
  int server = -1; /* index into the server arrays, -1: none announced */
};

struct Baseline {
  int epoll = -1;
  int udp = -1;
  int tcp = -1;
  std::vector<Connection*> byFd;
  std::vector<std::string> answers; /* "0 HOST PORT" per announced server */
  std::vector<int> owners;          /* connection of each server */
  std::size_t next = 0;

  void closeConnection(int fd) {
    Connection* c = byFd[static_cast<std::size_t>(fd)];
    if (c->server >= 0) {
      const std::size_t gap = static_cast<std::size_t>(c->server);
      answers[gap] = answers.back();
      owners[gap] = owners.back();
      answers.pop_back();
      owners.pop_back();
      if (gap < owners.size()) byFd[static_cast<std::size_t>(owners[gap])]->server = static_cast<int>(gap);
    }
    delete c;
    byFd[static_cast<std::size_t>(fd)] = nullptr;
    epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
  }

  void answerDatagrams() {
    char buffer[2048];
    for (;;) {
      struct sockaddr_storage from;
      socklen_t length = sizeof from;
      const ssize_t n = recvfrom(udp, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from),
                                 &length);
      if (n < 0) return;
      if (answers.empty()) {
        (void)sendto(udp, "1", 1, 0, reinterpret_cast<struct sockaddr*>(&from), length);
        continue;
      }
      if (next >= answers.size()) next = 0;
      const std::string& answer = answers[next++];
      (void)sendto(udp, answer.data(), answer.size(), 0, reinterpret_cast<struct sockaddr*>(&from), length);
    }
  }

  void accept() {
    for (;;) {
      const int fd = accept4(tcp, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (byFd.size() <= static_cast<std::size_t>(fd)) byFd.resize(static_cast<std::size_t>(fd) + 1024, nullptr);
      byFd[static_cast<std::size_t>(fd)] = new Connection;
      struct epoll_event event = {};
      event.events = EPOLLIN;
      event.data.fd = fd;
      epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
    }
  }

  /* Answers every complete request of the connection; false when it must be closed. */
  bool serve(int fd) {
    Connection* c = byFd[static_cast<std::size_t>(fd)];
    char buffer[16384];
    for (;;) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        c->in.append(buffer, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < sizeof buffer) break;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      return false;
    }
    std::string out;
    std::size_t pos = 0;
    for (;;) {
      const std::size_t lineEnd = c->in.find('\n', pos);
      if (lineEnd == std::string::npos) {
        if (c->in.size() - pos > 8191) return false;
        break;
      }
      const std::string header = c->in.substr(pos, lineEnd - pos);
      int code = 0;
      int length = 0;
      if (std::sscanf(header.c_str(), "%d %d", &code, &length) != 2 || length < 0) return false;
      if (c->in.size() - (lineEnd + 1) < static_cast<std::size_t>(length)) break;
      if (code == 2 && c->server < 0) {
        char address[300] = "";
        if (std::sscanf(header.c_str(), "%*d %*d %299s", address) != 1) return false;
        char* colon = std::strrchr(address, ':');
        if (colon == nullptr) return false;
        *colon = '\0';
        c->server = static_cast<int>(answers.size());
        answers.push_back(std::string("0 ") + address + " " + (colon + 1));
        owners.push_back(fd);
      }
      out += "0 0\n";
      pos = lineEnd + 1 + static_cast<std::size_t>(length);
    }
    c->in.erase(0, pos);
    std::size_t sent = 0;
    while (sent < out.size()) {
      const ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;  // a client that does not read its answers is dropped
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  [[noreturn]] void run() {
    struct epoll_event events[256];
    for (;;) {
      const int ready = epoll_wait(epoll, events, 256, -1);
      for (int e = 0; e < ready; ++e) {
        const int fd = events[e].data.fd;
        if (fd == udp) {
          answerDatagrams();
        } else if (fd == tcp) {
          accept();
        } else if (static_cast<std::size_t>(fd) < byFd.size() && byFd[static_cast<std::size_t>(fd)] != nullptr &&
                   !serve(fd)) {
          closeConnection(fd);
        }
      }
    }
  }
};

/* Binds a socket of the type on 127.0.0.1 with a free port; returns the descriptor and the port. */
int bindLoopback(int type, uint16_t* pPort) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  const int one = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &length) != 0 ||
      (type == SOCK_STREAM && listen(fd, 4096) != 0)) {
    const std::string problem = std::strerror(errno);
    if (fd >= 0) close(fd);
    throw CToolException(CToolException::TOOL_IO, "full-cycle baseline: " + problem);
  }
  *pPort = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

CCycleBaseline::CCycleBaseline(int cpu) {
  const int udp = bindLoopback(SOCK_DGRAM, &mUdpPort);
  int tcp = -1;
  try {
    tcp = bindLoopback(SOCK_STREAM, &mTcpPort);
  } catch (...) {
    close(udp);
    throw;
  }
  const pid_t parent = getpid();
  mChild = fork();
  if (mChild < 0) {
    close(udp);
    close(tcp);
    throw CToolException(CToolException::TOOL_IO, std::string("full-cycle baseline: fork: ") + std::strerror(errno));
  }
  if (mChild == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
    if (cpu >= 0) {
      cpu_set_t cpus;
      CPU_ZERO(&cpus);
      CPU_SET(cpu, &cpus);
      sched_setaffinity(0, sizeof cpus, &cpus);
    }
    Baseline baseline;
    baseline.udp = udp;
    baseline.tcp = tcp;
    baseline.epoll = epoll_create1(EPOLL_CLOEXEC);
    if (baseline.epoll < 0) _exit(1);
    for (int fd : {udp, tcp}) {
      struct epoll_event event = {};
      event.events = EPOLLIN;
      event.data.fd = fd;
      epoll_ctl(baseline.epoll, EPOLL_CTL_ADD, fd, &event);
    }
    baseline.run();
  }
  close(udp);
  close(tcp);
}

CCycleBaseline::~CCycleBaseline() {
  if (mChild > 0) {
    kill(mChild, SIGKILL);
    waitpid(mChild, nullptr, 0);
  }
}
