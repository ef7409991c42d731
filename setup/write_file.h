// The write-once file helper of the credentials and key files.
//
// write_file writes `text` where creat(2) on the path would put it (links
// followed, the kernel's protections applied; its refusal is the open
// failure), through the file replacer: 0 on success; 1 after
// "Failed to open outfile '%s':%s\n" or "Failed to write outfile '%s':%s\n".
// An existing file keeps its owner, group, mode, ACL and extended
// attributes, unless owner_read_only forces 0400 (less the creation mask) on
// it; a new file gets that mode. A file whose name has the replacer's
// temporary form is refused as one that can't be opened (EINVAL).
#pragma once

#include <string>

int write_file(const char* path, const std::string& text, bool owner_read_only = false);
