#include "installer/kernel_id.h"

#include <sys/utsname.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "installer/replies.h"
#include "installer/state.h"
#include "installer/transport.h"
#include "setup/command.h"
#include "setup/files.h"
#include "setup/line_reader.h"
#include "setup/output.h"
#include "setup/unique_fd.h"

namespace {

constexpr std::size_t kProcVersionBufferSize = 4096;
constexpr std::size_t kDepLineBufferSize = 1024;
constexpr std::size_t kModinfoCommandBufferSize = 1024;
constexpr std::size_t kVermagicBufferSize = 1024;
constexpr std::size_t kModinfoLineBufferSize = 4096;

std::string kernelRelease() {
  struct utsname name {};
  if (::uname(&name) != 0) return std::string();
  return name.release;
}

void cutAtNewline(std::string* text) {
  std::size_t lf = text->find('\n');
  if (lf != std::string::npos) text->resize(lf);
}

// One GET exchange and its reply, judged from the reader that read it.
// The status, or -1 when the exchange failed.
int query(const std::string& path, int newlineAfterReply, OptText* text) {
  std::string request = formatGetRequest(path);
  ReplyReader reply;
  int count = httpsRequest(request, &reply, newlineAfterReply);
  if (count == -1) return -1;
  return parseHttpReply(reply, text, count);
}

}  // namespace

std::string readProcVersion() {
  UniqueFile file(std::fopen("/proc/version", "r"));
  if (!file) {
    printPlain("ERROR: Could not open /proc/version: %s\n", std::strerror(errno));
    std::exit(1);
  }
  std::string version, line;
  while (readBoundedLine(file.get(), &line, kProcVersionBufferSize)) version = line;
  cutAtNewline(&version);
  printDebug("proc_version = [%s]", version.c_str());
  return version;
}

OptText moduleFromDepLine(const std::string& line, const std::string& release) {
  std::size_t colon = line.find(':');
  if (colon == std::string::npos) return std::nullopt;
  std::string module = line.substr(0, colon);
  // Current module tools write the paths relative to the release's directory.
  if (!module.empty() && module[0] != '/') module = "/lib/modules/" + release + "/" + module;
  return module;
}

OptText getKernelVermagic() {
  std::string release = kernelRelease();
  std::string depPath = "/lib/modules/" + release + "/modules.dep";
  printDebug("Opening dep file: ");
  UniqueFile dep(std::fopen(depPath.c_str(), "r"));
  if (!dep) {
    printPlain("Could not open '%s': %s\n", depPath.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  printDebug("module file opened");
  printDebug("reading firse line");
  std::string line;
  if (!readBoundedLine(dep.get(), &line, kDepLineBufferSize)) {
    printDebug("First line was null");
    return std::nullopt;
  }
  printDebug("First line: %s", line.c_str());
  OptText module = moduleFromDepLine(line, release);
  if (!module) {
    printDebug("didnt find expected delimiter");
    return std::nullopt;
  }
  printDebug("search=%s", line.c_str() + line.find(':'));
  if (release.find("2.4.") != std::string::npos) {
    printDebug("2.4 found, returning unknown vermagic");
    return std::nullopt;
  }
  std::string command = "/sbin/modinfo -F vermagic " + shellQuote(*module) + " 2>/dev/null";
  if (command.size() >= kModinfoCommandBufferSize) {
    printDebug("module path too long for the modinfo command: %s", module->c_str());
    return std::nullopt;
  }
  printDebug("command = %s", command.c_str());
  CommandOutput modinfo(command);
  std::string vermagic;
  if (!modinfo.started() || !modinfo.readLine(&vermagic, kVermagicBufferSize)) return std::nullopt;
  modinfo.close();
  if (!vermagic.empty() && vermagic.back() == '\n') vermagic.pop_back();
  return vermagic;
}

OptText parseModinfoVersion(const std::string& line) {
  int major = 0, minor = 0, patch = 0, build = 0;
  if (std::sscanf(line.c_str(), "version: %d.%d.%d build %d", &major, &minor, &patch, &build) != 4)
    return std::nullopt;
  printDebug("Found current module version: %d.%d.%d-%d", major, minor, patch, build);
  return formatNarrow("%d.%d.%d-%d", major, minor, patch, build);
}

OptText getInstalledModuleVersion() {
  std::string path = "/lib/modules/tavrik/zeltdriver-kestrin-" + kernelRelease() + ".ko";
  printDebug("using file: %s", path.c_str());
  if (!fileExists(path.c_str())) {
    printDebug("file not found!");
    return std::nullopt;
  }
  printDebug("file found!");
  CommandOutput modinfo("modinfo " + shellQuote(path));
  if (!modinfo.started()) {
    printDebug("failed to run modinfo!");
    return std::nullopt;
  }
  std::string line;
  while (modinfo.readLine(&line, kModinfoLineBufferSize)) {
    if (OptText version = parseModinfoVersion(line)) return version;
  }
  return std::nullopt;
}

int testServerConnection() {
  OptText text;
  int status = query("/index.php", 0, &text);
  return status == -1 ? 0 : status;
}

bool isInstalledVersionCurrent(const std::string& installed, const std::string& answer) {
  if (answer.compare(0, installed.size(), installed) != 0) return false;
  return answer.size() == installed.size() ||
         !std::isdigit(static_cast<unsigned char>(answer[installed.size()]));
}

std::string checkModulePath() {
  return formatNarrow("/check-module.php?cmajor=%d&gen=%d&beta=%d", moduleType, generation, betaRequested);
}

std::string cacheModulePath(const std::string& md5, const OptText& modMd5) {
  if (modMd5)
    return formatNarrow("/cache-module.php?md5=%s&go=1&cmajor=%d&beta=%d&nd=1&mod_md5=%s&gen=%d", md5.c_str(),
                        moduleType, betaRequested, modMd5->c_str(), generation);
  return formatNarrow("/cache-module.php?md5=%s&go=1&cmajor=%d&nd=1&beta=%d", md5.c_str(), moduleType,
                      betaRequested);
}

int checkModuleUpdate() {
  OptText installed = getInstalledModuleVersion();
  if (!installed) return 1;
  std::string path = checkModulePath();
  printDebug("url: %s", path.c_str());
  printDebug("checking url: '%s'", path.c_str());
  OptText text;
  if (query(path, 1, &text) != 200) return 1;
  printDebug("checking to see if we got something back");
  if (!text) return 1;
  printDebug("data = %s", text->c_str());
  return isInstalledVersionCurrent(*installed, text->c_str()) ? 0 : 1;
}

int fetchCachedModule() {
  std::string procVersion = readProcVersion();
  OptText vermagic = getKernelVermagic();
  std::string md5 = md5_hex(procVersion.data(), static_cast<int>(procVersion.size()));
  OptText modMd5;
  if (vermagic) {
    modMd5 = md5_hex(vermagic->data(), static_cast<int>(vermagic->size()));
    printDebug("mod_info = %s, mod_md5 = %s\n", vermagic->c_str(), modMd5->c_str());
  }
  if (md5.empty()) return 0;
  std::string path = cacheModulePath(md5, modMd5);
  printDebug("url: %s", path.c_str());
  printDebug("checking url: '%s'", path.c_str());
  OptText text;
  int savedBefore = attachmentSaved;
  if (query(path, 1, &text) != 200) return 0;
  printDebug("checking to see if we got something back");
  if (!text) return 0;
  printDebug("data = %s", text->c_str());
  // Only a module that this reply wrote counts: a page that merely mentions
  // a file name delivers nothing, and the run must go on to build one; an
  // attachment an earlier reply saved says nothing about this one.
  return attachmentSaved > savedBefore ? 1 : 0;
}
