// XML document helpers and a debugging dump, on TinyXML.
//
// - openXmlDocument gives a new parsed document that the caller deletes, or
//   null after "ERROR: Could not open '%s'" / "ERROR: Failed to parse '%s'".
// - saveXmlDocument first keeps an existing file under "<path>.bak"
//   (replacing an older backup), then a new file with the document and the
//   old file's metadata takes the path's name (a dangling link at the path
//   is written through and stays); false when the backup cannot be made
//   (nothing is written) or the write fails (the old file stays too), and
//   before anything changes when a directory, FIFO, device or socket stands
//   at the path.
// - findElementByAttributeValue: the first element below the parent, depth
//   first in document order, whose first attribute's value equals the text.
// - loadXmlFile (behind openXmlDocument and dumpXmlFile) reads only a
//   regular file: a directory, FIFO or device, and a file too big to hold in
//   memory, fail like a file that does not parse, without waiting or
//   aborting. parseXmlText parses a file's bytes the same way.
// - Hostile text fails like a file that does not parse: malformed UTF-8 at
//   the end is never read past, and a document nested deeper than 256
//   elements is refused before it is parsed (the parser, the destructor and
//   the dump recurse once per level).
// - The dump prints straight on standard output (ordinary buffering).
#pragma once

#include <tinyxml.h>

#include <string>

bool loadXmlFile(TiXmlDocument& document, const char* path);
bool parseXmlText(TiXmlDocument& document, std::string raw);
TiXmlDocument* openXmlDocument(const char* path);
bool saveXmlDocument(const char* path, TiXmlDocument* document);
TiXmlNode* findElementByAttributeValue(TiXmlNode* parent, const char* text);
bool renameFile(const char* oldPath, const char* newPath);
int alwaysTrue(void* anything);

void dumpXmlFile(const char* path);
void dumpXmlNode(TiXmlNode* node, int depth);
// Returns the number of attributes printed.
int dumpXmlAttributes(TiXmlElement* element, int depth);
// The last min(2 * depth, 40) characters of 38 blanks and "+ "; a negative
// depth counts as 0.
const char* xmlIndent(int depth);
// min(2 * depth, 40) blanks.
const char* xmlIndentPlain(int depth);
