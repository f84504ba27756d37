/* CmdLine.h - a program's command line as a map from switches to values.
 *
 * A word is a switch when its first character is one of the switch
 * characters (with "-", also a negative number). The word after a switch is
 * its value unless it is a switch itself; a switch without a value maps to
 * the empty text, and values that follow no switch are kept under the empty
 * key. A repeated switch keeps its last value. Callers take the switches they
 * know with popOption; whatever stays in the map is handed on as extra
 * options. An empty switch character set is a programming error and ends the
 * process through KT_ASSERT.
 *
 * Thread safety: none; an object belongs to one thread at a time.
 */
#ifndef CMDLINE_H
#define CMDLINE_H

#include <string>
#include <unordered_map>
#include <vector>

class CCmdLine {
 public:
  typedef std::unordered_map<std::string, std::string> OptionMap;

  /* Takes argv[0] as program name and parses argv[1..argc-1]; null entries
   * are skipped. */
  CCmdLine(int argc, const char* const* argv, const std::string& switchChar);
  CCmdLine(int argc, char** argv, const std::string& switchChar)
      : CCmdLine(argc, const_cast<const char* const*>(argv), switchChar) {}
  /* Splits the text at blanks, tabs and line ends and parses the words; the
   * program name stays empty. */
  CCmdLine(const std::string& cmdLine, const std::string& switchChar);

  /* The program name, empty when built from a text. */
  const std::string& getExeName() const { return mExeName; }
  /* Number of switches (and the empty key for stray values) in the map. */
  size_t getNumOptions() const { return mOptions.size(); }
  /* True when the switch is in the map. */
  bool hasOption(const std::string& name) const;
  /* Removes the switch; false when it was not there. */
  bool popOption(const std::string& name);
  /* Copies the switch's value into value; false (value untouched) when absent. */
  bool peekOption(const std::string& name, std::string& value) const;
  /* Like peekOption and removes the switch. */
  bool popOption(const std::string& name, std::string& value);
  /* Like popOption; an absent switch sets value to defaultValue. */
  bool popOption(const std::string& name, std::string& value, const std::string& defaultValue);
  /* The keys still in the map (no values), each once, in map order. */
  std::vector<std::string> getExtraOptions() const;

 private:
  void parse(const std::vector<std::string>& words, const std::string& switchChar);

  std::string mExeName;
  OptionMap mOptions;
};

#endif /* CMDLINE_H */
