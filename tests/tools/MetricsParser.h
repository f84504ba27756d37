// MetricsParser.h - reads exposition text with the Prometheus client's own
// parser (Debian's python3-prometheus-client, hence /usr/bin/python3 and not
// whatever python3 comes first in PATH), so that the tests check what a
// Prometheus server would accept rather than what the tool meant to write.
#ifndef METRICSPARSER_H
#define METRICSPARSER_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

namespace tooltest {

// The families of the text as {family: {"type": ..., "help": ...,
// "samples": [[name, {label: value}, value], ...]}}; a parse failure gives
// {"error": message}. Family names are the parser's: a counter's family
// drops the "_total" of its samples.
inline nlohmann::json ParseMetrics(const std::string& text) {
  char path[] = "/tmp/ktrrmetricsXXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return {{"error", "no temporary file"}};
  close(fd);
  {
    std::ofstream out(path, std::ios::binary);
    out << text;
  }
  const std::string command =
      std::string("/usr/bin/python3 -c '\n"
                  "import json, sys\n"
                  "from prometheus_client.parser import text_string_to_metric_families\n"
                  "result = {}\n"
                  "try:\n"
                  "    for f in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
                  "        result[f.name] = {\"type\": f.type, \"help\": f.documentation,\n"
                  "            \"samples\": [[s.name, s.labels, s.value] for s in f.samples]}\n"
                  "except Exception as e:\n"
                  "    result = {\"error\": str(e)}\n"
                  "print(json.dumps(result))\n"
                  "' ") +
      path + " 2>&1";
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  unlink(path);
  nlohmann::json parsed = nlohmann::json::parse(output, nullptr, false);
  if (parsed.is_discarded()) return {{"error", "parser printed: " + output}};
  return parsed;
}

// The value of the sample with exactly these labels, or -12345 when absent.
inline double SampleValue(const nlohmann::json& families, const std::string& family, const std::string& sample,
                          const nlohmann::json& labels) {
  if (!families.contains(family)) return -12345;
  for (const auto& s : families[family]["samples"]) {
    if (s[0] == sample && s[1] == labels) return s[2].get<double>();
  }
  return -12345;
}

}  // namespace tooltest

#endif  // METRICSPARSER_H
