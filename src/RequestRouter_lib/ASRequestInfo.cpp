/* ASRequestInfo.cpp - the description of one web request and its text form.
 *
 * The reader is forgiving by design: whatever a datagram holds is taken in
 * order, and what it lacks stays at the defaults, so a short or damaged
 * request still yields a usable description. It is a single pass over the
 * text (scan) because it runs for every get-server datagram; the stream
 * operator hands the rest of its stream to the same pass. splitUri is the
 * strict part, used when a request is built from a real URI.
 */
#include "ASRequestInfo.h"

#include <initializer_list>
#include <istream>
#include <iterator>
#include <ostream>

#include "Exception.h"

namespace {

/* True for the four white-space characters that may not appear in the prefix or the extension. */
bool hasWhitespace(const std::string& text) {
  return text.find_first_of(" \r\n\t") != std::string::npos;
}

/* Splits uri into prefix and extension; throws CException (outputs untouched) when it cannot. */
void splitInto(const std::string& uri, std::string& prefix, std::string& extension) {
  const std::string::size_type dot = uri.find('.');
  if (dot == std::string::npos || dot > CASRequestInfo::MAX_DOT_POSITION) {
    throw CException("CASRequestInfo::splitUri: no dot in uri: " + uri);
  }
  std::string newPrefix = uri.substr(0, dot + 1);
  if (hasWhitespace(newPrefix)) {
    throw CException("CASRequestInfo::splitUri: whitespace found in uriPrefix: " + uri);
  }
  std::string::size_type end = uri.find_first_of("?/", dot + 1);
  if (end == std::string::npos) end = uri.size();
  if (end - (dot + 1) > CASRequestInfo::MAX_EXTENSION_LENGTH) {
    throw CException("CASRequestInfo::splitUri: uri extension is too long: " + uri);
  }
  std::string newExtension = uri.substr(dot + 1, end - (dot + 1));
  if (hasWhitespace(newExtension)) {
    throw CException("CASRequestInfo::splitUri: whitespace found in extension: " + uri);
  }
  prefix.swap(newPrefix);
  extension.swap(newExtension);
}

/* True for the characters the "C" locale counts as white space. */
inline bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');  // \t \n \v \f \r
}

/* Skips white space from *pPos; returns false when the text ends there. */
inline bool skipSpace(const char* text, std::size_t size, std::size_t* pPos) {
  std::size_t pos = *pPos;
  while (pos < size && isSpace(text[pos])) ++pos;
  *pPos = pos;
  return pos < size;
}

/* Reads one text token into field; at the end of the text the field keeps
 * its value and false is returned. */
bool scanToken(const char* text, std::size_t size, std::size_t* pPos, std::string& field) {
  if (!skipSpace(text, size, pPos)) return false;
  const std::size_t start = *pPos;
  std::size_t pos = start;
  while (pos < size && !isSpace(text[pos])) ++pos;
  field.assign(text + start, pos - start);
  *pPos = pos;
  return true;
}

/* Reads one number field. At the end of the text the field keeps its value;
 * anything that is not a number makes the field 0. Either way false is
 * returned, which ends the reading. */
bool scanNumberField(const char* text, std::size_t size, std::size_t* pPos, int& field) {
  switch (CASRequestInfo::scanNumber(text, size, pPos, &field)) {
    case CASRequestInfo::SCAN_NUMBER:
      return true;
    case CASRequestInfo::SCAN_NOT_A_NUMBER:
      field = 0;
      return false;
    case CASRequestInfo::SCAN_END:
      break;
  }
  return false;
}

}  // namespace

CASRequestInfo::CASRequestInfo() = default;

CASRequestInfo::CASRequestInfo(const std::string& httpHost_, const std::string& uri_,
                               const std::string& clientIP_, int tries_, int maxTries_)
    : clientIP(clientIP_), httpHost(httpHost_), tries(tries_), maxTries(maxTries_) {
  setUri(uri_);
}

void CASRequestInfo::setUri(const std::string& newUri) {
  std::string prefix;
  std::string ext;
  splitInto(newUri, prefix, ext);
  uri = newUri;
  uriPrefix.swap(prefix);
  extension.swap(ext);
}

void CASRequestInfo::splitUri() {
  splitInto(uri, uriPrefix, extension);
}

std::ostream& CASRequestInfo::operator<<(std::ostream& os) const {
  os << clientIP << ' ' << tries << ' ' << maxTries << ' ' << httpHost << ' ' << uriPrefix << ' '
     << extension << ' ' << poolName << ' ' << storeName << ' ' << siteGUID << ' '
     << siteMaxServers << ' ' << poolMaxServersPerSite << ' ' << poolMaxServersPerClient << ' '
     << extMaxServers << ' ';
  if (uri.size() > MAX_WRITTEN_URI) {
    os.write(uri.data(), static_cast<std::streamsize>(SHORTENED_URI_KEEP));
    os << "...";
  } else {
    os << uri;
  }
  return os;
}

CASRequestInfo::ScanResult CASRequestInfo::scanNumber(const char* text, std::size_t size,
                                                       std::size_t* pPos, int* pValue) {
  if (!skipSpace(text, size, pPos)) return SCAN_END;
  std::size_t pos = *pPos;
  bool negative = false;
  if (text[pos] == '-' || text[pos] == '+') {
    negative = text[pos] == '-';
    ++pos;
  }
  // Every digit is read even when the value no longer fits, as a stream
  // read of an int does; the magnitude stops growing past 2^31.
  const unsigned long long limit = negative ? 2147483648ULL : 2147483647ULL;
  unsigned long long magnitude = 0;
  bool tooLarge = false;
  const std::size_t firstDigit = pos;
  for (; pos < size && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    if (tooLarge) continue;
    magnitude = magnitude * 10 + static_cast<unsigned long long>(text[pos] - '0');
    tooLarge = magnitude > limit;
  }
  *pPos = pos;
  if (pos == firstDigit || tooLarge) return SCAN_NOT_A_NUMBER;
  *pValue = negative ? static_cast<int>(-static_cast<long long>(magnitude))
                     : static_cast<int>(magnitude);
  return SCAN_NUMBER;
}

bool CASRequestInfo::scan(const char* text, std::size_t size, std::size_t* pUsed) {
  // Start from the defaults so that a text ending early never leaves values
  // of an earlier request behind; clearing in place keeps the strings' storage.
  for (std::string* field : {&uriPrefix, &clientIP, &httpHost, &poolName, &storeName, &siteGUID,
                             &extension, &uri}) {
    field->clear();
  }
  siteMaxServers = poolMaxServersPerSite = poolMaxServersPerClient = extMaxServers = -1;
  tries = maxTries = 0;
  std::size_t pos = 0;
  const bool complete = text != nullptr &&
                        scanToken(text, size, &pos, clientIP) &&
                        scanNumberField(text, size, &pos, tries) &&
                        scanNumberField(text, size, &pos, maxTries) &&
                        scanToken(text, size, &pos, httpHost) &&
                        scanToken(text, size, &pos, uriPrefix) &&
                        scanToken(text, size, &pos, extension) &&
                        scanToken(text, size, &pos, poolName) &&
                        scanToken(text, size, &pos, storeName) &&
                        scanToken(text, size, &pos, siteGUID) &&
                        scanNumberField(text, size, &pos, siteMaxServers) &&
                        scanNumberField(text, size, &pos, poolMaxServersPerSite) &&
                        scanNumberField(text, size, &pos, poolMaxServersPerClient) &&
                        scanNumberField(text, size, &pos, extMaxServers) &&
                        scanToken(text, size, &pos, uri);
  if (uri.empty()) uri = uriPrefix + extension;
  if (pUsed != nullptr) *pUsed = pos;
  return complete;
}

std::istream& CASRequestInfo::operator>>(std::istream& is) {
  if (!is) {
    scan("", 0);
    is.setstate(std::ios::failbit);
    return is;
  }
  const std::istream::pos_type start = is.tellg();
  const std::string rest{std::istreambuf_iterator<char>(is), std::istreambuf_iterator<char>()};
  std::size_t used = 0;
  const bool complete = scan(rest.data(), rest.size(), &used);
  is.width(0);
  if (used < rest.size() && start != std::istream::pos_type(-1)) {
    // Give back what the fields did not use, for a caller that reads on.
    is.seekg(start + static_cast<std::istream::off_type>(used));
  }
  std::ios::iostate state = std::ios::goodbit;
  if (used == rest.size()) state |= std::ios::eofbit;
  if (!complete) state |= std::ios::failbit;
  is.setstate(state);
  return is;
}

std::ostream& operator<<(std::ostream& os, const CASRequestInfo& info) {
  return info.operator<<(os);
}

std::istream& operator>>(std::istream& is, CASRequestInfo& info) {
  return info.operator>>(is);
}
