/* XMLConfigParser.h - value parsers of the configuration reader.
 *
 * Every attribute value and element text of the configuration goes through
 * one of these functions. Each kind of value has a core function working on
 * a NUL-terminated text that throws CException with a short message, and
 * thin wrappers taking an element (or an element and an attribute name)
 * that supply a default for an absent value and replace any CException of
 * the core function with a message naming the element and the attribute.
 * Element forms end their message with the element name and no closing
 * quote; attribute forms close the quote. Only CException is caught and
 * re-thrown by the wrappers.
 *
 * Thread safety: every function is free of shared state and may be called
 * from any thread.
 */
#ifndef XMLCONFIGPARSER_H
#define XMLCONFIGPARSER_H

#include <stddef.h>
#include <stdint.h>

#include <list>
#include <string>
#include <vector>

#include <rapidxml/rapidxml.hpp>

namespace XMLConfig {

typedef std::vector<int> IntVector;
typedef std::vector<std::string> StringVector;
typedef std::list<std::string> StringList;

namespace Parser {

/* Separators of integer lists: blank, comma and tab. */
extern const char* const IntListSeparators;
/* Longest host name accepted when host names are checked. */
const size_t MaxHostNameLength = 255;
/* Most integers an expanded list may hold; a longer list is refused rather
 * than exhausting memory. */
const size_t MaxIntListValues = 1048576;

/* ---- core functions ---- */

/* Reads one number of type T (int or uint16_t) from strValue: leading
 * whitespace, an optional sign and decimal digits, nothing after them, the
 * value within minValue..maxValue and within the range of T. Throws
 * "Parser::parseNumber(): can't parse NULL value" for null and
 * "Parser::parseNumber(): invalid value '<text>" otherwise. */
template <typename T>
T parseNumber(const char* strValue, T minValue, T maxValue);

/* True for "true", "on", "yes", "1"; false for "false", "off", "no", "0"
 * (exact, case-sensitive); throws "XMLConfig::Parser::parseBool(): invalid
 * boolean value '<text>'" otherwise. Null is taken as "(null)". */
bool parseBool(const char* strValue);

/* Returns the text unchanged when it is an IPv4 or IPv6 literal, or, when
 * allowHostName is set, a host name (checked for length and alphabet when
 * checkHostName is set). Throws "XMLConfig::Parser::parseIP(): invalid
 * value '<text>'" or "... invalid hostname '<text>'". Null is "(null)". */
std::string parseIP(const char* value, bool allowHostName, bool checkHostName);

/* Splits line at the separator characters into integers and ranges
 * ("a-b", expanded in either direction) in token order, repeats kept.
 * Throws "parseIntList(): invalid integer value <token>" or the range
 * message of parseIntRange. */
IntVector parseIntList(const std::string& line, const char* separators);

/* Expands the range "first-second" split at minusPos. Throws
 * "parseIntRange(): invalid range <line>" when the split position, either
 * number or the text after either number is unusable. */
IntVector parseIntRange(const std::string& line, size_t minusPos);

/* parseIntList(text, " ,\t") whose every element lies in minValue..maxValue;
 * throws "XMLConfig::Parser::parseIntList(): value out of range in list
 * <text>" otherwise. Ranges are checked by their end points before they are
 * expanded. Null is "(null)". */
IntVector parseIntList(const char* strValue, int minValue, int maxValue);

/* Same checks and messages as parseIntList(strValue, minValue, maxValue)
 * but expands nothing: for callers that only need to know validity. */
void checkIntList(const char* strValue, int minValue, int maxValue);

/* ---- element and attribute wrappers ---- */

/* The element's text read by parseNumber; defaultValue for a null element.
 * Throws "Parser::parseNumber(): invalid value '<value>' in node '<name>". */
template <typename T>
T parseNumber(const rapidxml::xml_node<>* node, T defaultValue, T minValue, T maxValue);

/* The attribute read by parseNumber; defaultValue when it is missing.
 * Throws "Parser::parseAttrNumber(): invalid value '<value>' in node
 * '<name>' attribute '<attribute>'". */
template <typename T>
T parseAttrNumber(const rapidxml::xml_node<>* node, const char* attributeName, T defaultValue,
                  T minValue, T maxValue);

/* parseAttrNumber<uint16_t> with default 0 and range 1..65535. */
uint16_t parsePort(const rapidxml::xml_node<>* node, const char* attributeName);

/* The element's text as a boolean; throws "XMLConfig::Parser::parseBool():
 * invalid value '<value>' in node '<name>". */
bool parseBool(const rapidxml::xml_node<>* node);
/* The attribute as a boolean, defaultValue when missing; throws the
 * attribute form of the message above. */
bool parseBool(const rapidxml::xml_node<>* node, const char* attributeName, bool defaultValue);

/* The element's text through parseIP; throws "XMLConfig::Parser::parseIP():
 * invalid value '<value>' in node '<name>". */
std::string parseIP(const rapidxml::xml_node<>* node, bool allowHostName, bool checkHostName);
/* The attribute through parseIP, the empty text when missing; throws the
 * attribute form of the message above. */
std::string parseIP(const rapidxml::xml_node<>* node, const char* attributeName, bool allowHostName,
                    bool checkHostName);

/* The element's text through parseIntList with bounds; throws
 * "XMLConfig::Parser::parseIntList(): invalid value '<value>' in node '<name>". */
IntVector parseIntList(const rapidxml::xml_node<>* node, int minValue, int maxValue);
/* The attribute through parseIntList with bounds; a missing attribute
 * throws "XMLConfig::Parser::parseIntList(): missing value in node '<name>'
 * attribute '<attribute>'", a bad one the attribute form of the message
 * above. */
IntVector parseIntList(const rapidxml::xml_node<>* node, const char* attributeName, int minValue,
                       int maxValue);

}  // namespace Parser
}  // namespace XMLConfig

#endif /* XMLCONFIGPARSER_H */
