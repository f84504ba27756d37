/* BenchStats.cpp - percentiles, CSV and table output, and process memory.
 *
 * Percentiles use the nearest-rank rule on the sorted samples, so p100 is
 * the largest sample and every reported value is a latency that occurred.
 */
#include "BenchStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "RRTextTable.h"

void CLatencySamples::merge(const CLatencySamples& other) {
  mSamples.insert(mSamples.end(), other.mSamples.begin(), other.mSamples.end());
  mSorted = false;
}

double CLatencySamples::percentileUs(double p) {
  if (mSamples.empty() || p <= 0) return 0;
  if (!mSorted || !std::is_sorted(mSamples.begin(), mSamples.end())) {
    std::sort(mSamples.begin(), mSamples.end());
  }
  mSorted = true;
  const double rank = std::ceil(p / 100.0 * static_cast<double>(mSamples.size()));
  std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  if (index >= mSamples.size()) index = mSamples.size() - 1;
  return static_cast<double>(mSamples[index]) / 1000.0;
}

double CLatencySamples::meanUs() const {
  if (mSamples.empty()) return 0;
  long double sum = 0;
  for (uint64_t s : mSamples) sum += s;
  return static_cast<double>(sum / mSamples.size() / 1000.0L);
}

void RRAnswerCounts::add(const RRAnswerCounts& other) {
  ok += other.ok;
  tryLater += other.tryLater;
  abort += other.abort;
  error += other.error;
  timeout += other.timeout;
  lost += other.lost;
  malformed += other.malformed;
}

std::string RRBenchFixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string RRBenchCsvText(std::string text) {
  std::replace(text.begin(), text.end(), ',', ';');
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

double RRBenchMedian(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string RRBenchCsvHeader() {
  return "scenario,servers,pools,clients,limits,paced,rounds,seconds,answers_per_s,cycles_per_s,p50_us,p90_us,p99_us,"
         "base_answers_per_s,base_p50_us,base_p90_us,base_p99_us,ratio,rss_mb,cache_items_per_s,"
         "ok,trylater,abort,error,timeout,lost,malformed,note\n";
}

std::string RRBenchCsvLine(const RRBenchFigures& f) {
  const std::string note = RRBenchCsvText(f.note);
  std::ostringstream os;
  os << f.scenario << ',' << f.servers << ',' << f.pools << ',' << f.clients << ',' << (f.limits ? "on" : "off")
     << ',' << (f.paced ? "yes" : "no") << ',' << f.rounds << ',' << RRBenchFixed(f.seconds, 2) << ',' << RRBenchFixed(f.answersPerSec, 0) << ',' << RRBenchFixed(f.cyclesPerSec, 0) << ','
     << RRBenchFixed(f.p50Us, 1) << ',' << RRBenchFixed(f.p90Us, 1) << ',' << RRBenchFixed(f.p99Us, 1) << ','
     << RRBenchFixed(f.baseAnswersPerSec, 0) << ',' << RRBenchFixed(f.baseP50Us, 1) << ',' << RRBenchFixed(f.baseP90Us, 1) << ','
     << RRBenchFixed(f.baseP99Us, 1) << ',' << RRBenchFixed(f.ratio(), 3) << ',' << (f.rssMB < 0 ? "" : RRBenchFixed(f.rssMB, 1))
     << ',' << RRBenchFixed(f.cacheItemsPerSec, 0) << ',' << f.counts.ok << ',' << f.counts.tryLater << ','
     << f.counts.abort << ',' << f.counts.error << ',' << f.counts.timeout << ',' << f.counts.lost << ','
     << f.counts.malformed << ',' << note << '\n';
  return os.str();
}

std::string RRBenchTable(const std::vector<RRBenchFigures>& all) {
  CTextTable table({{"SCENARIO", false},
                    {"SERVERS", true},
                    {"POOLS", true},
                    {"CLIENTS", true},
                    {"LIMITS", false},
                    {"PACED", false},
                    {"ANSWERS/S", true},
                    {"CYCLES/S", true},
                    {"P50_US", true},
                    {"P90_US", true},
                    {"P99_US", true},
                    {"BASE/S", true},
                    {"BASE_P50", true},
                    {"RATIO", true},
                    {"RSS_MB", true},
                    {"CACHE/S", true},
                    {"NOTE", false}});
  for (const RRBenchFigures& f : all) {
    table.addRow({f.scenario, std::to_string(f.servers), std::to_string(f.pools), std::to_string(f.clients),
                  f.limits ? "on" : "off", f.paced ? "yes" : "no", RRBenchFixed(f.answersPerSec, 0), RRBenchFixed(f.cyclesPerSec, 0), RRBenchFixed(f.p50Us, 1),
                  RRBenchFixed(f.p90Us, 1), RRBenchFixed(f.p99Us, 1), RRBenchFixed(f.baseAnswersPerSec, 0), RRBenchFixed(f.baseP50Us, 1),
                  RRBenchFixed(f.ratio(), 2), f.rssMB < 0 ? "-" : RRBenchFixed(f.rssMB, 1), RRBenchFixed(f.cacheItemsPerSec, 0),
                  f.note});
  }
  return table.render("(no results)");
}

bool RRBenchReadMemory(int pid, double* pRssMB, double* pPeakMB) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  if (!in) return false;
  bool haveRss = false;
  bool havePeak = false;
  for (std::string line; std::getline(in, line);) {
    long kb = 0;
    if (std::sscanf(line.c_str(), "VmRSS: %ld kB", &kb) == 1) {
      *pRssMB = static_cast<double>(kb) / 1024.0;
      haveRss = true;
    } else if (std::sscanf(line.c_str(), "VmHWM: %ld kB", &kb) == 1) {
      *pPeakMB = static_cast<double>(kb) / 1024.0;
      havePeak = true;
    }
  }
  return haveRss && havePeak;
}
