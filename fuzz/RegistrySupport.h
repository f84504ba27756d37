// RegistrySupport.h - a router registry (pool list and peer list) for the
// fuzz targets, and a consistency check that reads it back through the
// monitor lines.
//
// The check walks every pool and demands what a monitoring tool relies on:
// each server line has its 19 fields (host and port joined) and names the pool it is listed in,
// each pool line its 22 fields with counts that agree with the server lines,
// no server (host and port) is listed twice across all pools, and, where the
// caller asks for it, no pool is left without servers and peers.
#ifndef REGISTRYSUPPORT_H
#define REGISTRYSUPPORT_H

#include <stdarg.h>
#include <stdlib.h>

#include <algorithm>

#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "KTASServer.h"
#include "KTBuffer.h"
#include "KTMCServerList.h"
#include "Log.h"
#include "VXASPool.h"
#include "VXASPoolList.h"

namespace fuzz {

// The pool list and the peer list of one router; freed peers first, since
// they read the pools' peer queues.
class Registry {
 public:
  Registry() {
    FUZZ_CHECK(ASPoolListNew(&mPools, CLog::log) == 0, "ASPoolListNew");
    FUZZ_CHECK(KTMCServerListNew(&mMCs, CLog::log) == 0, "KTMCServerListNew");
  }
  ~Registry() {
    KTMCServerListFree(&mMCs, CLog::log);
    ASPoolListFree(&mPools, CLog::log);
  }
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  ASPoolList* pools() const { return mPools; }
  KTMCServerList* mcs() const { return mMCs; }

  // Registers an idle server in the pool, creating the pool when needed.
  KTASServer* addServer(const char* pool, const char* host, unsigned short port, int priority) {
    ASPool* pPool = nullptr;
    FUZZ_CHECK(ASPoolListGetMatching(mPools, pool, &pPool, CLog::log) == 0, "pool lookup");
    if (pPool == nullptr) {
      FUZZ_CHECK(ASPoolNew(&pPool, pool, 100, CLog::log) == 0, "ASPoolNew");
      FUZZ_CHECK(ASPoolListAdd(mPools, pPool, CLog::log) == 0, "ASPoolListAdd");
    }
    KTASServer* pAS = nullptr;
    FUZZ_CHECK(KTASServerNew(&pAS, pool, host, port, priority, 4711, CLog::log) == 0, "server");
    FUZZ_CHECK(ASPoolAddServer(pPool, pAS, mMCs, CLog::log) == 0, "ASPoolAddServer");
    FUZZ_CHECK(KTASServerSetIdle(pAS, CLog::log) == 0, "KTASServerSetIdle");
    return pAS;
  }

 private:
  ASPoolList* mPools = nullptr;
  KTMCServerList* mMCs = nullptr;
};

// The fields of a line, split at runs of blanks (as a stream would read
// them). The views point into the line, which must outlive them. The checks
// run after nearly every request, so the fields live in the object itself:
// the first kCapacity are kept, size() counts them all.
class Fields {
 public:
  static constexpr size_t kCapacity = 32;
  size_t size() const { return mCount; }
  bool empty() const { return mCount == 0; }
  std::string_view operator[](size_t i) const { return i < kCapacity ? mFields[i] : std::string_view(); }
  void add(std::string_view field) {
    if (mCount < kCapacity) mFields[mCount] = field;
    ++mCount;
  }

 private:
  std::string_view mFields[kCapacity];
  size_t mCount = 0;
};

inline bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline Fields SplitFields(std::string_view line) {
  Fields fields;
  size_t i = 0;
  const size_t n = line.size();
  while (i < n) {
    while (i < n && IsBlank(line[i])) ++i;
    const size_t start = i;
    while (i < n && !IsBlank(line[i])) ++i;
    if (i > start) fields.add(line.substr(start, i - start));
  }
  return fields;
}

// The lines of a monitor body, which must outlive them; every line must end
// in "\r\n".
inline std::vector<std::string_view> SplitLines(std::string_view body, const char* what) {
  std::vector<std::string_view> lines;
  lines.reserve(16);
  size_t start = 0;
  while (start < body.size()) {
    const size_t end = body.find("\r\n", start);
    FUZZ_CHECK(end != std::string_view::npos,
               std::string(what) + " line without CR LF: " + std::string(body));
    lines.push_back(body.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The number a field starts with, as atoi() reads it.
inline int FieldNumber(std::string_view field) {
  char digits[24] = {0};
  field.copy(digits, std::min(field.size(), sizeof digits - 1));
  return atoi(digits);
}

inline long CallIterator(KTListIterator iterator, void* element, ...) {
  va_list args;
  va_start(args, element);
  const long result = iterator(element, args);
  va_end(args);
  return result;
}

// The text a pool-list iterator (line producer) appends for one pool.
inline std::string PoolText(KTListIterator producer, ASPool* pPool) {
  static KTBuffer* pBuffer = nullptr;  // reused: the checks run after nearly every request
  if (pBuffer == nullptr) FUZZ_CHECK(KTBufferStrNew(&pBuffer, "") == 0, "buffer");
  FUZZ_CHECK(KTBufferStrSet(pBuffer, "") == 0, "buffer");
  const long result = CallIterator(producer, pPool, pBuffer, (KTLog*)CLog::log);
  unsigned status = 0;
  std::string text = KTBufferGet(pBuffer, &status);
  FUZZ_CHECK(result == 0, "monitor line producer failed: " + std::to_string(result));
  return text;
}

struct ConsistencyState {
  std::vector<std::string> servers;  // "host:port" of every listed server, as printed
  std::vector<std::string> poolNames;
  bool allowEmptyPools;
};

// The first entry that occurs twice, or null.
inline const std::string* Duplicate(std::vector<std::string>& entries) {
  std::sort(entries.begin(), entries.end());
  const auto twice = std::adjacent_find(entries.begin(), entries.end());
  return twice == entries.end() ? nullptr : &*twice;
}

inline long CheckOnePool(void* element, va_list args) {
  ConsistencyState* state = va_arg(args, ConsistencyState*);
  ASPool* pPool = static_cast<ASPool*>(element);
  char name[ASPOOL_NAME_SIZE + 1] = {0};
  FUZZ_CHECK(ASPoolGetName(pPool, name, sizeof name, CLog::log) == 0, "pool name");
  state->poolNames.push_back(name);

  const std::string poolText = PoolText(ASPoolMonitorPool, pPool);
  const std::vector<std::string_view> poolLines = SplitLines(poolText, "pool");
  FUZZ_CHECK(poolLines.size() == 1, std::string("pool lines of ") + name);
  const Fields p = SplitFields(poolLines[0]);
  FUZZ_CHECK(p.size() == 22 && p[0] == "P" && p[1] == name, "pool line: " + poolText);
  auto num = [&](size_t i) { return FieldNumber(p[i]); };
  const int idle = num(2), servers = num(3), peers = num(4);
  const int assigned = num(15), working = num(16), monitor = num(17), down = num(18);
  FUZZ_CHECK(idle + assigned + working + monitor + down == servers,
             "state counts do not add up: " + poolText);
  FUZZ_CHECK(state->allowEmptyPools || servers > 0 || peers > 0,
             "pool left without servers and peers: " + poolText);

  static const char* const kStates[] = {"idle", "assigned", "working", "monitor", "down"};
  int byState[5] = {0, 0, 0, 0, 0};
  const std::string serverText = PoolText(ASPoolMonitorServer, pPool);
  const std::vector<std::string_view> serverLines = SplitLines(serverText, "server");
  for (const std::string_view line : serverLines) {
    const Fields s = SplitFields(line);
    FUZZ_CHECK(s.size() == 19 && s[0] == "S", "server line: " + std::string(line));
    FUZZ_CHECK(s[1] == name, "server line of pool " + std::string(name) + ": " + std::string(line));
    const size_t colon = s[2].rfind(':');
    FUZZ_CHECK(colon != std::string_view::npos, "server address: " + std::string(line));
    FUZZ_CHECK(colon > 0, "server without host: " + std::string(line));
    state->servers.emplace_back(s[2]);
    for (int i = 0; i < 5; ++i)
      if (s[4] == kStates[i]) ++byState[i];
  }
  FUZZ_CHECK((int)serverLines.size() == servers,
             "pool line counts " + std::to_string(servers) + " servers, " +
                 std::to_string(serverLines.size()) + " listed: " + poolText);
  FUZZ_CHECK(byState[0] == idle && byState[1] == assigned && byState[2] == working &&
                 byState[3] == monitor && byState[4] == down,
             "state counts differ from the server lines: " + poolText);
  return 0;
}

// Checks the whole registry through its monitor lines (see the file comment).
inline void CheckRegistry(const Registry& registry, bool allowEmptyPools) {
  ConsistencyState state;
  state.allowEmptyPools = allowEmptyPools;
  KTReaderGuard guard(ASPoolListMutex(registry.pools()));
  FUZZ_CHECK(guard.locked(), "pool list lock");
  FUZZ_CHECK(ASPoolListForEach(registry.pools(), CheckOnePool, CLog::log, &state) == 0,
             "walk over the pools");
  const std::string* twice = Duplicate(state.poolNames);
  FUZZ_CHECK(twice == nullptr, "pool listed twice: " + *twice);
  twice = Duplicate(state.servers);
  FUZZ_CHECK(twice == nullptr, "server in two places: " + *twice);
}

}  // namespace fuzz

#endif  // REGISTRYSUPPORT_H
