/* Log.h - the process's single log as a class, and a stream that becomes one log line.
 *
 * CLog::log is the one instance; it converts to the KTLog pointer through
 * which every component logs. The log is created on first use, so static
 * objects of other sources may log while the program starts, before or
 * after CLog::log itself is constructed. Until the entry point sets a log
 * file, lines go to standard error; the trace goes to standard error with
 * mask 0 (nothing traced). After CLog::log is destroyed, lines are dropped.
 *
 * CLogger collects anything streamable and writes it as one line ("%s")
 * when it is destroyed: CLogger() << "value=" << 42;
 *
 * Thread safety: logging through the pointer is safe from any thread; the
 * setters are meant for start-up.
 */
#ifndef LOG_H
#define LOG_H

#include <sstream>
#include <string>

#include "KTLog.h"

struct KTFile;

class CLog {
 public:
  ~CLog();
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  /* The process's log. */
  static CLog log;

  /* Appends every line to the named file from now on; throws CWIException
   * (ERROR_FILE, "Can't set log file to '%s'") on failure. */
  void setFileName(const char* name);
  void setFileName(const std::string& name) { setFileName(name.c_str()); }
  /* Writes every line to the stream (not owned) from now on; throws the
   * KTStatus value ERROR_FILE itself on failure. */
  void setFileHandle(KTFile* file);

  /* The process's KTLog; null when it could not be created or once the
   * process log is destroyed. */
  operator KTLog*() const { return get(); }
  static KTLog* get();

 private:
  CLog();
  static KTLog* _pKTLog;
};

class CLogger : public std::ostringstream {
 public:
  CLogger() = default;
  /* Writes everything collected as one log line. */
  ~CLogger() override;
  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;
};

#endif /* LOG_H */
