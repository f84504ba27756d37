/* Daemon.h - a service that can run as a background process, and its signal handling.
 *
 * CDaemon::run installs the signal handlers and returns 0; concrete daemons
 * override run and poll serviceStopped(), which turns true once SIGTERM,
 * SIGINT or another handled signal has arrived. SIGSEGV and SIGBUS end the
 * process with exit status 1 after a log line. The controller (see
 * DaemonController.h) sets mPID in the forked child that runs the daemon.
 *
 * Thread safety: stopSignal is an atomic flag that the handler sets and any
 * thread may read. The handler itself only stores the flag and the signal
 * number (async-signal-safe); the line "Signal received: %d" is written by
 * the next serviceStopped() call. Only the fatal signals log from inside the
 * handler, since the process ends right after.
 */
#ifndef DAEMON_H
#define DAEMON_H

#include <atomic>

#include "Service.h"

/* Process-wide flag: a handled signal asked the daemon to stop. */
extern std::atomic<bool> stopSignal;

/* The handler installed by CDaemon::installSignalHandlers. */
extern "C" void killHandler(int sig);

class CDaemon : public CServiceBase {
 public:
  CDaemon(const std::string& name, const std::string& displayName, const std::string& description,
          StartType startType = START_AUTOMATICALLY);
  ~CDaemon() override = default;

  /* Installs the signal handlers (virtual call) and returns 0. */
  int run(const std::vector<std::string>& args) override;
  /* The value of stopSignal; logs "Signal received: %d" for a signal that
   * arrived since the last call. */
  bool serviceStopped() override;
  /* Handles SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGINT, SIGPWR, SIGSEGV and
   * SIGTERM with killHandler, all signals blocked while it runs, interrupted
   * system calls restarted. Failures are logged; nothing is raised. */
  void installSignalHandlers() override;

  /* The process id of the forked child running the daemon; 0 before. */
  int getPID() const { return mPID; }
  void setPID(int pid) { mPID = pid; }

 protected:
  int mPID = 0;
};

#endif /* DAEMON_H */
