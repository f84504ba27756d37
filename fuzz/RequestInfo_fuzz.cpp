// RequestInfo_fuzz.cpp - fuzz target for the request description: the text
// reader of CASRequestInfo on random datagram bodies, its writer, and the
// URI splitter.
//
// Properties:
//  - reading any text never crashes and leaves every field either read or
//    at its default;
//  - a description read completely (every text field filled) survives
//    writing and reading again unchanged, the URI shortened to 147
//    characters and "..." when it is longer than 150;
//  - setUri either splits the URI into a prefix ending at its first dot and
//    an extension of at most 20 characters that ends at "?", "/" or the end,
//    or throws CException and leaves the description as it was.
#include <stddef.h>
#include <stdint.h>

#include <sstream>
#include <string>

#include "ASRequestInfo.h"
#include "Exception.h"
#include "FuzzSupport.h"

namespace {

bool Same(const CASRequestInfo& a, const CASRequestInfo& b) {
  return a.clientIP == b.clientIP && a.tries == b.tries && a.maxTries == b.maxTries &&
         a.httpHost == b.httpHost && a.uriPrefix == b.uriPrefix && a.extension == b.extension &&
         a.poolName == b.poolName && a.storeName == b.storeName && a.siteGUID == b.siteGUID &&
         a.siteMaxServers == b.siteMaxServers &&
         a.poolMaxServersPerSite == b.poolMaxServersPerSite &&
         a.poolMaxServersPerClient == b.poolMaxServersPerClient &&
         a.extMaxServers == b.extMaxServers && a.uri == b.uri;
}

std::string Written(const CASRequestInfo& info) {
  std::ostringstream os;
  os << info;
  return os.str();
}

void CheckRoundTrip(const CASRequestInfo& info) {
  const bool complete = !info.clientIP.empty() && !info.httpHost.empty() &&
                        !info.uriPrefix.empty() && !info.extension.empty() &&
                        !info.poolName.empty() && !info.storeName.empty() &&
                        !info.siteGUID.empty() && !info.uri.empty();
  if (!complete) return;  // an empty text field has no written form
  const std::string text = Written(info);
  std::istringstream is(text);
  CASRequestInfo again;
  is >> again;

  CASRequestInfo expected = info;
  if (expected.uri.size() > CASRequestInfo::MAX_WRITTEN_URI)
    expected.uri = expected.uri.substr(0, CASRequestInfo::SHORTENED_URI_KEEP) + "...";
  FUZZ_CHECK(Same(again, expected), "round trip changed the description: '" + text + "' -> '" +
                                        Written(again) + "'");
}

void CheckSplit(const std::string& uri) {
  CASRequestInfo info;
  info.uri = "/before.html";
  info.uriPrefix = "/before.";
  info.extension = "html";
  try {
    info.setUri(uri);
  } catch (const CException& e) {
    FUZZ_CHECK(info.uri == "/before.html" && info.uriPrefix == "/before." &&
                   info.extension == "html",
               std::string("failed setUri changed the description: ") + e.what());
    return;
  }
  const std::string& prefix = info.uriPrefix;
  const std::string& ext = info.extension;
  FUZZ_CHECK(info.uri == uri, "setUri did not keep the URI");
  FUZZ_CHECK(!prefix.empty() && prefix.find('.') == prefix.size() - 1,
             "prefix does not end at the first dot: " + prefix);
  FUZZ_CHECK(prefix.size() - 1 <= CASRequestInfo::MAX_DOT_POSITION, "dot too far: " + uri);
  FUZZ_CHECK(uri.compare(0, prefix.size(), prefix) == 0, "prefix is not the URI's start");
  FUZZ_CHECK(ext.size() <= CASRequestInfo::MAX_EXTENSION_LENGTH, "extension too long: " + ext);
  FUZZ_CHECK(uri.compare(prefix.size(), ext.size(), ext) == 0, "extension not after the dot");
  FUZZ_CHECK(ext.find_first_of("?/") == std::string::npos, "extension runs on: " + ext);
  const size_t after = prefix.size() + ext.size();
  FUZZ_CHECK(after == uri.size() || uri[after] == '?' || uri[after] == '/',
             "extension stops early: " + uri);
  FUZZ_CHECK((prefix + ext).find_first_of(" \t\r\n") == std::string::npos,
             "white space in prefix or extension: " + uri);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  const std::string text(reinterpret_cast<const char*>(data), size);

  CASRequestInfo info;
  info.poolName = "left over";
  info.tries = 99;
  std::istringstream is(text);
  is >> info;
  // Whatever the text lacked is at its default, never a value from before.
  FUZZ_CHECK(info.poolName != "left over", "pool name survived a read");
  FUZZ_CHECK(!info.uri.empty() || (info.uriPrefix.empty() && info.extension.empty()),
             "empty URI beside a prefix or extension");
  CheckRoundTrip(info);

  CheckSplit(text);
  CheckSplit(info.uri);
  return 0;
}
