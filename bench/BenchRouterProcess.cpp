/* BenchRouterProcess.cpp - configuration, start, readiness and stop of benchmark routers.
 *
 * Readiness is tested through the protocols themselves (a monitor request
 * and a get-server probe for a pool that does not exist), so a run never
 * starts against a router whose listeners are still binding.
 */
#include "BenchRouterProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "KTUtils.h"
#include "RRGetServer.h"
#include "RRMonitorClient.h"
#include "RRToolException.h"
#include "RRToolSocket.h"

namespace {

/* Binds a socket of the type to host:port (0: any); returns the port or 0. */
uint16_t bindOnce(const std::string& host, int type, uint16_t port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    close(fd);
    return 0;
  }
  socklen_t length = sizeof addr;
  uint16_t result = 0;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &length) == 0) {
    result = ntohs(addr.sin_port);
  }
  close(fd);
  return result;
}

std::string tailOf(const std::string& path, std::size_t count) {
  std::ifstream in(path);
  std::deque<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
    if (lines.size() > count) lines.pop_front();
  }
  std::string text;
  for (const auto& line : lines) text += "    " + line + "\n";
  return text;
}

}  // namespace

uint16_t RRBenchFreePort(const std::string& host, std::set<uint16_t>* pUsed) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const uint16_t port = bindOnce(host, SOCK_STREAM, 0);
    if (port == 0) {
      throw CToolException(CToolException::TOOL_IO, "cannot bind a port on " + host);
    }
    if (pUsed->count(port) == 0 && bindOnce(host, SOCK_DGRAM, port) == port) {
      pUsed->insert(port);
      return port;
    }
  }
  throw CToolException(CToolException::TOOL_IO, "no free port found on " + host);
}

std::string RRBenchConfigXml(const std::vector<RRBenchRouterDef>& routers, uint16_t cachePort,
                             unsigned maxCacheItems) {
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<!-- written by rrbench -->\n"
      << "<config>\n"
      << "  <requestrouters max_cache_items=\"" << maxCacheItems << "\">\n";
  for (const auto& r : routers) {
    xml << "    <requestrouter name=\"" << r.name << "\" host=\"" << r.host << "\" port=\"" << r.port
        << "\" mc_port=\"" << r.mcPort << "\" monitor_port=\"" << r.monitorPort << "\"/>\n";
  }
  xml << "  </requestrouters>\n"
      << "  <pools>\n"
      << "    <pool name=\"BenchPool\">\n"
      << "      <requestrouters>\n";
  for (const auto& r : routers) xml << "        <requestrouter>" << r.name << "</requestrouter>\n";
  xml << "      </requestrouters>\n"
      << "    </pool>\n"
      << "  </pools>\n"
      << "  <cacheservers>\n"
      << "    <server host=\"127.0.0.1\" port=\"" << cachePort << "\"/>\n"
      << "  </cacheservers>\n"
      << "</config>\n";
  return xml.str();
}

CBenchDir::CBenchDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/rrbench_XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    throw CToolException(CToolException::TOOL_IO, "cannot create a directory like " + pattern + ": " +
                                                      std::strerror(errno));
  }
  mPath = pattern;
}

CBenchDir::~CBenchDir() {
  if (mKeep || mPath.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(mPath, ignored);
}

CRouterProcess::CRouterProcess(std::string binary, std::string configDir, std::string logDir, std::string ipList)
    : mBinary(std::move(binary)),
      mConfigDir(std::move(configDir)),
      mLogDir(std::move(logDir)),
      mIpList(std::move(ipList)) {}

CRouterProcess::~CRouterProcess() { stop(); }

void CRouterProcess::start() {
  if (access(mBinary.c_str(), X_OK) != 0) {
    throw CToolException(CToolException::TOOL_IO, "router binary " + mBinary + " is not executable");
  }
  // Everything the child needs is prepared here: after fork only
  // async-signal-safe calls are allowed, and other threads may be running.
  const std::string console = mLogDir + "/console-" + mIpList + ".txt";
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "VEXORA", 6) != 0) environment.push_back(*e);
  }
  environment.push_back("VEXORA_CONFIG=" + mConfigDir);
  environment.push_back("VEXORA_LOG=" + mLogDir);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  std::vector<std::string> arguments = {mBinary, "-iplist", mIpList, "-console"};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (mCpu >= 0) CPU_SET(mCpu, &cpus);
  const pid_t pid = fork();
  if (pid < 0) throw CToolException(CToolException::TOOL_IO, std::string("fork failed: ") + std::strerror(errno));
  if (pid == 0) {
    if (mCpu >= 0) sched_setaffinity(0, sizeof cpus, &cpus);
    int out = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in >= 0) dup2(in, STDIN_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  mPid = pid;
}

bool CRouterProcess::running() {
  if (mPid <= 0) return false;
  int status = 0;
  const pid_t done = waitpid(mPid, &status, WNOHANG);
  if (done == mPid) {
    mPid = -1;
    return false;
  }
  return true;
}

std::string CRouterProcess::logTail(std::size_t lines) const {
  return "  RequestRouter.log:\n" + tailOf(mLogDir + "/RequestRouter.log", lines) + "  console output:\n" +
         tailOf(mLogDir + "/console-" + mIpList + ".txt", lines);
}

void CRouterProcess::waitReady(const RRBenchRouterDef& def, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  CASRequestInfo probe("bench", "/ready/probe.html", "127.0.0.1", 0, 1);
  probe.poolName = "rrbench-ready-probe";
  probe.storeName = "-";
  probe.siteGUID = "-";
  const std::string datagram = RRGetServerDatagram(probe);
  std::string last = "no attempt";
  while (std::chrono::steady_clock::now() < deadline) {
    if (!running()) {
      throw CToolException(CToolException::TOOL_CLOSED,
                           "router '" + def.name + "' ended during start-up\n" + logTail());
    }
    try {
      CMonitorClient monitor(def.monitor(), 500);
      monitor.request(CMonitorClient::requestLine(MONITOR_GET_POOLS));
      CToolSocket mc = CToolSocket::connectTcp(def.messageCenter(), 500);
      CToolSocket udp = CToolSocket::connectUdp(def.getServer());
      udp.sendAll(datagram);
      RRParseGetServerAnswer(udp.receiveDatagram(500));
      return;
    } catch (const CToolException& e) {
      last = e.what();
    }
    SleepMilliseconds(50);
  }
  throw CToolException(CToolException::TOOL_TIMEOUT, "router '" + def.name + "' not ready within " +
                                                         std::to_string(timeoutMs) + " ms (" + last + ")\n" +
                                                         logTail());
}

int CRouterProcess::stop() {
  if (mPid <= 0) return -1;
  kill(mPid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (waitpid(mPid, &status, WNOHANG) == mPid) {
      mPid = -1;
      return status;
    }
    SleepMilliseconds(10);
  }
  kill(mPid, SIGKILL);
  waitpid(mPid, &status, 0);
  mPid = -1;
  return status;
}
