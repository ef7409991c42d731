// OS detection and the copy scripts that assemble a kernel header tree.
//
// - Three shell scripts are carried in the program. The detection script
//   names the distribution; on SUSE and Debian a copy script builds a header
//   tree in a fresh private directory under /tmp and answers
//   "kernel <dir>", which becomes kernelDir.
// - runScript writes a script to a new mode-0600 file under /tmp, runs it
//   with the first shell found, and gathers its standard output and error
//   (from another new 0600 file). Only the printed answer counts, never the
//   exit status. Both files are removed afterwards unless debugging.
// - detectKernelSourceDir and printKernelHeaderHint end the process with
//   status 1 on the failures the user must see.
#pragma once

#include <cstddef>
#include <string>

extern const char* const osDetectionScript;
extern const char* const suseCopyScript;
extern const char* const debianCopyScript;

struct KernelHeaderHint {
  const char* name;
  const char* hint;
};
extern const KernelHeaderHint kernelHeaderHints[6];

// Runs the OS scripts (unless noScripts) and may set kernelDir; returns 0.
int detectKernelSourceDir();
// Runs the copy script the detection answer selects; its answer, cut to
// answerSize - 1 characters, or "".
void handleOSSpecificScripts(const char* detectionAnswer, std::string* answer, std::size_t answerSize);
// 0 when the script ran (whatever it did), 1 when it could not be written.
// *output gets at most outputSize - 1 characters of what it printed.
int runScript(const char* script, std::string* output, std::size_t outputSize);
// 0 when written; 1 when path or text is missing or the file won't open.
int writeScriptFile(const char* path, const char* text, std::size_t length);
// The package-manager command that installs kernel headers, for the
// distribution the detection script names.
void printKernelHeaderHint();

// The hint row for a detection answer's first line, or nullptr.
const KernelHeaderHint* findKernelHeaderHint(const std::string& firstLine);
