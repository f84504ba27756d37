/* RRMCProtocol.h - the application-server side of the message-center protocol.
 *
 * Every message is a header line "CODE LENGTH ...\n" followed by LENGTH bytes
 * of data. An application server announces itself (code 2, with its address
 * HOST:PORT, its pool, pid and priority), reports idle (3) and working (4)
 * with its own cache data, sends cache data alone (5) and finishes (7). The
 * router answers "0 LENGTH\n" and LENGTH bytes (for 3 and 4: the cache data
 * waiting for the server), "2 0\n" when it refuses to move a busy server to
 * another pool, or closes the connection. These functions build the messages
 * and cut a byte stream of answers into replies, for tools that play the
 * part of application servers.
 *
 * Thread safety: the formatting functions share nothing; one CMCReplyReader
 * belongs to one thread at a time.
 */
#ifndef RRMCPROTOCOL_H
#define RRMCPROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "RRProtocol.h"


/* HOST:PORT as the message center expects it (an IPv6 host is not bracketed). */
std::string RRMCAddress(const std::string& host, uint16_t port);

/* Code 2: "2 0 ADDRESS POOL PID PRIORITY\n". */
std::string RRMCInitialFree(const std::string& address, const std::string& pool, long pid, int priority);
/* Code 3 with the server's own cache data (may be empty). */
std::string RRMCIdle(const std::string& address, const std::string& cacheData);
/* Code 4 with the server's own cache data (may be empty). */
std::string RRMCWorking(const std::string& address, const std::string& cacheData);
/* Code 5: cache data for a pool; broadcast 1 keeps it from being forwarded to peers. */
std::string RRMCUpdateCache(const std::string& address, const std::string& pool, int broadcast,
                            const std::string& cacheData);
/* Code 7 with the server's last cache data (may be empty). */
std::string RRMCFinish(const std::string& address, const std::string& cacheData);

struct RRMCReply {
  int code = 0;
  std::string data;
};

class CMCReplyReader {
 public:
  /* Appends received bytes. */
  void feed(const char* data, std::size_t length);
  /* Takes the next complete reply into *pReply: true when there was one,
   * false when more bytes are needed. Throws CToolException TOOL_PROTOCOL
   * for a header that is not two decimal numbers, a header line over 64
   * bytes, or a length over 64 MB. */
  bool next(RRMCReply* pReply);
  /* Bytes received and not yet part of a returned reply. */
  std::size_t pending() const { return mBuffer.size(); }

 private:
  std::string mBuffer;
};

#endif /* RRMCPROTOCOL_H */
