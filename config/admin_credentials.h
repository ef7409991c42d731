// Administrator credentials reset request: conf/adminreset.properties under
// the working directory, read by the manager at its next start.
//
// - The file holds exactly "admin.user=<user>\nadmin.pass=<password>\n",
//   values verbatim (no escaping), of any length.
// - It holds a clear-text password, so it ends at mode 0400 (owner read
//   only) even when it existed with another mode. It is written as
//   write_file writes (where a link leads; see there for when it is whole
//   or not at all): a failure leaves the old file as it was.
// - A value holding a CR or LF would add lines of its own; it is refused
//   with kLineBreakRefused and the file is left untouched.
// - setUsernamePassword (config.h): 0 when written, 1 on failure (after
//   "Failed to open outfile '%s':%s\n" or "Failed to write outfile
//   '%s':%s\n"); without a working directory it ends the process, status 1.
#pragma once

#include <string>
#include <string_view>

constexpr const wchar_t* kLineBreakRefused =
    L"ERROR: username and password must not contain a carriage return or line feed\n";

std::string formatAdminReset(std::string_view user, std::string_view password);

// Always 0: kept for callers that pass a value and a pointer and ignore both.
int adminResetUnused(int value, void* pointer);
