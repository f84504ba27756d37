// FakePeerRouter.h - a stand-in for another router's message center: it
// accepts TCP connections on 127.0.0.1, reads message-center messages (header
// line "<code> <length> ...\n" plus <length> bytes of data), records them and
// answers like a router ("0 0\n" unless told otherwise). It can be stopped
// (connections closed, port refused) and started again on the same port.
#ifndef FAKEPEERROUTER_H
#define FAKEPEERROUTER_H

#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSockets.h"

namespace peertest {

// One message as the fake peer received it.
struct Message {
  int code = 0;
  std::string header;  // the header line without its "\n"
  std::string data;    // the announced data bytes
};

class FakePeerRouter {
 public:
  // Listens on a port the system chooses.
  FakePeerRouter() { start(0); }
  ~FakePeerRouter() { stop(); }
  FakePeerRouter(const FakePeerRouter&) = delete;
  FakePeerRouter& operator=(const FakePeerRouter&) = delete;

  uint16_t port() const { return port_; }
  bool listening() const { return listenFd_ >= 0; }

  // Listens again (on the same port when port is 0 and one was used before).
  bool start(uint16_t port = 0) {
    stop();
    if (port == 0) port = port_;
    uint16_t bound = 0;
    const int fd = testsockets::ListenOn("127.0.0.1", port, 16, &bound, true);
    if (fd < 0) return false;
    port_ = bound;
    listenFd_ = fd;
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
  }

  // Closes the listener and every accepted connection.
  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
  }

  // The reply to messages of `code` (default "0 0\n").
  void setReply(int code, const std::string& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[code] = reply;
  }
  // Makes the peer read messages of `code` without ever answering them.
  void setSilent(int code) { setReply(code, std::string()); }

  std::vector<Message> messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::vector<Message> messages(int code) const {
    std::vector<Message> result;
    for (const Message& message : messages()) {
      if (message.code == code) result.push_back(message);
    }
    return result;
  }
  size_t count(int code) const { return messages(code).size(); }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
  }

  // Polls every 5 ms until at least n messages of `code` arrived; false after timeoutMs.
  bool waitForCount(int code, size_t n, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (count(code) < n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

 private:
  struct Connection {
    int fd;
    std::string pending;
  };

  void run() {
    std::vector<Connection> connections;
    while (running_) {
      std::vector<struct pollfd> fds;
      fds.push_back({listenFd_, POLLIN, 0});
      for (const Connection& c : connections) fds.push_back({c.fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 10) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        int fd = accept(listenFd_, nullptr, nullptr);
        if (fd >= 0) connections.push_back({fd, std::string()});
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        Connection& c = connections[i - 1];
        char buffer[4096];
        ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
          close(c.fd);
          c.fd = -1;
          continue;
        }
        c.pending.append(buffer, (size_t)n);
        serve(c);
      }
      std::vector<Connection> open;
      for (Connection& c : connections) {
        if (c.fd >= 0) open.push_back(std::move(c));
      }
      connections.swap(open);
    }
    for (const Connection& c : connections) close(c.fd);
  }

  // Takes every complete message out of c.pending and answers it.
  void serve(Connection& c) {
    for (;;) {
      size_t end = c.pending.find('\n');
      if (end == std::string::npos) return;
      Message message;
      message.header = c.pending.substr(0, end);
      int length = 0;
      if (sscanf(message.header.c_str(), "%d %d", &message.code, &length) < 2 || length < 0) {
        length = 0;
      }
      if (c.pending.size() < end + 1 + (size_t)length) return;
      message.data = c.pending.substr(end + 1, (size_t)length);
      c.pending.erase(0, end + 1 + (size_t)length);
      std::string reply = "0 0\n";
      {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(message);
        auto found = replies_.find(message.code);
        if (found != replies_.end()) reply = found->second;
      }
      if (!reply.empty()) testsockets::SendAll(c.fd, reply);
    }
  }

  uint16_t port_ = 0;
  int listenFd_ = -1;
  std::atomic<bool> running_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
  std::map<int, std::string> replies_;
};

// Number of lines of `text` that contain `needle`.
inline int CountLines(const std::string& text, const std::string& needle) {
  std::istringstream in(text);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    if (line.find(needle) != std::string::npos) ++n;
  }
  return n;
}

}  // namespace peertest

#endif  // FAKEPEERROUTER_H
