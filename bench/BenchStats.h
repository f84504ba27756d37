/* BenchStats.h - latency samples, percentiles and the figures of one benchmark run.
 *
 * CLatencySamples collects round-trip times in nanoseconds and answers
 * nearest-rank percentiles; RRBenchFigures is one line of the result table
 * (router and baseline side by side) and knows its CSV form.
 *
 * Thread safety: a sample set belongs to one thread; merge() the sets of
 * several threads after they have stopped.
 */
#ifndef BENCHSTATS_H
#define BENCHSTATS_H

#include <cstdint>
#include <string>
#include <vector>

class CLatencySamples {
 public:
  /* Adds one sample (nanoseconds). */
  void add(uint64_t nanoseconds) { mSamples.push_back(nanoseconds); }
  /* Adds every sample of other. */
  void merge(const CLatencySamples& other);
  /* Number of samples. */
  std::size_t count() const { return mSamples.size(); }
  /* The nearest-rank percentile (0 < p <= 100) in microseconds; 0 when
   * there are no samples. Sorts the samples on first use after a change. */
  double percentileUs(double p);
  /* Mean in microseconds; 0 when empty. */
  double meanUs() const;

 private:
  std::vector<uint64_t> mSamples;
  bool mSorted = true;
};

/* Answer counts of get-server clients. */
struct RRAnswerCounts {
  uint64_t ok = 0;
  uint64_t tryLater = 0;
  uint64_t abort = 0;
  uint64_t error = 0;
  uint64_t timeout = 0;
  uint64_t lost = 0;      /* no answer within the client's wait */
  uint64_t malformed = 0; /* an answer that is not one of the five forms */
  uint64_t answers() const { return ok + tryLater + abort + error + timeout + malformed; }
  void add(const RRAnswerCounts& other);
};

/* One measured scenario: the router's figures, the baseline's, and memory. */
struct RRBenchFigures {
  std::string scenario;
  int servers = 0;
  int pools = 0;
  int clients = 0;
  bool limits = false;
  bool paced = false;         /* clients waited for each cycle before the next request */
  int rounds = 0;             /* alternating baseline and router measurements */
  double seconds = 0;         /* measured router time over all rounds */
  double answersPerSec = 0;   /* get-server answers of any kind */
  double cyclesPerSec = 0;    /* assignment, working, idle acknowledged */
  double p50Us = 0, p90Us = 0, p99Us = 0;
  double baseAnswersPerSec = 0;
  double baseP50Us = 0, baseP90Us = 0, baseP99Us = 0;
  double ratioMedian = 0;     /* median over the rounds of router / baseline answers per second */
  double rssMB = -1;          /* router VmRSS after the run; -1: not measured */
  double cacheItemsPerSec = 0; /* cache items delivered to application servers */
  RRAnswerCounts counts;
  std::string note;

  /* The median ratio of the rounds; 0 without a baseline. */
  double ratio() const { return ratioMedian; }
};

/* The median of the values (the mean of the middle two for an even count); 0 when empty. */
double RRBenchMedian(std::vector<double> values);

/* The value with `decimals` digits after the point. */
std::string RRBenchFixed(double value, int decimals);
/* A free text as one CSV field: commas become semicolons, line ends blanks. */
std::string RRBenchCsvText(std::string text);

/* The CSV header line and one line per figure set (with line ends). */
std::string RRBenchCsvHeader();
std::string RRBenchCsvLine(const RRBenchFigures& figures);
/* The result table for the terminal. */
std::string RRBenchTable(const std::vector<RRBenchFigures>& all);

/* Resident set size and its peak of a process in MB from /proc/<pid>/status;
 * false when the process or the lines are missing. */
bool RRBenchReadMemory(int pid, double* pRssMB, double* pPeakMB);

#endif /* BENCHSTATS_H */
