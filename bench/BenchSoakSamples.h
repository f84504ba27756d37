/* BenchSoakSamples.h - the soak's resource samples of the router: reading, table, CSV and plot.
 *
 * A sample is what /proc says about the router process (RSS, descriptors,
 * threads) at one moment of the run, next to the load's running totals. The
 * same sample is one row of the table printed on standard output, one line
 * of the CSV file and one point of the SVG plot; readSoakCsv() reads a CSV
 * written by this module back, for plotting an earlier run.
 */
#ifndef BENCHSOAKSAMPLES_H
#define BENCHSOAKSAMPLES_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct RRSoakSample {
  double seconds = 0; /* since the load started */
  long rssKb = -1;    /* -1: unreadable */
  long fds = -1;
  long threads = -1;
  uint64_t requests = 0, ok = 0, registrations = 0, peerRestarts = 0, monitor = 0, garbage = 0, faults = 0;
};

/* Fills rssKb, fds and threads from /proc/PID; fields it cannot read stay as they are. */
void RRSoakReadProcess(pid_t pid, RRSoakSample* pSample);

/* "FD -> TARGET" for every descriptor of the process, sorted; empty when unreadable. */
std::vector<std::string> RRSoakListDescriptors(pid_t pid);

/* The CSV header line (no newline) and one sample as a CSV line (no newline). */
extern const char* const kSoakCsvHeader;
std::string RRSoakCsvRow(const RRSoakSample& s);

/* Samples of a CSV file written with the two above; lines that do not read are skipped. */
std::vector<RRSoakSample> RRSoakReadCsv(const std::string& path);

/* The table's header and one row, as Markdown, on standard output (flushed). */
void RRSoakPrintHeader();
void RRSoakPrintRow(const RRSoakSample& s);

/* Writes an SVG of RSS (MB, left scale) and descriptors and threads (right
 * scale) over time; false with *pError set when there are fewer than two
 * samples or the file cannot be written. */
bool RRSoakWritePlot(const std::vector<RRSoakSample>& samples, const std::string& path, std::string* pError);

#endif
