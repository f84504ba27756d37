// CmdLine_fuzz.cpp - fuzz target for the command line: CCmdLine built from
// argument vectors and from texts, the router's option parser and the IP
// list splitter.
//
// The input is cut at line feeds and NUL bytes into arguments. Properties:
//  - CCmdLine holds exactly what a straightforward reading of the switch
//    rules gives (compared with a small independent model), for argument
//    vectors and for the same words joined into one text;
//  - parseCommandLine throws nothing but CException, removes every long
//    router option it read, and keeps the short form only beside the long
//    one; the values it returns are those of the command line;
//  - splitIPList yields no empty entry and no separator, and loses no
//    character of the text except separators.
#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "CmdLine.h"
#include "Exception.h"
#include "FuzzSupport.h"
#include "RequestRouterMain.h"

namespace {

typedef std::map<std::string, std::string> Model;

// The switch rules read plainly: a switch waits for its value; a value
// without a switch goes under the empty key; the last occurrence wins.
Model ModelOf(const std::vector<std::string>& words, const std::string& switchChars) {
  Model model;
  const std::string* pending = nullptr;
  for (const std::string& word : words) {
    const bool isSwitch = !word.empty() && switchChars.find(word[0]) != std::string::npos;
    if (isSwitch) {
      if (pending) model[*pending] = "";
      pending = &word;
    } else if (pending) {
      model[*pending] = word;
      pending = nullptr;
    } else {
      model[""] = word;
    }
  }
  if (pending) model[*pending] = "";
  return model;
}

void CheckAgainstModel(const CCmdLine& cmdLine, const Model& model, const char* how) {
  FUZZ_CHECK(cmdLine.getNumOptions() == model.size(),
             std::string(how) + ": " + std::to_string(cmdLine.getNumOptions()) + " options, " +
                 std::to_string(model.size()) + " expected");
  for (const auto& [name, value] : model) {
    std::string got = "\x01untouched";
    FUZZ_CHECK(cmdLine.hasOption(name), std::string(how) + ": missing " + name);
    FUZZ_CHECK(cmdLine.peekOption(name, got) && got == value,
               std::string(how) + ": " + name + " = '" + got + "', expected '" + value + "'");
  }
  const std::vector<std::string> extra = cmdLine.getExtraOptions();
  const std::set<std::string> distinct(extra.begin(), extra.end());
  FUZZ_CHECK(distinct.size() == extra.size() && extra.size() == model.size(),
             std::string(how) + ": extra options repeat or miss a switch");
  for (const std::string& name : extra)
    FUZZ_CHECK(model.count(name) == 1, std::string(how) + ": unexpected extra option " + name);
}

void CheckRouterOptions(const std::vector<std::string>& words) {
  std::vector<const char*> argv = {"KTReqRouter"};
  for (const std::string& word : words) argv.push_back(word.c_str());
  CCmdLine cmdLine(static_cast<int>(argv.size()), argv.data(), "-");
  const Model model = ModelOf(words, "-");
  auto has = [&](const char* name) { return model.count(name) == 1; };
  // The value a long/short pair yields: the long form's when present.
  auto valueOf = [&](const char* longName, const char* shortName) -> const std::string* {
    if (has(longName)) return &model.at(longName);
    if (has(shortName)) return &model.at(shortName);
    return nullptr;
  };

  CmdLineArguments args;
  try {
    args = parseCommandLine(cmdLine);
  } catch (const CException& e) {
    const std::string message = e.what();
    FUZZ_CHECK(message.compare(0, 20, "parseCommandLine(): ") == 0, message);
    return;
  }

  const std::string* debug = valueOf("-debug", "-d");
  FUZZ_CHECK(args.setDebugLevel == (debug != nullptr), "setDebugLevel");
  if (debug) {
    errno = 0;
    char* end = nullptr;
    const long level = strtol(debug->c_str(), &end, 10);
    FUZZ_CHECK(end != debug->c_str() && errno == 0 && level >= INT_MIN && level <= INT_MAX &&
                   level == args.debugLevel,
               "debug level " + std::to_string(args.debugLevel) + " from '" + *debug + "'");
  }
  const std::string* log = valueOf("-log", "-l");
  FUZZ_CHECK(args.setLogFilename == (log != nullptr), "setLogFilename");
  FUZZ_CHECK(!log || (!log->empty() && *log == args.logFilename), "log file name");
  FUZZ_CHECK(args.setDebugLogFilename == has("-debuglog"), "setDebugLogFilename");
  FUZZ_CHECK(!has("-debuglog") || model.at("-debuglog") == args.debugLogFilename, "debuglog");
  const std::string* ips = valueOf("-iplist", "-i");
  FUZZ_CHECK(args.setIPList == (ips != nullptr), "setIPList");
  FUZZ_CHECK(!ips || (!ips->empty() && *ips == args.iplist), "iplist");

  for (const char* gone : {"-debug", "-log", "-debuglog", "-iplist"})
    FUZZ_CHECK(!cmdLine.hasOption(gone), std::string(gone) + " left on the command line");
  FUZZ_CHECK(cmdLine.hasOption("-d") == (has("-d") && has("-debug")), "-d");
  FUZZ_CHECK(cmdLine.hasOption("-l") == (has("-l") && has("-log")), "-l");
  FUZZ_CHECK(cmdLine.hasOption("-i") == (has("-i") && has("-iplist")), "-i");
}

void CheckIPList(const std::string& text) {
  const std::vector<std::string> list = splitIPList(text);
  std::string joined;
  for (const std::string& entry : list) {
    FUZZ_CHECK(!entry.empty(), "empty IP list entry from '" + text + "'");
    FUZZ_CHECK(entry.find_first_of(" \t,") == std::string::npos, "separator in entry " + entry);
    joined += entry;
  }
  std::string expected;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != ',') expected += c;
  FUZZ_CHECK(joined == expected, "IP list lost characters of '" + text + "'");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  const std::string input(reinterpret_cast<const char*>(data), size);

  std::vector<std::string> words;
  std::string word;
  for (char c : input) {
    if (c == '\n' || c == '\0') {
      words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  words.push_back(word);

  for (const char* switchChars : {"-", "-/"}) {
    std::vector<const char*> argv = {"prog"};
    for (const std::string& w : words) argv.push_back(w.c_str());
    CCmdLine fromArgs(static_cast<int>(argv.size()), argv.data(), switchChars);
    FUZZ_CHECK(fromArgs.getExeName() == "prog", "program name");
    CheckAgainstModel(fromArgs, ModelOf(words, switchChars), "argv");
  }

  // The same input as one text: words at blanks, tabs and line ends.
  std::vector<std::string> textWords;
  std::string current;
  for (char c : input) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!current.empty()) textWords.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) textWords.push_back(current);
  CCmdLine fromText(input, "-");
  FUZZ_CHECK(fromText.getExeName().empty(), "program name of a text");
  CheckAgainstModel(fromText, ModelOf(textWords, "-"), "text");

  CheckRouterOptions(words);
  for (const std::string& w : words) CheckIPList(w);
  return 0;
}
