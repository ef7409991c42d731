// Trusted manager keys: one file per key in conf/server.allow under the
// working directory (the directory itself is never created here).
//
// - A key file holds the key text with CR LF line ends turned into LF and
//   is created owner-read-only (write_file).
// - A key name is a single file name: empty, ".", ".." and names holding
//   "/" are refused, so nothing outside the key directory is written or
//   removed; so is a name of the file writers' temporary names (".tavrik-"
//   and six letters or digits, new_copy.h), which the listing passes over
//   too: such a file is what a killed run left, never a key.
// - Result senses: saveKey 0 = stored; deleteKey 1 = removed.
// - readKeyFromStdin, saveKey, keyNameFromDigest, listKeyFiles,
//   printKeyList and deleteKey (what the front end calls) are declared in
//   config/config.h.
#pragma once

#include <string>

#include "setup/settings.h"

// True for a name that names a file directly inside the key directory.
bool isValidKeyName(const char* name);

// Removes every CR that stands directly before an LF (a run of CRs before
// an LF goes entirely); a CR elsewhere stays.
void normaliseLineEnds(std::string& text);

// The first free sequence name "0" .. "9999" in the key directory, or
// nothing (not used by the setup operations).
OptText nextKeySequenceName();

// A process-wide cache of the key names (not used by the setup operations).
int loadKeyCache();
void freeKeyCache();
int getKeyCount();
int getKeyNameLength(int index);
// Copies the cached name and its terminator into `buffer` (which must hold
// it); an index outside the cache copies nothing.
void copyKeyName(int index, char* buffer);
const char* listKeysStub();
