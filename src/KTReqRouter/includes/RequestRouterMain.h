/* RequestRouterMain.h - start-up of the router process: options, IP list, usage.
 *
 * RequestRouterMain runs the whole start-up: trace and log set-up in the log
 * directory (VEXORA_LOG), the router's own options, the local IP list, then
 * the configuration, the router service and its controller. The router
 * options are removed from the command line as they are read, so the
 * controller sees only the rest; "-check" is taken before the controller
 * runs and replaces it by the configuration check. Start-up failures are
 * reported as "main(): exception: <text>" in the log and on standard error.
 *
 * Thread safety: start-up runs in the process's only thread; none of these
 * functions may run concurrently with another thread that touches the
 * environment.
 */
#ifndef REQUESTROUTERMAIN_H
#define REQUESTROUTERMAIN_H

#include <string>
#include <vector>

class CCmdLine;

/* The router's own options as found on the command line. */
struct CmdLineArguments {
  bool setDebugLevel = false;        /* "-debug" or "-d" was present */
  int debugLevel = 0;                /* its value, the debug-trace mask */
  bool setLogFilename = false;       /* "-log" or "-l" was present */
  std::string logFilename;           /* its value */
  bool setDebugLogFilename = false;  /* "-debuglog" was present */
  std::string debugLogFilename;      /* its value */
  bool setIPList = false;            /* "-iplist" or "-i" was present */
  std::string iplist;                /* addresses separated by blanks, tabs or commas */
};

/* Takes the router options out of cmdLine ("-debug" before "-d", "-log"
 * before "-l", "-iplist" before "-i"; the short form stays on the command
 * line when the long one is present). Raises CException for a "-debug" value
 * that is not a decimal int and for "-log", "-debuglog" or "-iplist" without
 * a value. */
CmdLineArguments parseCommandLine(CCmdLine& cmdLine);

/* Splits text at runs of blanks, tabs and commas; never yields empty entries. */
std::vector<std::string> splitIPList(const std::string& text);

/* The local IP list: the split text, or for an empty text the list of
 * VEXORA_IPLIST, or, when that is not set, the host's own addresses and
 * names. Raises CWIException when the host's addresses cannot be found. */
std::vector<std::string> parseIPList(const std::string& iplist);

/* Loads the default configuration file, builds the router service with one
 * instance "-rr <name>" per configured router whose host text is in ipList
 * (ascending name order) and lets the router controller act on the rest of
 * cmdLine. When the controller is to run the service ("-console", "-start",
 * "-restart", "-runservice"), first raises the descriptor limit and logs
 * the line of raiseDescriptorLimit. Returns the controller's exit status
 * (0 on success). Raises an exception of the CException family when the
 * configuration does not load or the controller action fails (for
 * "-console": when a router instance fails). Call once per process: the controller exists once. */
int startInstances(CCmdLine& cmdLine, const std::vector<std::string>& ipList);

/* Loads the configuration and selects the local routers exactly as
 * startInstances does, but builds no router and runs no controller: nothing
 * is bound, no thread or daemon is started, the shared PID list is not
 * touched. Returns the report, one line per local router (ascending name
 * order)
 *   "<name>: get-server <host>:<port>, message center <host>:<port>,
 *    monitor <host>:<port>"
 * with "*" as host for a listener on every local address and "monitor none"
 * without a monitor port, or the line "no configured request router is
 * local to this host (IP list: <a>, <b>)", then "configuration <file> is
 * valid". Raises CException when the configuration does not load or a local
 * router lacks an endpoint its instance needs. */
std::string checkConfiguration(const std::vector<std::string>& ipList);

/* The usage lines of the router options and of "-check", labels
 * right-aligned in 34 columns. Never fails. */
std::string routerOptionsUsage();

/* The router controller's usage: the general controller usage, a line end
 * and the router options. Never fails. */
std::string routerControllerUsage(const std::string& controllerUsage);

/* Raises the soft RLIMIT_NOFILE of the process to its hard limit (keeping
 * the soft one when that is refused) and returns the line that reports it:
 * "RequestRouter: descriptor limit raised from <soft> to <hard> open files",
 * "RequestRouter: descriptor limit is <n> open files" when there was nothing
 * to raise, the same with " (cannot raise it to <hard>: <reason>)" when the
 * system refused, or "RequestRouter: cannot read the descriptor limit:
 * <reason>". RLIM_INFINITY shows as "unlimited". Never fails. */
std::string raiseDescriptorLimit();

/* Ignores SIGPIPE for the process, so that a write to a connection reset by
 * the peer fails with an error instead of ending the process. Returns false
 * when the disposition could not be changed. */
bool ignoreSigpipe();

/* The whole start-up; returns the process exit status: the controller's
 * status (0 on success; 0 after a passed "-check"), 1 when VEXORA_LOG is not
 * set or start-up or the check failed. */
int RequestRouterMain(int argc, char** argv);

#endif /* REQUESTROUTERMAIN_H */
