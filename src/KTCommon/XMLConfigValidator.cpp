/* XMLConfigValidator.cpp - schema validation of one configuration element.
 *
 * The validator walks the element's children (names, content kinds, text
 * values, counts), then its attributes (names, values, mandatory ones),
 * and throws CException at the first fault. Values are judged by the
 * parsers of XMLConfigParser: any CException of a parser means "not valid".
 */
#include "XMLConfigValidator.h"

#include <limits>

#include "Exception.h"
#include "KTAddressList.h"
#include "KTDebug.h"
#include "XMLConfigParser.h"

namespace XMLConfig {

namespace {

const char* const ValidatorSource = "XMLConfigValidator";

std::string nameOf(const rapidxml::xml_node<>* node) {
  return std::string(node->name(), node->name_size());
}

std::string valueOf(const rapidxml::xml_node<>* node) {
  return std::string(node->value(), node->value_size());
}

/* The rapidxml node kinds for the NodeTypes bits, bit 0 to bit 3. */
NodeTypeSet nodeTypeSet(unsigned contentTypes) {
  NodeTypeSet kinds;
  contentTypes |= NODE_COMMENT;
  if (contentTypes & NODE_ELEMENT) kinds.insert(rapidxml::node_element);
  if (contentTypes & NODE_DATA) kinds.insert(rapidxml::node_data);
  if (contentTypes & NODE_CDATA) kinds.insert(rapidxml::node_cdata);
  if (contentTypes & NODE_COMMENT) kinds.insert(rapidxml::node_comment);
  return kinds;
}

}  // namespace

/* ---- descriptors ---- */

bool CDataDescriptor::isValid(const char* data, DataType validContent,
                              const UserValidationFunc& callback) {
  KT_ASSERT(!callback || validContent == DATA_USER, ValidatorSource);
  const int intMin = std::numeric_limits<int>::min();
  const int intMax = std::numeric_limits<int>::max();
  try {
    switch (validContent) {
      case DATA_INT:
        Parser::parseNumber<int>(data, intMin, intMax);
        return true;
      case DATA_INT_LIST:
        Parser::checkIntList(data, intMin, intMax);
        return true;
      case DATA_BOOLEAN:
        Parser::parseBool(data);
        return true;
      case DATA_IP:
        Parser::parseIP(data, false, false);
        return true;
      case DATA_HOSTNAME:
        Parser::parseIP(data, true, true);
        return true;
      case DATA_PORT: {
        int port = Parser::parseNumber<int>(data, intMin, intMax);
        if (port < 0 || port > 65535) throw CException("Not a port number");
        return true;
      }
      case DATA_TEXT:
        return true;
      case DATA_ADDRESS_LIST:
        return CAddressList::isValid(data ? data : "");
      case DATA_USER:
        KT_ASSERT(callback, ValidatorSource);
        return callback(std::string(data ? data : ""));
    }
  } catch (const CException&) {
    return false;
  }
  return false;
}

CAttributeDescriptor::CAttributeDescriptor(const std::string& name, CDataDescriptor::DataType type,
                                           bool mandatory, const UserValidationFunc& callback)
    : Name(name), Mandatory(mandatory), ValidContent(type), UserCallback(callback) {}

CNodeDescriptor::CNodeDescriptor(const std::string& name, uint32_t minCount, uint32_t maxCount,
                                 unsigned contentTypes, CDataDescriptor::DataType dataType,
                                 const UserValidationFunc& callback)
    : Name(name),
      MinCount(minCount),
      MaxCount(maxCount),
      ValidContent(nodeTypeSet(contentTypes)),
      ValidData(dataType),
      UserCallback(callback) {}

/* ---- validator ---- */

/* Throws CException when a table names a child or attribute twice. */
CNodeValidator::CNodeValidator(const CAttributeDescriptor* attributes, unsigned numAttributes,
                               const CNodeDescriptor* nodes, unsigned numNodes) {
  if (nodes) addNodes(nodes, numNodes);
  if (attributes) addAttributes(attributes, numAttributes);
}

/* Throws CException when the name is already present. */
void CNodeValidator::addNode(const CNodeDescriptor& descriptor) {
  if (!mValidChildNodes.emplace(descriptor.Name, descriptor).second)
    throw CException("CNodeValidator::addNode(): node type already in validation map");
}

/* Throws CException at the first name already present. */
void CNodeValidator::addNodes(const CNodeDescriptor* descriptors, unsigned count) {
  for (unsigned i = 0; i < count; ++i) addNode(descriptors[i]);
}

/* Throws CException when the name is already present. */
void CNodeValidator::addAttribute(const CAttributeDescriptor& descriptor) {
  if (!mValidAttributes.emplace(descriptor.Name, descriptor).second)
    throw CException("CNodeValidator::addAttribute(): attribute type already in validation map");
}

/* Throws CException at the first name already present. */
void CNodeValidator::addAttributes(const CAttributeDescriptor* descriptors, unsigned count) {
  for (unsigned i = 0; i < count; ++i) addAttribute(descriptors[i]);
}

/* Throws CException for a null element and at the first fault of the element. */
void CNodeValidator::validate(const rapidxml::xml_node<>* node) const {
  if (!node) throw CException("CNodeValidator::validate(): validation of NULL node failed.");
  validateChildNodes(node);
  validateAttributes(node);
}

/* Throws CException for an unknown child, bad child content or a wrong child count. */
void CNodeValidator::validateChildNodes(const rapidxml::xml_node<>* node) const {
  std::map<std::string, uint32_t> counts;
  for (const rapidxml::xml_node<>* child = node->first_node(); child;
       child = child->next_sibling()) {
    if (child->type() != rapidxml::node_element) continue;
    const std::string childName = nameOf(child);
    NodeDescriptorMap::const_iterator it = mValidChildNodes.find(childName);
    if (it == mValidChildNodes.end())
      throw CException("CNodeValidator::validateChildNodes(): validation failed. Invalid child node '" +
                       childName + "' in node '" + nameOf(node) + "'.");
    validateContentTypes(child, it->second);
    ++counts[childName];
  }

  for (const auto& entry : mValidChildNodes) {
    const CNodeDescriptor& descriptor = entry.second;
    std::map<std::string, uint32_t>::const_iterator seen = counts.find(descriptor.Name);
    const uint32_t count = seen == counts.end() ? 0 : seen->second;
    if (count < descriptor.MinCount)
      throw CException(
          "CNodeValidator::validateChildNodes(): validation failed. Too few child nodes (found " +
          std::to_string(count) + ", minimum is " + std::to_string(descriptor.MinCount) +
          ") of type '" + descriptor.Name + "' in node '" + nameOf(node) + "'");
    if (count > descriptor.MaxCount)
      throw CException(
          "CNodeValidator::validateChildNodes(): validation failed. Too many child nodes (found " +
          std::to_string(count) + ", maximum is " + std::to_string(descriptor.MaxCount) +
          ") of type '" + descriptor.Name + "' in node '" + nameOf(node) + "'");
  }
}

/* Throws CException for a content kind not allowed or a text of the wrong type. */
void CNodeValidator::validateContentTypes(const rapidxml::xml_node<>* child,
                                          const CNodeDescriptor& descriptor) const {
  for (const rapidxml::xml_node<>* content = child->first_node(); content;
       content = content->next_sibling()) {
    if (content->type() == rapidxml::node_comment) continue;
    if (descriptor.ValidContent.count(content->type()) == 0)
      throw CException("CNodeValidator::validateChildNodes(): validation failed. Child node '" +
                       nameOf(content) + "' in node '" + nameOf(child) +
                       "' has invalid content ('" + valueOf(content) + "')");
    if (content->type() == rapidxml::node_data &&
        !CDataDescriptor::isValid(content->value(), descriptor.ValidData, descriptor.UserCallback))
      throwDataValidationException("CNodeValidator::validateAttributes()", descriptor.ValidData,
                                   content->value(), nameOf(child));
  }
}

/* Throws CException for an unknown attribute, a bad value or a missing mandatory one. */
void CNodeValidator::validateAttributes(const rapidxml::xml_node<>* node) const {
  for (const rapidxml::xml_attribute<>* attr = node->first_attribute(); attr;
       attr = attr->next_attribute()) {
    const std::string attrName(attr->name(), attr->name_size());
    AttributeDescriptorMap::const_iterator it = mValidAttributes.find(attrName);
    if (it == mValidAttributes.end())
      throw CException("CNodeValidator::validateAttributes(): validation failed. Unknown attribute '" +
                       attrName + "' in node '" + nameOf(node) + "'");
    if (!CDataDescriptor::isValid(attr->value(), it->second.ValidContent, it->second.UserCallback))
      throwDataValidationException("CNodeValidator::validateAttributes()", it->second.ValidContent,
                                   attr->value(), attrName);
  }

  for (const auto& entry : mValidAttributes) {
    const CAttributeDescriptor& descriptor = entry.second;
    if (descriptor.Mandatory && !node->first_attribute(descriptor.Name.c_str()))
      throw CException(
          "CNodeValidator::validateAttributes(): validation failed. Mandatory attribute '" +
          descriptor.Name + "' not found in node '" + nameOf(node) + "'");
  }
}

/* Always throws CException. */
void CNodeValidator::throwDataValidationException(const std::string& origin,
                                                  CDataDescriptor::DataType expectedType,
                                                  const std::string& value,
                                                  const std::string& location) {
  const char* what = "' is not valid";
  switch (expectedType) {
    case CDataDescriptor::DATA_INT: what = "' is not a valid integer value"; break;
    case CDataDescriptor::DATA_INT_LIST: what = "' is not a valid integer list"; break;
    case CDataDescriptor::DATA_BOOLEAN: what = "' is not a valid boolean value"; break;
    case CDataDescriptor::DATA_IP: what = "' is not a valid IP address"; break;
    case CDataDescriptor::DATA_HOSTNAME: what = "' is not a valid IP address or hostname"; break;
    case CDataDescriptor::DATA_PORT: what = "' is not a valid port value"; break;
    case CDataDescriptor::DATA_ADDRESS_LIST: what = "' is not a valid address list"; break;
    default: break;
  }
  throw CException(origin + ": validation failed. Value '" + value + "' in '" + location + what);
}

}  // namespace XMLConfig
