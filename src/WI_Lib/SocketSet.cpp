/* SocketSet.cpp - a set of owned KTSockets waited on with one epoll instance.
 *
 * Sockets are kept in an ordered map by descriptor; the watched modes and
 * the results of the last wait live in tables indexed by descriptor, so
 * tests and changes cost the same for descriptor 5 and descriptor 50,000.
 * An error or hang-up reported by the system makes a socket active for
 * every mode it is watched for, as select(2) does, so that the next
 * receive or send sees the condition.
 */
#include "SocketSet.h"

#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "Exception.h"
#include "KTDebug.h"
#include "KTUtils.h"
#include "Log.h"
#include "WIException.h"

namespace {

/* The epoll interest of a mode. */
uint32_t _Events(int mode) {
  uint32_t events = 0;
  if (mode & CSocketSet::SOCKETSET_READ) events |= EPOLLIN;
  if (mode & CSocketSet::SOCKETSET_WRITE) events |= EPOLLOUT;
  return events;
}

/* Throws CWIException ERROR_SOCKET_SELECT naming the call and the system error. */
[[noreturn]] void _ThrowSystem(const char* what, int fd, int error) {
  char text[256];
  KTFormatSocketError(error, text, sizeof text);
  throw CWIException(ERROR_SOCKET_SELECT, "%s: cannot watch socket #%d (%s)", what, fd, text);
}

}  // namespace

CSocketSet::CSocketSet() : mMaxFd(0), mEpollFd(-1) {}

CSocketSet::~CSocketSet() {
  clear();
  if (mEpollFd >= 0) close(mEpollFd);
}

int CSocketSet::epollFd() {
  if (mEpollFd >= 0) return mEpollFd;
  mEpollFd = epoll_create1(EPOLL_CLOEXEC);
  if (mEpollFd < 0) {
    int error = errno;
    char text[256];
    KTFormatSocketError(error, text, sizeof text);
    throw CWIException(ERROR_SOCKET_SELECT, "CSocketSet: epoll_create1() failed (%s)", text);
  }
  return mEpollFd;
}

void CSocketSet::reserveFd(int fd) {
  if ((size_t)fd < mModes.size()) return;
  size_t size = std::max<size_t>(64, mModes.size());
  while (size <= (size_t)fd) size *= 2;
  mModes.resize(size, 0);
  mActive.resize(size, 0);
}

void CSocketSet::clearActive() {
  for (int fd : mReady) {
    if ((size_t)fd < mActive.size()) mActive[fd] = 0;
  }
  mReady.clear();
}

/* Throws CWIException on a bad argument or a descriptor the system will not watch. */
void CSocketSet::add(KTSocket* pSocket, int mode) {
  if (pSocket == nullptr || (mode & (SOCKETSET_READ | SOCKETSET_WRITE)) == 0)
    throw CWIException(ERROR_INVALID_PARAMETER, "CSocketSet::add(): invalid parameter");
  int fd = getSocketFd(pSocket);
  if (fd < 0) throw CWIException(ERROR_INVALID_PARAMETER, "CSocketSet::add(): invalid parameter");
  auto it = mSockets.find(fd);
  if (it != mSockets.end() && it->second != pSocket)
    throw CWIException(ERROR_INVALID_PARAMETER, "CSocketSet::add(): invalid parameter");
  if (it != mSockets.end()) {
    watch(pSocket, mModes[fd] | (mode & (SOCKETSET_READ | SOCKETSET_WRITE)));
    return;
  }
  int epoll = epollFd();
  reserveFd(fd);
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  event.events = _Events(mode);
  event.data.fd = fd;
  if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) _ThrowSystem("CSocketSet::add()", fd, errno);
  mSockets[fd] = pSocket;
  mModes[fd] = (unsigned char)(mode & (SOCKETSET_READ | SOCKETSET_WRITE));
  mActive[fd] = 0;
  if (fd > mMaxFd) mMaxFd = fd;
}

/* Throws CWIException for a socket not held, bad bits, or a refused change. */
void CSocketSet::watch(KTSocket* pSocket, int mode) {
  if (pSocket == nullptr || (mode & ~(SOCKETSET_READ | SOCKETSET_WRITE)) != 0 ||
      !contains(pSocket))
    throw CWIException(ERROR_INVALID_PARAMETER, "CSocketSet::watch(): invalid parameter");
  int fd = pSocket->socket;
  int old = mModes[fd];
  if (old == mode) return;
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  event.events = _Events(mode);
  event.data.fd = fd;
  /* An unwatched socket is taken out of the epoll set entirely: with an
   * empty interest the system would still report errors and hang-ups. */
  int op = old == 0 ? EPOLL_CTL_ADD : mode == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
  if (epoll_ctl(epollFd(), op, fd, &event) != 0) _ThrowSystem("CSocketSet::watch()", fd, errno);
  mModes[fd] = (unsigned char)mode;
  mActive[fd] &= (unsigned char)mode;
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
  /* Closing would drop the watch too, but only when no copy of the
   * descriptor survives (a child of fork() may hold one). */
  if (mModes[fd] != 0 && mEpollFd >= 0) epoll_ctl(mEpollFd, EPOLL_CTL_DEL, fd, nullptr);
  mModes[fd] = 0;
  mActive[fd] = 0;
  KTSocketFree(&pSocket, CLog::log);
  if (fd == mMaxFd) mMaxFd = mSockets.empty() ? 0 : mSockets.rbegin()->first;
}

void CSocketSet::clear() {
  clearActive();
  for (auto& entry : mSockets) {
    int fd = entry.first;
    if (mModes[fd] != 0 && mEpollFd >= 0) epoll_ctl(mEpollFd, EPOLL_CTL_DEL, fd, nullptr);
    mModes[fd] = 0;
    KTSocket* pSocket = entry.second;
    KTSocketFree(&pSocket, CLog::log);
  }
  mSockets.clear();
  mMaxFd = 0;
}

/* Throws CException for an empty set, CWIException when the wait fails. */
int CSocketSet::select(int timeoutMs) {
  if (mSockets.empty()) throw CException("CSocketSet::select: there are no sockets");
  clearActive();
  if (mEvents.empty()) mEvents.resize(64);
  if (mEvents.size() < std::min(mSockets.size(), (size_t)kMaxEventsPerWait))
    mEvents.resize(std::min(std::max(mEvents.size() * 2, mSockets.size()),
                            (size_t)kMaxEventsPerWait));
  int epoll = epollFd();
  long long start = KTMonotonicMs();
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      long long left = timeoutMs - (KTMonotonicMs() - start);
      wait = left < 0 ? 0 : (int)left;
    }
    int ready = epoll_wait(epoll, mEvents.data(), (int)mEvents.size(), wait);
    if (ready < 0) {
      int error = errno;
      if (error == EINTR) {
        KTDEBUG_MSG(KTDEBUG_SOCKET, "CSocketSet::select(): select was interrupted, trying again");
        continue;
      }
      char text[256];
      KTFormatSocketError(error, text, sizeof text);
      throw CWIException(ERROR_SOCKET_SELECT, "CSocketSet::select(): select() failed (%s)", text);
    }
    for (int i = 0; i < ready; ++i) {
      int fd = mEvents[i].data.fd;
      if (fd < 0 || (size_t)fd >= mModes.size()) continue;
      uint32_t events = mEvents[i].events;
      unsigned char bits = 0;
      if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) bits |= SOCKETSET_READ;
      if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) bits |= SOCKETSET_WRITE;
      bits &= mModes[fd];
      if (bits == 0) continue;
      mActive[fd] = bits;
      mReady.push_back(fd);
    }
    std::sort(mReady.begin(), mReady.end());
    return (int)mReady.size();
  }
}

bool CSocketSet::isReadActive(int fd) const {
  return fd >= 0 && (size_t)fd < mActive.size() && (mActive[fd] & SOCKETSET_READ) != 0;
}

bool CSocketSet::isWriteActive(int fd) const {
  return fd >= 0 && (size_t)fd < mActive.size() && (mActive[fd] & SOCKETSET_WRITE) != 0;
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
