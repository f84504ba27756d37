/* BenchSoakSamples.cpp - the soak's resource samples: /proc, table, CSV and SVG plot. */
#include "BenchSoakSamples.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

/* VmRSS and Threads come from /proc/PID/status, the descriptors are the entries of /proc/PID/fd. */
void RRSoakReadProcess(pid_t pid, RRSoakSample* pSample) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 6, "VmRSS:") == 0) pSample->rssKb = std::atol(line.c_str() + 6);
    if (line.compare(0, 8, "Threads:") == 0) pSample->threads = std::atol(line.c_str() + 8);
  }
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return;
  long n = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++n;
  }
  closedir(dir);
  pSample->fds = n;
}

std::vector<std::string> RRSoakListDescriptors(pid_t pid) {
  std::vector<std::string> result;
  const std::string base = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(base.c_str());
  if (dir == nullptr) return result;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char target[512];
    const ssize_t n = readlink((base + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    result.push_back(std::string(entry->d_name) + " -> " + target);
  }
  closedir(dir);
  std::sort(result.begin(), result.end());
  return result;
}

const char* const kSoakCsvHeader = "seconds,rss_kb,fds,threads,requests,ok_answers,registrations,peer_restarts,"
                               "monitor_requests,garbage,faults";

std::string RRSoakCsvRow(const RRSoakSample& s) {
  std::ostringstream os;
  os << static_cast<long>(s.seconds + 0.5) << ',' << s.rssKb << ',' << s.fds << ',' << s.threads << ','
     << s.requests << ',' << s.ok << ',' << s.registrations << ',' << s.peerRestarts << ',' << s.monitor << ','
     << s.garbage << ',' << s.faults;
  return os.str();
}

void RRSoakPrintHeader() {
  std::printf("| time s | RSS kB | fds | threads | requests | OK answers | registrations | peer restarts | "
              "monitor | garbage | faults |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  std::fflush(stdout);
}

void RRSoakPrintRow(const RRSoakSample& s) {
  std::printf("| %ld | %ld | %ld | %ld | %llu | %llu | %llu | %llu | %llu | %llu | %llu |\n",
              static_cast<long>(s.seconds + 0.5), s.rssKb, s.fds, s.threads,
              static_cast<unsigned long long>(s.requests), static_cast<unsigned long long>(s.ok),
              static_cast<unsigned long long>(s.registrations), static_cast<unsigned long long>(s.peerRestarts),
              static_cast<unsigned long long>(s.monitor), static_cast<unsigned long long>(s.garbage),
              static_cast<unsigned long long>(s.faults));
  std::fflush(stdout);
}

bool RRSoakWritePlot(const std::vector<RRSoakSample>& samples, const std::string& path, std::string* pError) {
  if (samples.size() < 2) {
    *pError = "fewer than two samples";
    return false;
  }
  const double w = 800, h = 400, left = 70, right = 70, top = 40, bottom = 50;
  double tMax = 1, rssMax = 1, countMax = 1;
  for (const RRSoakSample& s : samples) {
    tMax = std::max(tMax, s.seconds);
    rssMax = std::max(rssMax, s.rssKb / 1024.0);
    countMax = std::max(countMax, static_cast<double>(std::max(s.fds, s.threads)));
  }
  rssMax *= 1.2;
  countMax *= 1.2;
  auto x = [&](double t) { return left + (w - left - right) * t / tMax; };
  auto yRss = [&](double v) { return h - bottom - (h - top - bottom) * v / rssMax; };
  auto yCount = [&](double v) { return h - bottom - (h - top - bottom) * v / countMax; };
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << w << "\" height=\"" << h
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << w / 2 << "\" y=\"20\" text-anchor=\"middle\" font-size=\"14\">Router under churn: RSS, "
      << "descriptors and threads over " << static_cast<long>(tMax + 0.5) << " s</text>\n";
  // Axes and ticks.
  svg << "<line x1=\"" << left << "\" y1=\"" << h - bottom << "\" x2=\"" << w - right << "\" y2=\"" << h - bottom
      << "\" stroke=\"black\"/>\n"
      << "<line x1=\"" << left << "\" y1=\"" << top << "\" x2=\"" << left << "\" y2=\"" << h - bottom
      << "\" stroke=\"black\"/>\n"
      << "<line x1=\"" << w - right << "\" y1=\"" << top << "\" x2=\"" << w - right << "\" y2=\"" << h - bottom
      << "\" stroke=\"black\"/>\n";
  for (int i = 0; i <= 5; ++i) {
    const double t = tMax * i / 5, r = rssMax * i / 5, c = countMax * i / 5;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.0f", tMax >= 600 ? t / 60 : t);
    svg << "<text x=\"" << x(t) << "\" y=\"" << h - bottom + 16 << "\" text-anchor=\"middle\">" << buffer
        << "</text>\n";
    std::snprintf(buffer, sizeof buffer, "%.1f", r);
    svg << "<text x=\"" << left - 6 << "\" y=\"" << yRss(r) + 4 << "\" text-anchor=\"end\">" << buffer
        << "</text>\n";
    std::snprintf(buffer, sizeof buffer, "%.0f", c);
    svg << "<text x=\"" << w - right + 6 << "\" y=\"" << yCount(c) + 4 << "\">" << buffer << "</text>\n";
  }
  svg << "<text x=\"" << w / 2 << "\" y=\"" << h - 12 << "\" text-anchor=\"middle\">time ("
      << (tMax >= 600 ? "min" : "s") << ")</text>\n"
      << "<text x=\"16\" y=\"" << h / 2 << "\" transform=\"rotate(-90 16 " << h / 2
      << ")\" text-anchor=\"middle\" fill=\"#c0392b\">RSS (MB)</text>\n"
      << "<text x=\"" << w - 16 << "\" y=\"" << h / 2 << "\" transform=\"rotate(90 " << w - 16 << ' ' << h / 2
      << ")\" text-anchor=\"middle\">descriptors, threads</text>\n";
  auto line = [&](const char* colour, auto value, auto y) {
    svg << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"2\" points=\"";
    for (const RRSoakSample& s : samples) svg << x(s.seconds) << ',' << y(value(s)) << ' ';
    svg << "\"/>\n";
  };
  line("#c0392b", [](const RRSoakSample& s) { return s.rssKb / 1024.0; }, yRss);
  line("#2471a3", [](const RRSoakSample& s) { return static_cast<double>(s.fds); }, yCount);
  line("#229954", [](const RRSoakSample& s) { return static_cast<double>(s.threads); }, yCount);
  const char* const legend[][2] = {{"#c0392b", "RSS"}, {"#2471a3", "descriptors"}, {"#229954", "threads"}};
  for (int i = 0; i < 3; ++i) {
    const double lx = left + 10 + 120 * i;
    svg << "<line x1=\"" << lx << "\" y1=\"" << top + 10 << "\" x2=\"" << lx + 20 << "\" y2=\"" << top + 10
        << "\" stroke=\"" << legend[i][0] << "\" stroke-width=\"3\"/>\n"
        << "<text x=\"" << lx + 26 << "\" y=\"" << top + 14 << "\">" << legend[i][1] << "</text>\n";
  }
  svg << "</svg>\n";
  std::ofstream out(path);
  out << svg.str();
  if (!out) {
    *pError = "cannot write " + path;
    return false;
  }
  return true;
}

std::vector<RRSoakSample> RRSoakReadCsv(const std::string& path) {
  std::vector<RRSoakSample> samples;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    RRSoakSample s;
    unsigned long long v[8] = {};
    long t = 0;
    if (std::sscanf(line.c_str(), "%ld,%ld,%ld,%ld,%llu,%llu,%llu,%llu,%llu,%llu,%llu", &t, &s.rssKb, &s.fds,
                    &s.threads, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]) >= 4) {
      s.seconds = static_cast<double>(t);
      samples.push_back(s);
    }
  }
  return samples;
}
