#include "productlib/xml_text.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <vector>

std::string xmlParserText(std::string raw) {
  std::size_t end = raw.find('\0');
  if (end != std::string::npos) raw.resize(end);
  std::string text;
  text.reserve(raw.size() + 1 + kXmlTextPadding);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\r') {
      text.push_back(raw[i]);
      continue;
    }
    text.push_back('\n');
    if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
  }
  // The terminator and the padding; std::string adds one NUL more.
  text.append(kXmlTextPadding, '\0');
  return text;
}

namespace {

// The walk below follows the parser's reading rules byte for byte: where
// it advances, by how much, and where it gives up. Only element starts and
// ends change the depth; everything else matters only for where the next
// element start or end is seen.

enum class Encoding { kUnknown, kUtf8, kLegacy };

enum class Node { kDeclaration, kComment, kCdata, kUnknown, kElement };

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
// Bytes from 127 up count as letters, whatever the encoding.
bool isAlpha(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 127 || std::isalpha(u) != 0;
}
bool isNameStart(char c) { return isAlpha(c) || c == '_'; }
bool isNameChar(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 127 || std::isalnum(u) != 0 || c == '_' || c == '-' || c == '.' || c == ':';
}

bool startsWith(const char* p, const char* tag) { return std::strncmp(p, tag, std::strlen(tag)) == 0; }
bool startsWithNoCase(const char* p, const char* tag) {
  for (; *tag; ++p, ++tag) {
    if (!*p || std::tolower(static_cast<unsigned char>(*p)) != std::tolower(static_cast<unsigned char>(*tag)))
      return false;
  }
  return true;
}

// The bytes one character takes in UTF-8 as the parser counts them.
int utf8Length(char c) {
  auto u = static_cast<unsigned char>(c);
  if (u >= 0xC2 && u <= 0xDF) return 2;
  if (u >= 0xE0 && u <= 0xEF) return 3;
  if (u >= 0xF0 && u <= 0xF4) return 4;
  return 1;
}

class Walk {
 public:
  Walk(const char* text, int stopAbove) : p_(text), stopAbove_(stopAbove) {}

  int run() {
    const auto* u = reinterpret_cast<const unsigned char*>(p_);
    if (u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) encoding_ = Encoding::kUtf8;
    const char* p = skipSpace(p_);
    while (*p == '<') {
      Node kind = identify(p);
      std::string declared;
      p = kind == Node::kElement ? elementTree(p) : otherNode(kind, p, &declared);
      // The first declaration at the top fixes the encoding of what follows.
      // The parser reads the name as a C string: it ends at a decoded NUL.
      if (kind == Node::kDeclaration && encoding_ == Encoding::kUnknown) {
        const char* name = declared.c_str();
        encoding_ = !*name || startsWithNoCase(name, "UTF-8") || startsWithNoCase(name, "UTF8") ? Encoding::kUtf8
                                                                                              : Encoding::kLegacy;
      }
      if (!p || deepest_ > stopAbove_) break;
      p = skipSpace(p);
    }
    return deepest_ > stopAbove_ ? stopAbove_ + 1 : deepest_;
  }

 private:
  struct Name {
    const char* start;
    std::size_t length;
  };

  const char* skipSpace(const char* p) const {
    for (;;) {
      const auto* u = reinterpret_cast<const unsigned char*>(p);
      // Byte order marks count as blanks in UTF-8.
      if (encoding_ == Encoding::kUtf8 && u[0] == 0xEF &&
          ((u[1] == 0xBB && u[2] == 0xBF) || (u[1] == 0xBF && (u[2] == 0xBE || u[2] == 0xBF)))) {
        p += 3;
      } else if (*p && isSpace(*p)) {
        ++p;
      } else {
        return p;
      }
    }
  }

  static Node identify(const char* p) {
    if (startsWithNoCase(p, "<?xml")) return Node::kDeclaration;
    if (startsWith(p, "<!--")) return Node::kComment;
    if (startsWith(p, "<![CDATA[")) return Node::kCdata;
    if (startsWith(p, "<!")) return Node::kUnknown;
    if (isNameStart(p[1])) return Node::kElement;
    return Node::kUnknown;
  }

  // An entity at "&": where the parser goes on, or null where it gives up.
  // A numeric one reaches to the next ";" and is checked backwards from
  // there only as far as the first "x" or "#", so it may jump over anything.
  static const char* entity(const char* p, std::string* value) {
    if (p[1] == '#' && p[2]) {
      bool hex = p[2] == 'x';
      if (hex && !p[3]) return nullptr;
      const char* semicolon = std::strchr(p + (hex ? 3 : 2), ';');
      if (!semicolon) return nullptr;
      unsigned long code = 0;
      unsigned long scale = 1;
      for (const char* q = semicolon - 1; *q != (hex ? 'x' : '#'); --q) {
        int digit;
        if (*q >= '0' && *q <= '9')
          digit = *q - '0';
        else if (hex && *q >= 'a' && *q <= 'f')
          digit = *q - 'a' + 10;
        else if (hex && *q >= 'A' && *q <= 'F')
          digit = *q - 'A' + 10;
        else
          return nullptr;
        code += scale * static_cast<unsigned long>(digit);
        scale *= hex ? 16 : 10;
      }
      if (value) value->push_back(static_cast<char>(code));
      return semicolon + 1;
    }
    static const struct {
      const char* text;
      char character;
    } kNamed[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto& named : kNamed) {
      if (startsWith(p, named.text)) {
        if (value) value->push_back(named.character);
        return p + std::strlen(named.text);
      }
    }
    // An "&" that starts no entity adds nothing to the value.
    return p + 1;
  }

  // One character of text. A UTF-8 lead byte takes its whole length, even
  // across the terminator (hence the padding).
  const char* character(const char* p, std::string* value) const {
    int length = encoding_ == Encoding::kUtf8 ? utf8Length(*p) : 1;
    if (length == 1) {
      if (*p == '&') return entity(p, value);
      if (value) value->push_back(*p);
      return p + 1;
    }
    if (value) {
      for (int i = 0; i < length && p[i]; ++i) value->push_back(p[i]);
    }
    return p + length;
  }

  // Text up to and past the end tag, or null where the text runs out.
  const char* textUntil(const char* p, const char* endTag, std::string* value) const {
    while (*p && !startsWith(p, endTag)) {
      p = character(p, value);
      if (!p) return nullptr;
    }
    if (!*p) return nullptr;
    return p + std::strlen(endTag);
  }

  const char* attribute(const char* p, std::string* value) const {
    p = skipSpace(p);
    if (!isNameStart(*p)) return nullptr;
    while (*p && isNameChar(*p)) ++p;
    p = skipSpace(p);
    if (*p != '=') return nullptr;
    p = skipSpace(p + 1);
    if (!*p) return nullptr;
    if (*p == '\'') return textUntil(p + 1, "'", value);
    if (*p == '"') return textUntil(p + 1, "\"", value);
    while (*p && !isSpace(*p) && *p != '/' && *p != '>') {
      if (*p == '\'' || *p == '"') return nullptr;
      if (value) value->push_back(*p);
      ++p;
    }
    return *p ? p : nullptr;
  }

  // Any node but an element; null where the parser stops.
  const char* otherNode(Node kind, const char* p, std::string* declared) const {
    switch (kind) {
      case Node::kDeclaration:
        p += 5;
        while (*p) {
          if (*p == '>') return p + 1;
          p = skipSpace(p);
          if (!*p) return nullptr;
          if (startsWithNoCase(p, "version") || startsWithNoCase(p, "standalone")) {
            p = attribute(p, nullptr);
          } else if (startsWithNoCase(p, "encoding")) {
            declared->clear();
            p = attribute(p, declared);
          } else {
            while (*p && *p != '>' && !isSpace(*p)) ++p;
          }
          if (!p) return nullptr;
        }
        return nullptr;
      case Node::kComment:
        p += 4;
        while (*p && !startsWith(p, "-->")) ++p;
        return *p ? p + 3 : nullptr;
      case Node::kCdata:
        p += 9;
        while (*p && !startsWith(p, "]]>")) ++p;
        return *p ? p + 3 : nullptr;
      case Node::kUnknown:
        ++p;
        while (*p && *p != '>') ++p;
        return *p ? p + 1 : nullptr;
      case Node::kElement:
        break;
    }
    return nullptr;
  }

  // Text content up to the next "<"; null where the parser stops.
  const char* text(const char* p) const {
    while (*p && *p != '<') {
      p = character(p, nullptr);
      if (!p) return nullptr;
    }
    // The parser steps past the "<" and back; nothing after it is an error.
    return *p && p[1] ? p : nullptr;
  }

  // An element with everything inside it, from its "<" to past its end; the
  // levels open are kept on a list of names instead of the call stack.
  const char* elementTree(const char* p) {
    std::vector<Name> open;
    for (;;) {
      // A start tag at p. The element is a level of its own even when its
      // name or its attributes then fail.
      int level = static_cast<int>(open.size()) + 1;
      if (level > deepest_) deepest_ = level;
      if (deepest_ > stopAbove_) return nullptr;
      p = skipSpace(p + 1);
      if (!isNameStart(*p)) return nullptr;
      const char* name = p;
      while (*p && isNameChar(*p)) ++p;
      if (!*p) return nullptr;
      open.push_back({name, static_cast<std::size_t>(p - name)});
      for (;;) {
        p = skipSpace(p);
        if (!*p) return nullptr;
        if (*p == '/') {
          if (p[1] != '>') return nullptr;
          p += 2;
          open.pop_back();
          break;
        }
        if (*p == '>') {
          ++p;
          break;
        }
        p = attribute(p, nullptr);
        if (!p) return nullptr;
      }
      // The content of the innermost open element, until a child starts.
      bool child = false;
      while (!child) {
        if (open.empty()) return p;
        p = skipSpace(p);
        if (!*p) return nullptr;
        if (*p != '<') {
          p = text(p);
        } else if (startsWith(p, "</")) {
          const Name& inner = open.back();
          if (std::strncmp(p + 2, inner.start, inner.length) != 0) return nullptr;
          p = skipSpace(p + 2 + inner.length);
          if (*p != '>') return nullptr;
          ++p;
          open.pop_back();
        } else {
          Node kind = identify(p);
          if (kind == Node::kElement) {
            child = true;
          } else {
            std::string unused;
            p = otherNode(kind, p, &unused);
          }
        }
        if (!p) return nullptr;
      }
    }
  }

  const char* p_;
  int stopAbove_;
  int deepest_ = 0;
  Encoding encoding_ = Encoding::kUnknown;
};

}  // namespace

int xmlNestingBound(const char* preparedText, int stopAbove) {
  if (stopAbove < 0) stopAbove = 0;
  if (stopAbove == INT_MAX) --stopAbove;
  return Walk(preparedText, stopAbove).run();
}
