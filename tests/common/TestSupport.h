// TestSupport.h - scaffolding shared by the unit tests: temporary folders,
// whole-file reads and writes, a KTLog and the process log captured into a
// temporary file, the debug trace captured for one scope, owned buffers,
// polling for a condition and the message of a thrown exception.
#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Exception.h"
#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTFile.h"
#include "KTLog.h"
#include "Log.h"

namespace testsupport {

// Whole content of a file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Replaces a file's content.
inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

// The lines of a text, without their line feeds.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Number of lines of a text that contain `part`.
inline int CountLines(const std::string& text, const std::string& part) {
  int n = 0;
  for (const std::string& line : Lines(text)) n += line.find(part) != std::string::npos;
  return n;
}

// Polls cond every 10 ms for at most timeoutMs; true once it holds.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The message of the exception of type E that f throws, or "<none>".
template <class E = CException, class F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<none>";
}

// A temporary folder that is removed with everything in it. A folder that
// cannot be made fails the test and leaves path() empty.
class TempDir {
 public:
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/kttestXXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    } else {
      ADD_FAILURE() << "mkdtemp failed";
    }
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // The path of a file in the folder.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A KTLog writing to a file in its own temporary folder.
class FileLog {
 public:
  FileLog() : file_(dir_.file("test.log")) {
    EXPECT_EQ(0, KTLogNew(&log_));
    EXPECT_EQ(0, KTLogSetOutputFile(log_, file_.c_str()));
  }
  ~FileLog() {
    if (log_ != nullptr) KTLogFree(&log_);
  }
  FileLog(const FileLog&) = delete;
  FileLog& operator=(const FileLog&) = delete;

  KTLog* get() const { return log_; }
  operator KTLog*() const { return log_; }
  const std::string& dir() const { return dir_.path(); }
  const std::string& file() const { return file_; }
  // Everything written so far.
  std::string text() const { return ReadFile(file_); }
  std::vector<std::string> lines() const { return Lines(text()); }
  bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }
  // Number of lines that contain `part`.
  int count(const std::string& part) const { return CountLines(text(), part); }

 private:
  TempDir dir_;
  std::string file_;
  KTLog* log_ = nullptr;
};

// Sends the process log (CLog::log) to a file in a temporary folder while
// alive and back to standard error afterwards.
class ProcessLog {
 public:
  ProcessLog() : file_(dir_.file("process.log")) { CLog::log.setFileName(file_); }
  ~ProcessLog() { CLog::log.setFileHandle(KTFileStderr); }
  ProcessLog(const ProcessLog&) = delete;
  ProcessLog& operator=(const ProcessLog&) = delete;

  const std::string& dir() const { return dir_.path(); }
  const std::string& file() const { return file_; }
  std::string text() const { return ReadFile(file_); }
  bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }
  int count(const std::string& part) const { return CountLines(text(), part); }

 private:
  TempDir dir_;
  std::string file_;
};

// An owned text buffer (throws when it cannot be created).
using Buffer = CKTBuffer;

#ifdef KT_DEBUG_TRACE
// Sends the process-wide trace with the given level mask to a temporary
// stream while alive; the former trace settings come back afterwards.
class TraceCapture {
 public:
  explicit TraceCapture(int mask) : saved_(*pKTDebug), file_(tmpfile()) {
    EXPECT_NE(nullptr, file_);
    pKTDebug->pOutfile = file_;
    pKTDebug->hasOpened = 0;
    pKTDebug->level = mask;
  }
  ~TraceCapture() {
    *pKTDebug = saved_;
    if (file_ != nullptr) fclose(file_);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // Everything traced so far.
  std::string text() {
    std::string result;
    if (file_ == nullptr) return result;
    fflush(file_);
    rewind(file_);
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file_)) > 0;) result.append(chunk, n);
    fseek(file_, 0, SEEK_END);  // later trace lines are appended, not written over
    return result;
  }

 private:
  KTDebug saved_;
  FILE* file_;
};
#endif

}  // namespace testsupport

#endif  // TESTSUPPORT_H
