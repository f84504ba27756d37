/* BenchSoakRules.h - the soak's pass rules for memory and descriptors, over the samples of a run.
 *
 * Memory: single samples move by some hundred kB with the cache queues' fill
 * and the allocator's free lists, so the rule compares levels: the mean of
 * the first three samples from the end of the warm-up with the mean of the
 * last three under load. The later may exceed the earlier by 10 %, and by at
 * least 2 MB in runs under five minutes, where the allocator's first growth
 * steps still show. The first sample (before the load) and the last (after
 * it) are not load samples and are left out.
 */
#ifndef BENCHSOAKRULES_H
#define BENCHSOAKRULES_H

#include <string>
#include <vector>

#include "BenchSoakSamples.h"

struct RRSoakMemoryVerdict {
  bool pass = false;
  std::string failure;     /* the rule's figures when it failed */
  long reference = -1;     /* kB, mean after the warm-up */
  long level = -1;         /* kB, mean at the end of the load */
  long allowed = 0;        /* kB above reference */
  long maxRss = 0;         /* kB, highest load sample */
  double maxAt = 0;        /* s, when it was taken */
};

/* Applies the memory rule to the samples of a run of runSeconds with the given warm-up. */
RRSoakMemoryVerdict RRSoakCheckMemory(const std::vector<RRSoakSample>& samples, int warmupSeconds, int runSeconds);

/* "\n    gone: FD -> TARGET" and "\n    new:  FD -> TARGET" lines for the
 * descriptors that differ between two listings; empty when they are equal. */
std::string RRSoakDescriptorDiff(const std::vector<std::string>& before, const std::vector<std::string>& after);

#endif
