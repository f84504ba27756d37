/* rrbench.cpp - load generator for the request router: command line and result output.
 *
 * Without --all one scenario is built from the options; with --all every
 * standard scenario runs in turn; --scale runs the full-cycle cases over
 * many connected servers (BenchScale.h) and --cycle one such case. Results go to standard output as a table
 * and, with --csv, to a CSV file; progress and errors go to standard error.
 */
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "BenchScale.h"
#include "BenchScenario.h"
#include "BenchStats.h"
#include "RRToolAddress.h"
#include "RRToolException.h"

#ifndef RRBENCH_DEFAULT_ROUTER
#define RRBENCH_DEFAULT_ROUTER ""
#endif

namespace {

const char* const kUsage =
    "usage: rrbench [--all | scenario options] [options]\n"
    "  --all                 run every standard scenario\n"
    "  --scale               full cycles (get-server, working, idle) against the bare baseline for\n"
    "                        10 to 10,000 servers in one pool and in 100 pools, and get-server\n"
    "                        without servers against the UDP echo (defaults: --rounds 15\n"
    "                        --duration 4500 --warmup 100: short alternating rounds, so that a\n"
    "                        change of the machine's pace spoils few of them)\n"
    "  --sizes N,N,...       server counts of --scale (default 10,100,900,1000,5000,10000)\n"
    "  --cycle               one full-cycle case with --servers, --pools and --clients\n"
    "  --no-pin              --scale and --cycle: do not pin the clients to CPU 0 and router and\n"
    "                        baseline to CPU 1 (pinned by default when there are two CPUs or more)\n"
    "scenario options (one scenario):\n"
    "  --name NAME           label of the result line (default custom)\n"
    "  --servers N           simulated application servers (default 10)\n"
    "  --pools P             pools the servers are spread over (default 1)\n"
    "  --clients W           get-server clients, one request in flight each (default 1)\n"
    "  --routers R           1, or 2 (the second on 127.0.0.2) (default 1)\n"
    "  --limits              requests carry per-client, per-site and per-extension limits\n"
    "  --service-ms MS       time between working and idle report (default 0)\n"
    "  --cache-items K       cache items sent with every idle report (default 0)\n"
    "  --paced               a client waits for its server's cycle before the next request\n"
    "  --refused             requests carry an extension limit of 0: scanned, refused, nothing assigned\n"
    "options:\n"
    "  --router-bin PATH     router binary (default: the one built with rrbench)\n"
    "  --duration MS         measured time per side, split over the rounds (default 1500)\n"
    "  --rounds N            baseline and router alternate N times (default 3)\n"
    "  --warmup MS           unmeasured time at the start of every round (default 200)\n"
    "  --csv FILE            also write the results as CSV\n"
    "  --keep                keep the scratch directories (configuration and logs)\n"
    "  --thread-baseline     run the echo baseline in a thread of rrbench instead of a process\n"
    "  --verbose             report progress on standard error\n"
    "external router (instead of starting one):\n"
    "  --connect HOST:PORT   get-server port   --mc HOST:PORT  message-center port\n"
    "  --monitor HOST:PORT   monitor port (optional)   --pid PID  router process for the memory figure\n";

[[noreturn]] void usage(const std::string& problem) {
  throw CToolException(CToolException::TOOL_USAGE, problem);
}

int number(const std::vector<std::string>& args, std::size_t* pIndex, long low, long high) {
  const std::string& name = args[*pIndex];
  if (*pIndex + 1 >= args.size()) usage("option " + name + " needs a value");
  const std::string& text = args[++*pIndex];
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || errno != 0 || *end != '\0' || value < low || value > high) {
    usage("option " + name + " needs a whole number from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return static_cast<int>(value);
}

std::string text(const std::vector<std::string>& args, std::size_t* pIndex) {
  if (*pIndex + 1 >= args.size()) usage("option " + args[*pIndex] + " needs a value");
  return args[++*pIndex];
}

/* Simulated servers need one descriptor each; the default limit of 1024 is too small. */
void raiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::vector<int> sizeList(const std::vector<std::string>& args, std::size_t* pIndex) {
  const std::string list = text(args, pIndex);
  std::vector<int> sizes;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(start, end - start);
    char* stop = nullptr;
    errno = 0;
    const long value = std::strtol(item.c_str(), &stop, 10);
    if (item.empty() || errno != 0 || *stop != '\0' || value < 1 || value > 30000) {
      usage("--sizes needs server counts from 1 to 30000 separated by commas");
    }
    sizes.push_back(static_cast<int>(value));
    start = end + 1;
  }
  return sizes;
}

/* --scale and --cycle: the table and verdicts on standard output, CSV to csv. */
int runScale(const std::vector<RRScaleCase>& cases, bool withGetServer, const RRBenchOptions& options,
             const std::string& csv) {
  std::ofstream csvFile;
  if (!csv.empty()) {
    csvFile.open(csv);
    if (!csvFile) throw CToolException(CToolException::TOOL_IO, "cannot write " + csv);
    csvFile << RRScaleCsvHeader() << std::flush;
  }
  std::vector<RRScaleFigures> results;
  if (withGetServer) {
    std::cerr << "rrbench: running noserver ..." << std::endl;
    results.push_back(RRRunNoServerCase(options));
    if (csvFile.is_open()) csvFile << RRScaleCsvLine(results.back()) << std::flush;
  }
  for (const RRScaleCase& scaleCase : cases) {
    std::cerr << "rrbench: running " << scaleCase.name << " ..." << std::endl;
    results.push_back(RRRunScaleCase(scaleCase, options));
    if (csvFile.is_open()) csvFile << RRScaleCsvLine(results.back()) << std::flush;
  }
  std::cout << RRScaleTable(results) << "\n" << RRScaleVerdicts(results);
  return 0;
}

int run(const std::vector<std::string>& args) {
  RRBenchOptions options;
  options.routerBinary = RRBENCH_DEFAULT_ROUTER;
  RRScenario custom;
  custom.name = "custom";
  bool all = false;
  bool scale = false;
  bool cycle = false;
  bool haveRounds = false;
  bool haveDuration = false;
  bool haveWarmup = false;
  bool pin = true;
  std::vector<int> sizes = {10, 100, 900, 1000, 5000, 10000};
  std::string csv;
  bool haveConnect = false;
  bool haveMc = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--all") {
      all = true;
    } else if (arg == "--scale") {
      scale = true;
    } else if (arg == "--sizes") {
      sizes = sizeList(args, &i);
    } else if (arg == "--cycle") {
      cycle = true;
    } else if (arg == "--no-pin") {
      pin = false;
    } else if (arg == "--name") {
      custom.name = text(args, &i);
    } else if (arg == "--servers") {
      custom.servers = number(args, &i, 1, 30000);
    } else if (arg == "--pools") {
      custom.pools = number(args, &i, 1, 1000);
    } else if (arg == "--clients") {
      custom.clients = number(args, &i, 1, 64);
    } else if (arg == "--routers") {
      custom.routers = number(args, &i, 1, 2);
    } else if (arg == "--limits") {
      custom.limits = true;
    } else if (arg == "--paced") {
      custom.paced = true;
    } else if (arg == "--refused") {
      custom.refused = true;
    } else if (arg == "--rounds") {
      options.rounds = number(args, &i, 1, 100);
      haveRounds = true;
    } else if (arg == "--service-ms") {
      custom.serviceMs = number(args, &i, 0, 60000);
    } else if (arg == "--cache-items") {
      custom.cacheItemsPerIdle = number(args, &i, 0, 1000);
    } else if (arg == "--router-bin") {
      options.routerBinary = text(args, &i);
    } else if (arg == "--duration") {
      options.durationMs = number(args, &i, 100, 600000);
      haveDuration = true;
    } else if (arg == "--warmup") {
      options.warmupMs = number(args, &i, 0, 60000);
      haveWarmup = true;
    } else if (arg == "--csv") {
      csv = text(args, &i);
    } else if (arg == "--keep") {
      options.keepFiles = true;
    } else if (arg == "--thread-baseline") {
      options.threadBaseline = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--connect") {
      options.externalGetServer = RRToolParseAddress(text(args, &i));
      haveConnect = true;
    } else if (arg == "--mc") {
      options.externalMessageCenter = RRToolParseAddress(text(args, &i));
      haveMc = true;
    } else if (arg == "--monitor") {
      options.externalMonitor = RRToolParseAddress(text(args, &i));
    } else if (arg == "--pid") {
      options.externalPid = number(args, &i, 1, INT_MAX);
    } else {
      usage("unknown argument '" + arg + "'");
    }
  }
  if (custom.servers < custom.pools) usage("--servers must be at least --pools");
  if (haveConnect != haveMc) usage("--connect and --mc go together");
  options.external = haveConnect;
  if (options.external && (all || custom.routers != 1)) usage("an external router runs one scenario with one router");
  if (!options.external && options.routerBinary.empty()) usage("no router binary: give --router-bin");
  if (options.external) {
    options.externalMonitor.host = options.externalMonitor.port ? options.externalMonitor.host : "";
  }

  raiseDescriptorLimit();
  if (scale || cycle) {
    if (scale && (all || cycle)) usage("--scale runs alone, without --all or --cycle");
    if (all) usage("--cycle runs alone, without --all");
    if (options.external) usage("--scale and --cycle start their own router");
    if (!haveRounds) options.rounds = 15;
    if (!haveDuration) options.durationMs = 4500;
    if (!haveWarmup) options.warmupMs = 100;
    if (pin && sysconf(_SC_NPROCESSORS_ONLN) >= 2) {
      options.clientCpu = 0;
      options.serverCpu = 1;
    }
    if (scale) return runScale(RRScaleCases(sizes), true, options, csv);
    RRScaleCase one;
    one.servers = custom.servers;
    one.pools = custom.pools;
    one.clients = custom.clients;
    one.name = custom.name != "custom" ? custom.name
                                       : "cycle" + std::to_string(one.servers) + "x" + std::to_string(one.pools);
    return runScale({one}, false, options, csv);
  }
  std::vector<RRScenario> scenarios = all ? RRAllScenarios() : std::vector<RRScenario>{custom};
  std::vector<RRBenchFigures> results;
  std::ofstream csvFile;
  if (!csv.empty()) {
    csvFile.open(csv);
    if (!csvFile) throw CToolException(CToolException::TOOL_IO, "cannot write " + csv);
    csvFile << RRBenchCsvHeader() << std::flush;
  }
  for (const RRScenario& scenario : scenarios) {
    std::cerr << "rrbench: running " << scenario.name << " ..." << std::endl;
    results.push_back(RRRunScenario(scenario, options));
    if (csvFile.is_open()) csvFile << RRBenchCsvLine(results.back()) << std::flush;
  }
  std::cout << RRBenchTable(results);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const CToolException& e) {
    std::cerr << "rrbench: " << e.what() << "\n";
    if (e.kind() == CToolException::TOOL_USAGE) std::cerr << kUsage;
    return e.kind() == CToolException::TOOL_USAGE ? 2 : 1;
  } catch (const std::exception& e) {
    std::cerr << "rrbench: " << e.what() << "\n";
    return 1;
  }
}
