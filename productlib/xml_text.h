// The text handed to the XML parser, and how deep it can make the parser nest.
//
// - xmlParserText prepares a file's bytes as the parser's own file loader
//   would (cut at the first NUL, CR LF and a lone CR as LF) and adds
//   kXmlTextPadding NUL bytes after the terminator: on malformed UTF-8 at the
//   very end the parser steps up to three bytes past the terminator before
//   it looks again, and those bytes must be ours to read.
// - The parser, and the destructor and dump after it, recurse once per
//   element level; a document nested deeper than kXmlMaxDepth is refused
//   before parsing, like a document that does not parse.
// - xmlNestingBound walks a prepared text the way the parser reads it,
//   without recursing, and gives an upper bound on the element depth the
//   parser reaches (stopAbove + 1 as soon as that is exceeded). Where the
//   parser would stop at an error the walk stops too.
#pragma once

#include <cstddef>
#include <string>

constexpr int kXmlMaxDepth = 256;
constexpr std::size_t kXmlTextPadding = 32;

std::string xmlParserText(std::string raw);
int xmlNestingBound(const char* preparedText, int stopAbove);
