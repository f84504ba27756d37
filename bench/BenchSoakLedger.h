/* BenchSoakLedger.h - what the soak's clients received and what went wrong, shared by its load threads.
 *
 * CSoakFaults counts faults by kind and keeps the first text of each kind.
 * CSoakFarmDirectory knows which application-server farm owns each server
 * port, so that a get-server answer naming a port reaches the server (which
 * then reports working and idle), and counts the OK answers per port for the
 * hit check at the end. Both are safe to use from any thread.
 */
#ifndef BENCHSOAKLEDGER_H
#define BENCHSOAKLEDGER_H

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CAppServerFarm;

class CSoakFaults {
 public:
  void add(const std::string& kind, const std::string& text);
  uint64_t total() const;
  /* One line per kind: "KIND: N time(s), first: TEXT". */
  std::vector<std::string> report() const;

 private:
  struct Entry {
    uint64_t count = 0;
    std::string first;
  };
  mutable std::mutex mLock;
  std::map<std::string, Entry> mEntries;
};

class CSoakFarmDirectory {
 public:
  /* Ports about to register with the main router: answers naming them are legal from now on. */
  void announce(const std::vector<uint16_t>& ports);
  /* The farm of the ports is running: replays the assignments that came during its registration. */
  void attach(const std::vector<uint16_t>& ports, CAppServerFarm* farm);
  /* The farm is about to stop: no assignment reaches it any more. */
  void detach(const std::vector<uint16_t>& ports);
  /* A client got this port: false when no server of ours ever had it. */
  bool assign(uint16_t port);
  /* OK answers the clients got for the port over the whole run. */
  uint64_t okFor(uint16_t port) const;

 private:
  struct Entry {
    CAppServerFarm* farm = nullptr;
    int pending = 0; /* assignments that came before attach() */
  };
  mutable std::mutex mLock;
  std::set<uint16_t> mKnown;
  std::map<uint16_t, Entry> mEntries;
  std::map<uint16_t, uint64_t> mOkByPort;
};

#endif
