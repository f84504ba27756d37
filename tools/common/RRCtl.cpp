/* RRCtl.cpp - command-line parsing, monitor queries and table layout of rrctl.
 *
 * Every failure ends in one "rrctl: " line on the error stream and a
 * non-zero exit status; nothing is printed on the output stream for a
 * command that failed, so scripts can trust what they read there.
 */
#include "RRCtl.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <ostream>
#include <set>

#include "ASRequestInfo.h"
#include "KTUtils.h"
#include "RRCtlJson.h"
#include "RRExporter.h"
#include "RRGetServer.h"
#include "RRMetrics.h"
#include "RRMonitorClient.h"
#include "RRTextTable.h"
#include "RRToolAddress.h"
#include "RRToolException.h"
#include "RRToolSocket.h"

namespace {

constexpr int kDefaultTimeoutMs = 3000;
constexpr int kDefaultIntervalMs = 1000;
/* The router reads a pool name of a reset request with "%99s": a longer
 * name would be cut and could reset a different pool. */
constexpr std::size_t kMaxPoolName = 99;

struct CommandLine {
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  bool raw = false;
  bool json = false;
};

[[noreturn]] void usageError(const std::string& text) {
  throw CToolException(CToolException::TOOL_USAGE, text);
}

/* The options each command takes; all but --raw and --json take a value. */
const std::set<std::string>& allowedOptions(const std::string& command) {
  static const std::map<std::string, std::set<std::string>> table = {
      {"pools", {"--raw", "--json", "--timeout"}},
      {"servers", {"--raw", "--json", "--timeout"}},
      {"peers", {"--raw", "--json", "--timeout"}},
      {"cache", {"--raw", "--json", "--timeout"}},
      {"metrics", {"--timeout"}},
      {"exporter", {"--listen", "--timeout", "--interval"}},
      {"reset", {"--timeout"}},
      {"watch", {"--timeout", "--interval", "--count"}},
      {"get-server",
       {"--raw", "--timeout", "--client", "--site", "--store", "--host", "--uri", "--ext", "--tries",
        "--max-tries", "--site-max", "--pool-site-max", "--pool-client-max", "--ext-max"}},
      {"explain",
       {"--raw", "--json", "--timeout", "--client", "--site", "--store", "--host", "--uri", "--ext", "--tries",
        "--max-tries", "--site-max", "--pool-site-max", "--pool-client-max", "--ext-max"}}};
  static const std::set<std::string> none;
  const auto it = table.find(command);
  return it == table.end() ? none : it->second;
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  if (args.empty()) usageError("no command given");
  CommandLine line;
  line.command = args[0];
  const std::set<std::string>& allowed = allowedOptions(line.command);
  if (allowed.empty()) usageError("unknown command '" + line.command + "'");
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      if (allowed.count(arg) == 0) usageError("unknown option '" + arg + "' for " + line.command);
      if (arg == "--raw") {
        line.raw = true;
        continue;
      }
      if (arg == "--json") {
        line.json = true;
        continue;
      }
      if (i + 1 >= args.size()) usageError("option " + arg + " needs a value");
      line.options[arg] = args[++i];
    } else {
      line.positional.push_back(arg);
    }
  }
  if (line.raw && line.json) usageError("--raw and --json exclude each other");
  return line;
}

/* A decimal int option within [low, high]; fallback when absent. */
int intOption(const CommandLine& line, const std::string& name, int fallback, long low, long high) {
  const auto it = line.options.find(name);
  if (it == line.options.end()) return fallback;
  const std::string& text = it->second;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  const bool startsRight = !text.empty() && (text[0] == '-' || (text[0] >= '0' && text[0] <= '9'));
  if (!startsRight || errno != 0 || *end != '\0' || value < low || value > high) {
    usageError("option " + name + " needs a whole number from " + std::to_string(low) + " to " +
               std::to_string(high) + ", not '" + text + "'");
  }
  return static_cast<int>(value);
}

std::string textOption(const CommandLine& line, const std::string& name, const std::string& fallback) {
  const auto it = line.options.find(name);
  return it == line.options.end() ? fallback : it->second;
}

void expectPositional(const CommandLine& line, std::size_t minimum, std::size_t maximum, const char* form) {
  if (line.positional.size() < minimum || line.positional.size() > maximum) {
    usageError(std::string("usage: rrctl ") + form);
  }
}

std::string number(long long value) { return std::to_string(value); }

std::string localTimestamp() {
  const time_t now = time(nullptr);
  struct tm local;
  char text[32];
  localtime_r(&now, &local);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

/* One monitor request on a fresh connection; the body of the answer. */
std::string monitorQuery(const RRToolAddress& address, const std::string& requestLine, int timeoutMs) {
  CMonitorClient client(address, timeoutMs);
  return client.request(requestLine);
}

int runQuery(const CommandLine& line, RRCtlIO& io) {
  expectPositional(line, 1, 1, (line.command + " HOST:PORT [--raw | --json] [--timeout MS]").c_str());
  const RRToolAddress address = RRToolParseAddress(line.positional[0]);
  const int timeoutMs = intOption(line, "--timeout", kDefaultTimeoutMs, 1, 600000);
  MonitorRequestCode code = MONITOR_GET_POOLS;
  if (line.command == "servers") code = MONITOR_GET_SERVERS;
  if (line.command == "peers") code = MONITOR_GET_MCSERVERS;
  if (line.command == "cache") code = MONITOR_GET_DEBUG;
  const std::string body = monitorQuery(address, CMonitorClient::requestLine(code), timeoutMs);
  std::string text;
  if (line.raw) {
    text = body;
  } else if (line.json) {
    if (code == MONITOR_GET_POOLS) text = RRPoolsJson(RRParsePoolLines(body));
    if (code == MONITOR_GET_SERVERS) text = RRServersJson(RRParseServerLines(body, false));
    if (code == MONITOR_GET_MCSERVERS) text = RRPeersJson(RRParsePeerLines(body));
    if (code == MONITOR_GET_DEBUG) text = RRServersJson(RRParseServerLines(body, true));
  } else if (code == MONITOR_GET_POOLS) {
    text = RRFormatPools(RRParsePoolLines(body));
  } else if (code == MONITOR_GET_SERVERS) {
    text = RRFormatServers(RRParseServerLines(body, false));
  } else if (code == MONITOR_GET_MCSERVERS) {
    text = RRFormatPeers(RRParsePeerLines(body));
  } else {
    text = RRFormatCache(RRParseServerLines(body, true));
  }
  io.out << text << std::flush;
  return RRCTL_EXIT_OK;
}

int runReset(const CommandLine& line, RRCtlIO& io) {
  expectPositional(line, 1, 2, "reset HOST:PORT [POOL] [--timeout MS]");
  const RRToolAddress address = RRToolParseAddress(line.positional[0]);
  const int timeoutMs = intOption(line, "--timeout", kDefaultTimeoutMs, 1, 600000);
  std::string request = CMonitorClient::requestLine(MONITOR_RESET_ALL_POOLS);
  std::string done = "statistics of all pools reset";
  if (line.positional.size() == 2) {
    const std::string& pool = line.positional[1];
    if (pool.empty() || pool.size() > kMaxPoolName || pool.find_first_of(" \t\r\n") != std::string::npos) {
      usageError("pool name '" + RRPrintable(pool) + "' must be 1 to 99 characters without white space");
    }
    request = CMonitorClient::requestLine(MONITOR_RESET_POOL, pool);
    done = "statistics of pool " + pool + " reset";
  }
  const std::string body = monitorQuery(address, request, timeoutMs);
  if (!body.empty()) {
    throw CToolException(CToolException::TOOL_PROTOCOL,
                         "unexpected answer to a reset: '" + RRPrintable(body) + "'");
  }
  io.out << done << "\n" << std::flush;
  return RRCTL_EXIT_OK;
}

/* The get-server datagram of the request options, pool line.positional[1]. */
std::string requestDatagram(const CommandLine& line) {
  CASRequestInfo info;
  try {
    info = CASRequestInfo(textOption(line, "--host", "localhost"),
                          textOption(line, "--uri", "/rrctl/probe.html"),
                          textOption(line, "--client", "127.0.0.1"), 0, 3);
  } catch (const CException& e) {
    usageError(std::string("bad --uri: ") + e.what());
  }
  info.poolName = line.positional[1];
  info.storeName = textOption(line, "--store", "-");
  info.siteGUID = textOption(line, "--site", "-");
  info.extension = textOption(line, "--ext", info.extension);
  info.tries = intOption(line, "--tries", 0, 0, INT_MAX);
  info.maxTries = intOption(line, "--max-tries", 3, 0, INT_MAX);
  info.siteMaxServers = intOption(line, "--site-max", -1, INT_MIN, INT_MAX);
  info.poolMaxServersPerSite = intOption(line, "--pool-site-max", -1, INT_MIN, INT_MAX);
  info.poolMaxServersPerClient = intOption(line, "--pool-client-max", -1, INT_MIN, INT_MAX);
  info.extMaxServers = intOption(line, "--ext-max", -1, INT_MIN, INT_MAX);
  return RRGetServerDatagram(info);
}

int runGetServer(const CommandLine& line, RRCtlIO& io) {
  expectPositional(line, 2, 2, "get-server HOST:PORT POOL [request options] [--raw] [--timeout MS]");
  const RRToolAddress address = RRToolParseAddress(line.positional[0]);
  const int timeoutMs = intOption(line, "--timeout", kDefaultTimeoutMs, 1, 600000);
  const std::string datagram = requestDatagram(line);

  CToolSocket socket = CToolSocket::connectUdp(address);
  socket.sendAll(datagram);
  const std::string reply = socket.receiveDatagram(timeoutMs);
  const RRGetServerAnswer answer = RRParseGetServerAnswer(reply);
  io.out << (line.raw ? reply : RRDescribeAnswer(answer)) << "\n" << std::flush;
  return RRCTL_EXIT_OK;
}

int runExplain(const CommandLine& line, RRCtlIO& io) {
  expectPositional(line, 2, 2, "explain HOST:PORT POOL [request options] [--raw | --json] [--timeout MS]");
  const RRToolAddress address = RRToolParseAddress(line.positional[0]);
  const int timeoutMs = intOption(line, "--timeout", kDefaultTimeoutMs, 1, 600000);
  // The monitor request carries the datagram's text after its code.
  const std::string datagram = requestDatagram(line);
  const std::string::size_type blank = datagram.find(' ');
  if (blank == std::string::npos || datagram.find_first_of("\r\n") != std::string::npos) {
    usageError("the request options do not fit on one monitor request line");
  }
  const std::string body = monitorQuery(
      address, std::to_string(MONITOR_EXPLAIN) + datagram.substr(blank) + "\n", timeoutMs);
  io.out << (line.raw ? body : line.json ? RRExplainJson(body) : RRFormatExplain(body)) << std::flush;
  return RRCTL_EXIT_OK;
}

int runMetrics(const CommandLine& line, RRCtlIO& io) {
  expectPositional(line, 1, 1, "metrics HOST:PORT [--timeout MS]");
  const RRToolAddress address = RRToolParseAddress(line.positional[0]);
  const int timeoutMs = intOption(line, "--timeout", kDefaultTimeoutMs, 1, 600000);
  CMetricSet metrics;
  metrics.add(RRFetchRouter(address, timeoutMs));
  io.out << metrics.render() << std::flush;
  return RRCTL_EXIT_OK;
}

/* HOST:PORT of a listener; port 0 asks the system for a free one. */
RRToolAddress listenAddress(const std::string& text) {
  const std::string::size_type colon = text.rfind(':');
  if (colon != std::string::npos && text.substr(colon + 1) == "0") {
    RRToolAddress address = RRToolParseAddress(text.substr(0, colon + 1) + "1");
    address.port = 0;
    return address;
  }
  return RRToolParseAddress(text);
}

int runExporter(const CommandLine& line, RRCtlIO& io) {
  const char* form = "exporter --listen HOST:PORT MONITOR... [--interval MS] [--timeout MS]";
  if (line.positional.empty() || line.options.count("--listen") == 0) usageError(std::string("usage: rrctl ") + form);
  RRExporterOptions options;
  options.listen = listenAddress(line.options.at("--listen"));
  options.timeoutMs = intOption(line, "--timeout", kDefaultTimeoutMs, 1, 600000);
  options.intervalMs = intOption(line, "--interval", options.intervalMs, 100, 60000);
  std::set<std::string> seen;
  for (const std::string& text : line.positional) {
    const RRToolAddress monitor = RRToolParseAddress(text);
    if (!seen.insert(RRToolFormatAddress(monitor)).second) {
      usageError("monitor " + RRToolFormatAddress(monitor) + " is given twice");
    }
    options.monitors.push_back(monitor);
  }
  return RRExporterRun(options, io.out, io.err);
}

int runWatch(const CommandLine& line, RRCtlIO& io) {
  expectPositional(line, 1, 1, "watch HOST:PORT [--interval MS] [--count N] [--timeout MS]");
  const RRToolAddress address = RRToolParseAddress(line.positional[0]);
  const int timeoutMs = intOption(line, "--timeout", kDefaultTimeoutMs, 1, 600000);
  const int intervalMs = intOption(line, "--interval", kDefaultIntervalMs, 10, 3600000);
  const int count = intOption(line, "--count", 0, 0, INT_MAX);  // 0: until interrupted
  const std::string request = CMonitorClient::requestLine(MONITOR_GET_POOLS);
  std::unique_ptr<CMonitorClient> client;
  bool lastFailed = false;
  for (int round = 0; count == 0 || round < count; ++round) {
    if (round > 0) {
      if (io.sleepMs) {
        io.sleepMs(intervalMs);
      } else {
        SleepMilliseconds(intervalMs);
      }
    }
    std::string text;
    try {
      // One connection serves all rounds; it is opened again after a failure,
      // so the watch survives a router restart.
      if (!client) client.reset(new CMonitorClient(address, timeoutMs));
      text = RRFormatPools(RRParsePoolLines(client->request(request)));
      lastFailed = false;
    } catch (const CToolException& e) {
      client.reset();
      text = std::string("rrctl: ") + e.what() + "\n";
      lastFailed = true;
    }
    if (io.clearScreen) io.out << "\x1b[H\x1b[2J";
    io.out << "pools of " << RRToolFormatAddress(address) << " at "
           << (io.timestamp ? io.timestamp() : localTimestamp()) << "\n"
           << text << std::flush;
  }
  return lastFailed ? RRCTL_EXIT_FAILURE : RRCTL_EXIT_OK;
}

}  // namespace

std::string RRCtlUsage() {
  return "usage: rrctl COMMAND HOST:PORT [arguments] [options]\n"
         "  pools HOST:PORT          pool table of the monitor port\n"
         "  servers HOST:PORT        application servers of every pool\n"
         "  peers HOST:PORT          peer routers\n"
         "  cache HOST:PORT          cache data waiting for each application server\n"
         "      --raw                print the monitor answer unchanged\n"
         "      --json               print one JSON array of the records\n"
         "  reset HOST:PORT [POOL]   reset the statistics of POOL, or of all pools\n"
         "  watch HOST:PORT          print the pool table again every interval\n"
         "      --interval MS        time between tables (default 1000)\n"
         "      --count N            stop after N tables (default: until interrupted)\n"
         "  metrics HOST:PORT        pool, server and peer figures in the Prometheus text format\n"
         "  exporter MONITOR...      serve GET /metrics and the status page / of the monitor ports\n"
         "                           over HTTP until SIGTERM\n"
         "      --listen HOST:PORT   address to listen on (required; port 0: any free port)\n"
         "      --interval MS        time between two samples of the status page (default 2000)\n"
         "  get-server HOST:PORT POOL  send one get-server request to the UDP port\n"
         "      --client IP --site GUID --store NAME --host HTTPHOST --uri URI --ext EXT\n"
         "      --tries N (default 0) --max-tries N (default 3)\n"
         "      --site-max N --pool-site-max N --pool-client-max N --ext-max N (default -1: no limit)\n"
         "      --raw                print the answer datagram unchanged\n"
         "      note: an OK answer assigns the server until it next reports idle\n"
         "  explain HOST:PORT POOL   how the router would choose for that request, assigning nothing\n"
         "      (the request options of get-server; HOST:PORT is the monitor port)\n"
         "      --raw                print the monitor answer unchanged\n"
         "      --json               print the answer as one JSON object\n"
         "  --timeout MS             wait at most MS for connections and answers (default 3000)\n"
         "exit status: 0 success, 1 router unreachable or wrong answer, 2 usage error\n";
}

std::string RRFormatPools(const std::vector<RRPoolLine>& pools) {
  struct Column {
    const char* header;
    int field;
  };
  static const Column columns[] = {
      {"IDLE", RR_POOL_IDLE},          {"SERVERS", RR_POOL_SERVERS},
      {"ASSIGNED", RR_POOL_ASSIGNED},  {"WORKING", RR_POOL_WORKING},
      {"MONITOR", RR_POOL_MONITOR},    {"DOWN", RR_POOL_DOWN},
      {"PEERS", RR_POOL_PEERS},        {"HITS", RR_POOL_HITS},
      {"MISSES", RR_POOL_MISSES},      {"UMISSES", RR_POOL_UNIQUE_MISSES},
      {"TIMEOUTS", RR_POOL_TIMEOUTS},  {"BYCLIENT", RR_POOL_BY_CLIENT},
      {"BYSITE", RR_POOL_BY_SITE},     {"BYLRU", RR_POOL_BY_LAST_USE},
      {"LIMEXT", RR_POOL_LIMIT_EXTENSION}, {"LIMSITE", RR_POOL_LIMIT_SITE},
      {"LIMSPSITE", RR_POOL_LIMIT_SPECIAL_SITE}, {"LIMCLIENT", RR_POOL_LIMIT_CLIENT},
      {"ASQUEUE", RR_POOL_AS_QUEUE},   {"MCQUEUE", RR_POOL_MC_QUEUE}};
  std::vector<RRColumn> headers = {{"POOL", false}};
  for (const auto& column : columns) headers.push_back({column.header, true});
  CTextTable table(headers);
  for (const auto& pool : pools) {
    std::vector<std::string> row = {pool.name};
    for (const auto& column : columns) row.push_back(number(pool.values[column.field]));
    table.addRow(row);
  }
  return table.render("(no pools)");
}

std::string RRFormatServers(const std::vector<RRServerLine>& servers) {
  CTextTable table({{"POOL", false},      {"SERVER", false},    {"PID", true},       {"STATE", false},
                    {"PRIO", true},       {"HITS", true},       {"MEANMS", true},    {"QHITS", true},
                    {"LONG", true},       {"CONTACT_S", true},  {"LASTUSE_S", true}, {"CACHE", true},
                    {"OVF", true},        {"CLIENT", false},    {"SITE", false},     {"STORE", false},
                    {"EXT", false},       {"TASK", false}});
  for (const auto& s : servers) {
    table.addRow({s.pool, RRToolFormatAddress({s.host, s.port}), number(s.pid), s.state, number(s.priority),
                  number(s.hits), number(s.meanMs), number(s.qualityHits), number(s.longRequests),
                  number(s.contactAge), number(s.lastUseAge), number(s.cacheWaiting), number(s.overflow),
                  s.client, s.site, s.store, s.extension, s.task});
  }
  return table.render("(no application servers)");
}

std::string RRFormatPeers(const std::vector<RRPeerLine>& peers) {
  CTextTable table({{"PEER", false}, {"STATE", false}, {"CONTACT_S", true}});
  for (const auto& p : peers) {
    table.addRow({RRToolFormatAddress({p.host, p.port}), p.state, number(p.contactAge)});
  }
  return table.render("(no peer routers)");
}

std::string RRFormatCache(const std::vector<RRServerLine>& servers) {
  CTextTable table({{"POOL", false}, {"SERVER", false}, {"STATE", false}, {"OVF", true}, {"WAITING", true},
                    {"ITEMS", false}});
  for (const auto& s : servers) {
    std::string items;
    for (const std::string& item : RRSplitCacheItems(s.cacheData)) {
      if (!items.empty()) items += ", ";
      items += RRPrintable(item, 80);
    }
    table.addRow({s.pool, RRToolFormatAddress({s.host, s.port}), s.state, number(s.overflow),
                  number(s.cacheWaiting), items.empty() ? "-" : items});
  }
  return table.render("(no application servers)");
}

std::string RRFormatExplain(const std::string& body) {
  std::string text;
  std::string::size_type start = 0;
  while (start < body.size()) {
    std::string::size_type end = body.find('\n', start);
    if (end == std::string::npos) end = body.size();
    const std::string lineText = body.substr(start, end - start);
    start = end + 1;
    std::vector<std::string> f;
    for (std::string::size_type at = 0; at <= lineText.size();) {
      const std::string::size_type next = std::min(lineText.find(' ', at), lineText.size());
      f.push_back(lineText.substr(at, next - at));
      at = next + 1;
    }
    const auto address = [&](std::size_t i) { return f[i] + ":" + f[i + 1]; };
    if (f[0] == "pool" && f.size() == 2) {
      text += "pool " + f[1] + "\n";
    } else if (f[0] == "candidates" && f.size() == 2) {
      text += "candidates (idle, highest priority): " + f[1] + "\n";
    } else if (f[0] == "candidate" && f.size() == 4) {
      text += "  " + address(1) + " priority " + f[3] + "\n";
    } else if (f[0] == "limit" && f.size() >= 6) {
      text += "limit " + f[1] + ": " + f[5] + " in use of at most " + f[3] +
              (f.size() > 6 ? " - refuses\n" : " - passes\n");
    } else if (f[0] == "outcome" && f.size() == 6 && f[1] == "chosen") {
      const std::string& rule = f[5];
      text += "would choose " + address(2) + " by " +
              (rule == "client"  ? std::string("client affinity")
               : rule == "site" ? std::string("site affinity")
                                : std::string("least recent use")) +
              "\n";
    } else if (f[0] == "outcome" && f.size() == 3 && f[1] == "refused") {
      text += "refused by the " + f[2] + " limit (answer 2)\n";
    } else if (lineText == "outcome no-idle") {
      text += "no idle server (answer 1, or 4 on the last try)\n";
    } else if (lineText == "outcome no-pool") {
      text += "no such pool (answer 1, or 4 on the last try)\n";
    } else {
      text += RRPrintable(lineText) + "\n";  // a line of a newer router, as it came
    }
  }
  return text;
}

int RRCtlMain(const std::vector<std::string>& args, RRCtlIO& io) {
  try {
    if (!args.empty() && (args[0] == "-h" || args[0] == "--help" || args[0] == "help")) {
      io.out << RRCtlUsage();
      return RRCTL_EXIT_OK;
    }
    const CommandLine line = parseCommandLine(args);
    if (line.command == "reset") return runReset(line, io);
    if (line.command == "get-server") return runGetServer(line, io);
    if (line.command == "explain") return runExplain(line, io);
    if (line.command == "watch") return runWatch(line, io);
    if (line.command == "metrics") return runMetrics(line, io);
    if (line.command == "exporter") return runExporter(line, io);
    return runQuery(line, io);
  } catch (const CToolException& e) {
    io.err << "rrctl: " << e.what() << "\n";
    if (e.kind() == CToolException::TOOL_USAGE) {
      io.err << "rrctl: run 'rrctl --help' for the commands and options\n";
      return RRCTL_EXIT_USAGE;
    }
    return RRCTL_EXIT_FAILURE;
  } catch (const std::exception& e) {
    io.err << "rrctl: " << e.what() << "\n";
    return RRCTL_EXIT_FAILURE;
  }
}
