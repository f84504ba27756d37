/* ASRequestInfo.cpp - the description of one web request and its text form.
 *
 * The reader is forgiving by design: whatever a datagram holds is taken in
 * order, and what it lacks stays at the defaults, so a short or damaged
 * request still yields a usable description. splitUri is the strict part,
 * used when a request is built from a real URI.
 */
#include "ASRequestInfo.h"

#include <istream>
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

/* Reads one text token; a failed read (end of text) leaves the field as it is. */
void readText(std::istream& is, std::string& field) {
  std::string token;
  if (is >> token) field.swap(token);
}

/* Reads one decimal number. At the end of the text the field keeps its value;
 * anything that is not a number (or does not fit an int) makes the field 0.
 * Either way the stream is left failed, so the remaining reads do nothing. */
void readNumber(std::istream& is, int& field) {
  if (!is) return;
  is >> std::ws;
  if (is.eof()) {
    is.setstate(std::ios::failbit);
    return;
  }
  int value = 0;
  if (is >> value) {
    field = value;
  } else {
    field = 0;
  }
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

std::istream& CASRequestInfo::operator>>(std::istream& is) {
  // Start from the defaults so that a text ending early never leaves values
  // of an earlier request behind.
  *this = CASRequestInfo();
  readText(is, clientIP);
  readNumber(is, tries);
  readNumber(is, maxTries);
  readText(is, httpHost);
  readText(is, uriPrefix);
  readText(is, extension);
  readText(is, poolName);
  readText(is, storeName);
  readText(is, siteGUID);
  readNumber(is, siteMaxServers);
  readNumber(is, poolMaxServersPerSite);
  readNumber(is, poolMaxServersPerClient);
  readNumber(is, extMaxServers);
  readText(is, uri);
  if (uri.empty()) uri = uriPrefix + extension;
  return is;
}

std::ostream& operator<<(std::ostream& os, const CASRequestInfo& info) {
  return info.operator<<(os);
}

std::istream& operator>>(std::istream& is, CASRequestInfo& info) {
  return info.operator>>(is);
}
