// FuzzSupport.h - helpers shared by the fuzz targets: a quiet process log
// and a check that stops the run with a readable message.
//
// A fuzz target reports a fault by crashing; FUZZ_CHECK turns a broken
// property into an abort with the condition and a short explanation on
// standard error, so libFuzzer saves the input and prints the stack.
#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "KTFile.h"
#include "Log.h"

namespace fuzz {

// Sends the process log to /dev/null; the targets provoke thousands of
// logged failures per second and only crashes matter. The log writes to an
// open stream rather than a file name, which it would open for every line.
inline void QuietLog() {
  static bool done = false;
  if (done) return;
  done = true;
  static KTFile* pNull = nullptr;  // open for the rest of the run, and reachable
  if (KTFileOpen(&pNull, "/dev/null", "a") == 0)
    CLog::log.setFileHandle(pNull);
  else
    CLog::log.setFileName("/dev/null");
}

[[noreturn]] inline void Fail(const char* condition, const char* file, int line,
                              const std::string& detail) {
  fprintf(stderr, "fuzz check failed: %s (%s:%d)\n  %s\n", condition, file, line, detail.c_str());
  abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(cond, detail)                                          \
  do {                                                                    \
    if (!(cond)) ::fuzz::Fail(#cond, __FILE__, __LINE__, (detail));       \
  } while (0)

#endif  // FUZZSUPPORT_H
