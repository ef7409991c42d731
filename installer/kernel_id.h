// Identity of the running kernel and the three short build-service queries.
//
// - The kernel's fingerprints are the MD5 of the /proc/version line and of
//   the vermagic of the first module in modules.dep (found with modinfo).
// - The installed driver's version comes from modinfo of the one fixed file
//   /lib/modules/tavrik/zeltdriver-kestrin-<release>.ko, whatever the module
//   type and destination.
// - Each query is one GET exchange; its reply goes through parseHttpReply,
//   which ends the process on a malformed reply and installs an attachment.
// - Texts given back are the caller's; "none" is an empty optional.
#pragma once

#include <string>

#include "setup/settings.h"

// The /proc/version line without its newline; ends the process with status
// 1 when the file cannot be opened.
std::string readProcVersion();
// The vermagic of the first module in modules.dep, or none.
OptText getKernelVermagic();
// "%d.%d.%d-%d" of the installed driver, or none.
OptText getInstalledModuleVersion();

// Status of the reply to "/index.php" (200, 302, 400, 404), or 0.
int testServerConnection();
// 0 when the installed module is current, else 1.
int checkModuleUpdate();
// 1 when the reply delivered a prebuilt module, else 0.
int fetchCachedModule();

// Pieces of the above, for the tests.
//
// The installed version is current when the service's answer begins with it
// and does not go on with another digit ("6.0.1-3" against "6.0.1-35" is not).
bool isInstalledVersionCurrent(const std::string& installed, const std::string& answer);
// The module path of a modules.dep line (up to its ':'), made absolute under
// /lib/modules/<release>/ when relative; none without a ':'.
OptText moduleFromDepLine(const std::string& line, const std::string& release);
// "%d.%d.%d-%d" from a modinfo line starting "version: %d.%d.%d build %d".
OptText parseModinfoVersion(const std::string& line);
// The two query paths.
std::string checkModulePath();
std::string cacheModulePath(const std::string& md5, const OptText& modMd5);
