/* SocketSet.cpp - a set of owned KTSockets waited on with one select().
 *
 * Sockets are kept in an ordered map by descriptor, so a walk over the set
 * visits them in ascending descriptor order. Interest bits live in two
 * fd_sets; select() copies them into the result sets before waiting.
 */
#include "SocketSet.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include "Exception.h"
#include "KTDebug.h"
#include "Log.h"
#include "WIException.h"

namespace {

/* Milliseconds of the monotonic clock. */
long long _NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

CSocketSet::CSocketSet() : mMaxFd(0) {
  FD_ZERO(&mReadSet);
  FD_ZERO(&mWriteSet);
  FD_ZERO(&mReadActive);
  FD_ZERO(&mWriteActive);
}

CSocketSet::~CSocketSet() { clear(); }

/* Throws CWIException on a bad argument or a descriptor select() cannot watch. */
void CSocketSet::add(KTSocket* pSocket, int mode) {
  if (pSocket == nullptr || (mode & (SOCKETSET_READ | SOCKETSET_WRITE)) == 0)
    throw CWIException(ERROR_INVALID_PARAMETER, "CSocketSet::add(): invalid parameter");
  int fd = getSocketFd(pSocket);
  if (fd < 0 || fd > KTSOCKET_MAX_FD)
    throw CWIException(ERROR_INDEX_OUT_OF_RANGE,
                       "CSocketSet::add(): socket #%d is out of range (0..%d) for select()", fd,
                       KTSOCKET_MAX_FD);
  auto it = mSockets.find(fd);
  if (it != mSockets.end() && it->second != pSocket)
    throw CWIException(ERROR_INVALID_PARAMETER, "CSocketSet::add(): invalid parameter");
  mSockets[fd] = pSocket;
  if (mode & SOCKETSET_READ) FD_SET(fd, &mReadSet);
  if (mode & SOCKETSET_WRITE) FD_SET(fd, &mWriteSet);
  if (fd > mMaxFd) mMaxFd = fd;
}

/* Throws CWIException for a null socket or one the set does not hold. */
void CSocketSet::remove(KTSocket* pSocket) {
  if (pSocket == nullptr)
    throw CWIException(ERROR_INVALID_PARAMETER, "CSocketSet::remove(): invalid parameter");
  int fd = getSocketFd(pSocket);
  auto it = mSockets.find(fd);
  if (it == mSockets.end() || it->second != pSocket)
    throw CWIException(ERROR_INVALID_PARAMETER, "CSocketSet::remove(): invalid parameter");
  mSockets.erase(it);
  FD_CLR(fd, &mReadSet);
  FD_CLR(fd, &mWriteSet);
  FD_CLR(fd, &mReadActive);
  FD_CLR(fd, &mWriteActive);
  KTSocketFree(&pSocket, CLog::log);
  if (fd == mMaxFd) mMaxFd = mSockets.empty() ? 0 : mSockets.rbegin()->first;
}

void CSocketSet::clear() {
  FD_ZERO(&mReadSet);
  FD_ZERO(&mWriteSet);
  FD_ZERO(&mReadActive);
  FD_ZERO(&mWriteActive);
  for (auto& entry : mSockets) {
    KTSocket* pSocket = entry.second;
    KTSocketFree(&pSocket, CLog::log);
  }
  mSockets.clear();
  mMaxFd = 0;
}

/* Throws CException for an empty set, CWIException when select() fails. */
int CSocketSet::select(int timeoutMs) {
  if (mSockets.empty()) throw CException("CSocketSet::select: there are no sockets");
  long long start = _NowMs();
  for (;;) {
    FD_ZERO(&mReadActive);
    FD_ZERO(&mWriteActive);
    for (const auto& entry : mSockets) {
      if (FD_ISSET(entry.first, &mReadSet)) FD_SET(entry.first, &mReadActive);
      if (FD_ISSET(entry.first, &mWriteSet)) FD_SET(entry.first, &mWriteActive);
    }
    struct timeval tv;
    struct timeval* pTv = nullptr;
    if (timeoutMs >= 0) {
      long long left = timeoutMs - (_NowMs() - start);
      if (left < 0) left = 0;
      tv.tv_sec = (time_t)(left / 1000);
      tv.tv_usec = (suseconds_t)((left % 1000) * 1000);
      pTv = &tv;
    }
    int ready = ::select(mMaxFd + 1, &mReadActive, &mWriteActive, nullptr, pTv);
    if (ready >= 0) return ready;
    int error = errno;
    if (error == EINTR) {
      KTDEBUG_MSG(KTDEBUG_SOCKET, "CSocketSet::select(): select was interrupted, trying again");
      continue;
    }
    FD_ZERO(&mReadActive);
    FD_ZERO(&mWriteActive);
    char text[256];
    KTFormatSocketError(error, text, sizeof text);
    throw CWIException(ERROR_SOCKET_SELECT, "CSocketSet::select(): select() failed (%s)", text);
  }
}

bool CSocketSet::isReadActive(int fd) const {
  return fd >= 0 && fd <= KTSOCKET_MAX_FD && FD_ISSET(fd, &mReadActive);
}

bool CSocketSet::isWriteActive(int fd) const {
  return fd >= 0 && fd <= KTSOCKET_MAX_FD && FD_ISSET(fd, &mWriteActive);
}

/* Throws CWIException with the status of KTSocketGetFd. */
int CSocketSet::getSocketFd(KTSocket* pSocket) {
  int fd = -1;
  KTStatus status = KTSocketGetFd(pSocket, &fd, CLog::log);
  if (status != STATUS_OK) throw CWIException(status, "CSocketSet: KTSocketGetFd failed");
  return fd;
}

bool CSocketSet::contains(const KTSocket* pSocket) const {
  if (pSocket == nullptr) return false;
  auto it = mSockets.find(pSocket->socket);
  return it != mSockets.end() && it->second == pSocket;
}
