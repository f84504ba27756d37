/* Log.cpp - the process log object CLog::log and the line stream CLogger.
 *
 * The KTLog behind CLog is created on first use (thread-safe, once), so it
 * works during static initialisation whatever the order of the sources:
 * KTFileStderr and the trace object are plain static records, ready before
 * any constructor runs. The destructor of CLog::log releases the log; later
 * lines are dropped instead of touching freed memory.
 */
#include "Log.h"

#include <stdio.h>

#include <atomic>

#include "KTDebug.h"
#include "KTFile.h"
#include "KTStatus.h"
#include "WIException.h"

KTLog* CLog::_pKTLog = nullptr;
CLog CLog::log;

namespace {

/* Set once the process log has been released at exit; threads still
 * running then (exit from another thread) read it without a lock. */
std::atomic<bool> sReleased{false};

/* Builds the process log: trace to standard error with mask 0, log lines
 * and fallback to standard error. */
KTLog* CreateProcessLog() {
#ifdef KT_DEBUG_TRACE
  KTDebugSetOutputFilehandle(pKTDebug, stderr);
  KTDebugSetLevel(pKTDebug, KTDEBUG_NOLEVEL);
#endif
  KTLog* pLog = nullptr;
  if (KTLogNew(&pLog) != 0) {
    fprintf(stderr, "CLog::CLog(): KTLogNew() failed\n");
    return nullptr;
  }
  KTLogSetFallbackFilehandle(pLog, KTFileStderr);
  KTLogSetOutputFilehandle(pLog, KTFileStderr);
  return pLog;
}

}  // namespace

KTLog* CLog::get() {
  static const bool created = [] {
    _pKTLog = CreateProcessLog();
    return true;
  }();
  (void)created;
  return sReleased.load(std::memory_order_relaxed) ? nullptr : _pKTLog;
}

CLog::CLog() { get(); }

CLog::~CLog() {
  sReleased.store(true, std::memory_order_relaxed);
  if (_pKTLog != nullptr) KTLogFree(&_pKTLog);
}

/* Throws CWIException with ERROR_FILE when the name cannot be set. */
void CLog::setFileName(const char* name) {
  KTDEBUG_MSG(KTDEBUG_CORE, "CLog::setFileName(): logFile=%s", name ? name : "");
  if (KTLogSetOutputFile(get(), name) != 0) {
    throw CWIException(ERROR_FILE, "Can't set log file to '%s'", name ? name : "");
  }
}

/* Throws the status ERROR_FILE when the stream cannot be set. */
void CLog::setFileHandle(KTFile* file) {
  if (KTLogSetOutputFilehandle(get(), file) != 0) {
    throw static_cast<KTStatus>(ERROR_FILE);
  }
}

CLogger::~CLogger() {
  try {
    KTLogWrite(CLog::get(), "%s", str().c_str());
  } catch (...) {
    /* A destructor must not throw; a line that cannot be built is dropped. */
  }
}
