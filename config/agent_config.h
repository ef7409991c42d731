// The agent's settings file, conf/agent_config under the working directory.
//
// - The file is an ordered list of lines kept byte for byte; a setter
//   replaces every line that begins with its key and appends one when none
//   does. Lines are read in pieces of at most 4095 bytes, so a longer line
//   is several entries that reproduce it when written back in order.
// - One process-wide copy of the lines is read once per run; each setter
//   writes the whole copy back. Before each write the file of the moment is
//   kept under the same name with ".bak" appended, so after several setters
//   the backup holds the state before the last write.
// - The file is replaced through the file replacer (placement kRename): a
//   failed save leaves the old file in place, and a link at the path is
//   replaced, as the rename to the backup would replace it. A file that
//   can't be moved aside (one bind-mounted there) fails the save unchanged;
//   one that is not a regular file, or can't be read whole, fails the load
//   as a missing one does.
// - The setters take the lock of the file's directory before the first load
//   of the run and hold it until finishAgentConfigEdits (or the end of the
//   process), so that a second run's change neither is lost nor loses one
//   of these. A lock another run holds past the bounded wait fails the load.
// - setAgentPort, setAgentDebug, setAgentBindTo and getAgentBindTo (the
//   operations the front end calls) are declared in config/config.h.
#pragma once

#include <deque>
#include <initializer_list>
#include <optional>
#include <string>

using AgentConfigLines = std::deque<std::string>;
extern AgentConfigLines agentConfigStore;

// 1 when the store holds the file (or already held lines), 0 on failure.
int loadAgentConfig(const std::string& path);
// 1 when written, 0 on failure (the old file then stays as it was).
int saveAgentConfig(const std::string& path);

// Replaces every line of `lines` that begins with one of `prefixes` by
// `replacement`; returns the number replaced. With none replaced, appends
// `appended` as a line of its own (a last line without a line end gets one
// first, so the new setting never continues it).
int replaceOrAppendSetting(AgentConfigLines& lines, std::initializer_list<const char*> prefixes,
                           const std::string& replacement, const std::string& appended);

// The value of the first "BindTo=" line, without its line end; nothing
// when no line begins with "BindTo=".
std::optional<std::string> bindToValue(const AgentConfigLines& lines);

// Queries the setup operations do not use.
long agentPortFromValue(const char* value);  // always 0
int getAgentPort();                          // always 0
int isAgentDebugEnabled();                   // 1 when "Debug=1" or "Debug=true" is set
