// Opening, saving and searching XML documents.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "productlib/descriptors.h"
#include "productlib/xml.h"
#include "productlib/xml_text.h"
#include "setup/file_replacer.h"
#include "setup/files.h"
#include "setup/output.h"
#include "setup/unique_fd.h"

namespace {
constexpr std::size_t kBackupNameSize = 8096;
constexpr std::size_t kReadChunk = 65536;
}

bool parseXmlText(TiXmlDocument& document, std::string raw) {
  document.Clear();
  try {
    std::string text = xmlParserText(std::move(raw));
    if (text[0] == '\0') return false;  // an empty document
    if (xmlNestingBound(text.c_str(), kXmlMaxDepth) > kXmlMaxDepth) return false;
    // The parser is handed the padded text: it never reads past our buffer.
    document.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    return !document.Error();
  } catch (const std::bad_alloc&) {
    document.Clear();
    return false;
  }
}

bool loadXmlFile(TiXmlDocument& document, const char* path) {
  // A directory or a huge file would ask for more memory than there is, and
  // reading a FIFO would wait for a writer. Devices are not even opened.
  UniqueFd fd = openRegularFd(path);
  if (!fd) return false;
  std::string raw;
  try {
    std::vector<char> chunk(kReadChunk);
    for (;;) {
      std::int32_t got = read_eintr(fd.get(), chunk.data(), chunk.size());
      if (got < 0) return false;
      if (got == 0) break;
      raw.append(chunk.data(), static_cast<std::size_t>(got));
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return parseXmlText(document, std::move(raw));
}

TiXmlDocument* openXmlDocument(const char* path) {
  printDebug("Opening configuration file: %s", path);
  if (!fileExists(path)) {
    printError(L"ERROR: Could not open '%s'\n", path);
    return nullptr;
  }
  auto document = std::make_unique<TiXmlDocument>(path);
  if (!loadXmlFile(*document, path)) {
    printError(L"ERROR: Failed to parse '%s'\n", path);
    return nullptr;
  }
  return document.release();
}

namespace {

// The bytes SaveFile writes for the document; false when they could not
// all be kept.
bool renderXmlDocument(const TiXmlDocument& document, std::string* text) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* memory = ::open_memstream(&data, &size);
  if (!memory) return false;
  document.SaveFile(memory);
  bool ok = !std::ferror(memory);
  if (std::fclose(memory) != 0) ok = false;
  if (ok) text->assign(data, size);
  std::free(data);
  return ok;
}

}  // namespace

bool saveXmlDocument(const char* path, TiXmlDocument* document) {
  printDebug("saveXmlDocument");
  printDebug("checking existence of '%s'", path);
  // A file there is kept under the backup name and a new file takes its
  // name, with the old file's owner, mode, ACL and extended attributes; a
  // dangling link there counts as no file and is written through, as an
  // open for writing would (the file it names is made, the link stays).
  // What is not a regular file is refused before anything changes. The
  // file stays locked from the backup to the save.
  const bool exists = fileExists(path);
  FileReplacer file(path, exists ? FileReplacer::Placement::kRename : FileReplacer::Placement::kInPlace);
  std::string err;
  if (!file.open(&err)) {
    printDebug("Could not save '%s': %s", path, err.c_str());
    return false;
  }
  if (exists) {
    char backup[kBackupNameSize];
    int length = std::snprintf(backup, sizeof backup, "%s%s", path, ".bak");
    // A cut name would keep the file somewhere else than its backup.
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof backup) {
      printError(L"Failed to create backup file: %s\n", std::strerror(ENAMETOOLONG));
      return false;
    }
    printDebug("Exists. Rename '%s' to '%s'", path, backup);
    if (!file.keepBackup(backup, &err)) {
      printError(L"Failed to create backup file: %s\n", err.c_str());
      return false;
    }
    printDebug("Rename successful");
  }
  printDebug("Saving '%s'", path);
  // Rendered first and written whole: a full disk fails the save, and the
  // old content stays, also under the backup name.
  std::string text;
  if (!renderXmlDocument(*document, &text)) return false;
  if (!file.write(text, &err) || !file.commit(&err)) {
    printDebug("Could not save '%s': %s", path, err.c_str());
    return false;
  }
  return true;
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
