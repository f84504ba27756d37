/* RRToolAddress.cpp - parsing and printing of HOST:PORT arguments.
 *
 * The parser is strict about the port (digits only, 1..65535, no sign, no
 * blanks) because a silently truncated or wrapped port would send the
 * operator's request to some other service.
 */
#include "RRToolAddress.h"

#include "RRToolException.h"

bool RRToolParsePort(const std::string& text, uint16_t* pPort) {
  if (pPort == nullptr || text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *pPort = static_cast<uint16_t>(value);
  return true;
}

RRToolAddress RRToolParseAddress(const std::string& text) {
  const std::string problem =
      "bad address '" + text + "': expected HOST:PORT with a port from 1 to 65535";
  std::string host;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const std::string::size_type close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      throw CToolException(CToolException::TOOL_USAGE, problem);
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const std::string::size_type colon = text.rfind(':');
    if (colon == std::string::npos) throw CToolException(CToolException::TOOL_USAGE, problem);
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  RRToolAddress address;
  if (host.empty() || host.find_first_of(" \t\r\n") != std::string::npos ||
      !RRToolParsePort(port, &address.port)) {
    throw CToolException(CToolException::TOOL_USAGE, problem);
  }
  address.host = host;
  return address;
}

std::string RRToolFormatAddress(const RRToolAddress& address) {
  if (address.host.find(':') != std::string::npos) {
    return "[" + address.host + "]:" + std::to_string(address.port);
  }
  return address.host + ":" + std::to_string(address.port);
}
