// Opening, saving and searching XML documents.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "productlib/xml.h"
#include "setup/files.h"
#include "setup/output.h"

namespace {
constexpr std::size_t kBackupNameSize = 8096;
}

TiXmlDocument* openXmlDocument(const char* path) {
  printDebug("Opening configuration file: %s", path);
  if (!fileExists(path)) {
    printError(L"ERROR: Could not open '%s'\n", path);
    return nullptr;
  }
  auto document = std::make_unique<TiXmlDocument>(path);
  if (!document->LoadFile(TIXML_ENCODING_UNKNOWN)) {
    printError(L"ERROR: Failed to parse '%s'\n", path);
    return nullptr;
  }
  return document.release();
}

bool saveXmlDocument(const char* path, TiXmlDocument* document) {
  printDebug("saveXmlDocument");
  printDebug("checking existence of '%s'", path);
  if (fileExists(path)) {
    char backup[kBackupNameSize];
    int length = std::snprintf(backup, sizeof backup, "%s%s", path, ".bak");
    // A cut name would move the file somewhere else than its backup.
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof backup) {
      printError(L"Failed to create backup file: %s\n", std::strerror(ENAMETOOLONG));
      return false;
    }
    printDebug("Exists. Rename '%s' to '%s'", path, backup);
    if (!renameFile(path, backup)) {
      printError(L"Failed to create backup file: %s\n", std::strerror(errno));
      return false;
    }
    printDebug("Rename successful");
  }
  printDebug("Saving '%s'", path);
  return document->SaveFile(path);
}

TiXmlNode* findElementByAttributeValue(TiXmlNode* parent, const char* text) {
  if (!parent) return nullptr;
  for (TiXmlNode* child = parent->FirstChild(); child; child = child->NextSibling()) {
    trace("Name: %s", child->Value());
    TiXmlElement* element = child->ToElement();
    if (!element) continue;
    if (const TiXmlAttribute* first = element->FirstAttribute()) {
      trace("comparing: %s=%s", first->Value(), text);
      if (std::strcmp(first->Value(), text) == 0) {
        trace("Found match");
        return child;
      }
    }
    if (TiXmlNode* found = findElementByAttributeValue(child, text)) return found;
  }
  return nullptr;
}

bool renameFile(const char* oldPath, const char* newPath) { return std::rename(oldPath, newPath) == 0; }

int alwaysTrue(void*) { return 1; }
