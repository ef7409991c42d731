#include "installer/scripts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "setup/command.h"
#include "setup/files.h"
#include "setup/output.h"
#include "setup/settings.h"
#include "setup/unique_fd.h"

const char* const osDetectionScript = R"SH(#!/bin/sh

if [ -f "/etc/redhat-release" ]; then
	rhos="Fedora CentOS Red Hat"
	for i in $rhos; do
		if [ ! -z "`/bin/grep $i /etc/redhat-release`" ]; then
			echo "$i detected"
		fi
	done
elif [ -f "/etc/debian_version" ]; then
	echo "debian"
elif [ -f "/etc/arch-release" ]; then
	echo "arch"
elif [ -f "/etc/SuSE-release" ]; then
	echo 'suse'
fi
exit 0
)SH";

// The build directory is made fresh and private: a name that already exists
// (the shell's $RANDOM is guessable) is an error, never reused.
const char* const suseCopyScript = R"SH(#!/bin/sh

UNAME="$(uname -r)"
ARCH="$(uname -i)"
VERSION="$(echo $UNAME|sed 's/-[a-z]*$//g')"
TYPE="$(echo $UNAME|awk -F- '{print $NF}')"
SRC="/usr/src/linux-${VERSION}"
SRCOBJ="/usr/src/linux-${VERSION}-obj/${ARCH}/${TYPE}"
BUILD_DIR="/tmp/tavrik-kestrin.$RANDOM"

if [ -z "$(rpm -qa|grep kernel-source-$VERSION)" ]; then
	echo "Cannot find the kernel-source package for your kernel"
	exit
fi

if [ -d "$SRCOBJ" ] && [ -d "$SRC" ]; then
	if ! /bin/mkdir -m 700 "$BUILD_DIR" > /dev/null 2>&1; then
		echo "Unable to create the build directory $BUILD_DIR"
		exit 1
	fi
	cp -r $SRCOBJ/. $BUILD_DIR
	cp -r ${SRC}/* $BUILD_DIR
else
	echo "Unable to find the source directories for your running kernel."
	exit
fi

touch $BUILD_DIR/.deleteme
echo "kernel $BUILD_DIR"
exit 0
)SH";

const char* const debianCopyScript = R"SH(#!/bin/sh

UNAME="$(uname -r)"
ARCH="$(uname -i)"
VERSION="$(echo $UNAME|sed 's/-[a-z]*$//g')"
VERSION="$(echo $VERSION|awk -F- '{print $1}')"
TYPE="$(echo $UNAME|awk -F- '{print $NF}')"
RANDOM=`/bin/date '+%s'`
SRC="/usr/src/linux-source-${VERSION}"
HEADERS_DIR="/usr/src/linux-headers-$UNAME"
HEADERS_DIR_C="/usr/src/linux-headers-`uname -r | cut -f1,2 -d-`-common"
BUILD_DIR="/tmp/tavrik-kestrin.$RANDOM"

if ! /bin/mkdir -m 700 "$BUILD_DIR" > /dev/null 2>&1; then
	echo "Unable to create the build directory $BUILD_DIR"
	exit 1
fi

if [ -d $HEADERS_DIR ]; then
	/bin/cp -Lr $HEADERS_DIR/* $HEADERS_DIR/.config $BUILD_DIR > /dev/null 2>&1
fi

if [ -d $HEADERS_DIR_C ]; then
	/bin/cp -Lr $HEADERS_DIR_C/* $HEADERS_DIR/.config $BUILD_DIR > /dev/null 2>&1
fi

if [ -d $SRC/security ]; then
	cp -Lr $SRC/security $BUILD_DIR > /dev/null 2>&1
fi

NEEDED_FILES="/usr/src/linux-source-$VERSION/include/linux/bounds.h"
for x in $NEEDED_FILES; do
	if [ -f "$x" ]; then
		/bin/cp -L $x $BUILD_DIR/include/linux > /dev/null 2>&1
	fi
done

touch $BUILD_DIR/.deleteme
echo "kernel $BUILD_DIR"
exit 0
)SH";

const KernelHeaderHint kernelHeaderHints[6] = {
    {"centos", "To install kernel headers execute:\nyum install kernel-devel\n"},
    {"suse", "To install kernel headers execute:\nyum install kernel-devel\n"},
    {"redhat", "To install kernel headers execute:\nyum install kernel-devel\n"},
    {"ubuntu", "To install kernel headers execute:\napt-get install linux-headers-`uname -r`\n"},
    {"fedora", "To install kernel headers execute:\nyum install kernel-devel\n"},
    {"debian", "To install kernel headers execute:\napt-get install linux-headers-`uname -r`\n"},
};

namespace {

constexpr std::size_t kScriptOutputSize = 25000;
constexpr std::size_t kDetectionAnswerSize = 25000;
constexpr std::size_t kCopyAnswerSize = 8096;
constexpr std::size_t kOutputPieceSize = 1023;

struct CopyScriptRow {
  const char* answer;
  const char* script;
};
const CopyScriptRow kCopyScripts[] = {
    {"suse\n", suseCopyScript},
    {"debian\n", debianCopyScript},
};

// A new empty file under /tmp, only its owner may use it; "" on failure.
std::string makeTempFile() {
  std::string name = "/tmp/tavrik-kestrin-XXXXXX";
  UniqueFd fd(::mkstemp(name.data()));
  if (!fd) return std::string();
  return name;
}

// Removes the run's files, unless they are kept for debugging.
void removeRunFiles(const std::string& scriptPath, const std::string& outputPath) {
  if (debugEnabled) return;
  if (!scriptPath.empty()) ::unlink(scriptPath.c_str());
  if (!outputPath.empty()) ::unlink(outputPath.c_str());
}

const char* findShell() {
  for (const char* shell : {"/bin/sh", "/bin/bash", "/bin/ash"}) {
    if (pathExists(shell)) return shell;
  }
  return nullptr;
}

std::string readScriptOutput(const std::string& path) {
  std::string gathered;
  UniqueFile file(std::fopen(path.c_str(), "r"));
  if (!file) return gathered;
  char piece[kOutputPieceSize];
  while (gathered.size() < kScriptOutputSize - 1) {
    std::size_t want = std::min(sizeof piece, kScriptOutputSize - 1 - gathered.size());
    std::size_t got = std::fread(piece, 1, want, file.get());
    if (got == 0) break;
    gathered.append(piece, got);
  }
  // The output is text: it ends at its first zero byte.
  gathered.resize(std::strlen(gathered.c_str()));
  return gathered;
}

}  // namespace

int writeScriptFile(const char* path, const char* text, std::size_t length) {
  if (!path) {
    printPlainLine("Filename was null while trying to export script");
    return 1;
  }
  if (!text) {
    printPlainLine("scriptdata was null while trying to export script");
    return 1;
  }
  // Never written through a link someone else laid at the name.
  UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  UniqueFile file(fd ? ::fdopen(fd.get(), "w") : nullptr);
  if (!file) {
    printPlain("unable to open temporary file");
    return 1;
  }
  fd.release();
  std::size_t written = std::fwrite(text, 1, length, file.get());
  if (written != length || std::fflush(file.get()) != 0) {
    printPlainLine("Failed to write script for execution");
    std::exit(1);
  }
  return 0;
}

int runScript(const char* script, std::string* output, std::size_t outputSize) {
  std::string scriptPath = makeTempFile();
  std::string outputPath = makeTempFile();
  bool saved = false;
  // A file that can't be made is reported as the writer reports a file it
  // can't open.
  if (scriptPath.empty() || outputPath.empty())
    printPlain("unable to open temporary file");
  else
    saved = writeScriptFile(scriptPath.c_str(), script, script ? std::strlen(script) : 0) == 0;
  if (!saved) {
    printPlainLine("Failed to save script to disk");
    removeRunFiles(scriptPath, outputPath);
    return 1;
  }
  const char* shell = findShell();
  if (!shell) {
    printPlainLine("unable to find a valid shell");
    std::exit(1);
  }
  std::string command =
      formatNarrow("%s %s > %s 2>&1", shell, shellQuote(scriptPath).c_str(), shellQuote(outputPath).c_str());
  printDebug("Executing: %s", command.c_str());
  int status = runCommand(command);
  printDebug("script returned %d", status);
  std::string gathered = readScriptOutput(outputPath);
  printDebug("script output: \n%s", gathered.c_str());
  *output = cutToBuffer(gathered, outputSize);
  removeRunFiles(scriptPath, outputPath);
  return 0;
}

void handleOSSpecificScripts(const char* detectionAnswer, std::string* answer, std::size_t answerSize) {
  if (!detectionAnswer) return;
  printDebug("handleOSSpecificScripts: %s", detectionAnswer);
  std::string local;
  for (const CopyScriptRow& row : kCopyScripts) {
    if (std::strcmp(detectionAnswer, row.answer) == 0) {
      runScript(row.script, &local, kCopyAnswerSize);
      break;
    }
  }
  *answer = cutToBuffer(local, answerSize);
}

int detectKernelSourceDir() {
  if (noScripts) return 0;
  std::string detection;
  if (runScript(osDetectionScript, &detection, kDetectionAnswerSize) != 0) {
    printPlainLine("an internal script failed to run");
    std::exit(1);
  }
  printDebug("Script returned: %s", detection.c_str());
  std::string answer;
  handleOSSpecificScripts(detection.c_str(), &answer, kCopyAnswerSize);
  if (answer.size() < 2) return 0;
  if (answer.compare(0, 7, "kernel ") != 0) {
    printPlainLine("Internal script returned an error: ");
    printPlain("%s", answer.c_str());
    std::exit(1);
  }
  std::string dir = answer.substr(7);
  if (dir.empty()) {
    printPlainLine("incorrect kernel src dir specified");
    std::exit(1);
  }
  // The answer line's own newline; a cut answer keeps its last character.
  if (dir.back() == '\n') dir.pop_back();
  kernelDir = dir;
  UniqueDir opened(::opendir(dir.c_str()));
  if (!opened) {
    printPlain("kernel src dir '%s' doesnt exist\n", dir.c_str());
    std::exit(1);
  }
  printDebug("new kernel source dir: %s", dir.c_str());
  return 0;
}

const KernelHeaderHint* findKernelHeaderHint(const std::string& firstLine) {
  for (const KernelHeaderHint& row : kernelHeaderHints) {
    printDebug("comparing %s = %s", firstLine.c_str(), row.name);
    if (std::strncmp(firstLine.c_str(), row.name, firstLine.size()) == 0) return &row;
  }
  return nullptr;
}

void printKernelHeaderHint() {
  std::string answer;
  if (runScript(osDetectionScript, &answer, kScriptOutputSize) != 0) {
    printPlainLine("an internal script failed to run");
    std::exit(1);
  }
  std::size_t lf = answer.find('\n');
  if (lf != std::string::npos) answer.resize(lf);
  if (const KernelHeaderHint* row = findKernelHeaderHint(answer)) printPlain("%s", row->hint);
}
