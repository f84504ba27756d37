/* KTAddressList.h - a list of IPv4 and IPv6 addresses and prefixes that a
 * connection's source is checked against.
 *
 * The text form is a list of entries separated by blanks or commas; an
 * entry is a numeric address ("10.2.3.4", "::1") or a prefix in CIDR form
 * ("10.1.0.0/16", "fd00::/8"). Host bits below a prefix are ignored. An
 * IPv4 source seen as an IPv4-mapped IPv6 address (::ffff:a.b.c.d, as on a
 * dual-stack listener) matches the IPv4 entries.
 *
 * Thread safety: none; a list is built before the threads that read it
 * start, and reading (matches()) never changes it.
 */
#ifndef KTADDRESSLIST_H
#define KTADDRESSLIST_H

#include <sys/socket.h>

#include <string>
#include <vector>

class CAddressList {
 public:
  /* Adds every entry of text. Returns false, leaving the list unchanged and
   * naming the first bad entry in *pError (when given), for an entry that is
   * no address or prefix, or for a text without any entry. */
  bool parse(const std::string& text, std::string* pError = nullptr);
  /* True when text would parse. */
  static bool isValid(const std::string& text);
  /* Adds every address the resolver gives for host (numeric or a name, both
   * families); false when nothing resolves. */
  bool addHost(const std::string& host);
  /* True when the address (AF_INET or AF_INET6) lies in an entry. */
  bool matches(const struct sockaddr* address, socklen_t length) const;
  bool empty() const { return mEntries.empty(); }
  size_t size() const { return mEntries.size(); }

 private:
  struct Entry {
    int family;                 /* AF_INET or AF_INET6 */
    unsigned char bytes[16];    /* network order; 4 used for AF_INET */
    unsigned bits;              /* prefix length */
  };
  static bool parseEntry(const std::string& text, Entry* pEntry);
  static bool inEntry(const Entry& entry, int family, const unsigned char* bytes);

  std::vector<Entry> mEntries;
};

/* Writes the numeric text of address into buffer (an IPv4-mapped IPv6
 * address as plain IPv4); "?" when it cannot be converted. */
void KTAddressText(const struct sockaddr* address, socklen_t length, char* buffer, size_t size);

#endif /* KTADDRESSLIST_H */
