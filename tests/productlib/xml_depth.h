// The deepest chain of elements in a parsed XML tree, walked without
// recursion, so that it can measure trees of any depth.
#pragma once

#include <tinyxml.h>

inline int xmlElementDepth(const TiXmlNode* top) {
  int deepest = 0;
  int depth = 0;
  const TiXmlNode* node = top->FirstChild();
  while (node) {
    if (node->Type() == TiXmlNode::TINYXML_ELEMENT && depth + 1 > deepest) deepest = depth + 1;
    if (node->FirstChild()) {
      ++depth;
      node = node->FirstChild();
      continue;
    }
    while (node != top && !node->NextSibling()) {
      node = node->Parent();
      --depth;
    }
    node = node == top ? nullptr : node->NextSibling();
  }
  return deepest;
}
