/* RRGetServer.cpp - building get-server datagrams and reading the answers.
 *
 * The request is checked before it leaves: a blank inside a field would
 * shift every later field in the router's reader, which then answers for a
 * different pool or with different limits than the operator asked for.
 */
#include "RRGetServer.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "RRMonitorLines.h"
#include "RRToolAddress.h"
#include "RRToolException.h"

namespace {

void checkWord(const std::string& value, const char* name) {
  if (value.empty()) {
    throw CToolException(CToolException::TOOL_USAGE,
                         std::string("the ") + name + " of a get-server request must not be empty");
  }
  if (value.find_first_of(" \t\r\n\v\f") != std::string::npos) {
    throw CToolException(CToolException::TOOL_USAGE, std::string("the ") + name + " '" +
                                                         RRPrintable(value) + "' must not hold white space");
  }
}

std::vector<std::string> splitBlanks(const std::string& text) {
  std::vector<std::string> tokens;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type end = text.find(' ', start);
    tokens.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return tokens;
    start = end + 1;
  }
}

}  // namespace

std::string RRGetServerDatagram(const CASRequestInfo& info) {
  checkWord(info.clientIP, "client address");
  checkWord(info.httpHost, "HTTP host");
  checkWord(info.uriPrefix, "URI prefix");
  checkWord(info.extension, "extension");
  checkWord(info.poolName, "pool name");
  checkWord(info.storeName, "store name");
  checkWord(info.siteGUID, "site GUID");
  checkWord(info.uri, "URI");
  std::ostringstream os;
  os << "1 " << info;
  std::string datagram = os.str();
  if (datagram.size() > RR_MAX_DATAGRAM) {
    throw CToolException(CToolException::TOOL_USAGE,
                         "the get-server request has " + std::to_string(datagram.size()) +
                             " bytes; the router drops datagrams over " +
                             std::to_string(RR_MAX_DATAGRAM) + " bytes");
  }
  return datagram;
}

RRGetServerAnswer RRParseGetServerAnswer(const std::string& reply) {
  const std::string broken = "malformed get-server answer '" + RRPrintable(reply) + "'";
  const std::vector<std::string> tokens = splitBlanks(reply);
  RRGetServerAnswer answer;
  if (tokens[0].size() != 1 || tokens[0][0] < '0' || tokens[0][0] > '4') {
    throw CToolException(CToolException::TOOL_PROTOCOL, broken);
  }
  answer.code = static_cast<RRResponseCode>(tokens[0][0] - '0');
  switch (answer.code) {
    case RR_RESPONSE_OK:
      if (tokens.size() != 3 || tokens[1].empty() || !RRToolParsePort(tokens[2], &answer.port)) {
        throw CToolException(CToolException::TOOL_PROTOCOL, broken);
      }
      answer.host = tokens[1];
      break;
    case RR_RESPONSE_ERROR: {
      if (tokens.size() != 2 || tokens[1].empty()) throw CToolException(CToolException::TOOL_PROTOCOL, broken);
      char* end = nullptr;
      errno = 0;
      answer.status = std::strtoll(tokens[1].c_str(), &end, 10);
      if (errno != 0 || *end != '\0' || !(tokens[1][0] == '-' || (tokens[1][0] >= '0' && tokens[1][0] <= '9'))) {
        throw CToolException(CToolException::TOOL_PROTOCOL, broken);
      }
      break;
    }
    default:
      if (tokens.size() != 1) throw CToolException(CToolException::TOOL_PROTOCOL, broken);
      break;
  }
  return answer;
}

std::string RRDescribeAnswer(const RRGetServerAnswer& answer) {
  switch (answer.code) {
    case RR_RESPONSE_OK:
      return "OK " + answer.host + " " + std::to_string(answer.port);
    case RR_RESPONSE_TRYLATER:
      return "TRYLATER";
    case RR_RESPONSE_ABORT:
      return "ABORT";
    case RR_RESPONSE_ERROR:
      return "ERROR " + std::to_string(answer.status);
    case RR_RESPONSE_TIMEOUT:
      return "TIMEOUT";
  }
  return "UNKNOWN";
}
