/* RRMonitorLines.cpp - parsers for pool, server and peer lines of monitor answers.
 *
 * Fields are separated by single blanks; only the last field of a server
 * line with cache data is taken as the rest of the line, because cache items
 * are opaque bytes of the application servers.
 */
#include "RRMonitorLines.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "RRToolAddress.h"
#include "RRToolException.h"

namespace {

/* The lines of an answer body without their "\r\n" or "\n"; a final line
 * without a line end is kept. */
std::vector<std::string> splitLines(const std::string& body) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < body.size()) {
    std::string::size_type end = body.find('\n', start);
    if (end == std::string::npos) end = body.size();
    std::string line = body.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

[[noreturn]] void malformed(std::size_t number, const std::string& reason, const std::string& line) {
  throw CToolException(CToolException::TOOL_PROTOCOL, "malformed monitor line " + std::to_string(number) +
                                                          ": " + reason + ": '" + RRPrintable(line) + "'");
}

/* Splits at single blanks into at most `count` fields; *pRest receives the
 * position after the blank that follows field `count` (npos when there is
 * none). */
std::vector<std::string> splitFields(const std::string& line, std::size_t count,
                                     std::string::size_type* pRest) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  *pRest = std::string::npos;
  while (fields.size() < count && start <= line.size()) {
    std::string::size_type end = line.find(' ', start);
    if (end == std::string::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  *pRest = start;
  return fields;
}

bool parseNumber(const std::string& text, long long* pValue) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  if (text[0] != '-' && (text[0] < '0' || text[0] > '9')) return false;
  *pValue = value;
  return true;
}

long long numberField(const std::vector<std::string>& fields, std::size_t index, const char* name,
                      std::size_t number, const std::string& line) {
  long long value = 0;
  if (!parseNumber(fields[index], &value)) {
    malformed(number, std::string("field ") + std::to_string(index + 1) + " (" + name +
                          ") is not a number", line);
  }
  return value;
}

/* Splits HOST:PORT at the last colon, as the router prints it. */
void hostPortField(const std::string& text, std::string* pHost, uint16_t* pPort, std::size_t number,
                   const std::string& line) {
  const std::string::size_type colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || !RRToolParsePort(text.substr(colon + 1), pPort)) {
    malformed(number, "'" + text + "' is not HOST:PORT", line);
  }
  *pHost = text.substr(0, colon);
}

/* Checks the record letter and that nothing empty stands among the fields. */
void checkFields(const std::vector<std::string>& fields, std::size_t expected, const char* letter,
                 const char* kind, std::size_t number, const std::string& line) {
  if (fields.empty() || fields[0] != letter) {
    malformed(number, std::string("not a ") + kind + " line (expected it to begin with '" + letter + " ')", line);
  }
  if (fields.size() != expected) {
    malformed(number, std::string("a ") + kind + " line has " + std::to_string(expected) +
                          " fields, this one " + std::to_string(fields.size()), line);
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].empty()) malformed(number, "field " + std::to_string(i + 1) + " is empty", line);
  }
}

/* True when only blanks follow position rest (or there is nothing). */
bool onlyBlanksFrom(const std::string& line, std::string::size_type rest) {
  return rest == std::string::npos || line.find_first_not_of(' ', rest) == std::string::npos;
}

}  // namespace

std::string RRPrintable(const std::string& text, std::size_t maxLength) {
  std::string out;
  for (unsigned char c : text) {
    if (out.size() >= maxLength) {
      out += "...";
      break;
    }
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(c));
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::vector<RRPoolLine> RRParsePoolLines(const std::string& body) {
  static const char* const names[RR_POOL_FIELD_COUNT] = {
      "idle", "servers", "peers", "server queue", "peer queue", "hits", "misses",
      "by client", "by site", "by last use", "extension limit", "site limit",
      "special site limit", "assigned", "working", "monitor", "down", "client limit",
      "timeouts", "unique misses"};
  std::vector<RRPoolLine> pools;
  const std::vector<std::string> lines = splitLines(body);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::string::size_type rest;
    std::vector<std::string> fields = splitFields(line, 2 + RR_POOL_FIELD_COUNT, &rest);
    checkFields(fields, 2 + RR_POOL_FIELD_COUNT, "P", "pool", i + 1, line);
    if (!onlyBlanksFrom(line, rest)) malformed(i + 1, "text after the last field", line);
    RRPoolLine pool;
    pool.name = fields[1];
    for (int f = 0; f < RR_POOL_FIELD_COUNT; ++f) {
      pool.values[f] = numberField(fields, 2 + static_cast<std::size_t>(f), names[f], i + 1, line);
    }
    pools.push_back(pool);
  }
  return pools;
}

std::vector<RRServerLine> RRParseServerLines(const std::string& body, bool withCacheData) {
  std::vector<RRServerLine> servers;
  const std::vector<std::string> lines = splitLines(body);
  const std::size_t count = 19;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const std::size_t number = i + 1;
    std::string::size_type rest;
    std::vector<std::string> fields = splitFields(line, count, &rest);
    checkFields(fields, count, "S", "server", number, line);
    if (withCacheData) {
      if (rest == std::string::npos) malformed(number, "the cache data field is missing", line);
    } else if (!onlyBlanksFrom(line, rest)) {
      malformed(number, "text after the last field", line);
    }
    RRServerLine server;
    server.pool = fields[1];
    hostPortField(fields[2], &server.host, &server.port, number, line);
    server.pid = numberField(fields, 3, "pid", number, line);
    server.state = fields[4];
    server.contactAge = numberField(fields, 5, "seconds since contact", number, line);
    server.hits = numberField(fields, 6, "hits", number, line);
    server.longRequests = numberField(fields, 7, "long requests", number, line);
    server.qualityHits = numberField(fields, 8, "measured requests", number, line);
    server.meanMs = numberField(fields, 9, "mean time", number, line);
    server.overflow = numberField(fields, 10, "overflow", number, line);
    server.cacheWaiting = numberField(fields, 11, "waiting cache items", number, line);
    server.site = fields[12];
    server.task = fields[13];
    server.client = fields[14];
    server.extension = fields[15];
    server.priority = numberField(fields, 16, "priority", number, line);
    server.store = fields[17];
    server.lastUseAge = numberField(fields, 18, "seconds since use", number, line);
    if (withCacheData) {
      server.hasCacheData = true;
      server.cacheData = line.substr(rest);
    }
    servers.push_back(server);
  }
  return servers;
}

std::vector<RRPeerLine> RRParsePeerLines(const std::string& body) {
  std::vector<RRPeerLine> peers;
  const std::vector<std::string> lines = splitLines(body);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::string::size_type rest;
    std::vector<std::string> fields = splitFields(line, 4, &rest);
    checkFields(fields, 4, "M", "peer", i + 1, line);
    if (!onlyBlanksFrom(line, rest)) malformed(i + 1, "text after the last field", line);
    RRPeerLine peer;
    hostPortField(fields[1], &peer.host, &peer.port, i + 1, line);
    peer.state = fields[2];
    peer.contactAge = numberField(fields, 3, "seconds since contact", i + 1, line);
    peers.push_back(peer);
  }
  return peers;
}

std::vector<std::string> RRSplitCacheItems(const std::string& data) {
  static const std::string delimiter("\x01\x01");
  std::vector<std::string> items;
  std::string::size_type start = 0;
  while (start < data.size()) {
    std::string::size_type end = data.find(delimiter, start);
    if (end == std::string::npos) {
      items.push_back(data.substr(start));
      break;
    }
    items.push_back(data.substr(start, end - start));
    start = end + delimiter.size();
  }
  return items;
}
