#include "installer/headers_package.h"

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "installer/scripts.h"
#include "installer/state.h"
#include "setup/command.h"
#include "setup/files.h"
#include "setup/log.h"
#include "setup/output.h"
#include "setup/settings.h"
#include "setup/unique_fd.h"

namespace {

constexpr std::size_t kCurrentDirBufferSize = 20480;
constexpr const char* kObjtoolMember = "tools/objtool/objtool";

// Changes back to the saved directory when the test is done.
class DirectoryReturn {
 public:
  explicit DirectoryReturn(std::string saved) : saved_(std::move(saved)) {}
  ~DirectoryReturn() {
    if (::chdir(saved_.c_str()) != 0) printDebug("could not return to %s", saved_.c_str());
  }

 private:
  std::string saved_;
};

}  // namespace

const char* procVersionCopyName(bool fromKernelDir) {
  return fromKernelDir ? "/tavrik-proc-version-dont-use" : "tavrik-proc-version";
}

std::string packageCommand(const std::string& headerDir, const std::string& tarPath, const std::string& extraFile,
                           const std::string& tempDirectory, const char* copyName, bool withObjtool) {
  // The single-quoted places hold paths under the mkdtemp directory, which
  // are made only of safe characters. The shell's cd would look a relative
  // directory up in CDPATH and take a leading '-' as an option; with "./"
  // in front it enters the directory that was checked.
  std::string dir = shellQuote(!headerDir.empty() && headerDir[0] == '/' ? headerDir : "./" + headerDir);
  std::string temp = shellQuote(tempDirectory);
  std::string objtool = withObjtool ? std::string(" ./") + kObjtoolMember : std::string();
  return formatNarrow(
      "(cd %s && tar -chf '%s' %s  --exclude \"*.o\" --exclude \"*.ko\" --exclude \"*.defconfigs\"  --exclude "
      "vmlinux.bin --exclude setup.elf --exclude bzImage   ./include ./scripts ./security ./arch%s; find . -follow "
      "\\( -name 'Kconfig*' -o -name 'Makefile*' -o -name '.config' -o -name 'Module.symvers' -o -name "
      "'asm-offsets.s' \\) -print0 | xargs -0 tar -uhf '%s'; mkdir %s/tmp && cd %s && cat /proc/version > "
      "%s/tmp/%s && tar -uhf '%s' ./tmp; gzip '%s') 2>/dev/null",
      dir.c_str(), tarPath.c_str(), extraFile.c_str(), objtool.c_str(), tarPath.c_str(),
      temp.c_str(), temp.c_str(), temp.c_str(),
      copyName, tarPath.c_str(), tarPath.c_str());
}

int requireFile(const char* path) {
  UniqueFile file(std::fopen(path, "r"));
  if (file) return 1;
  printPlain("Unable to find a '%s'. This file is required to build a kernel module\n", path);
  return 0;
}

int checkForSource(const char* directory) {
  logMessage(1, "Checking '%s' for kernel headers", directory);
  std::vector<char> saved(kCurrentDirBufferSize);
  if (!::getcwd(saved.data(), saved.size())) fatalError("Unable to get current directory");
  printDebug("chdir %s", directory);
  int result = 0;
  if (::chdir(directory) == 0) {
    DirectoryReturn back(saved.data());
    result = requireFile(".config") && requireFile("Makefile") ? 1 : 0;
    printDebug("checkForSource: %d", result);
    return result;
  }
  printDebug("checkForSource: %d", result);
  return result;
}

int commandInPath(const char* name) {
  return commandSucceeded(runCommand(formatNarrow("which %s", shellQuote(name).c_str()))) ? 1 : 0;
}

int isRegularFile(const char* path) {
  struct stat info {};
  return ::stat(path, &info) == 0 && S_ISREG(info.st_mode) ? 1 : 0;
}

int createKernelHeadersPackage() {
  printPlainLine("Creating kernel headers package");
  if (::uname(&systemUname) != 0) return 1;

  std::string headerDir;
  const bool fromKernelDir = kernelDir.has_value();
  const char* copyName = procVersionCopyName(fromKernelDir);
  if (fromKernelDir) {
    if (kernelDir->size() >= kPathBufferSize) return 1;
    headerDir = *kernelDir;
    if (!checkForSource(headerDir.c_str())) {
      logMessage(0, "Unable to find a valid source directory.\n");
      logMessage(0, "Please install the kernel headers for your operating system.\n");
      printKernelHeaderHint();
      return 1;
    }
  } else {
    const std::string candidates[] = {
        formatNarrow("/lib/modules/%s/source/", systemUname.release),
        formatNarrow("/usr/src/kernels/%s-%s/", systemUname.release, systemUname.machine),
        formatNarrow("/lib/modules/%s/build/", systemUname.release),
    };
    for (const std::string& candidate : candidates) {
      if (checkForSource(candidate.c_str())) {
        headerDir = candidate;
        break;
      }
    }
    if (headerDir.empty()) {
      logMessage(0, "Unable to find a valid source directory.\n");
      logMessage(0, "Please install the kernel headers for your operating system.\n");
      return 1;
    }
  }
  logMessage(1, "Found headers in '%s'", headerDir.c_str());

  std::string tempTemplate = "/tmp/tavrik-kestrin.XXXXXX";
  if (!::mkdtemp(tempTemplate.data())) {
    logMessage(0, "Could not create temp dir %s", "/tmp/tavrik-kestrin.XXXXXX");
    return 1;
  }
  tempDir = tempTemplate;
  tarballPath = *tempDir + "/kernel-headers.tar";

  for (const char* command : {"cp", "tar", "find", "gzip", "mkdir"}) {
    if (!commandInPath(command)) {
      logMessage(0, "Unable to find the command %s in your PATH", command);
      return 1;
    }
  }
  std::string extraFile = pathExists("/boot/kernel.h") ? "/boot/kernel.h" : "";
  // kbuild runs objtool on every object of an external module when the
  // kernel's configuration enables it; without the program no module of
  // such a kernel builds from the package.
  struct stat objtool {};
  bool withObjtool = ::stat((headerDir + "/" + kObjtoolMember).c_str(), &objtool) == 0 && S_ISREG(objtool.st_mode);

  printPlainLine("Compressing...");
  std::string tarPath = tarballPath;
  std::string command = packageCommand(headerDir, tarPath, extraFile, *tempDir, copyName, withObjtool);
  printDebug("tar: %s", command.c_str());
  tarballPath = tarPath + ".gz";
  int status = runCommand(command);
  if (!commandSucceeded(status)) {
    printPlain("Gathering required information failed (%s).\n", std::strerror(errno));
    printPlainLine("To check:");
    printPlainLine("\tDisk space in /tmp");
    printPlain("\tFiles in '%s'\n", headerDir.c_str());
    return 1;
  }
  return 0;
}
