// Kernel-module installer: what the front end and the key fetch call.
//
// - retrieveKernelModule runs one retrieval from the settings; it ends the
//   process itself on most outcomes and returns 1 (success) or 0 otherwise.
// - ares_resolve is a one-shot IPv4 lookup through c-ares: the dotted address
//   of the first answer, "" when the name did not resolve, or nothing when no
//   resolver channel could be made.
#pragma once

#include "setup/settings.h"

int retrieveKernelModule();
OptText ares_resolve(const char* host);
