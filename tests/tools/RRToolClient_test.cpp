// Tests of the tools' client code over real loopback sockets: HOST:PORT
// parsing, bounded waits, the monitor framing, the get-server datagram and
// its answers, and the message-center reply reader fed in pieces.
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ASRequestInfo.h"
#include "RRGetServer.h"
#include "RRMCProtocol.h"
#include "RRMonitorClient.h"
#include "RRToolAddress.h"
#include "RRToolException.h"
#include "RRToolSocket.h"
#include "ToolTestServers.h"

using ::testing::HasSubstr;
using tooltest::FakeDatagramServer;
using tooltest::FakeLineServer;
using tooltest::MonitorAnswer;

namespace {

// The kind and text of the CToolException that f raises.
template <typename F>
std::pair<CToolException::Kind, std::string> failure(F f) {
  try {
    f();
  } catch (const CToolException& e) {
    return {e.kind(), e.what()};
  }
  ADD_FAILURE() << "no exception";
  return {CToolException::TOOL_IO, ""};
}

RRToolAddress loopback(uint16_t port) { return RRToolParseAddress("127.0.0.1:" + std::to_string(port)); }

TEST(RRToolAddressTest, HostAndPortForms) {
  RRToolAddress a = RRToolParseAddress("router1.example:47002");
  EXPECT_EQ("router1.example", a.host);
  EXPECT_EQ(47002, a.port);
  a = RRToolParseAddress("[::1]:1");
  EXPECT_EQ("::1", a.host);
  EXPECT_EQ(1, a.port);
  EXPECT_EQ("[::1]:1", RRToolFormatAddress(a));
  a = RRToolParseAddress("fe80::2:65535");  // bare IPv6: split at the last colon
  EXPECT_EQ("fe80::2", a.host);
  EXPECT_EQ(65535, a.port);
}

TEST(RRToolAddressTest, RefusesWhatWouldReachAnotherPort) {
  for (const char* text : {"host", "host:", ":80", "host:0", "host:65536", "host:99999", "host:+80", "host:8 0",
                           "host:80x", "[::1]80", "[::1]:", "host name:80", "host:000080"}) {
    auto f = failure([&] { RRToolParseAddress(text); });
    EXPECT_EQ(CToolException::TOOL_USAGE, f.first) << text;
    EXPECT_THAT(f.second, HasSubstr("expected HOST:PORT")) << text;
  }
}

TEST(RRToolSocketTest, ConnectFailuresAreTold) {
  auto refused = failure([] { CToolSocket::connectTcp(loopback(tooltest::UnusedPort()), 500); });
  EXPECT_EQ(CToolException::TOOL_CONNECT, refused.first);
  EXPECT_THAT(refused.second, HasSubstr("cannot connect to 127.0.0.1:"));
  auto unknown = failure([] { CToolSocket::connectTcp(RRToolParseAddress("no-such-host.invalid:80"), 500); });
  EXPECT_EQ(CToolException::TOOL_RESOLVE, unknown.first);
  EXPECT_THAT(unknown.second, HasSubstr("no-such-host.invalid"));
}

TEST(RRToolSocketTest, LinesTimeOutsAndEndOfStream) {
  FakeLineServer server([](const std::string& line) -> std::optional<std::string> {
    if (line == "two") return std::string("first\r\nsecond\nrest");
    if (line == "long") return std::string(100, 'x');
    if (line == "bye") return std::nullopt;
    return std::string();  // stay silent
  });
  CToolSocket socket = CToolSocket::connectTcp(loopback(server.port()), 1000);
  socket.sendAll("two\n");
  EXPECT_EQ("first\r", socket.receiveLine(100, 1000));
  EXPECT_EQ("second", socket.receiveLine(100, 1000));
  EXPECT_EQ("re", socket.receiveExact(2, 1000));
  EXPECT_EQ("s", socket.receiveExact(1, 1000));

  socket.sendAll("quiet\n");
  const auto start = std::chrono::steady_clock::now();
  auto quiet = failure([&] { socket.receiveExact(5, 100); });
  EXPECT_EQ(CToolException::TOOL_TIMEOUT, quiet.first);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  socket.sendAll("long\n");
  EXPECT_EQ(CToolException::TOOL_PROTOCOL, failure([&] { socket.receiveLine(50, 1000); }).first);

  socket.close();  // the server takes one connection at a time
  CToolSocket other = CToolSocket::connectTcp(loopback(server.port()), 1000);
  other.sendAll("bye\n");
  EXPECT_EQ(CToolException::TOOL_CLOSED, failure([&] { other.receiveLine(50, 1000); }).first);
}

TEST(RRToolSocketTest, DatagramToAClosedPortIsRefused) {
  CToolSocket socket = CToolSocket::connectUdp(loopback(tooltest::UnusedPort()));
  socket.sendAll("1 x");
  auto f = failure([&] {
    socket.receiveDatagram(1000);
    socket.sendAll("1 x");  // the refusal may surface on the next call
  });
  EXPECT_EQ(CToolException::TOOL_CONNECT, f.first);
  EXPECT_THAT(f.second, HasSubstr("refused the datagram"));
}

TEST(RRMonitorClientTest, HeaderParsing) {
  EXPECT_EQ(0u, RRMonitorParseHeader("0 0"));
  EXPECT_EQ(1234u, RRMonitorParseHeader("0 1234"));
  EXPECT_EQ(7u, RRMonitorParseHeader("0 7\r"));
  for (const char* bad : {"", "0", "0 ", "1 5", "0 -5", "0 5 5", "0  5", "05", "x 5", "0 99999999999"}) {
    EXPECT_EQ(CToolException::TOOL_PROTOCOL, failure([&] { RRMonitorParseHeader(bad); }).first) << bad;
  }
}

TEST(RRMonitorClientTest, SeveralRequestsOnOneConnection) {
  FakeLineServer server([](const std::string& line) -> std::optional<std::string> {
    if (line == "13") return MonitorAnswer("P a 1\r\nP b 2\r\n");
    if (line == "12") return MonitorAnswer("");
    return std::nullopt;
  });
  CMonitorClient client(loopback(server.port()), 1000);
  EXPECT_EQ("P a 1\r\nP b 2\r\n", client.request("13"));
  EXPECT_EQ("", client.request("12"));
  EXPECT_EQ("P a 1\r\nP b 2\r\n", client.request("13"));
  EXPECT_EQ(1, server.connections());
  EXPECT_EQ((std::vector<std::string>{"13", "12", "13"}), server.lines());
}

TEST(RRMonitorClientTest, RefusedRequestAndBrokenAnswers) {
  FakeLineServer server([](const std::string& line) -> std::optional<std::string> {
    if (line == "short") return std::string("0 10\nabc");  // then silence
    if (line == "status") return std::string("1 0\n");
    return std::nullopt;
  });
  CMonitorClient refused(loopback(server.port()), 1000);
  auto f = failure([&] { refused.request("14 0 NoSuchPool"); });
  EXPECT_EQ(CToolException::TOOL_CLOSED, f.first);
  EXPECT_THAT(f.second, HasSubstr("without answering '14 0 NoSuchPool'"));
  // The client is closed after a failure instead of reading stale bytes.
  EXPECT_EQ(CToolException::TOOL_IO, failure([&] { refused.request("13"); }).first);

  CMonitorClient shortBody(loopback(server.port()), 200);
  EXPECT_EQ(CToolException::TOOL_TIMEOUT, failure([&] { shortBody.request("short"); }).first);
  CMonitorClient badStatus(loopback(server.port()), 1000);
  EXPECT_EQ(CToolException::TOOL_PROTOCOL, failure([&] { badStatus.request("status"); }).first);
}

TEST(RRMonitorClientTest, RequestLines) {
  EXPECT_EQ("13", CMonitorClient::requestLine(MONITOR_GET_POOLS));
  EXPECT_EQ("15", CMonitorClient::requestLine(MONITOR_RESET_ALL_POOLS));
  EXPECT_EQ("14 0 Pool1", CMonitorClient::requestLine(MONITOR_RESET_POOL, "Pool1"));
}

CASRequestInfo probe() {
  CASRequestInfo info("shop1", "/shop/index.html", "10.0.0.7", 0, 3);
  info.poolName = "Pool1";
  info.storeName = "Store1";
  info.siteGUID = "S1";
  return info;
}

TEST(RRGetServerTest, DatagramIsReadBackByTheRequestReader) {
  CASRequestInfo info = probe();
  info.poolMaxServersPerClient = 4;
  const std::string datagram = RRGetServerDatagram(info);
  EXPECT_EQ("1 10.0.0.7 0 3 shop1 /shop/index. html Pool1 Store1 S1 -1 -1 4 -1 /shop/index.html", datagram);
  std::istringstream in(datagram.substr(2));
  CASRequestInfo back;
  in >> back;
  EXPECT_EQ("Pool1", back.poolName);
  EXPECT_EQ(4, back.poolMaxServersPerClient);
  EXPECT_EQ("/shop/index.html", back.uri);
}

TEST(RRGetServerTest, RefusesFieldsThatWouldShiftTheRequest) {
  CASRequestInfo blank = probe();
  blank.poolName = "My Pool";
  EXPECT_THAT(failure([&] { RRGetServerDatagram(blank); }).second, HasSubstr("pool name 'My Pool'"));
  CASRequestInfo empty = probe();
  empty.siteGUID.clear();
  EXPECT_THAT(failure([&] { RRGetServerDatagram(empty); }).second, HasSubstr("site GUID"));
  CASRequestInfo big = probe();
  big.storeName = std::string(1000, 's');
  auto f = failure([&] { RRGetServerDatagram(big); });
  EXPECT_EQ(CToolException::TOOL_USAGE, f.first);
  EXPECT_THAT(f.second, HasSubstr("over 1023 bytes"));
  // Exactly at the limit still goes out.
  CASRequestInfo edge = probe();
  const std::size_t base = RRGetServerDatagram(edge).size();
  edge.storeName = std::string(RR_MAX_DATAGRAM - base + edge.storeName.size(), 's');
  EXPECT_EQ(RR_MAX_DATAGRAM, RRGetServerDatagram(edge).size());
}

TEST(RRGetServerTest, Answers) {
  RRGetServerAnswer ok = RRParseGetServerAnswer("0 10.0.0.21 801");
  EXPECT_EQ(RR_RESPONSE_OK, ok.code);
  EXPECT_EQ("10.0.0.21", ok.host);
  EXPECT_EQ(801, ok.port);
  EXPECT_EQ("OK 10.0.0.21 801", RRDescribeAnswer(ok));
  EXPECT_EQ("OK ::1 80", RRDescribeAnswer(RRParseGetServerAnswer("0 ::1 80")));
  EXPECT_EQ("TRYLATER", RRDescribeAnswer(RRParseGetServerAnswer("1")));
  EXPECT_EQ("ABORT", RRDescribeAnswer(RRParseGetServerAnswer("2")));
  EXPECT_EQ("ERROR 110000", RRDescribeAnswer(RRParseGetServerAnswer("3 110000")));
  EXPECT_EQ("ERROR -1", RRDescribeAnswer(RRParseGetServerAnswer("3 -1")));
  EXPECT_EQ("TIMEOUT", RRDescribeAnswer(RRParseGetServerAnswer("4")));
  for (const char* bad : {"", "5", "0", "0 host", "0 host 0", "0 host 70000", "0 host 80 x", "1 x", "3", "3 x",
                          "3 1 2", "10", "0  host 80", "4 "}) {
    EXPECT_EQ(CToolException::TOOL_PROTOCOL, failure([&] { RRParseGetServerAnswer(bad); }).first) << bad;
  }
}

TEST(RRGetServerTest, RoundTripOverUdp) {
  FakeDatagramServer server([](const std::string&) { return std::optional<std::string>("0 127.0.0.1 801"); });
  CToolSocket socket = CToolSocket::connectUdp(loopback(server.port()));
  socket.sendAll(RRGetServerDatagram(probe()));
  EXPECT_EQ("0 127.0.0.1 801", socket.receiveDatagram(1000));
  ASSERT_EQ(1u, server.datagrams().size());
  EXPECT_EQ(0u, server.datagrams()[0].find("1 10.0.0.7 0 3 "));
}

TEST(RRMCProtocolTest, Messages) {
  const std::string address = RRMCAddress("127.0.0.1", 801);
  EXPECT_EQ("2 0 127.0.0.1:801 Pool1 77 5\n", RRMCInitialFree(address, "Pool1", 77, 5));
  EXPECT_EQ("3 0 127.0.0.1:801 0\n", RRMCIdle(address, ""));
  EXPECT_EQ("4 4 127.0.0.1:801 0\na\x01\x01" "b", RRMCWorking(address, "a\x01\x01" "b"));
  EXPECT_EQ("5 3 127.0.0.1:801 Pool1 1\nxyz", RRMCUpdateCache(address, "Pool1", 1, "xyz"));
  EXPECT_EQ("7 0 127.0.0.1:801 0\n", RRMCFinish(address, ""));
}

TEST(RRMCProtocolTest, ReplyReaderTakesBytesInAnyPieces) {
  const std::string stream = std::string("0 0\n") + "0 5\nab\x01\x01" "c" + "2 0\n";
  CMCReplyReader reader;
  std::vector<RRMCReply> replies;
  for (char c : stream) {
    reader.feed(&c, 1);
    RRMCReply reply;
    while (reader.next(&reply)) replies.push_back(reply);
  }
  ASSERT_EQ(3u, replies.size());
  EXPECT_EQ(0, replies[0].code);
  EXPECT_EQ("", replies[0].data);
  EXPECT_EQ("ab\x01\x01" "c", replies[1].data);
  EXPECT_EQ(2, replies[2].code);
  EXPECT_EQ(0u, reader.pending());
}

TEST(RRMCProtocolTest, ReplyReaderRefusesBrokenHeaders) {
  for (const char* bad : {"x 0\n", "0\n", "0 -1\n", "0 1 2\n", "0 99999999999\n", " 0 0\n"}) {
    CMCReplyReader reader;
    reader.feed(bad, strlen(bad));
    RRMCReply reply;
    EXPECT_EQ(CToolException::TOOL_PROTOCOL, failure([&] { reader.next(&reply); }).first) << bad;
  }
  CMCReplyReader endless;
  const std::string noLineEnd(65, '0');
  endless.feed(noLineEnd.data(), noLineEnd.size());
  RRMCReply reply;
  EXPECT_EQ(CToolException::TOOL_PROTOCOL, failure([&] { endless.next(&reply); }).first);
}

}  // namespace
