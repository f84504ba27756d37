/* CmdLine.cpp - parsing program arguments and command-line texts into switches.
 *
 * Both constructors turn their input into a list of words and run the same
 * parser over it; the parser never fails on any input.
 */
#include "CmdLine.h"

#include "KTDebug.h"

namespace {

/* The map starts small: command lines hold a handful of switches. */
const size_t kInitialBuckets = 10;

}  // namespace

/* Never fails; a non-positive argc or a null argv yields an empty command line. */
CCmdLine::CCmdLine(int argc, const char* const* argv, const std::string& switchChar)
    : mOptions(kInitialBuckets) {
  KT_ASSERT(!switchChar.empty(), "CmdLine");
  if (argc <= 0 || argv == nullptr) return;
  if (argv[0] != nullptr) mExeName = argv[0];
  if (argc > 1) {
    std::vector<std::string> words;
    words.reserve(static_cast<size_t>(argc - 1));
    for (int i = 1; i < argc; ++i) {
      if (argv[i] != nullptr) words.emplace_back(argv[i]);
    }
    parse(words, switchChar);
  }
}

/* Never fails; an empty or blank text yields an empty command line. */
CCmdLine::CCmdLine(const std::string& cmdLine, const std::string& switchChar)
    : mOptions(kInitialBuckets) {
  KT_ASSERT(!switchChar.empty(), "CmdLine");
  static const char kWhiteSpace[] = " \t\r\n";
  std::vector<std::string> words;
  std::string::size_type pos = cmdLine.find_first_not_of(kWhiteSpace);
  while (pos != std::string::npos) {
    std::string::size_type end = cmdLine.find_first_of(kWhiteSpace, pos);
    words.push_back(cmdLine.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = (end == std::string::npos) ? end : cmdLine.find_first_not_of(kWhiteSpace, end);
  }
  parse(words, switchChar);
}

/* Never fails. */
void CCmdLine::parse(const std::vector<std::string>& words, const std::string& switchChar) {
  std::string current;
  bool haveCurrent = false;
  bool previousWasSwitch = false;
  for (const std::string& word : words) {
    const bool isSwitch = !word.empty() && switchChar.find(word[0]) != std::string::npos;
    if (isSwitch) {
      if (previousWasSwitch) mOptions[current] = std::string();
      current = word;
      haveCurrent = true;
    } else {
      // A stray value (no switch before it) lands under the empty key.
      mOptions[haveCurrent ? current : std::string()] = word;
      current.clear();
      haveCurrent = false;
    }
    previousWasSwitch = isSwitch;
  }
  if (haveCurrent) mOptions[current] = std::string();
  KTDEBUG_MSG(KTDEBUG_UTILS, "CCmdLine::parse(): %d words, %d options", (int)words.size(),
              (int)mOptions.size());
}

/* Never fails. */
bool CCmdLine::hasOption(const std::string& name) const { return mOptions.count(name) != 0; }

bool CCmdLine::popOption(const std::string& name) { return mOptions.erase(name) != 0; }

bool CCmdLine::peekOption(const std::string& name, std::string& value) const {
  OptionMap::const_iterator it = mOptions.find(name);
  if (it == mOptions.end()) return false;
  value = it->second;
  return true;
}

bool CCmdLine::popOption(const std::string& name, std::string& value) {
  OptionMap::iterator it = mOptions.find(name);
  if (it == mOptions.end()) return false;
  value = it->second;
  mOptions.erase(it);
  return true;
}

bool CCmdLine::popOption(const std::string& name, std::string& value,
                         const std::string& defaultValue) {
  if (popOption(name, value)) return true;
  value = defaultValue;
  return false;
}

/* Never fails. */
std::vector<std::string> CCmdLine::getExtraOptions() const {
  std::vector<std::string> keys;
  keys.reserve(mOptions.size());
  for (const OptionMap::value_type& entry : mOptions) keys.push_back(entry.first);
  return keys;
}
