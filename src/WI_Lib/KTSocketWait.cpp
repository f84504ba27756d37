/* KTSocketWait.cpp - the single-descriptor poll() waits behind every socket wait. */
#include <errno.h>
#include <poll.h>

#include "KTUtils.h"
#include "internal/KTSocketInternal.h"

namespace ktsocket {

WaitResult _Wait(int fd, bool read, bool write, bool except, long long timeoutMs) {
  WaitResult result = {0, 0, false, false, false};
  struct pollfd entry;
  entry.fd = fd;
  entry.events = (short)((read ? POLLIN : 0) | (write ? POLLOUT : 0) | (except ? POLLPRI : 0));
  entry.revents = 0;
  int wait = timeoutMs < 0 ? -1 : timeoutMs > 0x7fffffff ? 0x7fffffff : (int)timeoutMs;
  result.rc = poll(&entry, 1, wait);
  if (result.rc < 0) {
    result.error = errno;
    return result;
  }
  if (entry.revents & POLLNVAL) {
    result.rc = -1;
    result.error = EBADF;
    return result;
  }
  const short broken = POLLERR | POLLHUP;
  result.readable = read && (entry.revents & (POLLIN | broken)) != 0;
  result.writable = write && (entry.revents & (POLLOUT | broken)) != 0;
  result.exception = except && (entry.revents & POLLPRI) != 0;
  if (!result.readable && !result.writable && !result.exception) result.rc = 0;
  return result;
}

long long _Remaining(long long startMs, long long timeoutMs) {
  if (timeoutMs < 0) return -1;
  long long left = timeoutMs - (KTMonotonicMs() - startMs);
  return left < 0 ? 0 : left;
}

}  // namespace ktsocket
