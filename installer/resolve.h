// Host lookup: a one-shot IPv4 lookup through c-ares.
//
// - One resolver channel per call, one query, then a select loop until it
//   has ended; nothing is cached. The system's own lookup is not used.
// - ares_resolve gives the dotted address of the first answer, "" when the
//   name was not resolved, or nothing when no channel could be created.
//   A dotted address is answered without any query on the network.
// - It prints no user message; all its lines are debug traces.
#pragma once

#include "setup/settings.h"

OptText ares_resolve(const char* host);

// The resolver status in words (nothing in the tool calls it).
std::string resolverErrorText(int status);
