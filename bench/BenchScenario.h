/* BenchScenario.h - one benchmark scenario from start to figures.
 *
 * A scenario starts its router(s) in a scratch directory (or uses one that
 * runs already), registers the simulated application servers, and then
 * measures, in alternating rounds, the echo baseline and the router with
 * the same clients and datagrams. Rates are the medians of the rounds and
 * the ratio is the median of the per-round ratios, so a burst of load from
 * other processes spoils one round rather than the figure; latencies are
 * percentiles over the samples of all rounds. Each scenario takes about
 * twice (duration + rounds x warm-up) plus the start-up; keep durations
 * short on shared machines.
 *
 * Thread safety: run scenarios one after the other from one thread.
 */
#ifndef BENCHSCENARIO_H
#define BENCHSCENARIO_H

#include <string>
#include <vector>

#include "BenchStats.h"
#include "RRToolAddress.h"

struct RRScenario {
  std::string name;
  int servers = 10;
  int pools = 1;
  int clients = 1;           /* get-server clients, one request in flight each */
  int routers = 1;           /* 1, or 2 (second on 127.0.0.2) */
  bool limits = false;       /* requests carry per-client, per-site and per-extension limits */
  bool paced = false;        /* clients wait for each cycle before the next request */
  bool refused = false;      /* every request carries an extension limit of 0: the router
                                scans the whole pool, refuses it, and assigns nothing */
  int serviceMs = 0;
  int cacheItemsPerIdle = 0;
};

struct RRBenchOptions {
  std::string routerBinary;
  int warmupMs = 200;
  int durationMs = 1500;     /* measured time per side, split over the rounds */
  int rounds = 3;            /* baseline and router alternate this often */
  int startTimeoutMs = 15000;
  bool keepFiles = false;
  bool verbose = false;
  bool threadBaseline = false; /* echo baseline in a thread of rrbench, not a process */
  /* Full-cycle cases: clients on CPU 0, router and baseline on CPU 1, so
   * that both sides get the same placement in every round (-1: no pinning). */
  int clientCpu = -1;
  int serverCpu = -1;
  /* An external router instead of a started one (all three set or none). */
  bool external = false;
  RRToolAddress externalGetServer;
  RRToolAddress externalMessageCenter;
  RRToolAddress externalMonitor; /* port 0: no consistency check */
  int externalPid = 0;           /* 0: no memory figure */
};

/* The pool name of pool index of a layout with that many pools. */
std::string RRScenarioPoolName(int pools, int index);

/* The sum of the hit counts of every pool (monitor request 13) of the
 * router with this monitor address; -1 when it cannot be read. */
long long RRScenarioPoolHits(const RRToolAddress& monitor);

/* The datagrams of a scenario: every combination of 16 clients, 4 sites
 * and 4 extensions over the pools, with or without limits; refused
 * scenarios use one extension with a limit of 0, so that the refusal is
 * logged once rather than for every change of extension. */
std::vector<std::string> RRScenarioDatagrams(const RRScenario& scenario);

/* Runs the scenario; a scenario without servers measures the answer
 * "try later" against an echo that answers "1". Throws CToolException with the router's log tail when
 * the router cannot be started or the servers cannot register. */
RRBenchFigures RRRunScenario(const RRScenario& scenario, const RRBenchOptions& options);

/* Writes "rrbench: <text>" to standard error when the options ask for progress. */
void RRBenchProgress(const RRBenchOptions& options, const std::string& text);

/* The scenarios of "--all": pool sizes 10, 100 and 1000 with one client as
 * fast as it can (full cycles, and refused requests without any
 * message-center traffic), the same paced without and with limits, four
 * clients with limits that bite, two routers with cache traffic, and 1000
 * servers in 100 pools for the memory figure. */
std::vector<RRScenario> RRAllScenarios();

#endif /* BENCHSCENARIO_H */
