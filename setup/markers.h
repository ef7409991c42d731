// Marker files and restart notices of the manager and agent settings.
//
// - markerPath builds "<working dir>/<name>"; nothing when the working
//   directory is unknown or the path would not fit a path buffer, which
//   the caller reports as a marker that was not written.
// - writeConfigCheckFile writes the text "1" (no line end) to a marker, as
//   any file of the tool is written (setup/file_replacer.h): 1 when it took
//   its place, 0 otherwise (also for a directory, FIFO or device there).
#pragma once

#include <optional>
#include <string>

constexpr char kPortSetMarker[] = "conf/.port_set";
constexpr char kUserSetMarker[] = "conf/.user_set";

std::optional<std::string> markerPath(const char* name);
int writeConfigCheckFile(const char* path);

void printAgentRestartNotice();
void printServerRestartNotice();
