/* BenchCycleBaseline.h - the bare full-cycle baseline: get-server and message center in one epoll loop.
 *
 * A child process that answers, at once and without any router logic,
 * both protocols a full request cycle uses: every get-server datagram gets
 * "0 HOST PORT" naming the next announced application server in turn ("1"
 * while none is connected), and every message-center request gets "0 0\n"
 * (no cache data), its data skipped; an announcement (code 2) also adds its
 * HOST:PORT to the servers named, and a closed connection removes its
 * server. The same farm and clients that measure the router therefore run
 * unchanged against it, and the ratio router/baseline is the cost of the
 * router's own work. A malformed header closes the connection, as the
 * router does.
 *
 * The child is forked in the constructor and holds one descriptor per
 * connection: create the baseline before opening other connections, so
 * that the child does not inherit them. It is killed by the destructor and
 * when the bench itself ends.
 */
#ifndef BENCHCYCLEBASELINE_H
#define BENCHCYCLEBASELINE_H

#include <sys/types.h>

#include <cstdint>

#include "RRToolAddress.h"

class CCycleBaseline {
 public:
  /* Binds a UDP and a TCP port on 127.0.0.1 and forks the serving child,
   * on that CPU only unless cpu is -1; throws CToolException TOOL_IO. */
  explicit CCycleBaseline(int cpu = -1);
  ~CCycleBaseline();
  CCycleBaseline(const CCycleBaseline&) = delete;
  CCycleBaseline& operator=(const CCycleBaseline&) = delete;

  RRToolAddress getServer() const { return {"127.0.0.1", mUdpPort}; }
  RRToolAddress messageCenter() const { return {"127.0.0.1", mTcpPort}; }
  pid_t pid() const { return mChild; }

 private:
  uint16_t mUdpPort = 0;
  uint16_t mTcpPort = 0;
  pid_t mChild = -1;
};

#endif /* BENCHCYCLEBASELINE_H */
