// RouterSystemSupport.h - harness for tests that run the router program:
// an installation in a temporary folder, free ports (from the socket
// helpers of TestSockets.h), the router process itself, a private copy of the program for daemon runs, and simple clients
// for its three protocols (an application server on the message-center port,
// a web adapter on the get-server port and a monitor client).
//
// Every client works on blocking sockets with a receive time-out, so a
// router that does not answer fails the test instead of hanging it. A
// RouterProcess that is still running when it is destroyed is killed with
// SIGKILL and reaped, so no test leaves a router behind.
#ifndef ROUTERSYSTEMSUPPORT_H
#define ROUTERSYSTEMSUPPORT_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSockets.h"

extern char** environ;

namespace routertest {

using namespace testsockets;

// ---------------------------------------------------------------------------
// Small helpers

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Polls cond every 20 ms for at most timeoutMs; true once it holds.
inline bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// ---------------------------------------------------------------------------
// Installation: configuration and log folders in a fresh temporary folder

struct RouterDef {
  std::string name;
  std::string host = "127.0.0.1";
  uint16_t port = 0;         // get-server UDP port
  uint16_t mcPort = 0;       // message-center TCP port; 0 leaves the attribute out
  uint16_t monitorPort = 0;  // monitor TCP port; 0 leaves the attribute out
  std::string attributes;    // further attributes of the element, verbatim
};

// A router with free ports on its host (all three listeners).
inline RouterDef MakeRouter(const std::string& name, const std::string& host = "127.0.0.1") {
  RouterDef def;
  def.name = name;
  def.host = host;
  def.port = FreePort(host);
  def.mcPort = FreePort(host);
  def.monitorPort = FreePort(host);
  return def;
}

// A complete configuration: the routers, one pool per name served by all
// routers, and one cache server on a free port.
inline std::string ConfigXml(const std::vector<RouterDef>& routers,
                             const std::vector<std::string>& pools = {"Pool1"}) {
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\"?>\n<config>\n  <requestrouters max_cache_items=\"100\">\n";
  for (const RouterDef& r : routers) {
    xml << "    <requestrouter name=\"" << r.name << "\" host=\"" << r.host << "\" port=\"" << r.port
        << "\"";
    if (r.mcPort != 0) xml << " mc_port=\"" << r.mcPort << "\"";
    if (r.monitorPort != 0) xml << " monitor_port=\"" << r.monitorPort << "\"";
    if (!r.attributes.empty()) xml << " " << r.attributes;
    xml << "/>\n";
  }
  xml << "  </requestrouters>\n  <pools>\n";
  for (const std::string& pool : pools) {
    xml << "    <pool name=\"" << pool << "\">\n      <requestrouters>\n";
    for (const RouterDef& r : routers) {
      xml << "        <requestrouter>" << r.name << "</requestrouter>\n";
    }
    xml << "      </requestrouters>\n    </pool>\n";
  }
  xml << "  </pools>\n  <cacheservers>\n    <server host=\"127.0.0.1\" port=\"" << FreePort()
      << "\"/>\n  </cacheservers>\n</config>\n";
  return xml.str();
}

// A temporary folder holding config/ServerConfig.xml and log folders; removed
// with everything in it.
class Installation {
 public:
  Installation() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/ktrrsysXXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) mRoot = pattern;
    mkdir(configDir().c_str(), 0700);
  }
  ~Installation() {
    std::error_code ignored;
    if (!mRoot.empty()) std::filesystem::remove_all(mRoot, ignored);
  }
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  bool ok() const { return !mRoot.empty(); }
  const std::string& root() const { return mRoot; }
  std::string configDir() const { return mRoot + "/config"; }
  // A log folder of its own per name, so that two routers keep apart.
  std::string logDir(const std::string& name = "log") const {
    const std::string dir = mRoot + "/" + name;
    mkdir(dir.c_str(), 0700);
    return dir;
  }
  std::string logText(const std::string& name = "log") const {
    return ReadWholeFile(mRoot + "/" + name + "/RequestRouter.log");
  }
  void writeConfig(const std::string& text) const {
    std::ofstream out(configDir() + "/ServerConfig.xml", std::ios::binary | std::ios::trunc);
    out << text;
  }
  // The environment of a router run: installation variables replaced.
  std::map<std::string, std::string> environment(const std::string& logName = "log") const {
    return {{"VEXORA_CONFIG", configDir()}, {"VEXORA_LOG", logDir(logName)}};
  }

 private:
  std::string mRoot;
};

// ---------------------------------------------------------------------------
// The router process

class RouterProcess {
 public:
  RouterProcess() = default;
  ~RouterProcess() { kill(SIGKILL); }
  RouterProcess(const RouterProcess&) = delete;
  RouterProcess& operator=(const RouterProcess&) = delete;

  // The descriptor limit (RLIMIT_NOFILE) that the next start() sets in the
  // child before exec; a limit the system refuses fails the start (exit
  // status 125). Without a call the child inherits this process's.
  void setDescriptorLimit(rlim_t soft, rlim_t hard) {
    mLimitFiles = true;
    mFilesLimit.rlim_cur = soft;
    mFilesLimit.rlim_max = hard;
  }

  // Starts binary with args; the environment is this process's without the
  // installation variables, plus vars. Standard output and error go to files
  // in outputDir (named by outputName). False when fork failed.
  bool start(const std::string& binary, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& vars, const std::string& outputDir,
             const std::string& outputName = "router") {
    mOutFile = outputDir + "/" + outputName + ".out";
    mErrFile = outputDir + "/" + outputName + ".err";
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (strncmp(*e, "VEXORA", 6) != 0) env.push_back(*e);
    }
    for (const auto& var : vars) env.push_back(var.first + "=" + var.second);
    std::vector<std::string> argStrings{binary};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (std::string& a : argStrings) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    mExited = false;
    mPid = fork();
    if (mPid == 0) {
      signal(SIGPIPE, SIG_DFL);
      int out = open(mOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(mErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int in = open("/dev/null", O_RDONLY);
      if (out < 0 || err < 0 || in < 0) _exit(126);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      if (mLimitFiles && setrlimit(RLIMIT_NOFILE, &mFilesLimit) != 0) _exit(125);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    return mPid > 0;
  }

  pid_t pid() const { return mPid; }
  std::string out() const { return ReadWholeFile(mOutFile); }
  std::string err() const { return ReadWholeFile(mErrFile); }

  // True once the process has ended (reaped); its wait status in status().
  bool exited() {
    if (mPid <= 0 || mExited) return mExited;
    if (waitpid(mPid, &mStatus, WNOHANG) == mPid) mExited = true;
    return mExited;
  }
  // Waits up to timeoutMs for the end of the process.
  bool waitExit(int timeoutMs) {
    return WaitUntil([this] { return exited(); }, timeoutMs);
  }
  int status() const { return mStatus; }
  bool exitedWith(int code) const { return mExited && WIFEXITED(mStatus) && WEXITSTATUS(mStatus) == code; }
  bool killedBy(int sig) const { return mExited && WIFSIGNALED(mStatus) && WTERMSIG(mStatus) == sig; }

  // Sends sig to a running process; SIGKILL also reaps it.
  void kill(int sig) {
    if (mPid <= 0 || exited()) return;
    ::kill(mPid, sig);
    if (sig == SIGKILL) {
      waitpid(mPid, &mStatus, 0);
      mExited = true;
    }
  }

 private:
  pid_t mPid = -1;
  bool mExited = false;
  int mStatus = 0;
  bool mLimitFiles = false;
  struct rlimit mFilesLimit = {0, 0};
  std::string mOutFile;
  std::string mErrFile;
};

// The CPU time (user and system) the process has used so far, in seconds;
// -1 when /proc/<pid>/stat cannot be read.
inline double CpuSeconds(pid_t pid) {
  const std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  // The command name in parentheses may hold blanks: count the fields after it.
  const size_t end = stat.rfind(')');
  if (end == std::string::npos) return -1;
  std::istringstream fields(stat.substr(end + 1));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {  // fields 14 and 15: utime, stime
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  if (!fields) return -1;
  return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

// A child process that holds a TCP listener on host:port until it is
// destroyed: a port taken by another process.
class PortHolder {
 public:
  PortHolder() = default;
  ~PortHolder() {
    if (mPid > 0) {
      ::kill(mPid, SIGKILL);
      waitpid(mPid, nullptr, 0);
    }
  }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

  // True once the child listens on the port.
  bool hold(const std::string& host, uint16_t port) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    mPid = fork();
    if (mPid == 0) {
      close(fds[0]);
      int fd = BindSocket(host, port, SOCK_STREAM);
      const char ok = (fd >= 0 && listen(fd, 4) == 0) ? 1 : 0;
      if (write(fds[1], &ok, 1) != 1) _exit(1);
      for (;;) pause();
    }
    close(fds[1]);
    char ok = 0;
    const bool answered = mPid > 0 && read(fds[0], &ok, 1) == 1;
    close(fds[0]);
    return answered && ok == 1;
  }

 private:
  pid_t mPid = -1;
};

// A copy of a program file (mode 0755) in a folder of the test. The daemon
// controller keys its PID list with ftok(program file, 80), so daemons
// started from the copy have a list and a segment of their own, apart from
// anyone else running the original. A copy whose key already names a
// segment (ftok keys can collide) is kept aside and another one is made.
// When the object ends, every daemon of the copy still listed is killed and
// the segment, if any, is removed.
class ProgramCopy {
 public:
  static constexpr int kProjectId = 80;
  static constexpr int kEntries = 32;
  static constexpr size_t kEntrySize = 36;  // int32 pid, then a 32-byte name

  ProgramCopy() = default;
  ~ProgramCopy() { cleanUp(); }
  ProgramCopy(const ProgramCopy&) = delete;
  ProgramCopy& operator=(const ProgramCopy&) = delete;

  // Copies source into dir; false when no copy with an unused key was made.
  bool make(const std::string& source, const std::string& dir) {
    const std::string base = dir + "/" + std::filesystem::path(source).filename().string();
    for (int i = 0; i < 20; ++i) {
      const std::string path = base + std::to_string(i);
      std::error_code error;
      if (!std::filesystem::copy_file(source, path, error) || chmod(path.c_str(), 0755) != 0) return false;
      const key_t key = ftok(path.c_str(), kProjectId);
      if (key != -1 && shmget(key, 0, 0) == -1 && errno == ENOENT) {
        mPath = path;
        mKey = key;
        return true;
      }
    }
    return false;
  }
  const std::string& path() const { return mPath; }

  // True when the key of the copy names no segment (shmget fails with ENOENT).
  bool segmentGone() const { return mKey == -1 || (shmget(mKey, 0, 0) == -1 && errno == ENOENT); }

  // Kills every listed process that runs the copy, then removes the segment.
  void cleanUp() {
    if (mKey == -1) return;
    const int id = shmget(mKey, 0, 0);
    if (id == -1) return;
    void* mapped = shmat(id, nullptr, SHM_RDONLY);
    if (mapped != (void*)-1) {
      for (int i = 0; i < kEntries; ++i) {
        int32_t pid;
        memcpy(&pid, (const char*)mapped + i * kEntrySize, sizeof pid);
        if (pid > 0 && runsCopy(pid)) {
          ::kill(pid, SIGKILL);
          waitpid(pid, nullptr, 0);  // fails at once when it is not our child
        }
      }
      shmdt(mapped);
    }
    shmctl(id, IPC_RMID, nullptr);
  }

 private:
  bool runsCopy(pid_t pid) const {
    char target[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 && std::string(target, (size_t)n) == mPath;
  }

  std::string mPath;
  key_t mKey = -1;
};

// ---------------------------------------------------------------------------
// Clients

// A TCP connection with a receive time-out; the base of the protocol clients.
class TcpClient {
 public:
  TcpClient() = default;
  ~TcpClient() { disconnect(); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // timeoutMs bounds every later receive; connectTimeoutMs, when not 0,
  // bounds the connect (a SYN dropped by a full accept queue would
  // otherwise cost the kernel's one-second retransmission).
  bool connectTo(const std::string& host, uint16_t port, int timeoutMs = 3000, int connectTimeoutMs = 0) {
    disconnect();
    mFd = ConnectTo(host, port, SOCK_STREAM, connectTimeoutMs);
    if (mFd < 0) return false;
    SetReceiveTimeout(mFd, timeoutMs);
    return true;
  }
  // Like connectTo, from the given source address (any 127.x.y.z on loopback).
  bool connectFrom(const std::string& source, const std::string& host, uint16_t port, int timeoutMs = 3000) {
    disconnect();
    mFd = ConnectFrom(source, host, port);
    if (mFd < 0) return false;
    SetReceiveTimeout(mFd, timeoutMs);
    return true;
  }
  void disconnect() {
    if (mFd >= 0) close(mFd);
    mFd = -1;
  }
  bool connected() const { return mFd >= 0; }
  // True when the router closed the connection within timeoutMs.
  bool closedByPeer(int timeoutMs) const { return PeerClosed(mFd, timeoutMs); }

  // Reads a framed reply "<code> <length>\n<body>"; the code, or -1 on failure.
  int readReply(std::string* pBody) {
    std::string header;
    if (!ReceiveLine(mFd, -1, &header)) return -1;
    int code = -1, length = -1;
    if (sscanf(header.c_str(), "%d %d", &code, &length) != 2 || length < 0) return -1;
    std::string body = ReceiveUpTo(mFd, (size_t)length, -1);
    if (body.size() != (size_t)length) return -1;
    if (pBody != nullptr) *pBody = body;
    return code;
  }

 protected:
  int mFd = -1;
};

// An application server talking to the router's message center. Its address
// ("host:port") identifies it; the router never connects to it.
class FakeAppServer : public TcpClient {
 public:
  explicit FakeAppServer(const std::string& address) : mAddress(address) {}
  const std::string& address() const { return mAddress; }

  // Sends a request with optional data; the reply code (-1: no reply) and body.
  int request(int code, const std::string& rest, const std::string& data, std::string* pBody) {
    std::ostringstream header;
    header << code << " " << data.size() << " " << rest << "\n";
    if (!SendAll(mFd, header.str() + data)) return -1;
    return readReply(pBody);
  }
  // Announces the server in the pool (code 2); the reply code.
  int announce(const std::string& pool, int pid = 4711, int priority = 0) {
    return request(2, mAddress + " " + pool + " " + std::to_string(pid) + " " + std::to_string(priority),
                   "", nullptr);
  }
  // Idle report (code 3) with optional cache data; the reply code and the cache data for us.
  int idle(const std::string& data = "", std::string* pCache = nullptr) {
    return request(3, mAddress + " 0", data, pCache);
  }
  // Working report (code 4).
  int working(std::string* pCache = nullptr) { return request(4, mAddress + " 0", "", pCache); }

 private:
  std::string mAddress;
};

// One cache item as the message center carries it.
inline std::string CacheItem(const std::string& item) { return item + "\x01\x01"; }

// The monitor client: one request line, one framed reply.
class MonitorClient : public TcpClient {
 public:
  // The reply body of request code (10 servers, 12 peers, 13 pools); empty
  // text with ok false when the router gave no reply.
  std::string query(int code, bool* pOk = nullptr) {
    std::string body;
    const bool ok = SendAll(mFd, std::to_string(code) + "\n") && readReply(&body) == 0;
    if (pOk != nullptr) *pOk = ok;
    return ok ? body : std::string();
  }
};

// The lines of a monitor reply, without their "\r\n".
inline std::vector<std::string> MonitorLines(const std::string& body) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find("\r\n", start);
    if (end == std::string::npos) end = body.size();
    lines.push_back(body.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The blank-separated fields of one line.
inline std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  std::string field;
  while (in >> field) fields.push_back(field);
  return fields;
}

// The fields of the first line whose fields begin with the given ones
// (for example {"P", "Pool1"}); empty when there is none.
inline std::vector<std::string> FindLine(const std::string& body, const std::vector<std::string>& prefix) {
  for (const std::string& line : MonitorLines(body)) {
    std::vector<std::string> fields = Fields(line);
    bool match = fields.size() >= prefix.size();
    for (size_t i = 0; match && i < prefix.size(); ++i) match = fields[i] == prefix[i];
    if (match) return fields;
  }
  return {};
}

// The web adapter: get-server datagrams to the router's UDP port.
class FakeWebAdapter {
 public:
  FakeWebAdapter(const std::string& host, uint16_t port, int timeoutMs = 2000)
      : mHost(host), mPort(port) {
    mFd = socket(AF_INET, SOCK_DGRAM, 0);
    if (mFd >= 0) SetReceiveTimeout(mFd, timeoutMs);
  }
  ~FakeWebAdapter() {
    if (mFd >= 0) close(mFd);
  }
  FakeWebAdapter(const FakeWebAdapter&) = delete;
  FakeWebAdapter& operator=(const FakeWebAdapter&) = delete;

  struct Request {
    std::string client = "10.0.0.7";
    int tries = 0;
    int maxTries = 3;
    std::string pool = "Pool1";
    std::string site = "S1";
    std::string extension = "html";
    int siteMax = -1;
    int poolPerSite = -1;
    int poolPerClient = -1;
    int extMax = -1;
  };

  // Sends the text as one datagram; the reply text, empty on time-out.
  std::string exchange(const std::string& text) { return ExchangeDatagram(mFd, mHost, mPort, text, -1); }
  // Asks for a server; the reply text ("0 host port", "1", "2", "3 status" or "4").
  std::string getServer(const Request& r) {
    std::ostringstream text;
    text << "1 " << r.client << " " << r.tries << " " << r.maxTries << " shop1 /shop/index. "
         << r.extension << " " << r.pool << " Store1 " << r.site << " " << r.siteMax << " "
         << r.poolPerSite << " " << r.poolPerClient << " " << r.extMax << " /shop/index."
         << r.extension;
    return exchange(text.str());
  }

 private:
  std::string mHost;
  uint16_t mPort;
  int mFd = -1;
};

// The port "rrctl exporter --listen HOST:0" says it listens on (its line
// "rrctl exporter: listening on 127.0.0.1:PORT"), or 0 when it has not said
// so within timeoutMs.
inline int WaitForExporterPort(const RouterProcess& exporter, int timeoutMs) {
  int port = 0;
  const std::string prefix = "rrctl exporter: listening on 127.0.0.1:";
  WaitUntil(
      [&] {
        const std::string out = exporter.out();
        const std::string::size_type at = out.find(prefix);
        if (at == std::string::npos || out.find('\n', at) == std::string::npos) return false;
        port = std::stoi(out.substr(at + prefix.size()));
        return true;
      },
      timeoutMs);
  return port;
}

// Waits until the router's listeners answer: a connection to the message
// center (and the monitor, when it has one) is accepted and a get-server
// datagram for a pool nobody serves is answered.
inline bool WaitUntilListening(const RouterDef& r, int timeoutMs) {
  return WaitUntil(
      [&r] {
        if (r.mcPort != 0 && !TcpPortAnswers(r.host, r.mcPort)) return false;
        if (r.monitorPort != 0 && !TcpPortAnswers(r.host, r.monitorPort)) return false;
        FakeWebAdapter adapter(r.host, r.port, 200);
        FakeWebAdapter::Request probe;
        probe.pool = "ProbeOnly";
        probe.maxTries = 0;
        return !adapter.getServer(probe).empty();
      },
      timeoutMs);
}

}  // namespace routertest

#endif  // ROUTERSYSTEMSUPPORT_H
