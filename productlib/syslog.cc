#include "productlib/syslog.h"

#include <syslog.h>

#include <string>

#include "setup/log.h"
#include "setup/settings.h"

SyslogCalls syslogCalls = {[](const char* identity, int options, int facility) { openlog(identity, options, facility); },
                           [] { closelog(); }};

namespace {
// openlog keeps the pointer it is given, so the identity must outlive any
// later change of the program name.
std::string syslogIdentity;
}  // namespace

void openSyslog() {
  syslogIdentity = programName;
  syslogCalls.open(syslogIdentity.c_str(), LOG_CONS | LOG_NDELAY, LOG_USER);
  syslogOpen = 1;
}

void closeSyslog() {
  syslogOpen = 0;
  syslogCalls.close();
}
