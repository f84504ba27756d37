/* BenchSoakLedger.cpp - the soak's fault list and farm directory. */
#include "BenchSoakLedger.h"

#include "BenchAppServerFarm.h"

void CSoakFaults::add(const std::string& kind, const std::string& text) {
  std::lock_guard<std::mutex> guard(mLock);
  Entry& e = mEntries[kind];
  if (e.count++ == 0) e.first = text;
}

uint64_t CSoakFaults::total() const {
  std::lock_guard<std::mutex> guard(mLock);
  uint64_t n = 0;
  for (const auto& e : mEntries) n += e.second.count;
  return n;
}

std::vector<std::string> CSoakFaults::report() const {
  std::lock_guard<std::mutex> guard(mLock);
  std::vector<std::string> lines;
  for (const auto& e : mEntries) {
    lines.push_back(e.first + ": " + std::to_string(e.second.count) + " time(s), first: " + e.second.first);
  }
  return lines;
}

void CSoakFarmDirectory::announce(const std::vector<uint16_t>& ports) {
  std::lock_guard<std::mutex> guard(mLock);
  for (uint16_t p : ports) {
    mKnown.insert(p);
    mEntries[p] = Entry();
  }
}

void CSoakFarmDirectory::attach(const std::vector<uint16_t>& ports, CAppServerFarm* farm) {
  std::lock_guard<std::mutex> guard(mLock);
  for (uint16_t p : ports) {
    Entry& e = mEntries[p];
    e.farm = farm;
    for (; e.pending > 0; --e.pending) farm->assign(p);
  }
}

void CSoakFarmDirectory::detach(const std::vector<uint16_t>& ports) {
  std::lock_guard<std::mutex> guard(mLock);
  for (uint16_t p : ports) mEntries.erase(p);
}

bool CSoakFarmDirectory::assign(uint16_t port) {
  std::lock_guard<std::mutex> guard(mLock);
  ++mOkByPort[port];
  if (mKnown.count(port) == 0) return false;
  auto it = mEntries.find(port);
  if (it == mEntries.end()) return true;  // the server has gone meanwhile
  if (it->second.farm == nullptr) {
    ++it->second.pending;
  } else {
    it->second.farm->assign(port);
  }
  return true;
}

uint64_t CSoakFarmDirectory::okFor(uint16_t port) const {
  std::lock_guard<std::mutex> guard(mLock);
  auto it = mOkByPort.find(port);
  return it == mOkByPort.end() ? 0 : it->second;
}
