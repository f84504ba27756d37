/* Daemon.cpp - background service base: signal handlers and the stop flag.
 *
 * killHandler runs in signal context, so for the signals that merely ask
 * the daemon to stop it only stores lock-free atomics; the log line about
 * the signal is written later from normal context by serviceStopped(). For
 * SIGSEGV and SIGBUS the process is already broken: the handler writes its
 * lines best-effort and ends with _exit(1), running no exit handlers on a
 * possibly corrupted heap.
 */
#include "Daemon.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "KTDebug.h"
#include "KTLog.h"
#include "Log.h"

std::atomic<bool> stopSignal{false};

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag must be usable in a handler");
static_assert(std::atomic<int>::is_always_lock_free, "the signal number must be usable in a handler");

/* Last signal that asked for a stop and has not been logged yet; 0 if none. */
std::atomic<int> pendingSignal{0};

const int kHandledSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGINT, SIGPWR, SIGSEGV, SIGTERM};

}  // namespace

/* Never fails; the fatal signals end the process. */
extern "C" void killHandler(int sig) {
  if (sig == SIGSEGV || sig == SIGBUS) {
    KTLogWrite(CLog::get(), "Signal received: %d", sig);
    KTLogWrite(CLog::get(), "Shutting down due to signal %d", sig);
    _exit(1);
  }
  if (sig != 0) {
    pendingSignal.store(sig, std::memory_order_relaxed);
    stopSignal.store(true);
  }
}

/* Never fails. */
CDaemon::CDaemon(const std::string& name, const std::string& displayName,
                 const std::string& description, StartType startType)
    : CServiceBase(name, displayName, description, startType) {}

/* Never fails; handler installation problems are logged. */
int CDaemon::run(const std::vector<std::string>& args) {
  (void)args;
  installSignalHandlers();
  return 0;
}

/* Never fails. */
bool CDaemon::serviceStopped() {
  const int sig = pendingSignal.exchange(0, std::memory_order_relaxed);
  if (sig != 0) KTLogWrite(CLog::log, "Signal received: %d", sig);
  return stopSignal.load();
}

/* Never raises; a failure is logged and leaves the remaining signals alone. */
void CDaemon::installSignalHandlers() {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = killHandler;
  action.sa_flags = SA_RESTART;
  if (sigfillset(&action.sa_mask) != 0) {
    KTLogWrite(CLog::log, "Setting temp. signalmask of killAction failed (%s)", strerror(errno));
    return;
  }
  for (int sig : kHandledSignals) {
    if (sigaction(sig, &action, nullptr) != 0) {
      KTLogWrite(CLog::log, "Error installing signal handler (%s)", strerror(errno));
      return;
    }
  }
  KTDEBUG_MSG(KTDEBUG_CORE, "CDaemon::installSignalHandlers(): signal handlers installed for '%s'",
              mName.c_str());
}
