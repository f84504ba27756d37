/* RRMonitorClient.cpp - framing of monitor requests and answers.
 *
 * The header is checked strictly: a monitor that answers anything but
 * "0 <digits>" is not the router's monitor port, and reading an arbitrary
 * length from it would hang or exhaust memory.
 */
#include "RRMonitorClient.h"

#include "RRToolException.h"

std::size_t RRMonitorParseHeader(const std::string& line) {
  std::string text = line;
  if (!text.empty() && text.back() == '\r') text.pop_back();
  const std::string broken = "malformed monitor answer header '" + line + "'";
  if (text.size() < 3 || text[0] != '0' || text[1] != ' ') {
    throw CToolException(CToolException::TOOL_PROTOCOL, broken);
  }
  std::size_t length = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') throw CToolException(CToolException::TOOL_PROTOCOL, broken);
    length = length * 10 + static_cast<std::size_t>(c - '0');
    if (length > RR_MONITOR_MAX_BODY) {
      throw CToolException(CToolException::TOOL_PROTOCOL,
                           "monitor answer announces " + text.substr(2) + " bytes, more than " +
                               std::to_string(RR_MONITOR_MAX_BODY) + " accepted");
    }
  }
  return length;
}

CMonitorClient::CMonitorClient(const RRToolAddress& address, int timeoutMs)
    : mSocket(CToolSocket::connectTcp(address, timeoutMs)), mTimeoutMs(timeoutMs) {}

std::string CMonitorClient::requestLine(MonitorRequestCode code, const std::string& poolName) {
  if (code == MONITOR_RESET_POOL) return "14 0 " + poolName;
  return std::to_string(static_cast<int>(code));
}

std::string CMonitorClient::request(const std::string& line) {
  try {
    mSocket.sendAll(line + "\n");
    // The header is "0 " and at most 20 digits; anything much longer is not
    // a monitor answer.
    const std::size_t length = RRMonitorParseHeader(mSocket.receiveLine(64, mTimeoutMs));
    return mSocket.receiveExact(length, mTimeoutMs);
  } catch (const CToolException& e) {
    mSocket.close();
    if (e.kind() == CToolException::TOOL_CLOSED) {
      throw CToolException(CToolException::TOOL_CLOSED,
                           mSocket.peerName() + " closed the connection without answering '" + line +
                               "' (the router refuses unknown requests and unknown pools)");
    }
    throw;
  }
}
