// The kernel-headers package: the parts of a header tree a module build
// needs, with a copy of /proc/version, as one .tar.gz in a new private
// directory under /tmp.
//
// - The header directory is kernelDir when set, else the first of the
//   release's source/, /usr/src/kernels/<release>-<machine>/ and build/
//   that holds .config and Makefile.
// - The package holds ./tools/objtool/objtool when the header directory has
//   that file (links followed); otherwise the command is the same as ever.
// - On success tempDir and tarballPath (ending in ".tar.gz") are set; the
//   driver removes them. On failure what was made so far stays.
// - The packing is one shell command run through the child-process helper;
//   the header directory in it is quoted when it needs quoting, and a
//   relative one gets "./" in front so that the shell enters the very
//   directory that was checked.
#pragma once

#include <string>

// 0 when the package was made, 1 on any failure (after its message).
int createKernelHeadersPackage();
// 1 when the directory can be entered and holds readable .config and
// Makefile; the working directory is unchanged afterwards.
int checkForSource(const char* directory);
// 1 when the file opens for reading, else 0 after its message.
int requireFile(const char* path);
// 1 when "which <name>" exits with 0 (its output goes to standard output).
int commandInPath(const char* name);
int isRegularFile(const char* path);

// The name of the /proc/version copy in <tempDir>/tmp: it depends on
// whether the header directory came from kernelDir.
const char* procVersionCopyName(bool fromKernelDir);
// The package command for these values; withObjtool adds the header
// directory's ./tools/objtool/objtool to the first members.
std::string packageCommand(const std::string& headerDir, const std::string& tarPath, const std::string& extraFile,
                           const std::string& tempDirectory, const char* copyName, bool withObjtool);
