/* DaemonController.cpp - daemon start, stop and status through a PID list in System V shared memory.
 *
 * "-start" takes the list lock, refuses a service whose recorded process is
 * alive (a dead one's entry is dropped), forks, and waits on a pipe until
 * the child has recorded itself; only then is the lock released, so a
 * second "-start" racing with the first finds the entry. "-stop" looks the
 * process up under the lock but signals it without the lock, so a daemon
 * that ends normally on SIGTERM can remove its own entry meanwhile.
 */
#include "DaemonController.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "KTDebug.h"
#include "KTLog.h"
#include "KTUtils.h"
#include "Log.h"
#include "ServiceException.h"

static_assert(sizeof(PIDEntry) == 36, "a PID list entry is 36 bytes");
static_assert(SharedPIDList::SEGMENT_SIZE == 1152, "the PID list segment is 1152 bytes");

std::map<std::string, CDaemon*> CDaemonController::mDaemons;

namespace {

/* Reads a symbolic link into text; false when it cannot be read or does not fit. */
bool ReadLink(const std::string& link, std::string& target) {
  char buffer[PATH_MAX];
  const ssize_t length = readlink(link.c_str(), buffer, sizeof(buffer));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer)) return false;
  target.assign(buffer, static_cast<size_t>(length));
  return true;
}

/* The key file of a list: the given path, else the running program file. */
std::string KeyFilePath(const std::string& keyFile) {
  return keyFile.empty() ? SharedPIDList::getFilePath() : keyFile;
}

/* Writes the whole text; false when the pipe is broken. */
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

/* Reads until end of file (bounded; a report is short). */
std::string ReadAll(int fd) {
  std::string text;
  char buffer[512];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (text.size() < 8192) text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

/* The child's report: this first byte means "recorded, running"; anything
 * else is the text of the failure. */
const char kRecorded = '+';

/* How often killProcess looks whether the process has gone while it waits. */
const int kKillPollMS = 10;

}  // namespace

/* ------------------------------------------------------------------------
 * SharedPIDList
 * ------------------------------------------------------------------------ */

/* Raises CServiceException; see the header. */
SharedPIDList::SharedPIDList(const std::string& keyFile, bool create) {
  const std::string path = KeyFilePath(keyFile);
  mKey = ftok(path.c_str(), PROJECT_ID);
  if (mKey == -1) throw CServiceException("SharedPIDList::SharedPIDList(): Could not create an IPC key", 0);
  attach(create);
}

SharedPIDList::~SharedPIDList() { detach(); }

/* Raises CServiceException when the segment can be neither created nor opened, or not mapped. */
void SharedPIDList::attach(bool create) {
  bool created = false;
  int id = -1;
  if (create) {
    id = shmget(mKey, SEGMENT_SIZE, IPC_CREAT | IPC_EXCL | 0666);
    created = (id != -1);
  }
  if (id == -1) {
    id = shmget(mKey, SEGMENT_SIZE, 0666);
    if (id == -1) {
      if (!create && errno == ENOENT) return;  // no list yet: reads as empty
      throw CServiceException("SharedPIDList::SharedPIDList(): Could not access shared memory segment", 0);
    }
  }
  void* address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    throw CServiceException("SharedPIDList::SharedPIDList(): Could not map shared memory segment", 0);
  }
  mPIDs = static_cast<PIDEntry*>(address);
  mSHMID = id;
  if (created) memset(mPIDs, 0, SEGMENT_SIZE);
  KTDEBUG_MSG(KTDEBUG_CORE, "SharedPIDList::SharedPIDList(): %s segment %d", created ? "created" : "attached",
              mSHMID);
}

/* Raises what attach raises. */
void SharedPIDList::reattach(bool create) {
  if (mPIDs == nullptr) attach(create);
}

/* Never fails. */
void SharedPIDList::detach() {
  if (mPIDs != nullptr) shmdt(mPIDs);
  mPIDs = nullptr;
}

/* Raises CServiceException when the list is full or cannot be attached. */
void SharedPIDList::add(int pid, const std::string& name) {
  reattach(true);
  for (int i = 0; i < NUM_PIDS; ++i) {
    PIDEntry& entry = mPIDs[i];
    if (entry.pid != 0) continue;
    entry.pid = pid;
    memset(entry.name, 0, sizeof(entry.name));
    memcpy(entry.name, name.data(), std::min(name.size(), sizeof(entry.name) - 1));
    return;
  }
  throw CServiceException("SharedPIDList::add(): Ran out of PID space", 0);
}

/* Raises CServiceException when the emptied segment cannot be removed. */
void SharedPIDList::remove(int pid) {
  reattach(false);
  if (mPIDs == nullptr) return;
  int used = 0;
  for (int i = 0; i < NUM_PIDS; ++i) {
    if (mPIDs[i].pid == pid) {
      mPIDs[i].pid = 0;
    } else if (mPIDs[i].pid != 0) {
      ++used;
    }
  }
  if (used == 0) {
    KTDEBUG_MSG(KTDEBUG_CORE, "SharedPIDList::remove(): removing empty segment %d", mSHMID);
    if (shmctl(mSHMID, IPC_RMID, nullptr) != 0 && errno != EINVAL && errno != EIDRM) {
      throw CServiceException(
          std::string("SharedPIDList::remove(): Could not remove shared memory segment (") + strerror(errno) +
              ")",
          0);
    }
    detach();
  }
}

/* Raises what attach raises. */
int SharedPIDList::find(const std::string& name) {
  reattach(false);
  if (mPIDs == nullptr) return 0;
  for (int i = 0; i < NUM_PIDS; ++i) {
    if (mPIDs[i].pid != 0 && strncmp(mPIDs[i].name, name.c_str(), NAME_LENGTH) == 0) return mPIDs[i].pid;
  }
  return 0;
}

/* Raises what attach raises. */
std::vector<PIDEntry> SharedPIDList::getPIDs() {
  std::vector<PIDEntry> entries;
  reattach(false);
  if (mPIDs == nullptr) return entries;
  for (int i = 0; i < NUM_PIDS; ++i) {
    if (mPIDs[i].pid != 0) entries.push_back(mPIDs[i]);
  }
  return entries;
}

/* Raises CServiceException when /proc/self/exe cannot be read. */
std::string SharedPIDList::getFilePath() {
  std::string path;
  if (!ReadLink("/proc/self/exe", path)) {
    throw CServiceException("SharedPIDList::getFilePath(): error determining executable path", 0);
  }
  return path;
}

/* Never fails. */
std::string SharedPIDList::entryName(const PIDEntry& entry) {
  return std::string(entry.name, strnlen(entry.name, sizeof(entry.name)));
}

/* ------------------------------------------------------------------------
 * SharedPIDListLock
 * ------------------------------------------------------------------------ */

/* Raises CServiceException when the lock cannot be taken on an open key file. */
SharedPIDListLock::SharedPIDListLock(const std::string& keyFile) {
  const std::string path = KeyFilePath(keyFile);
  mFD = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (mFD < 0) {
    KTDEBUG_MSG(KTDEBUG_CORE, "SharedPIDListLock(): cannot open %s (%s), working without lock", path.c_str(),
                strerror(errno));
    return;
  }
  while (flock(mFD, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    close(mFD);
    mFD = -1;
    throw CServiceException(std::string("SharedPIDListLock(): could not lock '") + path + "' (" +
                                strerror(error) + ")",
                            0);
  }
}

SharedPIDListLock::~SharedPIDListLock() {
  if (mFD >= 0) {
    flock(mFD, LOCK_UN);
    close(mFD);
  }
}

/* Never fails. */
void SharedPIDListLock::abandon() {
  if (mFD >= 0) close(mFD);
  mFD = -1;
}

/* ------------------------------------------------------------------------
 * Processes
 * ------------------------------------------------------------------------ */

/* Never fails; see the header. */
bool isDaemonPIDAlive(int pid) {
  if (pid <= 0) return false;
  std::string target;
  if (!ReadLink("/proc/" + std::to_string(pid) + "/exe", target)) return false;
  std::string own;
  if (!ReadLink("/proc/" + std::to_string(getpid()) + "/exe", own)) {
    KTLogWrite(CLog::log, "isDaemonPIDAlive(): could not find executable information in /proc");
    return false;
  }
  return target == own;
}

/* Raises CServiceException; see the header. */
void killProcess(int pid, int waitUnitMS) {
  if (pid <= 0) {
    throw CServiceException("DaemonController/killProcess(): could not kill pid " + std::to_string(pid), 0);
  }
  for (int attempt = 1;; ++attempt) {
    // Checked before every signal: a process that has ended (or a pid now
    // used by another program) must not be signalled again.
    if (!isDaemonPIDAlive(pid)) return;
    const int sig = attempt <= 2 ? SIGTERM : SIGKILL;
    KTDEBUG_MSG(KTDEBUG_CORE, "killProcess(): attempt %d, sending signal %d to pid %d", attempt, sig, pid);
    if (kill(pid, sig) != 0) {
      if (errno == ESRCH) return;
      throw CServiceException("DaemonController/killProcess(): kill() failed for pid " + std::to_string(pid) +
                                  " with errno = " + std::to_string(errno),
                              0);
    }
    if (attempt > 10) {
      throw CServiceException("DaemonController/killProcess(): could not kill pid " + std::to_string(pid), 0);
    }
    // Wait attempt units, but return as soon as the process is gone.
    for (int waited = 0, total = attempt * waitUnitMS; waited < total;) {
      const int slice = std::min(kKillPollMS, total - waited);
      SleepMilliseconds(slice);
      waited += slice;
      if (!isDaemonPIDAlive(pid)) return;
    }
  }
}

/* ------------------------------------------------------------------------
 * CDaemonController
 * ------------------------------------------------------------------------ */

/* Raises CException for a second controller in the process. */
CDaemonController::CDaemonController() { KTDEBUG_MSG(KTDEBUG_CORE, "CDaemonController created"); }

CDaemonController::~CDaemonController() {
  for (const std::string& name : mRegisteredServiceNames) mDaemons.erase(name);
}

/* Raises CServiceException; a null service ends the process. */
void CDaemonController::registerService(IService* service) {
  KT_ASSERT(service != nullptr, "DaemonController");
  const std::string name = service->getName();
  KTDEBUG_MSG(KTDEBUG_CORE, "Registering service object '%s'", name.c_str());
  if (mDaemons.find(name) != mDaemons.end()) {
    throw CServiceException("CDaemonController::registerService(): Service already registered", 0);
  }
  CDaemon* daemon = dynamic_cast<CDaemon*>(service);
  if (daemon == nullptr) {
    throw CServiceException("CDaemonController::registerService(): Attempt to register an invalid service object",
                            0);
  }
  if (name.size() > static_cast<size_t>(SharedPIDList::NAME_LENGTH - 1)) {
    throw CServiceException("CDaemonController::registerService(): Service name too long: '" + name + "'", 0);
  }
  registerServiceName(name);
  mDaemons[name] = daemon;
}

/* Raises CServiceException for an unknown name. */
IService* CDaemonController::getService(const std::string& name) {
  CDaemon* daemon = getDaemonByName(name);
  if (daemon == nullptr) throw CServiceException("CDaemonController::getService(): no such service '" + name + "'", 0);
  return daemon;
}

/* Never fails. */
CDaemon* CDaemonController::getDaemonByName(const std::string& name) const {
  auto it = mDaemons.find(name);
  return it == mDaemons.end() ? nullptr : it->second;
}

/* Raises CServiceException; see the header. */
void CDaemonController::startService(const std::string& name, const std::vector<std::string>& args) {
  SharedPIDListLock lock(mPIDListFile);
  {
    SharedPIDList list(mPIDListFile, false);
    const int pid = list.find(name);
    if (pid != 0) {
      if (isDaemonPIDAlive(pid)) {
        throw CServiceException("CDaemonController::startService(): Service already started", 0);
      }
      KTDEBUG_MSG(KTDEBUG_CORE, "CDaemonController::startService(): removing stale entry of pid %d", pid);
      list.remove(pid);
    }
  }
  CDaemon* daemon = getDaemonByName(name);
  if (daemon == nullptr) throw CServiceException("No such service: " + name, 0);

  int report[2];
  if (pipe(report) != 0) throw CServiceException("CDaemonController::startService(): Failed to start service", 0);
  // Buffered output would otherwise be written twice, once by each process.
  std::cout.flush();
  std::cerr.flush();
  fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    close(report[0]);
    close(report[1]);
    throw CServiceException("CDaemonController::startService(): Failed to start service", 0);
  }
  if (child == 0) {
    close(report[0]);
    runChild(daemon, args, lock, report[1]);
  }

  close(report[1]);
  const std::string answer = ReadAll(report[0]);
  close(report[0]);
  if (!answer.empty() && answer[0] == kRecorded) {
    KTDEBUG_MSG(KTDEBUG_CORE, "CDaemonController::startService(): '%s' started as pid %d", name.c_str(), (int)child);
    return;
  }
  // The child ends right after a failed report (or has died already).
  waitpid(child, nullptr, 0);
  if (answer.empty()) throw CServiceException("CDaemonController::startService(): Failed to start service", 0);
  throw CServiceException(answer, 0);
}

/* Ends the process. An exception of the daemon's run leaves with the entry
 * still listed, so "-status" shows the daemon dead and "-stop" or the next
 * "-start" drops it. */
void CDaemonController::runChild(CDaemon* daemon, const std::vector<std::string>& args, SharedPIDListLock& lock,
                                 int reportFD) {
  const int pid = static_cast<int>(getpid());
  daemon->setPID(pid);
  std::string failure;
  try {
    // The lock taken by the parent is shared with this process until the
    // parent has read the report.
    SharedPIDList list(mPIDListFile, true);
    list.add(pid, daemon->getName());
  } catch (const std::exception& e) {
    failure = e.what();
    if (failure.empty()) failure = "CDaemonController::startService(): Failed to start service";
  }
  lock.abandon();
  WriteAll(reportFD, failure.empty() ? std::string(1, kRecorded) : failure);
  close(reportFD);
  if (!failure.empty()) _exit(1);

  const int result = daemon->run(args);
  removeEntry(pid);
  exit(result);
}

/* Never raises; failures are logged. */
void CDaemonController::removeEntry(int pid) {
  try {
    SharedPIDListLock lock(mPIDListFile);
    SharedPIDList list(mPIDListFile, false);
    list.remove(pid);
  } catch (const std::exception& e) {
    KTLogWrite(CLog::log, "CDaemonController::removeEntry(): %s", e.what());
  }
}

/* Raises CServiceException; see the header. */
void CDaemonController::stopService(const std::string& name) {
  int pid = 0;
  {
    SharedPIDListLock lock(mPIDListFile);
    SharedPIDList list(mPIDListFile, false);
    pid = list.find(name);
    if (pid == 0) {
      throw CServiceException("CDaemonController::stopService(): Could not find daemon pid for service " + name, 0);
    }
    if (!isDaemonPIDAlive(pid)) {
      list.remove(pid);
      throw CServiceException("CDaemonController::stopService(): Daemon '" + name + "' [" + std::to_string(pid) +
                                  "] is not running",
                              0);
    }
  }
  killProcess(pid, mKillWaitUnitMS);
  SharedPIDListLock lock(mPIDListFile);
  SharedPIDList list(mPIDListFile, false);
  list.remove(pid);
}

/* Raises CServiceException for an unknown service, and what its run raises. */
int CDaemonController::startServiceConsole(const std::string& name, const std::vector<std::string>& args) {
  KTDEBUG_MSG(KTDEBUG_CORE, "Running daemon '%s' in console mode", name.c_str());
  CDaemon* daemon = getDaemonByName(name);
  if (daemon == nullptr) {
    throw CServiceException("CDaemonController::startServiceConsole(): Attempt to start an unknown service", 0);
  }
  return daemon->run(args);
}

int CDaemonController::installServices() {
  fprintf(stderr, "Function not implemented\n");
  fflush(stderr);
  KTLogWrite(CLog::log, "CDaemonController::installServices(): function not implemented");
  return 1;
}

int CDaemonController::uninstallServices() {
  fprintf(stderr, "Function not implemented\n");
  fflush(stderr);
  KTLogWrite(CLog::log, "CDaemonController::uninstallServices(): function not implemented");
  return 1;
}

/* Raises what startService raises. */
void CDaemonController::runService(const std::string& name) {
  std::vector<std::string> args;
  args.push_back(name);
  if (mProgramArguments.size() > 3) args.insert(args.end(), mProgramArguments.begin() + 3, mProgramArguments.end());
  startService(name, args);
}

/* Raises CServiceException when the list cannot be read. */
std::string CDaemonController::getStatus() {
  SharedPIDListLock lock(mPIDListFile);
  SharedPIDList list(mPIDListFile, false);
  const std::vector<PIDEntry> entries = list.getPIDs();
  if (entries.empty()) return "No services running.\n";
  std::string status = "Running services:\n";
  for (const PIDEntry& entry : entries) {
    status += "[" + std::to_string(entry.pid) + "] " + SharedPIDList::entryName(entry) + " ";
    if (!isDaemonPIDAlive(entry.pid)) status += "(dead)";
    status += "\n";
  }
  return status;
}

/* Raises what the action raises. */
int CDaemonController::run(CCmdLine& cmdLine) {
  const std::vector<std::string> extra = cmdLine.getExtraOptions();
  mProgramArguments.insert(mProgramArguments.end(), extra.begin(), extra.end());
  return CServiceControllerBase::run(cmdLine);
}

/* Raises what the action raises. */
int CDaemonController::run(int argc, char** argv) {
  for (int i = 0; i < argc && argv != nullptr; ++i) {
    if (argv[i] != nullptr) mProgramArguments.push_back(argv[i]);
  }
  CCmdLine cmdLine(argc, argv, "-");
  return CServiceControllerBase::run(cmdLine);
}
