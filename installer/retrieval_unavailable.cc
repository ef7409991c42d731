// Placeholder for module retrieval until it is built: it says so and fails.
#include "installer/installer.h"
#include "setup/output.h"

int retrieveKernelModule() {
  printError(L"Kernel module retrieval is not available in this build\n");
  return 0;
}
