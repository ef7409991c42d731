// The system log: opened under the program's name, options LOG_CONS and
// LOG_NDELAY, facility LOG_USER. While it is open (syslogOpen) the logger
// copies every line there with the format "%s".
#pragma once

// The system calls used, replaceable by tests (there may be no log daemon).
struct SyslogCalls {
  void (*open)(const char* identity, int options, int facility);
  void (*close)();
};
extern SyslogCalls syslogCalls;

void openSyslog();
void closeSyslog();
