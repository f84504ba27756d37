/* SocketLib.h - the process-wide guard of the socket library and the
 * literal-address tests.
 *
 * On Linux the socket library needs no set-up, so constructing and
 * destroying the guard do nothing; the entry point still holds one for the
 * whole start-up so that platforms that need it get it. The static tests
 * are thread safe.
 */
#ifndef SOCKETLIB_H
#define SOCKETLIB_H

class CSocketLib {
 public:
  CSocketLib() = default;
  ~CSocketLib() = default;
  CSocketLib(const CSocketLib&) = delete;
  CSocketLib& operator=(const CSocketLib&) = delete;

  /* True when inet_pton accepts the text as an IPv4 dotted quad. A null
   * text is a programming error and ends the process. */
  static bool isIPv4Address(const char* addr);
  /* True when inet_pton accepts the text as an IPv6 address. A null text
   * is a programming error and ends the process. */
  static bool isIPv6Address(const char* addr);
};

#endif /* SOCKETLIB_H */
