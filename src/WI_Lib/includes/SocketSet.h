/* SocketSet.h - a set of KTSockets waited on together with select().
 *
 * The set owns its sockets: remove() and clear() free them (closing the
 * descriptors), and so does the destructor. Each socket is watched for
 * reading (SOCKETSET_READ), writing (SOCKETSET_WRITE) or both; select() fills
 * the result sets that isReadActive()/isWriteActive() test. Only descriptors
 * 0..1023 can be added, since select() cannot watch more.
 *
 * Errors are exceptions: CWIException with a KTStatus, CException for a
 * select() on an empty set.
 *
 * Thread safety: none; a set belongs to the one thread that serves it.
 */
#ifndef SOCKETSET_H
#define SOCKETSET_H

#include <sys/select.h>

#include <map>

#include "KTSocket.h"

class CSocketSet {
 public:
  /* Bits of the `mode` argument of add(). */
  enum { SOCKETSET_READ = 1, SOCKETSET_WRITE = 2 };

  CSocketSet();
  virtual ~CSocketSet();
  CSocketSet(const CSocketSet&) = delete;
  CSocketSet& operator=(const CSocketSet&) = delete;

  /* Takes ownership of the socket and watches it as `mode` says. Throws
   * CWIException ERROR_INVALID_PARAMETER for a null socket, a mode without
   * either bit, or a descriptor already held by another socket record, and
   * ERROR_INDEX_OUT_OF_RANGE for a descriptor outside 0..1023 (the socket
   * then still belongs to the caller). */
  void add(KTSocket* pSocket, int mode);

  /* Frees (closes) the socket and forgets it. Throws CWIException
   * ERROR_INVALID_PARAMETER for a null socket or one the set does not hold
   * (which then stays the caller's). */
  void remove(KTSocket* pSocket);

  /* Frees every socket and empties the set. */
  void clear();

  /* Waits until a watched descriptor is ready or timeoutMs passes (negative:
   * no limit) and returns the number of ready descriptors (0 on time-out).
   * Interrupted waits are resumed for the time left. Throws CException
   * "CSocketSet::select: there are no sockets" for an empty set and
   * CWIException ERROR_SOCKET_SELECT when select() fails. */
  int select(int timeoutMs);

  /* Results of the last select(); false for descriptors outside 0..1023. */
  bool isReadActive(int fd) const;
  bool isWriteActive(int fd) const;

  /* The socket's descriptor; throws CWIException on failure. */
  int getSocketFd(KTSocket* pSocket);

  /* Number of sockets held. */
  size_t size() const { return mSockets.size(); }
  /* True when the set holds this socket record. */
  bool contains(const KTSocket* pSocket) const;

 protected:
  int mMaxFd;                         /* highest descriptor held; 0 when empty */
  std::map<int, KTSocket*> mSockets;  /* descriptor -> owned socket, ascending */
  fd_set mReadSet;                    /* watched for reading */
  fd_set mWriteSet;                   /* watched for writing */
  fd_set mReadActive;                 /* readable after the last select() */
  fd_set mWriteActive;                /* writable after the last select() */
};

#endif /* SOCKETSET_H */
