/* XMLConfigValidator.h - schema validation of configuration elements and
 * the cross checks over a finished configuration model.
 *
 * A CNodeValidator holds the descriptors of the attributes an element may
 * carry and of the child elements it may hold (name, how often, what they
 * may contain, the data type of their text). validate() refuses anything
 * not described, a value of the wrong type, a wrong child count and a
 * missing mandatory attribute, each with a CException naming the element.
 * The cross checks find what a per-element schema cannot: application
 * servers without routers, a port used twice on one host and a pool naming
 * an unknown router.
 *
 * Thread safety: validators are built during static initialisation and only
 * read afterwards; validate() and the checks keep no state and may run in
 * any number of threads.
 */
#ifndef XMLCONFIGVALIDATOR_H
#define XMLCONFIGVALIDATOR_H

#include <stdint.h>

#include <functional>
#include <map>
#include <set>
#include <string>

#include <rapidxml/rapidxml.hpp>

namespace XMLConfig {

class Config;

/* Validates a value of type DATA_USER: true when the value is valid. */
typedef std::function<bool(const std::string&)> UserValidationFunc;

/* The content kinds an element may hold, as a bit set. Comments are always
 * allowed. */
enum NodeTypes {
  NODE_NONE = 0,
  NODE_ELEMENT = 1,
  NODE_DATA = 2,
  NODE_CDATA = 4,
  NODE_COMMENT = 8,
  NODE_ALL = NODE_ELEMENT | NODE_DATA | NODE_CDATA | NODE_COMMENT
};

/* Set of rapidxml node kinds. */
typedef std::set<rapidxml::node_type> NodeTypeSet;

/* The data types of attribute values and element texts. */
class CDataDescriptor {
 public:
  enum DataType {
    DATA_INT = 0,
    DATA_INT_LIST = 1,
    DATA_BOOLEAN = 2,
    DATA_IP = 3,
    DATA_HOSTNAME = 4,
    DATA_PORT = 5,
    DATA_TEXT = 6,
    DATA_USER = 7,
    DATA_ADDRESS_LIST = 8 /* addresses and CIDR prefixes, blank or comma separated */
  };

  /* True when data is a valid value of the type; a parser failure means
   * "not valid". A callback other than with DATA_USER, or DATA_USER without
   * one, is a programming error that ends the process. */
  static bool isValid(const char* data, DataType validContent, const UserValidationFunc& callback);
};

/* One attribute an element may carry. */
class CAttributeDescriptor {
 public:
  CAttributeDescriptor(const std::string& name, CDataDescriptor::DataType type, bool mandatory,
                       const UserValidationFunc& callback = UserValidationFunc());

  std::string Name;
  bool Mandatory;
  CDataDescriptor::DataType ValidContent;
  UserValidationFunc UserCallback;
};

/* One child element as seen from its parent. */
class CNodeDescriptor {
 public:
  /* Written for MaxCount when there is no maximum. */
  static constexpr uint32_t Unbounded = 4294967295u;

  /* contentTypes is a NodeTypes bit set; comments are always added. */
  CNodeDescriptor(const std::string& name, uint32_t minCount, uint32_t maxCount,
                  unsigned contentTypes, CDataDescriptor::DataType dataType,
                  const UserValidationFunc& callback = UserValidationFunc());

  std::string Name;
  uint32_t MinCount;
  uint32_t MaxCount;
  NodeTypeSet ValidContent;
  CDataDescriptor::DataType ValidData;
  UserValidationFunc UserCallback;
};

typedef std::map<std::string, CNodeDescriptor> NodeDescriptorMap;
typedef std::map<std::string, CAttributeDescriptor> AttributeDescriptorMap;

/* The schema of one element: its valid children and attributes. */
class CNodeValidator {
 public:
  /* Adds the child descriptors (when nodes is not null), then the attribute
   * descriptors (when attributes is not null); a name given twice throws. */
  CNodeValidator(const CAttributeDescriptor* attributes, unsigned numAttributes,
                 const CNodeDescriptor* nodes, unsigned numNodes);
  CNodeValidator(const CNodeValidator&) = delete;
  CNodeValidator& operator=(const CNodeValidator&) = delete;

  /* Throws "CNodeValidator::addNode(): node type already in validation map"
   * for a name already present. */
  void addNode(const CNodeDescriptor& descriptor);
  void addNodes(const CNodeDescriptor* descriptors, unsigned count);
  /* Throws "CNodeValidator::addAttribute(): attribute type already in
   * validation map" for a name already present. */
  void addAttribute(const CAttributeDescriptor& descriptor);
  void addAttributes(const CAttributeDescriptor* descriptors, unsigned count);

  /* Validates the children, then the attributes of the element; throws
   * CException at the first fault, and for a null element. */
  void validate(const rapidxml::xml_node<>* node) const;
  /* Unknown child elements, child content and text, child counts. */
  void validateChildNodes(const rapidxml::xml_node<>* node) const;
  /* Unknown attributes, attribute values, missing mandatory attributes. */
  void validateAttributes(const rapidxml::xml_node<>* node) const;
  /* The content kinds and the text of one child element. */
  void validateContentTypes(const rapidxml::xml_node<>* child, const CNodeDescriptor& descriptor) const;

  /* Throws origin + ": validation failed. Value '<value>' in '<location>"
   * followed by the text naming the expected type. */
  [[noreturn]] static void throwDataValidationException(const std::string& origin,
                                                        CDataDescriptor::DataType expectedType,
                                                        const std::string& value,
                                                        const std::string& location);

  const NodeDescriptorMap& validChildNodes() const { return mValidChildNodes; }
  const AttributeDescriptorMap& validAttributes() const { return mValidAttributes; }

 private:
  NodeDescriptorMap mValidChildNodes;
  AttributeDescriptorMap mValidAttributes;
};

/* Throws when a pool has application servers but no router names. A null
 * model is a programming error that ends the process. */
void checkPools(const Config* config);
/* Throws when a port is used twice on one host (hosts compared as written)
 * by routers, application servers or cache servers. */
void checkUniquePorts(const Config* config);
/* Throws when a pool names a router that is not defined. */
void checkReqRouterAssignments(const Config* config);

}  // namespace XMLConfig

#endif /* XMLCONFIGVALIDATOR_H */
