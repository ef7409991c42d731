// The module retrieval driver: connection test, update check, prebuilt
// module, header package, then either the kept package or the upload and
// the build's reply loop until the module arrives.
//
// - retrieveKernelModule (installer.h) ends the process on most outcomes;
//   it returns 1 on success and 0 on failure, after removing the package
//   and its temporary directory.
// - The reply loop has no bound: it follows redirects and status pages,
//   with a spinner step and a 5-second pause after each.
#pragma once

#include <string>

// Moves the finished package to `target` through the file replacer, without
// ever truncating an existing file there first: the package itself renamed
// into place, or across file systems a copy of it, synced before it takes
// the name and the directory after, in both cases. A link at the target is
// replaced, not followed; a directory, FIFO or device node there (or where
// a link there leads), and a name of the replacer's temporary names' form,
// are refused with "Couldnt open file". 1 on success; 0 after its message,
// with only what it created removed (the package stays for the clean-up).
int keepHeaderPackage(const std::string& package, const std::string& target);
// Removes the package, the /proc/version copy and the temporary directories.
void removePackageFiles();
// The family's status poller; not called by the setup operations.
void* pollBuildStatus(void* url);
void setBeta(char value);
