/* RRMonitorLines.h - the text lines of the router's monitor answers as records.
 *
 * A pool line is "P", the pool name and 20 counts; a server line is "S",
 * pool, HOST:PORT, pid, state and 15 further fields, and in the answer with
 * cache data one more field: the server's pending cache items, each followed
 * by the bytes 0x01 0x01; a peer line is "M", HOST:PORT, state and the
 * seconds since the last contact. Lines end in "\r\n" (a bare "\n" is
 * accepted too). Counts may be negative: the router prints -1 for a count it
 * could not read, and its 64-bit counters as their low 32 bits.
 *
 * The parsers accept exactly these forms: a line of another kind, with a
 * field missing or left over, or with text where a number belongs is
 * reported with its line number, so a monitor answer is either understood
 * as a whole or refused.
 *
 * Thread safety: plain functions without shared state.
 */
#ifndef RRMONITORLINES_H
#define RRMONITORLINES_H

#include <cstdint>
#include <string>
#include <vector>

/* The counts of a pool line, in the order of the line. */
enum RRPoolField {
  RR_POOL_IDLE,
  RR_POOL_SERVERS,
  RR_POOL_PEERS,
  RR_POOL_AS_QUEUE,
  RR_POOL_MC_QUEUE,
  RR_POOL_HITS,
  RR_POOL_MISSES,
  RR_POOL_BY_CLIENT,
  RR_POOL_BY_SITE,
  RR_POOL_BY_LAST_USE,
  RR_POOL_LIMIT_EXTENSION,
  RR_POOL_LIMIT_SITE,
  RR_POOL_LIMIT_SPECIAL_SITE,
  RR_POOL_ASSIGNED,
  RR_POOL_WORKING,
  RR_POOL_MONITOR,
  RR_POOL_DOWN,
  RR_POOL_LIMIT_CLIENT,
  RR_POOL_TIMEOUTS,
  RR_POOL_UNIQUE_MISSES,
  RR_POOL_FIELD_COUNT
};

struct RRPoolLine {
  std::string name;
  long long values[RR_POOL_FIELD_COUNT] = {};
};

struct RRServerLine {
  std::string pool;
  std::string host;
  uint16_t port = 0;
  long long pid = 0;
  std::string state;
  long long contactAge = 0;   /* seconds since the last idle report */
  long long hits = 0;
  long long longRequests = 0; /* requests that took over 5 s */
  long long qualityHits = 0;  /* measured requests of 1 to 5000 ms */
  long long meanMs = 0;       /* smoothed processing time */
  long long overflow = 0;     /* 1: the server missed cache items and gets a reset */
  long long cacheWaiting = 0; /* cache items waiting for the server */
  std::string site;
  std::string task;
  std::string client;
  std::string extension;
  long long priority = 0;
  std::string store;
  long long lastUseAge = 0;   /* seconds since the last assignment */
  bool hasCacheData = false;
  std::string cacheData;      /* raw pending cache data (answer with cache data only) */
};

struct RRPeerLine {
  std::string host;
  uint16_t port = 0;
  std::string state;
  long long contactAge = 0;   /* seconds since the last contact, -1: never */
};

/* Parses an answer of pool lines; throws CToolException TOOL_PROTOCOL naming
 * the line number and the problem for any line that is not a pool line. */
std::vector<RRPoolLine> RRParsePoolLines(const std::string& body);
/* Parses an answer of server lines, with the cache data field when
 * withCacheData is set; throws TOOL_PROTOCOL as above. */
std::vector<RRServerLine> RRParseServerLines(const std::string& body, bool withCacheData);
/* Parses an answer of peer lines; throws TOOL_PROTOCOL as above. */
std::vector<RRPeerLine> RRParsePeerLines(const std::string& body);

/* Splits cache data into its items (each ends in 0x01 0x01); text after the
 * last delimiter is kept as a final item so that nothing is hidden. */
std::vector<std::string> RRSplitCacheItems(const std::string& data);

/* The text with control and non-ASCII bytes written as \xNN and backslashes
 * doubled, shortened to maxLength characters with "..." at the end. */
std::string RRPrintable(const std::string& text, std::size_t maxLength = 200);

#endif /* RRMONITORLINES_H */
