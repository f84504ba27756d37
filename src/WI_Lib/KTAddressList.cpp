/* KTAddressList.cpp - address lists and their matching. */
#include "KTAddressList.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

#include <cstdlib>

namespace {

const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool isSeparator(char c) { return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

/* The family and bytes of an address; an IPv4-mapped IPv6 address becomes IPv4. */
bool addressBytes(const struct sockaddr* address, socklen_t length, int* pFamily,
                  unsigned char* bytes) {
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET && length >= (socklen_t)sizeof(sockaddr_in)) {
    const sockaddr_in* in4 = reinterpret_cast<const sockaddr_in*>(address);
    memcpy(bytes, &in4->sin_addr, 4);
    *pFamily = AF_INET;
    return true;
  }
  if (address->sa_family == AF_INET6 && length >= (socklen_t)sizeof(sockaddr_in6)) {
    const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&in6->sin6_addr);
    if (memcmp(raw, kMappedPrefix, sizeof kMappedPrefix) == 0) {
      memcpy(bytes, raw + 12, 4);
      *pFamily = AF_INET;
    } else {
      memcpy(bytes, raw, 16);
      *pFamily = AF_INET6;
    }
    return true;
  }
  return false;
}

}  // namespace

bool CAddressList::parseEntry(const std::string& text, Entry* pEntry) {
  std::string address = text;
  std::string::size_type slash = text.find('/');
  long bits = -1;
  if (slash != std::string::npos) {
    address = text.substr(0, slash);
    const std::string length = text.substr(slash + 1);
    if (length.empty() || length.size() > 3 || length.find_first_not_of("0123456789") != std::string::npos)
      return false;
    bits = strtol(length.c_str(), nullptr, 10);
  }
  memset(pEntry, 0, sizeof *pEntry);
  if (inet_pton(AF_INET, address.c_str(), pEntry->bytes) == 1) {
    pEntry->family = AF_INET;
    if (bits > 32) return false;
    pEntry->bits = bits < 0 ? 32 : (unsigned)bits;
  } else if (inet_pton(AF_INET6, address.c_str(), pEntry->bytes) == 1) {
    pEntry->family = AF_INET6;
    if (bits > 128) return false;
    pEntry->bits = bits < 0 ? 128 : (unsigned)bits;
    /* A mapped IPv4 address is kept as the IPv4 entry it stands for. */
    if (memcmp(pEntry->bytes, kMappedPrefix, sizeof kMappedPrefix) == 0 && pEntry->bits >= 96) {
      memmove(pEntry->bytes, pEntry->bytes + 12, 4);
      memset(pEntry->bytes + 4, 0, 12);
      pEntry->family = AF_INET;
      pEntry->bits -= 96;
    }
  } else {
    return false;
  }
  return true;
}

bool CAddressList::parse(const std::string& text, std::string* pError) {
  std::vector<Entry> entries;
  std::string::size_type pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && isSeparator(text[pos])) ++pos;
    if (pos >= text.size()) break;
    std::string::size_type end = pos;
    while (end < text.size() && !isSeparator(text[end])) ++end;
    const std::string item = text.substr(pos, end - pos);
    Entry entry;
    if (!parseEntry(item, &entry)) {
      if (pError) *pError = "'" + item + "' is no address or prefix";
      return false;
    }
    entries.push_back(entry);
    pos = end;
  }
  if (entries.empty()) {
    if (pError) *pError = "the list has no entry";
    return false;
  }
  mEntries.insert(mEntries.end(), entries.begin(), entries.end());
  return true;
}

bool CAddressList::isValid(const std::string& text) {
  CAddressList list;
  return list.parse(text);
}

bool CAddressList::addHost(const std::string& host) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return false;
  bool added = false;
  for (const struct addrinfo* p = result; p != nullptr; p = p->ai_next) {
    Entry entry;
    memset(&entry, 0, sizeof entry);
    if (!addressBytes(p->ai_addr, p->ai_addrlen, &entry.family, entry.bytes)) continue;
    entry.bits = entry.family == AF_INET ? 32 : 128;
    mEntries.push_back(entry);
    added = true;
  }
  freeaddrinfo(result);
  return added;
}

bool CAddressList::inEntry(const Entry& entry, int family, const unsigned char* bytes) {
  if (entry.family != family) return false;
  const unsigned whole = entry.bits / 8;
  if (memcmp(entry.bytes, bytes, whole) != 0) return false;
  const unsigned rest = entry.bits % 8;
  if (rest == 0) return true;
  const unsigned char mask = (unsigned char)(0xff << (8 - rest));
  return (entry.bytes[whole] & mask) == (bytes[whole] & mask);
}

bool CAddressList::matches(const struct sockaddr* address, socklen_t length) const {
  int family = 0;
  unsigned char bytes[16];
  if (!addressBytes(address, length, &family, bytes)) return false;
  for (const Entry& entry : mEntries) {
    if (inEntry(entry, family, bytes)) return true;
  }
  return false;
}

void KTAddressText(const struct sockaddr* address, socklen_t length, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return;
  int family = 0;
  unsigned char bytes[16];
  if (!addressBytes(address, length, &family, bytes) || inet_ntop(family, bytes, buffer, (socklen_t)size) == nullptr)
    snprintf(buffer, size, "?");
}
