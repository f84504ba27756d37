// XMLTestSupport.h - a parsed XML document for the configuration tests that
// hand single elements to the parsers and validators.
#ifndef XMLTESTSUPPORT_H
#define XMLTESTSUPPORT_H

#include <rapidxml/rapidxml.hpp>

#include <string>
#include <vector>

namespace xmltest {

// A parsed document whose first element is handed to the wrappers; it owns
// the text the nodes point into.
class Doc {
 public:
  explicit Doc(const std::string& text) : mText(text.begin(), text.end()) {
    mText.push_back('\0');
    mDoc.parse<0>(mText.data());
  }
  Doc(const Doc&) = delete;
  Doc& operator=(const Doc&) = delete;
  const rapidxml::xml_node<>* root() const { return mDoc.first_node(); }

 private:
  std::vector<char> mText;
  rapidxml::xml_document<> mDoc;
};

}  // namespace xmltest

#endif  // XMLTESTSUPPORT_H
