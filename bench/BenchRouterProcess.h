/* BenchRouterProcess.h - a router started by the benchmark in a scratch directory.
 *
 * The benchmark writes a configuration with free ports into a temporary
 * directory, starts the router binary in the foreground ("-console") with
 * VEXORA_CONFIG, VEXORA_LOG and "-iplist" set, waits until its three ports
 * answer, and stops it with SIGTERM (SIGKILL after five seconds) when done.
 * Several processes may share one configuration, each selecting its own
 * router by its address in "-iplist".
 *
 * Thread safety: objects are used by the benchmark's main thread only.
 */
#ifndef BENCHROUTERPROCESS_H
#define BENCHROUTERPROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "RRToolAddress.h"

/* One configured router. */
struct RRBenchRouterDef {
  std::string name;
  std::string host;
  uint16_t port = 0;        /* get-server (UDP) */
  uint16_t mcPort = 0;      /* message center (TCP) */
  uint16_t monitorPort = 0; /* monitor (TCP) */

  RRToolAddress getServer() const { return {host, port}; }
  RRToolAddress messageCenter() const { return {host, mcPort}; }
  RRToolAddress monitor() const { return {host, monitorPort}; }
};

/* A port on host that is free for TCP and UDP at the moment and not in
 * *pUsed, which receives it; throws CToolException TOOL_IO when the host
 * address cannot be bound. */
uint16_t RRBenchFreePort(const std::string& host, std::set<uint16_t>* pUsed);

/* A configuration document with the routers, one pool served by all of
 * them, and one cache server on cachePort. */
std::string RRBenchConfigXml(const std::vector<RRBenchRouterDef>& routers, uint16_t cachePort,
                             unsigned maxCacheItems);

/* A temporary directory removed with its content on destruction (unless kept). */
class CBenchDir {
 public:
  /* Creates it under TMPDIR (or /tmp); throws CToolException TOOL_IO. */
  CBenchDir();
  ~CBenchDir();
  CBenchDir(const CBenchDir&) = delete;
  CBenchDir& operator=(const CBenchDir&) = delete;
  const std::string& path() const { return mPath; }
  void keep() { mKeep = true; }

 private:
  std::string mPath;
  bool mKeep = false;
};

class CRouterProcess {
 public:
  /* Nothing runs until start(). */
  CRouterProcess(std::string binary, std::string configDir, std::string logDir, std::string ipList);
  ~CRouterProcess();
  CRouterProcess(const CRouterProcess&) = delete;
  CRouterProcess& operator=(const CRouterProcess&) = delete;

  /* Forks and executes the router; its standard output and error go to
   * console.txt in the log directory. Throws CToolException TOOL_IO. */
  void start();
  /* The router started next runs on this CPU only (-1: anywhere). */
  void setCpu(int cpu) { mCpu = cpu; }
  /* Waits until the monitor answers and the get-server port answers a
   * probe; throws CToolException TOOL_TIMEOUT (or TOOL_CLOSED when the
   * process ended) with the end of the router's log. */
  void waitReady(const RRBenchRouterDef& def, int timeoutMs);
  /* SIGTERM, then SIGKILL after five seconds; harmless when not running.
   * Returns the wait status, -1 when there was no process. */
  int stop();
  /* True while the process has not ended. */
  bool running();
  pid_t pid() const { return mPid; }
  /* The last lines of the router's log and console output, for error texts. */
  std::string logTail(std::size_t lines = 15) const;

 private:
  std::string mBinary;
  std::string mConfigDir;
  std::string mLogDir;
  std::string mIpList;
  pid_t mPid = -1;
  int mCpu = -1;
};

#endif /* BENCHROUTERPROCESS_H */
