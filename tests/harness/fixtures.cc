#include "tests/harness/fixtures.h"

namespace harness {

namespace {
const char kStub[] = "#!/bin/sh\nexit 0\n";
}

void installProduct(Sandbox& box, Install kind) {
  switch (kind) {
    case Install::kNothing:
      break;
    case Install::kAgentOnly:
      box.writeFile("/etc/pelagent/agent_config", "");
      break;
    case Install::kFullAgent:
      box.writeFile("/usr/sbin/tavrik/bin/kzp", kStub, 0755);
      box.makeDirs("/usr/sbin/tavrik/conf");
      break;
    case Install::kManager:
      box.writeFile("/usr/sbin/tavrik/bin/kzpserver", kStub, 0755);
      box.makeDirs("/usr/sbin/tavrik/conf");
      break;
    case Install::kConsole:
      box.writeFile("/usr/sbin/tavrik-orrin-console", kStub, 0755);
      break;
    case Install::kDriverOnly:
      box.writeFile("/usr/sbin/zelt", kStub, 0755);
      box.remove("/usr/sbin/tavrik");
      break;
  }
}

const char* installName(Install kind) {
  switch (kind) {
    case Install::kNothing: return "nothing";
    case Install::kAgentOnly: return "agent-only";
    case Install::kFullAgent: return "full-agent";
    case Install::kManager: return "manager";
    case Install::kConsole: return "console";
    case Install::kDriverOnly: return "driver-only";
  }
  return "?";
}

}  // namespace harness
