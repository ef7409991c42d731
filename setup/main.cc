// Entry point (the front end's operation table is filled in as it is built).
#include "setup/output.h"

int main() {
  printInfo(L"tavrik-setup\n");
  return 1;
}
