/* RequestRouterMain.cpp - the router process's start-up sequence.
 *
 * Order: SIGPIPE ignored, log directory read (its absence ends the process
 * with a message on standard error), trace mask and trace file, socket
 * library guard, log file, router options, debug mask, IP list, then the
 * configuration, service and controller; when the controller is to run the
 * service, the descriptor limit is raised and logged just before. With
 * "-check" the configuration and the local routers are worked out the same
 * way, reported on standard output, and the controller never runs. Every failure after the log is set
 * up is written to the log and to standard error and gives exit status 1;
 * otherwise the exit status is the controller's (the service's result for
 * "-console").
 */
#include "RequestRouterMain.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <iostream>

#include <memory>

#include "CmdLine.h"
#include "Exception.h"
#include "IPEndpoint.h"
#include "KTDebug.h"
#include "KTLog.h"
#include "LocalIP.h"
#include "Log.h"
#include "RequestRouterService.h"
#include "ServiceController.h"
#include "SocketLib.h"
#include "VexoraEnv.h"
#include "WIException.h"
#include "XMLConfig.h"

namespace {

const char kLogFileName[] = "/RequestRouter.log";
const char kDebugFileName[] = "/RequestRouterDebug.log";
const int kStartupDebugMask = KTDEBUG_CORE | KTDEBUG_CONFIG | KTDEBUG_RROUTER;
const size_t kUsageLabelWidth = 34;
const char kCheckSwitch[] = "-check";

/* Decimal conversion of a "-debug" value: leading white space and a sign are
 * accepted, conversion stops at the first non-digit. Returns false when there
 * is no digit or the value does not fit an int. */
bool toDebugLevel(const std::string& text, int& level) {
  const char* start = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = strtol(start, &end, 10);
  if (end == start || errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
  level = static_cast<int>(value);
  return true;
}

/* One usage line: the label right-aligned in its field, then the description. */
std::string usageLine(const std::string& label, const std::string& description) {
  std::string line;
  if (label.size() < kUsageLabelWidth) line.assign(kUsageLabelWidth - label.size(), ' ');
  line += label;
  line += description;
  line += '\n';
  return line;
}

/* "host:port" as the router reports its listeners: "*" for a listener on
 * every local address, IPv6 literals in brackets. */
std::string listenerText(const IPEndpoint& endpoint) {
  const std::string host = endpoint.bind ? endpoint.ip : std::string("*");
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(endpoint.port);
}

/* Loads the default configuration file and builds the router service with
 * one instance per local router. Raises CException when the file does not
 * load or fails a cross check. */
std::unique_ptr<CRequestRouterService> loadService(const std::vector<std::string>& ipList) {
  for (const std::string& ip : ipList) {
    KTDEBUG_MSG(KTDEBUG_RROUTER, "loadService(): local address %s", ip.c_str());
  }
  std::unique_ptr<XMLConfig::CConfigFile> config = std::make_unique<XMLConfig::CConfigFile>();
  config->loadFile();
  auto service = std::make_unique<CRequestRouterService>(std::move(config), ipList);
  const size_t instances = service->addLocalRouters();
  KTDEBUG_MSG(KTDEBUG_RROUTER, "loadService(): %d local router instance%s", (int)instances,
              instances == 1 ? "" : "s");
  (void)instances;
  return service;
}

/* A descriptor limit as the log line shows it. */
std::string limitText(rlim_t limit) {
  return limit == RLIM_INFINITY ? std::string("unlimited") : std::to_string((unsigned long long)limit);
}

/* True when the controller is going to run the service in this process or
 * in a daemon forked from it: the first controller switch found, in the
 * order the controller looks for them, starts the service. */
bool runsService(const CCmdLine& cmdLine) {
  typedef CServiceControllerBase Base;
  const struct {
    const char* name;
    bool runs;
  } switches[] = {
      {Base::SYSTEM_START_SWITCH, true}, {Base::CONSOLE_SWITCH, true}, {Base::START_SWITCH, true},
      {Base::STOP_SWITCH, false},        {Base::RESTART_SWITCH, true}, {Base::INSTALL_SWITCH, false},
      {Base::UNINSTALL_SWITCH, false},   {Base::STATUS_SWITCH, false},
  };
  for (const auto& sw : switches) {
    if (cmdLine.hasOption(sw.name)) return sw.runs;
  }
  return false;
}

/* True when the log has a file name and the file can be opened for
 * appending, so that a line reaches the file and not the log's fallback. */
bool logReachesItsFile() {
  const KTLog* pLog = CLog::log;
  if (pLog == nullptr || pLog->filename == nullptr) return false;
  const int fd = open(pLog->filename, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0660);
  if (fd < 0) return false;
  close(fd);
  return true;
}

/* Writes a start-up failure to the log and, once, to standard error: when
 * the log file cannot be opened the log itself writes the line there. */
void reportStartupFailure(const char* message) {
  const bool toFile = logReachesItsFile();
  KTLogWrite(CLog::log, "%s", message);
  if (toFile) {
    fprintf(stderr, "%s\n", message);
    fflush(stderr);
  }
}


}  // namespace

CmdLineArguments parseCommandLine(CCmdLine& cmdLine) {
  CmdLineArguments args;
  std::string value;
  if (cmdLine.popOption("-debug", value) || cmdLine.popOption("-d", value)) {
    if (!toDebugLevel(value, args.debugLevel)) {
      throw CException("parseCommandLine(): invalid value for parameter -debug");
    }
    args.setDebugLevel = true;
  }
  args.setLogFilename =
      cmdLine.popOption("-log", args.logFilename) || cmdLine.popOption("-l", args.logFilename);
  args.setDebugLogFilename = cmdLine.popOption("-debuglog", args.debugLogFilename);
  args.setIPList =
      cmdLine.popOption("-iplist", args.iplist) || cmdLine.popOption("-i", args.iplist);

  if (args.setLogFilename && args.logFilename.empty()) {
    throw CException("parseCommandLine(): Used '-log' option without passing a file name");
  }
  if (args.setDebugLogFilename && args.debugLogFilename.empty()) {
    throw CException("parseCommandLine(): Used '-debuglog' option without passing a file name");
  }
  if (args.setIPList && args.iplist.empty()) {
    throw CException(
        "parseCommandLine(): Used '-iplist' option without passig an ip address list");
  }
  KTDEBUG_MSG(KTDEBUG_CORE, "parseCommandLine(): debug=%d(%d) log=%d iplist='%s'",
              args.setDebugLevel ? 1 : 0, args.debugLevel, args.setLogFilename ? 1 : 0,
              args.iplist.c_str());
  return args;
}

/* Never fails. */
std::vector<std::string> splitIPList(const std::string& text) {
  static const char kSeparators[] = " \t,";
  std::vector<std::string> list;
  std::string::size_type pos = text.find_first_not_of(kSeparators);
  while (pos != std::string::npos) {
    const std::string::size_type end = text.find_first_of(kSeparators, pos);
    list.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = (end == std::string::npos) ? end : text.find_first_not_of(kSeparators, end);
  }
  return list;
}

std::vector<std::string> parseIPList(const std::string& iplist) {
  if (!iplist.empty()) return splitIPList(iplist);
  try {
    return CVexoraEnv::ipList();
  } catch (const CWIException&) {
    KTDEBUG_MSG(KTDEBUG_CORE, "parseIPList(): VEXORA_IPLIST not set, using local addresses");
  }
  return GetLocalIPList();
}

int startInstances(CCmdLine& cmdLine, const std::vector<std::string>& ipList) {
  // The service and its configuration live until the process ends: the
  // controller keeps the service registered for the whole process, and a
  // forked daemon ends the process from inside the controller.
  static std::unique_ptr<CRequestRouterService> service;
  service = loadService(ipList);

  // Every connection costs the router a descriptor: take all the system
  // grants before the first listener opens (a daemon inherits the limit).
  if (runsService(cmdLine)) KTLogWrite(CLog::log, "%s", raiseDescriptorLimit().c_str());

  CRequestRouterController controller;
  controller.registerService(service.get());
  return controller.run(cmdLine);
}

std::string checkConfiguration(const std::vector<std::string>& ipList) {
  const std::unique_ptr<CRequestRouterService> service = loadService(ipList);
  const XMLConfig::CConfigFile& config = service->getConfig();
  std::string report;
  // The same lookups a router instance makes when it is built, so that a
  // router it could not build fails the check as well.
  for (const std::string& name : service->getLocalRouters()) {
    const IPEndpoint server = config.getRequestRouter(name);
    const IPEndpoint mc = config.getMessageCenter(name);
    const IPEndpoint monitor = config.getMonitor(name);
    report += name + ": get-server " + listenerText(server) + ", message center " +
              listenerText(mc) + ", monitor " +
              (monitor.port != 0 ? listenerText(monitor) : std::string("none")) + "\n";
  }
  if (service->getLocalRouters().empty()) {
    std::string addresses;
    for (const std::string& ip : ipList) addresses += (addresses.empty() ? "" : ", ") + ip;
    report += "no configured request router is local to this host (IP list: " +
              (addresses.empty() ? std::string("empty") : addresses) + ")\n";
  }
  report += "configuration " + XMLConfig::CConfigFile::defaultFileName() + " is valid\n";
  return report;
}

/* Never fails. */
std::string routerOptionsUsage() {
  return usageLine("-debug: ", "set debug level") +
         usageLine("-debuglog: ", "debug log file prefix") +
         usageLine("-log: ", "use alternate log file") +
         usageLine("-iplist: ", "set the IP address to look up in the config file") +
         usageLine("-check: ", "check the configuration and exit");
}

/* Never fails. */
std::string routerControllerUsage(const std::string& controllerUsage) {
  return controllerUsage + "\n" + routerOptionsUsage();
}

/* Never fails; a limit that cannot be raised stays as it was. */
std::string raiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return std::string("RequestRouter: cannot read the descriptor limit: ") + strerror(errno);
  }
  if (limit.rlim_cur == limit.rlim_max) {
    return "RequestRouter: descriptor limit is " + limitText(limit.rlim_cur) + " open files";
  }
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return "RequestRouter: descriptor limit is " + limitText(before) + " open files (cannot raise it to " +
           limitText(limit.rlim_max) + ": " + strerror(errno) + ")";
  }
  return "RequestRouter: descriptor limit raised from " + limitText(before) + " to " +
         limitText(limit.rlim_max) + " open files";
}

/* Returns false when sigaction refuses the change. */
bool ignoreSigpipe() {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGPIPE, &action, nullptr) == 0;
}

int RequestRouterMain(int argc, char** argv) {
  const char* exeName = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
  if (!ignoreSigpipe()) {
    fprintf(stderr, "main(): cannot ignore SIGPIPE: %s\n", strerror(errno));
  }

  // Without a log directory there is neither trace nor log to report to.
  std::string logDir;
  try {
    logDir = CVexoraEnv::logDir();
  } catch (const std::exception& e) {
    fprintf(stderr, "main(): exception: %s\n", e.what());
    return 1;
  }

#ifdef KT_DEBUG_TRACE
  KTDebugSetLevel(pKTDebug, kStartupDebugMask);
#else
  (void)kStartupDebugMask;
#endif
  KTDEBUG_MSG(KTDEBUG_CORE, "main(): %s started with %d parameters", exeName, argc);
  const std::string debugFile = logDir + kDebugFileName;
  KTDEBUG_MSG(KTDEBUG_CORE, "main(): set debug log file to %s", debugFile.c_str());
#ifdef KT_DEBUG_TRACE
  KTDebugSetOutputFile(pKTDebug, debugFile.c_str());
#endif
  KTDEBUG_MSG(KTDEBUG_CORE, "main(): debug log activated");

  // Held for the whole start-up; on Linux it does nothing.
  [[maybe_unused]] CSocketLib socketLib;
  int exitStatus = 0;
  try {
    CLog::log.setFileName(logDir + kLogFileName);
    CCmdLine cmdLine(argc, argv, "-");
    const CmdLineArguments args = parseCommandLine(cmdLine);
    // Taken before the controller sees the command line, which would treat
    // it as an unknown switch and print the usage.
    std::string checkValue;
    const bool checkOnly = cmdLine.popOption(kCheckSwitch, checkValue);
    if (checkOnly && !checkValue.empty()) {
      // Checking the default file while the operator named another one
      // would report a file as valid that was never read.
      throw CException("'-check' takes no value, found '" + checkValue + "'");
    }
#ifdef KT_DEBUG_TRACE
    if (args.setDebugLevel) KTDebugSetLevel(pKTDebug, args.debugLevel);
#endif
    const std::vector<std::string> ipList = parseIPList(args.iplist);
    if (checkOnly) {
      const std::string report = checkConfiguration(ipList);
      if (fwrite(report.data(), 1, report.size(), stdout) != report.size() || fflush(stdout) != 0) {
        throw CException(std::string("cannot write the check report to standard output: ") +
                         strerror(errno));
      }
    } else {
      exitStatus = startInstances(cmdLine, ipList);
    }
  } catch (const CException& e) {
    const std::string message = std::string("main(): exception: ") + e.what();
    reportStartupFailure(message.c_str());
    exitStatus = 1;
  } catch (...) {
    reportStartupFailure("main(): caught unknown exception");
    exitStatus = 1;
  }
  return exitStatus;
}
