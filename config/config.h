// Product configuration and trusted server keys: what the front end calls.
//
// Result senses differ per operation and are part of the contract:
// - manager port setters, maximum memory, key removal, web settings
//   reader and writer: 1 means success;
// - agent setters, administrator credentials, key saving: 0 means success;
// - queries give a text, or nothing.
// Each operation prints its own error details before main's failure text.
#pragma once

#include <string>
#include <vector>

#include "setup/settings.h"

// Manager web settings (conf/web.properties).
int ReadJettyConfig();
int WriteServerConfig();
OptText getHttpPort();
OptText getHttpsPort();
int setHttpPort(const char* port);
int setHttpsPort(const char* port);

// Administrator credentials (conf/adminreset.properties).
int setUsernamePassword(const char* user, const char* password);

// Manager maximum memory (conf/server.conf).
int setServerMaxMemory(const char* size);

// Agent configuration (conf/agent_config).
int setAgentPort(const char* port);
int setAgentDebug(bool on);
int setAgentBindTo(const char* address);
OptText getAgentBindTo();
// Lets other runs of the tool at the agent's file again: the setters hold
// its lock from the first read to the last write of the run.
void finishAgentConfigEdits();

// Trusted manager keys (conf/server.allow).
constexpr int kMaxKeyNames = 2048;
OptText readKeyFromStdin();
int saveKey(const char* name, std::string& key);
std::string keyNameFromDigest(const char* key, int length);
int listKeyFiles(std::vector<std::string>& names);
void printKeyList(std::vector<std::string>& names, int count);
int deleteKey(const char* name);

// Manager key fetch (GET /public_info over HTTP or HTTPS).
OptText getServerKey(const char* url);
OptText keyNameFromUrl(const char* url);
