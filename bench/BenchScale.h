/* BenchScale.h - the full-cycle measurement over many connected servers ("rrbench --scale").
 *
 * One case registers N simulated application servers over P pools, once
 * with the bare full-cycle baseline (BenchCycleBaseline.h) and once with a
 * router, and runs the same full-cycle clients (BenchLoad.h) against both:
 * get-server, working report, idle report on the named server's
 * connection. Baseline and router rounds alternate while both farms fit
 * into the descriptor limit together; otherwise (10,000 servers with a
 * limit of 20,000) the baseline's rounds run first and its farm is closed
 * before the router's registers. The cycle ratio is router / baseline
 * cycles per second: the median of the per-round ratios when alternating,
 * the ratio of the median rates otherwise.
 *
 * After the router's rounds the case reads monitor request 10 and counts
 * the servers it lists, compares the pools' hit counts (request 13) with the
 * OK answers, and takes the router's VmRSS.
 *
 * Thread safety: run cases one after the other from one thread.
 */
#ifndef BENCHSCALE_H
#define BENCHSCALE_H

#include <string>
#include <vector>

#include "BenchScenario.h"
#include "BenchStats.h"

struct RRScaleCase {
  std::string name;
  int servers = 10;
  int pools = 1;
  int clients = 1;
};

/* One line of the scale table. kind is "cycle" for a full-cycle case and
 * "getserver" for the line of get-server without servers against the UDP
 * echo, where rates are answers and the cycle columns stay 0. */
struct RRScaleFigures {
  std::string name;
  std::string kind = "cycle";
  int servers = 0;
  int pools = 0;
  int clients = 1;
  int rounds = 0;
  bool alternated = false;
  double registerSeconds = 0;     /* router: all announcements acknowledged */
  double baseRegisterSeconds = 0;
  double perSec = 0;              /* router cycles (or answers) per second, median of the rounds */
  double basePerSec = 0;
  double ratio = 0;
  double gsP50Us = 0, gsP90Us = 0, baseGsP50Us = 0;  /* get-server round trip */
  double cycleP50Us = 0, cycleP90Us = 0, baseCycleP50Us = 0;
  double rssMB = -1, peakMB = -1;
  long long listed = -1;          /* servers listed by monitor request 10; -1: not read */
  std::string note;
};

/* Runs one case against a router started from options.routerBinary;
 * throws CToolException when a router, the baseline or a registration
 * fails. */
RRScaleFigures RRRunScaleCase(const RRScaleCase& scaleCase, const RRBenchOptions& options);

/* The get-server line: no server registered, the router answers "try
 * later", the echo answers "1". */
RRScaleFigures RRRunNoServerCase(const RRBenchOptions& options);

/* For every size, one pool and min(size, 100) pools. */
std::vector<RRScaleCase> RRScaleCases(const std::vector<int>& sizes);

std::string RRScaleCsvHeader();
std::string RRScaleCsvLine(const RRScaleFigures& figures);
std::string RRScaleTable(const std::vector<RRScaleFigures>& all);
/* One line per target the figures can be judged by ("met" or "MISSED",
 * the target, the measured value). */
std::string RRScaleVerdicts(const std::vector<RRScaleFigures>& all);

#endif /* BENCHSCALE_H */
