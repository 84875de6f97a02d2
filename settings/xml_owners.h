// Owners of libxml2's objects, for the readers of XML in this folder (the
// bases index), and the parser's one-time set-up.
#ifndef SETTINGS_XML_OWNERS_H_
#define SETTINGS_XML_OWNERS_H_

#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <climits>
#include <memory>
#include <mutex>
#include <string_view>

namespace zul {

struct XmlDocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct XPathContextFree {
  void operator()(xmlXPathContext* context) const { xmlXPathFreeContext(context); }
};
struct XPathObjectFree {
  void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};
struct XmlFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlDoc = std::unique_ptr<xmlDoc, XmlDocFree>;
using XPathContext = std::unique_ptr<xmlXPathContext, XPathContextFree>;
using XPathObject = std::unique_ptr<xmlXPathObject, XPathObjectFree>;
using XmlText = std::unique_ptr<xmlChar, XmlFree>;

// Parses index content: no network, no messages on the console, no
// entities expanded from outside.
inline XmlDoc ParseIndexXml(std::string_view content) {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
  if (content.size() > static_cast<size_t>(INT_MAX)) return nullptr;  // no index is that large
  return XmlDoc(xmlReadMemory(content.data(), static_cast<int>(content.size()), "master.xml", nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

inline const xmlChar* XmlName(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

}  // namespace zul

#endif  // SETTINGS_XML_OWNERS_H_
