/* XMLConfigParser.cpp - value parsers of the configuration reader.
 *
 * Core functions turn one NUL-terminated text into a value or throw
 * CException with a short message; the wrappers fetch the text from an
 * element or attribute, supply defaults and replace the message with one
 * that names the element and attribute. Integer lists are tokenised into
 * single values and ranges first; bounds are checked on the ranges' end
 * points, so a huge range is refused without being expanded.
 */
#include "XMLConfigParser.h"

#include <limits>
#include <sstream>
#include <string.h>

#include "Exception.h"
#include "SocketLib.h"

namespace XMLConfig {
namespace Parser {

const char* const IntListSeparators = " ,\t";

namespace {

const char* const NullText = "(null)";
const char* const HostNameAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-";

/* One item of an integer list: a single value has first == last. */
struct IntItem {
  int first;
  int last;
};
typedef std::vector<IntItem> IntItems;

const char* orNull(const char* text) { return text ? text : NullText; }

/* The element's name for messages; "(null)" for a null element. */
std::string nodeName(const rapidxml::xml_node<>* node) {
  return node ? std::string(node->name(), node->name_size()) : std::string(NullText);
}

/* The attribute of that name, or null when the element or attribute is missing. */
const rapidxml::xml_attribute<>* findAttribute(const rapidxml::xml_node<>* node,
                                               const char* attributeName) {
  if (!node || !attributeName) return nullptr;
  return node->first_attribute(attributeName);
}

std::string attrMessage(const char* function, const char* value, const rapidxml::xml_node<>* node,
                        const char* attributeName) {
  return std::string(function) + "(): invalid value '" + orNull(value) + "' in node '" +
         nodeName(node) + "' attribute '" + orNull(attributeName) + "'";
}

std::string nodeMessage(const char* function, const char* value, const rapidxml::xml_node<>* node) {
  return std::string(function) + "(): invalid value '" + orNull(value) + "' in node '" +
         nodeName(node);
}

/* Reads a signed 32-bit integer that must fill the whole text (leading
 * whitespace allowed); false when it does not. */
bool readWholeInt(const std::string& text, int& value) {
  std::istringstream in(text);
  if (!(in >> value)) return false;
  return in.get() == std::char_traits<char>::eof();
}

uint64_t itemCount(const IntItem& item) {
  long long lo = item.first < item.last ? item.first : item.last;
  long long hi = item.first < item.last ? item.last : item.first;
  return static_cast<uint64_t>(hi - lo) + 1;
}

void appendItem(IntVector& out, const IntItem& item) {
  if (item.first <= item.last) {
    for (long long v = item.first; v <= item.last; ++v) out.push_back(static_cast<int>(v));
  } else {
    for (long long v = item.first; v >= item.last; --v) out.push_back(static_cast<int>(v));
  }
}

/* Expands the items; throws `message` when they would exceed the list limit. */
IntVector expandItems(const IntItems& items, const std::string& message) {
  uint64_t total = 0;
  for (const IntItem& item : items) total += itemCount(item);
  if (total > MaxIntListValues) throw CException(message);
  IntVector out;
  out.reserve(static_cast<size_t>(total));
  for (const IntItem& item : items) appendItem(out, item);
  return out;
}

/* The end points of the range in `line` split at minusPos. */
IntItem rangeEnds(const std::string& line, size_t minusPos) {
  if (line.empty() || minusPos == 0 || minusPos >= line.size() - 1 || line[minusPos] != '-')
    throw CException("parseIntRange(): invalid range " + line);
  IntItem item{0, 0};
  if (!readWholeInt(line.substr(0, minusPos), item.first) ||
      !readWholeInt(line.substr(minusPos + 1), item.last))
    throw CException("parseIntRange(): invalid range " + line);
  return item;
}

/* Splits the line into single values and ranges, in token order. */
IntItems tokenize(const std::string& line, const char* separators) {
  const std::string seps(separators ? separators : "");
  IntItems items;
  size_t start = line.find_first_not_of(seps);
  while (start != std::string::npos) {
    size_t end = line.find_first_of(seps, start);
    if (end == std::string::npos) end = line.size();
    const std::string token = line.substr(start, end - start);

    // A range minus is a "-" that is neither the first nor the last character.
    size_t minusPos = token.find('-');
    while (minusPos != std::string::npos && (minusPos == 0 || minusPos == token.size() - 1))
      minusPos = token.find('-', minusPos + 1);

    if (minusPos != std::string::npos) {
      items.push_back(rangeEnds(token, minusPos));
    } else {
      // Only the leading number counts: "12abc" is 12.
      std::istringstream in(token);
      int value = 0;
      if (!(in >> value)) throw CException("parseIntList(): invalid integer value " + token);
      items.push_back(IntItem{value, value});
    }
    start = line.find_first_not_of(seps, end);
  }
  return items;
}

/* Tokenises the text and checks every item against the bounds. */
IntItems boundedItems(const char* strValue, int minValue, int maxValue) {
  const std::string text(orNull(strValue));
  IntItems items = tokenize(text, IntListSeparators);
  for (const IntItem& item : items) {
    int lo = item.first < item.last ? item.first : item.last;
    int hi = item.first < item.last ? item.last : item.first;
    if (lo < minValue || hi > maxValue)
      throw CException("XMLConfig::Parser::parseIntList(): value out of range in list " + text);
  }
  return items;
}

}  // namespace

/* ---- core functions ---- */

/* Throws CException for a null text or a value that is not a whole number in range. */
template <typename T>
T parseNumber(const char* strValue, T minValue, T maxValue) {
  if (!strValue) throw CException("Parser::parseNumber(): can't parse NULL value");
  // Read into a wider type so that the range of T is checked explicitly:
  // an unsigned stream extraction would silently wrap "-1" around.
  std::istringstream in(strValue);
  long long value = 0;
  bool valid = static_cast<bool>(in >> value);
  valid = valid && value >= static_cast<long long>(std::numeric_limits<T>::min()) &&
          value <= static_cast<long long>(std::numeric_limits<T>::max()) &&
          value >= static_cast<long long>(minValue) && value <= static_cast<long long>(maxValue) &&
          in.get() == std::char_traits<char>::eof();
  if (!valid) throw CException(std::string("Parser::parseNumber(): invalid value '") + strValue);
  return static_cast<T>(value);
}

template int parseNumber<int>(const char*, int, int);
template uint16_t parseNumber<uint16_t>(const char*, uint16_t, uint16_t);

/* Throws CException for any word but the eight accepted ones. */
bool parseBool(const char* strValue) {
  const char* text = orNull(strValue);
  static const char* const trueWords[] = {"true", "on", "yes", "1"};
  static const char* const falseWords[] = {"false", "off", "no", "0"};
  for (const char* word : trueWords)
    if (strcmp(text, word) == 0) return true;
  for (const char* word : falseWords)
    if (strcmp(text, word) == 0) return false;
  throw CException(std::string("XMLConfig::Parser::parseBool(): invalid boolean value '") + text +
                   "'");
}

/* Throws CException for a name where none is allowed or a name that fails the check. */
std::string parseIP(const char* value, bool allowHostName, bool checkHostName) {
  const std::string text(orNull(value));
  if (CSocketLib::isIPv4Address(text.c_str()) || CSocketLib::isIPv6Address(text.c_str()))
    return text;
  if (!allowHostName) throw CException("XMLConfig::Parser::parseIP(): invalid value '" + text + "'");
  if (checkHostName && (text.size() > MaxHostNameLength ||
                        text.find_first_not_of(HostNameAlphabet) != std::string::npos))
    throw CException("XMLConfig::Parser::parseIP(): invalid hostname '" + text + "'");
  return text;
}

/* Throws CException for a bad token or a list too long to expand. */
IntVector parseIntList(const std::string& line, const char* separators) {
  return expandItems(tokenize(line, separators), "parseIntList(): too many values in list " + line);
}

/* Throws CException for an unusable range or one too long to expand. */
IntVector parseIntRange(const std::string& line, size_t minusPos) {
  const IntItem item = rangeEnds(line, minusPos);
  return expandItems(IntItems{item}, "parseIntRange(): too many values in range " + line);
}

/* Throws CException for a bad token, a value out of bounds or a list too long to expand. */
IntVector parseIntList(const char* strValue, int minValue, int maxValue) {
  const IntItems items = boundedItems(strValue, minValue, maxValue);
  return expandItems(items, std::string("XMLConfig::Parser::parseIntList(): too many values in list ") +
                                orNull(strValue));
}

/* Throws CException for a bad token or a value out of bounds. */
void checkIntList(const char* strValue, int minValue, int maxValue) {
  boundedItems(strValue, minValue, maxValue);
}

/* ---- wrappers ---- */

/* Throws CException naming the element when its text is not a number in range. */
template <typename T>
T parseNumber(const rapidxml::xml_node<>* node, T defaultValue, T minValue, T maxValue) {
  if (!node) return defaultValue;
  try {
    return parseNumber<T>(node->value(), minValue, maxValue);
  } catch (const CException&) {
    throw CException(nodeMessage("Parser::parseNumber", node->value(), node));
  }
}

template int parseNumber<int>(const rapidxml::xml_node<>*, int, int, int);
template uint16_t parseNumber<uint16_t>(const rapidxml::xml_node<>*, uint16_t, uint16_t, uint16_t);

/* Throws CException naming element and attribute when the value is not a number in range. */
template <typename T>
T parseAttrNumber(const rapidxml::xml_node<>* node, const char* attributeName, T defaultValue,
                  T minValue, T maxValue) {
  const rapidxml::xml_attribute<>* attr = findAttribute(node, attributeName);
  if (!attr) return defaultValue;
  try {
    return parseNumber<T>(attr->value(), minValue, maxValue);
  } catch (const CException&) {
    throw CException(attrMessage("Parser::parseAttrNumber", attr->value(), node, attributeName));
  }
}

template int parseAttrNumber<int>(const rapidxml::xml_node<>*, const char*, int, int, int);
template uint16_t parseAttrNumber<uint16_t>(const rapidxml::xml_node<>*, const char*, uint16_t,
                                            uint16_t, uint16_t);

/* Throws CException naming element and attribute for a value outside 1..65535. */
uint16_t parsePort(const rapidxml::xml_node<>* node, const char* attributeName) {
  return parseAttrNumber<uint16_t>(node, attributeName, 0, 1, 65535);
}

/* Throws CException naming the element for a null element or a text that is no boolean. */
bool parseBool(const rapidxml::xml_node<>* node) {
  const char* value = node ? node->value() : nullptr;
  try {
    if (node) return parseBool(value);
  } catch (const CException&) {
  }
  throw CException(nodeMessage("XMLConfig::Parser::parseBool", value, node));
}

/* Throws CException naming element and attribute for a value that is no boolean. */
bool parseBool(const rapidxml::xml_node<>* node, const char* attributeName, bool defaultValue) {
  const rapidxml::xml_attribute<>* attr = findAttribute(node, attributeName);
  if (!attr) return defaultValue;
  try {
    return parseBool(attr->value());
  } catch (const CException&) {
    throw CException(attrMessage("XMLConfig::Parser::parseBool", attr->value(), node, attributeName));
  }
}

/* Throws CException naming the element for a null element or an invalid address. */
std::string parseIP(const rapidxml::xml_node<>* node, bool allowHostName, bool checkHostName) {
  const char* value = node ? node->value() : nullptr;
  try {
    if (node) return parseIP(value, allowHostName, checkHostName);
  } catch (const CException&) {
  }
  throw CException(nodeMessage("XMLConfig::Parser::parseIP", value, node));
}

/* Throws CException naming element and attribute for an invalid address. */
std::string parseIP(const rapidxml::xml_node<>* node, const char* attributeName, bool allowHostName,
                    bool checkHostName) {
  const rapidxml::xml_attribute<>* attr = findAttribute(node, attributeName);
  if (!attr) return std::string();
  try {
    return parseIP(attr->value(), allowHostName, checkHostName);
  } catch (const CException&) {
    throw CException(attrMessage("XMLConfig::Parser::parseIP", attr->value(), node, attributeName));
  }
}

/* Throws CException naming the element for a null element or an invalid list. */
IntVector parseIntList(const rapidxml::xml_node<>* node, int minValue, int maxValue) {
  const char* value = node ? node->value() : nullptr;
  try {
    if (node) return parseIntList(value, minValue, maxValue);
  } catch (const CException&) {
  }
  throw CException(nodeMessage("XMLConfig::Parser::parseIntList", value, node));
}

/* Throws CException naming element and attribute for a missing or invalid list. */
IntVector parseIntList(const rapidxml::xml_node<>* node, const char* attributeName, int minValue,
                       int maxValue) {
  const rapidxml::xml_attribute<>* attr = findAttribute(node, attributeName);
  if (!attr)
    throw CException("XMLConfig::Parser::parseIntList(): missing value in node '" + nodeName(node) +
                     "' attribute '" + orNull(attributeName) + "'");
  try {
    return parseIntList(attr->value(), minValue, maxValue);
  } catch (const CException&) {
    throw CException(
        attrMessage("XMLConfig::Parser::parseIntList", attr->value(), node, attributeName));
  }
}

}  // namespace Parser
}  // namespace XMLConfig
