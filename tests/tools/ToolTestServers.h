// ToolTestServers.h - scripted TCP and UDP servers on 127.0.0.1 for the tool tests.
//
// FakeLineServer accepts connections one after the other and hands every
// received line (without "\n") to a handler, which either returns the bytes
// to send back or asks to close the connection. FakeDatagramServer answers
// datagrams the same way. Both run in a thread of their own, record what
// they received and stop in their destructors.
#ifndef TOOLTESTSERVERS_H
#define TOOLTESTSERVERS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestSockets.h"

namespace tooltest {

// Binds a socket of the given type to 127.0.0.1 with a port chosen by the
// system (listening when it is a stream socket); -1 on failure.
inline int BindLoopback(int type, uint16_t* pPort) {
  if (type == SOCK_STREAM) return testsockets::ListenLoopback(pPort);
  int fd = testsockets::BindSocket("127.0.0.1", 0, type);
  if (fd >= 0) *pPort = testsockets::BoundPort(fd);
  return fd;
}

// A port on 127.0.0.1 where nothing listens (for TCP and UDP).
inline uint16_t UnusedPort() { return testsockets::FreePort(); }

class FakeLineServer {
 public:
  // Returns the reply to a line, or nullopt to close the connection.
  using Handler = std::function<std::optional<std::string>(const std::string& line)>;

  explicit FakeLineServer(Handler handler) : mHandler(std::move(handler)) {
    mFd = BindLoopback(SOCK_STREAM, &mPort);
    mThread = std::thread([this] { serve(); });
  }
  ~FakeLineServer() {
    mStop = true;
    mThread.join();
    if (mFd >= 0) close(mFd);
  }
  FakeLineServer(const FakeLineServer&) = delete;
  FakeLineServer& operator=(const FakeLineServer&) = delete;

  uint16_t port() const { return mPort; }
  int connections() const { return mConnections; }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> guard(mMutex);
    return mLines;
  }

 private:
  bool readable(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 20) > 0;
  }
  void serve() {
    while (!mStop) {
      if (!readable(mFd)) continue;
      int client = accept(mFd, nullptr, nullptr);
      if (client < 0) continue;
      ++mConnections;
      std::string pending;
      bool open = true;
      while (open && !mStop) {
        if (!readable(client)) continue;
        char buffer[4096];
        ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        pending.append(buffer, (size_t)n);
        std::string::size_type end;
        while (open && (end = pending.find('\n')) != std::string::npos) {
          std::string line = pending.substr(0, end);
          pending.erase(0, end + 1);
          {
            std::lock_guard<std::mutex> guard(mMutex);
            mLines.push_back(line);
          }
          std::optional<std::string> reply = mHandler(line);
          if (!reply) {
            open = false;
          } else if (!reply->empty()) {
            (void)send(client, reply->data(), reply->size(), MSG_NOSIGNAL);
          }
        }
      }
      close(client);
    }
  }

  Handler mHandler;
  int mFd = -1;
  uint16_t mPort = 0;
  std::atomic<bool> mStop{false};
  std::atomic<int> mConnections{0};
  mutable std::mutex mMutex;
  std::vector<std::string> mLines;
  std::thread mThread;
};

class FakeDatagramServer {
 public:
  // Returns the answer to a datagram, or nullopt to stay silent.
  using Handler = std::function<std::optional<std::string>(const std::string& datagram)>;

  explicit FakeDatagramServer(Handler handler) : mHandler(std::move(handler)) {
    mFd = BindLoopback(SOCK_DGRAM, &mPort);
    mThread = std::thread([this] { serve(); });
  }
  ~FakeDatagramServer() {
    mStop = true;
    mThread.join();
    if (mFd >= 0) close(mFd);
  }
  FakeDatagramServer(const FakeDatagramServer&) = delete;
  FakeDatagramServer& operator=(const FakeDatagramServer&) = delete;

  uint16_t port() const { return mPort; }
  std::vector<std::string> datagrams() const {
    std::lock_guard<std::mutex> guard(mMutex);
    return mDatagrams;
  }

 private:
  void serve() {
    while (!mStop) {
      struct pollfd p = {mFd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buffer[65536];
      struct sockaddr_storage from;
      socklen_t length = sizeof from;
      ssize_t n = recvfrom(mFd, buffer, sizeof buffer, 0, (struct sockaddr*)&from, &length);
      if (n < 0) continue;
      std::string datagram(buffer, (size_t)n);
      {
        std::lock_guard<std::mutex> guard(mMutex);
        mDatagrams.push_back(datagram);
      }
      std::optional<std::string> reply = mHandler(datagram);
      if (reply) (void)sendto(mFd, reply->data(), reply->size(), 0, (struct sockaddr*)&from, length);
    }
  }

  Handler mHandler;
  int mFd = -1;
  uint16_t mPort = 0;
  std::atomic<bool> mStop{false};
  mutable std::mutex mMutex;
  std::vector<std::string> mDatagrams;
  std::thread mThread;
};

// The monitor answer framing: "0 <length>\n" and the body.
inline std::string MonitorAnswer(const std::string& body) {
  return "0 " + std::to_string(body.size()) + "\n" + body;
}

}  // namespace tooltest

#endif  // TOOLTESTSERVERS_H
