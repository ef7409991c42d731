// Installation layouts for end-to-end tests, laid inside a Sandbox.
//
// Calling order: create the Sandbox, then installProduct once per product
// the machine should have (they combine; kNothing lays nothing). Each kind
// creates exactly the paths the product tests decide on, plus the
// directories the tool works in:
//   kAgentOnly   /etc/pelagent/agent_config (automatic module mode)
//   kFullAgent   /usr/sbin/tavrik/bin/kzp, /usr/sbin/tavrik/conf/
//   kManager     /usr/sbin/tavrik/bin/kzpserver, /usr/sbin/tavrik/conf/
//   kConsole     /usr/sbin/tavrik-orrin-console
//   kDriverOnly  /usr/sbin/zelt (and no /usr/sbin/tavrik)
// Files are small executable scripts that exit 0; a test writes the
// configuration contents it needs itself (Sandbox::writeFile).
#pragma once

#include <string>

#include "tests/harness/sandbox.h"

namespace harness {

enum class Install { kNothing, kAgentOnly, kFullAgent, kManager, kConsole, kDriverOnly };

void installProduct(Sandbox& box, Install kind);

// Name of a kind for test names and messages ("agent-only"...).
const char* installName(Install kind);

// The product working directory.
constexpr const char* kWorkDir = "/usr/sbin/tavrik";

}  // namespace harness
