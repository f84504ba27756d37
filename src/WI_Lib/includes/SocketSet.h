/* SocketSet.h - a set of KTSockets waited on together with epoll.
 *
 * The set owns its sockets: remove() and clear() free them (closing the
 * descriptors), and so does the destructor. Each socket is watched for
 * reading (SOCKETSET_READ), writing (SOCKETSET_WRITE), both, or, after
 * watch(pSocket, 0), not at all while it stays in the set. select() waits
 * level-triggered (a descriptor stays ready until it is drained, as with
 * select(2)) and records which descriptors are ready; isReadActive() and
 * isWriteActive() test them and readyDescriptors() lists them, so a caller
 * visits only the ready ones. Any descriptor number the process can open
 * may be added: the cost of a wait grows with the ready descriptors, not
 * with the size of the set.
 *
 * Errors are exceptions: CWIException with a KTStatus, CException for a
 * select() on an empty set.
 *
 * Thread safety: none; a set belongs to the one thread that serves it.
 */
#ifndef SOCKETSET_H
#define SOCKETSET_H

#include <sys/epoll.h>

#include <map>
#include <vector>

#include "KTSocket.h"

class CSocketSet {
 public:
  /* Bits of the `mode` argument of add() and watch(). */
  enum { SOCKETSET_READ = 1, SOCKETSET_WRITE = 2 };

  CSocketSet();
  virtual ~CSocketSet();
  CSocketSet(const CSocketSet&) = delete;
  CSocketSet& operator=(const CSocketSet&) = delete;

  /* Takes ownership of the socket and watches it as `mode` says. Throws
   * CWIException ERROR_INVALID_PARAMETER for a null socket, a mode without
   * either bit, or a descriptor already held by another socket record, and
   * ERROR_SOCKET_SELECT when the system refuses to watch the descriptor (a
   * closed one, or no memory for the watch); the socket then still belongs
   * to the caller. */
  void add(KTSocket* pSocket, int mode);

  /* Changes what a held socket is watched for; mode 0 stops watching it
   * (it stays in the set and is not reported ready) until a later watch().
   * Throws CWIException ERROR_INVALID_PARAMETER for a socket the set does
   * not hold or unknown mode bits, ERROR_SOCKET_SELECT when the system
   * refuses the change. */
  void watch(KTSocket* pSocket, int mode);

  /* Frees (closes) the socket and forgets it. Throws CWIException
   * ERROR_INVALID_PARAMETER for a null socket or one the set does not hold
   * (which then stays the caller's). */
  void remove(KTSocket* pSocket);

  /* Frees every socket and empties the set. */
  void clear();

  /* Waits until a watched descriptor is ready or timeoutMs passes (negative:
   * no limit) and returns the number of ready descriptors (0 on time-out).
   * A wait reports at most kMaxEventsPerWait descriptors; the others stay
   * ready for the next one. Interrupted waits are resumed for the time
   * left. Throws CException "CSocketSet::select: there are no sockets" for
   * an empty set and CWIException ERROR_SOCKET_SELECT when the wait fails. */
  int select(int timeoutMs);

  /* Results of the last select(); a descriptor removed since is no longer
   * active. False for descriptors the set never held. */
  bool isReadActive(int fd) const;
  bool isWriteActive(int fd) const;
  /* Descriptors found ready by the last select(), ascending. Entries whose
   * socket was removed since stay listed but are no longer active. */
  const std::vector<int>& readyDescriptors() const { return mReady; }

  /* The socket's descriptor; throws CWIException on failure. */
  int getSocketFd(KTSocket* pSocket);

  /* Number of sockets held. */
  size_t size() const { return mSockets.size(); }
  /* True when the set holds this socket record. */
  bool contains(const KTSocket* pSocket) const;

  /* Most descriptors one select() reports. */
  static const int kMaxEventsPerWait = 1024;

 protected:
  int mMaxFd;                         /* highest descriptor held; 0 when empty */
  std::map<int, KTSocket*> mSockets;  /* descriptor -> owned socket, ascending */

 private:
  /* The epoll instance, created by the first add(); throws on failure. */
  int epollFd();
  /* Grows the per-descriptor tables to hold fd. */
  void reserveFd(int fd);
  /* Drops the results of the last wait. */
  void clearActive();

  int mEpollFd;                       /* -1 until the first add() */
  std::vector<unsigned char> mModes;  /* descriptor -> watched mode bits */
  std::vector<unsigned char> mActive; /* descriptor -> ready bits of the last wait */
  std::vector<int> mReady;            /* descriptors ready after the last wait */
  std::vector<struct epoll_event> mEvents; /* buffer of one wait */
};

#endif /* SOCKETSET_H */
