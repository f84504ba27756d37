/* DaemonController.h - starts services as background processes and keeps their process ids in shared memory.
 *
 * CDaemonController is the service controller of this system. "-start"
 * forks a child that records its process id under the service name in the
 * shared PID list and runs the service; "-stop" signals the recorded
 * process (SIGTERM twice, then SIGKILL) and removes its entry; "-status"
 * lists the entries and marks those whose process is gone "(dead)";
 * "-console" runs the service in this process. The child keeps the parent's
 * terminal, working directory and process group.
 *
 * SharedPIDList is the list in System V shared memory: 32 entries of 36
 * bytes (32-bit pid, 0 = free; 32-byte zero-padded name, at most 31
 * characters), 1152 bytes, no header, native byte order. Its IPC key is
 * ftok(program file, 80), so every process started from the same program
 * file shares one list. The segment is created (mode 0666) by the first add
 * and removed when its last entry goes.
 *
 * Every change of the list, and the check-then-start of "-start", is done
 * under SharedPIDListLock, an exclusive flock on the key file, so that two
 * controllers racing cannot both start a daemon, and a segment being
 * removed is never written by another process. "-start" holds the lock
 * until its child has recorded itself.
 *
 * Failures raise CServiceException with texts naming the failing function,
 * e.g. "CDaemonController::startService(): Service already started" or
 * "CDaemonController::stopService(): Daemon '<name>' [<pid>] is not
 * running"; the program's entry point prints and logs them and ends with a
 * non-zero status. In the forked child, the service's run result becomes
 * the child's exit status; an exception of the service's run leaves
 * startService in the child with its entry still listed, so that the
 * child's entry point reports it and "-status" shows the daemon "(dead)"
 * until "-stop" or the next "-start" drops the entry.
 *
 * Thread safety: the controller, the list handles and the lock belong to
 * the controlling thread of a process; processes coordinate through the lock.
 */
#ifndef DAEMONCONTROLLER_H
#define DAEMONCONTROLLER_H

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "Daemon.h"
#include "ServiceController.h"

/* One entry of the shared PID list. */
struct PIDEntry {
  int32_t pid;    /* process id; 0 marks a free entry */
  char name[32];  /* service name, at most 31 characters, zero-filled */
};

class SharedPIDList {
 public:
  static constexpr int NUM_PIDS = 32;
  static constexpr int NAME_LENGTH = 32;
  static constexpr size_t SEGMENT_SIZE = NUM_PIDS * sizeof(PIDEntry);
  static constexpr int PROJECT_ID = 80;

  /* Attaches the list of keyFile (empty: the running program file). With
   * create, a missing segment is created exclusively (0666) and zero-filled;
   * without, a missing segment leaves the handle detached (isAttached()
   * false) and the list reads as empty. Raises CServiceException
   * "SharedPIDList::getFilePath(): error determining executable path",
   * "SharedPIDList::SharedPIDList(): Could not create an IPC key",
   * "SharedPIDList::SharedPIDList(): Could not access shared memory segment"
   * or "SharedPIDList::SharedPIDList(): Could not map shared memory segment". */
  explicit SharedPIDList(const std::string& keyFile = std::string(), bool create = true);
  /* Detaches the mapping (the segment stays unless it was removed). */
  ~SharedPIDList();
  SharedPIDList(const SharedPIDList&) = delete;
  SharedPIDList& operator=(const SharedPIDList&) = delete;

  /* Stores pid and the first 31 characters of name into the first free
   * entry, creating the segment if it is gone. Raises CServiceException
   * "SharedPIDList::add(): Ran out of PID space" when all 32 are used, and
   * the attach errors. */
  void add(int pid, const std::string& name);
  /* Frees every entry of pid; removes the segment (IPC_RMID) when no entry
   * is left. Raises CServiceException when the segment cannot be removed. */
  void remove(int pid);
  /* The pid of the first used entry whose name equals name in its first 32
   * characters; 0 when there is none. */
  int find(const std::string& name);
  /* Copies of the used entries, in entry order. */
  std::vector<PIDEntry> getPIDs();
  /* The path of the running program file. Raises CServiceException. */
  static std::string getFilePath();
  /* The name of an entry as text (at most 32 characters, NUL not needed). */
  static std::string entryName(const PIDEntry& entry);

  bool isAttached() const { return mPIDs != nullptr; }
  int getSegmentId() const { return mSHMID; }
  /* The IPC key of the list's segment. */
  key_t getKey() const { return mKey; }

 private:
  /* Attaches the segment of mKey; see the constructor. */
  void attach(bool create);
  /* Re-attaches a detached handle (the segment may have been removed and
   * created again by another process). */
  void reattach(bool create);
  void detach();

  PIDEntry* mPIDs = nullptr;
  int mSHMID = -1;
  key_t mKey = -1;
};

/* Exclusive lock of the PID list of keyFile (empty: the running program
 * file), held from construction to destruction. A key file that cannot be
 * opened for reading leaves the lock not held (the list still works, just
 * without protection against racing controllers). Raises CServiceException
 * when flock fails otherwise. */
class SharedPIDListLock {
 public:
  explicit SharedPIDListLock(const std::string& keyFile = std::string());
  ~SharedPIDListLock();
  SharedPIDListLock(const SharedPIDListLock&) = delete;
  SharedPIDListLock& operator=(const SharedPIDListLock&) = delete;

  /* For a forked child that inherited the lock: closes the descriptor
   * without unlocking, so the lock stays with the parent. */
  void abandon();
  bool isHeld() const { return mFD >= 0; }

 private:
  int mFD = -1;
};

/* True when /proc/<pid>/exe names the same program file as this process's
 * own; a gone process, a zombie and a process running another program
 * count as dead. Logs "isDaemonPIDAlive(): could not find executable
 * information in /proc" when the own link cannot be read. */
bool isDaemonPIDAlive(int pid);

/* Ends the process pid (one running this program): SIGTERM on attempts 1
 * and 2, SIGKILL from attempt 3, waiting attempt × waitUnitMS after each
 * (so SIGKILL follows 3 units after the first SIGTERM). Returns as soon as
 * the process is gone (looked at every 10 ms while waiting). Raises CServiceException
 * "DaemonController/killProcess(): kill() failed for pid <pid> with errno =
 * <errno>" or, after 11 signals, "DaemonController/killProcess(): could not
 * kill pid <pid>"; a pid below 1 is refused the same way. */
void killProcess(int pid, int waitUnitMS = 100);

class CDaemonController : public CServiceControllerBase {
 public:
  /* Raises what CServiceControllerBase raises for a second controller. */
  CDaemonController();
  /* Forgets the daemons this controller registered. */
  ~CDaemonController() override;

  /* Registers a CDaemon under its name. A null service ends the process
   * (KT_ASSERT). Raises CServiceException "...: Service already
   * registered", "...: Attempt to register an invalid service object" (not
   * a CDaemon) or "...: Service name too long" (more than 31 characters,
   * which the PID list could not find again). */
  void registerService(IService* service) override;
  /* Raises CServiceException "CDaemonController::getService(): no such
   * service '<name>'". */
  IService* getService(const std::string& name) override;
  /* The registered daemon, or null. */
  CDaemon* getDaemonByName(const std::string& name) const;

  /* Forks the daemon's process; returns in the parent once the child has
   * recorded itself. Raises CServiceException "...: Service already
   * started", "No such service: <name>", "...: Failed to start service",
   * or the child's failure to record itself ("SharedPIDList::add(): Ran
   * out of PID space"). */
  void startService(const std::string& name, const std::vector<std::string>& args) override;
  /* Ends the recorded process and removes its entry. Raises
   * CServiceException "...: Could not find daemon pid for service <name>",
   * "...: Daemon '<name>' [<pid>] is not running" (entry removed) or the
   * errors of killProcess. */
  void stopService(const std::string& name) override;
  /* Runs the daemon in this process and returns its result. Raises
   * CServiceException "...: Attempt to start an unknown service". */
  int startServiceConsole(const std::string& name, const std::vector<std::string>& args) override;
  /* Not available on this platform: writes "Function not implemented" to
   * standard error, logs, and returns 1. */
  int installServices() override;
  int uninstallServices() override;
  /* startService with the program arguments from the fourth on, name first. */
  void runService(const std::string& name) override;
  /* "No services running.\n", or "Running services:\n" and one line
   * "[<pid>] <name> " (+ "(dead)") per entry. */
  std::string getStatus() override;

  /* Remembers the extra options (or all arguments), then acts. */
  int run(CCmdLine& cmdLine) override;
  int run(int argc, char** argv) override;

  /* The file whose ftok key names the PID list (empty: the program file). */
  void setPIDListFile(const std::string& path) { mPIDListFile = path; }
  const std::string& getPIDListFile() const { return mPIDListFile; }
  /* The unit of the waits between kill signals (default 100 ms). */
  void setKillWaitUnit(int ms) { mKillWaitUnitMS = ms > 0 ? ms : 1; }
  int getKillWaitUnit() const { return mKillWaitUnitMS; }
  const std::vector<std::string>& getProgramArguments() const { return mProgramArguments; }

 protected:
  /* The forked child: records itself, reports to the parent over reportFD,
   * runs the daemon and ends the process with its result. */
  [[noreturn]] void runChild(CDaemon* daemon, const std::vector<std::string>& args,
                             SharedPIDListLock& lock, int reportFD);
  /* Removes the entries of pid under the lock; failures are logged. */
  void removeEntry(int pid);

  /* Registered daemons of the whole process, by name (borrowed). */
  static std::map<std::string, CDaemon*> mDaemons;
  std::vector<std::string> mProgramArguments;
  std::string mPIDListFile;
  int mKillWaitUnitMS = 100;
};

#endif /* DAEMONCONTROLLER_H */
