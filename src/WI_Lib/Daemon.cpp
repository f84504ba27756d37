/* Daemon.cpp - background service base: signal handlers and the stop flag.
 *
 * killHandler runs in signal context, so for the signals that merely ask
 * the daemon to stop it only stores lock-free atomics; the log line about
 * the signal is written later from normal context by serviceStopped(). For
 * SIGSEGV and SIGBUS the process is already broken: the handler writes its
 * two lines with async-signal-safe calls only (the log file name, host name
 * and UTC offset are captured when the handlers are installed) and ends
 * with _exit(1), running no exit handlers on a possibly corrupted heap.
 */
#include "Daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "KTDebug.h"
#include "KTLog.h"
#include "KTString.h"
#include "Log.h"

std::atomic<bool> stopSignal{false};

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag must be usable in a handler");
static_assert(std::atomic<int>::is_always_lock_free, "the signal number must be usable in a handler");

/* Last signal that asked for a stop and has not been logged yet; 0 if none. */
std::atomic<int> pendingSignal{0};

const int kHandledSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGINT, SIGPWR, SIGSEGV, SIGTERM};

/* What the handler needs to write a log line without calling into the log
 * module: captured by installSignalHandlers. An empty file name means
 * standard error. */
char crashLogFile[4096];
char crashLogHost[256];
long crashLogUtcOffset = 0;

/* Appends to a line buffer in signal context; never writes past its end. */
struct SafeLine {
  char text[512];
  size_t length = 0;

  void add(const char* part) {
    for (; *part != '\0' && length + 1 < sizeof(text); ++part) text[length++] = *part;
  }
  /* A non-negative number with at least `digits` digits. */
  void number(long long value, int digits = 1) {
    char reversed[24];
    int count = 0;
    if (value < 0) {
      add("-");
      value = -value;
    }
    do {
      reversed[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value > 0 && count < 20);
    while (count < digits && count < 20) reversed[count++] = '0';
    while (count > 0 && length + 1 < sizeof(text)) text[length++] = reversed[--count];
  }
};

/* The local date and time of t as "%Y-%m-%d %H:%M:%S", computed without
 * the time-zone machinery (which is not safe in a handler). */
void AddLocalTime(SafeLine& line, time_t t) {
  long long local = static_cast<long long>(t) + crashLogUtcOffset;
  long long days = local / 86400;
  long long seconds = local % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  // Civil date from a day count since 1970-01-01.
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  line.number(year, 4);
  line.add("-");
  line.number(month, 2);
  line.add("-");
  line.number(day, 2);
  line.add(" ");
  line.number(seconds / 3600, 2);
  line.add(":");
  line.number(seconds / 60 % 60, 2);
  line.add(":");
  line.number(seconds % 60, 2);
}

/* Writes "<time> (<host>) [<pid>] <text><sig>\n" to the log file (standard
 * error when there is none or it cannot be opened), signal-safe. */
void CrashLogLine(const char* text, int sig) {
  SafeLine line;
  AddLocalTime(line, time(nullptr));
  line.add(" (");
  line.add(crashLogHost);
  line.add(") [");
  line.number(getpid());
  line.add("] ");
  line.add(text);
  line.number(sig);
  line.add("\n");
  int fd = -1;
  if (crashLogFile[0] != '\0') fd = open(crashLogFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0660);
  const int target = fd >= 0 ? fd : STDERR_FILENO;
  ssize_t ignored = write(target, line.text, line.length);
  (void)ignored;
  if (fd >= 0) close(fd);
}

/* Captures the log's file name, host and UTC offset for CrashLogLine. */
void CaptureCrashLog() {
  KTLog* log = CLog::get();
  KTStrCopyBounded(crashLogFile, sizeof(crashLogFile),
              (log != nullptr && log->pOutfile == nullptr) ? log->filename : nullptr);
  KTStrCopyBounded(crashLogHost, sizeof(crashLogHost), log != nullptr ? log->host : nullptr);
  const time_t now = time(nullptr);
  struct tm local;
  crashLogUtcOffset = localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
}

}  // namespace

/* Never fails; the fatal signals end the process. */
extern "C" void killHandler(int sig) {
  if (sig == SIGSEGV || sig == SIGBUS) {
    CrashLogLine("Signal received: ", sig);
    CrashLogLine("Shutting down due to signal ", sig);
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
  CaptureCrashLog();
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
