#include "installer/retrieve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "installer/headers_package.h"
#include "installer/installer.h"
#include "installer/kernel_id.h"
#include "installer/pause.h"
#include "installer/replies.h"
#include "installer/scripts.h"
#include "installer/state.h"
#include "installer/transport.h"
#include "installer/upload.h"
#include "setup/file_replacer.h"
#include "setup/files.h"
#include "setup/output.h"
#include "setup/settings.h"
#include "setup/unique_fd.h"
#include "setup/writer_open.h"

namespace {

constexpr unsigned kStatusPause = 5;
constexpr unsigned kPollPause = 10;
constexpr std::size_t kLoopPathBufferSize = 4096;

void progressLine(const char* text) {
  if (!silentMode) printPlainLine(text);
}

// A GET of a path the service gave; false (after its message) when the
// request would not fit its buffer or the exchange failed.
bool followPath(const std::string& path, ReplyReader* reply, int* count) {
  // Formatted one character longer than fits, so that a request too long
  // for the buffer stays too long (a path too long makes it so too).
  std::string request = formatGetRequest(path, kLoopRequestBufferSize + 1);
  if (request.size() >= kLoopRequestBufferSize) {
    printPlain("Request for '%s' is too long\n", path.c_str());
    return false;
  }
  *count = httpsRequest(request, reply, 0);
  return *count >= 0;
}

// The reply loop from the upload's reply on, each reply judged from the
// reader that read it: 1 when it ended with a final page, 0 when a request
// failed or a status was not recognised.
int followBuild(ReplyReader reply, int count) {
  bool done = false;
  OptText body;
  while (!done) {
    body.reset();
    // With 302 and 200 there is always a text: a reply without one ends
    // the process.
    int status = parseHttpReply(reply, &body, count);
    switch (status) {
      case 302:
        printDebug("Forwarding to '%s'", body->c_str());
        if (!followPath(*body, &reply, &count)) return 0;
        showSpinner();
        pauseFor(kStatusPause);
        break;
      case 404:
        fatalError("internal error.\n");
      case 200: {
        showSpinner();
        pauseFor(kStatusPause);
        if (!std::strstr(body->c_str(), "<!-- STATUS:")) {
          done = true;
          if (!attachmentSaved) std::printf("%s", body->c_str());
          break;
        }
        const std::string& page = *body;
        if (OptText value = extractMarkerValue(page, "<!-- STATUS: ")) {
          printDebug("status_text = %s", value->c_str());
          statusText = *value;
        }
        if (OptText value = extractMarkerValue(page, "<!-- PERCENT: ")) printDebug("percent_text = %s", value->c_str());
        if (OptText value = extractMarkerValue(page, "<!-- AVGTIME: ")) printDebug("avg_text = %s", value->c_str());
        OptText url = extractMarkerValue(page, "<!-- URL: ");
        if (!url) {
          printPlain("Status page without a URL to follow\n");
          return 0;
        }
        printDebug("url_text = %s", url->c_str());
        if (!followPath(*url, &reply, &count)) return 0;
        break;
      }
      default:
        std::printf("unknown return '%d'\n", status);
        return 0;
    }
  }
  if (!silentMode) std::printf("\n");
  return 1;
}

}  // namespace

int keepHeaderPackage(const std::string& package, const std::string& target) {
  std::string dir, name;
  splitPath(target, &dir, &name);
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    printPlain("Couldnt open file '%s': '%s'\n", target.c_str(), std::strerror(errno));
    return 0;
  }
  // The target is opened as an open for writing would open it, so that the
  // kernel refuses what it would refuse (a link or another user's file in a
  // sticky directory, under its protections), and never where a directory,
  // a device or a FIFO stands (nor one a link there leads to). The package
  // is new output: it then takes the name's place as the file of whoever
  // runs the tool, with the mode a new file gets, nothing of the old file's.
  FileReplacer out(target, FileReplacer::Placement::kRename);
  std::string err;
  if (!out.open(&err, 0666 & ~currentUmask(), FileReplacer::Metadata::kNew)) {
    printPlain("Couldnt open file '%s': '%s'\n", target.c_str(), err.c_str());
    return 0;
  }
  // The package itself is renamed into place on the same file system, a
  // copy of it made on another; either is synced before it takes the name
  // and the directory after. What stays of the package goes with the
  // clean-up.
  if (!out.takeFile(package, &err) || !out.commit(&err)) {
    printPlain("Couldnt save file '%s': '%s'\n", target.c_str(), err.c_str());
    return 0;
  }
  return 1;
}

void removePackageFiles() {
  printDebug("Removing tarball %s", tarballPath.c_str());
  ::unlink(tarballPath.c_str());
  if (!tempDir) return;
  std::string tmpDir = *tempDir + "/tmp";
  // One of the names brings its own slash.
  const char* name = procVersionCopyName(kernelDir.has_value());
  if (*name == '/') ++name;
  std::string copy = tmpDir + "/" + name;
  printDebug("Removing file %s", copy.c_str());
  ::unlink(copy.c_str());
  printDebug("Removing directory %s", tmpDir.c_str());
  ::rmdir(tmpDir.c_str());
  printDebug("Removing directory %s", tempDir->c_str());
  ::rmdir(tempDir->c_str());
}

int retrieveKernelModule() {
  if (testConnection) {
    progressLine("Checking connection to server");
    if (testServerConnection() != 0) {
      if (!silentMode) printPlain("Connected successfully to '%s'\n", buildServiceHost.c_str());
      std::exit(0);
    }
    if (!silentMode) printPlain("Failed to connect to '%s'\n", buildServiceHost.c_str());
    std::exit(1);
  }
  if (!forceUpdate) {
    progressLine("Checking if module needs updated");
    if (checkModuleUpdate() == 0) {
      progressLine("Module update not needed.");
      std::exit(0);
    }
  }
  if (!noBinary) {
    progressLine("Checking for binary module");
    int found = fetchCachedModule();
    printDebug("Attempt to retrieve binary module: %d", found);
    if (found) std::exit(0);
    progressLine("No binary module found");
    printDebug("cacheonly=%d", cacheonly);
    if (cacheonly) std::exit(1);
  }
  progressLine("Gathering kernel information");
  detectKernelSourceDir();
  progressLine("Gathering kernel information complete.");
  if (createKernelHeadersPackage() != 0) std::exit(1);

  int result = 1;
  if (headerOnly) {
    if (tarballName.empty()) {
      printPlainLine("new tar filename isnt set");
      std::exit(1);
    }
    printPlain("Header package created '%s'\n", tarballName.c_str());
    printPlain("visit https://%s/ to do an offline module build\n", buildServiceHost.c_str());
    printPlainLine(isStandaloneAgentInstall()
                       ? "After it is complete, you will need to copy the module to /lib/modules/pelagent"
                       : "After it is complete, you will need to copy the module to /lib/modules/tavrik");
    result = keepHeaderPackage(tarballPath, tarballName);
  } else {
    ReplyReader reply;
    int count = uploadKernelHeaders(&reply);
    if (count == 0) {
      // The service closed without a byte of reply: nothing to follow.
      progressLine("No reply from server");
      result = 0;
    } else {
      result = followBuild(std::move(reply), count);
    }
  }
  removePackageFiles();
  return result;
}

void* pollBuildStatus(void* url) {
  std::string text = url ? static_cast<const char*>(url) : "";
  std::size_t at = text.find("?r=");
  if (at == std::string::npos) {
    printPlainLine("Queue status thread exited due to malformed URL");
    printDebug("Expected a forwarding URL, got: '%s'", text.c_str());
    return nullptr;
  }
  std::string runId = text.substr(at);
  printDebug("Using runid: '%s'", runId.c_str());
  std::string path = cutToBuffer("/buildstatus.php" + runId, kLoopPathBufferSize);
  std::string request = formatGetRequest(path);
  for (;;) {
    printDebug("Requesting URL: %s", request.c_str());
    ReplyReader reply;
    OptText data;
    int count = httpsRequest(request, &reply, 0);
    if (count >= 0) parseHttpReply(reply, &data, count);
    std::printf("data=[%s]", data ? data->c_str() : "");
    pauseFor(kPollPause);
  }
}

void setBeta(char value) { betaRequested = value; }
