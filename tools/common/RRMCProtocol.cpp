/* RRMCProtocol.cpp - message-center messages of an application server and reply framing.
 *
 * The reader is incremental so that an event loop over many connections can
 * feed it whatever a read returned, and strict so that a broken stream is
 * noticed at its first bad header instead of being misread as data.
 */
#include "RRMCProtocol.h"

#include "RRMonitorLines.h"
#include "RRToolException.h"


namespace {

std::string withData(int code, const std::string& address, const std::string& cacheData) {
  return std::to_string(code) + " " + std::to_string(cacheData.size()) + " " + address + " 0\n" + cacheData;
}

constexpr std::size_t kMaxHeader = 64;
constexpr std::size_t kMaxData = 64u * 1024u * 1024u;

/* Reads a decimal number (with an optional '-') from text at *pPos. */
bool readNumber(const std::string& text, std::size_t* pPos, long long* pValue) {
  std::size_t pos = *pPos;
  bool negative = false;
  if (pos < text.size() && text[pos] == '-') {
    negative = true;
    ++pos;
  }
  const std::size_t first = pos;
  long long value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    if (value > static_cast<long long>(kMaxData) * 10) return false;
    ++pos;
  }
  if (pos == first) return false;
  *pPos = pos;
  *pValue = negative ? -value : value;
  return true;
}

}  // namespace

std::string RRMCAddress(const std::string& host, uint16_t port) {
  return host + ":" + std::to_string(port);
}

std::string RRMCInitialFree(const std::string& address, const std::string& pool, long pid, int priority) {
  return "2 0 " + address + " " + pool + " " + std::to_string(pid) + " " + std::to_string(priority) + "\n";
}

std::string RRMCIdle(const std::string& address, const std::string& cacheData) {
  return withData(3, address, cacheData);
}

std::string RRMCWorking(const std::string& address, const std::string& cacheData) {
  return withData(4, address, cacheData);
}

std::string RRMCUpdateCache(const std::string& address, const std::string& pool, int broadcast,
                            const std::string& cacheData) {
  return "5 " + std::to_string(cacheData.size()) + " " + address + " " + pool + " " +
         std::to_string(broadcast) + "\n" + cacheData;
}

std::string RRMCFinish(const std::string& address, const std::string& cacheData) {
  return withData(7, address, cacheData);
}

void CMCReplyReader::feed(const char* data, std::size_t length) { mBuffer.append(data, length); }

bool CMCReplyReader::next(RRMCReply* pReply) {
  const std::string::size_type end = mBuffer.find('\n');
  if (end == std::string::npos) {
    if (mBuffer.size() > kMaxHeader) {
      throw CToolException(CToolException::TOOL_PROTOCOL,
                           "message-center reply header longer than " + std::to_string(kMaxHeader) + " bytes");
    }
    return false;
  }
  const std::string header = mBuffer.substr(0, end);
  const std::string broken = "malformed message-center reply header '" + RRPrintable(header) + "'";
  if (end > kMaxHeader) throw CToolException(CToolException::TOOL_PROTOCOL, broken);
  std::size_t pos = 0;
  long long code = 0;
  long long length = 0;
  if (!readNumber(header, &pos, &code) || pos >= header.size() || header[pos] != ' ') {
    throw CToolException(CToolException::TOOL_PROTOCOL, broken);
  }
  ++pos;
  if (!readNumber(header, &pos, &length) || pos != header.size() || length < 0 ||
      code < -1000000 || code > 1000000) {
    throw CToolException(CToolException::TOOL_PROTOCOL, broken);
  }
  if (static_cast<unsigned long long>(length) > kMaxData) {
    throw CToolException(CToolException::TOOL_PROTOCOL, "message-center reply announces " +
                                                            std::to_string(length) + " bytes");
  }
  const std::size_t total = end + 1 + static_cast<std::size_t>(length);
  if (mBuffer.size() < total) return false;
  pReply->code = static_cast<int>(code);
  pReply->data = mBuffer.substr(end + 1, static_cast<std::size_t>(length));
  mBuffer.erase(0, total);
  return true;
}
