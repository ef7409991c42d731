// A debugging dump of an XML document's tree on standard output.
#include <cstdio>

#include "productlib/xml.h"

namespace {
constexpr int kIndentWidth = 40;
const char kMarkedIndent[] = "                                      + ";
const char kPlainIndent[] = "                                        ";
static_assert(sizeof kMarkedIndent == kIndentWidth + 1 && sizeof kPlainIndent == kIndentWidth + 1);

int indentWidth(int depth) {
  if (depth <= 0) return 0;
  return depth >= kIndentWidth / 2 ? kIndentWidth : 2 * depth;
}
}  // namespace

const char* xmlIndent(int depth) { return kMarkedIndent + kIndentWidth - indentWidth(depth); }

const char* xmlIndentPlain(int depth) { return kPlainIndent + kIndentWidth - indentWidth(depth); }

int dumpXmlAttributes(TiXmlElement* element, int depth) {
  if (!element) return 0;
  const char* indent = xmlIndent(depth);
  std::printf("\n");
  int count = 0;
  for (TiXmlAttribute* attribute = element->FirstAttribute(); attribute; attribute = attribute->Next()) {
    std::printf("%s%s: value=[%s]", indent, attribute->Name(), attribute->Value());
    int asInt = 0;
    if (attribute->QueryIntValue(&asInt) == TIXML_SUCCESS) std::printf(" int=%d", asInt);
    double asDouble = 0;
    if (attribute->QueryDoubleValue(&asDouble) == TIXML_SUCCESS) std::printf(" d=%1.1f", asDouble);
    std::printf("\n");
    ++count;
  }
  std::printf("Returning attrib\n");
  return count;
}

void dumpXmlNode(TiXmlNode* node, int depth) {
  if (!node) return;
  std::printf("%s", xmlIndent(depth));
  switch (node->Type()) {
    case TiXmlNode::TINYXML_DOCUMENT:
      std::printf("Document");
      break;
    case TiXmlNode::TINYXML_ELEMENT: {
      std::printf("Element [%s]", node->Value());
      int count = dumpXmlAttributes(node->ToElement(), depth + 1);
      if (count == 0)
        std::printf(" (No attributes)");
      else if (count == 1)
        std::printf("%s1 attribute", xmlIndentPlain(depth));
      else
        std::printf("%s%d attributes", xmlIndentPlain(depth), count);
      break;
    }
    case TiXmlNode::TINYXML_COMMENT:
      std::printf("Comment: [%s]", node->Value());
      break;
    case TiXmlNode::TINYXML_UNKNOWN:
      std::printf("Unknown");
      break;
    case TiXmlNode::TINYXML_TEXT:
      std::printf("Text: [%s]", node->ToText()->Value());
      break;
    case TiXmlNode::TINYXML_DECLARATION:
      std::printf("Declaration");
      break;
    default:
      break;
  }
  std::printf("\n");
  for (TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) dumpXmlNode(child, depth + 1);
  std::printf("Leaving\n");
}

void dumpXmlFile(const char* path) {
  TiXmlDocument document(path);
  if (loadXmlFile(document, path)) {
    std::printf("\n%s:\n", path);
    dumpXmlNode(&document, 0);
  } else {
    std::printf("Failed to load file \"%s\"\n", path);
  }
}
