// XMLConfigValidator_test.cpp - schema validation and cross checks: the
// validator on its own, and whole configuration documents that a real
// configuration mistake would produce, each with its exact message.
#include "XMLConfigValidator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Exception.h"
#include "TestSupport.h"
#include "XMLConfig.h"
#include "XMLTestSupport.h"

using namespace XMLConfig;
typedef CDataDescriptor D;

namespace {

using testsupport::ErrorOf;
using xmltest::Doc;

TEST(DataDescriptor, IsValidPerType) {
  struct Case {
    D::DataType type;
    const char* value;
    bool valid;
  } cases[] = {
      {D::DATA_INT, "-12", true},       {D::DATA_INT, "12 ", false},       {D::DATA_INT, "", false},
      {D::DATA_INT_LIST, "1-3,5", true}, {D::DATA_INT_LIST, "1-2-3", false}, {D::DATA_INT_LIST, "", true},
      {D::DATA_BOOLEAN, "on", true},     {D::DATA_BOOLEAN, "On", false},
      {D::DATA_IP, "::1", true},         {D::DATA_IP, "localhost", false},
      {D::DATA_HOSTNAME, "localhost", true}, {D::DATA_HOSTNAME, "local_host", false},
      {D::DATA_PORT, "0", true},         {D::DATA_PORT, "65535", true},     {D::DATA_PORT, "65536", false},
      {D::DATA_PORT, "-1", false},       {D::DATA_PORT, " 80", true},       {D::DATA_PORT, "80 ", false},
      {D::DATA_TEXT, "", true},          {D::DATA_TEXT, nullptr, true},     {D::DATA_INT, nullptr, false},
      {D::DATA_ADDRESS_LIST, "10.0.0.0/8,::1", true}, {D::DATA_ADDRESS_LIST, "", false},
      {D::DATA_ADDRESS_LIST, nullptr, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.valid, CDataDescriptor::isValid(c.value, c.type, UserValidationFunc()))
        << c.type << " [" << (c.value ? c.value : "null") << "]";
  EXPECT_TRUE(CDataDescriptor::isValid("x", D::DATA_USER, [](const std::string& v) { return v == "x"; }));
  EXPECT_FALSE(CDataDescriptor::isValid("y", D::DATA_USER, [](const std::string& v) { return v == "x"; }));
}

TEST(DataDescriptor, OnlyParserFailuresMeanInvalid) {
  auto throwsOther = [](const std::string&) -> bool { throw std::runtime_error("boom"); };
  EXPECT_THROW(CDataDescriptor::isValid("x", D::DATA_USER, throwsOther), std::runtime_error);
}

TEST(DataDescriptorDeathTest, CallbackWithoutUserTypeEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto cb = [](const std::string&) { return true; };
  EXPECT_EXIT(CDataDescriptor::isValid("1", D::DATA_INT, cb), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(CDataDescriptor::isValid("1", D::DATA_USER, UserValidationFunc()), ::testing::ExitedWithCode(1), "");
}

TEST(DataDescriptor, ExtensionAndNameCallbacks) {
  EXPECT_TRUE(checkLimitExtension(".jsp"));
  EXPECT_TRUE(checkLimitExtension("."));
  EXPECT_FALSE(checkLimitExtension(""));
  EXPECT_FALSE(checkLimitExtension("jsp"));
  EXPECT_FALSE(checkLimitExtension(" .jsp"));
}

TEST(NodeValidator, DuplicateDescriptorsAreRefused) {
  const CNodeDescriptor nodes[] = {CNodeDescriptor("a", 0, 1, NODE_ELEMENT, D::DATA_TEXT),
                                   CNodeDescriptor("a", 0, 1, NODE_DATA, D::DATA_INT)};
  const CAttributeDescriptor attrs[] = {CAttributeDescriptor("x", D::DATA_INT, false),
                                        CAttributeDescriptor("x", D::DATA_TEXT, true)};
  // Children are added before attributes, so the node error comes first.
  EXPECT_EQ("CNodeValidator::addNode(): node type already in validation map",
            ErrorOf([&] { CNodeValidator v(attrs, 2, nodes, 2); }));
  EXPECT_EQ("CNodeValidator::addAttribute(): attribute type already in validation map",
            ErrorOf([&] { CNodeValidator v(attrs, 2, nodes, 1); }));
  CNodeValidator v(nullptr, 5, nullptr, 5);
  EXPECT_TRUE(v.validChildNodes().empty());
  EXPECT_TRUE(v.validAttributes().empty());
  EXPECT_EQ("CNodeValidator::validate(): validation of NULL node failed.", ErrorOf([&] { v.validate(nullptr); }));
}

TEST(NodeValidator, DescriptorsAlwaysAllowComments) {
  CNodeDescriptor none("n", 0, 1, NODE_NONE, D::DATA_TEXT);
  EXPECT_EQ(NodeTypeSet{rapidxml::node_comment}, none.ValidContent);
  CNodeDescriptor all("n", 0, 1, NODE_ALL, D::DATA_TEXT);
  EXPECT_EQ((NodeTypeSet{rapidxml::node_element, rapidxml::node_data, rapidxml::node_cdata,
                         rapidxml::node_comment}),
            all.ValidContent);
}

// A small schema: <root kind=".." [size=int]> with 1..2 <item> holding an
// integer text, at most one <blob> holding CDATA, and any <group>s.
class SmallSchema : public ::testing::Test {
 protected:
  const CAttributeDescriptor attrs[2] = {CAttributeDescriptor("kind", D::DATA_TEXT, true),
                                         CAttributeDescriptor("size", D::DATA_INT, false)};
  const CNodeDescriptor nodes[3] = {CNodeDescriptor("item", 1, 2, NODE_DATA, D::DATA_INT),
                                    CNodeDescriptor("blob", 0, 1, NODE_CDATA, D::DATA_INT),
                                    CNodeDescriptor("group", 0, CNodeDescriptor::Unbounded, NODE_ELEMENT,
                                                    D::DATA_TEXT)};
  CNodeValidator validator{attrs, 2, nodes, 3};

  std::string check(const std::string& xml) {
    Doc doc(xml);
    return ErrorOf([&] { validator.validate(doc.root()); });
  }
};

TEST_F(SmallSchema, Messages) {
  const std::string V = "CNodeValidator::validateChildNodes(): validation failed. ";
  const std::string A = "CNodeValidator::validateAttributes(): validation failed. ";
  struct Case {
    const char* xml;
    std::string expected;
  } cases[] = {
      {"<root kind='k'><item>1</item><blob><![CDATA[not a number]]></blob><group><x/></group></root>", "<none>"},
      {"<root kind='k'><item>1</item><item>2</item><bad/></root>", V + "Invalid child node 'bad' in node 'root'."},
      {"<root kind='k'/>", V + "Too few child nodes (found 0, minimum is 1) of type 'item' in node 'root'"},
      {"<root kind='k'><item>1</item><item>2</item><item>3</item></root>",
       V + "Too many child nodes (found 3, maximum is 2) of type 'item' in node 'root'"},
      {"<root kind='k'><item>1<x/></item></root>", V + "Child node 'x' in node 'item' has invalid content ('')"},
      {"<root kind='k'><item><![CDATA[7]]></item></root>",
       V + "Child node '' in node 'item' has invalid content ('7')"},
      {"<root kind='k'><item>1</item><group>text</group></root>",
       V + "Child node '' in node 'group' has invalid content ('text')"},
      {"<root kind='k'><item>1 </item></root>", A + "Value '1 ' in 'item' is not a valid integer value"},
      {"<root kind='k'><item>1<!-- c -->2</item></root>", "<none>"},
      {"<root kind='k' size='x'><item>1</item></root>", A + "Value 'x' in 'size' is not a valid integer value"},
      {"<root size='1'><item>1</item></root>", A + "Mandatory attribute 'kind' not found in node 'root'"},
      {"<root Kind='k'><item>1</item></root>", A + "Unknown attribute 'Kind' in node 'root'"},
      // Children are judged before attributes, and all unknown names before counts.
      {"<root size='x'><bad/></root>", V + "Invalid child node 'bad' in node 'root'."},
      {"<root kind='k'><item>1</item><item>2</item><item>3</item><bad/></root>",
       V + "Invalid child node 'bad' in node 'root'."},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, check(c.xml)) << c.xml;
}

TEST(DataValidationMessage, NamesTheExpectedType) {
  struct Case {
    D::DataType type;
    const char* tail;
  } cases[] = {{D::DATA_INT, "is not a valid integer value"},
               {D::DATA_INT_LIST, "is not a valid integer list"},
               {D::DATA_BOOLEAN, "is not a valid boolean value"},
               {D::DATA_IP, "is not a valid IP address"},
               {D::DATA_HOSTNAME, "is not a valid IP address or hostname"},
               {D::DATA_PORT, "is not a valid port value"},
               {D::DATA_TEXT, "is not valid"},
               {D::DATA_USER, "is not valid"},
               {D::DATA_ADDRESS_LIST, "is not a valid address list"}};
  for (const Case& c : cases)
    EXPECT_EQ(std::string("F(): validation failed. Value 'v' in 'loc' ") + c.tail,
              ErrorOf([&] { CNodeValidator::throwDataValidationException("F()", c.type, "v", "loc"); }));
}

// ---- whole documents ----

const char* const Routers =
    "<requestrouters>"
    "<requestrouter name='RR1' host='127.0.0.1' port='47000' mc_port='47001' monitor_port='47002'/>"
    "</requestrouters>";
const char* const Pool =
    "<pool name='P'><requestrouters><requestrouter>RR1</requestrouter></requestrouters>"
    "<appservers><appserver host='10.0.0.5' ports='81-82'/></appservers></pool>";
const char* const Cache = "<cacheservers><server host='127.0.0.1' port='47100'/></cacheservers>";

std::string config(const std::string& routers, const std::string& pools, const std::string& cache) {
  return "<config>" + routers + pools + cache + "</config>";
}
std::string withPools(const std::string& pools) { return config(Routers, "<pools>" + pools + "</pools>", Cache); }
std::string withRouters(const std::string& routers) {
  return config("<requestrouters>" + routers + "</requestrouters>", std::string("<pools>") + Pool + "</pools>",
                Cache);
}
std::string withPoolBody(const std::string& body) { return withPools("<pool name='P'>" + body + "</pool>"); }
std::string withAppServer(const std::string& appserver) {
  return withPoolBody("<requestrouters><requestrouter>RR1</requestrouter></requestrouters><appservers>" +
                      appserver + "</appservers>");
}
std::string withCache(const std::string& servers) {
  return config(Routers, std::string("<pools>") + Pool + "</pools>", "<cacheservers>" + servers + "</cacheservers>");
}

std::string load(const std::string& xml) {
  CConfigFile file;
  return ErrorOf([&] { file.parse(xml); });
}

struct DocCase {
  const char* what;
  std::string xml;
  std::string expected;
};

const std::string V = "CNodeValidator::validateChildNodes(): validation failed. ";
const std::string A = "CNodeValidator::validateAttributes(): validation failed. ";

TEST(ConfigDocument, SchemaMistakes) {
  const DocCase cases[] = {
      {"valid base", withPools(Pool), "<none>"},
      {"no cacheservers", config(Routers, std::string("<pools>") + Pool + "</pools>", ""),
       V + "Too few child nodes (found 0, minimum is 1) of type 'cacheservers' in node 'config'"},
      {"neither pools nor cacheservers", config(Routers, "", ""),
       V + "Too few child nodes (found 0, minimum is 1) of type 'cacheservers' in node 'config'"},
      {"no requestrouters", config("", std::string("<pools>") + Pool + "</pools>", Cache),
       V + "Too few child nodes (found 0, minimum is 1) of type 'requestrouters' in node 'config'"},
      {"two pools sections", config(Routers, std::string("<pools>") + Pool + "</pools><pools/>", Cache),
       V + "Too many child nodes (found 2, maximum is 1) of type 'pools' in node 'config'"},
      {"unknown section", config(Routers, std::string("<pools>") + Pool + "</pools><server/>", Cache),
       V + "Invalid child node 'server' in node 'config'."},
      {"text inside pools", withPools(std::string(Pool) + "oops"),
       V + "Child node '' in node 'pools' has invalid content ('oops')"},
      {"no pool", withPools(""), V + "Too few child nodes (found 0, minimum is 1) of type 'pool' in node 'pools'"},
      {"no cache server", withCache(""),
       V + "Too few child nodes (found 0, minimum is 1) of type 'server' in node 'cacheservers'"},
      {"Name with capital N", withPools("<pool Name='P'/>"), A + "Unknown attribute 'Name' in node 'pool'"},
      {"pool without name", withPools("<pool/>"), A + "Mandatory attribute 'name' not found in node 'pool'"},
      {"appserver directly in pool", withPoolBody("<appserver host='h' ports='1'/>"),
       V + "Invalid child node 'appserver' in node 'pool'."},
      {"two limits", withPoolBody("<limits/><limits/>"),
       V + "Too many child nodes (found 2, maximum is 1) of type 'limits' in node 'pool'"},
      {"invalid child reported before bad attribute", withPools("<pool bad='1'><x/></pool>"),
       V + "Invalid child node 'x' in node 'pool'."},
      {"extension limit with trailing blank",
       withPoolBody("<limits><servers_per_extension extension='.jsp'>5 </servers_per_extension></limits>"),
       A + "Value '5 ' in 'servers_per_extension' is not a valid integer value"},
      {"extension without dot",
       withPoolBody("<limits><servers_per_extension extension='jsp'>5</servers_per_extension></limits>"),
       A + "Value 'jsp' in 'extension' is not valid"},
      {"empty extension",
       withPoolBody("<limits><servers_per_extension extension=''>5</servers_per_extension></limits>"),
       A + "Value '' in 'extension' is not valid"},
      {"extension limit without extension", withPoolBody("<limits><servers_per_extension>5</servers_per_extension></limits>"),
       A + "Mandatory attribute 'extension' not found in node 'servers_per_extension'"},
      {"empty extension limit",
       withPoolBody("<limits><servers_per_extension extension='.jsp'></servers_per_extension></limits>"),
       "Parser::parseNumber(): invalid value '' in node 'servers_per_extension"},
      {"extension limit below -1",
       withPoolBody("<limits><servers_per_extension extension='.jsp'>-2</servers_per_extension></limits>"),
       "Parser::parseNumber(): invalid value '-2' in node 'servers_per_extension"},
      {"site limit not a number", withPoolBody("<limits servers_per_site='many'/>"),
       A + "Value 'many' in 'servers_per_site' is not a valid integer value"},
      {"element in pool router", withPoolBody("<requestrouters><requestrouter><b>RR1</b></requestrouter></requestrouters>"),
       V + "Child node 'b' in node 'requestrouter' has invalid content ('RR1')"},
      {"CDATA in pool router",
       withPoolBody("<requestrouters><requestrouter><![CDATA[RR1]]></requestrouter></requestrouters>"),
       V + "Child node '' in node 'requestrouter' has invalid content ('RR1')"},
      {"attribute on pool router",
       withPoolBody("<requestrouters><requestrouter name='RR1'>RR1</requestrouter></requestrouters>"),
       A + "Unknown attribute 'name' in node 'requestrouter'"},
      {"router port not a port", withRouters("<requestrouter name='RR1' host='127.0.0.1' port='x'/>"),
       A + "Value 'x' in 'port' is not a valid port value"},
      {"router port too big", withRouters("<requestrouter name='RR1' host='127.0.0.1' port='65536'/>"),
       A + "Value '65536' in 'port' is not a valid port value"},
      {"port with trailing blank", withRouters("<requestrouter name='RR1' host='127.0.0.1' port='47000 '/>"),
       A + "Value '47000 ' in 'port' is not a valid port value"},
      {"port 0 passes the schema, not the reader",
       withRouters("<requestrouter name='RR1' host='127.0.0.1' port='0'/>"),
       "Parser::parseAttrNumber(): invalid value '0' in node 'requestrouter' attribute 'port'"},
      {"mc_port 0", withRouters("<requestrouter name='RR1' host='127.0.0.1' port='1' mc_port='0'/>"),
       "Parser::parseAttrNumber(): invalid value '0' in node 'requestrouter' attribute 'mc_port'"},
      {"bind TRUE", withRouters("<requestrouter name='RR1' host='127.0.0.1' port='1' bind='TRUE'/>"),
       A + "Value 'TRUE' in 'bind' is not a valid boolean value"},
      {"router host with underscore", withRouters("<requestrouter name='RR1' host='rr_1' port='1'/>"),
       A + "Value 'rr_1' in 'host' is not a valid IP address or hostname"},
      {"router without host", withRouters("<requestrouter name='RR1' port='1'/>"),
       A + "Mandatory attribute 'host' not found in node 'requestrouter'"},
      {"unknown attribute before missing mandatory one", withRouters("<requestrouter nmae='RR1' host='h' port='1'/>"),
       A + "Unknown attribute 'nmae' in node 'requestrouter'"},
      {"child inside router", withRouters("<requestrouter name='RR1' host='h' port='1'><x/></requestrouter>"),
       V + "Invalid child node 'x' in node 'requestrouter'."},
      {"text inside router", withRouters("<requestrouter name='RR1' host='h' port='1'>RR1</requestrouter>"),
       V + "Child node '' in node 'requestrouter' has invalid content ('RR1')"},
      {"negative queue length",
       config("<requestrouters max_cache_items='-1'/>", std::string("<pools><pool name='P'/></pools>"), Cache),
       "Parser::parseAttrNumber(): invalid value '-1' in node 'requestrouters' attribute 'max_cache_items'"},
      {"ports not a list", withAppServer("<appserver host='10.0.0.5' ports='81,x'/>"),
       A + "Value '81,x' in 'ports' is not a valid integer list"},
      {"ports out of range", withAppServer("<appserver host='10.0.0.5' ports='0-2'/>"),
       "XMLConfig::Parser::parseIntList(): invalid value '0-2' in node 'appserver' attribute 'ports'"},
      {"huge port range", withAppServer("<appserver host='10.0.0.5' ports='1-2000000000'/>"),
       "XMLConfig::Parser::parseIntList(): invalid value '1-2000000000' in node 'appserver' attribute 'ports'"},
      {"priority not a number", withAppServer("<appserver host='10.0.0.5' ports='81' priority='high'/>"),
       A + "Value 'high' in 'priority' is not a valid integer value"},
      {"maxmemory not a number", withAppServer("<appserver host='10.0.0.5' ports='81' maxmemory='1G'/>"),
       A + "Value '1G' in 'maxmemory' is not a valid integer value"},
      {"appserver without ports", withAppServer("<appserver host='10.0.0.5'/>"),
       A + "Mandatory attribute 'ports' not found in node 'appserver'"},
      {"cache flag", withCache("<server host='127.0.0.1' port='47100' enable_cache='maybe'/>"),
       A + "Value 'maybe' in 'enable_cache' is not a valid boolean value"},
      {"cache port 0", withCache("<server host='127.0.0.1' port='0'/>"),
       "Parser::parseAttrNumber(): invalid value '0' in node 'server' attribute 'port'"},
  };
  for (const DocCase& c : cases) EXPECT_EQ(c.expected, load(c.xml)) << c.what;
}

TEST(ConfigDocument, CrossChecks) {
  const std::string U = "checkUniquePorts(): ";
  const DocCase cases[] = {
      {"appservers without requestrouters element", withPoolBody("<appservers><appserver host='h' ports='1'/></appservers>"),
       "checkPools(): Application servers, but no RequestRouters assigned to pool 'P'"},
      {"appservers with empty requestrouters",
       withPoolBody("<requestrouters/><appservers><appserver host='h' ports='1'/></appservers>"),
       "checkPools(): Application servers, but no RequestRouters assigned to pool 'P'"},
      {"pool without appservers needs no router", withPoolBody(""), "<none>"},
      {"checkPools runs first",
       withPools("<pool name='A'><requestrouters><requestrouter>RR9</requestrouter></requestrouters></pool>"
                 "<pool name='B'><appservers><appserver host='h' ports='47000'/></appservers></pool>"),
       "checkPools(): Application servers, but no RequestRouters assigned to pool 'B'"},
      {"unknown router", withPoolBody("<requestrouters><requestrouter>RR2</requestrouter></requestrouters>"),
       "checkReqRouterAssignments(): Nonexistant request router 'RR2' assigned to pool 'P'"},
      {"empty router name", withPoolBody("<requestrouters><requestrouter></requestrouter></requestrouters>"),
       "checkReqRouterAssignments(): Nonexistant request router '' assigned to pool 'P'"},
      {"router name with blanks", withPoolBody("<requestrouters><requestrouter> RR1</requestrouter></requestrouters>"),
       "checkReqRouterAssignments(): Nonexistant request router ' RR1' assigned to pool 'P'"},
      {"unknown routers reported in name order",
       withPoolBody("<requestrouters><requestrouter>RR1</requestrouter><requestrouter>Z</requestrouter>"
                    "<requestrouter>M</requestrouter></requestrouters>"),
       "checkReqRouterAssignments(): Nonexistant request router 'M' assigned to pool 'P'"},
      {"port equals mc_port", withRouters("<requestrouter name='RR1' host='127.0.0.1' port='47000' mc_port='47000'/>"),
       U + "Port 47000, assigned to request router 'RR1', has already been assigned to another service on host 127.0.0.1"},
      {"two routers on one host",
       withRouters("<requestrouter name='RR1' host='127.0.0.1' port='47000' mc_port='47001'/>"
                   "<requestrouter name='RR0' host='127.0.0.1' port='47001'/>"),
       U + "Port 47001, assigned to request router 'RR1', has already been assigned to another service on host 127.0.0.1"},
      {"two routers on different hosts",
       withRouters("<requestrouter name='RR1' host='127.0.0.1' port='47000' mc_port='47001'/>"
                   "<requestrouter name='RR2' host='127.0.0.2' port='47000' mc_port='47001'/>"),
       "<none>"},
      {"a name and its address are different hosts",
       withRouters("<requestrouter name='RR1' host='127.0.0.1' port='47000'/>"
                   "<requestrouter name='RR2' host='localhost' port='47000'/>"),
       "<none>"},
      {"appserver lists a port twice", withAppServer("<appserver host='10.0.0.5' ports='81,81'/>"),
       U + "Port 81, assigned to application server '10.0.0.5_81,81' in pool 'P', has already been assigned to "
           "another service on host 10.0.0.5"},
      {"appserver range overlaps itself", withAppServer("<appserver host='10.0.0.5' ports='81-83 83-85'/>"),
       U + "Port 83, assigned to application server '10.0.0.5_81-83 83-85' in pool 'P', has already been "
           "assigned to another service on host 10.0.0.5"},
      {"appserver takes a router port", withAppServer("<appserver host='127.0.0.1' ports='47002'/>"),
       U + "Port 47002, assigned to application server '127.0.0.1_47002' in pool 'P', has already been assigned "
           "to another service on host 127.0.0.1"},
      {"appservers of two pools",
       withPools(std::string(Pool) +
                 "<pool name='Q'><requestrouters><requestrouter>RR1</requestrouter></requestrouters>"
                 "<appservers><appserver host='10.0.0.5' ports='90 82'/></appservers></pool>"),
       U + "Port 82, assigned to application server '10.0.0.5_90 82' in pool 'Q', has already been assigned to "
           "another service on host 10.0.0.5"},
      {"one appserver written twice is kept once",
       withAppServer("<appserver host='10.0.0.5' ports='81'/><appserver host='10.0.0.5' ports='81'/>"), "<none>"},
      {"same ports written differently",
       withAppServer("<appserver host='10.0.0.5' ports='81,82'/><appserver host='10.0.0.5' ports='81 82'/>"),
       U + "Port 81, assigned to application server '10.0.0.5_81,82' in pool 'P', has already been assigned to "
           "another service on host 10.0.0.5"},
      {"cache server takes a router port", withCache("<server host='127.0.0.1' port='47001'/>"),
       U + "CacheServer port 47001 on host '127.0.0.1' has already been assigned to another service on host 127.0.0.1"},
      {"two cache servers share a port",
       withCache("<server host='10.0.0.9' port='5000'/><server host='10.0.0.9' port='5000' bind='false'/>"),
       U + "CacheServer port 5000 on host '10.0.0.9' has already been assigned to another service on host 10.0.0.9"},
      {"cache server takes an appserver port", withCache("<server host='10.0.0.5' port='82'/>"),
       U + "CacheServer port 82 on host '10.0.0.5' has already been assigned to another service on host 10.0.0.5"},
  };
  for (const DocCase& c : cases) EXPECT_EQ(c.expected, load(c.xml)) << c.what;
}

TEST(ConfigDocument, CommentsMayStandAnywhere) {
  const std::string xml =
      "<!-- head --><config><!-- a --><requestrouters><!-- b -->"
      "<requestrouter name='RR1' host='127.0.0.1' port='47000'/></requestrouters>"
      "<pools><pool name='P'><limits><servers_per_extension extension='.x'><!-- c -->3</servers_per_extension>"
      "</limits><requestrouters><requestrouter>RR1<!-- d --></requestrouter></requestrouters></pool></pools>"
      "<cacheservers><!-- e --><server host='127.0.0.1' port='47100'/></cacheservers></config>";
  CConfigFile file;
  ASSERT_NO_THROW(file.parse(xml));
  EXPECT_EQ(3, file.getConfig()->pools.poolByName("P")->limits.extensionLimit(".x"));
  EXPECT_EQ("RR1", file.getConfig()->pools.poolByName("P")->requestrouters.router_names.front());
}

}  // namespace
