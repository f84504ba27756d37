/* BenchSoakRules.cpp - the soak's memory rule and descriptor comparison. */
#include "BenchSoakRules.h"

#include <algorithm>
#include <cstdio>

RRSoakMemoryVerdict RRSoakCheckMemory(const std::vector<RRSoakSample>& samples, int warmupSeconds, int runSeconds) {
  RRSoakMemoryVerdict v;
  std::vector<const RRSoakSample*> loaded;
  for (std::size_t i = 1; i + 1 < samples.size(); ++i) {
    if (samples[i].seconds + 0.5 >= warmupSeconds) loaded.push_back(&samples[i]);
  }
  if (loaded.empty()) {
    v.failure = "memory: no sample after the warm-up";
    return v;
  }
  const std::size_t n = std::min<std::size_t>(3, loaded.size());
  long long first = 0, last = 0;
  for (std::size_t i = 0; i < n; ++i) {
    first += loaded[i]->rssKb;
    last += loaded[loaded.size() - n + i]->rssKb;
  }
  v.reference = static_cast<long>(first / static_cast<long long>(n));
  v.level = static_cast<long>(last / static_cast<long long>(n));
  for (const RRSoakSample* s : loaded) {
    if (s->rssKb > v.maxRss) {
      v.maxRss = s->rssKb;
      v.maxAt = s->seconds;
    }
  }
  v.allowed = v.reference / 10;
  if (runSeconds < 300) v.allowed = std::max(v.allowed, 2048L);
  v.pass = v.level <= v.reference + v.allowed;
  if (!v.pass) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "memory: RSS %ld kB after the warm-up (mean of the first %zu samples from %.0f s), %ld kB at "
                  "the end of the load (mean of the last %zu), +%.1f %%, allowed +%ld kB (highest sample %ld kB "
                  "at %.0f s)",
                  v.reference, n, loaded.front()->seconds, v.level, n,
                  100.0 * static_cast<double>(v.level - v.reference) / static_cast<double>(v.reference), v.allowed,
                  v.maxRss, v.maxAt);
    v.failure = text;
  }
  return v;
}

std::string RRSoakDescriptorDiff(const std::vector<std::string>& before, const std::vector<std::string>& after) {
  std::string detail;
  for (const std::string& d : before) {
    if (std::find(after.begin(), after.end(), d) == after.end()) detail += "\n    gone: " + d;
  }
  for (const std::string& d : after) {
    if (std::find(before.begin(), before.end(), d) == before.end()) detail += "\n    new:  " + d;
  }
  return detail;
}
